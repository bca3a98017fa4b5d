"""The reader against arbitrary received packets, through the module.

Whatever the device sends, what reaches the channel buffers, the master query and the
control handlers is exactly what a plain reading of the record rules gives, and the
reader either goes on or ends with its one report; it never crashes.
"""
import time

from hypothesis import HealthCheck, example, given, settings, strategies as st

import zeq_torvak
from fake_usb import SERIAL, Bench, FakeHandle, StderrRecorder, reader_of, record

FAILED = "USB 设备[Torvak:" + SERIAL + "]读取数据失败，有可能是设备已拔出："
BUFFERED = (1, 2)   # channels opened on the device; 3 and 4 are not
HANDLED = (1, 3)    # channels with a control handler that records its calls
SENTINEL = record(1, b"!")  # ends every run: proves the reader still routes

# Channel bytes worth meeting: the end mark, open and closed data channels, the highest
# data channel, the master channel, handled and unhandled control channels.
CHANNEL_BYTES = st.sampled_from([0, 1, 2, 3, 4, 5, 99, 100, 101, 102, 103, 104, 150, 255])


@st.composite
def packets(draw):
    """A received packet: raw bytes, or records that may be cut, padded or lie about their counts."""
    if draw(st.integers(0, 4)) == 0:
        return draw(st.binary(max_size=64))
    body = b""
    for _ in range(draw(st.integers(1, 4))):
        payload = draw(st.binary(max_size=62))
        count = draw(st.one_of(st.just(len(payload)), st.integers(0, 255)))
        body += bytes([draw(CHANNEL_BYTES), count]) + payload
    body = body[:64]
    ending = draw(st.sampled_from(["pad", "as built", "cut"]))
    if ending == "pad":
        return body + bytes(64 - len(body))
    if ending == "cut":
        return body[:draw(st.integers(0, len(body)))]
    return body


def plain_reading(segments):
    """The record rules read straight off: records start below offset 62; channel byte 0 ends
    them; a data record is followed by the next record directly, and one ending exactly at the
    end of the packet ends it; a control record is the last one read; a payload running past
    the received bytes is cut there; a count byte past them, or a data record with no byte
    after it, ends the reader, after the received part of the data payload was delivered; an
    empty packet is an idle poll. Segments are the packets that arrive during
    one master query: its answer is the first master reply among them."""
    data = {channel: bytearray() for channel in BUFFERED}
    handled = []
    answers = []
    alive = True
    for segment in segments:
        answer = None
        for packet in segment:
            at = 0
            while alive and at < 62 and at < len(packet) and packet[at] != 0:
                channel = packet[at]
                if at + 1 >= len(packet):
                    alive = False
                    break
                count = packet[at + 1]
                payload = packet[at + 2:at + 2 + count]
                whole = at + 2 + count <= len(packet)
                if channel >= 100:
                    if channel == 100:
                        if answer is None:
                            answer = payload
                    elif channel - 100 in HANDLED:
                        handled.append((channel - 100, payload))
                    break
                if channel in data:
                    data[channel] += payload
                if not whole:
                    alive = False
                at += 2 + count
        answers.append(answer)
    return {c: bytes(d) for c, d in data.items()}, answers, handled, alive


def routed_or_ended(fw, reader, timeout=3.0):
    """Waits until the reader has routed everything fed to it, or has ended."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if fw.drain(0.01) or not reader.is_alive():
            return


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(segments=st.lists(st.lists(packets(), max_size=4), min_size=1, max_size=3))
@example(segments=[[bytes([101, 5]) + b"12"]])          # a control reply cut short
@example(segments=[[bytes([100, 5]) + b"12"]])          # a master reply cut short
@example(segments=[[bytes([1, 62]) + bytes(range(62))]])  # a data record filling the packet
@example(segments=[[bytes([2, 9]) + b"part"]])          # a data payload cut short
@example(segments=[[b"", bytes([1])]])                  # idle poll, then a missing count byte
def test_reader_follows_the_record_rules(segments):
    segments = [list(s) for s in segments]
    segments[-1].append(SENTINEL)
    data, answers, handled, alive = plain_reading(segments)

    saved_sys, report = zeq_torvak.sys, StderrRecorder()
    bench = Bench()
    try:
        zeq_torvak.sys = report
        fw = FakeHandle()
        fw.loopback = False
        dev, _, _ = bench.device(fw)
        channels = {n: dev.open_channel(n, 9600, 0.1) for n in BUFFERED}
        calls = []
        for n in HANDLED:
            dev.set_io_control_handler_for_channel(lambda p, n=n: calls.append((n, bytes(p))), n)
        reader = reader_of(dev)

        got_answers = []
        for segment in segments:
            def deliver(target, text, segment=segment):
                for packet in segment:
                    fw.feed(packet)
                routed_or_ended(fw, reader)
                return True  # the fake firmware itself stays silent

            fw.on_command = deliver
            got_answers.append(dev.io_control_master_query("Version?", bytes, 0))
        fw.on_command = None

        if alive:
            assert reader.is_alive() and report.writes == []
        else:
            reader.join(3)
            assert not reader.is_alive()
            assert len(report.writes) == 1 and report.writes[0].startswith(FAILED)
            assert len(report.writes[0]) > len(FAILED)

        assert got_answers == answers
        assert calls == handled
        for n, channel in channels.items():
            assert channel.in_waiting == len(data[n])
            assert bytes(channel.read(len(data[n]))) == data[n]
    finally:
        zeq_torvak.sys = saved_sys
        bench.shutdown()
