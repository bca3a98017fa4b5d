r"""How soon torvak serve passes on the first bytes of a program that has just opened one
of its ttys: the round trip of a 10-byte message written at once after the open, against
round trips on a tty held open, on the emulated device (firmware echo, unpaced).

Prints figures and checks nothing. From the repository root, with the module and the
emulator built (see bench/README.md):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/bench_serve_open.py [--opens 20] [--rounds 3]

Each round: --opens times, open the tty, write, read the echo, time it ("first"), then 10
more round trips on the open tty ("steady"), close, and wait 0.2 s to 0.25 s. Median and p90 of
each, in ms.
"""
import argparse
import os
import pathlib
import random
import select
import statistics
import sys
import tempfile
import time

from torvak_emu import Testbed

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))


def round_trip(fd, message):
    started = time.perf_counter()
    os.write(fd, message)
    back = b""
    deadline = started + 2.0
    while len(back) < len(message):
        if not select.select([fd], [], [], max(0.0, deadline - time.perf_counter()))[0]:
            raise RuntimeError("no echo within 2 s (got {!r})".format(back))
        back += os.read(fd, 64)
    if back != message:
        raise RuntimeError("echo {!r} for {!r}".format(back, message))
    return time.perf_counter() - started


def p90(values):
    return sorted(values)[int(len(values) * 0.9)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--opens", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    usable, why = Testbed.available()
    if not usable:
        sys.exit("no emulated device: " + why)
    testbed = Testbed.get()
    import test_serve as t

    device = testbed.plug(serial=t.SERIAL, channels=t.CHANNELS)
    device.set_loopback(True)
    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir)
    served = t.Served(env, pathlib.Path(tempfile.mkdtemp()))
    try:
        for number in range(1, options.rounds + 1):
            first, steady = [], []
            for i in range(options.opens):
                fd = os.open(served.link(1), os.O_RDWR | os.O_NOCTTY)
                try:
                    first.append(round_trip(fd, b"open %04d\n" % i))
                    steady.extend(round_trip(fd, b"next %04d\n" % j) for j in range(10))
                finally:
                    os.close(fd)
                time.sleep(0.2 + random.uniform(0.0, 0.05))  # any phase of the service's 50 ms tick
            print("round {}: first after open  median {:.1f} ms  p90 {:.1f} ms   steady  median {:.1f} ms  "
                  "p90 {:.1f} ms".format(number, 1000 * statistics.median(first), 1000 * p90(first),
                                         1000 * statistics.median(steady), 1000 * p90(steady)), flush=True)
    finally:
        served.stop()
        device.unplug()


if __name__ == "__main__":
    main()
