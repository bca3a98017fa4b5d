"""``torvak send`` and ``torvak receive``: a file over one channel."""
import time
from typing import IO, Callable, Optional, Tuple

from torvak_common import PACKET_PAYLOAD, SCHEME, StatusError, ask_service, explain, find_served, parse_url
from torvak_common.status import channel_status, status_request

from torvak_cli.devices import Port, port_serial, reader_stopped
from torvak_cli.failures import CliError
from torvak_cli.progress import ProgressBar, bytes_per_second
from torvak_cli.reports import ReportRecorder

# Whole packets per write: the channel cuts data into payloads of one packet each.
CHUNK_SIZE = PACKET_PAYLOAD * 64
# Through torvak serve, a send ends when the device has taken everything: the service is
# asked every DELIVERY_LOOK seconds, and waited for up to DELIVERY_LIMIT without progress.
DELIVERY_LOOK = 0.02
DELIVERY_LIMIT = 15.0


def _discard_input(port: Port) -> None:
    waiting = port.in_waiting
    if waiting:
        port.read(waiting)


def send(port: Port, source: IO[bytes], total: Optional[int], progress: ProgressBar) -> Tuple[int, float]:
    """Writes everything `source` holds; returns (bytes, seconds).

    What arrives on the channel meanwhile is read and dropped, so that a peer that echoes
    (or the loopback of the emulated device) cannot fill memory during a long transfer."""
    sent = 0
    taken = _taken_by_device(port)
    before = None if taken is None else taken()
    started = time.monotonic()
    while True:
        chunk = source.read(CHUNK_SIZE)
        if not chunk:
            break
        try:
            port.write(chunk)
        except OSError as error:
            progress.finish(sent)
            moved = "{} of {} bytes".format(sent, total) if total is not None else "{} bytes".format(sent)
            raise CliError("{} after {}".format(explain(error, port.port, serial_number=port_serial(port)), moved)) from None
        sent += len(chunk)
        progress.update(sent)
        _discard_input(port)
    if taken is not None and before is not None:
        _wait_for_device(port, taken, before + sent)
    elapsed = time.monotonic() - started
    progress.finish(sent)
    return sent, elapsed


def _taken_by_device(port: Port) -> Optional[Callable[[], Optional[int]]]:
    """For a port that torvak serve carries, a function that says how many bytes of the
    channel's clients the device has taken so far (None when the service does not say);
    None for a port of the device itself."""
    name = port.port or ""
    if not name.startswith(SCHEME + "://"):
        return None
    address = parse_url(name)
    served = find_served(address.serial_number)
    if served is None:
        return None

    def taken() -> Optional[int]:
        try:
            answer = ask_service(served.directory, status_request(), timeout=2.0)
        except StatusError:
            return None
        entry = channel_status(answer, served.serial_number, address.channel)
        if entry is None:
            return None
        return int(entry.get("to_device", 0)) - int(entry.get("waiting", 0))

    return taken


def _wait_for_device(port: Port, taken: Callable[[], Optional[int]], target: int) -> None:
    """Waits until the device has taken `target` bytes, as long as it keeps taking some."""
    seen, since = None, time.monotonic()
    while True:
        now_taken = taken()
        if now_taken is None or now_taken >= target:
            return
        now = time.monotonic()
        if now_taken != seen:
            seen, since = now_taken, now
        elif now - since >= DELIVERY_LIMIT:
            return
        _discard_input(port)
        time.sleep(DELIVERY_LOOK)


def receive(port: Port, sink: IO[bytes], size: Optional[int], idle: float, progress: ProgressBar,
            reports: ReportRecorder) -> Tuple[int, float]:
    """Reads into `sink` until `size` bytes (when given) or until the line has been quiet
    for `idle` seconds after the first byte; returns (bytes, seconds from the first byte to
    the last). Before the first byte it waits without limit.

    `port` must have a short time-out: each empty read is one look at the clock."""
    received = 0
    first: Optional[float] = None
    last: Optional[float] = None
    while size is None or received < size:
        waiting = port.in_waiting
        want = waiting if waiting else 1
        if size is not None:
            want = min(want, size - received)
        data = port.read(want)
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
                        received, size, port.port, idle
                    )
                )
            break
    progress.finish(received)
    return received, (last - first) if first is not None and last is not None else 0.0


def summary(verb: str, count: int, port_name: str, seconds: float) -> str:
    return "{} {} bytes {} {} in {:.2f} s ({:.0f} bytes/s)".format(
        verb, count, "to" if verb == "sent" else "from", port_name, seconds, bytes_per_second(count, seconds)
    )
