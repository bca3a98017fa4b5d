r"""How fast data moves through each way to a channel, host to device and device to host,
on the unpaced emulated device: a client process on torvak:// directly, on the service's
tty, on its RFC 2217 port (rfc2217://) and on torvak:// routed through the service.

Prints figures and checks nothing but that every byte arrived once and in order. From the
repository root, with the module and the emulator built (see bench/README.md):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/bench_data_plane.py [--rounds 3] [--bytes 262144]

Each round runs every path once in each direction (rounds interleave the paths, so that
none always runs first), on channel 1 of one device:
  host to device  the client writes --bytes random bytes (and flushes, where the path has
                  a flush); timed from its first write until the device has them all;
  device to host  the device streams a counting pattern as fast as the host takes it;
                  timed from the stream's start until the client has read --bytes.
Each path runs on a freshly plugged device, the served ones with a service of their own;
the service's CPU time (user + system, /proc/PID/stat) per MiB moved is given for them.
Figures are medians over the rounds, and each served path as a share of the direct one.
"""
import argparse
import os
import pathlib
import random
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from torvak_emu import Testbed, wait_until

REPO = pathlib.Path(__file__).resolve().parent.parent
SERIAL = "PLANE001"
TICKS = os.sysconf("SC_CLK_TCK")
PATHS = ("direct", "tty", "RFC 2217", "routed")

CLIENT = r'''
import os, sys, termios, time, tty
path, direction, size, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
if path.startswith("/"):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    def write(data):
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    import select
    read = lambda: os.read(fd, 65536) if select.select([fd], [], [], 0.2)[0] else b""
    flush = lambda: termios.tcdrain(fd)
    close = lambda: os.close(fd)
else:
    import serial, torvak_serial
    port = serial.serial_for_url(path, baudrate=115200, timeout=0.2)
    write, flush, close = port.write, port.flush, port.close
    read = lambda: port.read(port.in_waiting or 1)
print("ready", flush=True)
sys.stdin.readline()
if direction == "out":
    data = random.Random(seed).getrandbits(8 * size).to_bytes(size, "little")
    started = time.monotonic()
    for i in range(0, size, 4096):
        write(data[i:i + 4096])
    flush()
    print(started, flush=True)
    sys.stdin.readline()
else:
    got = bytearray()
    while len(got) < size:
        got += read()
    ended = time.monotonic()
    expected = bytes(i % 256 for i in range(size))
    print(ended, bytes(got[:size]) == expected, flush=True)
    # What the device still streams is taken too, so that nothing is left for the next open.
    import threading
    done = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.readline(), done.set()), daemon=True).start()
    while not done.is_set():
        read()
close()
'''
CLIENT = "import random\n" + CLIENT


def cpu_seconds(pid):
    with open("/proc/{}/stat".format(pid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def sent_on(device, channel):
    return b"".join(bytes(p[2:2 + p[1]]) for p in device.out_packets() if p[0] == channel)


class Service:
    def __init__(self, testbed, run_dir):
        self.dir = run_dir
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.base = s.getsockname()[1]
        env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir,
                   PYTHONPATH=os.pathsep.join([str(REPO / "python"), os.environ.get("PYTHONPATH", "")]))
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [sys.executable, "-m", "torvak_cli", "serve", "--device", SERIAL, "--pty-dir", run_dir,
             "--rfc2217-port", str(self.base)], env=env, stdin=subprocess.DEVNULL,
            stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_until(lambda: os.path.exists(self.tty(1)), timeout=15):
            self.process.kill()
            self.process.wait()
            self.log.seek(0)
            raise SystemExit("the service did not start: " + self.log.read().decode(errors="replace"))

    def tty(self, n):
        return os.path.join(self.dir, SERIAL, str(n))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=20)


def run_client(target, direction, size, seed, env):
    client = subprocess.Popen([sys.executable, "-c", CLIENT, target, direction, str(size), str(seed)],
                              env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    if client.stdout.readline().strip() != "ready":
        raise SystemExit("the client for {} did not open it".format(target))
    return client


def host_to_device(device, target, size, seed, env, cpu):
    client = run_client(target, "out", size, seed, env)
    device.out_packets(clear=True)
    client.stdin.write("go\n")
    client.stdin.flush()
    started = float(client.stdout.readline())
    expected = random.Random(seed).getrandbits(8 * size).to_bytes(size, "little")
    # Waited for natively up to a count of packets the data needs at least, then looked at
    # closely: looking takes this process's time, which the emulator needs.
    device.wait_out(size // 62 - 1, timeout=120)
    deadline = time.monotonic() + 120
    while True:
        now = time.monotonic()
        got = sent_on(device, 1)
        if len(got) >= size or now > deadline:
            break
        time.sleep(0.002)
    used = cpu()
    client.stdin.write("done\n")
    client.stdin.flush()
    client.wait(timeout=30)
    return size / 1024 / (now - started), got == expected, used


def device_to_host(device, target, size, env, cpu):
    client = run_client(target, "in", size, 0, env)
    while device.pending_in():
        time.sleep(0.01)
    client.stdin.write("go\n")
    client.stdin.flush()
    started = time.monotonic()
    device.stream_in([1], 0.05, 61)
    ended, exact = client.stdout.readline().split()
    used = cpu()
    device.stream_in([])
    # The rest of the stream is read only where a service discards it: a direct client has
    # stopped reading, and the next path gets a fresh device anyway.
    wait_until(lambda: not device.pending_in(), timeout=2)
    client.stdin.write("done\n")
    client.stdin.flush()
    client.wait(timeout=30)
    return size / 1024 / (float(ended) - started), exact == "True", used


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--bytes", type=int, default=256 * 1024)
    options = parser.parse_args()
    testbed = Testbed.get()
    device = None
    run_dir = tempfile.mkdtemp()
    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir, TORVAK_RUN_DIR=run_dir,
               PYTHONPATH=os.pathsep.join([str(REPO / "python"), os.environ.get("PYTHONPATH", "")]))
    rates = {(path, way): [] for path in PATHS for way in ("out", "in")}
    cpu = {(path, way): [] for path in PATHS[1:] for way in ("out", "in")}
    exact = True
    for round_number in range(options.rounds):
        order = PATHS[round_number % len(PATHS):] + PATHS[:round_number % len(PATHS)]
        for path in order:
            if device is not None:  # each path on a freshly plugged device
                device.unplug()
                time.sleep(0.2)
            device = testbed.plug(serial=SERIAL, channels=4)
            service = None if path == "direct" else Service(testbed, run_dir)
            try:
                target = {"direct": "torvak://{}/1".format(SERIAL), "routed": "torvak://{}/1".format(SERIAL),
                          "tty": service and service.tty(1),
                          "RFC 2217": service and "rfc2217://127.0.0.1:{}".format(service.base)}[path]
                for way in ("out", "in"):
                    sample = (lambda: cpu_seconds(service.process.pid)) if service else (lambda: 0.0)
                    before = sample()
                    if way == "out":
                        rate, ok, after = host_to_device(device, target, options.bytes, round_number, env, sample)
                    else:
                        rate, ok, after = device_to_host(device, target, options.bytes, env, sample)
                    if service:
                        cpu[path, way].append((after - before) / (options.bytes / 2**20))
                    rates[path, way].append(rate)
                    exact &= ok
                    if not ok:
                        print("{} {}: NOT byte-exact".format(path, way), flush=True)
            finally:
                if service:
                    service.stop()
            print("round {} {}: {:.1f} KiB/s to the device, {:.1f} KiB/s from it".format(
                round_number + 1, path, rates[path, "out"][-1], rates[path, "in"][-1]), flush=True)
    print("medians of {} rounds, {} bytes each way:".format(options.rounds, options.bytes))
    direct = {way: statistics.median(rates["direct", way]) for way in ("out", "in")}
    for path in PATHS:
        line = "{:<9}".format(path)
        for way, label in (("out", "host to device"), ("in", "device to host")):
            median = statistics.median(rates[path, way])
            line += "  {}: {:7.1f} KiB/s ({:3.0f}% of direct)".format(label, median, 100 * median / direct[way])
            if path != "direct":
                line += ", service {:.2f} CPU s/MiB".format(statistics.median(cpu[path, way]))
        print(line)
    print("byte-exact: {}".format("yes" if exact else "NO"))


if __name__ == "__main__":
    main()
