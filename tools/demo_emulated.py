"""Runs the module's demonstration against one emulated Torvak device.

    tools/build-emulator.sh
    PYTHONPATH=build/emulator umockdev-wrapper .venv/bin/python tools/demo_emulated.py

One device (serial number "EMU0001", 4 channels) is plugged into an emulated USB bus,
the module runs as the interpreter's main program (as tools/run_as_main.py runs it),
and the packets the demonstration wrote to the device are decoded to show what each
channel received, e.g. ``S1 received 'Hello, World!\\n'``.

libusb looks at the bus when it initialises, so the bus and the device are set up
before the module is loaded. The emulator is the package torvak_emu in the build
directory on PYTHONPATH.
"""
import sys

from run_as_main import main as run_module_as_main
from torvak_common import channel_data
from torvak_emu import Testbed

SERIAL = "EMU0001"
CHANNELS = 4


def received_by_channel(packets):
    received = {n: b"" for n in range(1, CHANNELS + 1)}
    received.update(channel_data(packets))
    return received


def main():
    usable, why = Testbed.available()
    if not usable:
        sys.exit("cannot emulate the device: %s (run under umockdev-wrapper after tools/build-emulator.sh, with its build on PYTHONPATH)" % why)
    device = Testbed.get().plug(serial=SERIAL, channels=CHANNELS)

    run_module_as_main()
    sys.stdout.flush()

    for channel, data in sorted(received_by_channel(device.out_packets()).items()):
        print("S%d received %r" % (channel, data.decode("utf-8", "replace")))
    errors = device.protocol_errors()
    if errors:
        sys.exit("the device saw protocol errors: %s" % "; ".join(errors))


if __name__ == "__main__":
    main()
