#!/usr/bin/env bash
# Prepares a Debian/Ubuntu machine: system packages, then a virtual environment in .venv
# (or $VENV) with the module installed. Each step prints one line (the module's build one at
# least every 20 s, with the compiler's count), and a step that is already done is skipped:
#   tools/setup.sh [PYTHON]      PYTHON defaults to python3
# TORVAK_EXTRAS names extras of the module to install with it, comma-separated (tools/test.sh:
# "test"); TORVAK_TEST_HOOKS=1 builds the module with its test-only hooks.
#
# The module is built again only when its sources (or the hooks setting) differ from those
# of the build installed in the venv: a digest of them is kept in $VENV/.torvak-installed.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
venv=${VENV:-.venv}
say() { echo "setup: $*"; }

# Python with its venv module and headers, the compiler, CMake and libusb's headers build the
# module; umockdev runs the emulated device; pip fetches the build requirements over HTTPS,
# checked against the system's certificates where pip is told to (ca-certificates). The
# system Python's pip is never used (no python3-pip): the venvs bring their own.
packages=(python3 python3-venv python3-dev build-essential pkg-config cmake ninja-build libusb-1.0-0-dev
          umockdev libumockdev-dev gir1.2-umockdev-1.0 ca-certificates)
# More system packages, space-separated (the test run adds its fuzzer's compiler).
read -r -a extra <<< "${TORVAK_EXTRA_PACKAGES:-}"
packages+=("${extra[@]}")
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing system packages: ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  # apt's own lines (debconf's notes among them) go to a log, shown when it fails.
  mkdir -p build
  apt_log=build/setup-apt.log
  # Through env: sudo drops DEBIAN_FRONTEND from the environment, and a package that asks
  # a question (tshark: may non-root users capture) would then wait for an answer.
  { $sudo apt-get update -qq && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } \
    >"$apt_log" 2>&1 || { tail -n 30 "$apt_log" >&2; say "installing the system packages failed (log: $apt_log)"; exit 1; }
else
  say "system packages present"
fi

if [ -x "$venv/bin/python" ]; then
  say "virtual environment $venv present ($("$venv/bin/python" --version))"
else
  say "creating the virtual environment $venv ($("$python" --version)) and upgrading its pip"
  mkdir -p build
  # A line at least every 20 s here too: upgrading pip waits on the network.
  "$python" tools/build_progress.py "build/setup-${venv//[^A-Za-z0-9]/}-venv.log" "setup:" -- sh -c \
    '"$1" -m venv "$2" && "$2/bin/python" -m pip install --disable-pip-version-check --upgrade pip' sh "$python" "$venv"
fi

hooks=0
[ -z "${TORVAK_TEST_HOOKS:-}" ] || hooks=1
# Everything the wheel is built from; byte-compiled files and build output left aside.
digest=$(find CMakeLists.txt pyproject.toml src python -type f ! -name '*.pyc' ! -name '*.so' \
           ! -path '*/__pycache__/*' ! -path '*.egg-info/*' -print0 \
         | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16)
build="sources=$digest hooks=$hooks"
stamp="$venv/.torvak-installed"
installed_build=$(sed -n 1p "$stamp" 2>/dev/null || true)
installed_extras=$(sed -n 2p "$stamp" 2>/dev/null || true)
extras=${TORVAK_EXTRAS:-}
extras_missing=""
for e in ${extras//,/ }; do
  case ",$installed_extras," in *",$e,"*) ;; *) extras_missing+=" $e" ;; esac
done
if [ "$installed_build" = "$build" ] && [ -z "$extras_missing" ] \
   && "$venv/bin/python" -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("zeq_torvak") is None)'; then
  say "zeq_torvak in $venv matches the sources${extras:+ (extras: $extras)}; not rebuilt"
  exit 0
fi

hooks_setting=()
# The hooks build keeps its own build folder, so that switching between the two builds
# (tools/main.sh and tools/test.sh) never recompiles what the other compiled.
[ "$hooks" = 0 ] || hooks_setting=(--config-settings=cmake.define.ZEQ_TORVAK_TEST_HOOKS=ON
                                   "--config-settings=build-dir=build/hooks/{wheel_tag}")
# About 200 s of compiler time, measured: 2 to 3 minutes on two free cores, 5 on two cores
# that other builds share, up to 10 on one busy core. The compiler's count and an estimate
# of the time left come as the build goes.
mkdir -p build
log=build/setup-${venv//[^A-Za-z0-9]/}.log
say "building zeq_torvak${hooks_setting:+ with its test hooks} and installing it${extras:+ with extras $extras} into $venv:" \
    "2 to 3 minutes on two free cores, 5 to 10 on a busy machine (log: $log)"
"$venv/bin/python" tools/build_progress.py "$log" "setup:" -- \
  "$venv/bin/python" -m pip install -v --disable-pip-version-check "${hooks_setting[@]}" ".${extras:+[$extras]}"
# Extras installed before stay installed; the new build keeps them on record.
all_extras=$(echo "$installed_extras,$extras" | tr ',' '\n' | sed '/^$/d' | sort -u | paste -sd, -)
printf '%s\n%s\n' "$build" "$all_extras" > "$stamp"
