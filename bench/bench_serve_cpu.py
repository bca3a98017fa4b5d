r"""What the service's loop costs per byte, beside a C serial server doing the same work.

The emulated device streams channel 1 on its own, as a serial line receiving at a steady
rate (61-byte packets every --interval ms, about 60 KB/s at 1 ms), and one client reads it:
  RFC 2217   pyserial's rfc2217:// client on the channel's TCP port;
  tty        a process reading the channel's tty;
  ser2net    Debian's ser2net serving a kernel pty over RFC 2217 to the same client, the
             pty fed the same stream in the same 61-byte chunks at the same pace.
Each run lasts --seconds; the figure is the CPU time (user + system) per MiB the client
received, of the service's main thread (its loop: /proc/PID/task/PID/stat) and of the whole
service (the rest is the module's reader thread, which a direct torvak:// port's process
spends too), and of ser2net's whole process. Rounds interleave the three.

Prints figures and checks nothing but that the client received data. From the repository
root, with the module and the emulator built (see bench/README.md) and ser2net installed
(`apt-get install ser2net`; the benchmark installs it when it may):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/bench_serve_cpu.py [--rounds 3] [--seconds 10]
"""
import argparse
import os
import pathlib
import pty
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import tty

from torvak_emu import Testbed, wait_until

REPO = pathlib.Path(__file__).resolve().parent.parent
SERIAL = "LOOP0001"
TICKS = os.sysconf("SC_CLK_TCK")
MIB = 1024 * 1024
PATHS = ("RFC 2217", "tty", "ser2net")

# The client: reads for `seconds` after its first byte, then prints the count.
READER = r'''
import os, select, sys, time
where, seconds = sys.argv[1], float(sys.argv[2])
if where.startswith("/"):
    import tty
    fd = os.open(where, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    read = lambda: os.read(fd, 65536) if select.select([fd], [], [], 0.5)[0] else b""
else:
    import serial
    port = serial.serial_for_url(where, baudrate=115200, timeout=0.5)
    read = lambda: port.read(port.in_waiting or 1)
print("ready", flush=True)
count, first = 0, None
while first is None or time.monotonic() - first < seconds:
    got = read()
    if got and first is None:
        first = time.monotonic()
    count += len(got)
print(count, flush=True)
'''

# The feeder: the same stream as the emulated device's, into a pty's master.
FEEDER = r'''
import os, sys, time
fd, interval, payload = int(sys.argv[1]), float(sys.argv[2]) / 1000, int(sys.argv[3])
chunk, due = bytes(range(payload)), time.monotonic()
while True:
    due += interval
    os.write(fd, chunk)
    pause = due - time.monotonic()
    if pause > 0:
        time.sleep(pause)
'''


def cpu_seconds(stat_path):
    with open(stat_path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_through(where, seconds, env, measured):
    """Runs the client on `where`; (bytes read, {name: CPU seconds over its run}) for each
    /proc stat file in `measured`."""
    client = subprocess.Popen([sys.executable, "-c", READER, where, str(seconds)], env=env,
                              stdout=subprocess.PIPE, universal_newlines=True)
    try:
        assert client.stdout.readline().strip() == "ready"
        before = {name: cpu_seconds(path) for name, path in measured.items()}
        count = int(client.stdout.readline())
        after = {name: cpu_seconds(path) for name, path in measured.items()}
    finally:
        client.kill()
        client.wait()
    assert count > 0, "the client received nothing from {}".format(where)
    return count, {name: after[name] - before[name] for name in measured}


def served(testbed, args, path, env):
    device = testbed.plug(serial=SERIAL, channels=4)
    run_dir = tempfile.mkdtemp(prefix="torvak-cpu-")
    base = free_port()
    service = subprocess.Popen(
        [sys.executable, "-m", "torvak_cli", "serve", "--device", SERIAL, "--pty-dir", run_dir,
         "--rfc2217-port", str(base)], env=env, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        link = os.path.join(run_dir, SERIAL, "1")
        assert wait_until(lambda: os.path.exists(link), timeout=15), "the service did not serve the device"
        device.stream_in([1], args.interval, 61)
        pid = service.pid
        measured = {"loop": "/proc/{}/task/{}/stat".format(pid, pid), "service": "/proc/{}/stat".format(pid)}
        where = link if path == "tty" else "rfc2217://127.0.0.1:{}".format(base)
        return read_through(where, args.seconds, env, measured)
    finally:
        device.stream_in([], args.interval, 61)
        service.send_signal(signal.SIGTERM)
        service.wait(timeout=20)
        device.unplug()
        shutil.rmtree(run_dir, ignore_errors=True)


def through_ser2net(args, env):
    master, slave = pty.openpty()
    tty.setraw(slave)
    device = os.ttyname(slave)
    port = free_port()
    config = ("connection: &bench\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{}\n"
              "  connector: serialdev,{},115200n81,local\n  options:\n    kickolduser: true\n").format(port, device)
    log = tempfile.TemporaryFile()
    # Not under umockdev's preload, which would take the pty's /dev path for an emulated one.
    plain = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    ser2net = subprocess.Popen(["ser2net", "-d", "-u", "-Y", config], stdin=subprocess.DEVNULL, stdout=log,
                               stderr=subprocess.STDOUT, env=plain)
    feeder = subprocess.Popen([sys.executable, "-c", FEEDER, str(master), str(args.interval), "61"],
                              pass_fds=(master,))
    try:
        def listening():  # without connecting: a connection would open the pty
            with open("/proc/net/tcp") as table:
                return any(line.split()[1].endswith(":{:04X}".format(port)) and line.split()[3] == "0A"
                           for line in list(table)[1:])
        assert wait_until(listening, timeout=10), "ser2net does not listen"
        # A pty has no modem lines, so ser2net answers no SET-CONTROL: pyserial must not wait for it.
        return read_through("rfc2217://127.0.0.1:{}?ign_set_control".format(port), args.seconds, env,
                            {"ser2net": "/proc/{}/stat".format(ser2net.pid)})
    except Exception:
        log.seek(0)
        sys.stdout.write("ser2net said:\n" + log.read().decode(errors="replace"))
        raise
    finally:
        feeder.kill()
        ser2net.terminate()
        feeder.wait()
        ser2net.wait(timeout=10)
        os.close(master)
        os.close(slave)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=10.0, help="how long each client reads")
    parser.add_argument("--interval", type=float, default=1.0, help="ms between the device's packets")
    args = parser.parse_args()
    if shutil.which("ser2net") is None and os.geteuid() == 0:
        subprocess.run(["apt-get", "install", "-y", "-qq", "ser2net"], stdout=subprocess.DEVNULL,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    have_ser2net = shutil.which("ser2net") is not None
    if not have_ser2net:
        print("ser2net is not installed (apt-get install ser2net): its figures are left out")
    testbed = Testbed.get()
    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir,
               PYTHONPATH=os.pathsep.join([str(REPO / "python")] + sys.path[1:]))
    figures = {path: [] for path in PATHS}  # per round: {what: CPU s/MiB}, MiB/s
    for number in range(1, args.rounds + 1):
        for path in PATHS:
            if path == "ser2net" and not have_ser2net:
                continue
            if path == "ser2net":
                count, cpu = through_ser2net(args, env)
            else:
                count, cpu = served(testbed, args, path, env)
            mib = count / MIB
            per_mib = {what: seconds / mib for what, seconds in cpu.items()}
            figures[path].append((per_mib, mib / args.seconds))
            print("round {} {:8}: {:.2f} MiB in {:g} s ({:.1f} KiB/s); CPU s/MiB: {}".format(
                number, path, mib, args.seconds, mib * 1024 / args.seconds,
                ", ".join("{} {:.2f}".format(what, value) for what, value in per_mib.items())), flush=True)
    print("\nmedians over {} rounds, device to host, CPU seconds per MiB the client read:".format(args.rounds))
    reference = None
    if figures["ser2net"]:
        reference = statistics.median(f[0]["ser2net"] for f in figures["ser2net"])
    for path in PATHS:
        if not figures[path]:
            continue
        whats = figures[path][0][0].keys()
        parts = []
        for what in whats:
            value = statistics.median(f[0][what] for f in figures[path])
            share = "" if reference is None or what == "ser2net" else " ({:.2f}x ser2net)".format(value / reference)
            parts.append("{} {:.2f}{}".format(what, value, share))
        print("  {:8}  {}".format(path, ", ".join(parts)))


if __name__ == "__main__":
    main()
