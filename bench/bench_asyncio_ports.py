r"""asyncio clients on a torvak:// port: a 64 KiB write, the event loop's share of the time
while it moves, and what the process spends idle afterwards.

Prints figures; checks nothing. Build the module and the emulator, then from the
repository root:

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench \
        umockdev-wrapper python3 bench/bench_asyncio_ports.py     # about 20 s

The emulated device echoes every channel and takes one packet per 1 ms frame. For each of
pyserial-asyncio and pyserial-asyncio-fast (those installed): 64 KiB in one
transport.write, read back and compared; the event loop thread's CPU time over the wall
time until the echo is complete; then the process's CPU time over 2 s of idle. For
pyserial-asyncio-fast also a 2 KiB write (which the port's output buffer takes whole)
followed by the same 2 s of idle. The figures are noisy on a shared machine.
"""

import asyncio
import importlib
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))

from torvak_emu import Testbed  # noqa: E402

IDLE = 2.0


async def _idle_cpu():
    before = time.process_time()
    await asyncio.sleep(IDLE)
    return (time.process_time() - before) * 1000


async def _exchange(module, url, size):
    data = random.Random(size).getrandbits(8 * size).to_bytes(size, "little")
    reader, writer = await module.open_serial_connection(url=url, baudrate=115200)
    try:
        wall, cpu = time.monotonic(), time.thread_time()
        writer.write(data)
        got = await asyncio.wait_for(reader.readexactly(size), 60)
        wall, cpu = time.monotonic() - wall, time.thread_time() - cpu
        idle_ms = await _idle_cpu()
    finally:
        writer.close()
        await asyncio.wait_for(writer.wait_closed(), 10)
    return got == data, wall, cpu, idle_ms


def main():
    usable, why = Testbed.available()
    if not usable:
        sys.stderr.write("cannot emulate the device here: %s\n" % why)
        return 2
    testbed = Testbed.get()
    import torvak_serial  # noqa: F401  (registers torvak://)
    import zeq_torvak

    print("zeq_torvak %s, Python %s, load %.2f" % (os.path.dirname(zeq_torvak.__file__),
                                                    sys.version.split()[0], os.getloadavg()[0]))
    for n, name in enumerate(("serial_asyncio", "serial_asyncio_fast")):
        try:
            module = importlib.import_module(name)
        except ImportError:
            print("%s: not installed" % name)
            continue
        device = testbed.plug(serial="ASYB%04d" % n, channels=4)
        device.set_loopback(True)
        device.set_pace_ms(1)
        url = "torvak://ASYB%04d/1" % n
        try:
            sizes = (65536, 2048) if name == "serial_asyncio_fast" else (65536,)
            for size in sizes:
                intact, wall, cpu, idle_ms = asyncio.run(_exchange(module, url, size))
                print("%-20s %6d B in one write: %s, %.2f s; event loop thread CPU %.0f%% of the"
                      " wall time; then %.1f ms of process CPU in %g s idle"
                      % (name, size, "intact" if intact else "CORRUPTED", wall, 100 * cpu / wall,
                         idle_ms, IDLE))
        finally:
            device.unplug()
    return 0


if __name__ == "__main__":
    sys.exit(main())
