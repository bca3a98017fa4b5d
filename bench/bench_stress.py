r"""Concurrency stress, benchmark form: the load of tests/test_stress.py for 60 seconds.

Two emulated devices, four loopback channels each with a writer and a reader thread checking
every byte, a fifth channel opened and closed in a loop, echo and version queries in a loop
(tests/loopback_stress.py). Prints progress and memory every few seconds, then what was
moved and checked, and whether anything was lost, duplicated, reordered, stuck or leaked:

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:tests \
        umockdev-wrapper python3 bench/bench_stress.py              # 60 s
    ... bench/bench_stress.py --seconds 20 --pace-ms 1               # paced like the bus

Memory is read three ways: resident pages, the bytes malloc has handed out (glibc's
mallinfo2: native buffers, libusb, the emulator) and the interpreter's allocated blocks.
Growth is reported from the end of the warm-up (the first sample) to the end of the run.
Exit status 1 when a check failed.
"""

import argparse
import os
import sys
import time

from torvak_emu import Testbed, wait_until


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--pace-ms", type=float, default=0.0,
                        help="emulator pacing: 0 completes transfers at once, 1 is full speed")
    parser.add_argument("--window", type=int, default=512,
                        help="bytes in flight per channel at most")
    parser.add_argument("--sample-every", type=float, default=5.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    usable, why = Testbed.available()
    if not usable:
        sys.stderr.write("cannot emulate the device here: %s\n" % why)
        return 2
    testbed = Testbed.get()  # before libusb initialises in this process
    import zeq_torvak
    from loopback_stress import StressRun, live_instances, process_resources

    print("zeq_torvak %s, Python %s, %d CPUs, load %.2f; %g s, pace %g ms, window %d B"
          % (os.path.dirname(zeq_torvak.__file__), sys.version.split()[0], os.cpu_count() or 0,
             os.getloadavg()[0], args.seconds, args.pace_ms, args.window))
    objects_before = live_instances(zeq_torvak._Device, zeq_torvak._Channel)
    run = StressRun(zeq_torvak, testbed, seed=args.seed, window=args.window,
                    pace_ms=args.pace_ms, log=print)
    result = run.run(args.seconds, sample_every=args.sample_every,
                     warmup=min(10.0, args.seconds / 4))

    failures = list(result["failures"])
    seconds = result["seconds"]
    total = sum(result["bytes"].values())
    print("moved and checked %d bytes in %.1f s: %.1f kB/s over 8 channels (%s)"
          % (total, seconds, total / seconds / 1e3,
             ", ".join("%s %d" % (k, v) for k, v in sorted(result["bytes"].items()))))
    print("channel 5 opened, used and closed %d times (%.1f/s); %d queries (%.1f/s), %d timed out"
          % (result["churn_cycles"], result["churn_cycles"] / seconds, result["queries"],
             result["queries"] / seconds, result["query_timeouts"]))

    samples = result["samples"]
    if len(samples) >= 2:
        (t0, first), (t1, last) = samples[0], samples[-1]
        span = max(t1 - t0, 1e-9)
        growth = {k: (last[k] - first[k]) if first[k] is not None else None for k in first}
        print("memory from %.0f s to %.0f s: RSS %+d KiB, malloc %s KiB, Python blocks %+d"
              " (%.1f KiB/min malloc)"
              % (t0, t1, growth["rss_kib"],
                 "%+d" % growth["malloc_kib"] if growth["malloc_kib"] is not None else "n/a",
                 growth["py_blocks"],
                 (growth["malloc_kib"] or 0) / span * 60))
        if growth["malloc_kib"] is not None and growth["malloc_kib"] > 1024:
            failures.append("malloc'd memory grew by %d KiB under load" % growth["malloc_kib"])
        if growth["py_blocks"] > 20000:
            failures.append("the interpreter's blocks grew by %d under load" % growth["py_blocks"])

    before = result["resources_before"]
    released = all(wait_until(lambda: d.open_handles == 0 and not d.claimed) for d in result["emulated"])
    wait_until(lambda: process_resources()["native_threads"] == before["native_threads"]
               and process_resources()["descriptors"] <= before["descriptors"], timeout=3.0)
    after = process_resources()
    objects_after = live_instances(zeq_torvak._Device, zeq_torvak._Channel)
    print("after closing: native threads %d -> %d, descriptors %d -> %d, device handles %s,"
          " objects %s -> %s, registry %s"
          % (before["native_threads"], after["native_threads"], before["descriptors"],
             after["descriptors"], "released" if released else "STILL OPEN", objects_before,
             objects_after, list(zeq_torvak._resource_manager._ResourceManager__devices)))
    if after["native_threads"] != before["native_threads"]:
        failures.append("native threads left: %d -> %d" % (before["native_threads"], after["native_threads"]))
    if after["descriptors"] > before["descriptors"]:
        failures.append("descriptors left: %d -> %d" % (before["descriptors"], after["descriptors"]))
    if not released:
        failures.append("a device handle is still open")
    if objects_after != objects_before:
        failures.append("objects left: %s -> %s" % (objects_before, objects_after))
    for dev in result["emulated"]:
        dev.unplug()

    if failures:
        print("FAILED:")
        for f in failures:
            print("  " + f)
        return 1
    print("no byte lost, duplicated or reordered; no deadlock; no thread, handle or memory leaked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
