r"""The output side of a torvak:// port as a tty's, directly and routed through torvak serve,
on a paced emulated device: how long write(1 MiB) with write_timeout=0.5 takes to raise,
how long reset_output_buffer() takes, and how many bytes still reach the device after it.

Prints figures and checks nothing. From the repository root, with the module and the
emulator built (see bench/README.md):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/bench_routed_output.py [--rounds 5] [--pace-ms 1]

Each round, on channel 1 of a freshly plugged device (echo off, paced at --pace-ms per
packet), for the direct port and then for the port routed through a service of its own:
write 1 MiB with write_timeout=0.5 (timed until SerialTimeoutException), then
reset_output_buffer() (timed), then wait until the device has taken nothing for a second
and count what it took after the reset. The port runs in this process, the service in a
child; the emulator answers both.
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

from torvak_emu import wait_until

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_routing import child_env, emulated_testbed  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parent.parent
QUIET = 1.0  # seconds without a packet that end a round's count


def sent_on(device, channel):
    return sum(p[1] for p in device.out_packets() if p[0] == channel)


def measure(serial_module, device, url):
    """(seconds until the write raised, reset_output_buffer() seconds, bytes after it)."""
    port = serial_module.serial_for_url(url, baudrate=115200, write_timeout=0.5)
    try:
        device.out_packets(clear=True)
        started = time.monotonic()
        try:
            port.write(bytes(1 << 20))
            raised = float("nan")  # taken whole: nothing to time
        except serial_module.SerialTimeoutException:
            raised = time.monotonic() - started
        started = time.monotonic()
        port.reset_output_buffer()
        reset = time.monotonic() - started
        before = sent_on(device, 1)
        last, since = before, time.monotonic()
        while time.monotonic() - since < QUIET:
            time.sleep(0.05)
            now = sent_on(device, 1)
            if now != last:
                last, since = now, time.monotonic()
        return raised, reset, last - before
    finally:
        port.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--pace-ms", type=int, default=1)
    parser.add_argument("--base", type=int, default=47900, help="first RFC 2217 port (default %(default)s)")
    args = parser.parse_args()
    testbed = emulated_testbed()
    if testbed is None:
        return 2
    import serial
    import torvak_serial  # noqa: F401  (registers torvak://)
    import torvak_common

    env = child_env(testbed)
    print("Python {}, {} CPUs; device paced at {} ms per packet".format(
        sys.version.split()[0], os.cpu_count(), args.pace_ms))
    figures = {"direct": [], "routed": []}
    for n in range(args.rounds):
        serial_number = "OUTQ{:04d}".format(n)
        device = testbed.plug(serial=serial_number, channels=4)
        device.set_pace_ms(args.pace_ms)
        url = "torvak://{}/1".format(serial_number)
        run_dir = tempfile.mkdtemp(prefix="bench-routed-output")
        try:
            os.environ["TORVAK_RUN_DIR"] = os.path.join(run_dir, "nothing-here")
            figures["direct"].append(measure(serial, device, url))
            os.environ["TORVAK_RUN_DIR"] = env["TORVAK_RUN_DIR"] = run_dir
            service = subprocess.Popen(
                [sys.executable, "-m", "torvak_cli", "serve", "--device", serial_number, "--pty-dir", run_dir,
                 "--rfc2217-port", str(args.base + 10 * n)], env=env,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                if not wait_until(lambda: torvak_common.find_served(serial_number) is not None, timeout=10):
                    raise RuntimeError("torvak serve did not come up")
                figures["routed"].append(measure(serial, device, url))
            finally:
                service.terminate()
                service.wait(20)
        finally:
            device.unplug()
        for mode in ("direct", "routed"):
            raised, reset, after = figures[mode][-1]
            print("round {} {:<6}  write_timeout 0.5 raised at {:.3f} s   reset_output_buffer {:6.2f} ms   "
                  "{:6d} bytes reached the device after it".format(n + 1, mode, raised, reset * 1e3, after))
    print("medians over {} rounds (targets for routed: raise within 0.6 s, reset within 50 ms, at most "
          "4 KiB plus what was on its way after it):".format(args.rounds))
    for mode in ("direct", "routed"):
        raised, reset, after = (statistics.median(column) for column in zip(*figures[mode]))
        print("  {:<6}  raised at {:.3f} s   reset {:6.2f} ms   {:6.0f} bytes after".format(
            mode, raised, reset * 1e3, after))
    return 0


if __name__ == "__main__":
    sys.exit(main())
