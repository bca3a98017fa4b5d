#!/usr/bin/env bash
# Builds the reader's libFuzzer target with ASan and UBSan and runs it on the corpus:
#   tools/fuzz.sh [RUNS] [extra libFuzzer flags]     RUNS defaults to 100000 (about 20 s)
# New inputs go to $FUZZ_DIR/corpus (FUZZ_DIR defaults to build/fuzz), never into
# tests/fuzz/corpus; keep the ones that add coverage with
#   $FUZZ_DIR/fuzz_reader -merge=1 tests/fuzz/corpus $FUZZ_DIR/corpus
# A failing input is left in $FUZZ_DIR (replay: $FUZZ_DIR/fuzz_reader FILE) and the script
# exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-100000}; shift || true
dir=${FUZZ_DIR:-build/fuzz}
cxx=${CXX_FUZZ:-clang++}
mkdir -p "$dir/corpus"

sources=(tests/fuzz/fuzz_reader.cpp src/device/device_core.cpp src/device/threaded_writes.cpp src/wire/wire_format.cpp
         src/channel/input_buffer.cpp src/sync/blocking_lock.cpp src/sync/readiness_pair.cpp)
"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Werror -Isrc \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  "${sources[@]}" -o "$dir/fuzz_reader"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$dir/fuzz_reader" -runs="$runs" -max_len=1024 -print_final_stats=1 \
  -artifact_prefix="$dir/" "$@" "$dir/corpus" tests/fuzz/corpus
