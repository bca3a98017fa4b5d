"""Telnet input of the RFC 2217 side: the framing against a plain whole-stream decoding
for streams cut anywhere; SET-BAUDRATE cut at every byte and unknown options through the
client's PortManager; and hostile clients of a running service (a subnegotiation that
never ends, with and without doubled IACs), which reach neither the device nor its memory."""
import socket
import struct
import time

from hypothesis import given, settings, strategies as st

from test_serve import device, served  # noqa: F401  (fixtures)
from torvak_cli.serve.rfc2217 import Client
from torvak_cli.serve.telnet import SUBNEGOTIATION_LIMIT, TelnetError, TelnetInput
from torvak_common import ask_service
from torvak_emu import wait_until

IAC, DONT, DO, WONT, WILL, SB, SE, NOP = 255, 254, 253, 252, 251, 250, 240, 241
ECHO, COM_PORT, SET_BAUDRATE, SERVER_SET_BAUDRATE = 1, 44, 1, 101


def reference(stream, limit=float("inf")):
    """The whole stream decoded at once, a byte at a time: (events, overflowed), events
    being data bytes (ints) and commands ((verb, body) tuples)."""
    events, i = [], 0
    while i < len(stream):
        if stream[i] != IAC:
            events.append(stream[i])
            i += 1
            continue
        verb = stream[i + 1] if i + 1 < len(stream) else None
        if verb is None or verb in (DO, DONT, WILL, WONT) and i + 2 >= len(stream):
            break  # cut off at the end
        if verb == IAC:
            events.append(IAC)
            i += 2
        elif verb in (DO, DONT, WILL, WONT):
            events.append((verb, stream[i + 2:i + 3]))
            i += 3
        elif verb == SE:
            i += 2  # nothing open to end
        elif verb == SB:
            body, j = bytearray(), i + 2
            while j < len(stream) and not (stream[j] == IAC and stream[j + 1:j + 2] != b"\xff"):
                j += 2 if stream[j] == IAC else 1
                body.append(stream[j - 1])
                if len(body) > limit:
                    return events, True
            if stream[j + 1:j + 2] == bytes([SE]):
                events.append((SB, bytes(body)))
                i = j + 2
            else:
                i = j  # abandoned for the command at j (or cut off at the end)
        else:
            events.append((verb, b""))
            i += 2
    return events, False


def decode_in_parts(parts, limit):
    """TelnetInput over `parts` read after read: (events, overflowed)."""
    telnet, events = TelnetInput(limit), []
    for part in parts:
        try:
            pieces = telnet.feed(part)
        except TelnetError:
            return events, True
        for piece in pieces:
            events.extend(piece if isinstance(piece, bytes) else [tuple(piece)])
    return events, False


# -- the framing against the reference ------------------------------------------------------

# Streams of any bytes, rich in the sequences the framing tells apart.
tokens = st.one_of(
    st.binary(min_size=1, max_size=3),
    st.sampled_from([bytes([IAC, verb]) for verb in (IAC, SB, SE, DO, DONT, WILL, WONT, NOP)] + [b"\xff", b",\x01"]))
streams = st.lists(tokens, max_size=24).map(b"".join)


def check_same_decoding(stream, parts, limit):
    expected, overflowed = reference(stream, limit)
    events, raised = decode_in_parts(parts, limit)
    assert raised == overflowed, (stream, parts)
    if overflowed:  # the data before the oversized subnegotiation at most, and nothing else
        assert events == expected[:len(events)], (stream, parts)
    else:
        assert events == expected, (stream, parts)


@settings(max_examples=1000, deadline=None)
@given(streams, st.sampled_from([2, 6, SUBNEGOTIATION_LIMIT]))
def test_streams_cut_at_every_position_decode_as_the_whole(stream, limit):
    for cut in range(len(stream) + 1):
        check_same_decoding(stream, [stream[:cut], stream[cut:]], limit)
    check_same_decoding(stream, [stream[i:i + 1] for i in range(len(stream))], limit)


@settings(max_examples=500, deadline=None)
@given(streams, st.lists(st.integers(0, 80), max_size=10), st.sampled_from([2, 6, SUBNEGOTIATION_LIMIT]))
def test_streams_cut_in_many_parts_decode_as_the_whole(stream, cuts, limit):
    cuts = [0] + sorted(min(cut, len(stream)) for cut in cuts) + [len(stream)]
    check_same_decoding(stream, [stream[a:b] for a, b in zip(cuts, cuts[1:])], limit)


# -- through the client's PortManager -------------------------------------------------------

class FakeChannel:
    rate, rate_jobs = 9600, 0

    def __init__(self):
        self.asked = []

    def request_rate(self, rate, source):
        self.asked.append(rate)
        self.rate = rate


def replies(client):
    """The commands the client's PortManager has sent since the last call."""
    events, _ = reference(bytes(client.outgoing))
    del client.outgoing[:]
    assert all(isinstance(event, tuple) for event in events), events
    return events


def set_baudrate(rate):
    body = bytes([COM_PORT, SET_BAUDRATE]) + struct.pack("!I", rate)
    return bytes([IAC, SB]) + body.replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])


def test_a_set_baudrate_cut_at_every_byte_applies_the_rate_and_gives_no_data():
    rate = 0x0001C2FF  # an IAC among the rate's bytes, doubled on the wire
    stream = b"ab" + set_baudrate(rate) + b"cd"
    splits = [[stream[:cut], stream[cut:]] for cut in range(len(stream) + 1)]
    for parts in splits + [[stream[i:i + 1] for i in range(len(stream))]]:
        channel = FakeChannel()
        client = Client(channel, None, ("127.0.0.1", 1))
        replies(client)
        data = b"".join(client.received(part) for part in parts)
        assert data == b"abcd", parts
        assert channel.asked == [rate], parts
        assert replies(client) == [(SB, bytes([COM_PORT, SERVER_SET_BAUDRATE]) + struct.pack("!I", rate))], parts


def test_options_the_service_does_not_have_are_refused_once_and_never_argued():
    client = Client(FakeChannel(), None, ("127.0.0.1", 1))
    replies(client)
    assert client.received(bytes([IAC, WILL, 24, IAC, DO, 31, IAC, WILL, ECHO])) == b""
    assert replies(client) == [(DONT, b"\x18"), (WONT, b"\x1f"), (DONT, bytes([ECHO]))]
    # The peer's acknowledgements (and any other refusal) are not answered.
    assert client.received(bytes([IAC, WONT, 24, IAC, DONT, 31, IAC, WONT, ECHO, IAC, DONT, 99, IAC, NOP])) == b""
    assert replies(client) == []


# -- hostile clients of a running service ---------------------------------------------------

def channel_status(served, n=1):
    status = ask_service(served.dir, {"request": "status"})
    return status["devices"][0]["channels"][n - 1]


def hung_up(sock, timeout=5.0):
    """Whether the service closes the connection within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    sock.settimeout(0.2)
    while time.monotonic() < deadline:
        try:
            if not sock.recv(65536):
                return True
        except socket.timeout:
            continue
        except OSError:  # reset: the service closed it with input unread
            return True
    return False


def send_until_dropped(sock, chunk, total):
    """Sends `chunk` up to `total` bytes; whether the service hung up."""
    try:
        for _ in range(total // len(chunk)):
            sock.sendall(chunk)
    except OSError:
        return True
    return hung_up(sock)


def test_an_unterminated_subnegotiation_reaches_no_device_and_drops_its_client(served, device):
    with socket.create_connection(("127.0.0.1", served.base), timeout=5) as s:
        s.sendall(bytes([IAC, SB, COM_PORT]))
        assert send_until_dropped(s, b"A" * 4096, 65536), served.log()
    assert wait_until(lambda: "dropped: bad RFC 2217 input" in served.log(), timeout=3), served.log()
    assert channel_status(served)["to_device"] == 0
    assert channel_status(served)["client"] is None


def read_events(sock, until, timeout=5):
    """What the service sends, decoded, until `until(events)` holds."""
    got, deadline = b"", time.monotonic() + timeout
    sock.settimeout(0.2)
    while not until(reference(got)[0]) and time.monotonic() < deadline:
        try:
            got += sock.recv(65536)
        except socket.timeout:
            pass
    return reference(got)[0]


def test_a_set_baudrate_cut_across_reads_reaches_the_device_and_nothing_else(served, device):
    rates = [57600, 115200, 38400]
    with socket.create_connection(("127.0.0.1", served.base), timeout=5) as s:
        for cut in range(1, 10):
            rate = rates[cut % 3]
            command = set_baudrate(rate)
            s.sendall(command[:cut])
            time.sleep(0.1)  # a read of its own for each part
            s.sendall(command[cut:])
            answer = (SB, bytes([COM_PORT, SERVER_SET_BAUDRATE]) + struct.pack("!I", rate))
            assert answer in read_events(s, lambda events: answer in events), (cut, served.log())
            assert device.channel_state(1)["baud"] == rate, cut
        s.sendall(b"marker\n")
        events = read_events(s, lambda events: bytes(e for e in events if isinstance(e, int)).endswith(b"\n"))
        assert bytes(e for e in events if isinstance(e, int)) == b"marker\n", served.log()
    assert channel_status(served)["to_device"] == len(b"marker\n")


def memory_kb(pid):
    """(VmRSS, VmHWM) of process `pid` in kB."""
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def test_doubled_iacs_in_an_unterminated_subnegotiation_leave_the_memory_as_it_was(served, device):
    rss, peak = memory_kb(served.process.pid)
    with socket.create_connection(("127.0.0.1", served.base), timeout=5) as s:
        s.sendall(bytes([IAC, SB, COM_PORT]))
        dropped = send_until_dropped(s, bytes([IAC, IAC]) * 32768, 64 << 20)
        rss_after, peak_after = memory_kb(served.process.pid)
    assert rss_after - rss < 2048 and peak_after - peak < 2048, (rss, rss_after, peak, peak_after)
    assert dropped and "dropped: bad RFC 2217 input" in served.log(), served.log()
