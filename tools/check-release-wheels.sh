#!/usr/bin/env bash
# The release wheels and where they will run (.ci/run --wheels): tools/check-release-wheels.sh [OUT]
# Builds the sdist and the eighteen wheels (CPython 3.8 to 3.13 on x86_64 and aarch64, zig,
# glibc 2.28, and on Windows x86_64) into OUT (default build/release), then for each Linux wheel: auditwheel's verdict,
# libusb and its licence inside, no C++ standard library among the extensions' needs, and
# the newest glibc symbol version each extension needs (at most 2.28). Then the cp311
# aarch64 wheel's hardware-free tests under qemu (tools/check-wheel-aarch64.sh) and the cp39
# x86_64 wheel's tests in a Debian 11 root (tools/check-wheel-bullseye.sh), for each Windows
# wheel the DLLs its extensions import, and the cp38 and cp313 ones under wine
# (tools/check-wheel-windows.sh), the cp311
# x86_64 wheel's emulated-device tests (tools/check-wheel.sh), and the whole suite against a
# zig build of the module (tools/zig/test-suite.sh). Then Debian 13's Python 3.13 installs
# from the index, in a minimal trixie root with no compiler, and the README's set-up
# (tools/main.sh) runs in minimal Debian 13 and Ubuntu 24.04 roots (tools/check-fresh-root.sh;
# Debian 12's runs in every CI run). Slow: not part of every CI run.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/release}
say() { echo "check-release-wheels: $*"; }
missing=()
for p in qemu-user-static debootstrap wine64; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
mkdir -p "$out"
TORVAK_WHEEL_ARCHS="x86_64 aarch64 win_amd64" tools/build-wheels.sh "$out" >/dev/null
out=$(cd "$out" && pwd)
export PATH="$PWD/build/wheel-tools/bin:$PATH"

failed=0
windows=("$out"/zeq_torvak-*-win_amd64.whl)
[ ${#windows[@]} -eq 6 ] || { say "FAILED: ${#windows[@]} Windows wheels, not 6"; failed=1; }
for wheel in "${windows[@]}"; do
  unpacked=$(mktemp -d)
  python3 -m zipfile -e "$wheel" "$unpacked"
  python3 -m zipfile -l "$wheel" | grep -q 'zeq_torvak.libs/LICENSE.libusb' \
    || { say "FAILED: no libusb licence in $(basename "$wheel")"; failed=1; }
  for pyd in "$unpacked"/*.pyd; do
    dlls=$(objdump -p "$pyd" | sed -n 's/.*DLL Name: //p' | tr '\n' ' ')
    echo "$(basename "$wheel"): $(basename "$pyd") imports $dlls"
    # CPython's DLL, Windows' own and the Universal C Runtime's, nothing else.
    for dll in $dlls; do
      grep -qiE '^(python3[0-9]+|KERNEL32|WS2_32|api-ms-win-crt-[a-z]+-l1-1-0)\.dll$' <<<"$dll" \
        || { say "FAILED: $(basename "$pyd") needs $dll"; failed=1; }
    done
  done
  rm -rf "$unpacked"
done
wheels=("$out"/zeq_torvak-*linux*.whl)
[ ${#wheels[@]} -eq 12 ] || { say "FAILED: ${#wheels[@]} Linux wheels, not 12"; failed=1; }
for wheel in "${wheels[@]}"; do
  name=$(basename "$wheel")
  verdict=$(auditwheel show "$wheel" | tr '\n' ' ' | grep -oE 'consistent with the following platform tag: "[^"]*"' || true)
  echo "$name: auditwheel: ${verdict:-no verdict}"
  case "$verdict" in *manylinux_2_1[0-9]_*|*manylinux_2_2[0-8]_*|*manylinux2014_*) ;;
    *) say "FAILED: $name is not manylinux_2_28 or older"; failed=1 ;; esac
  files=$(python3 -m zipfile -l "$wheel")
  grep -q 'zeq_torvak.libs/libusb-1' <<<"$files" || { say "FAILED: no libusb in $name"; failed=1; }
  grep -q 'zeq_torvak.libs/LICENSE.libusb' <<<"$files" || { say "FAILED: no libusb licence in $name"; failed=1; }
  unpacked=$(mktemp -d)
  python3 -m zipfile -e "$wheel" "$unpacked"
  for so in "$unpacked"/*.so; do
    needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    newest=$(objdump -T "$so" | grep -oE 'GLIBC_[0-9]+\.[0-9]+(\.[0-9]+)?' | sort -uV | tail -n 1)
    echo "  $(basename "$so"): newest $newest; needs $needed"
    if grep -qE 'libstdc\+\+|libc\+\+' <<<"$needed"; then say "FAILED: a C++ standard library among its needs"; failed=1; fi
    if [ "$(printf '%s\n' "$newest" GLIBC_2.28 | sort -V | tail -n 1)" != GLIBC_2.28 ]; then
      say "FAILED: needs $newest"; failed=1
    fi
  done
  rm -rf "$unpacked"
done
[ "$failed" = 0 ] || exit 1
# The index as docs/deployment.md makes it serves every supported CPython: Debian 13's 3.13
# installs from it with no compiler.
tools/check-fresh-root.sh --index "$out" trixie
tools/check-wheel-aarch64.sh "$out"
tools/check-wheel-windows.sh "$out" 3.8 3.13
tools/check-wheel-bullseye.sh "$out"
# The cp311 x86_64 wheel against the emulated device: its libusb, built without udev,
# must see devices plugged in and unplugged after it started.
python311=$(ls "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.11.*/bin/python3.11 2>/dev/null | head -n 1 || true)
tools/check-wheel.sh "$out" "${python311:-python3.11}" tests/test_emulator.py tests/test_usb_layer.py \
  tests/test_end_to_end.py tests/test_faults.py tests/test_cli.py
# The whole suite against the module compiled as the release's are (zig), test hooks on.
tools/zig/test-suite.sh -q -p no:cacheprovider
# The README's two commands on the other systems it names.
tools/check-fresh-root.sh trixie
tools/check-fresh-root.sh noble
