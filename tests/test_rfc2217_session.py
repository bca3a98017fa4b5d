"""The routed client's protocol state, apart from a socket: what goes out after a purge
that cuts a write (a byte 255 half sent included), and out_waiting against the answers."""
from torvak_common.telnet import SB, Command, TelnetInput
from torvak_common.rfc2217 import SERVER_NOTIFY_LINESTATE, ClientSession as Session, subnegotiation


def drain(session):
    wire = b""
    while session.pending():
        chunk = session.pending()
        wire += chunk
        session.sent(len(chunk))
    return wire


def test_a_purge_cuts_a_write_cleanly_and_out_waiting_follows_the_answers():
    session = Session()
    # WILL COM-PORT-OPTION, at once, and the signature that names it a routed port
    assert drain(session) == b"\xff\xfb\x2c" + subnegotiation(0, b"torvak_serial routed torvak:// port")
    session.write(b"ab\xffcd")
    session.poll()
    assert session.out_waiting() == 5 and session.pending() == b"ab\xff\xffcd"
    session.sent(3)  # the socket took the first half of the doubled IAC
    assert session.submitted == 2 and session.unsent() == 3
    session.purge_output()
    pieces = TelnetInput().feed(b"ab\xff" + drain(session))
    assert pieces == [b"ab\xff", Command(SB, b"\x2c\x0c\x02"), Command(SB, b"\x2c\x06")]
    # What was in the socket is the service's to drop or deliver: a flush waits for nothing.
    assert session.written == 3 and session.out_waiting() == 0
    session.write(b"ef")
    assert session.out_waiting() == 2
    assert session.received(b"xy" + subnegotiation(SERVER_NOTIFY_LINESTATE, b"\x60") + b"z") == b"xyz"
    assert session.out_waiting() == 2  # that answer was for the poll before the purge


def test_polls_stay_fewer_than_the_service_answers_separately():
    """The service lets polls beyond its own limit share one answer: a client that wrote
    and asked out_waiting in a loop must still see out_waiting reach 0."""
    from torvak_common.rfc2217 import MAX_POLLS, NOTIFY_LINESTATE

    session = Session()
    drain(session)
    for _ in range(300):
        session.write(b"x")
        session.ensure_poll()
    polls = drain(session).count(subnegotiation(NOTIFY_LINESTATE))
    assert polls == MAX_POLLS <= 256
    for _ in range(polls):
        session.received(subnegotiation(SERVER_NOTIFY_LINESTATE, b"\x60"))
    session.ensure_poll()
    assert drain(session).count(subnegotiation(NOTIFY_LINESTATE)) == 1
    session.received(subnegotiation(SERVER_NOTIFY_LINESTATE, b"\x60"))
    assert session.out_waiting() == 0


def test_what_a_service_says_is_shown_without_its_control_characters(tmp_path):
    """A refusal, a status error and a capture event come from the service: escapes and
    line ends in them become "?" before anyone prints them."""
    import json
    import socket
    import threading

    import pytest

    from torvak_cli.capture import event_text
    from torvak_common.capture import Kind, Record
    from torvak_common.rfc2217 import refusal
    from torvak_common.served import StatusError, ask_service

    hostile = "in use by \x1b]0;owned\x07\x1b[2J\r\nfake line\u202e"
    session = Session()
    session.received(refusal(hostile))
    assert session.refusal == "in use by ?]0;owned??[2J??fake line?"
    assert event_text(Record(1, Kind.OPEN, 0, 0, hostile.encode())) == "opened by " + session.refusal

    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(str(tmp_path / "serve.sock"))
        listener.listen(1)

        def answer():
            conn, _ = listener.accept()
            with conn:
                conn.recv(4096)
                conn.sendall(json.dumps({"error": hostile}).encode() + b"\n")

        thread = threading.Thread(target=answer)
        thread.start()
        try:
            with pytest.raises(StatusError) as raised:
                ask_service(str(tmp_path), {"request": "status"}, timeout=5)
        finally:
            thread.join(10)
    assert raised.value.strerror == session.refusal


# -- the service's side, and the pair ------------------------------------------------------

def _recorder():
    import importlib.util
    import pathlib

    path = pathlib.Path(__file__).resolve().parent.parent / "tools" / "record_rfc2217.py"
    spec = importlib.util.spec_from_file_location("record_rfc2217", str(path))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_service_answers_as_recorded_with_stock_clients_and_every_command():
    """Exchanges recorded from the service before its side became a session of its own:
    pyserial's rfc2217:// and gensiot read by read, every COM-PORT-OPTION command, refused
    options, malformed commands (the client dropped); the same bytes go out now."""
    import json
    import pathlib

    recorded = json.loads((pathlib.Path(__file__).resolve().parent / "rfc2217_exchanges.json").read_text())
    assert {"pyserial", "gensiot", "settings", "control", "states", "short_rate"} <= set(recorded)
    record = _recorder()
    for name, expected in recorded.items():
        peer = ("user x (process 1)",) if name == "routed" else ("127.0.0.1", 1)
        reads = [bytes.fromhex(read) for read, _ in expected["steps"][1:]]
        assert record.exchange(reads, peer) == expected, name


def every_split(stream):
    """`stream` cut once at every position, and a byte at a time."""
    return [[stream[:cut], stream[cut:]] for cut in range(len(stream) + 1)] + [[bytes([b]) for b in stream]]


def _through(parts, feed):
    out = []
    for part in parts:
        out.extend(feed(part))
    return out


def _pieces(events):
    """Events with runs of data joined, as the peer meant them."""
    joined = []
    for event in events:
        if isinstance(event, bytes) and joined and isinstance(joined[-1], bytes):
            joined[-1] += event
        elif not (isinstance(event, bytes) and not event):
            joined.append(event)
    return joined


def test_the_pair_agrees_and_a_rate_and_iacs_survive_every_cut():
    from torvak_common.rfc2217 import ClientSignature, LineStatePoll, PurgeRequest, RateRequest, ServerSession
    from torvak_common.served import ROUTED_SIGNATURE

    client, server = Session(), ServerSession()
    # negotiation settles: a few rounds, then neither has anything to say
    for _ in range(4):
        events = list(server.received(drain(client)))
        client.received(bytes(server.outgoing))
        del server.outgoing[:]
    assert events == [] and not client.pending() and not server.outgoing

    rate = 0x0001C2FF  # a byte 255 in the rate
    client.write(b"a\xff")
    client.set_rate(rate)
    client.write(b"\xffb")
    client.poll()
    client.purge_input()
    wire = drain(client)
    expected = [b"a\xff", RateRequest(rate), b"\xffb", LineStatePoll(), PurgeRequest(True, False)]
    for parts in every_split(wire):
        fresh = ServerSession()
        assert _pieces(_through(parts, lambda part: list(fresh.received(part)))) == expected, parts

    # the answers, and data full of IACs, cut across the client's reads anywhere
    server.answer_rate(rate)
    server.send_data(b"\xff\xffx\xff")
    server.answer_line_state()
    server.send_data(b"\xff")
    answers = bytes(server.outgoing)
    for parts in every_split(answers):
        fresh = Session()
        fresh.poll()
        assert b"".join(fresh.received(part) for part in parts) == b"\xff\xffx\xff\xff", parts
        assert (fresh.rate_answers, fresh.rate, fresh.out_waiting()) == (1, rate, 0), parts

    # the signature names a routed port; a refusal reaches the client's error as it stands
    signature = subnegotiation(0, ROUTED_SIGNATURE)
    assert list(ServerSession().received(signature)) == [ClientSignature(ROUTED_SIGNATURE)]
    from torvak_common.rfc2217 import refusal

    client.received(refusal("channel 1 is in use by \xff you"))
    assert client.refusal == "channel 1 is in use by \xff you"


def test_a_routed_port_s_session_with_pyserial_s_server():
    """pyserial's PortManager, a stock server, agrees on the options with the routed port's
    session and answers its rate; a stock server's line state answer is not a flush's."""
    from serial.rfc2217 import PortManager

    class Port:
        baudrate, bytesize, parity, stopbits, xonxoff, rtscts = 9600, 8, "N", 1, False, False
        cts = dsr = ri = cd = False

    class Wire:
        def __init__(self):
            self.data = bytearray()

        def write(self, data):
            self.data += data

    port, wire, client = Port(), Wire(), Session()
    manager = PortManager(port, wire)
    client.set_rate(57600)
    client.write(b"x")
    client.poll()
    for _ in range(4):
        got = b"".join(manager.filter(drain(client)))
        client.received(bytes(wire.data))
        del wire.data[:]
    assert got == b"" and port.baudrate == 57600 and (client.rate_answers, client.rate) == (1, 57600)
    assert client.out_waiting() == 1  # answered with a line state of 0: nothing said of the transmitter
