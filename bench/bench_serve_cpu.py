r"""What the service's loop costs per byte, beside a C serial server doing the same work.

The emulated device streams channel 1 on its own, as a serial line receiving at a steady
rate (61-byte packets every --interval ms, about 60 KB/s at 1 ms), and one client reads it:
  RFC 2217   pyserial's rfc2217:// client on the channel's TCP port;
  tty        a process reading the channel's tty.
At the same time, over the same seconds, Debian's ser2net serves a kernel pty fed the same
stream in the same 61-byte chunks at the same pace over RFC 2217 to the same client, so
that whatever else the machine does falls on both alike. Each client reads for --seconds;
the figure is the CPU time (user + system) per MiB the client received, of the service's
main thread (its loop, to the nanosecond: /proc/PID/task/PID/schedstat) and of the whole
service (the rest is the module's reader thread, which a direct torvak:// port's process
spends too), and of ser2net's whole process (its threads' schedstat). Each round prints
the loop's figure as a multiple of ser2net's beside it; a round in which the two streams
did not keep the same pace (a loaded machine) is printed and run again. The summary gives
the medians and the worst round.

Prints figures and checks nothing but that the clients received data. From the repository
root, with the module and the emulator built (see bench/README.md) and ser2net installed
(`apt-get install ser2net`; the benchmark installs it when it may):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/bench_serve_cpu.py [--rounds 3] [--seconds 20] [--code DIR]

--code DIR runs the service from the packages in DIR instead of this tree's python/ (e.g. an
earlier revision's: `git archive REV python | tar -x -C /tmp/before`, then --code
/tmp/before/python), to compare the two.
"""
import argparse
import contextlib
import os
import pathlib
import pty
import selectors
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import tty

from torvak_emu import Testbed, wait_until

REPO = pathlib.Path(__file__).resolve().parent.parent
SERIAL = "LOOP0001"
TICKS = os.sysconf("SC_CLK_TCK")
MIB = 1024 * 1024
PATHS = ("RFC 2217", "tty")

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

# The feeder: the same stream as the emulated device's (bytes counting 0 ... 255, 0 ..., so
# that telnet's IAC is doubled as often), into a pty's master.
FEEDER = r'''
import itertools, os, sys, time
fd, interval, payload = int(sys.argv[1]), float(sys.argv[2]) / 1000, int(sys.argv[3])
cycle, due = bytes(range(256)) * payload, time.monotonic()  # a whole number of chunks
chunks = [cycle[start:start + payload] for start in range(0, len(cycle), payload)]
for number in itertools.count():
    due += interval
    os.write(fd, chunks[number % len(chunks)])
    pause = due - time.monotonic()
    if pause > 0:
        time.sleep(pause)
'''


def process_seconds(pid):
    """CPU seconds of every thread `pid` has had, ended ones included (/proc/PID/stat)."""
    with open("/proc/{}/stat".format(pid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def thread_seconds(pid, tid=None):
    """CPU seconds, to the nanosecond, of thread `tid` of `pid`, or of all its threads."""
    tasks = [tid] if tid is not None else os.listdir("/proc/{}/task".format(pid))
    total = 0
    for task in tasks:
        try:
            with open("/proc/{}/task/{}/schedstat".format(pid, task)) as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass  # a thread that has just ended
    return total / 1e9


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_together(runs, seconds, env):
    """Starts a client on each (where, {name: cpu()}) of `runs` at once; returns, for each,
    (bytes read, {name: CPU seconds from the start until that client's count came})."""
    clients = [subprocess.Popen([sys.executable, "-c", READER, where, str(seconds)], env=env,
                                stdout=subprocess.PIPE, universal_newlines=True) for where, _ in runs]
    results = [None] * len(runs)
    try:
        for client in clients:
            assert client.stdout.readline().strip() == "ready"
        before = [{name: cpu() for name, cpu in measured.items()} for _, measured in runs]
        with selectors.DefaultSelector() as selector:
            for index, client in enumerate(clients):
                selector.register(client.stdout, selectors.EVENT_READ, index)
            while None in results:
                ready = selector.select(seconds * 2 + 30)
                assert ready, "a client did not finish"
                for key, _ in ready:
                    index = key.data
                    selector.unregister(key.fileobj)
                    count = int(clients[index].stdout.readline())
                    measured = runs[index][1]
                    results[index] = (count, {name: cpu() - before[index][name] for name, cpu in measured.items()})
    finally:
        for client in clients:
            client.kill()
            client.wait()
    for (where, _), (count, _) in zip(runs, results):
        assert count > 0, "the client received nothing from {}".format(where)
    return results


@contextlib.contextmanager
def served(testbed, args, path, env):
    """The service streaming channel 1: (where a client reads, {name: cpu()})."""
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
        measured = {"loop": lambda: thread_seconds(pid, pid), "service": lambda: process_seconds(pid)}
        yield (link if path == "tty" else "rfc2217://127.0.0.1:{}".format(base)), measured
    finally:
        device.stream_in([], args.interval, 61)
        service.send_signal(signal.SIGTERM)
        service.wait(timeout=20)
        device.unplug()
        shutil.rmtree(run_dir, ignore_errors=True)


@contextlib.contextmanager
def through_ser2net(args):
    """ser2net serving a pty fed the device's stream: (where a client reads, {name: cpu()})."""
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
        yield ("rfc2217://127.0.0.1:{}?ign_set_control".format(port),
               {"ser2net": lambda: thread_seconds(ser2net.pid)})
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


# A round counts when the emulated device and ser2net's pty moved their streams within this
# share of each other's pace: on a loaded machine either may fall behind, and the two then do
# not move the same stream (a timer's read costs the same for fewer bytes). One that did not
# is printed, then run again, up to MAX_ATTEMPTS times in all.
PACED = 0.9
MAX_ATTEMPTS = 3


def measure_round(number, testbed, args, path, env, have_ser2net):
    """One round of `path` beside ser2net: prints it; ({what: CPU s/MiB}, whether both kept
    the same pace)."""
    with contextlib.ExitStack() as stack:
        runs = [stack.enter_context(served(testbed, args, path, env))]
        if have_ser2net:
            runs.append(stack.enter_context(through_ser2net(args)))
        results = read_together(runs, args.seconds, env)
    per_mib = {}
    for count, cpu in results:
        per_mib.update((what, seconds / (count / MIB)) for what, seconds in cpu.items())
    rates = [count / 1024 / args.seconds for count, _ in results]
    said = ["{:.1f} KiB/s".format(rates[0])] + ["{} {:.3f}".format(what, value) for what, value in per_mib.items()]
    if have_ser2net:
        said[0] += " (ser2net's {:.1f})".format(rates[1])
        said.append("loop/ser2net {:.2f}x".format(per_mib["loop"] / per_mib["ser2net"]))
    print("round {} {:8}: CPU s/MiB: {}".format(number, path, ", ".join(said)), flush=True)
    return per_mib, not have_ser2net or min(rates) >= PACED * max(rates)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=20.0, help="how long each client reads")
    parser.add_argument("--interval", type=float, default=1.0, help="ms between the device's packets")
    parser.add_argument("--code", default=str(REPO / "python"),
                        help="run the service from the packages in CODE (another revision's python/)")
    args = parser.parse_args()
    if shutil.which("ser2net") is None and os.geteuid() == 0:
        subprocess.run(["apt-get", "install", "-y", "-qq", "ser2net"], stdout=subprocess.DEVNULL,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    have_ser2net = shutil.which("ser2net") is not None
    if not have_ser2net:
        print("ser2net is not installed (apt-get install ser2net): its figures are left out")
    testbed = Testbed.get()
    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir,
               PYTHONPATH=os.pathsep.join([args.code] + sys.path[1:]))
    figures = {path: [] for path in PATHS}  # per round: {what: CPU s/MiB}
    for number in range(1, args.rounds + 1):
        for path in PATHS:
            for attempt in range(MAX_ATTEMPTS):
                per_mib, paced = measure_round(number, testbed, args, path, env, have_ser2net)
                if paced or attempt == MAX_ATTEMPTS - 1:
                    figures[path].append(per_mib)
                    break
                print("  (the two did not keep the same pace: this round of {} again)".format(path), flush=True)
    print("\nover {} rounds, device to host, CPU seconds per MiB the client read (ser2net measured "
          "over the same seconds):".format(args.rounds))
    for path in PATHS:
        rounds = figures[path]
        parts = ["{} {:.3f}".format(what, statistics.median(f[what] for f in rounds)) for what in rounds[0]]
        if have_ser2net:
            ratios = [f["loop"] / f["ser2net"] for f in rounds]
            parts.append("loop/ser2net median {:.2f}x, worst {:.2f}x".format(statistics.median(ratios), max(ratios)))
        print("  {:8}  {}".format(path, ", ".join(parts)))


if __name__ == "__main__":
    main()
