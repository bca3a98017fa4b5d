"""Concurrency stress on the module's own USB path, about 10 seconds: two emulated devices,
four loopback channels each with a writer and a reader thread, a fifth channel opened and
closed in a loop, echo and version queries in a loop (tests/loopback_stress.py). No byte
may be lost, duplicated or reordered, nothing may deadlock, and once every port is closed
no thread, descriptor, device handle or object may be left; memory must stay flat while
the load runs. bench/bench_stress.py runs the same load for 60 seconds.

Run under umockdev:  umockdev-wrapper python3 -m pytest tests/test_stress.py
"""
import sys
import threading
import time

import pytest

import zeq_torvak
from loopback_stress import StressRun, live_instances, process_resources, under_address_sanitizer
from waiting import wait_until

pytestmark = pytest.mark.timeout(120)


def _settled(now, before):
    """Closed descriptors of the device nodes go a moment after the handles close."""
    return now["native_threads"] == before["native_threads"] and now["descriptors"] <= before["descriptors"]


def test_loopback_on_two_devices_with_channel_churn_and_queries(testbed, monkeypatch):
    registry = zeq_torvak._ResourceManager()
    monkeypatch.setattr(zeq_torvak, "_resource_manager", registry)
    objects_before = live_instances(zeq_torvak._Device, zeq_torvak._Channel)

    result = StressRun(zeq_torvak, testbed).run(seconds=10)

    assert result["failures"] == [], "\n".join(result["failures"])
    assert len(result["bytes"]) == 8 and all(n > 0 for n in result["bytes"].values()), result["bytes"]
    assert result["churn_cycles"] >= 4, result["churn_cycles"]
    assert result["queries"] >= 8, result["queries"]

    # Every port is closed: both devices left the registry and were released.
    assert list(registry._ResourceManager__devices) == []
    for emulated in result["emulated"]:
        assert wait_until(lambda: emulated.open_handles == 0 and not emulated.claimed), emulated
    before = result["resources_before"]
    wait_until(lambda: _settled(process_resources(), before), timeout=3.0)
    after = process_resources()
    assert after["native_threads"] == before["native_threads"], (before, after)
    assert after["descriptors"] <= before["descriptors"], (before, after)
    assert live_instances(zeq_torvak._Device, zeq_torvak._Channel) == objects_before

    # Memory is flat under load: from the end of the warm-up to the end of the run.
    (_, first), (_, last) = result["samples"][0], result["samples"][-1]
    assert len(result["samples"]) >= 2
    if first["malloc_kib"] is not None:
        assert last["malloc_kib"] - first["malloc_kib"] < 1024, (first, last)
    assert last["py_blocks"] - first["py_blocks"] < 10000, (first, last)
    if not under_address_sanitizer():
        assert last["rss_kib"] - first["rss_kib"] < 8192, (first, last)


def test_a_thread_that_meets_the_reader_at_a_buffer_does_not_make_it_wait_for_the_gil(testbed):
    """A Python thread that finds a channel's buffer busy waits for it without the GIL. It
    must not then keep the buffer while it waits to get the GIL back: the reader appends to
    that buffer without the GIL and would wait for whichever thread holds the GIL. Here one
    thread asks for in_waiting without pause, so it often meets the reader at the buffer,
    while another runs a pure-Python loop; the switch interval is half a second."""
    emulated = testbed.plug(serial="GILBUF01", channels=4)
    assert wait_until(lambda: zeq_torvak._ResourceManager.find_device("GILBUF01") is not None)
    port = zeq_torvak.Serial("Torvak:GILBUF01:S1", 115200, timeout=0.5)
    try:
        emulated.set_pace_ms(1)
        packet = bytes([1, 1, 0x41]) * 20 + bytes(4)  # twenty one-byte records: twenty appends
        for _ in range(3500):  # more than the 3 s below can take
            emulated.queue_in(packet)
        emulated.in_log(clear=True)
        end = time.monotonic() + 3.0
        stop = threading.Event()

        def poll():
            while not stop.is_set():
                port.in_waiting

        def spin():
            n = 0
            while time.monotonic() < end:
                n += 1
            stop.set()

        old = sys.getswitchinterval()
        sys.setswitchinterval(0.5)
        try:
            threads = [threading.Thread(target=poll), threading.Thread(target=spin)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(30)
        finally:
            sys.setswitchinterval(old)
        times = [t for t, _ in emulated.in_log() if t <= end]
        gaps = [b - a for a, b in zip(times, times[1:])] or [end - times[0] if times else 3.0]
        assert max(gaps) < 0.3, "the reader stood still for %.3f s with packets queued" % max(gaps)
        assert len(times) > 500, "the reader took %d packets in 3 s" % len(times)
    finally:
        port.close()
