"""``torvak send`` and ``torvak receive``: a file over one channel."""
import time

from torvak_common import PACKET_PAYLOAD, explain

from torvak_cli.devices import port_serial, reader_stopped
from torvak_cli.failures import CliError
from torvak_cli.progress import bytes_per_second

# Whole packets per write: the channel cuts data into payloads of one packet each.
CHUNK_SIZE = PACKET_PAYLOAD * 64


def _discard_input(port):
    waiting = port.in_waiting
    if waiting:
        port.read(waiting)


def send(port, source, total, progress):
    """Writes everything `source` holds; returns (bytes, seconds).

    What arrives on the channel meanwhile is read and dropped, so that a peer that echoes
    (or the loopback of the emulated device) cannot fill memory during a long transfer."""
    sent = 0
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
    elapsed = time.monotonic() - started
    progress.finish(sent)
    return sent, elapsed


def receive(port, sink, size, idle, progress, reports):
    """Reads into `sink` until `size` bytes (when given) or until the line has been quiet
    for `idle` seconds after the first byte; returns (bytes, seconds from the first byte to
    the last). Before the first byte it waits without limit.

    `port` must have a short time-out: each empty read is one look at the clock."""
    received = 0
    first = last = None
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
    return received, (last - first) if first is not None else 0.0


def summary(verb, count, port_name, seconds):
    return "{} {} bytes {} {} in {:.2f} s ({:.0f} bytes/s)".format(
        verb, count, "to" if verb == "sent" else "from", port_name, seconds, bytes_per_second(count, seconds)
    )
