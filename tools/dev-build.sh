#!/usr/bin/env bash
# Builds the extension in place for development: tools/dev-build.sh [BUILD_DIR] [extra cmake args]
# Then run tests with PYTHONPATH=BUILD_DIR. PYTHON picks the interpreter to build for
# (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/dev}; shift || true
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
mkdir -p "$dir"
pybind11_dir=$(tools/pybind11-cmakedir.sh "$python" "$dir")
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" \
  -Dpybind11_DIR="$pybind11_dir" "$@" >/dev/null
cmake --build "$dir" -j2
