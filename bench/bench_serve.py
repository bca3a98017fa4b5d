r"""torvak serve against the emulated device (firmware echo, transfers completing at once):
throughput of all four channels at once through the ttys and through RFC 2217, how long a
tty rate takes to reach the device, and how long a re-plugged device takes to be served.

Prints figures and checks nothing. From the repository root, with the module and the
emulator built (see bench/README.md):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/bench_serve.py [--bytes 1048576]

The emulator's ceiling (about 1,000 to 2,500 transfers a second, shared by the four
channels' 61-byte echoes) bounds the throughput figures; compare them with the
bench_channel.py baseline.
"""
import argparse
import contextlib
import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import time

from torvak_emu import Testbed, wait_until

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))



# TCP clients of the service, each run as a process of its own (as real ones are: a thread
# here would share this process, and its emulated device, with the round trip it is meant to
# leave alone). Each prints a line once connected.
HOSTILE_CLIENTS = """
import socket, sys
base = int(sys.argv[1])
junk = [bytes.fromhex(h) for h in sys.argv[2:]]
mute = socket.create_connection(("127.0.0.1", base + 1))
print("connected", flush=True)
while True:
    for j in junk:
        try:
            with socket.create_connection(("127.0.0.1", base), timeout=2) as s:
                s.sendall(j)
        except OSError:
            pass
"""
CHANNEL_CLIENT = """
import socket, sys, time
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
print("connected", flush=True)
if sys.argv[2] == "reads":
    while c.recv(65536):
        pass
else:
    time.sleep(3600)
"""


@contextlib.contextmanager
def client_process(code, *args):
    process = subprocess.Popen([sys.executable, "-c", code] + [str(a) for a in args], stdout=subprocess.PIPE)
    try:
        process.stdout.readline()
        yield
    finally:
        process.kill()
        process.wait()
        process.stdout.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bytes", type=int, default=1 << 20, help="bytes per channel (default 1 MiB)")
    options = parser.parse_args()
    os.environ["TORVAK_SERVE_BYTES"] = str(options.bytes)
    # A round trip's time limit grows with its size: the emulator moves a few KiB/s per channel.
    os.environ.setdefault("TORVAK_SERVE_LIMIT", str(max(60, options.bytes // 1024)))
    testbed = Testbed.get()
    import test_serve as t  # after TORVAK_SERVE_BYTES is set

    device = testbed.plug(serial=t.SERIAL, channels=t.CHANNELS)
    device.set_loopback(True)
    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir)
    served = t.Served(env, pathlib.Path(tempfile.mkdtemp()))
    try:
        for name, function, make in (("tty", t.tty_round_trip, served.link), ("RFC 2217", t.rfc2217_round_trip, served.url)):
            start = time.monotonic()
            t.all_channels(function, make)
            seconds = time.monotonic() - start
            print("{:<9} 4 x {} bytes round trip: {:6.1f} s, {:6.1f} KiB/s per channel each way".format(
                name, options.bytes, seconds, options.bytes / 1024 / seconds), flush=True)

        # Channel 3's round trip, with and without the other clients below; each comparison
        # alternated (F T T F F T), so that neither kind always runs first, and its medians.
        data = os.urandom(min(options.bytes, 1 << 16))

        def channel_3_round_trip():
            start = time.monotonic()
            t.tty_round_trip(served.link(3), data)
            return time.monotonic() - start

        def alternated_medians(run):
            times = {False: [], True: []}
            for kind in (False, True, True, False, False, True):
                times[kind].append(run(kind))
            return [sorted(times[kind])[1] for kind in (False, True)]

        # RFC 2217 clients sending malformed telnet on channel 1 over and over, and a client
        # on channel 2 that never reads.
        def beside_hostile_clients(attacked):
            junk = [j.hex() for j in t.HOSTILE[1:]]
            with client_process(HOSTILE_CLIENTS, served.base, *junk) if attacked else contextlib.nullcontext():
                return channel_3_round_trip()

        alone, attacked = alternated_medians(beside_hostile_clients)
        print("channel 3, {} bytes, medians of 3: {:.2f} s alone, {:.2f} s beside hostile clients ({:+.0f}%)".format(
            len(data), alone, attacked, (attacked / alone - 1) * 100))

        # The device streams to channel 2 while a TCP client there reads everything, or one
        # that never reads (the stream itself takes IN frames in both runs, so only the mute
        # client's own effect is compared).
        def beside_channel_2_client(mute):
            with client_process(CHANNEL_CLIENT, served.base + 1, "mute" if mute else "reads"):
                device.stream_in([2], 4.0, 61)
                try:
                    return channel_3_round_trip()
                finally:
                    device.stream_in([], 4.0, 61)

        reading, mute = alternated_medians(beside_channel_2_client)
        print("channel 3, {} bytes beside a stream to channel 2, medians of 3: {:.2f} s with its client reading, "
              "{:.2f} s with its client never reading ({:+.0f}%)".format(len(data), reading, mute,
                                                                        (mute / reading - 1) * 100))

        def footprint():
            with open("/proc/%d/status" % served.process.pid) as f:
                rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
            return served.resources() + (rss,)

        before = footprint()
        for i in range(100):
            t.tty_round_trip(served.link(4), b"%d\n" % i)
            socket.create_connection(("127.0.0.1", served.base + 3)).close()
        time.sleep(0.5)
        print("200 connects (100 tty, 100 TCP): descriptors {} -> {}, threads {} -> {}, RSS {} -> {} KiB".format(
            *(x for pair in zip(before, footprint()) for x in pair)))

        delays = []
        for rate in (57600, 115200, 230400, 9600, 38400):
            start = time.monotonic()
            subprocess.run(["stty", "-F", served.link(1), str(rate)], check=True)
            wait_until(lambda: device.channel_state(1)["baud"] == rate, timeout=2, interval=0.001)
            delays.append(time.monotonic() - start)
        print("stty to device: max {:.0f} ms over {} rates (stty's own run included)".format(
            max(delays) * 1e3, len(delays)))

        device.unplug()
        wait_until(lambda: not served.ready(), timeout=5)
        start = time.monotonic()
        again = testbed.plug(serial=t.SERIAL, channels=t.CHANNELS)
        again.set_loopback(True)
        wait_until(served.ready, timeout=10, interval=0.005)
        print("re-plug to ttys back: {:.2f} s".format(time.monotonic() - start))
    finally:
        status = served.stop()
        print("service exit status {}".format(status))


if __name__ == "__main__":
    main()
