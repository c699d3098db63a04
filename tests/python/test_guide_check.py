"""scripts/check_guide.py finds in a browser what a reader of the guide
would trip over; run here on a small site made for it. Skipped where no
Chromium is installed (scripts/check-guide.sh installs it)."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))
import check_guide  # noqa: E402

pytestmark = pytest.mark.skipif(check_guide.find_chromium() is None,
                                reason="no chromium (apt-get install chromium)")

SVG = ('<svg xmlns="http://www.w3.org/2000/svg" width="600" height="100">'
       '<rect width="600" height="100" fill="#ccc"/></svg>')

# A page laid out as the site's pages are: a content column of 600 px.
PAGE = """<!doctype html><html><head><style>
body {{ margin: 0; }} .md-content {{ width: 600px; font: 16px monospace; }}
pre > code {{ display: block; overflow: auto; }}
[data-md-copying] .gp, [data-md-copying] .go {{ display: none; }}
</style>{head}</head><body><div class="md-content"><article class="md-content__inner">
<h1 id="title">Title</h1>
{body}
</article></div></body></html>"""

CLEAN = """<h2 id="code">Code</h2>
<pre><code>short line</code></pre>
<pre><code><span class="gp">&gt;&gt;&gt; </span>1 + 1
<span class="go">2
</span></code></pre>
<p><img src="../picture.svg" alt="a picture"></p>"""

FAULTS = {
    "wide code": ("", "<h2 id='w'>W</h2><pre><code>" + "x" * 200 + "</code></pre>",
                  "code needs horizontal scrolling"),
    "missing image": ("", "<p><img src='../missing.svg' alt='gone'></p>", "did not load"),
    "small image": ("", "<p><img src='../picture.svg' width='200' alt='small'></p>",
                    "shown 200 px wide"),
    "mermaid": ("", "<div class='mermaid'>graph LR; a--&gt;b</div>", "left to a script"),
    "remote script": ("<script src='https://cdn.example.org/x.js'></script>", "",
                      "from another server"),
    "script error": ("<script>window.addEventListener('load', function () { nowhere(); });</script>",
                     "", "a script failed: Uncaught ReferenceError"),
    "prompts copied": ("<style>pre.kept > code[data-md-copying] .gp { display: inline; }</style>",
                       "<pre class='kept'><code><span class='gp'>&gt;&gt;&gt; </span>x\n"
                       "<span class='gp'>... </span>y</code></pre>",
                       "copies prompts"),
}


def make_site(tmp_path: Path, head: str = "", body: str = "") -> Path:
    site = tmp_path / "site"
    (site / "page").mkdir(parents=True)
    (site / "picture.svg").write_text(SVG, encoding="utf-8")
    (site / "page" / "index.html").write_text(PAGE.format(head=head, body=CLEAN + body),
                                             encoding="utf-8")
    return site


def test_a_clean_site_passes_and_is_measured(tmp_path):
    reports, found = check_guide.check_site(make_site(tmp_path), width=1000)
    assert found == []
    assert sorted(reports) == ["page"]
    image = reports["page"]["images"][0]
    assert image["loaded"] and image["shown"] == 600
    # The copy leaves the prompt and the output out.
    assert reports["page"]["copies"][0].strip() == "1 + 1"


@pytest.mark.parametrize("fault", FAULTS, ids=list(FAULTS))
def test_each_fault_is_reported(tmp_path, fault):
    head, body, complaint = FAULTS[fault]
    _, found = check_guide.check_site(make_site(tmp_path, head, body), width=1000)
    assert len(found) == 1 and found[0].startswith("page") and complaint in found[0], found
