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
pybind11_dir=$(tools/pybind11-cmakedir.sh "$python" "$dir")
cmake -S tests/emulator -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$pybind11_dir" >/dev/null
cmake --build "$dir" -j2 >&2
echo "$dir"
