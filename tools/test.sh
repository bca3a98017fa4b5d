#!/usr/bin/env bash
# Sets everything up and runs the whole test suite, under umockdev so the real libusb
# path is exercised against the emulated device; then the type checks, the reader's fuzz
# target, the suite against a sanitizer build, and the suite on the oldest and the newest
# supported Python (3.8 and 3.13) when pyenv has them.
set -euo pipefail
cd "$(dirname "$0")/.."
# One line per stage with its duration, so a slow CI run shows where the time went.
stage_start=$SECONDS
stage() { echo "test.sh: $1 took $((SECONDS - stage_start)) s"; stage_start=$SECONDS; }
export TORVAK_TEST_HOOKS=1 TORVAK_REQUIRE_TEST_HOOKS=1
# The module with its test hooks goes into a venv of its own, .venv-test, so that this run
# and tools/main.sh (.venv, no hooks) never rebuild each other's module.
venv=.venv-test
# tshark reads the capture tests' pcapng files as Wireshark users will; socat and picocom use
# a served tty as people do; debootstrap makes the fresh root of the README's check below.
VENV=$venv TORVAK_EXTRAS=test TORVAK_EXTRA_PACKAGES="clang libclang-rt-dev iproute2 tshark gensio-bin debootstrap socat picocom" \
  tools/setup.sh
# The emulator's build output goes to its log (shown when it fails); its last line names it.
mkdir -p build
if ! PYTHON=$venv/bin/python tools/build-emulator.sh build/emulator >build/emulator-test.log 2>&1; then
  tail -n 30 build/emulator-test.log >&2
  echo "test.sh: building the device emulator failed (log: build/emulator-test.log)" >&2
  exit 1
fi
emu_dir=$(tail -n 1 build/emulator-test.log)
export TORVAK_EMU_PATH="$emu_dir"
export TORVAK_REQUIRE_EMULATOR=1   # the emulated-device tests may not skip here
tools/setup-labgrid.sh .venv-labgrid
export TORVAK_LABGRID_VENV="$PWD/.venv-labgrid" TORVAK_REQUIRE_LABGRID=1
stage "set-up"
PYTHONPATH="$emu_dir" umockdev-wrapper $venv/bin/python -m pytest "$@"
stage "the suite"
# The stub must describe the installed module; the shipped package and the typed example
# must pass mypy --strict.
export MYPY_CACHE_DIR=build/mypy-cache
$venv/bin/python -m mypy.stubtest zeq_torvak
$venv/bin/python -m mypy --strict -p torvak_serial
$venv/bin/python -m mypy --strict -p torvak_common
$venv/bin/python -m mypy --strict -p torvak_discovery
$venv/bin/python -m mypy --strict -p torvak_cli
$venv/bin/python -m mypy --strict examples/typed_ports.py
stage "stubtest and type checks"
# The documentation site, warnings as errors (the suite has run its examples).
tools/docs.sh --no-screenshots
stage "the documentation"
# The binary wheel for this Python (tools/build-wheels.sh builds all six by hand), installed
# into a fresh venv with no build, and the module's, torvak_serial's and the CLI's tests run
# against that installation. It is built by the venv's interpreter (python3's own, with the
# venv's pip: the system's python3 may have none).
TORVAK_WHEEL_PYTHONS=$PWD/$venv/bin/python tools/build-wheels.sh build/wheelhouse
tools/check-wheel.sh build/wheelhouse python3
stage "the wheel and its check"

# The README's set-up on a machine that has nothing: a minimal Debian 12 root (debootstrap,
# cached between runs in /var/cache/torvak-ci) gets a clone of this checkout and runs
# `bash tools/main.sh`; the emulated device must report the demonstration's lines. About
# 3 minutes, most of it the module's build from scratch.
tools/check-fresh-root.sh bookworm
stage "the README's two commands in a fresh Debian 12 root"

# The reader's fuzz target over its corpus plus fresh inputs; its progress goes to a log.
mkdir -p build/fuzz
fuzz_log=build/fuzz/fuzz.log
if ! tools/fuzz.sh 100000 >"$fuzz_log" 2>&1; then
  tail -n 40 "$fuzz_log" >&2
  echo "fuzz: FAILED (the end of $fuzz_log above; the failing input is in build/fuzz)" >&2
  exit 1
fi
awk -v logfile="$fuzz_log" '
  /^Done [0-9]+ runs in/ { runs = $2; seconds = $5 }
  /DONE +cov:/ { for (i = 1; i < NF; i++) { if ($i == "cov:") cov = $(i + 1); if ($i == "corp:") corp = $(i + 1) } }
  /new_units_added:/ { added = $2 }
  END { printf "fuzz: %s inputs in %s s, no failure; coverage %s, corpus %s, %s new (log: %s)\n",
               runs, seconds, cov, corp, added, logfile }' "$fuzz_log"
stage "fuzzing"

# The whole suite again against an AddressSanitizer + UBSan build of the module.
PYTHON=$venv/bin/python tools/test-sanitizers.sh build/asan "$@"
stage "the sanitizer build and run"

# The suite and the stub on the oldest and the newest supported Python, each with its own
# venv and emulator build. (The type checks above do not depend on the interpreter.)
# TORVAK_SKIP_PY38=1 or TORVAK_SKIP_PY313=1 leaves one out. Both are set up first, then
# their suites run side by side: a suite mostly waits on the emulated bus, so two share the
# machine without crowding it. Each run's output is kept in build/test-pyNN.log and shown
# when both have ended.
tags=()
for version in 3.8 3.13; do
  tag=${version//./}
  skip=TORVAK_SKIP_PY$tag
  [ -z "${!skip:-}" ] || continue
  python=""
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" \
                   $(command -v "python$version" || true); do
    if [ -x "$candidate" ] && "$candidate" -c "import sys" >/dev/null 2>&1; then python=$candidate; break; fi
  done
  if [ -z "$python" ]; then
    echo "test.sh: no Python $version found; its run is left out"
    continue
  fi
  TORVAK_EXTRAS=test VENV=".venv$tag" tools/setup.sh "$python"
  if ! PYTHON="$PWD/.venv$tag/bin/python" tools/build-emulator.sh "build/emulator$tag" >"build/emulator$tag.log" 2>&1; then
    tail -n 30 "build/emulator$tag.log" >&2
    echo "test.sh: building the device emulator for Python $version failed (log: build/emulator$tag.log)" >&2
    exit 1
  fi
  tags+=("$tag")
done
stage "setting up the other Pythons (${tags[*]})"

run_python() {
  local tag=$1; shift
  local emu
  emu=$(cd "build/emulator$tag" && pwd)
  TORVAK_EMU_PATH="$emu" PYTHONPATH="$emu" umockdev-wrapper ".venv$tag/bin/python" -m pytest \
    --basetemp="build/pytest-py$tag" "$@" &&
  ".venv$tag/bin/python" -m mypy.stubtest zeq_torvak
}
pids=()
for tag in "${tags[@]}"; do
  run_python "$tag" "$@" >"build/test-py$tag.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!tags[@]}"; do
  status=0
  wait "${pids[$i]}" || status=$?
  echo "===== Python ${tags[$i]}: exit status $status (build/test-py${tags[$i]}.log) ====="
  cat "build/test-py${tags[$i]}.log"
  [ "$status" = 0 ] || failed=1
done
stage "their suites, side by side"
exit "$failed"
