#!/usr/bin/env bash
# Prints pybind11's CMake directory for an interpreter:
#   tools/pybind11-cmakedir.sh PYTHON BUILD_DIR
# A venv whose packages were built in isolation has no pybind11 of its own; then one is
# fetched into BUILD_DIR/pybind11, leaving the venv as it is.
set -euo pipefail
python=$1
dir=$2
"$python" -m pybind11 --cmakedir 2>/dev/null && exit 0
[ -d "$dir/pybind11/pybind11" ] || "$python" -m pip install -q --disable-pip-version-check \
  --target "$dir/pybind11" "pybind11>=3.0" >&2
PYTHONPATH="$dir/pybind11" "$python" -m pybind11 --cmakedir
