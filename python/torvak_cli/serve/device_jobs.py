"""The jobs a device's worker thread runs for its slot: opening and closing the channels,
and queries. They may block on USB; they reach the loop only through service.post().
Data and rate changes do not come here: the loop puts them into the channels' queues."""
import functools
import logging
import time

import torvak_serial.protocol_torvak
import zeq_torvak
from torvak_common import explain, make_url, release_device
from torvak_common.served import ECHO_PROBE
from torvak_common.status import info_answer
from torvak_serial.output import PatientOutput


_log = logging.getLogger("torvak.serve")

DEFAULT_RATE = 9600


class ServedPort(torvak_serial.protocol_torvak.Serial):
    """A channel as the service holds it: its output queue is patient (a slow device is
    waited for, never given up on while the channel is served) and is the service loop's
    to fill, with rate changes in their place among the bytes."""

    _patient_output = True

    def open(self):
        super().open()
        if not isinstance(self._output, PatientOutput):
            self.close()
            raise OSError("channel {}: its device cannot be written in the background".format(self.port))

    @property
    def queue(self):
        return self._output


class DeviceJobs:
    """Mixed into Slot; every method runs on the slot's worker thread."""

    def open_job(self):
        ports = []
        device = None
        try:
            device = zeq_torvak.get_hid_device(self.serial)
            count = device.channel_count
            if not count:
                raise OSError("the device reports no channels")
            for number in range(1, count + 1):
                ports.append(ServedPort(make_url(self.serial, number), baudrate=self.rates.get(number, DEFAULT_RATE),
                                        timeout=0))
        except Exception as error:
            self.close_ports(ports)
            # The first failure is explained as the CLI would (naming a program that holds
            # the device, which takes a look through /proc); the loop does not change
            # _failures while this job runs.
            text = explain(error, serial_number=self.serial) if not self._failures else str(error)
            self.service.post(functools.partial(self.open_failed, text))
        else:
            self.service.post(functools.partial(self.opened, ports))
        finally:
            if device is not None:
                release_device(device)  # nothing when the ports hold it

    def close_job(self, ports):
        self.close_ports(ports)
        self.service.post(self.closed)

    @staticmethod
    def close_ports(ports):
        for port in ports:
            try:
                port.close()
            except Exception as error:
                _log.debug("closing %s: %s", port.port, error)

    def info_job(self, reply, echo):
        # The device is open (its ports hold it): the registry hands out that one.
        answer = round_trip = None
        try:
            device = zeq_torvak.get_hid_device(self.serial)
            version = device.firmware_version
            if echo:
                started = time.perf_counter()
                answer = device.echo(ECHO_PROBE)
                round_trip = time.perf_counter() - started
        except Exception as error:
            result = {"error": "device {}: {}".format(self.serial, error)}
        else:
            result = info_answer(self.serial, self.channel_count, version, answer, round_trip)
        self.service.post(functools.partial(reply, result))

