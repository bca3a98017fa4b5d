"""Telnet input of the RFC 2217 side: the framing against a plain whole-stream decoding for
streams cut anywhere, the service's session behind it, and hostile running-service clients."""
import select
import socket
import struct
import time

from hypothesis import given, settings, strategies as st

from test_serve import device, rfc2217_round_trip, served  # noqa: F401  (fixtures)
from torvak_cli.serve.rfc2217 import Client
from torvak_common.telnet import TelnetError, TelnetInput
from torvak_common import ask_service
from torvak_emu import wait_until

IAC, DONT, DO, WONT, WILL, SB, SE, NOP = 255, 254, 253, 252, 251, 250, 240, 241
NEGOTIATIONS, COM_PORT = (DO, DONT, WILL, WONT), 44


def reference(stream, limit=float("inf")):
    """The whole stream decoded a byte at a time: (data bytes as ints and (verb, body)
    commands in order, whether a subnegotiation went over `limit`)."""
    events, i = [], 0
    while i < len(stream):
        if stream[i] != IAC:
            events.append(stream[i])
            i += 1
            continue
        if i + 1 == len(stream):
            break  # cut off
        verb = stream[i + 1]
        if verb == IAC:
            events.append(IAC)
            i += 2
        elif verb in NEGOTIATIONS:
            if i + 2 == len(stream):
                break  # cut off
            events.append((verb, stream[i + 2:i + 3]))
            i += 3
        elif verb == SB:
            body, j = bytearray(), i + 2
            while j < len(stream) and (stream[j] != IAC or stream[j + 1:j + 2] == b"\xff"):
                j += 2 if stream[j] == IAC else 1
                body.append(stream[j - 1])
                if len(body) > limit:
                    return events, True
            if stream[j + 1:j + 2] == bytes([SE]):
                events.append((SB, bytes(body)))
                j += 2
            i = j  # unless ended, abandoned for the command at j (or cut off)
        else:
            if verb != SE:  # an SE with nothing open ends nothing
                events.append((verb, b""))
            i += 2
    return events, False


def set_baudrate(rate):
    body = bytes([COM_PORT, 1]) + struct.pack("!I", rate)
    return bytes([IAC, SB]) + body.replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])


def rate_answer(rate):
    return (SB, bytes([COM_PORT, 101]) + struct.pack("!I", rate))


def every_split(stream):
    """`stream` cut once at every position, and a byte at a time."""
    return [[stream[:cut], stream[cut:]] for cut in range(len(stream) + 1)] + [[bytes([b]) for b in stream]]


# Any bytes, rich in the sequences the framing tells apart.
tokens = st.one_of(st.binary(min_size=1, max_size=3), st.sampled_from(
    [bytes([IAC, verb]) for verb in (IAC, SB, SE, NOP) + NEGOTIATIONS] + [b"\xff", b",\x01"]))


@settings(max_examples=1000, deadline=None)
@given(st.lists(tokens, max_size=24).map(b"".join), st.lists(st.integers(0, 80), max_size=10),
       st.sampled_from([2, 6, 1024]))
def test_streams_cut_anywhere_decode_as_the_whole_stream(stream, cuts, limit):
    expected, overflowed = reference(stream, limit)
    cuts = [0] + sorted(min(cut, len(stream)) for cut in cuts) + [len(stream)]
    for parts in every_split(stream) + [[stream[a:b] for a, b in zip(cuts, cuts[1:])]]:
        telnet, events, raised = TelnetInput(limit), [], False
        try:
            for part in parts:
                for piece in telnet.feed(part):
                    events.extend(piece if isinstance(piece, bytes) else [tuple(piece)])
        except TelnetError:
            raised = True
        assert raised == overflowed and events == expected[:len(events) if raised else None], parts


class FakeChannel:
    rate, rate_jobs = 9600, 0

    def __init__(self):
        self.sent = []  # data and rates, in the order the channel got them

    def request_rate(self, rate, source):
        self.rate = rate
        self.sent.append(rate)

    def send(self, data):
        self.sent.append(data)


def replies(client):
    """The commands the service has sent the client since the last call."""
    events = reference(bytes(client.outgoing))[0]
    del client.outgoing[:]
    return events


def test_the_service_gets_whole_commands_and_refuses_unknown_options_once():
    stream = b"ab" + set_baudrate(0x0001C2FF) + b"cd"  # an IAC among the rate's bytes
    for parts in every_split(stream):
        channel = FakeChannel()
        client = Client(channel, None, ("127.0.0.1", 1))
        replies(client)
        for part in parts:
            client.received(part)
        # The rate lands between the data before and after it, whatever the reads were.
        rate = channel.sent.index(0x0001C2FF)
        assert b"".join(channel.sent[:rate]) == b"ab" and b"".join(channel.sent[rate + 1:]) == b"cd", parts
        assert channel.rate == 0x0001C2FF and replies(client) == [rate_answer(0x0001C2FF)], parts

    # Refused: options the service lacks, and ECHO the other way round; refusals go unanswered.
    client.received(bytes([IAC, WILL, 24, IAC, DO, 31, IAC, WILL, 1]))
    assert replies(client) == [(DONT, b"\x18"), (WONT, b"\x1f"), (DONT, b"\x01")]
    client.received(bytes([IAC, WONT, 24, IAC, DONT, 31, IAC, WONT, 1, IAC, DONT, 99, IAC, NOP]))
    assert replies(client) == [] and channel.sent == [b"a", b"b", 0x0001C2FF, b"c", b"d"]  # (the last split)


def read_events(sock, until, timeout=5.0):
    """What the service sends, decoded, until `until(events)` holds or it hangs up."""
    got, deadline = b"", time.monotonic() + timeout
    sock.settimeout(0.2)
    while not until(reference(got)[0]) and time.monotonic() < deadline:
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        got += chunk
    return reference(got)[0]


def test_a_set_baudrate_cut_across_reads_reaches_the_device_and_nothing_else(served, device):
    with socket.create_connection(("127.0.0.1", served.base), timeout=5) as s:
        for cut, rate in zip(range(1, 10), [57600, 115200, 38400] * 3):
            s.sendall(set_baudrate(rate)[:cut])
            time.sleep(0.1)  # a read of its own for each part
            s.sendall(set_baudrate(rate)[cut:])
            assert rate_answer(rate) in read_events(s, lambda events: rate_answer(rate) in events), served.log()
            assert device.channel_state(1)["baud"] == rate, cut
        s.sendall(b"marker\n")
        events = read_events(s, lambda events: 10 in events)
        assert bytes(e for e in events if isinstance(e, int)) == b"marker\n", served.log()


def memory_kb(pid):
    """(VmRSS, VmHWM) of process `pid`."""
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def hostile_subnegotiation(served, chunk, total):
    """Opens a subnegotiation and sends `chunk`s in it up to `total` bytes: whether the
    service hung up."""
    with socket.create_connection(("127.0.0.1", served.base), timeout=5) as s:
        try:
            s.sendall(bytes([IAC, SB, COM_PORT]))
            for _ in range(total // len(chunk)):
                s.sendall(chunk)
            while s.recv(65536):
                pass
        except socket.timeout:
            return False
        except OSError:  # reset: closed with the input unread
            pass
        return True


def test_unterminated_subnegotiations_reach_neither_the_device_nor_the_memory(served, device):
    before = memory_kb(served.process.pid)
    hung_up_1 = hostile_subnegotiation(served, b"A" * 4096, 64 << 10)
    hung_up_2 = hostile_subnegotiation(served, bytes([IAC, IAC]) * 32768, 64 << 20)
    after = memory_kb(served.process.pid)
    assert after[0] - before[0] < 2048 and after[1] - before[1] < 2048, (before, after)  # kB
    channel = ask_service(served.dir, {"request": "status"})["devices"][0]["channels"][0]
    assert channel["to_device"] == 0, served.log()
    assert hung_up_1 and hung_up_2 and served.log().count("dropped: bad RFC 2217 input") == 2, served.log()
    assert rfc2217_round_trip(served.url(1), b"served again\n") == b"served again\n"


def flood(sock, stream, seconds):
    """Sends `stream` over and over for `seconds`, as fast as the service reads it: (bytes
    sent, the unsent rest of the last round)."""
    sent, left, end = 0, b"", time.monotonic() + seconds
    while time.monotonic() < end:
        left = left or stream
        count = sock.send(left) if select.select([], [sock], [], 0.01)[1] else 0
        sent, left = sent + count, left[count:]
    return sent, left


def test_floods_of_rate_changes_neither_grow_the_service_nor_hold_the_channel(served, device):
    """A change that follows another with no data between replaces it, and input waits while
    16 changes wait for the device (each a round trip to it, about 6 ms here)."""
    changes = b"".join(set_baudrate(rate) for rate in [9600, 19200] * 3000)
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)  # what it sends waits in the service
        s.connect(("127.0.0.1", served.base))
        s.settimeout(5)
        s.sendall(flood(s, changes, 1)[1] + b"marker\n")  # back once the last change is in force
        assert bytes(e for e in read_events(s, lambda events: 10 in events) if isinstance(e, int)) == b"marker\n"
        assert device.channel_state(1)["baud"] == 19200
        sent = flood(s, b"".join(b"x" + set_baudrate(rate) for rate in [9600, 19200] * 3000), 3)[0]
    # The sockets' buffers and one read of 64 KiB (6,000 changes, 40 s of the device's time):
    # about 190 KB. Held back by bytes alone, the client gets 975 KB through in those 3 s.
    assert sent < 512 << 10, sent
