"""pyserial's RFC 2217 client over a Unix socket: the service's channels are reached
through DIR/SERIAL/N.sock, whose owner, group and mode say who may connect, as the tty's
do. pyserial's client opens its connection with socket.create_connection(); the module
it uses for that is given a stand-in that connects a LocalAddress over AF_UNIX and hands
everything else (every other address, every other name) to the socket module itself."""
import socket
from typing import Any

import serial.rfc2217


class LocalAddress(str):
    """The path of a Unix socket, where pyserial's client expects (host, port)."""


class _UnixSocket(socket.socket):
    def setsockopt(self, level: int, option: int, *value: Any) -> None:
        if level == socket.IPPROTO_TCP:
            return  # TCP_NODELAY: a Unix socket has no Nagle to turn off
        super().setsockopt(level, option, *value)


class _SocketModule:
    def __getattr__(self, name: str) -> Any:
        return getattr(socket, name)

    @staticmethod
    def create_connection(address: Any, *args: Any, **options: Any) -> socket.socket:
        if not isinstance(address, LocalAddress):
            return socket.create_connection(address, *args, **options)
        sock = _UnixSocket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.settimeout(options.get("timeout", args[0] if args else None))
            sock.connect(str(address))
        except BaseException:
            sock.close()
            raise
        return sock


def install() -> None:
    """Lets pyserial's RFC 2217 client connect to a LocalAddress (idempotent)."""
    client_module: Any = serial.rfc2217
    if not isinstance(client_module.socket, _SocketModule):
        client_module.socket = _SocketModule()
