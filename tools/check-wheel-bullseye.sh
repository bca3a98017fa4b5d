#!/usr/bin/env bash
# Runs the cp39 x86_64 wheel on an older system: tools/check-wheel-bullseye.sh OUT [pytest args]
# A Debian 11 root (build/roots/bullseye, made with debootstrap: glibc 2.31, Python 3.9,
# umockdev 0.15) gets the emulator built with its own compiler, and a venv with zeq_torvak
# from the wheels in OUT (never built from source); then the emulated-device tests of the
# module, torvak_serial and the CLI run in it against that installation, under umockdev,
# inside a chroot. The checkout is bind-mounted at its own path, so the tests' paths hold.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(cd "$1" && pwd)
shift
here=$PWD
root=$here/build/roots/bullseye
say() { echo "check-wheel-bullseye: $*"; }
command -v debootstrap >/dev/null || { say "needs debootstrap (Debian package debootstrap)"; exit 1; }
packages=python3,python3-venv,python3-dev,g++,make,ninja-build,pkg-config,libumockdev-dev,umockdev,gir1.2-umockdev-1.0
if [ ! -x "$root/usr/bin/umockdev-wrapper" ]; then
  say "making the bullseye root $root (debootstrap)"
  rm -rf "$root"
  mkdir -p "$root"
  debootstrap --variant=minbase --include="$packages" bullseye "$root" http://deb.debian.org/debian \
    >build/roots/bullseye.log 2>&1 || { tail -n 20 build/roots/bullseye.log; exit 1; }
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"   # pip in the root fetches pyserial and pytest

mounted=()
unmount() { for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[$i]}" || true; done; }
trap unmount EXIT
for path in /proc /sys /dev "$here"; do
  mkdir -p "$root$path"
  mountpoint -q "$root$path" || { mount --bind "$path" "$root$path"; mounted+=("$root$path"); }
done
# The /tmp of the root is its own, so umockdev's testbed and pytest's files stay inside it.
inside() { chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root "$@"; }

venv=/opt/torvak-check
inside rm -rf "$venv"
inside /usr/bin/python3 -m venv "$venv"
pip=("$venv/bin/python" -m pip -q --disable-pip-version-check)
inside "${pip[@]}" install --upgrade pip
inside "${pip[@]}" install "pytest>=7" "pytest-timeout>=2.1" "cmake>=3.18" "pybind11>=3.0"
inside "${pip[@]}" install --only-binary zeq_torvak --find-links "$out" zeq_torvak
inside "$venv/bin/python" -c 'import platform, zeq_torvak
print("check-wheel-bullseye: glibc", platform.libc_ver()[1], zeq_torvak.__file__)'

emu=$here/build/emulator-bullseye
inside /bin/sh -c "cd '$here' && PATH='$venv/bin':\$PATH PYTHON='$venv/bin/python' tools/build-emulator.sh '$emu'" \
  >build/roots/bullseye-emulator.log 2>&1 || { tail -n 30 build/roots/bullseye-emulator.log; exit 1; }
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_end_to_end.py tests/test_serial.py tests/test_cli.py tests/test_native_path.py)
inside /bin/sh -c "cd '$here' && TORVAK_TEST_INSTALLED=1 TORVAK_REQUIRE_EMULATOR=1 TORVAK_EMU_PATH='$emu' \
  PYTHONPATH='$emu' umockdev-wrapper '$venv/bin/pytest' -q -p no:cacheprovider --basetemp=/tmp/torvak-pytest $(printf "'%s' " "${tests[@]}")"
