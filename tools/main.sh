#!/usr/bin/env bash
# Sets everything up and runs the module's demonstration: on the attached device when
# there is one; otherwise on an emulated device (tools/with-emulated-device) when the
# emulator can be built; otherwise with no device, which prints one empty line.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
python=.venv/bin/python
demo=("$python" tools/run_as_main.py)

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

if [ "$attached" -ne 0 ] && command -v umockdev-wrapper >/dev/null 2>&1; then
  mkdir -p build
  # The same emulator build as tools/test.sh's (for python3); its output is kept aside.
  if emu_dir=$(tools/build-emulator.sh build/emulator 2>build/emulator.log | tail -n 1) && [ -n "$emu_dir" ]; then
    TORVAK_EMU_PATH="$emu_dir" exec python3 tools/with-emulated-device -- "${demo[@]}"
  fi
  echo "main.sh: no device attached and the emulator did not build (see build/emulator.log)" >&2
fi
exec "${demo[@]}"
