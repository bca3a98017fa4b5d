"""Records what the service's RFC 2217 side answers to stock clients (pyserial's rfc2217://,
gensio's gensiot) and to a set of hand-made inputs, read by read, over a stand-in channel
that settles each rate change at once: tests/rfc2217_exchanges.json, which the tests replay
against the service's side so that what a client sees stays the same, byte for byte.

    PYTHONPATH=python python tools/record_rfc2217.py tests/rfc2217_exchanges.json
"""
import json
import shutil
import socket
import subprocess
import sys
import threading
from typing import Any, Callable, Dict, List, Optional

from torvak_cli.serve.rfc2217 import Client


class StandIn:
    """The channel as an RFC 2217 client reaches it: a rate change is done once the read
    that asked for it has been taken, a line state poll is answered at once."""

    def __init__(self) -> None:
        self.rate, self.rate_jobs = 9600, 0
        self.got: List[Any] = []  # data, rates and purges, in order
        self.client: Any = None

    def request_rate(self, rate: int, source: str) -> None:
        if rate == self.rate:
            return
        self.rate = rate
        self.rate_jobs += 1
        self.got.append(["rate", rate])

    def purge(self) -> None:
        self.got.append(["purge"])

    def send(self, data: bytes) -> None:
        self.got.append(["data", data.hex()])

    def when_sent(self, answer: Callable[[], None]) -> None:
        answer()

    def settle(self) -> None:
        if self.rate_jobs:
            self.rate_jobs = 0
            self.client.rate_settled()


def exchange(reads: List[bytes], peer: Any = ("127.0.0.1", 1)) -> Dict[str, Any]:
    """Feeds `reads` one by one; each with what went out after it."""
    channel = StandIn()
    client = Client(channel, None, peer)  # type: ignore[arg-type]
    channel.client = client
    steps: List[List[Optional[str]]] = [["", bytes(client.outgoing).hex()]]
    del client.outgoing[:]
    for data in reads:
        try:
            client.received(data)
        except Exception:
            steps.append([data.hex(), None])  # the client is dropped
            break
        channel.settle()
        steps.append([data.hex(), bytes(client.outgoing).hex()])
        del client.outgoing[:]
    return {"steps": steps, "channel": channel.got, "routed": client.routed, "spoken": client.spoken}


def live(run_client: Callable[[int], None]) -> List[bytes]:
    """The reads a stock client's session gives the service (answered as the service does)."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    reads: List[bytes] = []

    def serve() -> None:
        sock, peer = listener.accept()
        channel = StandIn()
        client = Client(channel, sock, peer)
        channel.client = client
        sock.sendall(client.outgoing)
        del client.outgoing[:]
        while True:
            try:
                data = sock.recv(65536)
            except OSError:
                break
            if not data:
                break
            reads.append(data)
            client.received(data)
            channel.settle()
            sock.sendall(client.outgoing)
            del client.outgoing[:]
        sock.close()

    thread = threading.Thread(target=serve)
    thread.start()
    try:
        run_client(listener.getsockname()[1])
    finally:
        thread.join(30)
        listener.close()
    return reads


def pyserial_session(port: int) -> None:
    import serial

    s = serial.serial_for_url("rfc2217://127.0.0.1:{}".format(port), baudrate=115200, timeout=0.2)
    s.write(b"hello \xff world")
    s.baudrate = 57600
    s.reset_output_buffer()
    s.reset_input_buffer()
    s.break_condition = True
    s.break_condition = False
    s.rts = False
    s.dtr = False
    try:
        s.bytesize = 7  # the device has 8 data bits only: refused by its answer
    except ValueError:
        pass
    s.write(b"bye")
    s.flush()
    s.close()


def gensiot_session(port: int) -> None:
    script = "(printf 'through gensio\\n'; sleep 8) | gensiot 'telnet(rfc2217),tcp,127.0.0.1,{}'".format(port)
    subprocess.run(["sh", "-c", script], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


IAC, SB, SE, WILL, WONT, DO, DONT, NOP = 255, 250, 240, 251, 252, 253, 254, 241


def sub(*body: int) -> bytes:
    return bytes((IAC, SB, 44)) + bytes(body).replace(b"\xff", b"\xff\xff") + bytes((IAC, SE))


def made() -> Dict[str, List[bytes]]:
    """Hand-made inputs: every command the service knows, and what it passes over."""
    answers = [bytes((IAC, DO, 1, IAC, DO, 3, IAC, WILL, 0, IAC, DO, 44)),
               bytes((IAC, WILL, 3, IAC, WILL, 44, IAC, DO, 0, IAC, WONT, 0, IAC, DONT, 1, IAC, DO, 1))]
    settings = [sub(1, 0, 0, 0, 0), sub(1, 0, 1, 0xC2, 0xFF), sub(1, 0, 0, 0x25, 0x80), sub(2, 0), sub(2, 7),
                sub(3, 0), sub(3, 2), sub(4, 0), sub(4, 2)]
    control = [sub(5, value) for value in range(0, 20)] + [sub(5)]
    states = [sub(8), sub(11, 0x10), sub(8), sub(10, 3), sub(7), sub(6), sub(9), sub(99, 1), sub(12, 1), sub(12, 2),
              sub(12, 3), sub(12, 4), sub(12), sub(0), sub(0, 65, 66), bytes((IAC, SB, 24, 1, IAC, SE)),
              bytes((IAC, SB, IAC, SE)), bytes((IAC, NOP)), bytes((IAC, WILL, 24, IAC, DO, 31, IAC, WILL, 1)),
              bytes((IAC, WONT, 24, IAC, DONT, 31, IAC, WONT, 1, IAC, DONT, 99))]
    return {
        "negotiation": answers + [b"data \xff\xff here"],
        "settings": answers + settings,
        "control": control,
        "states": answers + states,
        "states_before_negotiation": states,
        "short_rate": [sub(1, 0, 1)],
        "bad_parity": [sub(3, 9)],
        "bad_stop_bits": [sub(4, 7)],
        "short_data_size": [sub(2)],
        "empty_mask": [sub(10)],
    }


def main() -> None:
    recorded: Dict[str, Any] = {}
    for name, reads in made().items():
        recorded[name] = exchange(reads)
    recorded["routed"] = exchange([sub(0, *b"torvak_serial routed torvak:// port")], ("user x (process 1)",))
    recorded["routed_over_tcp"] = exchange([sub(0, *b"torvak_serial routed torvak:// port")])
    recorded["pyserial"] = exchange(live(pyserial_session))
    if shutil.which("gensiot"):
        recorded["gensiot"] = exchange(live(gensiot_session))
    with open(sys.argv[1], "w") as out:
        json.dump(recorded, out, indent=1, sort_keys=True)
        out.write("\n")


if __name__ == "__main__":
    main()
