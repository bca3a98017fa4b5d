#!/usr/bin/env bash
# Sets everything up and runs the module's demonstration: on the attached device when
# there is one; otherwise on an emulated device (tools/with-emulated-device) when the
# emulator can be built, followed by one line sent through a channel and read back;
# otherwise with no device, which prints one empty line. Exit status: non-zero whenever the
# demonstration could not be shown, except when the emulator's one missing dependency
# (umockdev) is named on standard error. Every line is labelled:
# "setup:" for the set-up steps, "demonstration:" for what the module's demonstration
# prints, "round trip:", and "with-emulated-device:" for the emulator's report.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
python=.venv/bin/python
demo=("$python" tools/main_demo.py)

# Exit status 0 when a device is attached. When the bus cannot be searched (for example
# permission denied on the device node) the reason goes to standard error, so that the
# emulated demonstration does not hide it.
probe='
import sys
try:
    import zeq_torvak
    found = zeq_torvak.list_serial_numbers()
except Exception as error:
    sys.exit("main.sh: cannot list the attached devices (%s: %s)" % (type(error).__name__, error))
sys.exit(0 if found else 1)'
attached=0
"$python" -c "$probe" || attached=$?

if [ "$attached" -ne 0 ] && ! command -v umockdev-wrapper >/dev/null 2>&1; then
  echo "main.sh: no device attached, and umockdev (umockdev-wrapper) is not installed to emulate one" >&2
  exec "${demo[@]}"
fi
if [ "$attached" -ne 0 ]; then
  mkdir -p build
  # The same emulator build as tools/test.sh's (for the venvs' Python); its output is kept aside.
  if [ -f build/emulator/torvak_emu/__init__.py ] && ninja -C build/emulator -n 2>/dev/null | grep -q "no work to do"; then
    echo "setup: no device attached; the device emulator in build/emulator is up to date"
  else
    echo "setup: no device attached; building the device emulator into build/emulator (log: build/emulator.log)"
  fi
  # Its progress shows as the module's does; the build's last line names the build's directory.
  if "$python" tools/build_progress.py build/emulator.log "setup:" -- env PYTHON="$python" tools/build-emulator.sh build/emulator \
     && emu_dir=$(tail -n 1 build/emulator.log) && [ -d "$emu_dir" ]; then
    TORVAK_EMU_PATH="$emu_dir" exec python3 tools/with-emulated-device -- "${demo[@]}" --round-trip
  fi
  # The demonstration with no device is still shown, but this is a failure.
  echo "main.sh: no device attached and the emulator did not build (see build/emulator.log)" >&2
  "${demo[@]}" || true
  exit 1
fi
exec "${demo[@]}"
