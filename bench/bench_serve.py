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
import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import time

from torvak_emu import Testbed, wait_until

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))


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

        # One channel alone, and while RFC 2217 clients send malformed telnet on channel 1
        # over and over and a client on channel 2 never reads. The hostile clients are a
        # process of their own, as real ones are; alternated (A H H A A H), medians.
        data = os.urandom(min(options.bytes, 1 << 16))
        hostile_code = (
            "import socket, sys\n"
            "base = int(sys.argv[1])\n"
            "junk = [bytes.fromhex(h) for h in sys.argv[2:]]\n"
            "mute = socket.create_connection(('127.0.0.1', base + 1))\n"
            "print('connected', flush=True)\n"
            "while True:\n"
            "    for j in junk:\n"
            "        try:\n"
            "            with socket.create_connection(('127.0.0.1', base), timeout=2) as s:\n"
            "                s.sendall(j)\n"
            "        except OSError:\n"
            "            pass\n"
        )

        def channel_3_round_trip(attacked):
            attacker = None
            if attacked:
                attacker = subprocess.Popen(
                    [sys.executable, "-c", hostile_code, str(served.base)] + [j.hex() for j in t.HOSTILE[1:]],
                    stdout=subprocess.PIPE,
                )
                attacker.stdout.readline()
            try:
                start = time.monotonic()
                t.tty_round_trip(served.link(3), data)
                return time.monotonic() - start
            finally:
                if attacker is not None:
                    attacker.kill()
                    attacker.wait()
                    attacker.stdout.close()

        runs = {False: [], True: []}
        for attacked in (False, True, True, False, False, True):
            runs[attacked].append(channel_3_round_trip(attacked))
        alone, attacked = (sorted(runs[kind])[1] for kind in (False, True))
        print("channel 3, {} bytes, medians of 3: {:.2f} s alone, {:.2f} s beside hostile clients ({:+.0f}%)".format(
            len(data), alone, attacked, (attacked / alone - 1) * 100))

        # The device streams to channel 2 while a TCP client there reads everything, then
        # while one never reads: channel 3's round trip beside each (the stream itself takes
        # IN frames in both runs, so only the mute client's own effect is compared). The
        # client is a process of its own, as a real one is: a thread here would share this
        # process, and its emulated device, with the round trip it is meant to leave alone.
        client_code = (
            "import socket, sys, time\n"
            "c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
            "print('connected', flush=True)\n"
            "if sys.argv[2] == 'reads':\n"
            "    while c.recv(65536): pass\n"
            "else:\n"
            "    time.sleep(3600)\n"
        )

        def beside_channel_2_client(reads):
            client = subprocess.Popen(
                [sys.executable, "-c", client_code, str(served.base + 1), "reads" if reads else "mute"],
                stdout=subprocess.PIPE,
            )
            try:
                client.stdout.readline()
                device.stream_in([2], 4.0, 61)
                start = time.monotonic()
                t.tty_round_trip(served.link(3), data)
                return time.monotonic() - start
            finally:
                device.stream_in([], 4.0, 61)
                client.kill()
                client.wait()
                client.stdout.close()

        # Alternated (R M M R R M), so that neither kind always runs first; medians.
        times = {True: [], False: []}
        for reads in (True, False, False, True, True, False):
            times[reads].append(beside_channel_2_client(reads))
        reading, mute = (sorted(times[reads])[1] for reads in (True, False))
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
