#!/usr/bin/env bash
# Runs the device and channel tests under valgrind memcheck and fails on a block that is
# definitely lost through the project's own code, or on an invalid access or free in it:
#   tools/memcheck.sh [BUILD_DIR] [TEST FILES]      BUILD_DIR defaults to build/memcheck
# PYTHON picks the interpreter (default python3; it needs pytest, pytest-timeout and
# hypothesis). Takes some minutes: not part of CI. The verdict is tools/memcheck_report.py.
#
# PYTHONMALLOC=malloc hands every object allocation to malloc, where memcheck sees it.
# The fake-handle tests need no emulated bus, so this runs without umockdev.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/memcheck}; shift || true
# The interpreter itself, not a launcher script (pyenv shims) that valgrind would stop at.
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
tests=(tests/test_wire_and_reader.py tests/test_device_queries.py tests/test_channel.py)
[ $# -eq 0 ] || tests=("$@")

PYTHON="$python" tools/dev-build.sh "$dir" >/dev/null

log="$dir/memcheck.log"
rm -f "$log"
# Timing bounds of a few tests may not hold at valgrind's speed; that is not what this
# run checks, so a failed test is shown but leaves the verdict to the report.
PYTHONMALLOC=malloc PYTHONPATH="$dir" valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=60 \
  --fullpath-after= --log-file="$log" \
  "$python" -m pytest -q -p no:cacheprovider "${tests[@]}" || echo "(tests failed under valgrind; see above)"
exec "$python" tools/memcheck_report.py "$log" "$PWD/src/"
