r"""Channel and reader benchmarks against the emulated device (real libusb path).

Prints figures and checks nothing. Build the module and the emulator, then run from the
repository root:

    tools/dev-build.sh /tmp/build-bench
    tools/build-emulator.sh /tmp/emu-bench
    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench \
        umockdev-wrapper python3 bench/bench_channel.py

--quick runs small amounts (a few seconds); --only SECTION (repeatable) runs a subset. The
default run takes about 30 s on a 2-core machine. The emulated bus is created before the
module is imported, because libusb must find it at initialisation.

Sections:
  write     bytes/s through Serial.write (-> _Channel.write -> _Device.output_data) to a
            device that completes every OUT transfer at once, for 62 B, 4 KiB and 64 KiB writes;
  route     packets/s the reader thread routes into a channel's receive buffer: many IN
            packets of 61 data bytes queued, timed from the first IN completion until
            in_waiting reaches the total;
  wake      time from a packet's IN completion (the emulator's log, time.monotonic()) to the
            return of a read() that was already waiting for it, p50/p99 over many trials;
  memory    resident memory per MiB held in one channel's receive buffer (VmRSS before and
            after buffering 32 MiB without reading it), and the same for 1-byte records;
  baseline  plain libusb through ctypes against the same emulator: the transfer rates it
            allows at all, to read the write and route figures against.
"""

import argparse
import ctypes
import os
import random
import statistics
import sys
import threading
import time

from torvak_emu import Testbed

_SECTIONS = ("write", "route", "wake", "memory", "baseline")
_DATA_PER_PACKET = 61  # the largest data record that leaves the packet's end byte free


def _rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def _release_free_memory():
    """Hands pages that malloc keeps after frees back to the system (glibc only), so one
    measurement's freed chunks do not make the next one look free of cost."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (AttributeError, OSError):
        pass


def _data_packet(channel, payload):
    """One IN packet: a single data record, padded with zeros (channel byte 0 ends it)."""
    return bytes((channel, len(payload))) + payload + bytes(64 - 2 - len(payload))


def _percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, max(0, int(round(fraction * (len(sorted_values) - 1)))))
    return sorted_values[index]


def _human_rate(value, unit):
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= factor:
            return "%.2f %s%s" % (value / factor, prefix, unit)
    return "%.1f %s" % (value, unit)


def bench_write(zeq_torvak, testbed, budget_s):
    print("== write: Serial.write to a device that completes OUT transfers at once")
    dev = testbed.plug(serial="BENCHW01", channels=4)
    dev.set_pace_ms(0)
    with zeq_torvak.Serial("Torvak:BENCHW01:S1", 115200, timeout=1) as port:
        for size in (62, 4 * 1024, 64 * 1024):
            data = bytes(i % 251 for i in range(size))
            packets_per_write = -(-size // 62)
            port.write(data)  # warm-up
            dev.out_packets(clear=True)
            writes = 0
            sent_packets = 0
            elapsed = 0.0
            start = time.perf_counter()
            while elapsed < budget_s:
                port.write(data)
                writes += 1
                elapsed = time.perf_counter() - start
                if writes % 64 == 0:
                    # Keeps the emulator's record of OUT packets from growing without end.
                    sent_packets += len(dev.out_packets(clear=True))
            sent_packets += len(dev.out_packets(clear=True))
            total = writes * size
            print(
                "  %6d B writes: %5d writes in %.2f s  %s  %s  %.1f us/write"
                % (
                    size,
                    writes,
                    elapsed,
                    _human_rate(total / elapsed, "B/s"),
                    _human_rate(writes * packets_per_write / elapsed, "packets/s"),
                    elapsed / writes * 1e6,
                )
            )
            if sent_packets != writes * packets_per_write:
                print(
                    "    note: device recorded %d OUT packets, expected %d"
                    % (sent_packets, writes * packets_per_write)
                )
    dev.unplug()


def bench_route(zeq_torvak, testbed, packets):
    print("== route: IN packets routed by the reader into a channel buffer")
    dev = testbed.plug(serial="BENCHR01", channels=4)
    dev.set_pace_ms(0)
    payload = bytes(range(_DATA_PER_PACKET))
    packet = _data_packet(2, payload)
    total = packets * len(payload)
    with zeq_torvak.Serial("Torvak:BENCHR01:S2", 115200, timeout=1) as port:
        dev.in_log(clear=True)
        queue_start = time.monotonic()
        for _ in range(packets):
            dev.queue_in(packet)
        queue_end = time.monotonic()
        while port.in_waiting < total:
            if time.monotonic() - queue_start > 60:
                break
            time.sleep(0.002)
        done = time.monotonic()
        waiting = port.in_waiting
        log = dev.in_log(clear=True)
        first_in = log[0][0] if log else queue_start
        last_in = log[-1][0] if log else done
        span = done - first_in
        print(
            "  %d packets of %d data bytes: in_waiting %d of %d after %.3f s from the first IN"
            % (packets, len(payload), waiting, total, span)
        )
        print(
            "  %s  %s  (queueing took %.3f s;"
            " the emulator delivered its last packet %.3f s after the first)"
            % (
                _human_rate(packets / span, "packets/s"),
                _human_rate(total / span, "B/s"),
                queue_end - queue_start,
                last_in - first_in,
            )
        )
        if len(log) != packets:
            print("    note: the emulator logged %d IN packets, expected %d" % (len(log), packets))
    dev.unplug()


def bench_wake(zeq_torvak, testbed, trials):
    print("== wake: IN completion of a packet to the return of a read() waiting for it")
    dev = testbed.plug(serial="BENCHL01", channels=4)
    dev.set_pace_ms(0)
    payload = b"wakeup!!"
    packet = _data_packet(3, payload)
    rng = random.Random(1)
    latencies = []
    short_reads = 0
    with zeq_torvak.Serial("Torvak:BENCHL01:S3", 115200, timeout=2) as port:
        reading = threading.Event()
        returned = threading.Event()
        result = {}

        def reader():
            reading.set()
            got = port.read(len(payload))
            result["t"] = time.monotonic()
            result["n"] = len(got)
            returned.set()

        for _ in range(trials):
            reading.clear()
            returned.clear()
            dev.in_log(clear=True)
            thread = threading.Thread(target=reader)
            thread.start()
            reading.wait()
            # A random phase against the read's polling period, and time for the read to
            # find the buffer empty at least once.
            time.sleep(0.002 + rng.uniform(0.0, 0.010))
            dev.queue_in(packet)
            returned.wait(5)
            thread.join(5)
            log = dev.in_log(clear=True)
            if result.get("n") != len(payload) or not log:
                short_reads += 1
                continue
            latencies.append(result["t"] - log[-1][0])
    latencies.sort()
    ms = [x * 1e3 for x in latencies]
    print(
        "  %d trials: p50 %.2f ms  p99 %.2f ms  min %.2f ms  max %.2f ms  mean %.2f ms"
        % (len(ms), _percentile(ms, 0.5), _percentile(ms, 0.99), ms[0], ms[-1], statistics.mean(ms))
    )
    if short_reads:
        print("    note: %d trials returned short or logged no IN packet" % short_reads)
    dev.unplug()


def _buffer_growth(port, chunk, chunks):
    """Feeds `chunks` copies of `chunk` into the port's channel; returns (RSS growth in KiB,
    bytes held, seconds)."""
    channel = port._Serial__handle
    # input_data stores each piece exactly as the reader thread does, one chunk per
    # delivered record, so this is the buffer's own cost without the emulator's.
    feed = channel.input_data
    held_before = port.in_waiting
    _release_free_memory()
    before = _rss_kib()
    start = time.monotonic()
    for _ in range(chunks):
        feed(chunk)
    elapsed = time.monotonic() - start
    return _rss_kib() - before, port.in_waiting - held_before, elapsed


def bench_memory(zeq_torvak, testbed, mib):
    print("== memory: resident memory per MiB held in one channel's receive buffer")
    dev = testbed.plug(serial="BENCHM01", channels=4)
    # Through the emulator 32 MiB would take minutes (it completes about 2,000 transfers
    # a second), so the pieces go straight to input_data.
    cases = (
        ("full packets", bytes(range(_DATA_PER_PACKET)), mib * 1024 * 1024),
        ("1-byte records", b"x", max(1, mib // 32) * 1024 * 1024),
    )
    with zeq_torvak.Serial("Torvak:BENCHM01:S4", 115200, timeout=1) as port:
        for label, chunk, amount in cases:
            chunks = -(-amount // len(chunk))
            grown_kib, held, elapsed = _buffer_growth(port, chunk, chunks)
            held_mib = held / (1024 * 1024)
            print(
                "  %s: %d chunks of %d B, %.2f MiB held: VmRSS +%.1f MiB, %.2f MiB resident per MiB"
                " (%.0f B per chunk; %.2f us per input_data)"
                % (
                    label,
                    chunks,
                    len(chunk),
                    held_mib,
                    grown_kib / 1024,
                    grown_kib / 1024 / held_mib if held_mib else float("nan"),
                    grown_kib * 1024 / chunks,
                    elapsed / chunks * 1e6,
                )
            )
            start = time.monotonic()
            port.flushInput()
            flushed = time.monotonic() - start
            kept = _rss_kib()
            _release_free_memory()
            print(
                "    flushInput took %.1f ms; VmRSS afterwards %.1f MiB, %.1f MiB after malloc_trim"
                % (flushed * 1e3, kept / 1024, _rss_kib() / 1024)
            )
    dev.unplug()


def bench_baseline(testbed, seconds, in_packets):
    """Plain libusb (through ctypes) on its own emulated device: the ceiling the emulator
    sets for every figure above, with none of the module's work in it."""
    from torvak_emu import libusb_ctypes as usb

    print("== baseline: plain libusb through ctypes against the same emulator")
    dev = testbed.plug(serial="BENCHB01", channels=4)
    context = usb.Context()
    try:
        (ref,) = [r for r in context.devices() if r.address == dev.address]
        with ref.open() as handle:
            handle.claim()
            out = bytes((1, 62)) + bytes(62)

            def out_rate():
                n = 0
                start = time.perf_counter()
                while time.perf_counter() - start < seconds:
                    handle.write(out, 100)
                    n += 1
                dev.out_packets(clear=True)
                return n / (time.perf_counter() - start)

            alone = out_rate()
            # The module always has its reader waiting in an IN transfer while it writes.
            stop = threading.Event()

            def idle_reader():
                while not stop.is_set():
                    handle.read(64, 50)

            reader = threading.Thread(target=idle_reader)
            reader.start()
            with_reader = out_rate()
            stop.set()
            reader.join()
            print(
                "  OUT: %s alone, %s with an idle IN reader thread"
                % (_human_rate(alone, "transfers/s"), _human_rate(with_reader, "transfers/s"))
            )

            packet = _data_packet(1, bytes(range(_DATA_PER_PACKET)))
            for _ in range(in_packets):
                dev.queue_in(packet)
            start = time.perf_counter()
            got = 0
            for _ in range(in_packets):
                status, _data = handle.read(64, 100)
                got += status == 0
            elapsed = time.perf_counter() - start
            rate = _human_rate(got / elapsed, "transfers/s")
            print("  IN:  %s (%d of %d packets)" % (rate, got, in_packets))
            handle.release()
    finally:
        context.close()
        dev.unplug()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller amounts, a smoke run")
    parser.add_argument(
        "--only", choices=_SECTIONS, action="append", help="run only this section (repeatable)"
    )
    args = parser.parse_args()

    usable, why = Testbed.available()
    if not usable:
        sys.stderr.write("cannot emulate the device here: %s\n" % why)
        return 2
    # The emulated bus must exist before the module initialises libusb.
    testbed = Testbed.get()
    import zeq_torvak

    chosen = set(args.only or _SECTIONS)
    quick = args.quick
    print(
        "zeq_torvak %s, Python %s, %d CPUs"
        % (os.path.dirname(zeq_torvak.__file__), sys.version.split()[0], os.cpu_count() or 0)
    )
    started = time.monotonic()
    if "write" in chosen:
        bench_write(zeq_torvak, testbed, budget_s=0.5 if quick else 2.0)
    if "route" in chosen:
        bench_route(zeq_torvak, testbed, packets=2000 if quick else 20000)
    if "wake" in chosen:
        bench_wake(zeq_torvak, testbed, trials=30 if quick else 300)
    if "memory" in chosen:
        bench_memory(zeq_torvak, testbed, mib=2 if quick else 32)
    if "baseline" in chosen:
        bench_baseline(testbed, seconds=0.3 if quick else 1.0, in_packets=300 if quick else 2000)
    print("total %.1f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
