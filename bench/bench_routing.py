r"""What going through torvak serve costs: the same clients directly on torvak:// and through
the service (its ttys, and torvak:// routed to its RFC 2217 ports), on a device paced like
the real bus (one 64-byte packet per endpoint per 1 ms frame, as in bench_bus_rate.py).

Prints figures and checks nothing. From the repository root, with the module and the
emulator built (see bench/README.md):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/bench_routing.py [--rounds 3] [--seconds 5]

Each round, on a freshly plugged device whose firmware echoes every channel:
  direct   a client process opens torvak://SERIAL/1..4 itself;
  pty      torvak serve holds the device; the client opens the four ttys;
  RFC 2217 the same service; the client opens torvak://SERIAL/1..4, which go to the
           service's RFC 2217 ports.
The client writes as fast as the channels take it on all four (a thread per channel) and
reads the echo (a thread per channel); figures over --seconds after one second of warm-up:
echoed bytes per second, and the CPU time (user + system, from /proc/PID/stat) of the
direct client and of the service. Then, on channel 1 alone, 1,000 round trips of 10 bytes:
p50 and p99, and what the service adds to the direct figure. The client process is the
same in every mode; the emulator runs in this process (it answers every process's USB
traffic), so its own cost is in none of the figures.

The paced device sends a packet at the start of a 1 ms frame and echoes it in a later one,
so a round trip takes whole frames: what the service adds shows as 0 or 1 ms, depending on
whether the echo, the client's next message and the service's hand-over fit between two
frames. The round trips are therefore timed once more with the device unpaced, where the
figure is the service's own added time.
"""
import argparse
import collections
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

from torvak_emu import Testbed, wait_until

REPO = pathlib.Path(__file__).resolve().parent.parent
CHANNELS = 4
TICKS = os.sysconf("SC_CLK_TCK")

CLIENT = r'''
import json, sys, threading, time
import serial, torvak_serial
urls, seconds, rounds = json.loads(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
ports = [serial.serial_for_url(u, baudrate=115200, timeout=0.05) for u in urls]
if not seconds:  # round trips only
    for p in ports[1:]:
        p.close()
    del ports[1:]
stop, counting, counts = threading.Event(), threading.Event(), [0] * len(ports)
written, received = [0] * len(ports), [0] * len(ports)
block = bytes(range(256)) * 16
def writer(i, p):
    while not stop.is_set():
        written[i] += p.write(block)
def reader(i, p):
    while not stop.is_set():
        n = len(p.read(4096))
        received[i] += n
        if counting.is_set():
            counts[i] += n
threads = [threading.Thread(target=writer, args=(i, p)) for i, p in enumerate(ports)]
threads += [threading.Thread(target=reader, args=(i, p)) for i, p in enumerate(ports)]
if seconds:
    for t in threads:
        t.start()
    time.sleep(1.0)
print("start", flush=True)
counting.set()
started = time.monotonic()
time.sleep(seconds)
counting.clear()
elapsed = time.monotonic() - started
print("end", flush=True)
stop.set()
if seconds:
    for t in threads:
        t.join()
    # The echo of what was still on its way, to the last byte: the channels share the
    # device's IN packets, so one may stay silent for seconds while the others' echo goes.
    for i, p in enumerate(ports):
        p.timeout = 30
        while received[i] < written[i]:
            n = len(p.read(min(65536, written[i] - received[i])))
            if not n:
                print(json.dumps({"error": "%s: %d of %d bytes echoed" % (urls[i], received[i], written[i])}),
                      flush=True)
                sys.exit(1)
            received[i] += n
rate = sum(counts) / elapsed if seconds else 0.0
port = ports[0]
port.timeout = 2
times = []
for i in range(rounds):
    message = b"%09d\n" % i
    t0 = time.perf_counter()
    port.write(message)
    back = port.read(10)
    times.append(time.perf_counter() - t0)
    if back != message:
        print(json.dumps({"error": "round %d: %r" % (i, back)}), flush=True)
        break
for p in ports:
    p.close()
times.sort()
print(json.dumps({"rate": rate, "p50": times[len(times) // 2], "p99": times[int(len(times) * 0.99)]}), flush=True)
'''


def cpu_seconds(pid):
    with open("/proc/{}/stat".format(pid)) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def run_client(env, urls, seconds, rounds, service_pid=None):
    """(figures, CPU seconds of the client, CPU seconds of the service) over the window."""
    child = subprocess.Popen([sys.executable, "-c", CLIENT, json.dumps(urls), str(seconds), str(rounds)],
                             env=env, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "start"
        client0 = cpu_seconds(child.pid)
        service0 = cpu_seconds(service_pid) if service_pid else 0.0
        assert child.stdout.readline().strip() == "end"
        client1 = cpu_seconds(child.pid)
        service1 = cpu_seconds(service_pid) if service_pid else 0.0
        figures = json.loads(child.stdout.readline())
    finally:
        child.wait(120)
    if "error" in figures:
        raise RuntimeError(figures["error"])
    return figures, client1 - client0, service1 - service0


def start_service(env, serial, run_dir, base):
    service = subprocess.Popen(
        [sys.executable, "-m", "torvak_cli", "serve", "--device", serial, "--pty-dir", run_dir,
         "--rfc2217-port", str(base)], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    state = os.path.join(run_dir, "serve.json")

    def ready():
        try:
            with open(state) as f:
                return bool(json.load(f)["devices"])
        except (OSError, ValueError, KeyError):
            return False

    if not wait_until(ready, timeout=10):
        service.kill()
        raise RuntimeError("torvak serve did not come up")
    return service


def one_round(testbed, n, args, env):
    """{mode: (figures, client CPU, service CPU)}, and {mode: unpaced figures}."""
    serial = "ROUTE{:03d}".format(n)
    device = testbed.plug(serial=serial, channels=CHANNELS)
    device.set_loopback(True)
    device.set_pace_ms(1)
    urls = ["torvak://{}/{}".format(serial, c) for c in range(1, CHANNELS + 1)]
    results, unpaced = {}, {}
    try:
        run_dir = tempfile.mkdtemp(prefix="bench-routing")
        direct_env = dict(env, TORVAK_RUN_DIR=os.path.join(run_dir, "nothing-here"))
        results["direct"] = run_client(direct_env, urls, args.seconds, args.rounds_of_echo)
        device.set_pace_ms(0)
        unpaced["direct"] = run_client(direct_env, urls, 0, args.rounds_of_echo)[0]
        device.set_pace_ms(1)
        service = start_service(env, serial, run_dir, args.base + 100 * n)
        try:
            routed_env = dict(env, TORVAK_RUN_DIR=run_dir)
            ttys = [os.path.join(run_dir, serial, str(c)) for c in range(1, CHANNELS + 1)]
            modes = {"pty": ttys, "RFC 2217": urls}
            for mode, names in modes.items():
                results[mode] = run_client(routed_env, names, args.seconds, args.rounds_of_echo, service.pid)
            device.set_pace_ms(0)
            for mode, names in modes.items():
                unpaced[mode] = run_client(routed_env, names, 0, args.rounds_of_echo, service.pid)[0]
        finally:
            service.terminate()
            service.wait(20)
    finally:
        device.unplug()
    return results, unpaced


def emulated_testbed():
    """The emulated bus, or None (said on standard error) where it cannot be had."""
    usable, why = Testbed.available()
    if not usable:
        sys.stderr.write("cannot emulate the device here: %s\n" % why)
        return None
    return Testbed.get()


def child_env(testbed):
    """The environment of a child on `testbed`'s bus: the checkout's packages ahead of the
    module's directory, which may be an installed site-packages holding older copies of them."""
    import zeq_torvak

    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir)
    env["PYTHONPATH"] = os.pathsep.join([str(REPO / "python"), os.path.dirname(zeq_torvak.__file__)]
                                        + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rounds-of-echo", type=int, default=1000)
    parser.add_argument("--base", type=int, default=47600, help="first RFC 2217 port (default %(default)s)")
    args = parser.parse_args()
    testbed = emulated_testbed()
    if testbed is None:
        return 2
    env = child_env(testbed)
    print("Python {}, {} CPUs; {:g} s windows, {} echoes of 10 bytes, device paced at 1 ms".format(
        sys.version.split()[0], os.cpu_count(), args.seconds, args.rounds_of_echo))
    ratios = collections.defaultdict(list)
    for n in range(args.rounds):
        before = os.getloadavg()
        results, unpaced = one_round(testbed, n, args, env)
        direct, direct_cpu, _ = results["direct"]
        print("round {} (load average {:.2f} {:.2f} {:.2f} before it, {:.2f} {:.2f} {:.2f} after)".format(
            n + 1, *(before + os.getloadavg())))
        print("  {:<9} {:8.0f} B/s echoed   client CPU {:5.2f} s   round trip p50 {:6.3f} ms  p99 {:6.3f} ms".format(
            "direct", direct["rate"], direct_cpu, direct["p50"] * 1e3, direct["p99"] * 1e3))
        for mode in ("pty", "RFC 2217"):
            figures, client_cpu, service_cpu = results[mode]
            share = figures["rate"] / direct["rate"]
            cpu = service_cpu / direct_cpu if direct_cpu else float("inf")
            added = (figures["p50"] - direct["p50"]) * 1e3
            ratios[mode].append(share)
            ratios["cpu " + mode].append(cpu)
            ratios["added " + mode].append(added)
            print("  {:<9} {:8.0f} B/s echoed ({:5.1%} of direct)   service CPU {:5.2f} s ({:4.2f} x the direct "
                  "client's; this client {:5.2f} s)   p50 {:6.3f} ms (added {:+.3f})  p99 {:6.3f} ms".format(
                      mode, figures["rate"], share, service_cpu, cpu, client_cpu, figures["p50"] * 1e3, added,
                      figures["p99"] * 1e3))
        print("  unpaced round trips: direct p50 {:6.3f} ms  p99 {:6.3f} ms".format(
            unpaced["direct"]["p50"] * 1e3, unpaced["direct"]["p99"] * 1e3), end="")
        for mode in ("pty", "RFC 2217"):
            added = (unpaced[mode]["p50"] - unpaced["direct"]["p50"]) * 1e3
            ratios["unpaced added " + mode].append(added)
            print(";  {} p50 {:6.3f} ms (added {:+.3f})  p99 {:6.3f} ms".format(
                mode, unpaced[mode]["p50"] * 1e3, added, unpaced[mode]["p99"] * 1e3), end="")
        print()
    print("medians over {} rounds (targets: throughput at least 95% of direct, service CPU at most 1.5 x, "
          "added p50 at most 0.5 ms through a pty and 1 ms through RFC 2217):".format(args.rounds))
    for mode, limit in (("pty", 0.5), ("RFC 2217", 1.0)):
        print("  {:<9} throughput {:5.1%}  service CPU {:4.2f} x  added p50 {:+.3f} ms paced, {:+.3f} ms unpaced "
              "(bound {} ms)".format(mode, statistics.median(ratios[mode]), statistics.median(ratios["cpu " + mode]),
                                     statistics.median(ratios["added " + mode]),
                                     statistics.median(ratios["unpaced added " + mode]), limit))
    return 0


if __name__ == "__main__":
    sys.exit(main())
