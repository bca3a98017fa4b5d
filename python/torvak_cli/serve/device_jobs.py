"""A device's worker: the USB work of one served device (opening and closing its channels,
queries) on a thread of its own, since it may block. It reaches the loop only by posting
its answers there. Data and rate changes do not come here: the loop puts them into the
channels' queues."""
import functools
import logging
import time
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence

import zeq_torvak
from torvak_common import make_url
from torvak_common.served import ECHO_PROBE
from torvak_common.status import ErrorAnswer, InfoAnswer, info_answer
from torvak_discovery import explain, release_device
from torvak_serial.device_channel import DeviceChannel, open_device_channel
from torvak_serial.output import SERVICE_QUEUE

from torvak_cli.serve.loop import Posted
from torvak_cli.serve.worker import Worker

_log = logging.getLogger("torvak.serve")

DEFAULT_RATE = 9600


def close_ports(ports: Sequence[DeviceChannel]) -> None:
    for port in ports:
        try:
            port.close()
        except Exception as error:
            _log.debug("closing %s: %s", port, error)


class DeviceWorker:
    """The thread that does a slot's USB work, and the jobs it runs. The loop calls the
    public methods; every job gets what it needs as arguments (copies, never the slot's
    fields), runs on the worker thread and answers with `post(callback)`. Its own fields
    are set here and never change, so both threads may read them."""

    def __init__(self, serial: str, post: Callable[[Posted], None],
                 died: Callable[[BaseException], None]) -> None:
        self.serial = serial
        self._post = post
        self._thread = Worker("torvak-serve-" + serial, died)

    # -- the loop's side ------------------------------------------------------------------

    def open(self, rates: Mapping[int, int], explain_fully: bool, opened: Callable[[List[DeviceChannel]], None],
             failed: Callable[[str], None]) -> None:
        """Opens every channel of the device at its rate in `rates` (else DEFAULT_RATE):
        `opened(ports)`, or `failed(why)` (`explain_fully`: said as the CLI would)."""
        self._thread.submit(functools.partial(self._open, dict(rates), explain_fully, opened, failed))

    def close(self, ports: Sequence[DeviceChannel], closed: Posted) -> None:
        self._thread.submit(functools.partial(self._close, list(ports), closed))

    def info(self, channel_count: int, echo: bool, reply: Callable[[Dict[str, Any]], None]) -> None:
        """`reply(answer)` with what the device says of itself (an echo's round trip with
        `echo`)."""
        self._thread.submit(functools.partial(self._info, channel_count, echo, reply))

    def finish(self) -> None:
        """Ends the thread after the jobs already given."""
        self._thread.finish()

    def join(self, timeout: float) -> bool:
        return self._thread.join(timeout)

    def alive(self) -> bool:
        return self._thread.alive()

    # -- the worker thread's jobs -----------------------------------------------------------

    def _open(self, rates: Dict[int, int], explain_fully: bool, opened: Callable[[List[DeviceChannel]], None],
              failed: Callable[[str], None]) -> None:
        ports: List[DeviceChannel] = []
        device: Optional[zeq_torvak._Device] = None
        try:
            device = zeq_torvak.get_hid_device(self.serial)
            count = device.channel_count
            if not count:
                raise OSError("the device reports no channels")
            for number in range(1, count + 1):
                # Opened directly: the service never asks whether a service holds the device.
                ports.append(open_device_channel(make_url(self.serial, number), self.serial, number,
                                                 rates.get(number, DEFAULT_RATE), SERVICE_QUEUE))
        except Exception as error:
            close_ports(ports)
            # The first failure is explained as the CLI would (naming a program that holds
            # the device, which takes a look through /proc).
            text = explain(error, serial_number=self.serial) if explain_fully else str(error)
            self._post(functools.partial(failed, text))
        else:
            self._post(functools.partial(opened, ports))
        finally:
            if device is not None:
                release_device(device)  # nothing when the ports hold it

    def _close(self, ports: List[DeviceChannel], closed: Posted) -> None:
        close_ports(ports)
        self._post(closed)

    def _info(self, channel_count: int, echo: bool, reply: Callable[[Dict[str, Any]], None]) -> None:
        # The device is open (its ports hold it): the registry hands out that one.
        answer = round_trip = None
        result: Any
        try:
            device = zeq_torvak.get_hid_device(self.serial)
            version = device.firmware_version
            if echo:
                started = time.perf_counter()
                answer = device.echo(ECHO_PROBE)
                round_trip = time.perf_counter() - started
        except Exception as error:
            failure: ErrorAnswer = {"error": "device {}: {}".format(self.serial, error)}
            result = failure
        else:
            told: InfoAnswer = info_answer(self.serial, channel_count, version, answer, round_trip)
            result = told
        self._post(functools.partial(reply, result))
