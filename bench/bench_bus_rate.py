r"""The bus's real rate: the module against a plain-C floor, through the same emulated device.

Prints figures and the targets they are held to; checks nothing else. Build the module and
the emulator, then run from the repository root:

    tools/dev-build.sh /tmp/build-bench
    tools/build-emulator.sh /tmp/emu-bench
    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench \
        umockdev-wrapper python3 bench/bench_bus_rate.py          # about 40 s

The device is paced like a full-speed interrupt endpoint: at most one 64-byte packet per
endpoint per 1 ms frame. For --seconds (10) it streams on four channels in both directions:
  IN   the device's own source queues one packet (one data record of 61 bytes, the channels
       in turn) every --in-interval-ms (2 ms: 500 packets/s, about 76 kbaud per channel);
  OUT  one writer per channel sends full packets as fast as the bus takes them.
Four runs, each on a freshly plugged device:
  floor   bench/c_floor.c, built here with cc as a shared library and called through ctypes
          (the emulator answers ioctls only in the process that made the testbed): one
          reader thread, one writer thread per channel, synchronous libusb transfers;
  module  four Serial ports (--through torvak: torvak:// ports): a Python thread per port
          writing --write-size bytes per call,
          and one reading and checking what arrives;
  hog     the module's reader and consumers, without writers, while another Python thread
          runs a pure-Python loop with sys.setswitchinterval(0.5), so Python threads get
          the GIL for half a second at a time. The module's reader must not need it. (The
          writers would go on beside the hog, a batch of packets per GIL hand-over, and
          with one core spinning their OUT traffic alone can back the stream up);
  floor+hog  for reference, the floor's reader alone beside the same hog: what the
          machine allows a reader that never touches Python while one core spins
          (--no-floor-hog leaves it out).

Figures per run: user CPU time per packet (in + out) of the whole process, which includes
the emulation's own cost (umockdev forwards every ioctl over a socket), and of the client's
own threads only; packets per second in each direction, counted by the emulator; the p50
and p99 delay from the emulator offering an IN packet (queued, and the endpoint's frame
free) to the client reaping the transfer that carries it; the IN backlog in the emulator.
--rounds N repeats the runs; each target is then shown per round, with its median and the
number of rounds it held in. The reader's user CPU comes from the kernel's per-thread
utime, which on a tick-accounting kernel rests on few ticks; --perf-hz 5000 also splits the
reader's time on a CPU by perf samples (needs perf, and root or perf_event_paranoid <= 1).
The machine has 2 cores: anything else running moves every figure.
"""

import argparse
import ctypes
import os
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from torvak_emu import Testbed

_CHANNELS = (1, 2, 3, 4)
_PAYLOAD = 61  # the largest data record that leaves the packet's end byte free
_PATTERN = bytes(range(256)) * 64  # what each streamed channel carries, from 0 on


class FloorStats(ctypes.Structure):
    """struct floor_stats of c_floor.c."""

    _fields_ = [
        ("out_packets", ctypes.c_uint64),
        ("out_timeouts", ctypes.c_uint64),
        ("in_packets", ctypes.c_uint64),
        ("in_data_bytes", ctypes.c_uint64),
        ("order_errors", ctypes.c_uint64),
        ("transfer_errors", ctypes.c_uint64),
        ("reader_user_s", ctypes.c_double),
        ("writers_user_s", ctypes.c_double),
        ("reader_tid", ctypes.c_int),
        ("error", ctypes.c_char * 160),
    ]


def build_floor(cc, out_dir):
    """Compiles bench/c_floor.c into out_dir; returns the loaded library."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "c_floor.c")
    target = os.path.join(out_dir, "libc_floor.so")
    flags = subprocess.run(
        ["pkg-config", "--cflags", "--libs", "libusb-1.0"],
        check=True, capture_output=True, text=True,
    ).stdout.split()
    subprocess.run(
        [cc, "-O2", "-Wall", "-Wextra", "-shared", "-fPIC", "-o", target, source] + flags
        + ["-lpthread"],
        check=True,
    )
    lib = ctypes.CDLL(target)
    lib.floor_start.restype = ctypes.c_void_p
    lib.floor_start.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_char_p,
                                ctypes.c_size_t]
    lib.floor_reader_tid.restype = ctypes.c_int
    lib.floor_reader_tid.argtypes = [ctypes.c_void_p]
    lib.floor_stop.restype = None
    lib.floor_stop.argtypes = [ctypes.c_void_p, ctypes.POINTER(FloorStats)]
    return lib


def _task_user_ticks():
    """{tid: user CPU in clock ticks} for every thread of this process."""
    ticks = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/stat" % tid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks[int(tid)] = int(fields[11])  # field 14, utime
        except (OSError, IndexError, ValueError):
            pass  # the thread ended meanwhile
    return ticks


def _thread_times(tid):
    """(user CPU in clock ticks, time on a CPU in ns, user and system) of one thread."""
    with open("/proc/self/task/%d/stat" % tid) as f:
        utime = int(f.read().rsplit(")", 1)[1].split()[11])
    with open("/proc/self/task/%d/schedstat" % tid) as f:
        on_cpu_ns = int(f.read().split()[0])
    return utime, on_cpu_ns


class ModeSampler:
    """The share of one thread's time on a CPU spent in user mode, from `perf record`
    sampling it at --perf-hz. The kernel splits a thread's CPU time into user and system
    by the scheduler tick (CONFIG_HZ, often 250 Hz), so over a window of seconds the
    utime of a thread that is mostly in system calls rests on a few dozen ticks; sampling
    at some kHz gives some hundred times as many."""

    def __init__(self, tid, hz):
        self.directory = tempfile.TemporaryDirectory(prefix="bus-rate-perf")
        self.path = os.path.join(self.directory.name, "reader.data")
        self.process = subprocess.Popen(
            ["perf", "record", "-q", "-e", "cpu-clock", "-F", str(hz), "-t", str(tid),
             "-o", self.path],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        time.sleep(0.3)  # perf attached before the window opens

    def user_share(self):
        """Stops sampling; nan when perf saw no kernel sample (it may not be allowed to)."""
        self.process.send_signal(signal.SIGINT)
        self.process.wait()
        try:
            ips = subprocess.run(["perf", "script", "-i", self.path, "-F", "ip"],
                                 capture_output=True, text=True).stdout.split()
        finally:
            self.directory.cleanup()
        # Kernel addresses are the top half of the address space.
        user = sum(1 for ip in ips if int(ip, 16) < 1 << 63)
        return user / len(ips) if 0 < user < len(ips) else float("nan")


class Meter:
    """User CPU of the process, of the threads started after `baseline`, and of the reader
    thread `reader_tid` alone, over a window."""

    def __init__(self, baseline_tids, reader_tid, perf_hz=0):
        self.baseline = set(baseline_tids)
        self.exclude = set()
        self.reader_tid = reader_tid
        self.perf_hz = perf_hz
        self.reader_sampled_user = float("nan")

    def start(self):
        self.sampler = ModeSampler(self.reader_tid, self.perf_hz) if self.perf_hz else None
        self.t0 = time.monotonic()
        self.ru0 = resource.getrusage(resource.RUSAGE_SELF).ru_utime
        self.ticks0 = _task_user_ticks()
        self.reader0 = _thread_times(self.reader_tid)

    def stop(self, end=None):
        self.t1 = time.monotonic() if end is None else end
        reader1 = _thread_times(self.reader_tid)
        self.ru1 = resource.getrusage(resource.RUSAGE_SELF).ru_utime
        ticks1 = _task_user_ticks()
        hz = os.sysconf("SC_CLK_TCK")
        client = 0
        for tid, value in ticks1.items():
            if tid in self.baseline or tid in self.exclude:
                continue
            client += value - self.ticks0.get(tid, 0)
        self.client_user = client / hz
        self.process_user = self.ru1 - self.ru0
        self.reader_user = (reader1[0] - self.reader0[0]) / hz
        self.reader_on_cpu = (reader1[1] - self.reader0[1]) / 1e9
        if self.sampler:
            self.reader_sampled_user = self.sampler.user_share() * self.reader_on_cpu


class ChannelChecker:
    """Checks that one channel's bytes count 0, 1, ... 255, 0, ...; counts them."""

    def __init__(self):
        self.received = 0
        self.errors = 0

    def take(self, data):
        offset = self.received % 256
        n = len(data)
        while n:
            part = min(n, len(_PATTERN) - offset)
            done = len(data) - n
            if data[done:done + part] != _PATTERN[offset:offset + part]:
                self.errors += 1
            n -= part
            offset = 0
        self.received += len(data)


def _window_figures(dev, meter, out_count, extra):
    t0, t1 = meter.t0, meter.t1
    timing = [t for t in dev.in_timing(clear=True) if t0 <= t[2] <= t1]
    delays = sorted((reaped - offered) * 1e3 for offered, _c, reaped, _n in timing)
    seconds = t1 - t0
    packets = out_count + len(timing)
    figures = {
        "seconds": seconds,
        "out_rate": out_count / seconds,
        "in_rate": len(timing) / seconds,
        "cpu_us": meter.process_user / packets * 1e6 if packets else float("nan"),
        "client_cpu_us": meter.client_user / packets * 1e6 if packets else float("nan"),
        "reader_cpu_us": meter.reader_user / len(timing) * 1e6 if timing else float("nan"),
        "reader_on_cpu_us": meter.reader_on_cpu / len(timing) * 1e6 if timing else float("nan"),
        "reader_sampled_us": meter.reader_sampled_user / len(timing) * 1e6 if timing else float("nan"),
        "p50_ms": _percentile(delays, 0.50),
        "p99_ms": _percentile(delays, 0.99),
        "max_ms": delays[-1] if delays else float("nan"),
    }
    figures.update(extra)
    return figures


def _percentile(sorted_values, fraction):
    if not sorted_values:
        return float("nan")
    index = min(len(sorted_values) - 1, max(0, int(round(fraction * (len(sorted_values) - 1)))))
    return sorted_values[index]


def _window(dev, meter, args, hog):
    """Holds the measuring window open for --seconds, with the Python GIL hog running
    when `hog`; returns the device's stream figures at its end."""
    meter.start()
    if not hog:
        time.sleep(args.seconds)
        stream = dev.stream_stats()
        meter.stop()
        return stream
    end = meter.t0 + args.seconds

    def hog_loop():
        # Pure Python: keeps the GIL for a whole switch interval at a time.
        n = 0
        while time.monotonic() < end:
            n += 1

    old_interval = sys.getswitchinterval()
    hog_thread = threading.Thread(target=hog_loop)
    sys.setswitchinterval(args.hog_switch_interval)
    try:
        hog_thread.start()
        meter.exclude.add(hog_thread.native_id)
        # Ends the window with the hog, not when this thread next gets the GIL.
        hog_thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    stream = dev.stream_stats()
    meter.stop(end=end)
    return stream


def _drain(dev):
    """Lets the client take what the device still has queued."""
    deadline = time.monotonic() + 5
    while dev.pending_in() and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)  # the last transfer reaped and routed


def _streamed_window(dev, meter, args, hog):
    """Streams IN packets on every channel through one measured window, then stops the
    stream and lets the reader catch up. Returns (stream figures, OUT packets taken in the
    window, the emulator's stream counts at its end)."""
    dev.out_packets(clear=True)
    dev.in_timing(clear=True)
    dev.stream_stats(reset_max=True)
    dev.stream_in(_CHANNELS, args.in_interval_ms, _PAYLOAD)
    stream = _window(dev, meter, args, hog)
    out_count = len(dev.out_packets(clear=True))
    dev.stream_in([], args.in_interval_ms, _PAYLOAD)
    stream_end = dev.stream_stats()
    _drain(dev)
    return stream, out_count, stream_end


def run_floor(lib, testbed, serial, args, hog=False, writers=len(_CHANNELS)):
    dev = testbed.plug(serial=serial, channels=4)
    dev.set_pace_ms(1)
    baseline = _task_user_ticks()
    error = ctypes.create_string_buffer(160)
    client = lib.floor_start(dev.bus, dev.address, writers, error, len(error))
    if not client:
        raise RuntimeError("the C floor did not start: %s" % error.value.decode())
    stats = FloorStats()
    try:
        reader_tid = lib.floor_reader_tid(client)
        if not reader_tid:
            raise RuntimeError("the C floor's reader did not start")
        meter = Meter(baseline, reader_tid, 0 if hog else args.perf_hz)
        stream, out_count, stream_end = _streamed_window(dev, meter, args, hog)
    finally:
        lib.floor_stop(client, ctypes.byref(stats))
        dev.unplug()
    lost = stream_end["produced"] * _PAYLOAD - stats.in_data_bytes
    extra = {
        "backlog_max": stream["backlog_max"],
        "backlog_end": stream["backlog"],
        "check": "%d order errors, %d bytes missing, %d transfer errors%s"
        % (stats.order_errors, lost, stats.transfer_errors,
           (" (" + stats.error.decode() + ")") if stats.error else ""),
    }
    return _window_figures(dev, meter, out_count, extra)


def run_module(zeq_torvak, testbed, serial, args, hog=False):
    dev = testbed.plug(serial=serial, channels=4)
    dev.set_pace_ms(1)
    baseline = _task_user_ticks()
    if args.through == "torvak":  # pyserial ports: writes go through the output buffer
        import serial as pyserial
        import torvak_serial  # noqa: F401  (registers torvak://)
        ports = [pyserial.serial_for_url("torvak://%s/%d" % (serial, n), baudrate=115200, timeout=0.02)
                 for n in _CHANNELS]
        from torvak_serial import native
        device, _ = native.channel_device(ports[0]._channel._channel)  # the port's DeviceChannel
    else:
        ports = [zeq_torvak.Serial("Torvak:%s:S%d" % (serial, n), 115200, timeout=0.02)
                 for n in _CHANNELS]
        device = ports[0]._Serial__handle._Channel__device
    reader_tid = device._Device__input_scanner.native_id
    meter = Meter(baseline.keys() - {reader_tid}, reader_tid, 0 if hog else args.perf_hz)
    stop = threading.Event()
    checkers = [ChannelChecker() for _ in ports]
    failures = []
    block = bytes((1 + i) % 256 for i in range(args.write_size))

    def writer(port):
        try:
            while not stop.is_set():
                port.write(block)
        except Exception as exc:  # reported below
            failures.append("write: %r" % exc)

    def consumer(port, checker):
        try:
            while not stop.is_set() or port.in_waiting:
                data = port.read(4096)
                if data:
                    checker.take(data)
        except Exception as exc:  # reported below
            failures.append("read: %r" % exc)

    threads = [] if hog else [threading.Thread(target=writer, args=(p,)) for p in ports]
    threads += [threading.Thread(target=consumer, args=(p, c)) for p, c in zip(ports, checkers)]
    for t in threads:
        t.start()
    try:
        time.sleep(0.2)  # every thread under way
        stream, out_count, stream_end = _streamed_window(dev, meter, args, hog)
    finally:
        stop.set()
        for t in threads:
            t.join(30)
        for p in ports:
            p.close()
        dev.unplug()
    expected = stream_end["produced"] * _PAYLOAD
    received = sum(c.received for c in checkers)
    extra = {
        "backlog_max": stream["backlog_max"],
        "backlog_end": stream["backlog"],
        "check": "%d order errors, %d bytes missing%s"
        % (sum(c.errors for c in checkers), expected - received,
           ("; " + "; ".join(failures)) if failures else ""),
    }
    return _window_figures(dev, meter, out_count, extra)


def _print_run(label, r):
    print(
        "  %-9s out %7.1f/s  in %7.1f/s  user CPU %6.1f us/packet (client threads %5.1f)"
        "  pickup p50 %6.3f ms p99 %6.3f ms max %7.3f ms  backlog max %3d end %3d"
        % (label, r["out_rate"], r["in_rate"], r["cpu_us"], r["client_cpu_us"], r["p50_ms"],
           r["p99_ms"], r["max_ms"], r["backlog_max"], r["backlog_end"])
    )
    sampled = "" if r["reader_sampled_us"] != r["reader_sampled_us"] else (
        " (by perf samples %5.1f us)" % r["reader_sampled_us"])
    print("            reader thread: user CPU %5.1f us per IN packet%s (on a CPU, user and system,"
          " %5.1f us); %s" % (r["reader_cpu_us"], sampled, r["reader_on_cpu_us"], r["check"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--in-interval-ms", type=float, default=2.0,
                        help="the device queues one IN packet this often (default 2)")
    parser.add_argument("--write-size", type=int, default=62 * 64,
                        help="bytes per Serial.write call of the module's writers")
    parser.add_argument("--hog-switch-interval", type=float, default=0.5)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--through", choices=("module", "torvak"), default="module",
                        help="the module runs' ports: the module's Serial, or torvak:// ports of"
                        " torvak_serial (pyserial), whose writes go through their output buffer")
    parser.add_argument("--no-floor-hog", action="store_true",
                        help="skip the reference run of the C floor beside the same hog")
    parser.add_argument("--cc", default=os.environ.get("CC", "cc"))
    parser.add_argument("--perf-hz", type=int, default=0,
                        help="also split the reader's CPU time into user and system by"
                        " sampling it with perf at this rate (10000 is a good one)")
    args = parser.parse_args()
    if args.perf_hz and not shutil.which("perf"):
        parser.error("--perf-hz needs perf (Debian: apt-get install linux-perf)")

    usable, why = Testbed.available()
    if not usable:
        sys.stderr.write("cannot emulate the device here: %s\n" % why)
        return 2
    testbed = Testbed.get()  # before libusb initialises anywhere in this process
    import zeq_torvak

    with tempfile.TemporaryDirectory(prefix="c_floor") as build_dir:
        lib = build_floor(args.cc, build_dir)
        print(
            "zeq_torvak %s, Python %s, %d CPUs, load %.2f; %g s per run, IN every %g ms,"
            " writes of %d B"
            % (os.path.dirname(zeq_torvak.__file__), sys.version.split()[0],
               os.cpu_count() or 0, os.getloadavg()[0], args.seconds, args.in_interval_ms,
               args.write_size)
        )
        results = {"floor": [], "module": [], "hog": [], "floor-hog": []}
        for n in range(args.rounds):
            if args.rounds > 1:
                print("round %d" % (n + 1))
            r = run_floor(lib, testbed, "BUSF%04d" % n, args)
            _print_run("floor", r)
            results["floor"].append(r)
            r = run_module(zeq_torvak, testbed, "BUSM%04d" % n, args)
            _print_run("module", r)
            results["module"].append(r)
            r = run_module(zeq_torvak, testbed, "BUSH%04d" % n, args, hog=True)
            _print_run("hog", r)
            results["hog"].append(r)
            if not args.no_floor_hog:
                # The reader alone beside the hog, as the module's hog run.
                r = run_floor(lib, testbed, "BUSG%04d" % n, args, hog=True, writers=0)
                _print_run("floor+hog", r)
                results["floor-hog"].append(r)

    floor, module, hog = results["floor"], results["module"], results["hog"]
    # "Building up": more than 100 ms of the stream queued at once, or more than 5 packets
    # still queued when the window closes.
    backlog_limit = max(5, int(round(100.0 / args.in_interval_ms)))
    targets = [
        ("user CPU per packet, module / floor", "at most 1.50",
         lambda f, m, h: _ratio(m["cpu_us"], f["cpu_us"]), lambda v, f, m, h: v <= 1.5, "%.2f"),
        ("reader's user CPU per IN packet, module / floor", "at most 1.20",
         lambda f, m, h: _ratio(m["reader_cpu_us"], f["reader_cpu_us"]), lambda v, f, m, h: v <= 1.2, "%.2f"),
        ("reader's user CPU, by perf samples", "at most 1.20",
         lambda f, m, h: _ratio(m["reader_sampled_us"], f["reader_sampled_us"]),
         lambda v, f, m, h: v <= 1.2, "%.2f"),
        ("OUT packets/s, module / floor", "at least 0.95",
         lambda f, m, h: _ratio(m["out_rate"], f["out_rate"]), lambda v, f, m, h: v >= 0.95, "%.3f"),
        ("IN packets/s, module / floor", "at least 0.95",
         lambda f, m, h: _ratio(m["in_rate"], f["in_rate"]), lambda v, f, m, h: v >= 0.95, "%.3f"),
        ("GIL hog: p99 pickup, ms", "below 5 or twice the idle p99",
         lambda f, m, h: h["p99_ms"], lambda v, f, m, h: v < max(5.0, 2 * m["p99_ms"]), "%.3f"),
        ("GIL hog: IN backlog, most queued at once", "at most %d, and at most 5 at the end" % backlog_limit,
         lambda f, m, h: h["backlog_max"],
         lambda v, f, m, h: v <= backlog_limit and h["backlog_end"] <= 5, "%d"),
        ("GIL hog: IN rate / idle IN rate", "at least 0.90",
         lambda f, m, h: _ratio(h["in_rate"], m["in_rate"]), lambda v, f, m, h: v >= 0.9, "%.3f"),
    ]
    if not args.perf_hz:
        targets = [t for t in targets if "perf" not in t[0]]
    print("targets (value per round; median; how many rounds it held in)")
    for name, limit, value, holds, fmt in targets:
        values, held = [], 0
        for f, m, h in zip(floor, module, hog):
            v = value(f, m, h)
            values.append(v)
            held += v is not None and bool(holds(v, f, m, h))
        known = [v for v in values if v is not None]
        print("  %-42s %s  median %s  (%s)  held in %d of %d%s"
              % (name, " ".join(_shown(fmt, v) for v in values),
                 _shown(fmt, statistics.median(known) if known else None), limit,
                 held, len(known), "" if held == len(known) else "  MISSED"))
        if len(known) < len(values):
            print("    (n/a: the ratio cannot be computed in %d of %d rounds, where the divisor was 0, e.g. a "
                  "thread charged no utime tick on a loaded machine)" % (len(values) - len(known), len(values)))
    print("  client threads' own user CPU per packet, module / floor: %s"
          % " ".join(_shown("%.2f", _ratio(m["client_cpu_us"], f["client_cpu_us"]))
                     for f, m in zip(floor, module)))
    print("  reader thread's user CPU per IN packet, us: floor %s (median %.1f), module %s (median %.1f)"
          % (" ".join("%.1f" % f["reader_cpu_us"] for f in floor),
             statistics.median(f["reader_cpu_us"] for f in floor),
             " ".join("%.1f" % m["reader_cpu_us"] for m in module),
             statistics.median(m["reader_cpu_us"] for m in module)))
    print("  reader thread on a CPU (user and system) per IN packet, module / floor: %s"
          % " ".join(_shown("%.2f", _ratio(m["reader_on_cpu_us"], f["reader_on_cpu_us"]))
                     for f, m in zip(floor, module)))
    if results["floor-hog"]:
        print("  for reference, the C floor's reader alone beside the same hog: IN rate"
              " / its idle rate %s, p99 pickup %s ms, backlog at most %s"
              % (" ".join(_shown("%.3f", _ratio(g["in_rate"], f["in_rate"]))
                          for f, g in zip(floor, results["floor-hog"])),
                 " ".join("%.3f" % g["p99_ms"] for g in results["floor-hog"]),
                 " ".join("%d" % g["backlog_max"] for g in results["floor-hog"])))
    return 0


def _ratio(numerator, denominator):
    """numerator / denominator; None when the denominator is 0 (on a loaded machine, the
    floor's reader may have been charged no utime tick at all)."""
    return numerator / denominator if denominator else None


def _shown(fmt, value):
    return "n/a" if value is None else fmt % value


if __name__ == "__main__":
    sys.exit(main())
