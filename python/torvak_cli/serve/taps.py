"""A device's capture socket (DIR/SERIAL/capture.sock, see torvak_common.capture): who may
subscribe to its channels, and the records sent to them.

A subscriber never slows a channel: each record is one non-blocking send to each of the
channel's subscribers, dropped when that socket is full (and counted, for the next record
that gets through, or for a subscriber that got behind and then saw no more traffic, the
LOST record sent as soon as its socket takes one). Everything here runs on the loop. A channel keeps the list of its
subscribers that this object fills, so that with nobody subscribed its data path costs one
test of an empty list."""
import logging
import os
import pwd
import selectors
import socket
import struct
import time
from typing import Callable, Dict, List, Optional

from torvak_common import refusals
from torvak_common.capture import (
    CAPTURE_SOCKET, LONGEST_REQUEST, MOST_CHANNELS, Kind, header, held_payload, hello_payload, parse_subscribe)

from torvak_cli.serve.access import bind_private, group_name, may_use_ttys
from torvak_cli.serve.host import Host

_log = logging.getLogger("torvak.serve")
MOST_SUBSCRIBERS = 16  # per device
MOST_PER_USER = 4  # of those, one user's: nobody's silent or reconnecting clients take them all
MOST_REFUSING = 32  # clients waiting to send their request before they are told why they are refused
SEND_BUFFER = 1 << 20  # what a subscriber's socket holds before records are dropped
REQUEST_LIMIT = 3.0  # seconds a client may take to send its request
_PEERCRED = struct.Struct("3i")
_FLAGS = socket.MSG_DONTWAIT | socket.MSG_NOSIGNAL


class Subscriber:
    """One client of the capture socket (the loop's, as its fields are)."""

    def __init__(self, sock: socket.socket, who: str, uid: Optional[int] = None) -> None:
        self.sock = sock
        self.who = who
        self.uid = uid
        self.channels: Optional[List[int]] = None  # set once its request is in
        self.refusal: Optional[str] = None  # why it is refused, said once its request is in
        self.dropped = 0  # records lost since the last one that got through
        self.since = time.monotonic()

    def send(self, channel: int, kind: Kind, micros: int, payload: bytes) -> bool:
        """One record, without waiting; False when the subscriber has gone."""
        try:
            self.sock.sendmsg([header(channel, kind, self.dropped, micros, len(payload)), payload], [], _FLAGS)
        except BlockingIOError:
            self.dropped += 1
            return True
        except OSError:
            return False
        self.dropped = 0
        return True

    def catch_up(self) -> bool:
        """Tells a subscriber that lost records how many, in a LOST record of its own (its
        socket has room); False when the subscriber has gone."""
        try:
            self.sock.sendmsg([header(0, Kind.LOST, self.dropped, time.time_ns() // 1000, 0)], [], _FLAGS)
        except BlockingIOError:
            return True
        except OSError:
            return False
        self.dropped = 0
        return True


class Taps:
    """The capture socket of the device in one slot and its subscribers, kept across the
    device's going and coming for the service's life."""

    def __init__(self, service: Host, serial_number: str, rates: Callable[[], Dict[int, int]],
                 holders: Callable[[], Dict[int, str]] = dict) -> None:
        self.service = service
        self.serial = serial_number
        self._rates = rates  # channel -> baud rate now, of the device's channels while served
        self._holders = holders  # channel -> who holds it now, of the channels held
        self.listener: Optional[socket.socket] = None
        self.path: Optional[str] = None
        self.subscribers: Dict[int, Subscriber] = {}  # fd -> subscriber
        self.by_channel: Dict[int, List[Subscriber]] = {}  # the lists the channels hold
        self.serving = False

    def of(self, channel: int) -> List[Subscriber]:
        """The subscribers of `channel`: a list kept up to date in place."""
        return self.by_channel.setdefault(channel, [])

    def start(self, directory: str) -> None:
        """Listens in `directory` (DIR/SERIAL), once."""
        if self.listener is not None:
            return
        path = os.path.join(directory, CAPTURE_SOCKET)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            bind_private(sock, path, self.service.gid)
            sock.listen(16)
            sock.setblocking(False)
        except OSError as error:
            sock.close()
            _log.error("device %s: no capture socket at %s: %s", self.serial, path, error)
            return
        self.listener, self.path = sock, path
        self.service.watch(sock.fileno(), selectors.EVENT_READ, self._on_accept)

    def close(self) -> None:
        for subscriber in list(self.subscribers.values()):
            if subscriber.dropped:
                subscriber.catch_up()  # the count, where the socket takes it
            self._forget(subscriber)
        if self.listener is not None:
            self.service.unwatch(self.listener.fileno())
            self.listener.close()
            self.listener = None
            try:
                os.unlink(self.path or "")
            except OSError:
                pass

    # -- what happens on the device -------------------------------------------------------

    def tell(self, channel: int, kind: Kind, payload: bytes = b"") -> None:
        """A record of `channel` (0: the device) to everyone subscribed to it."""
        micros = time.time_ns() // 1000
        if channel == 0:  # those whose request is in (and who were let in) alone
            targets = [s for s in self.subscribers.values() if s.channels is not None]
        else:
            targets = list(self.by_channel.get(channel, ()))
        for subscriber in targets:
            behind = subscriber.dropped
            if not subscriber.send(channel, kind, micros, payload):
                self._forget(subscriber)
            elif subscriber.dropped and not behind:  # told how many once its socket has room
                self._watch(subscriber, selectors.EVENT_READ | selectors.EVENT_WRITE)

    def device_back(self) -> None:
        self.serving = True
        if self.subscribers:
            self.tell(0, Kind.BACK, hello_payload(self.serial, self._rates(), True))

    def device_gone(self) -> None:
        self.serving = False
        if self.subscribers:
            self.tell(0, Kind.GONE)

    # -- subscribers ---------------------------------------------------------------------

    def _on_accept(self, events: int) -> None:
        while self.listener is not None:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self._admit(sock)
        self.expire()

    def _admit(self, sock: socket.socket) -> None:
        """The rule of the ttys, by the peer's credentials; whatever cannot be told refuses."""
        uid: Optional[int]
        try:
            pid, uid, _ = _PEERCRED.unpack(sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, _PEERCRED.size))
        except (OSError, struct.error):
            pid, uid = 0, None
        try:
            who = "user {} (process {})".format(pwd.getpwuid(uid).pw_name if uid is not None else "?", pid)
        except KeyError:
            who = "user {} (process {})".format(uid, pid)
        sock.setblocking(False)
        subscriber = Subscriber(sock, who, uid)
        # A refused client is told why once its request is in: closed with the request
        # unread, the socket would reset and the client never read why. Only those let in
        # take a slot.
        admitted = [s for s in self.subscribers.values() if s.refusal is None]
        if not may_use_ttys(uid, self.service.gid):
            subscriber.refusal = refusals.no_capture(self.serial, group_name(self.service.gid))
        elif sum(s.uid == uid for s in admitted) >= MOST_PER_USER:
            subscriber.refusal = "{} has {} capture clients of device {} already".format(
                who.split(" (")[0], MOST_PER_USER, self.serial)
        elif len(admitted) >= MOST_SUBSCRIBERS:
            subscriber.refusal = "device {} has {} capture clients already".format(self.serial, MOST_SUBSCRIBERS)
        if subscriber.refusal is not None and len(self.subscribers) - len(admitted) >= MOST_REFUSING:
            self._refuse(sock, who, subscriber.refusal)  # too many waiting: told now
            return
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
        except OSError:
            pass
        self.subscribers[sock.fileno()] = subscriber
        self._watch(subscriber, selectors.EVENT_READ)

    def _watch(self, subscriber: Subscriber, events: int) -> None:
        self.service.watch(subscriber.sock.fileno(), events, lambda ready: self._on_ready(subscriber, ready))

    def _refuse(self, sock: socket.socket, who: str, why: str) -> None:
        self.service.refusals.refused(who.split(" (")[0], logging.WARNING, "device %s: capture client %s refused: %s",
                                      self.serial, who, why)
        try:
            sock.sendmsg([header(0, Kind.REFUSED, 0, 0, len(why.encode())), why.encode()], [], _FLAGS)
            for _ in range(4):  # what it sent, read: a socket closed with it unread would reset
                sock.recv(LONGEST_REQUEST + 1, socket.MSG_DONTWAIT)
        except OSError:
            pass
        sock.close()

    def _on_ready(self, subscriber: Subscriber, events: int = selectors.EVENT_READ) -> None:
        if events & selectors.EVENT_WRITE:
            if not subscriber.catch_up():
                self._forget(subscriber)
                return
            if not subscriber.dropped:
                self._watch(subscriber, selectors.EVENT_READ)
            if not events & selectors.EVENT_READ:
                return
        try:
            request = subscriber.sock.recv(LONGEST_REQUEST + 1)
        except BlockingIOError:
            return
        except OSError:
            request = b""
        if not request or subscriber.channels is not None:
            self._forget(subscriber)  # gone, or saying more than its one request
            return
        if subscriber.refusal is not None:
            self._forget(subscriber, close=False)
            self._refuse(subscriber.sock, subscriber.who, subscriber.refusal)
            return
        try:
            wanted = parse_subscribe(request)
        except (ValueError, RecursionError) as error:
            _log.info("device %s: capture client %s: %r", self.serial, subscriber.who, error)
            self._forget(subscriber)
            return
        subscriber.channels = wanted if wanted is not None else list(range(1, MOST_CHANNELS + 1))
        if not subscriber.send(0, Kind.HELLO, 0, hello_payload(self.serial, self._rates(), self.serving)):
            self._forget(subscriber)
            return
        # Who holds each channel now, and at what rate: a capture started in the middle of
        # a session says so before its first packet.
        micros = time.time_ns() // 1000
        rates = self._rates()
        for number, holder in sorted(self._holders().items()):
            if number in subscriber.channels and not subscriber.send(
                    number, Kind.HELD, micros, held_payload(holder, rates.get(number))):
                self._forget(subscriber)
                return
        for number in subscriber.channels:
            self.of(number).append(subscriber)
        _log.info("device %s: capture client %s subscribed", self.serial, subscriber.who)

    def expire(self) -> None:
        """Drops the clients that have not sent their request within REQUEST_LIMIT."""
        limit = time.monotonic() - REQUEST_LIMIT
        for subscriber in [s for s in self.subscribers.values() if s.channels is None and s.since < limit]:
            if subscriber.refusal is not None:  # told why, without its request
                self._forget(subscriber, close=False)
                self._refuse(subscriber.sock, subscriber.who, subscriber.refusal)
            else:
                self._forget(subscriber)

    def _forget(self, subscriber: Subscriber, close: bool = True) -> None:
        fd = subscriber.sock.fileno()
        if self.subscribers.pop(fd, None) is None:
            return
        for listed in self.by_channel.values():
            if subscriber in listed:
                listed.remove(subscriber)
        self.service.unwatch(fd)
        if close:
            subscriber.sock.close()
        _log.debug("device %s: capture client %s gone", self.serial, subscriber.who)
