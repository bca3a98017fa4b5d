"""The core of a served channel: bytes and rate changes into the channel's output queue,
flow control (which events the loop watches) and what the status answer says of it. The
loop owns a channel and moves its data; the device's worker only opens and closes `port`.

Flow control as a tty's: the pty master or client socket is read only while the queue has
room, and at most that much, straight into the queue. The queue tells the loop through its
events descriptor when room came back, and how each rate change ended."""
import collections
import logging
import os
import selectors
import socket
import time

from serial import SerialException

from torvak_common.served import FLOW_WINDOW

from torvak_cli.serve.access import make_own_directory
from torvak_cli.serve.ptys import Pty
from torvak_cli.serve.tcp import TcpSide
from torvak_cli.serve.tty import TtySide

_log = logging.getLogger("torvak.serve")

OVERRUN = 4 * 1024 * 1024  # data for a client that does not read is dropped beyond this
STALL_WARNING = 5.0  # seconds of the device taking nothing before the log says so
# Input pauses while this many rate changes wait for the device: each is a round trip to
# it, and a client could otherwise queue them faster than the device confirms them.
RATE_BACKLOG = 16


class Channel(TtySide, TcpSide):
    """One open channel of a served device, with its pty and RFC 2217 listener."""

    def __init__(self, slot, number, port):
        # Fields are the loop's unless marked: "worker" ones are the device worker's alone,
        # "shared" ones are set by one thread and read by the other.
        self.slot = slot
        self.service = slot.service
        self.number = number
        self.port = port  # shared: the loop reads it, the worker opened it and closes it
        self.queue = port.queue  # the channel's patient output queue (torvak_serial.output)
        self.rate = port.baudrate
        self.closed = False  # set once, when the loop stops the channel
        self.pty = None
        self.pty_active = False  # a program holds the tty and the loop reads its master
        self._open_watch = None  # the tty's watch in service.tty_opens
        self.to_pty = bytearray()
        self.listener = None
        self.local_listener = None
        self.local_path = None
        self.client = None
        self.rate_jobs = 0  # rate changes queued or under way
        # [rate, the rate before it] of each change not yet ended, in order: in the queue
        # or, behind the bytes it holds, in the backlog.
        self._changes = collections.deque()
        # Bytes and rates (int) taken from a client beyond the queue's room: only the rest
        # of what a tty's master held when a rate change was noticed. Input waits for it.
        self._backlog = collections.deque()
        self._room = 0  # what the queue takes now, as last heard (it only grows meanwhile)
        self.from_device = 0  # bytes handed to a client
        self.to_device = 0  # bytes from clients queued for the device
        self._overrun_logged = False
        self._waiting = 0  # bytes the queue held when last heard
        self._stalled_since = None  # when the queue was first seen full with _stalled_waiting
        self._stalled_waiting = None
        self._stall_logged = False

    def __str__(self):
        return "{}/{}".format(self.slot.serial, self.number)

    # -- setting up and tearing down (loop) -------------------------------------------

    def start(self):
        service = self.service
        self.service.watch(self.port.fileno(), selectors.EVENT_READ, self.on_port)
        self.service.watch(self.queue.events_fd(), selectors.EVENT_READ, self.on_queue)
        self._collect()
        directory = os.path.join(service.pty_dir, self.slot.serial)
        link = os.path.join(directory, str(self.number))
        try:
            if make_own_directory(directory):
                service.made_directories.add(directory)
        except OSError as error:
            _log.error("%s: no tty and no socket: %s", self, error)
        else:
            try:
                self.pty = Pty(link, self.rate, service.gid)
            except OSError as error:
                _log.error("%s: cannot make its pty at %s: %s", self, link, error)
            self.start_local(directory)
        self.watch_opens()
        if service.rfc2217_base is not None:
            self.start_listening()

    def stop(self):
        """Ends everything of this channel on the loop; the port itself is closed by the
        worker."""
        self.closed = True
        service = self.service
        service.unwatch(self.port.fileno())
        service.unwatch(self.queue.events_fd())
        self.drop_client(None)
        self.stop_listening()
        self.stop_local()
        if self.pty is not None:
            self.forget_opens()
            self._deactivate_pty()
            self.pty.close()
            self.pty = None

    # -- the device side ---------------------------------------------------------------

    def on_port(self, events):
        try:
            data = self.port.take(65536)
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

    # -- the way to the device -----------------------------------------------------------

    def send(self, data):
        """Bytes from the tty or the client, in their order among the rate changes."""
        self.to_device += len(data)
        if self._backlog:
            self._backlog.append(bytes(data))
        else:
            self._put(data)
        self.update()

    def _put(self, data):
        """Into the queue: what does not fit waits in the backlog, ahead of what comes after."""
        try:
            taken = self.queue.put(data)
        except SerialException as error:
            self._failed(error, len(data))
            return
        self._room = max(0, self._room - taken)
        if taken < len(data):
            self._backlog.append(bytes(data[taken:]))
        if self._room == 0:
            self._collect()  # the room last heard of is used up: hear again (it may have grown)

    def _failed(self, error, count):
        _log.warning("%s: %d bytes not sent: %s", self, count, error)

    def on_queue(self, events):
        self._collect()
        self.update()

    def _collect(self):
        """Hears from the queue: its room, how many bytes wait, the rate changes that ended;
        then moves the backlog on as far as there is room."""
        try:
            self.queue.put(b"")  # reports a failure of the drain, once
        except SerialException as error:
            self._failed(error, 0)
        room, self._waiting, _, outcomes = self.queue.events()
        self._room = room
        for rate, confirmed in outcomes:
            asked, previous = self._changes.popleft()
            if confirmed == asked:
                _log.debug("%s: baud rate %d in force", self, asked)
                self.rate_done()
            else:
                why = "no answer" if confirmed is None else "the device answered {}".format(confirmed)
                self.rate_refused(asked, previous if confirmed is None else confirmed, why)
        while self._backlog and not self.closed:
            item = self._backlog.popleft()
            if isinstance(item, int):
                self._queue_change(item)
                continue
            try:
                taken = self.queue.put(item)
            except SerialException as error:
                self._failed(error, len(item))
                continue
            self._room = max(0, self._room - taken)
            if taken < len(item):
                self._backlog.appendleft(item[taken:])
                break
        self._note_stall(room == 0)

    def _queue_change(self, rate):
        """A rate change from the front of the backlog into the queue."""
        if not self.queue.change_rate(rate):
            # It took the place of the change queued right before it (the bytes between
            # were purged): one change, from the rate before both.
            index = len(self._changes) - sum(isinstance(item, int) for item in self._backlog) - 1
            self._changes[index - 1][0] = rate
            del self._changes[index]
            self.rate_jobs -= 1

    def purge(self):
        """Drops what has not gone to the device yet (an RFC 2217 PURGE-DATA); the rate
        changes keep their order."""
        self.queue.reset()
        self._backlog = collections.deque(item for item in self._backlog if isinstance(item, int))
        self._collect()
        self.update()

    def _note_stall(self, stalled):
        """Whether the queue is full and the device takes nothing: said in the log after
        STALL_WARNING, and when it takes data again."""
        if not stalled or self._waiting != self._stalled_waiting:
            if self._stalled_since is not None and self._stall_logged:
                _log.info("%s: the device takes data again", self)
            self._stalled_since = None
            self._stall_logged = False
            self._stalled_waiting = self._waiting if stalled else None
            if stalled:
                self._stalled_since = time.monotonic()
            return
        now = time.monotonic()
        if not self._stall_logged and now - self._stalled_since >= STALL_WARNING:
            self._stall_logged = True
            _log.warning("%s: the device has taken no data for %.0f s; what the client sent waits for it",
                         self, now - self._stalled_since)

    def request_rate(self, rate, source):
        """Asks the device for `rate` (from the tty or the RFC 2217 client), after the bytes
        sent before it and ahead of those sent after it."""
        if rate == self.rate:
            return
        previous, self.rate = self.rate, rate
        if self._backlog:
            if isinstance(self._backlog[-1], int):  # in place of the change queued last
                self._backlog[-1] = rate
                self._changes[-1][0] = rate
                _log.debug("%s: baud rate %d from the %s, in place of the one waiting", self, rate, source)
                return
            self._backlog.append(rate)
        elif not self.queue.change_rate(rate):
            self._changes[-1][0] = rate
            _log.debug("%s: baud rate %d from the %s, in place of the one waiting", self, rate, source)
            return
        self._changes.append([rate, previous])
        _log.info("%s: baud rate %d from the %s", self, rate, source)
        self.rate_jobs += 1

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
        elif self.rate_jobs == RATE_BACKLOG - 1:
            self.update()  # input paused for the rate changes goes on

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
            # of that, bytes the device has not taken yet
            "waiting": self.queue.waiting() + sum(len(b) for b in self._backlog if not isinstance(b, int)),
        }

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
            if self._takes_input() and len(outgoing) < FLOW_WINDOW:
                events |= selectors.EVENT_READ
            service.watch(self.client.sock.fileno(), events, self.on_client)
        if self.pty_active:
            events = selectors.EVENT_WRITE if self.to_pty else 0
            if self._takes_input() and len(self.to_pty) < FLOW_WINDOW:
                events |= selectors.EVENT_READ
            service.watch(self.pty.master, events, self.on_pty)

    def _takes_input(self):
        return not self._backlog and self._room > 0 and self.rate_jobs < RATE_BACKLOG

    def input_room(self):
        """How much to read from the tty or client now: what the queue takes."""
        return self._room


