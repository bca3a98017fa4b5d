"""The service's status socket DIR/serve.sock: a client sends one JSON line and gets one
back. Requests: {"request": "status"} (every served device and channel, its clients and
byte counts) and {"request": "info", "serial": S} (channel count, firmware version and
an echo's round trip, asked of the device on its worker thread); the answers' shapes are
in torvak_common.status."""
import json
import logging
import os
import selectors
import socket
import time
from typing import Any, Dict, Mapping, Optional

from torvak_common.served import STATUS_SOCKET

from torvak_cli.serve.access import bind_private
from torvak_cli.serve.host import Host

_log = logging.getLogger("torvak.serve")
_LONGEST_REQUEST = 4096
_DEEPEST_REQUEST = 8  # arrays and objects within each other; json.loads recurses on them
_MOST_CONNECTIONS = 32
IDLE_LIMIT = 3.0  # seconds a connection may take to send its request


def _depth(text: str) -> int:
    """How deep arrays and objects nest in JSON `text` (brackets in strings not counted)."""
    depth = deepest = 0
    in_string = escaped = False
    for char in text:
        if in_string:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                in_string = False
        elif char == '"':
            in_string = True
        elif char in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif char in "]}":
            depth -= 1
    return deepest


def parse_request(line: bytes) -> Dict[str, Any]:
    """The request object in one line; ValueError for anything else: longer than
    _LONGEST_REQUEST, not UTF-8, nested deeper than _DEEPEST_REQUEST, not JSON, not an
    object with a "request" text."""
    if len(line) > _LONGEST_REQUEST:
        raise ValueError("request too long")
    text = line.decode()
    if _depth(text) > _DEEPEST_REQUEST:
        raise ValueError("request nested too deep")
    request: Any = json.loads(text)
    if not isinstance(request, dict) or not isinstance(request.get("request"), str):
        raise ValueError("not a request")
    return request


class StatusServer:
    """Runs on the service's loop, which owns every field; answers are written without
    blocking it."""

    def __init__(self, service: Host, directory: str, gid: Optional[int]) -> None:
        self.service = service
        self.path = os.path.join(directory, STATUS_SOCKET)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            bind_private(self.sock, self.path, gid)  # one left by a service that was killed is replaced
            self.sock.listen(64)
            self.sock.setblocking(False)
        except OSError:
            self.sock.close()
            raise
        self._connections: Dict[int, _Connection] = {}  # fd -> _Connection
        service.watch(self.sock.fileno(), selectors.EVENT_READ, self._on_accept)

    def _on_accept(self, events: int) -> None:
        while True:
            try:
                sock, _ = self.sock.accept()
            except OSError:
                return
            self.expire()
            if len(self._connections) >= _MOST_CONNECTIONS:
                # A new request is always answered: the connection that has waited longest
                # without sending one makes way (only those busy being answered are kept).
                waiting = [c for c in self._connections.values() if not c.answered]
                if not waiting:
                    sock.close()
                    continue
                self.forget(min(waiting, key=lambda c: c.since))
            sock.setblocking(False)
            connection = _Connection(self, sock)
            self._connections[sock.fileno()] = connection
            self.service.watch(sock.fileno(), selectors.EVENT_READ, connection.on_ready)

    def expire(self) -> None:
        """Closes the connections that have not sent their request within IDLE_LIMIT."""
        limit = time.monotonic() - IDLE_LIMIT
        for connection in [c for c in self._connections.values() if not c.answered and c.since < limit]:
            self.forget(connection)

    def forget(self, connection: "_Connection") -> None:
        fd = connection.sock.fileno()
        self._connections.pop(fd, None)
        self.service.unwatch(fd)
        connection.sock.close()

    def close(self) -> None:
        for connection in list(self._connections.values()):
            self.forget(connection)
        self.service.unwatch(self.sock.fileno())
        self.sock.close()
        try:
            os.unlink(self.path)
        except OSError:
            pass


class _Connection:
    """One client of the status socket (the loop's, as its fields are)."""

    def __init__(self, server: StatusServer, sock: socket.socket) -> None:
        self.server = server
        self.sock = sock
        self.incoming = bytearray()
        self.outgoing = bytearray()
        self.answered = False
        self.since = time.monotonic()

    def on_ready(self, events: int) -> None:
        try:
            if events & selectors.EVENT_READ and not self.answered:
                data = self.sock.recv(_LONGEST_REQUEST)
                if not data:
                    self.server.forget(self)
                    return
                self.incoming += data
                if b"\n" in self.incoming:
                    self.answered = True
                    # Nothing more is read: a client that sends on or half-closes while its
                    # answer waits for a device's worker must not wake the loop again and again.
                    self.server.service.watch(self.sock.fileno(), 0, self.on_ready)
                    self._handle(bytes(self.incoming.split(b"\n", 1)[0]))
                elif len(self.incoming) > _LONGEST_REQUEST:
                    self.answer({"error": "request too long"})
            if events & selectors.EVENT_WRITE and self.outgoing:
                del self.outgoing[:self.sock.send(self.outgoing)]
                if not self.outgoing:
                    self.server.forget(self)
        except BlockingIOError:
            pass
        except OSError:
            self.server.forget(self)
        except Exception as error:  # this client's fault or this request's: it alone ends
            _log.error("status request failed: %r", error)
            _log.debug("status request failed", exc_info=True)
            self.server.forget(self)

    def _handle(self, line: bytes) -> None:
        try:
            request = parse_request(line)
        except ValueError as error:
            self.answer({"error": "not a request torvak serve knows ({})".format(error)})
            return
        kind = request["request"]
        try:
            if kind == "status":
                self.answer(self.server.service.status())
            elif kind == "info":
                self.server.service.device_info(str(request.get("serial", "")), self.answer,
                                                bool(request.get("echo", True)))
            else:
                self.answer({"error": "unknown request {!r}".format(kind)})
        except Exception as error:
            _log.error("status request %r failed: %r", kind, error)
            _log.debug("status request %r failed", kind, exc_info=True)
            self.answer({"error": "torvak serve could not answer: {!r}".format(error)})

    def answer(self, reply: Mapping[str, Any]) -> None:
        """Sends `reply` (on the loop) and closes once it is out."""
        if self.sock.fileno() < 0:
            return  # the client went away meanwhile
        self.answered = True
        self.outgoing += json.dumps(reply).encode() + b"\n"
        self.server.service.watch(self.sock.fileno(), selectors.EVENT_WRITE, self.on_ready)
