#!/usr/bin/env bash
# Builds the USB device emulator (emulator/): tools/build-emulator.sh [BUILD_DIR]
# PYTHON picks the interpreter to build for (default python3); BUILD_DIR defaults to
# build/emulator. BUILD_DIR then holds the package torvak_emu (Python files and native
# part): put it on PYTHONPATH to import it, or name it in TORVAK_EMU_PATH for the tools.
# Prints BUILD_DIR as an absolute path on its last line. Needs umockdev's development
# files (Debian/Ubuntu: libumockdev-dev).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/emulator}
python=$(command -v "${PYTHON:-python3}")
named=$python
# The build is for the base installation behind a venv or a pyenv shim: the same base
# gives the same build, whichever of its venvs is active, so none of them makes the
# next run configure and build again.
python=$(readlink -f "$("$python" -c 'import os, sys
print(os.path.join(sys.base_prefix, "bin", "python%d.%d" % sys.version_info[:2]))')")
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# A directory configured for another source tree (the emulator used to live in tests/)
# is configured afresh.
if [ -f "$dir/CMakeCache.txt" ] && ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$PWD/emulator" "$dir/CMakeCache.txt"; then
  rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
fi
# pybind11, when fetched, comes through the named venv's pip (the base may have none).
pybind11_dir=$(tools/pybind11-cmakedir.sh "$python" "$dir" "$named")
cmake -S emulator -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$pybind11_dir" >/dev/null
cmake --build "$dir" -j2 >&2
echo "$dir"
