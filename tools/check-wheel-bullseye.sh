#!/usr/bin/env bash
# Runs the cp39 x86_64 wheel on an older system: tools/check-wheel-bullseye.sh OUT [pytest args]
# A Debian 11 root (build/roots/bullseye, made with debootstrap: glibc 2.31, Python 3.9) gets
# a venv with zeq_torvak from the wheels in OUT (never built from source) and the test tools,
# fetched beforehand by this machine's pip (the root has no way to the package index of its
# own); then the module's hardware-free tests (fake handles, child processes included) run
# in it, inside a chroot, against that installation. The emulated-device tests cannot run
# there: Debian 11's umockdev (0.15) has no ioctl handler API for the emulator.
# The checkout is bind-mounted at its own path, so the tests' paths hold.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(cd "$1" && pwd)
shift
here=$PWD
root=$here/build/roots/bullseye
say() { echo "check-wheel-bullseye: $*"; }
command -v debootstrap >/dev/null || { say "needs debootstrap (Debian package debootstrap)"; exit 1; }
if [ ! -x "$root/usr/bin/python3" ] || [ ! -d "$root/usr/lib/python3.9/venv" ]; then
  say "making the bullseye root $root (debootstrap)"
  rm -rf "$root"
  mkdir -p "$root"
  debootstrap --variant=minbase --include=python3,python3-venv bullseye "$root" http://deb.debian.org/debian \
    >build/roots/bullseye.log 2>&1 || { tail -n 20 build/roots/bullseye.log; exit 1; }
fi
wheels=$here/build/roots/bullseye-wheels
python3 -m pip download -q --disable-pip-version-check --only-binary :all: --python-version 3.9 \
  --implementation cp --platform manylinux2014_x86_64 -d "$wheels" \
  "pytest>=7" "pytest-timeout>=2.1" exceptiongroup tomli "pyserial>=3.5" hypothesis

mounted=()
unmount() { for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[$i]}" || true; done; }
trap unmount EXIT
for path in /proc /sys /dev "$here"; do
  mkdir -p "$root$path"
  mountpoint -q "$root$path" || { mount --bind "$path" "$root$path"; mounted+=("$root$path"); }
done
inside() { chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root "$@"; }

venv=/opt/torvak-check
inside rm -rf "$venv"
inside /usr/bin/python3 -m venv "$venv"
inside "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
  --find-links "$wheels" --find-links "$out" --only-binary zeq_torvak \
  zeq_torvak "pytest>=7" "pytest-timeout>=2.1" hypothesis
inside "$venv/bin/python" -c 'import platform, zeq_torvak
print("check-wheel-bullseye: glibc", platform.libc_ver()[1], zeq_torvak.__file__)'
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_channel.py tests/test_device_queries.py tests/test_registry.py
                                 tests/test_serial.py tests/test_reader_properties.py tests/test_wire_and_reader.py
                                 tests/test_exceptions_and_exit.py)
# The root's own /tmp keeps pytest's files inside it.
inside /bin/sh -c "cd '$here' && TORVAK_TEST_INSTALLED=1 '$venv/bin/pytest' -q -p no:cacheprovider \
  --basetemp=/tmp/torvak-pytest $(printf "'%s' " "${tests[@]}")"
