#!/usr/bin/env bash
# Builds the extension in place for development: tools/dev-build.sh [BUILD_DIR] [extra cmake args]
# Then run tests with PYTHONPATH=BUILD_DIR. PYTHON picks the interpreter to build for
# (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/dev}; shift || true
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
mkdir -p "$dir"
pybind11_dir=$("$python" -m pybind11 --cmakedir 2>/dev/null || true)
if [ -z "$pybind11_dir" ]; then
  # A venv whose packages were built in isolation has no pybind11 of its own.
  [ -d "$dir/pybind11/pybind11" ] || "$python" -m pip install -q --disable-pip-version-check \
    --target "$dir/pybind11" "pybind11>=3.0" >&2
  pybind11_dir=$(PYTHONPATH="$dir/pybind11" "$python" -m pybind11 --cmakedir)
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" \
  -Dpybind11_DIR="$pybind11_dir" "$@" >/dev/null
cmake --build "$dir" -j2
