#!/usr/bin/env bash
# labgrid, for the lab test (tests/test_lab.py), in a venv of its own: it pins its own fork
# of pyserial, which must not replace the one the module's packages are tested with.
#   tools/setup-labgrid.sh [VENV]     VENV defaults to .venv-labgrid
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${1:-.venv-labgrid}
version=26.0.1  # the release the lab test was written against
if [ -x "$venv/bin/labgrid-exporter" ] && "$venv/bin/python" -c "import labgrid" 2>/dev/null \
   && [ "$("$venv/bin/python" -c 'import importlib.metadata as m; print(m.version("labgrid"))')" = "$version" ]; then
  echo "setup: labgrid $version in $venv present"
else
  echo "setup: installing labgrid $version into $venv (log: build/setup-labgrid.log)"
  mkdir -p build
  rm -rf "$venv"
  if ! { python3 -m venv "$venv" &&
         "$venv/bin/python" -m pip install --disable-pip-version-check -q "labgrid==$version"; } \
       >build/setup-labgrid.log 2>&1; then
    tail -n 20 build/setup-labgrid.log >&2
    echo "setup: labgrid could not be installed (above); the lab test will say so" >&2
    exit 1
  fi
fi
