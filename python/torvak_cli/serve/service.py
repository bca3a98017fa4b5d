"""``torvak serve``: one event loop serving every channel of the devices it owns as a pty
and an RFC 2217 port. The loop never blocks on USB: each device has a worker thread for
opening, closing, writes and baud-rate changes, which hands its results back through
post()."""
import collections
import errno
import functools
import logging
import os
import re
import selectors
import signal
import socket
import time

import serial
from serial import SerialException

import torvak_serial  # noqa: F401  (registers the torvak:// URL handler)
import zeq_torvak
from torvak_common import PACKET_PAYLOAD, Kind, classify, make_url, match_serial_number, release_device
from torvak_common.served import remove_state, write_state

from torvak_cli.queries import ECHO_PROBE
from torvak_cli.serve.ptys import Pty
from torvak_cli.serve.rfc2217 import Client, allowed
from torvak_cli.serve.status import StatusServer
from torvak_cli.serve.worker import Outbox, Worker

_log = logging.getLogger("torvak.serve")

DEFAULT_RATE = 9600
TICK = 0.05  # how often idle ptys are looked at (their masters poll hang-up while idle)
RESCAN = 1.0  # how often the bus is searched for devices to serve
CHANNELS_PER_SLOT = 16  # RFC 2217 ports per device slot
HIGH_WATER = 64 * 1024  # input from a client pauses while this much waits for the device
RECEIVE_BUFFER = 64 * 1024  # of a client's connection
WRITE_SHARE = 4096  # bytes the worker writes to one channel before the next channel's turn
OVERRUN = 4 * 1024 * 1024  # data for a client that does not read is dropped beyond this
STOP_LIMIT = 10.0  # seconds the service waits for its workers when stopping
STALL_WARNING = 5.0  # seconds of writes timing out before the log says so
_USABLE_SERIAL = re.compile(r"[A-Z0-9][A-Z0-9._-]*")


class Channel:
    """One open channel of a served device, with its pty and RFC 2217 listener."""

    def __init__(self, slot, number, port):
        self.slot = slot
        self.service = slot.service
        self.number = number
        self.port = port
        self.rate = port.baudrate
        self.outbox = Outbox()
        self.closed = False
        self.pty = None
        self.pty_active = False  # a program holds the tty and the loop reads its master
        self.to_pty = bytearray()
        self.listener = None
        self.client = None
        self.rate_jobs = 0  # rate changes the worker has not finished yet
        self.from_device = 0  # bytes handed to a client
        self.to_device = 0  # bytes from clients queued for the device
        self._overrun_logged = False
        self._stalled_since = None  # when writes began to time out (worker)
        self._stall_logged = False

    def __str__(self):
        return "{}/{}".format(self.slot.serial, self.number)

    # -- setting up and tearing down (loop) -------------------------------------------

    def start(self):
        service = self.service
        self.service.watch(self.port.fileno(), selectors.EVENT_READ, self.on_port)
        link = os.path.join(service.pty_dir, self.slot.serial, str(self.number))
        try:
            self.pty = Pty(link, self.rate, service.gid)
        except OSError as error:
            _log.error("%s: cannot make its pty at %s: %s", self, link, error)
        if service.rfc2217_base is not None:
            if self.number > CHANNELS_PER_SLOT:
                _log.warning("%s: no RFC 2217 port (only %d per device)", self, CHANNELS_PER_SLOT)
                return
            port = service.rfc2217_base + CHANNELS_PER_SLOT * self.slot.index + self.number - 1
            try:
                self.listener = service.listen(port)
            except OSError as error:
                _log.error("%s: cannot listen on %s port %d: %s", self, service.bind, port, error)
                return
            service.watch(self.listener.fileno(), selectors.EVENT_READ, self.on_accept)

    def stop(self):
        """Ends everything of this channel on the loop; the port itself is closed by the
        worker."""
        self.closed = True
        service = self.service
        service.unwatch(self.port.fileno())
        self.drop_client(None)
        if self.listener is not None:
            service.unwatch(self.listener.fileno())
            self.listener.close()
            self.listener = None
        if self.pty is not None:
            self._deactivate_pty()
            self.pty.close()
            self.pty = None

    # -- the device side ---------------------------------------------------------------

    def on_port(self, events):
        try:
            data = self.port.read(65536)
        except (SerialException, OSError, AssertionError) as error:
            self.slot.lost(error)
            return
        if not data:
            return
        if self.client is not None:
            sink = self.client.outgoing
        elif self.pty_active:
            sink = self.to_pty
        else:
            return  # nobody holds the channel: discarded, as a closed tty does
        if len(sink) > OVERRUN:
            if not self._overrun_logged:
                _log.warning("%s: the client does not read; received data is being dropped", self)
                self._overrun_logged = True
            return
        self._overrun_logged = False
        self.from_device += len(data)
        if self.client is not None:
            self.client.send_data(data)
            sink = self.client.outgoing
        else:
            sink += data
        if len(sink) == len(data):
            self._pass_on(sink)  # at once, rather than after one more turn of the loop
        self.update()

    def _pass_on(self, sink):
        """Writes what `sink` holds to the client socket or tty master, as far as it takes
        it without waiting; the rest waits for the loop."""
        try:
            if self.client is not None:
                sent = self.client.sock.send(sink, socket.MSG_DONTWAIT)
            else:
                sent = os.write(self.pty.master, sink)
            del sink[:sent]
        except OSError:
            pass  # full, or gone: the loop finds out

    def send(self, data):
        self.to_device += len(data)
        if self.outbox.add(data):
            self.slot.worker.submit(functools.partial(self.slot.write_job, self))
        self.update()

    def write_stalled(self, stalled):
        """(worker) Whether the device has just let a packet time out, or taken one."""
        if not stalled:
            if self._stalled_since is not None:
                self._stalled_since = None
                if self._stall_logged:
                    self._stall_logged = False
                    _log.info("%s: the device takes data again", self)
            return
        now = time.monotonic()
        if self._stalled_since is None:
            self._stalled_since = now
        elif not self._stall_logged and now - self._stalled_since >= STALL_WARNING:
            self._stall_logged = True
            _log.warning("%s: the device has taken no data for %.0f s; what the client sent waits for it",
                         self, now - self._stalled_since)

    def written(self):
        if not self.closed:
            self.update()

    def request_rate(self, rate, source):
        """Asks the device for `rate` (from the tty or the RFC 2217 client)."""
        if rate == self.rate:
            return
        previous, self.rate = self.rate, rate
        _log.info("%s: baud rate %d from the %s", self, rate, source)
        self.rate_jobs += 1
        self.slot.worker.submit(functools.partial(self.slot.rate_job, self, rate, previous))

    def rate_refused(self, rate, previous, error):
        _log.warning("%s: the device refused baud rate %d (%s); the rate in force is %d", self, rate, error, previous)
        if self.rate == rate:
            self.rate = previous
            if self.pty is not None:
                # A program may have set another rate on the tty while this one was on its
                # way: that one is asked for next, rather than overwritten.
                newer = self.pty.rate_changed()
                if newer is not None:
                    self.request_rate(newer, "tty")
                else:
                    self.pty.set_rate(previous)
        self.rate_done()

    def rate_done(self):
        """A rate change has been confirmed or refused: an RFC 2217 client waiting for its
        answer gets the rate now in force (a refused one then differs from its request)."""
        self.rate_jobs -= 1
        if not self.rate_jobs and self.client is not None:
            self.client.rate_settled()
            self.update()

    def describe(self):
        """This channel in the status answer."""
        if self.client is not None:
            client = "RFC 2217 client {}".format(self.client)
        elif self.pty_active or (self.pty is not None and self.pty.held()):
            client = "a program on its tty " + self.pty.link
        else:
            client = None
        return {
            "channel": self.number,
            "tty": None if self.pty is None else self.pty.link,
            "rfc2217_port": None if self.listener is None else self.listener.getsockname()[1],
            "client": client,
            "rate": self.rate,
            "from_device": self.from_device,
            "to_device": self.to_device,
            "waiting": self.outbox.size(),  # of that, bytes the device has not taken yet
        }

    # -- the pty side ------------------------------------------------------------------

    def tick(self):
        """Every TICK: a tty rate change, a program opening an idle tty."""
        pty = self.pty
        if pty is None:
            return
        if self.client is not None:
            pty.discard_input()
            return
        rate = pty.rate_changed()
        if rate is not None:
            self.request_rate(rate, "tty")
        if not self.pty_active and pty.held():
            _log.debug("%s: a program opened the tty", self)
            self.pty_active = True
            self.update()

    def _deactivate_pty(self):
        if self.pty_active:
            self.pty_active = False
            self.to_pty.clear()
            self.service.unwatch(self.pty.master)

    def on_pty(self, events):
        master = self.pty.master
        try:
            if events & selectors.EVENT_WRITE and self.to_pty:
                sent = os.write(master, self.to_pty[:65536])
                del self.to_pty[:sent]
            if events & selectors.EVENT_READ:
                data = os.read(master, 65536)
                if not data:
                    raise OSError(errno.EIO, "closed")
                self.send(data)
        except BlockingIOError:
            pass
        except OSError:
            # EIO: the last program closed the tty; look again every TICK.
            _log.debug("%s: the tty was closed", self)
            self._deactivate_pty()
            return
        self.update()

    # -- the RFC 2217 side -------------------------------------------------------------

    def on_accept(self, events):
        # Every connection waiting, so that a burst of connects never fills the backlog.
        while self.listener is not None:
            try:
                sock, peer = self.listener.accept()
            except OSError:
                return
            self._accept(sock, peer)

    def _accept(self, sock, peer):
        if not allowed(peer[0], self.service.allow):
            _log.warning("%s: RFC 2217 client %s refused: not in --allow", self, peer[0])
            sock.close()
            return
        busy = None
        self._settle_client()
        if self.client is not None:
            busy = "another RFC 2217 client ({})".format(self.client)
        elif self.pty is not None:
            if self.pty.held():
                busy = "a program on its tty " + self.pty.link
            else:
                self._deactivate_pty()  # closed, and the loop has not seen it yet
        if busy is not None:
            _log.info("%s: RFC 2217 client %s refused: the channel is in use by %s", self, peer[0], busy)
            try:
                sock.setblocking(False)
                sock.send("torvak serve: {} is in use by {}\r\n".format(self, busy).encode())
            except OSError:
                pass
            sock.close()
            return
        sock.setblocking(False)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Little is taken from a client that the device cannot keep up with, so that its
        # writes block (as a direct port's do) instead of filling buffers.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
        self.client = Client(self, sock, peer)
        _log.info("%s: RFC 2217 client %s connected", self, self.client)
        if self.pty is not None:
            try:
                self.pty.make_exclusive(True)
            except OSError as error:
                _log.warning("%s: cannot make the tty exclusive: %s", self, error)
        self.update()

    def on_client(self, events):
        client = self.client
        try:
            if events & selectors.EVENT_WRITE and client.outgoing:
                sent = client.sock.send(client.outgoing[:262144])
                del client.outgoing[:sent]
            if events & selectors.EVENT_READ:
                data = client.sock.recv(65536)
                if not data:
                    self.drop_client("disconnected")
                    return
                try:
                    payload = client.received(data)
                except Exception as error:  # PortManager choked on the client's telnet input
                    self.drop_client("dropped: bad RFC 2217 input ({!r})".format(error))
                    return
                if payload:
                    self.send(payload)
        except BlockingIOError:
            pass
        except OSError as error:
            self.drop_client("lost ({})".format(error))
            return
        self.update()

    def _settle_client(self):
        """Takes what the client has sent, so that a client which has closed its end
        (its end of file not seen by the loop yet) is dropped before a new one is judged."""
        for _ in range(8):
            client = self.client
            if client is None:
                return
            try:
                if not client.sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT):
                    self.drop_client("disconnected")
                    return
            except BlockingIOError:
                return
            except OSError as error:
                self.drop_client("lost ({})".format(error))
                return
            self.on_client(selectors.EVENT_READ)

    def drop_client(self, why):
        client, self.client = self.client, None
        if client is None:
            return
        if why:
            _log.info("%s: RFC 2217 client %s %s", self, client, why)
        self.service.unwatch(client.sock.fileno())
        client.sock.close()
        if self.pty is not None:
            try:
                self.pty.make_exclusive(False)
            except OSError:
                pass

    # -- what the loop watches ---------------------------------------------------------

    def update(self):
        """Sets the events watched on the pty master or client socket from the buffers:
        input pauses while much waits for the device or for the reader."""
        if self.closed:
            return
        service = self.service
        if self.client is not None:
            outgoing = self.client.outgoing
            events = selectors.EVENT_WRITE if outgoing else 0
            if self.outbox.size() < HIGH_WATER and len(outgoing) < HIGH_WATER:
                events |= selectors.EVENT_READ
            service.watch(self.client.sock.fileno(), events, self.on_client)
        if self.pty_active:
            events = selectors.EVENT_WRITE if self.to_pty else 0
            if self.outbox.size() < HIGH_WATER and len(self.to_pty) < HIGH_WATER:
                events |= selectors.EVENT_READ
            service.watch(self.pty.master, events, self.on_pty)


class Slot:
    """A device's place in the service (K), kept for the serial number for the service's
    life. While the device is served, a worker thread runs its USB work."""

    def __init__(self, service, index, serial):
        self.service = service
        self.index = index
        self.serial = serial
        self.state = "absent"  # absent, opening, serving, closing
        self.worker = None
        self.channels = []
        self.channel_count = 0
        self.rates = {}  # channel number -> rate, kept across re-plugs
        self._failures = 0

    # -- loop side ---------------------------------------------------------------------

    def open(self):
        self.state = "opening"
        self.worker = Worker("torvak-serve-" + self.serial)
        self.worker.submit(self.open_job)

    def opened(self, ports):
        if self.service.stopping:
            self.state = "closing"
            self.worker.submit(functools.partial(self.close_job, ports))
            self.worker.finish()
            return
        self._failures = 0
        self.state = "serving"
        self.channels = [Channel(self, n, port) for n, port in enumerate(ports, 1)]
        self.channel_count = len(ports)
        for channel in self.channels:
            channel.start()
        self.service.publish()
        where = os.path.join(self.service.pty_dir, self.serial)
        if self.service.rfc2217_base is not None:
            first = self.service.rfc2217_base + CHANNELS_PER_SLOT * self.index
            where += ", RFC 2217 on {} ports {}-{}".format(
                self.service.bind, first, first + min(len(ports), CHANNELS_PER_SLOT) - 1
            )
        _log.info("serving %s (slot %d): %d channels at %s", self.serial, self.index, len(ports), where)

    def open_failed(self, error):
        self._failures += 1
        log = _log.warning if self._failures == 1 else _log.debug
        log("cannot serve %s: %s", self.serial, error)
        self._end_worker()

    def lost(self, error):
        """The device went away (or failed): everything of it ends at once, and the worker
        closes its channels so that it can be opened again."""
        if self.state != "serving":
            return
        if not self.service.stopping:
            _log.warning("device %s is gone (%s); its ttys hang up until it is back", self.serial, error)
        self.close()

    def close(self):
        ports = []
        for channel in self.channels:
            self.rates[channel.number] = channel.rate
            channel.stop()
            ports.append(channel.port)
        self.channels = []
        self.state = "closing"
        self.worker.submit(functools.partial(self.close_job, ports))
        self.worker.finish()
        self.service.publish()

    def closed(self):
        self._end_worker()

    def _end_worker(self):
        if self.worker is not None:
            self.worker.finish()
            self.worker.join()
            self.worker = None
        self.state = "absent"

    # -- worker side -------------------------------------------------------------------

    def open_job(self):
        ports = []
        device = None
        try:
            device = zeq_torvak.get_hid_device(self.serial)
            count = device.channel_count
            if not count:
                raise OSError("the device reports no channels")
            for number in range(1, count + 1):
                ports.append(
                    serial.serial_for_url(
                        make_url(self.serial, number),
                        baudrate=self.rates.get(number, DEFAULT_RATE),
                        timeout=0,
                    )
                )
        except Exception as error:
            self._close_ports(ports)
            self.service.post(functools.partial(self.open_failed, error))
        else:
            self.service.post(functools.partial(self.opened, ports))
        finally:
            if device is not None:
                release_device(device)  # nothing when the ports hold it

    def close_job(self, ports):
        self._close_ports(ports)
        self.service.post(self.closed)

    @staticmethod
    def _close_ports(ports):
        for port in ports:
            try:
                port.close()
            except Exception as error:
                _log.debug("closing %s: %s", port.port, error)

    def write_job(self, channel):
        # A share at a time, the rest queued again behind the other channels' writes, so
        # that a channel with much to send does not hold the others up.
        data, more = channel.outbox.take(WRITE_SHARE)
        if more:
            self.worker.submit(functools.partial(self.write_job, channel))
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
                resume |= channel.outbox.done(len(piece), HIGH_WATER)
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
            resume |= channel.outbox.done(len(data) - sent, HIGH_WATER)  # dropped
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
            result = {
                "serial": self.serial,
                "channels": self.channel_count,
                "firmware": version,
                "echo": answer,
                "echo_probe": ECHO_PROBE,
                "echo_seconds": round_trip,
            }
        self.service.post(functools.partial(reply, result))

    # -- what clients are told ---------------------------------------------------------

    def entry(self):
        """This device in the state file."""
        return {
            "serial": self.serial,
            "slot": self.index,
            "channels": self.channel_count,
            "ttys": {str(c.number): c.pty.link for c in self.channels if c.pty is not None},
            "rfc2217_ports": {
                str(c.number): c.listener.getsockname()[1] for c in self.channels if c.listener is not None
            },
        }


class Service:
    def __init__(self, pty_dir, gid, devices=(), rfc2217_base=None, bind="127.0.0.1", allow=()):
        self.pty_dir = pty_dir
        self.gid = gid
        self.rfc2217_base = rfc2217_base
        self.bind = bind
        self.allow = list(allow)
        self.stopping = False
        self.slots = []
        self._fixed = bool(devices)  # only the devices named
        for serial_number in devices:
            if all(slot.serial != serial_number for slot in self.slots):
                self.slots.append(Slot(self, len(self.slots), serial_number))
        self._skipped = set()
        self._selector = selectors.DefaultSelector()
        self._watched = {}  # fd -> events
        self._posted = collections.deque()
        self._status = None
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        self._selector.register(self._wake_r, selectors.EVENT_READ, self._on_wake)

    # -- plumbing ----------------------------------------------------------------------

    def post(self, callback):
        """Runs `callback` on the loop (from any thread)."""
        self._posted.append(callback)
        self._wake()

    def _wake(self):
        try:
            os.write(self._wake_w, b"\0")
        except OSError:
            pass  # full of wake-ups already

    def _on_wake(self, events):
        try:
            while os.read(self._wake_r, 4096):
                pass
        except BlockingIOError:
            pass
        while self._posted:
            self._posted.popleft()()

    def watch(self, fd, events, callback):
        """Watches `fd` for `events` (0: not at all) with `callback(events)`."""
        current = self._watched.get(fd)
        if not events:
            if current:
                self.unwatch(fd)
            return
        if current is None:
            self._selector.register(fd, events, callback)
        elif current != events:
            self._selector.modify(fd, events, callback)
        self._watched[fd] = events

    def unwatch(self, fd):
        if self._watched.pop(fd, None) is not None:
            self._selector.unregister(fd)

    def listen(self, port):
        family = socket.AF_INET6 if ":" in self.bind else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_STREAM)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((self.bind, port))
            sock.listen(16)
            sock.setblocking(False)
        except OSError:
            sock.close()
            raise
        return sock

    def request_stop(self, signum=None, frame=None):
        if not self.stopping:
            self.stopping = True
            _log.info("stopping%s", "" if signum is None else " ({})".format(signal.Signals(signum).name))
        self._wake()

    # -- what clients are told ---------------------------------------------------------

    def publish(self):
        """Rewrites the state file: the devices served now, where their channels are."""
        state = {
            "pid": os.getpid(),
            "bind": self.bind,
            "devices": [slot.entry() for slot in self.slots if slot.state == "serving"],
        }
        try:
            write_state(self.pty_dir, state, 0o660, self.gid)
        except OSError as error:
            _log.warning("cannot write the state file in %s (clients will not find the service): %s",
                         self.pty_dir, error)

    def status(self):
        return {
            "pid": os.getpid(),
            "directory": self.pty_dir,
            "bind": self.bind,
            "devices": [
                {"serial": slot.serial, "slot": slot.index, "state": slot.state,
                 "channels": [channel.describe() for channel in slot.channels]}
                for slot in self.slots
            ],
        }

    def device_info(self, serial_number, reply, echo=True):
        """Answers `reply(dict)` with what the device says of itself, asked on its worker."""
        found = match_serial_number(serial_number, [slot.serial for slot in self.slots if slot.state == "serving"])
        slot = next((s for s in self.slots if s.serial == found), None)
        if slot is None:
            reply({"error": "torvak serve does not hold device {}".format(serial_number)})
            return
        slot.worker.submit(functools.partial(slot.info_job, reply, echo))

    # -- devices -----------------------------------------------------------------------

    def rescan(self):
        try:
            attached = zeq_torvak.list_serial_numbers()
        except Exception as error:
            _log.debug("cannot list devices: %s", error)
            return
        if not self._fixed:
            known = {slot.serial for slot in self.slots}
            for serial_number in attached:
                if serial_number in known or serial_number in self._skipped:
                    continue
                if serial_number is None or not _USABLE_SERIAL.fullmatch(serial_number):
                    self._skipped.add(serial_number)
                    _log.warning("device with serial number %r skipped: it cannot name a port path", serial_number)
                    continue
                self.slots.append(Slot(self, len(self.slots), serial_number))
                known.add(serial_number)
        for slot in self.slots:
            if slot.state == "absent" and match_serial_number(slot.serial, attached) is not None:
                slot.open()

    # -- the loop ----------------------------------------------------------------------

    def run(self):
        for slot in self.slots:
            if not _USABLE_SERIAL.fullmatch(slot.serial):
                raise ValueError("serial number {!r} cannot name a port path".format(slot.serial))
        try:
            self._status = StatusServer(self, self.pty_dir, self.gid)
        except OSError as error:
            _log.warning("no status socket in %s: %s", self.pty_dir, error)
        self.publish()
        next_scan = next_tick = 0.0
        stop_deadline = None
        while True:
            now = time.monotonic()
            if self.stopping:
                if stop_deadline is None:
                    stop_deadline = now + STOP_LIMIT
                    for slot in self.slots:
                        if slot.state == "serving":
                            slot.close()
                if all(slot.worker is None for slot in self.slots):
                    break
                if now > stop_deadline:
                    _log.error("device workers did not end in %s s", STOP_LIMIT)
                    break
            elif now >= next_scan:
                self.rescan()
                next_scan = now + RESCAN
            if now >= next_tick:
                next_tick = now + TICK
                for slot in self.slots:
                    for channel in slot.channels:
                        channel.tick()
            for key, events in self._selector.select(TICK):
                if key.fd in self._watched or key.fd == self._wake_r:
                    key.data(events)
        if self._status is not None:
            self._status.close()
        remove_state(self.pty_dir)
        self._selector.close()
        os.close(self._wake_r)
        os.close(self._wake_w)
        for slot in self.slots:
            try:
                os.rmdir(os.path.join(self.pty_dir, slot.serial))
            except OSError:
                pass
