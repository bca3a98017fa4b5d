"""What torvak serve tells an RFC 2217 client it turns away, and how it says it: the
reason, written here once, goes out as the access server's signature (a COM-PORT-OPTION
subnegotiation, which stock clients pass over), then as one plain line for a person at a
terminal (torvak_common.rfc2217.refusal); then the connection closes. A client of this
project raises the signature's text as it stands."""

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

