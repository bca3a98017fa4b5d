#!/usr/bin/env bash
# Checks that a wheel works without a build: tools/check-wheel.sh OUT [PYTHON] [pytest args]
# A fresh venv for PYTHON (default python3) gets zeq_torvak and pyserial from the package
# index OUT/simple only (--only-binary: never built from source); the extension must
# load the libusb bundled in the wheel. Then the emulated-device tests of the module,
# torvak_serial and the CLI (or the tests named after PYTHON) run against that
# installation, with the source tree's python/ kept off the path (TORVAK_TEST_INSTALLED=1).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(cd "$1" && pwd)
python=${2:-python3}
shift $(( $# < 2 ? $# : 2 ))
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_end_to_end.py tests/test_serial.py tests/test_cli.py)
say() { echo "check-wheel: $*"; }

tag=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
venv=build/wheel-check/venv$tag
rm -rf "$venv"
say "a fresh venv $venv ($("$python" --version)) with zeq_torvak from $out"
"$python" -m venv "$venv"
pip=("$venv/bin/python" -m pip -q --disable-pip-version-check)
"${pip[@]}" install --upgrade pip
# From the package index beside the wheels alone (tools/build-wheels.sh writes it), as an
# air-gapped machine installs: pyserial comes from there too, and nothing is built.
"${pip[@]}" install --isolated --only-binary :all: --index-url "file://$out/simple" zeq_torvak
"${pip[@]}" install "pytest>=7" "pytest-timeout>=2.1"

# The extension resolves libusb to the copy in the wheel's zeq_torvak.libs/.
extension=$("$venv/bin/python" -c 'import zeq_torvak; print(zeq_torvak.__file__)')
if ! ldd "$extension" | grep -E "libusb.*=> .*/zeq_torvak\.libs/"; then
  ldd "$extension" >&2
  say "FAILED: $extension does not load the libusb bundled in the wheel" >&2
  exit 1
fi
"$venv/bin/torvak" --version
# The unit and the udev rules that docs/deployment.md installs from the venv.
for shipped in torvak-serve.service 60-torvak.rules 61-torvak-serve.rules; do
  [ -f "$venv/share/torvak/$shipped" ] || { say "FAILED: the wheel installed no share/torvak/$shipped" >&2; exit 1; }
done

# The emulator is built for the venv's base interpreter, in the folder tools/test.sh uses
# for it (build/emulator for the default Python).
emu=build/emulator
[ "$("$venv/bin/python" -c 'import sys; print(sys.base_prefix)')" = "$(python3 -c 'import sys; print(sys.base_prefix)')" ] \
  || emu=build/emulator$tag
emu=$(PYTHON="$venv/bin/python" tools/build-emulator.sh "$emu" 2>"build/wheel-check/emulator$tag.log" | tail -n 1)
# The venv's own pytest script, not python -m pytest, which would put the checkout first.
# The emulator's wrapper, not umockdev's: a wheel's libusb may be one built without udev,
# which hears of devices plugged in later only through the emulator's preload library.
TORVAK_TEST_INSTALLED=1 TORVAK_REQUIRE_EMULATOR=1 TORVAK_EMU_PATH="$emu" PYTHONPATH="$emu" \
  "$emu/torvak-emu-wrapper" "$venv/bin/pytest" -q -p no:cacheprovider --basetemp="build/wheel-check/pytest$tag" "${tests[@]}"
