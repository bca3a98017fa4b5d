"""Loopback stress on emulated devices, shared by tests/test_stress.py (about 10 s) and
bench/bench_stress.py (60 s).

Two devices with loopback firmware; on each, channels 1 to 4 have a writer thread and a
reader thread. Each channel carries its own pseudo-random byte stream: the writer sends it
in pieces of random length, the reader takes it back in pieces of random length and checks
every byte against the stream, so a byte lost, duplicated, reordered or delivered to the
wrong channel shows as a mismatch or as a stall. A window bounds what is in flight per
channel. Beside them one thread opens channel 5 of each device, sends a few bytes round
it and closes it again, in a loop, and one thread asks both devices for an echo and their
firmware version, in a loop. The main thread watches for progress (a stall is reported with
the stacks of every thread), keeps the emulator's logs from growing, and samples memory.
"""

import ctypes
import functools
import gc
import os
import random
import sys
import threading
import time
import traceback

_BLOCK = 1 << 16  # length of one channel's stream before it repeats
_CHANNELS = (1, 2, 3, 4)
_CHURN_CHANNEL = 5
_VERSION = "Torvak-STRESS 1.0"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _load_mallinfo2():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    fn.restype = _MallInfo2
    fn.argtypes = []
    return fn


_mallinfo2 = _load_mallinfo2()


@functools.lru_cache(maxsize=None)
def under_address_sanitizer():
    """True in a process with AddressSanitizer loaded. Its allocator answers malloc, so
    glibc's counts stay at zero, and its quarantine holds freed memory back on purpose, so
    resident memory says nothing about leaks there."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def memory_sample():
    """dict(rss_kib, malloc_kib, py_blocks): resident memory, bytes malloc has handed out
    and not had back (glibc without AddressSanitizer; None elsewhere), and the interpreter's
    allocated blocks."""
    rss = None
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    malloc = None
    if _mallinfo2 is not None and not under_address_sanitizer():
        info = _mallinfo2()
        malloc = (info.uordblks + info.hblkhd) // 1024
    return {"rss_kib": rss, "malloc_kib": malloc, "py_blocks": sys.getallocatedblocks()}


def process_resources():
    """Native threads and open descriptors of this process."""
    return {
        "native_threads": len(os.listdir("/proc/self/task")),
        "descriptors": len(os.listdir("/proc/self/fd")),
    }


def live_instances(*classes):
    gc.collect()
    counts = dict.fromkeys(c.__name__ for c in classes)
    for name in counts:
        counts[name] = 0
    for obj in gc.get_objects():
        for c in classes:
            if type(obj) is c:
                counts[c.__name__] += 1
    return counts


class _Stream:
    """One channel's byte stream and how far it has been written and read back."""

    def __init__(self, name, port, seed, window):
        self.name = name
        self.port = port
        self.block = random.Random(seed).getrandbits(8 * _BLOCK).to_bytes(_BLOCK, "little")
        self.window = window
        self.cond = threading.Condition()
        self.written = 0  # handed to write(); guarded by cond
        self.read = 0  # taken back and checked; guarded by cond
        self.writer_done = False  # guarded by cond
        self.last_progress = time.monotonic()

    def segment(self, start, n):
        out = bytearray()
        while n:
            offset = start % _BLOCK
            part = min(n, _BLOCK - offset)
            out += self.block[offset:offset + part]
            start += part
            n -= part
        return bytes(out)


class StressRun:
    """One run of the load; see the module's documentation. `run` returns a result dict:
    failures (texts; empty when all held), per-channel byte counts, churn cycles, queries,
    memory samples (time, dict) and the time the run took."""

    def __init__(self, zeq_torvak, testbed, serials=("STRESS-A", "STRESS-B"), seed=1,
                 window=512, pace_ms=0, stall_seconds=8.0, log=None):
        self.zt = zeq_torvak
        self.testbed = testbed
        self.serials = serials
        self.seed = seed
        self.window = window
        self.pace_ms = pace_ms
        self.stall_seconds = stall_seconds
        self.log = log or (lambda text: None)
        self.stop = threading.Event()
        self._failures = []
        self._failures_lock = threading.Lock()
        self.churn_cycles = 0
        self.queries = 0
        self.query_timeouts = 0

    # -- failures -------------------------------------------------------------

    def fail(self, text):
        with self._failures_lock:
            self._failures.append(text)
        self.stop.set()

    def _guard(self, name, body, *args):
        try:
            body(*args)
        except Exception:
            self.fail("%s: %s" % (name, traceback.format_exc()))

    # -- the load -------------------------------------------------------------

    def _write_loop(self, stream, rng):
        while not self.stop.is_set():
            n = rng.randint(1, 400)
            with stream.cond:
                while stream.written - stream.read + n > stream.window and not self.stop.is_set():
                    stream.cond.wait(0.1)
                if self.stop.is_set():
                    break
                start = stream.written
                stream.written += n
                stream.cond.notify_all()
            sent = stream.port.write(stream.segment(start, n))
            if sent != n:
                self.fail("%s: write returned %r for %d bytes" % (stream.name, sent, n))
        with stream.cond:
            stream.writer_done = True
            stream.cond.notify_all()

    def _read_loop(self, stream, rng):
        while True:
            with stream.cond:
                while stream.written == stream.read and not stream.writer_done:
                    stream.cond.wait(0.1)
                outstanding = stream.written - stream.read
                if outstanding == 0:
                    return
            n = min(outstanding, rng.randint(1, 600))
            data = stream.port.read(n)
            now = time.monotonic()
            if data:
                expected = stream.segment(stream.read, len(data))
                if data != expected:
                    at = next(i for i, (a, b) in enumerate(zip(data, expected)) if a != b) \
                        if len(data) == len(expected) else min(len(data), len(expected))
                    self.fail(
                        "%s: byte %d of the stream is %r, expected %r"
                        % (stream.name, stream.read + at, data[at:at + 8], expected[at:at + 8])
                    )
                    return
                with stream.cond:
                    stream.read += len(data)
                    stream.last_progress = now
                    stream.cond.notify_all()
            elif now - stream.last_progress > self.stall_seconds:
                self.fail(
                    "%s: nothing arrived for %.1f s with %d bytes outstanding (lost?)"
                    % (stream.name, now - stream.last_progress, outstanding)
                )
                return

    def _churn_loop(self, rng):
        while not self.stop.is_set():
            for serial in self.serials:
                port = self.zt.Serial("Torvak:%s:S%d" % (serial, _CHURN_CHANNEL), 9600, timeout=2.0)
                try:
                    message = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 100)))
                    if port.write(message) != len(message):
                        self.fail("churn: short write")
                    got = port.read(len(message))
                    if got != message:
                        self.fail("churn: %s:S5 gave back %r for %r" % (serial, got[:16], message[:16]))
                finally:
                    port.close()
                self.churn_cycles += 1

    def _query_loop(self):
        previous = {}
        n = 0
        while not self.stop.is_set():
            for serial in self.serials:
                device = self.zt.get_hid_device(serial)
                n += 1
                text = "q%d" % n
                answer = device.echo(text)
                # Replies are not paired with queries: after a query that timed out, its
                # late reply may answer the next one.
                if answer is None:
                    self.query_timeouts += 1
                elif answer != text and answer != previous.get(serial):
                    self.fail("query: %s answered %r to echo %r" % (serial, answer, text))
                previous[serial] = text if answer is None else None
                version = device.firmware_version
                if version is None:
                    self.query_timeouts += 1
                elif version != _VERSION and version != previous.get(serial):
                    self.fail("query: %s reports version %r" % (serial, version))
                self.queries += 2

    # -- running --------------------------------------------------------------

    def _stacks(self):
        names = {t.ident: t.name for t in threading.enumerate()}
        lines = []
        for ident, frame in sys._current_frames().items():
            lines.append("--- %s" % names.get(ident, ident))
            lines.extend(traceback.format_stack(frame))
        return "".join(line if line.endswith("\n") else line + "\n" for line in lines)

    def run(self, seconds, sample_every=None, warmup=None):
        """Runs the load for `seconds`. Memory is sampled at `warmup` seconds (default a
        quarter of the run, at least 2 s), every `sample_every` seconds after it, and at the
        end while the load still runs."""
        warmup = max(2.0, seconds / 4) if warmup is None else warmup
        emulated = []
        for serial in self.serials:
            dev = self.testbed.plug(serial=serial, channels=_CHURN_CHANNEL, version=_VERSION)
            dev.set_loopback(True)
            dev.set_pace_ms(self.pace_ms)
            emulated.append(dev)
        deadline = time.monotonic() + 5
        while any(self.zt._ResourceManager.find_device(s) is None for s in self.serials):
            if time.monotonic() > deadline:
                raise RuntimeError("libusb does not list the emulated devices")
            time.sleep(0.01)
        resources_before = process_resources()

        streams = []
        ports = []
        threads = []
        samples = []
        started = time.monotonic()
        try:
            for d, serial in enumerate(self.serials):
                for channel in _CHANNELS:
                    port = self.zt.Serial("Torvak:%s:S%d" % (serial, channel), 115200, timeout=0.5)
                    ports.append(port)
                    streams.append(_Stream("%s:S%d" % (serial, channel), port,
                                           self.seed * 1000 + d * 10 + channel, self.window))
            for i, stream in enumerate(streams):
                threads.append(threading.Thread(
                    target=self._guard, name="writer " + stream.name,
                    args=("writer " + stream.name, self._write_loop, stream, random.Random(self.seed + 2 * i))))
                threads.append(threading.Thread(
                    target=self._guard, name="reader " + stream.name,
                    args=("reader " + stream.name, self._read_loop, stream,
                          random.Random(self.seed + 2 * i + 1))))
            threads.append(threading.Thread(target=self._guard, name="churn",
                                            args=("churn", self._churn_loop, random.Random(self.seed))))
            threads.append(threading.Thread(target=self._guard, name="queries",
                                            args=("queries", self._query_loop)))
            started = time.monotonic()
            for t in threads:
                t.start()

            next_sample = started + warmup
            progress = {"bytes": (0, started), "churn": (0, started), "queries": (0, started)}
            while not self.stop.is_set():
                now = time.monotonic()
                if now - started >= seconds:
                    break
                time.sleep(min(0.25, max(0.0, started + seconds - now)))
                for dev in emulated:
                    dev.out_packets(clear=True)
                    dev.in_log(clear=True)
                    dev.in_timing(clear=True)
                now = time.monotonic()
                if now >= next_sample:
                    samples.append((now - started, memory_sample()))
                    self.log("%5.1f s  %s" % (now - started, self.describe(streams, samples[-1][1])))
                    next_sample = now + (sample_every or float("inf"))
                counts = {
                    "bytes": sum(s.read for s in streams),
                    "churn": self.churn_cycles,
                    "queries": self.queries,
                }
                for key, value in counts.items():
                    last, since = progress[key]
                    if value != last:
                        progress[key] = (value, now)
                    elif now - since > self.stall_seconds:
                        self.fail("no progress in %s for %.1f s; threads:\n%s"
                                  % (key, now - since, self._stacks()))
                        break
            if not self._failures:
                samples.append((time.monotonic() - started, memory_sample()))
                self.log("%5.1f s  %s" % (samples[-1][0], self.describe(streams, samples[-1][1])))
        finally:
            self.stop.set()
            for t in threads:
                t.join(max(20.0, self.stall_seconds * 2))
            stuck = [t.name for t in threads if t.is_alive()]
            if stuck:
                self.fail("threads did not finish (deadlock?): %s\n%s" % (", ".join(stuck), self._stacks()))
            elapsed = time.monotonic() - started
            leftovers = {}
            if not stuck:
                time.sleep(0.2)  # anything duplicated would have arrived by now
                leftovers = {s.name: s.port.in_waiting for s in streams if s.port.in_waiting}
            for port in ports:
                port.close()
        if leftovers:
            self.fail("bytes beyond what was written arrived: %r" % leftovers)
        unchecked = {s.name: s.written - s.read for s in streams if s.written != s.read}
        if unchecked and not self._failures:
            self.fail("written but never read back: %r" % unchecked)
        return {
            "failures": list(self._failures),
            "bytes": {s.name: s.read for s in streams},
            "churn_cycles": self.churn_cycles,
            "queries": self.queries,
            "query_timeouts": self.query_timeouts,
            "samples": samples,
            "seconds": elapsed,
            "emulated": emulated,
            "resources_before": resources_before,
        }

    def describe(self, streams, sample):
        total = sum(s.read for s in streams)
        return "%.2f MB checked, %d churn cycles, %d queries; RSS %d KiB, malloc %s KiB, %d Python blocks" % (
            total / 1e6, self.churn_cycles, self.queries, sample["rss_kib"], sample["malloc_kib"],
            sample["py_blocks"])
