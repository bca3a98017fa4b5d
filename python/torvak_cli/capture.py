"""``torvak capture`` (a channel's traffic into a pcapng file, for Wireshark) and ``torvak
tap`` (a live view in the terminal), both fed by the capture socket of the running
``torvak serve`` (see torvak_common.capture), which lets in only those who may open the
device's ttys."""
import json
import os
import socket
import sys
import time
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from torvak_common import __version__, advice, refusals
from torvak_common.capture import Kind, Record, capture_socket_path, parse_record, subscribe_request
from torvak_common.refusals import printable
from torvak_common.served import STATUS_TIMEOUT, find_served

from torvak_cli import pcapng, signals
from torvak_cli.failures import CliError
from torvak_cli.signals import Terminated

_LONGEST_RECORD = 1 << 22
_RECEIVE_BUFFER = 1 << 20
_HEX_WIDTH = 16  # bytes per line of torvak tap


class Subscription:
    """A connection to the capture socket of the service holding device `serial_number`,
    subscribed to `channels` (none: all of them)."""

    def __init__(self, serial_number: str, channels: Sequence[int]) -> None:
        device = find_served(serial_number)
        if device is None:
            hidden = advice.unseen_service()
            if hidden is not None:
                raise CliError("refused: " + hidden)
            raise CliError("no torvak serve holds device {}; capture and tap need one".format(serial_number))
        self.serial = device.serial_number
        path = capture_socket_path(device.directory, device.serial_number)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self._buffer = bytearray(_LONGEST_RECORD)
        try:
            self.sock.settimeout(STATUS_TIMEOUT)
            try:
                self.sock.connect(path)
            except PermissionError:
                raise CliError("refused: " + refusals.no_capture(self.serial, advice.group_of(path))) from None
            except OSError as error:
                raise CliError("cannot reach the capture socket {}: {}".format(path, os.strerror(error.errno or 0)))
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, _RECEIVE_BUFFER)
            try:
                self.sock.send(subscribe_request(channels))
            except (BrokenPipeError, ConnectionResetError):
                pass  # refused at once: the reason waits to be read
            first = self.receive()
        except socket.timeout:
            self.sock.close()
            raise CliError("torvak serve did not answer on {}".format(path)) from None
        except BaseException:
            self.sock.close()
            raise
        if first is None:
            self.sock.close()
            raise CliError("torvak serve ended the connection to {}".format(path))
        if first.kind is Kind.REFUSED:
            self.sock.close()
            raise CliError("refused by torvak serve: {}".format(printable(first.payload.decode(errors="replace"))))
        hello: Any = json.loads(first.payload.decode()) if first.kind is Kind.HELLO else None
        if not isinstance(hello, dict):
            self.sock.close()
            raise CliError("torvak serve answered on {} with something other than a capture".format(path))
        self.sock.settimeout(None)
        self.rates: Dict[int, int] = {int(n): int(rate) for n, rate in hello.get("rates", {}).items()}
        self.channels = sorted(set(channels)) or list(range(1, int(hello.get("channels", 0)) + 1))

    def receive(self, wait: bool = True) -> Optional[Record]:
        """The next record (None: the service has ended the connection); BlockingIOError
        when not `wait`ing and none is there. A record of a kind this client does not know
        (from a newer service) is passed over."""
        while True:
            count = self.sock.recv_into(self._buffer, 0, 0 if wait else socket.MSG_DONTWAIT)
            if not count:
                return None
            try:
                return parse_record(bytes(self._buffer[:count]))
            except ValueError:
                continue

    def records(self, idle: Callable[[], None]) -> Iterator[Record]:
        """Every record until the service ends the connection; `idle()` whenever none waits."""
        while True:
            try:
                record = self.receive(wait=False)
            except BlockingIOError:
                idle()
                record = self.receive()
            if record is None:
                return
            yield record

    def waiting(self) -> Iterator[Record]:
        """The records received and not read yet."""
        while True:
            try:
                record = self.receive(wait=False)
            except OSError:
                return
            if record is None:
                return
            yield record

    def close(self) -> None:
        self.sock.close()


def event_text(record: Record) -> Optional[str]:
    """What a record other than data says, in a comment or a line of its own."""
    payload = printable(record.payload.decode(errors="replace"))
    if record.kind is Kind.RATE:
        return "baud rate {}".format(payload)
    if record.kind is Kind.OPEN:
        return "opened by {}".format(payload) if payload else "opened"
    if record.kind is Kind.HELD:
        try:
            held = json.loads(payload)
            return "held by {} at baud rate {} when the capture started".format(held["holder"], held["rate"])
        except (ValueError, TypeError, KeyError):
            return "held when the capture started"
    if record.kind is Kind.CLOSE:
        return "closed"
    if record.kind is Kind.GONE:
        return "device gone"
    if record.kind is Kind.BACK:
        return "device back"
    return None


def lost_text(dropped: int) -> str:
    return "{} record{} lost before this one (the capture did not keep up)".format(dropped, "s" * (dropped != 1))


def _ended(stream: IO[str], text: str) -> None:
    try:
        stream.write(text)
        stream.flush()
    except OSError:
        pass


# -- torvak capture --------------------------------------------------------------------


class _Pcapng:
    """The capture file: an interface per channel, added as a channel first shows up."""

    def __init__(self, out: IO[bytes], serial_number: str) -> None:
        self.out = out
        self.serial = serial_number
        self.interfaces: Dict[int, int] = {}  # channel -> interface id
        self.written = 0
        self._write(pcapng.section_header("torvak {}".format(__version__)))

    def _write(self, block: bytes) -> None:
        with signals.held():  # a block is written whole, whatever signal comes
            self.out.write(block)

    def interface(self, channel: int) -> int:
        if channel not in self.interfaces:
            self.interfaces[channel] = len(self.interfaces)
            self._write(pcapng.interface("{}/{}".format(self.serial, channel)))
        return self.interfaces[channel]

    def add(self, record: Record) -> None:
        dropped = record.dropped
        comment = lost_text(dropped) if dropped else None
        if record.kind in (Kind.TO_DEVICE, Kind.FROM_DEVICE):
            direction = pcapng.OUTBOUND if record.kind is Kind.TO_DEVICE else pcapng.INBOUND
            channels, data = [record.channel], record.payload
        else:
            text = event_text(record)
            if text is None and comment is None:
                return
            if text is not None:  # else a LOST record: its count alone
                comment = text if comment is None else "{}; {}".format(text, comment)
            direction, data = 0, b""
            # The device's own events go on every channel's interface.
            channels = [record.channel] if record.channel else sorted(self.interfaces)
        for channel in channels:
            self._write(pcapng.packet(self.interface(channel), record.micros, data, direction, comment, dropped))
            self.written += 1
            dropped = 0

    def flush(self) -> None:
        with signals.held():
            self.out.flush()


def run_capture(serial_number: str, channels: Sequence[int], file: str, errors: IO[str]) -> None:
    """Captures until SIGINT or SIGTERM (or the service ends it), then says how much on
    `errors`."""
    subscription = Subscription(serial_number, channels)
    out: IO[bytes]
    try:
        out = sys.stdout.buffer if file == "-" else open(file, "wb")
    except OSError as error:
        subscription.close()
        raise CliError("cannot write {}: {}".format(file, error.strerror))
    capture = _Pcapng(out, subscription.serial)
    lost = 0
    why = "torvak serve ended the capture"
    try:
        for channel in subscription.channels:
            capture.interface(channel)
        capture.flush()
        for record in subscription.records(capture.flush):
            lost += record.dropped
            capture.add(record)
    except (KeyboardInterrupt, Terminated):
        why = "stopped"
        with signals.held():  # what crossed before the signal is in the file too
            for record in subscription.waiting():
                lost += record.dropped
                capture.add(record)
    except BrokenPipeError:
        why = "its reader went away"
    finally:
        subscription.close()
        try:
            capture.flush()
        except OSError:
            pass
        if out is not sys.stdout.buffer:
            out.close()
    _ended(errors, "torvak capture: {}: {} packets written, {} records lost\n".format(why, capture.written, lost))


# -- torvak tap ------------------------------------------------------------------------


def _clock(micros: int) -> str:
    return time.strftime("%H:%M:%S", time.localtime(micros // 1000000)) + ".{:06d}".format(micros % 1000000)


def tap_lines(record: Record) -> List[str]:
    """A record as torvak tap shows it: time, direction, hex and text (16 bytes a line)."""
    lines = []
    stamp = _clock(record.micros)
    if record.dropped:
        lines.append("{} -- {}".format(stamp, lost_text(record.dropped)))
    if record.kind in (Kind.TO_DEVICE, Kind.FROM_DEVICE):
        arrow = "->" if record.kind is Kind.TO_DEVICE else "<-"
        data = record.payload
        for start in range(0, len(data), _HEX_WIDTH):
            piece = data[start:start + _HEX_WIDTH]
            text = "".join(chr(byte) if 32 <= byte < 127 else "." for byte in piece)
            lead = "{} {}".format(stamp, arrow) if start == 0 else " " * (len(stamp) + 3)
            lines.append("{} {:<{}} |{}|".format(lead, piece.hex(" "), _HEX_WIDTH * 3 - 1, text))
    else:
        event = event_text(record)
        if event is not None:
            lines.append("{} -- {}".format(stamp, event))
    return lines


def parse_channel(text: str) -> Tuple[str, int]:
    """SERIAL and N of SERIAL/N (or torvak://SERIAL/N)."""
    name = text[len("torvak://"):] if text.lower().startswith("torvak://") else text
    serial_number, _, number = name.rpartition("/")
    if not serial_number or not number.isdigit() or int(number) < 1:
        raise CliError("expected SERIAL/N, e.g. EMU0001/1, not {!r}".format(text))
    return serial_number, int(number)


def run_tap(channel_name: str) -> None:
    """Shows channel SERIAL/N's traffic until SIGINT or SIGTERM (or the service ends it)."""
    serial_number, channel = parse_channel(channel_name)
    subscription = Subscription(serial_number, [channel])
    out = sys.stdout
    why = "torvak serve ended the tap"
    try:
        _ended(out, "{}/{} at {} baud; -> to the device, <- from it\n".format(
            subscription.serial, channel, subscription.rates.get(channel, "?")))
        for record in subscription.records(out.flush):
            for line in tap_lines(record):
                out.write(line + "\n")
    except (KeyboardInterrupt, Terminated):
        why = "stopped"
    except BrokenPipeError:
        return
    finally:
        subscription.close()
    _ended(out, "-- {}\n".format(why))
