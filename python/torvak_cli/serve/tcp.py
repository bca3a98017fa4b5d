"""A served channel's socket ends (loop): its RFC 2217 listeners (a Unix socket
DIR/SERIAL/N.sock with the tty's group and mode, and with --rfc2217-port a TCP port), the
one client they admit at a time, and that client's socket."""
import fcntl
import logging
import os
import pwd
import select
import selectors
import socket
import struct
import termios
from typing import Any, Callable, Optional, Tuple

from torvak_common import refusals, rfc2217
from torvak_common.served import CHANNELS_PER_SLOT, FLOW_WINDOW, LOCAL_SOCKET_SUFFIX, MAX_TCP_PORT, rfc2217_port

from torvak_cli.serve.access import bind_private, group_name, local_peer, may_use_ttys
from torvak_cli.serve.addresses import is_this_machine, peer_address
from torvak_cli.serve.ends import Core, events_wanted
from torvak_cli.serve.host import Host
from torvak_cli.serve.rfc2217 import Client

_log = logging.getLogger("torvak.serve")
# A TCP client that has vanished (no FIN, no RST) is dropped after about a minute.
KEEPALIVE = (
    (socket.SO_KEEPALIVE, socket.SOL_SOCKET, 1),
    (getattr(socket, "TCP_KEEPIDLE", None), socket.IPPROTO_TCP, 30),  # seconds idle before the first probe
    (getattr(socket, "TCP_KEEPINTVL", None), socket.IPPROTO_TCP, 5),  # seconds between probes
    (getattr(socket, "TCP_KEEPCNT", None), socket.IPPROTO_TCP, 6),  # probes unanswered before the end
)


def listen(bind: str, port: int) -> socket.socket:
    """A non-blocking listening socket on (`bind`, `port`)."""
    family = socket.AF_INET6 if ":" in bind else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((bind, port))
        sock.listen(16)
        sock.setblocking(False)
    except OSError:
        sock.close()
        raise
    return sock


class Listeners:
    """The channel's RFC 2217 listeners and whom they let in. Every field is the loop's."""

    def __init__(self, channel: Core, service: Host, slot_index: int) -> None:
        self._channel = channel
        self._service = service
        self._slot_index = slot_index
        self.listener: Optional[socket.socket] = None
        self.local_listener: Optional[socket.socket] = None
        self.local_path: Optional[str] = None

    def __str__(self) -> str:
        return str(self._channel)

    def tcp_port(self) -> Optional[int]:
        if self.listener is None:
            return None
        port: int = self.listener.getsockname()[1]
        return port

    def start_local(self, directory: str) -> None:
        """The channel's Unix socket in `directory`, reached by whoever may open its tty."""
        path = os.path.join(directory, "{}{}".format(self._channel.number, LOCAL_SOCKET_SUFFIX))
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            bind_private(sock, path, self._service.gid)
            sock.listen(16)
            sock.setblocking(False)
        except OSError as error:
            sock.close()
            _log.error("%s: no socket at %s: %s", self, path, error)
            return
        self.local_listener, self.local_path = sock, path
        self._service.watch(sock.fileno(), selectors.EVENT_READ, self.on_accept_local)

    def stop(self) -> None:
        if self.listener is not None:
            self._service.unwatch(self.listener.fileno())
            self.listener.close()
            self.listener = None
        if self.local_listener is not None:
            self._service.unwatch(self.local_listener.fileno())
            self.local_listener.close()
            self.local_listener = None
            try:
                os.unlink(self.local_path or "")
            except OSError:
                pass

    def on_accept_local(self, events: int) -> None:
        while self.local_listener is not None:
            try:
                sock, _ = self.local_listener.accept()
            except OSError:
                return
            pid, uid, _ = struct.unpack("3i", sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))
            user: Any
            try:
                user = pwd.getpwuid(uid).pw_name
            except KeyError:
                user = uid
            self._admit(sock, ("user {} (process {})".format(user, pid),))

    def start_listening(self, first: int) -> None:
        """The channel's TCP port, counted from its device's `first` (channel 1's)."""
        service = self._service
        port = rfc2217_port(first, 0, self._channel.number)
        if port is None:
            _log.warning("%s: no RFC 2217 port (only %d per device)", self, CHANNELS_PER_SLOT)
            return
        if port > MAX_TCP_PORT:  # a device found later than those the base was checked for
            _log.warning("%s: no RFC 2217 port (%d is beyond %d)", self, port, MAX_TCP_PORT)
            return
        try:
            self.listener = listen(service.bind, port)
        except OSError as error:
            _log.error("%s: cannot listen on %s port %d: %s", self, service.bind, port, error)
            return
        service.watch(self.listener.fileno(), selectors.EVENT_READ, self.on_accept)

    def on_accept(self, events: int) -> None:
        # Every connection waiting, so that a burst of connects never fills the backlog.
        while self.listener is not None:
            try:
                sock, peer = self.listener.accept()
            except OSError:
                return
            if not self._accept(sock, peer) and self._service.refusals.flooding():
                # Those that come meanwhile wait in the backlog: see RefusalLog.
                self._service.unwatch(self.listener.fileno())
                self._service.refusals.pause(self._resume)
                return

    def _resume(self) -> None:
        if self.listener is not None:
            self._service.watch(self.listener.fileno(), selectors.EVENT_READ, self.on_accept)

    def _accept(self, sock: socket.socket, peer: Tuple[Any, ...]) -> bool:
        """Admits or refuses a TCP client; whether it was refused for who or where it is."""
        service = self._service
        # Who is local is decided by the kernel's socket table first: a peer whose socket
        # it holds is some local user's, whatever address (a local route's included) or
        # interface it used, and gets in only when it names a user who could open the
        # ttys. A peer not found there whose address is still one of ours is local too
        # (and refused: its user cannot be found). Only a peer from elsewhere meets
        # --allow. Whatever cannot be decided is refused.
        uid: Optional[int]
        try:
            address = peer_address(peer[0])
            found, uid = local_peer(sock)
            local = found or is_this_machine(address)
        except (OSError, ValueError) as error:
            self._turn_away(sock, peer, "cannot tell whether it is this machine ({})".format(error),
                            refusals.cannot_place(self))
            return False
        if not local:
            if not any(address in network for network in service.allow if network.version == address.version):
                self._turn_away(sock, peer, "not in --allow")
                return False
        elif not service.rfc2217_open:
            if uid is None:
                self._turn_away(sock, peer, "a local client whose user cannot be found",
                                refusals.only_tty_users(self, group_name(service.gid)))
                return False
            if not may_use_ttys(uid, service.gid):
                self._turn_away(sock, peer, "user {} may not open the ttys".format(uid),
                                refusals.only_tty_users(self, group_name(service.gid)))
                return False
        for option, level, value in KEEPALIVE:
            if option is not None:
                sock.setsockopt(level, option, value)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._admit(sock, peer)
        return True

    def _admit(self, sock: socket.socket, peer: Tuple[Any, ...]) -> None:
        busy = self._channel.busy()
        if busy is not None:
            self._turn_away(sock, peer, "the channel is in use by " + busy, refusals.in_use(self, busy),
                            logging.INFO)
            return
        sock.setblocking(False)
        # Little is taken from a client that the device cannot keep up with, so that its
        # writes block (as a direct port's do) instead of filling buffers.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, FLOW_WINDOW)
        end = SocketEnd(self._channel, self._service, Client(self._channel, sock, peer))
        _log.debug("%s: connection from %s", self, end.client)
        self._channel.hold(end, introduced=False)

    def _turn_away(self, sock: socket.socket, peer: Tuple[Any, ...], reason: str, told: Optional[str] = None,
                   level: int = logging.WARNING) -> None:
        """Refuses a client: logs `reason` (once a minute per peer address), tells the client
        `told` (in the protocol, if its socket takes it; nothing when None) and closes."""
        try:
            address = str(peer_address(peer[0]))
        except ValueError:  # a client of the Unix socket, named by its user and process
            address = peer[0]
        self._service.refusals.refused(address, level, "%s: RFC 2217 client %s refused: %s", self, peer[0], reason)
        if told is not None:
            try:
                sock.setblocking(False)
                sock.send(rfc2217.refusal(told))
            except OSError:
                pass
        sock.close()


class SocketEnd:
    """An admitted RFC 2217 client holding the channel: its socket and what waits for it.
    Every field is the loop's."""

    def __init__(self, channel: Core, service: Host, client: Client) -> None:
        self._channel = channel
        self._service = service
        self.client = client
        self.sock = client.sock
        self.outgoing = client.outgoing  # the client's own buffer, only ever changed in place
        self.deliver: Callable[[bytes], None] = client.send_data  # telnet's IAC doubled
        self._watch_fd = service.watch
        self._ready = self.on_ready  # made once: watch() runs at every event

    def __str__(self) -> str:
        return str(self._channel)

    # -- the End interface ---------------------------------------------------------------

    def pass_on(self) -> None:
        try:
            del self.outgoing[:self.sock.send(self.outgoing, socket.MSG_DONTWAIT)]
        except OSError:
            pass  # full, or gone: the loop finds out

    def watch(self, takes_input: bool) -> None:
        self._watch_fd(self.sock.fileno(), events_wanted(self.outgoing, takes_input), self._ready)

    def rate_settled(self) -> None:
        self.client.rate_settled()

    def holder(self) -> Optional[str]:
        return "{} {}".format(self.client.kind(), self.client)

    def busy(self) -> Optional[str]:
        self._settle()
        return None if self.sock.fileno() < 0 else "another {} ({})".format(self.client.kind(), self.client)

    def drop(self, why: Optional[str]) -> None:
        if self.sock.fileno() < 0:
            return
        if why:
            _log.info("%s: %s %s %s", self, self.client.kind(), self.client, why)
        self._service.unwatch(self.sock.fileno())
        self.sock.close()
        self._channel.release(self)

    # -- the loop's callbacks --------------------------------------------------------------

    def on_ready(self, events: int) -> None:
        channel, client = self._channel, self.client
        try:
            if events & selectors.EVENT_WRITE and self.outgoing:
                sent = self.sock.send(self.outgoing[:262144])
                del self.outgoing[:sent]
            if events & selectors.EVENT_READ and channel.takes_input():
                # No more than the queue takes: the data in it is never more than that.
                data = self.sock.recv(min(65536, channel.input_room()))
                if not data:
                    self.drop("disconnected")
                    return
                spoken = client.spoken
                try:
                    client.received(data)
                except Exception as error:  # input no RFC 2217 client sends
                    self.drop("dropped: bad RFC 2217 input ({!r})".format(error))
                    return
                if client.spoken and not spoken:
                    holder = "{} {}".format(client.kind(), client)
                    _log.info("%s: %s connected", self, holder)
                    channel.introduced(self, holder)
        except BlockingIOError:
            pass
        except OSError as error:
            self.drop("lost ({})".format(error))
            return
        except Exception as error:  # whatever this client caused ends this client alone
            _log.error("%s: %s %s failed: %r", self, client.kind(), client, error)
            self.drop("dropped")
            return
        channel.update()

    def _settle(self) -> None:
        """Takes what the client has sent, so that a client which has closed its end
        (its end of file not seen by the loop yet) is dropped before a new one is judged."""
        for _ in range(8):
            if self.sock.fileno() < 0:
                return
            try:
                poller = select.poll()
                poller.register(self.sock, select.POLLIN)
                if not poller.poll(0):
                    return
                error = self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if error:
                    raise OSError(error, os.strerror(error))
                if not struct.unpack("i", fcntl.ioctl(self.sock.fileno(), termios.FIONREAD, b"\0" * 4))[0]:
                    self.drop("disconnected")  # readable with nothing queued: its end of file
                    return
            except OSError as error:
                self.drop("lost ({})".format(error))
                return
            self.on_ready(selectors.EVENT_READ)
