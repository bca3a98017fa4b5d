#!/usr/bin/env bash
# Builds the documentation site from docs/ into build/docs/html, with every Sphinx warning
# an error, then takes headless-Chromium screenshots of the front page and of the module's
# API page into build/docs/screenshots (not kept in git):
#   tools/docs.sh [--no-screenshots]
# Sphinx and its extensions (the "docs" extra of pyproject.toml) go into their own venv,
# build/docs-venv, installed again only when that list changes; the site needs no build of
# the module (its API page is generated from the stub, the CLI reference from the parsers,
# the reference of torvak_serial, torvak_common and torvak_discovery from their docstrings by autodoc, with
# the native modules stood in for: see docs/conf.py).
set -euo pipefail
cd "$(dirname "$0")/.."
screenshots=1
[ "${1:-}" != "--no-screenshots" ] || screenshots=0
say() { echo "docs: $*"; }
venv=build/docs-venv
out=build/docs

requirements=$(python3 -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))')
if [ -x "$venv/bin/python" ] && [ "$(cat "$venv/.requirements" 2>/dev/null)" = "$requirements" ]; then
  say "Sphinx present in $venv"
else
  say "installing Sphinx and its extensions into $venv"
  python3 -m venv "$venv"
  mapfile -t packages <<< "$requirements"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${packages[@]}"
  printf '%s' "$requirements" > "$venv/.requirements"
fi

"$venv/bin/python" -m sphinx -E -W --keep-going -q -b html docs "$out/html"
say "site built without warnings: $out/html/index.html"
[ "$screenshots" = 1 ] || exit 0

# Chromium, and fonts for the module's Chinese texts (which otherwise show as boxes).
missing=()
for p in chromium fonts-noto-cjk; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]} for the screenshots"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
browser=$(command -v chromium)
mkdir -p "$out/screenshots"
# Without --no-sandbox Chromium refuses to run as root and in most containers; it only
# opens the site's own local files here.
flags=(--headless --no-sandbox --disable-gpu --hide-scrollbars)
# The front page, and the API page down to the start of Serial's reference (generated
# from the stub).
for page in index:1000 api:2400; do
  shot="$out/screenshots/${page%:*}.png"
  rm -f "$shot"
  "$browser" "${flags[@]}" --window-size="1280,${page#*:}" --screenshot="$PWD/$shot" \
    "file://$PWD/$out/html/${page%:*}.html" >/dev/null 2>&1
  [ -s "$shot" ] || { echo "docs: no screenshot of $page was written" >&2; exit 1; }
  say "screenshot of ${page%:*}.html: $shot"
done
