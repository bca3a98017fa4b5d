#!/usr/bin/env bash
# Prints pybind11's CMake directory for an interpreter:
#   tools/pybind11-cmakedir.sh PYTHON BUILD_DIR [PIP_PYTHON]
# A venv whose packages were built in isolation has no pybind11 of its own; then pybind11
# (pure Python) is fetched into BUILD_DIR/pybind11, leaving the interpreter and its packages
# as they are. The pip that fetches it is PYTHON's, else PIP_PYTHON's (the venv a base
# interpreter was named for), else that of a venv made for the purpose in BUILD_DIR/pip-venv:
# a system Python has no pip unless python3-pip is installed, and none is needed.
set -euo pipefail
python=$1
dir=$2
"$python" -m pybind11 --cmakedir 2>/dev/null && exit 0
if [ ! -d "$dir/pybind11/pybind11" ]; then
  pip=()
  for candidate in "$python" ${3:+"$3"}; do
    if "$candidate" -m pip --version >/dev/null 2>&1; then pip=("$candidate" -m pip); break; fi
  done
  if [ ${#pip[@]} -eq 0 ]; then
    [ -x "$dir/pip-venv/bin/python" ] || "$python" -m venv "$dir/pip-venv" >&2
    pip=("$dir/pip-venv/bin/python" -m pip)
  fi
  "${pip[@]}" install -q --disable-pip-version-check --target "$dir/pybind11" "pybind11>=3.0" >&2
fi
PYTHONPATH="$dir/pybind11" "$python" -m pybind11 --cmakedir
