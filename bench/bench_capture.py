r"""What a running `torvak capture` costs the service: its CPU (user + system, as a share of
one core over the transfer) while a program moves data at full rate through a served tty,
with no capture and with one capturing the channel, in one run.

Prints figures and checks nothing but that every byte arrived once and in order (and says
how many records the capture lost). From the repository root, with the module and the
emulator built (see bench/README.md):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/bench_capture.py [--rounds 3] [--bytes 1048576]

Each round runs both cases (alternating which goes first), each on a freshly plugged
unpaced device with a service of its own: the client writes --bytes to the tty and waits
for the device to have them, then reads --bytes the device streams (as bench_data_plane.py
does). The acceptance bound is 10 percentage points of CPU more with the capture.
"""
import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_data_plane as plane  # noqa: E402
from torvak_emu import Testbed, wait_until  # noqa: E402

CASES = ("no capture", "capture")


def start_capture(env, path):
    capture = subprocess.Popen([sys.executable, "-m", "torvak_cli", "capture", plane.SERIAL, "1", "-w", path],
                               env=env, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # The file is made once the service has taken the subscription.
    if not wait_until(lambda: os.path.exists(path) and os.path.getsize(path) > 0, timeout=15):
        capture.kill()
        raise SystemExit("the capture did not start: " + capture.communicate()[1].decode(errors="replace"))
    return capture


def one_case(testbed, run_dir, env, case, size, seed, capture_path):
    """(service CPU % out, % in, exact, what the capture said) of one case."""
    device = testbed.plug(serial=plane.SERIAL, channels=4)
    service = plane.Service(testbed, run_dir)
    capture = start_capture(env, capture_path) if case == "capture" else None
    said = ""
    try:
        def sample():
            return plane.cpu_seconds(service.process.pid)

        shares, exact = [], True
        for way in ("out", "in"):
            before, started = sample(), time.monotonic()
            if way == "out":
                _, ok, used = plane.host_to_device(device, service.tty(1), size, seed, env, sample)
            else:
                _, ok, used = plane.device_to_host(device, service.tty(1), size, env, sample)
            shares.append(100 * (used - before) / (time.monotonic() - started))
            exact &= ok
    finally:
        if capture is not None:
            capture.send_signal(signal.SIGINT)
            said = capture.communicate(timeout=30)[1].decode(errors="replace").strip()
        service.stop()
        device.unplug()
        time.sleep(0.2)
    return shares[0], shares[1], exact, said


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--bytes", type=int, default=1024 * 1024)
    options = parser.parse_args()
    testbed = Testbed.get()
    run_dir = tempfile.mkdtemp()
    capture_path = os.path.join(tempfile.mkdtemp(), "bench.pcapng")
    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir, TORVAK_RUN_DIR=run_dir,
               PYTHONPATH=os.pathsep.join([str(plane.REPO / "python"), os.environ.get("PYTHONPATH", "")]))
    figures = {(case, way): [] for case in CASES for way in ("out", "in")}
    exact = True
    for round_number in range(options.rounds):
        for case in (CASES if round_number % 2 == 0 else CASES[::-1]):
            out, into, ok, said = one_case(testbed, run_dir, env, case, options.bytes, round_number, capture_path)
            figures[case, "out"].append(out)
            figures[case, "in"].append(into)
            exact &= ok
            print("round {} {:<10}: service CPU {:5.1f}% to the device, {:5.1f}% from it{}{}".format(
                round_number + 1, case, out, into, "" if ok else ", NOT byte-exact",
                "; " + said.splitlines()[-1] if said else ""), flush=True)
    print("medians of {} rounds, {} bytes each way, service CPU as a share of one core:".format(
        options.rounds, options.bytes))
    for way, label in (("out", "to the device"), ("in", "from the device")):
        without, with_ = (statistics.median(figures[case, way]) for case in CASES)
        print("  {:<16} without capture {:5.1f}%, with {:5.1f}%: {:+5.1f} points".format(
            label, without, with_, with_ - without))
    print("byte-exact: {}".format("yes" if exact else "NO"))


if __name__ == "__main__":
    main()
