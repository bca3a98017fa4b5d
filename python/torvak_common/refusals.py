"""What torvak serve tells an RFC 2217 client it turns away, and how it says it: the
reason, written here once, goes out as the access server's signature (a COM-PORT-OPTION
subnegotiation, which stock clients pass over), then as one plain line for a person at a
terminal; then the connection closes. A client of this project raises the signature's
text as it stands."""

# Telnet and RFC 2217 bytes of the signature: IAC SB COM-PORT-OPTION SIGNATURE (as the
# access server sends it) ... IAC SE.
_IAC, _SB, _SE = b"\xff", b"\xfa", b"\xf0"
COM_PORT_OPTION = b"\x2c"
SERVER_SIGNATURE = b"\x64"
# The plain line's start.
LINE_PREFIX = "torvak serve: "


def in_use(channel: object, holder: str) -> str:
    return "{} is in use by {}".format(channel, holder)


def join_group(group: str) -> str:
    """What to do to become one of `group`."""
    return "sudo usermod -aG {} $USER, then log in again".format(group)


def only_tty_users(channel: object, group: str) -> str:
    return "{} is only for users who may open its tty, members of group {}: {}".format(channel, group, join_group(group))


def no_capture(device: object, group: str) -> str:
    return "only users who may open the ttys of device {}, members of group {}, may capture them: {}".format(
        device, group, join_group(group))


def cannot_place(channel: object) -> str:
    return "{} cannot tell where the client is".format(channel)


def printable(text: str) -> str:
    """`text` from a service, as a client shows it: unprintable characters (escapes that
    would steer a terminal, line ends that would forge a log line) replaced by "?"."""
    return "".join(c if c.isprintable() else "?" for c in text)


def refusal_wire(reason: str) -> bytes:
    """The bytes sent to a client refused for `reason`, before the service closes."""
    text = reason.encode("utf-8", "replace")
    signature = _IAC + _SB + COM_PORT_OPTION + SERVER_SIGNATURE + text.replace(_IAC, _IAC * 2) + _IAC + _SE
    return signature + "{}{}\r\n".format(LINE_PREFIX, reason).encode("utf-8", "replace")
