#!/usr/bin/env bash
# Runs the whole test suite against an AddressSanitizer + UBSan build of the module,
# under the emulated USB bus:
#   tools/test-sanitizers.sh [BUILD_DIR] [pytest args]      BUILD_DIR defaults to build/asan
# PYTHON picks the interpreter that runs the tests (default python3; it needs pytest,
# pytest-timeout and hypothesis); TORVAK_EMU_PATH names an emulator build for it (default:
# built into build/emulator). Exits non-zero on a failed test and on any sanitizer report.
#
# The interpreter is not instrumented, so the sanitizer runtime (and libstdc++, whose
# exception entry points ASan intercepts) is preloaded ahead of umockdev's library.
#
# Leak checking is off here: an uninstrumented interpreter keeps much of what it
# allocates until exit by design, and a leak suppression cannot tell its allocations
# from ours (every stack of ours passes through the interpreter's frames). Leaks are
# checked by tools/memcheck.sh instead, which traces each definite loss to the code
# that allocated it.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/asan}; shift || true
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# -O1 with line tables only: what the sanitizers' reports need, and far quicker to compile
# than the optimised build with full debug information.
# The build's own output goes to its log, one line a step (ninja's status line rewrites
# itself on a terminal); progress lines come as the module's build gives them.
"$python" tools/build_progress.py "$dir/build.log" "test-sanitizers:" -- env PYTHON="$python" \
  tools/dev-build.sh "$dir" -DZEQ_TORVAK_SANITIZE=ON -DZEQ_TORVAK_TEST_HOOKS=ON \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
emu=${TORVAK_EMU_PATH:-$(PYTHON="$python" tools/build-emulator.sh build/emulator 2>"$dir/emulator.log" | tail -n 1)}

preload="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libstdc++.so):libumockdev-preload.so.0"
loaded=$(LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 PYTHONPATH="$dir" \
  "$python" -c 'import zeq_torvak; print(zeq_torvak.__file__)')
case "$loaded" in
  "$dir"/*) ;;
  *) echo "the tests would load $loaded, not the sanitizer build in $dir" >&2; exit 1 ;;
esac

# Reports go to standard error: with a log_path ASan would create directories through
# umockdev's wrappers before those are set up, and crash at start-up. A report ends the
# process that made it, so the run fails, and the tests that start a child check its
# exit status; the output is searched as well, for a report that the tests survived.
out="$dir/sanitizer-run.log"
status=0
LD_PRELOAD="$preload" \
  ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:abort_on_error=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  PYTHONPATH="$dir:$emu" TORVAK_EMU_PATH="$emu" TORVAK_REQUIRE_EMULATOR=1 \
  TORVAK_TEST_HOOKS=1 TORVAK_REQUIRE_TEST_HOOKS=1 \
  "$python" -m pytest "$@" 2>&1 | tee "$out" || status=${PIPESTATUS[0]}
if grep -qE "ERROR: (AddressSanitizer|LeakSanitizer)|: runtime error: |SUMMARY: UndefinedBehaviorSanitizer" "$out"; then
  echo "sanitizer report(s) in the output above (saved in $out)" >&2
  exit 1
fi
exit "$status"
