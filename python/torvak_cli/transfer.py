"""``torvak send`` and ``torvak receive``: a file over one channel."""
import time
from typing import IO, Callable, Optional, Tuple

import torvak_serial
from torvak_common import PACKET_PAYLOAD

from torvak_cli.devices import display_name, port_lost, reader_stopped
from torvak_cli.failures import CliError
from torvak_cli.progress import ProgressBar, bytes_per_second
from torvak_cli.reports import ReportRecorder

# Whole packets per write: the channel cuts data into payloads of one packet each.
CHUNK_SIZE = PACKET_PAYLOAD * 64
# A send ends when the device has taken everything: the port is asked every DELIVERY_LOOK
# seconds, and waited for up to DELIVERY_LIMIT without progress.
DELIVERY_LOOK = 0.02
DELIVERY_LIMIT = 15.0


def _discard_input(port: torvak_serial.Serial) -> None:
    waiting = port.in_waiting
    if waiting:
        port.read(waiting)


def send(port: torvak_serial.Serial, source: IO[bytes], total: Optional[int],
         progress: ProgressBar) -> Tuple[int, float]:
    """Writes everything `source` holds and waits until the device has it; returns
    (bytes, seconds).

    What arrives on the channel meanwhile is read and dropped, so that a peer that echoes
    (or the loopback of the emulated device) cannot fill memory during a long transfer."""
    sent = 0
    waiting = _waiting(port)
    started = time.monotonic()
    while True:
        chunk = source.read(CHUNK_SIZE)
        if not chunk:
            break
        try:
            port.write(chunk)
            sent += len(chunk)
            progress.update(sent)
            _discard_input(port)
        except OSError as error:  # SerialException is one
            progress.finish(sent)
            raise port_lost(port, error, "after " + _moved(sent, total), named=True) from None
    _wait_for_device(port, waiting, sent, total)
    elapsed = time.monotonic() - started
    progress.finish(sent)
    return sent, elapsed


def _moved(count: int, total: Optional[int]) -> str:
    return "{} of {} bytes".format(count, total) if total is not None else "{} bytes".format(count)


def _waiting(port: torvak_serial.Serial) -> Callable[[], int]:
    """How many bytes written the device does not have yet (buffered or on their way)."""
    return lambda: int(port.out_waiting)


def _wait_for_device(port: torvak_serial.Serial, waiting: Callable[[], int], sent: int = 0,
                     total: Optional[int] = None) -> None:
    """Waits until the device has every byte, as long as it keeps taking some; CliError
    saying how many it did not take when it takes none for DELIVERY_LIMIT seconds."""
    seen, since = None, time.monotonic()
    while True:
        try:
            left = waiting()
            if left == 0:
                return
            now = time.monotonic()
            if left != seen:
                seen, since = left, now
            elif now - since >= DELIVERY_LIMIT:
                raise CliError("{}: the device took nothing for {:g} s; {} bytes were not delivered".format(
                    port.port, DELIVERY_LIMIT, left))
            _discard_input(port)
        except OSError as error:  # SerialException is one
            delivered = sent - seen if seen is not None else sent
            raise port_lost(port, error, "after " + _moved(delivered, total), named=True) from None
        time.sleep(DELIVERY_LOOK)


def receive(port: torvak_serial.Serial, sink: IO[bytes], size: Optional[int], idle: float, progress: ProgressBar,
            reports: ReportRecorder) -> Tuple[int, float]:
    """Reads into `sink` until `size` bytes (when given) or until the line has been quiet
    for `idle` seconds after the first byte; returns (bytes, seconds from the first byte to
    the last). Before the first byte it waits without limit.

    `port` must have a short time-out: each empty read is one look at the clock."""
    received = 0
    first: Optional[float] = None
    last: Optional[float] = None
    while size is None or received < size:
        try:
            waiting = port.in_waiting
            want = waiting if waiting else 1
            if size is not None:
                want = min(want, size - received)
            data = port.read(want)
        except OSError as error:  # SerialException is one: the device or the service went away
            progress.finish(received)
            raise port_lost(port, error, "after {} bytes received".format(received), reports.reader_failure()) from None
        now = time.monotonic()
        if data:
            if first is None:
                first = now
                progress.restart()
            last = now
            sink.write(data)
            received += len(data)
            progress.update(received)
            continue
        failure = reports.reader_failure()
        if failure is not None:
            progress.finish(received)
            raise reader_stopped(port, failure, "after {} bytes received".format(received))
        if last is not None and now - last >= idle:
            if size is not None:
                progress.finish(received)
                raise CliError(
                    "only {} of {} bytes arrived on {}: the line was quiet for {:g} s".format(
                        received, size, display_name(port), idle
                    )
                )
            break
    progress.finish(received)
    return received, (last - first) if first is not None and last is not None else 0.0


def summary(verb: str, count: int, port_name: str, seconds: float) -> str:
    return "{} {} bytes {} {} in {:.2f} s ({:.0f} bytes/s)".format(
        verb, count, "to" if verb == "sent" else "from", port_name, seconds, bytes_per_second(count, seconds)
    )
