#!/usr/bin/env bash
# Builds the test-only USB device emulator: tools/build-emulator.sh [BUILD_DIR]
# PYTHON picks the interpreter to build for (default python3). Prints the directory that
# holds _torvak_emu*.so on its last line; tests/emulator/torvak_emu.py looks there when
# TORVAK_EMU_PATH or TORVAK_EMULATOR_PATH names it, and in build/emulator by default.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/emulator}
python=$(command -v "${PYTHON:-python3}")
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if ! pybind11_dir=$("$python" -m pybind11 --cmakedir 2>/dev/null); then
  # A venv whose packages were built in isolation has no pybind11 of its own; fetch one
  # that supports this interpreter into the build directory, leaving the venv as it is.
  if [ ! -d "$dir/pybind11/pybind11" ]; then
    "$python" -m pip install -q --disable-pip-version-check --target "$dir/pybind11" \
      "pybind11>=2.13" >&2
  fi
  pybind11_dir=$(PYTHONPATH="$dir/pybind11" "$python" -m pybind11 --cmakedir)
fi
cmake -S tests/emulator -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$pybind11_dir" >/dev/null
cmake --build "$dir" -j2 >&2
echo "$dir"
