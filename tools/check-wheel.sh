#!/usr/bin/env bash
# Checks that a wheel works without a build: tools/check-wheel.sh OUT [PYTHON] [pytest args]
# A fresh venv for PYTHON (default python3) gets zeq_torvak and pyserial from the package
# index OUT/simple only (--only-binary: never built from source); the extension must
# load the libusb bundled in the wheel. Then the emulated-device tests of the module,
# torvak_serial and the CLI (or the tests named after PYTHON) run against that
# installation, with the source tree's python/ kept off the path (TORVAK_TEST_INSTALLED=1).
# Last, where OUT has the emulator's wheel for PYTHON, a user's test file with the
# torvak_device fixture runs on it: it must pass under umockdev-wrapper and skip, saying
# why once, without it.
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

# A user's own tests on the emulator's wheel (built on the host path beside the module's):
# installed from the same index, its pytest plugin plugs a device for them under
# umockdev-wrapper, and without the wrapper they skip, saying why once.
if ! compgen -G "$out/torvak_emu-*-cp$tag-*.whl" >/dev/null; then
  say "no torvak_emu wheel for cp$tag in $out: the user test run is left out"
  exit 0
fi
"${pip[@]}" install --isolated --only-binary :all: --index-url "file://$out/simple" torvak-emu
# Outside the checkout, so that the project's pytest configuration does not apply.
user=$(mktemp -d)
trap 'rm -rf "$user"' EXIT
cat >"$user/test_user.py" <<'TESTS'
import pytest
import serial
import torvak_serial


def test_the_line_echoes(torvak_device):
    with serial.serial_for_url("torvak://EMU0001/1", timeout=2) as port:
        port.write(b"hello\n")
        assert port.readline() == b"hello\n"


@pytest.mark.torvak_device(serial="USER02", channels=2)
def test_an_unplug_fails_the_read(torvak_device):
    assert [p.device for p in torvak_serial.comports()] == ["torvak://USER02/1", "torvak://USER02/2"]
    with serial.serial_for_url("torvak://USER02/2", timeout=2) as port:
        torvak_device.unplug()
        with pytest.raises(serial.SerialException):
            port.read(1)
TESTS
venv_python=$PWD/$venv/bin/python
user_run() {
  (cd "$user" && env -u PYTHONPATH -u TORVAK_REQUIRE_EMULATOR -u TORVAK_TEST_INSTALLED "$@" \
    "$(dirname "$venv_python")/pytest" -q -p no:cacheprovider test_user.py 2>&1) | tee "$user/last.log"
}
say "a user's test file with the torvak_device fixture, under umockdev-wrapper"
user_run umockdev-wrapper
grep -qE "^2 passed" "$user/last.log" || { say "FAILED: the user's tests did not pass on the emulated device" >&2; exit 1; }
say "the same under the emulator's torvak-emu-wrapper (for a libusb built without udev)"
user_run "$(dirname "$venv_python")/torvak-emu-wrapper"
grep -qE "^2 passed" "$user/last.log" || { say "FAILED: the user's tests did not pass under torvak-emu-wrapper" >&2; exit 1; }
say "the same without umockdev-wrapper"
user_run env -u LD_PRELOAD
grep -qE "^2 skipped" "$user/last.log" \
  && [ "$(grep -c "^torvak-emu: 2 test(s) skipped, no emulated Torvak device: .*umockdev-wrapper pytest" "$user/last.log")" = 1 ] \
  || { say "FAILED: without umockdev-wrapper the user's tests did not skip with the one message" >&2; exit 1; }
say "the user's tests pass on the emulator's wheel, and skip with one message without umockdev-wrapper"
