#!/usr/bin/env python3
"""Opens every page of the built user guide in headless Chromium and checks
what a reader sees at a given width, with no network.

    python3 scripts/check_guide.py SITE_DIR [--width 1280] [--screenshots DIR]

The site is served from 127.0.0.1 by a small HTTP server of this script;
Chromium resolves no other host name, so anything the pages would fetch
from elsewhere fails as it would offline. Each page gets a probe script
(added to a copy of the site) that, once the page and its images have
loaded, records:

* code blocks (and tables) whose content is wider than their box, that is
  that need horizontal scrolling, and whether the page itself does;
* every image of the content: loaded or not, and the width it is shown at;
* diagrams still left to a script (`.mermaid` elements) and scripts or
  style sheets from other servers;
* for console (pycon) blocks, the text the copy button would copy;
* errors that scripts of the page left uncaught (Chromium's console log).

Failures are printed one a line and the exit status is 1. With
--screenshots, each page's top and each image's section are saved as PNG
files to look at.
"""

from __future__ import annotations

import argparse
import functools
import http.server
import json
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from typing import Dict, List, Optional, Tuple

MARK = "guide-check-report"

# Runs once the page and its images have loaded; leaves its findings as
# JSON in a <pre> at the end of the body, which --dump-dom prints.
PROBE = """
<script>
window.addEventListener("load", function () {
  // ?shot=N: bring the N-th image of the content to the top of the page,
  // where a headless screenshot sees it (it does not scroll), by leaving
  // out the blocks between the page's title and the image's paragraph.
  var shot = /[?&]shot=(\\d+)/.exec(location.search);
  if (shot) {
    var image = document.querySelectorAll(".md-content img")[Number(shot[1]) - 1];
    var block = image;
    while (block && block.parentElement && !block.parentElement.matches(".md-content__inner")) {
      block = block.parentElement;
    }
    for (var n = block && block.previousElementSibling; n && n.tagName !== "H1"; ) {
      var before = n.previousElementSibling;
      if (before && before.tagName === "H1") { n = before; break; }
      n.remove();
      n = before;
    }
    return;
  }
  setTimeout(function () {
    var report = {overflow: [], images: [], mermaid: 0, external: [], copies: [],
                  page: document.documentElement.scrollWidth - window.innerWidth};
    var content = document.querySelector(".md-content") || document.body;
    content.querySelectorAll("pre > code, .md-typeset__scrollwrap, .md-typeset__table").forEach(function (el) {
      if (el.scrollWidth > el.clientWidth + 1) {
        var heading = null;
        for (var n = el; n && !heading; n = n.previousElementSibling || n.parentElement) {
          if (/^H[1-6]$/.test(n.tagName) && n.id) heading = n.id;
        }
        report.overflow.push({kind: el.tagName === "CODE" ? "code" : "table",
                              first: el.textContent.split("\\n")[0].slice(0, 70),
                              content: el.scrollWidth, box: el.clientWidth, section: heading});
      }
    });
    content.querySelectorAll("img").forEach(function (img) {
      var heading = null;
      var all = Array.prototype.slice.call(content.querySelectorAll("h1[id], h2[id], h3[id], h4[id], img"));
      for (var i = all.indexOf(img) - 1; i >= 0 && !heading; i--) {
        if (all[i].tagName !== "IMG") heading = all[i].id;
      }
      report.images.push({src: img.getAttribute("src"), loaded: img.complete && img.naturalWidth > 0,
                          natural: img.naturalWidth, shown: Math.round(img.getBoundingClientRect().width),
                          column: Math.round(img.parentElement.getBoundingClientRect().width),
                          section: heading});
    });
    report.mermaid = document.querySelectorAll(".mermaid").length;
    document.querySelectorAll("script[src], link[rel=stylesheet], link[rel=preconnect]").forEach(function (el) {
      var url = el.src || el.href;
      if (url && new URL(url, location.href).host !== location.host) report.external.push(url);
    });
    content.querySelectorAll("pre > code").forEach(function (code) {
      if (!code.querySelector(".gp")) return;     // console blocks: prompts
      code.setAttribute("data-md-copying", "");
      report.copies.push(code.innerText);
      code.removeAttribute("data-md-copying");
    });
    var out = document.createElement("pre");
    out.id = "%s";
    out.textContent = JSON.stringify(report);
    document.body.appendChild(out);
  }, 300);
});
</script>
""" % MARK


def find_chromium() -> Optional[str]:
    for name in ("chromium", "chromium-browser", "google-chrome", "chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args) -> None:
        pass


def serve(root: Path) -> Tuple[http.server.ThreadingHTTPServer, int]:
    handler = functools.partial(QuietHandler, directory=str(root))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, server.server_address[1]


def chromium_args(chromium: str, width: int, height: int) -> List[str]:
    return [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
            "--no-first-run", "--disable-extensions", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--mute-audio",
            # No network: every host name but the local server's fails.
            "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
            f"--window-size={width},{height}"]


def pages_of(site: Path) -> List[Path]:
    return sorted(p.relative_to(site) for p in site.rglob("index.html")
                  if "assets" not in p.parts)


def probe_page(chromium: str, url: str, width: int) -> dict:
    done = subprocess.run(chromium_args(chromium, width, 1000) +
                          ["--enable-logging=stderr", "--v=0",
                           "--virtual-time-budget=5000", "--dump-dom", url],
                          capture_output=True, text=True, timeout=120)
    found = re.search(r'<pre id="%s">(.*?)</pre>' % MARK, done.stdout, re.S)
    if not found:
        raise RuntimeError(f"{url}: the probe left no report (chromium exit {done.returncode}:"
                           f" {done.stderr.strip()[-300:]})")
    text = found.group(1).replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", '"')
    report = json.loads(text.replace("&amp;", "&"))
    report["script_errors"] = re.findall(r':CONSOLE[^\]]*\] "(Uncaught [^"]*)"', done.stderr)
    return report


def screenshot(chromium: str, url: str, width: int, height: int, out: Path) -> None:
    subprocess.run(chromium_args(chromium, width, height) +
                   ["--virtual-time-budget=5000", f"--screenshot={out}", url],
                   capture_output=True, text=True, timeout=120, check=True)


def problems(page: str, report: dict) -> List[str]:
    found = []
    for item in report["overflow"]:
        found.append(f"{page}#{item['section']}: {item['kind']} needs horizontal scrolling "
                     f"({item['content']} px in {item['box']} px): {item['first']}")
    if report["page"] > 0:
        found.append(f"{page}: the page itself is {report['page']} px wider than the window")
    for image in report["images"]:
        if not image["loaded"]:
            found.append(f"{page}: image {image['src']} did not load")
        elif image["shown"] < 0.8 * min(image["natural"], image["column"]):
            found.append(f"{page}: image {image['src']} shown {image['shown']} px wide, "
                         f"in a column of {image['column']} px")
    if report["mermaid"]:
        found.append(f"{page}: {report['mermaid']} diagram(s) left to a script (.mermaid)")
    for url in report["external"]:
        found.append(f"{page}: loads {url} from another server")
    for error in report["script_errors"]:
        found.append(f"{page}: a script failed: {error}")
    for copied in report["copies"]:
        lines = copied.split("\n")
        if any(line.startswith((">>>", "...")) for line in lines):
            found.append(f"{page}: the copy button copies prompts: {lines[0][:60]}")
    return found


def check_site(site: Path, width: int = 1280, screenshots: Optional[Path] = None,
               chromium: Optional[str] = None) -> Tuple[Dict[str, dict], List[str]]:
    """Probes every page of `site`; returns the reports by page and the problems."""
    chromium = chromium or find_chromium()
    if not chromium:
        raise RuntimeError("no chromium found (Debian: apt-get install chromium)")
    with tempfile.TemporaryDirectory(prefix="guide-check-") as tmp:
        root = Path(tmp) / "site"
        shutil.copytree(site, root)
        pages = pages_of(root)
        if not pages:
            raise RuntimeError(f"no pages under {site}")
        # A diagram left to a script may be gone from the DOM once the
        # script has run (or failed): count them in the page's source.
        diagrams: Dict[Path, int] = {}
        for page in pages:
            html = (root / page).read_text(encoding="utf-8")
            diagrams[page] = len(re.findall(r'class="[^"]*\bmermaid\b', html))
            (root / page).write_text(html.replace("</body>", PROBE + "</body>", 1), encoding="utf-8")
        server, port = serve(root)
        reports: Dict[str, dict] = {}
        found: List[str] = []
        try:
            for page in pages:
                name = str(page.parent) if str(page.parent) != "." else "index"
                url = f"http://127.0.0.1:{port}/{page.as_posix()}"
                report = probe_page(chromium, url, width)
                report["mermaid"] = max(report["mermaid"], diagrams[page])
                reports[name] = report
                found += problems(name, report)
                if screenshots:
                    screenshots.mkdir(parents=True, exist_ok=True)
                    stem = name.replace("/", "_")
                    screenshot(chromium, url, width, 900, screenshots / f"{stem}.png")
                    for k in range(len(report["images"])):
                        screenshot(chromium, f"{url}?shot={k + 1}", width, 900,
                                   screenshots / f"{stem}-image{k + 1}.png")
        finally:
            server.shutdown()
    return reports, found


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("site", type=Path, help="the built site (mkdocs build -d SITE)")
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--screenshots", type=Path, help="save PNG screenshots here")
    options = parser.parse_args(argv)
    reports, found = check_site(options.site, options.width, options.screenshots)
    blocks = sum(len(r["copies"]) for r in reports.values())
    images = sum(len(r["images"]) for r in reports.values())
    print(f"{len(reports)} pages at {options.width} px: {images} images, "
          f"{blocks} console blocks, {len(found)} problems")
    for line in found:
        print(f"  {line}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
