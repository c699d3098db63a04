#!/usr/bin/env bash
# Builds the user guide and opens every page in headless Chromium at 1280 px,
# with no network: no code block or table may need horizontal scrolling, every
# diagram must be an image that loaded, nothing may come from another server,
# and the copy button of console blocks must leave out prompts and output
# (scripts/check_guide.py says how each is checked).
#
#   bash scripts/check-guide.sh [--screenshots DIR]
#
# Installs what it needs: Debian's chromium (apt-get) when no Chromium is on
# PATH, and MkDocs with the theme (the `docs` extra of pyproject.toml, from
# PyPI) into .venv-guide unless `mkdocs` is already on PATH.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if ! command -v chromium >/dev/null 2>&1 && ! command -v chromium-browser >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends chromium
fi

if ! command -v mkdocs >/dev/null 2>&1; then
  venv="$root/.venv-guide"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  mapfile -t docs_deps < <("$venv/bin/python" - <<'PY'
import re, pathlib
text = pathlib.Path("pyproject.toml").read_text(encoding="utf-8")
print("\n".join(re.findall(r'"([^"]+)"', re.search(r"^docs = \[(.*?)\]", text, re.M | re.S).group(1))))
PY
)
  "$venv/bin/python" -m pip install -q "${docs_deps[@]}"
  export PATH="$venv/bin:$PATH"
fi

site="$root/build/guide-site"
NO_MKDOCS_2_WARNING=1 mkdocs build --strict --quiet -d "$site"
python3 scripts/check_guide.py "$site" "$@"
