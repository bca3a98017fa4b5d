#!/usr/bin/env bash
# Builds the extension in place for development: tools/dev-build.sh [BUILD_DIR] [extra cmake args]
# Then run tests with PYTHONPATH=BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/dev}; shift || true
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$dir" -j2
