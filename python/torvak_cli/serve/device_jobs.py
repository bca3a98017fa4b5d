"""The jobs a device's worker thread runs for its slot: opening and closing the channels,
writes, baud-rate changes and queries. They may block on USB; they reach the loop only
through service.post()."""
import functools
import logging
import time


import torvak_serial.protocol_torvak
import zeq_torvak
from torvak_common import PACKET_PAYLOAD, Kind, classify, explain, make_url, release_device
from torvak_common.served import ECHO_PROBE, FLOW_WINDOW, info_answer


_log = logging.getLogger("torvak.serve")

DEFAULT_RATE = 9600
WRITE_SHARE = 4096  # bytes the worker writes to one channel before the next channel's turn


class ServedPort(torvak_serial.protocol_torvak.Serial):
    """A channel as the service holds it: writes are synchronous, a packet's outcome known
    when write() returns (write_job puts back what the device let time out)."""

    _queued_output = False


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

    def write_job(self, channel):
        # A share at a time, the rest queued again behind the other channels' writes, so
        # that a channel with much to send does not hold the others up.
        data, change, more = channel.outbox.take(WRITE_SHARE)
        if more:
            self.worker.submit(functools.partial(self.write_job, channel))
        if change is not None:
            self.rate_job(channel, *change)  # the bytes after it wait until it is done
            return
        if not data:
            return
        # A packet at a time: when the device does not take one within the USB time-out
        # (it is busy, or this machine is), the packets before it have gone, and that one
        # and the rest go back to the front of the outbox, to be tried again after the
        # jobs queued meanwhile. Only a device that fails otherwise loses what it was sent.
        sent = 0
        resume = False  # input paused for the outbox may go on: the loop must look
        try:
            while sent < len(data) and not channel.closed:
                piece = data[sent : sent + PACKET_PAYLOAD]
                channel.port.write(piece)
                sent += len(piece)
                resume |= channel.outbox.done(len(piece), FLOW_WINDOW)
            channel.write_stalled(False)
        except Exception as error:
            if channel.closed:
                pass
            elif classify(error.__cause__ or error).kind == Kind.USB_TIMEOUT:
                channel.write_stalled(True)
                if channel.outbox.put_back(data[sent:]):
                    self.worker.submit(functools.partial(self.write_job, channel))
                sent = len(data)  # what is left waits in the outbox again
            else:
                _log.warning("%s: %d bytes not sent: %s", channel, len(data) - sent, error)
        finally:
            resume |= channel.outbox.done(len(data) - sent, FLOW_WINDOW)  # dropped
            if resume:
                self.service.post(channel.written)

    def rate_job(self, channel, rate, previous):
        if channel.closed:
            return
        try:
            channel.port.baudrate = rate
            _log.debug("%s: baud rate %d in force", channel, rate)
        except Exception as error:
            # The port keeps the rate the device last confirmed.
            in_force = channel.port.baudrate
            if in_force == rate:
                in_force = previous
            self.service.post(functools.partial(channel.rate_refused, rate, in_force, error))
        else:
            self.service.post(channel.rate_done)

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

