#!/usr/bin/env bash
# Makes an arm64 Debian 12 root without running any arm64 program: tools/zig/arm64-root.sh ROOT
# debootstrap's first stage fetches the packages, and every one of them is unpacked with
# dpkg-deb. It has Python 3.11 (for tools/check-wheel-aarch64.sh, under qemu-aarch64-static
# -L ROOT), pytest and pyserial, and the arm64 libgcc_s.so.1 the aarch64 wheels link against.
set -euo pipefail
root=$1
[ -x "$root/usr/bin/python3.11" ] && [ -f "$root/usr/lib/aarch64-linux-gnu/libgcc_s.so.1" ] && exit 0
command -v debootstrap >/dev/null || { echo "arm64-root: needs debootstrap (Debian package debootstrap)" >&2; exit 1; }
rm -rf "$root"
mkdir -p "$root"
debootstrap --foreign --arch=arm64 --variant=minbase \
  --include=python3.11,libpython3.11-dev,python3-pytest,python3-pytest-timeout,python3-serial,python3-hypothesis \
  bookworm "$root" http://deb.debian.org/debian >"$root.log" 2>&1 || { tail -n 20 "$root.log" >&2; exit 1; }
for deb in "$root"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$deb" "$root"; done
