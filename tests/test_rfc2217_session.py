"""The routed client's protocol state, apart from a socket: what goes out after a purge
that cuts a write (a byte 255 half sent included), and out_waiting against the answers."""
from torvak_common.telnet import SB, Command, TelnetInput
from torvak_serial.rfc2217_session import SERVER_NOTIFY_LINESTATE, Session, subnegotiation


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
    from torvak_serial.rfc2217_session import MAX_POLLS, NOTIFY_LINESTATE

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
    from torvak_common.refusals import refusal_wire
    from torvak_common.served import StatusError, ask_service

    hostile = "in use by \x1b]0;owned\x07\x1b[2J\r\nfake line\u202e"
    session = Session()
    session.received(refusal_wire(hostile))
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
