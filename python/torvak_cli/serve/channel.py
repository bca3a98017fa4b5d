"""The core of a served channel: bytes and rate changes into the channel's output queue,
flow control (which events the loop watches) and what the status answer says of it. The
loop owns a channel and moves its data; the device's worker only opens and closes `port`.
The ends it serves (its tty, a client of its sockets) are behind one interface (ends.End);
one at a time holds it. What crosses is told to the capture subscribers (serve.taps).
Flow control as a tty's: an end is read only while the queue has room, at most that much;
the queue's events descriptor tells when room came back and how each rate change ended."""
import collections
import logging
import os
import selectors
from typing import Callable, Deque, Optional, Union

from serial import SerialException

from torvak_common.capture import Kind
from torvak_common.served import FLOW_WINDOW
from torvak_common.status import ChannelStatus
from torvak_serial.device_channel import DeviceChannel

from torvak_cli.serve.access import make_own_directory
from torvak_cli.serve.ends import End
from torvak_cli.serve.host import DeviceSlot
from torvak_cli.serve.latency import LatencyTimer
from torvak_cli.serve.polls import Polls
from torvak_cli.serve.ptys import Pty
from torvak_cli.serve.stalls import StallWatch
from torvak_cli.serve.states import FROM_DEVICE_MOVES, TO_DEVICE_MOVES, FromDevice, ToDevice, move
from torvak_cli.serve.tcp import Listeners
from torvak_cli.serve.tty import TtyEnd

_log = logging.getLogger("torvak.serve")

OVERRUN = 4 * 1024 * 1024  # data for a client that does not read is dropped beyond this
RATE_BACKLOG = 16  # input pauses while this many rate changes (round trips to the device) wait
# The states the data path compares with, looked up once.
_TAKING, _WAITING_ROOM, _WAITING_RATES, _CLOSED = (ToDevice.TAKING, ToDevice.WAITING_ROOM, ToDevice.WAITING_RATES,
                                                   ToDevice.CLOSED)
_PASSING, _DROPPING = FromDevice.PASSING, FromDevice.DROPPING


class Channel:
    """One open channel of a served device, with its tty end and its RFC 2217 listeners.
    Every field is the loop's. `port` is opened and closed by the device's worker."""

    def __init__(self, slot: DeviceSlot, number: int, port: DeviceChannel) -> None:
        self.slot = slot
        self.service = slot.service
        self.number = number
        self.port = port
        self.queue = port.queue  # the channel's output queue, made to SERVICE_QUEUE (torvak_serial.output)
        self.rate: int = port.opened_rate
        self.to_device_state = ToDevice.WAITING_ROOM  # changed by update() alone, until stop()
        self.from_device_state = FromDevice.PASSING  # changed by _from_port() alone, until stop()
        self.tty: Optional[TtyEnd] = None  # None when no pty could be made
        self.listeners = Listeners(self, self.service, slot.index)
        self.taps = slot.taps.of(number)  # its capture subscribers, kept up to date by the slot's taps
        self.end: Optional[End] = None  # the end holding the channel: hold() and release()
        self._named = False  # who holds it is known (its capture has heard, or hears at its start): its close is told
        self.rate_jobs = 0  # rate changes queued or under way
        self._backlog: Deque[Union[bytes, int]] = collections.deque()  # bytes and rates (int) beyond the queue's room
        self._room = 0  # what the queue takes now, as last heard (it only grows meanwhile)
        self.from_device = 0  # bytes handed to a client
        self.to_device = 0  # bytes from clients queued for the device
        self._waiting = 0  # bytes the queue held when last heard
        self._polls = Polls(self.queue)  # answers waiting for the bytes before them to reach the device
        self._stall = StallWatch(self)
        self._reads = LatencyTimer(port.fileno(), self._from_port, self.service.watch, self.service.unwatch,
                                   self.service.call_later)  # reads from the device, once started

    def __str__(self) -> str:
        return "{}/{}".format(self.slot.serial, self.number)

    # -- setting up and tearing down (loop) -------------------------------------------

    def start(self) -> None:
        service = self.service
        self._reads.start()
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
                self.tty = TtyEnd(self, service, Pty(link, self.rate, service.gid))
            except OSError as error:
                _log.error("%s: cannot make its pty at %s: %s", self, link, error)
            self.listeners.start_local(directory)
        first = service.rfc2217_first_port(self.slot.serial, self.slot.index)
        if first is not None:
            self.listeners.start_listening(first)

    def stop(self) -> None:
        """Ends everything of this channel on the loop; the worker closes the port."""
        self._move_to_device(ToDevice.CLOSED)
        self.from_device_state = move(self, self.from_device_state, FromDevice.CLOSED, FROM_DEVICE_MOVES,
                                      "from the device: ")
        self._reads.stop()
        self.service.unwatch(self.queue.events_fd())
        if self.end is not None:
            self.end.drop(None)
        self.listeners.stop()
        if self.tty is not None:
            self.tty.close()
            self.tty = None

    # -- the ends ------------------------------------------------------------------------

    def hold(self, end: End, introduced: bool = True) -> None:
        """`end` holds the channel: the data from the device goes to it, and the tty is kept
        from programs meanwhile. Not `introduced`: who it is becomes known later."""
        self.end = end
        if self.tty is not None and self.tty is not end:
            self.tty.exclude(True)
        self._named = False
        holder = end.holder()
        if introduced and holder is not None:
            self.introduced(end, holder)
        self.update()

    def introduced(self, end: End, holder: str) -> None:
        """The end holding the channel is known by name now: the capture hears who opened it."""
        if self.end is end:
            self._named = True
            if self.taps:
                self.slot.taps.tell(self.number, Kind.OPEN, holder.encode())

    def release(self, end: End) -> None:
        if self.end is end:
            self.end = None
            self._polls.clear()  # the answers were its own
            if self.taps and self._named:
                self.slot.taps.tell(self.number, Kind.CLOSE)
            self._named = False
        if self.tty is not None and self.tty is not end:
            self.tty.exclude(False)

    def busy(self) -> Optional[str]:
        """Who holds the channel (or has its tty open), for a new client's refusal; or None."""
        for end in (self.end, self.tty):
            if end is not None:
                holder = end.busy()
                if holder is not None:
                    return holder
        return None

    def tick(self) -> None:
        """Every TICK and at each open of the tty."""
        if self._polls.answer(self._backlog_bytes()):  # the queue tells when it is empty, not when bytes left
            self.update()
        if self.tty is None:
            return
        if self.rate_jobs or self._waiting:
            self._collect()  # a rate change's answer overdue, a device that takes nothing
            self.update()
        self.tty.tick(self.end is not None and self.end is not self.tty)

    def tty_link(self) -> Optional[str]:
        return None if self.tty is None else self.tty.pty.link

    def rfc2217_port(self) -> Optional[int]:
        return self.listeners.tcp_port()

    def socket_path(self) -> Optional[str]:
        return self.listeners.local_path if self.listeners.local_listener is not None else None

    # -- the device side ---------------------------------------------------------------

    def _from_port(self) -> bool:
        """Moves what has arrived to the end holding the channel; whether anything had."""
        try:
            data = self.port.take(65536)
        except (SerialException, OSError, AssertionError) as error:
            self.slot.lost(error)
            return False
        if not data:
            return False
        if self.taps:
            self.slot.taps.tell(self.number, Kind.FROM_DEVICE, data)
        end = self.end
        if end is None:
            return True  # nobody holds the channel: discarded, as a closed tty does
        sink = end.outgoing
        had = len(sink)
        if had > OVERRUN:
            if self.from_device_state is not _DROPPING:
                _log.warning("%s: the client does not read; received data is being dropped", self)
                self.from_device_state = move(self, self.from_device_state, FromDevice.DROPPING,
                                              FROM_DEVICE_MOVES, "from the device: ")
            return True
        if self.from_device_state is not _PASSING:
            self.from_device_state = move(self, self.from_device_state, FromDevice.PASSING, FROM_DEVICE_MOVES,
                                          "from the device: ")
        self.from_device += len(data)
        end.deliver(data)
        if not had:
            end.pass_on()  # at once, rather than after one more turn of the loop
        if (sink and not had) or had < FLOW_WINDOW <= len(sink):
            self.update()  # what the end is watched for changes: bytes wait for it, or too many
        return True

    # -- the way to the device -----------------------------------------------------------

    def send(self, data: bytes) -> None:
        """Bytes from the tty or the client, in their order among the rate changes. The
        capture sees them as they go into the queue, in the pieces it takes."""
        self.to_device += len(data)
        if self._backlog:
            self._backlog.append(bytes(data))
        else:
            self._put(data)
        self.update()

    def _put(self, data: bytes) -> None:
        """Into the queue: what does not fit waits in the backlog, ahead of what comes after."""
        try:
            taken = self.queue.put(data)
        except SerialException as error:
            self._failed(error, len(data))
            return
        self._room = max(0, self._room - taken)
        self._polls.taken += taken
        if taken and self.taps:
            self.slot.taps.tell(self.number, Kind.TO_DEVICE, bytes(data[:taken]))
        if taken < len(data):
            self._backlog.append(bytes(data[taken:]))
        if self._room == 0:
            self._collect()  # the room last heard of is used up: hear again (it may have grown)

    def _failed(self, error: SerialException, count: int) -> None:
        _log.warning("%s: %d bytes not sent: %s", self, count, error)

    def on_queue(self, events: int) -> None:
        self._collect()
        self.update()

    def _collect(self) -> None:
        """Hears from the queue: its room, how many bytes wait, the rate changes that ended;
        then moves the backlog on as far as there is room."""
        try:
            self.queue.put(b"")  # reports a failure of the drain, once
        except SerialException as error:
            self._failed(error, 0)
        room, self._waiting, _, outcomes = self.queue.events()
        self._room = room
        for asked, before, confirmed in outcomes:
            if confirmed == asked:
                _log.debug("%s: baud rate %d in force", self, asked)
                self.rate_done()
            else:
                why = "no answer" if confirmed is None else "the device answered {}".format(confirmed)
                self.rate_refused(asked, before if confirmed is None else confirmed, why)
        while self._backlog and self.to_device_state is not ToDevice.CLOSED:
            item = self._backlog.popleft()
            if isinstance(item, int):
                if self.taps:
                    self.slot.taps.tell(self.number, Kind.RATE, str(item).encode())
                self._queue_change(item)
                continue
            try:
                taken = self.queue.put(item)
            except SerialException as error:
                self._failed(error, len(item))
                continue
            self._room = max(0, self._room - taken)
            self._polls.taken += taken
            if taken and self.taps:
                self.slot.taps.tell(self.number, Kind.TO_DEVICE, item[:taken])
            if taken < len(item):
                self._backlog.appendleft(item[taken:])
                break
        self._stall.note(room == 0, self._waiting)
        self._polls.answer(self._backlog_bytes())

    def _queue_change(self, rate: int) -> None:
        """A rate change from the front of the backlog into the queue."""
        if not self.queue.change_rate(rate):
            self.rate_jobs -= 1  # in place of the change queued right before it (the bytes between were purged)

    def purge(self) -> None:
        """Drops what has not gone to the device yet (an RFC 2217 PURGE-DATA); the rate
        changes keep their order."""
        self.queue.reset()
        self._backlog = collections.deque(item for item in self._backlog if isinstance(item, int))
        self._polls.purged()
        self._collect()
        self.update()

    def when_sent(self, answer: Callable[[], None]) -> None:
        """Calls `answer` once every byte sent so far has reached the device or been purged."""
        self._polls.add(self._backlog_bytes(), answer)

    def _backlog_bytes(self) -> int:
        return sum(len(item) for item in self._backlog if not isinstance(item, int))

    def request_rate(self, rate: int, source: str) -> None:
        """Asks the device for `rate` (from the tty or the RFC 2217 client), after the bytes
        sent before it and ahead of those sent after it."""
        if rate == self.rate:
            return
        if self.taps and not self._backlog:  # else told when it leaves the backlog
            self.slot.taps.tell(self.number, Kind.RATE, str(rate).encode())
        self.rate = rate
        if source != "tty" and self.tty is not None:
            # The tty shows the rate in force (stty), so that a program opening it at
            # another rate changes it, and that change reaches the device.
            self.tty.pty.set_rate(rate)
        if self._backlog:
            if isinstance(self._backlog[-1], int):  # in place of the change queued last
                self._backlog[-1] = rate
                _log.debug("%s: baud rate %d from the %s, in place of the one waiting", self, rate, source)
                return
            self._backlog.append(rate)
        elif not self.queue.change_rate(rate):
            _log.debug("%s: baud rate %d from the %s, in place of the one waiting", self, rate, source)
            return
        _log.info("%s: baud rate %d from the %s", self, rate, source)
        self.rate_jobs += 1

    def rate_refused(self, rate: int, previous: int, error: object) -> None:
        _log.warning("%s: the device refused baud rate %d (%s); the rate in force is %d", self, rate, error, previous)
        if self.rate == rate:
            self.rate = previous
            if self.tty is not None:
                # A program may have set another rate on the tty while this one was on its
                # way: that one is asked for next, rather than overwritten.
                newer = self.tty.pty.rate_changed()
                if newer is not None:
                    self.request_rate(newer, "tty")
                else:
                    self.tty.pty.set_rate(previous)
        self.rate_done()

    def rate_done(self) -> None:
        """A rate change has been confirmed or refused: an RFC 2217 client waiting for its
        answer gets the rate now in force (a refused one then differs from its request)."""
        self.rate_jobs -= 1
        if not self.rate_jobs and self.end is not None:
            self.end.rate_settled()
            self.update()
        elif self.rate_jobs == RATE_BACKLOG - 1:
            self.update()  # input paused for the rate changes goes on

    def holder(self) -> Optional[str]:
        """Who uses the channel now (its tty's program, a client), or None."""
        end = self.end if self.end is not None else self.tty
        return None if end is None else end.holder()

    def named_holder(self) -> Optional[str]:
        """Who holds the channel, once that is known (what a capture starts with)."""
        return self.end.holder() if self.end is not None and self._named else None

    def describe(self) -> ChannelStatus:
        """This channel in the status answer."""
        return {
            "channel": self.number,
            "tty": self.tty_link(),
            "rfc2217_port": self.rfc2217_port(),
            "client": self.holder(),
            "rate": self.rate,
            "from_device": self.from_device,
            "to_device": self.to_device,
            # of that, bytes the device has not taken yet
            "waiting": self.queue.waiting() + self._backlog_bytes(),
        }

    # -- what the loop watches ---------------------------------------------------------

    def update(self) -> None:
        """Sets the events watched on the end holding the channel: input pauses while much waits."""
        state = self.to_device_state
        if self._backlog or self._room <= 0:
            new = _WAITING_ROOM
        elif self.rate_jobs < RATE_BACKLOG:
            new = _TAKING
        else:
            new = _WAITING_RATES
        if new is not state:
            if state is _CLOSED:
                return
            self._move_to_device(new)
        end = self.end
        if end is not None:
            end.watch(new is _TAKING)

    def _move_to_device(self, new: ToDevice) -> None:
        self.to_device_state = move(self, self.to_device_state, new, TO_DEVICE_MOVES, "to the device: ")

    def takes_input(self) -> bool:
        return not self._backlog and self._room > 0 and self.rate_jobs < RATE_BACKLOG

    def input_room(self) -> int:
        """How much to read from the tty or client now: what the queue takes."""
        return self._room
