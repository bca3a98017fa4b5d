"""Who may reach a served channel, and which files of the run directory the service trusts.

A channel's tty is mode 0660 in the service's group, so the kernel lets root and that
group's members in; its Unix socket has the same owner and mode. A connection to a TCP
port from one of this machine's own addresses comes from some local user: the kernel's
socket table says which, and the same rule applies to that user."""
import errno
import grp
import ipaddress
import logging
import os
import pwd
import socket
import stat
import struct
from typing import Iterator, List, Optional, Tuple, Union

from torvak_common.served import changeable_above

_log = logging.getLogger("torvak.serve")
_TABLES = {socket.AF_INET: "/proc/net/tcp", socket.AF_INET6: "/proc/net/tcp6"}
Address = Union[ipaddress.IPv4Address, ipaddress.IPv6Address]
Endpoint = Tuple[Address, int]


class UnsafeDirectory(OSError):
    """A run directory, or something in it, that another user could have made or changed."""


def _address(field: str) -> Endpoint:
    """(ip_address, port) of a /proc/net/tcp{,6} address field: the address as 32-bit
    words in host byte order, then the port, in hex."""
    host, port = field.split(":")
    words = [int(host[i:i + 8], 16) for i in range(0, len(host), 8)]
    address = ipaddress.ip_address(struct.pack("={}I".format(len(words)), *words))
    if address.version == 6 and address.ipv4_mapped:
        address = address.ipv4_mapped
    return address, int(port, 16)


def _endpoint(name: Tuple[str, int]) -> Endpoint:
    address = ipaddress.ip_address(name[0].split("%")[0])
    if address.version == 6 and address.ipv4_mapped:
        address = address.ipv4_mapped
    return address, name[1]


def local_peer(sock: socket.socket) -> Tuple[bool, Optional[int]]:
    """Whether the kernel's socket table (of this machine, in the service's network
    namespace) holds the other end of `sock`, an accepted TCP connection, and the uid
    owning it (None when it is not found, or no process holds it any more).

    Found there, a peer is local whatever its address: one a local route gives this machine
    (ip route add local ..., with IP_FREEBIND for IPv6) is on no interface's list. Only a
    socket that some process still holds has a user: once its owner has closed it, the
    kernel keeps it (FIN_WAIT2, TIME_WAIT) with inode 0 and shows uid 0 there, which would
    let anyone in as root by writing and closing before the service accepts."""
    ours, theirs = _endpoint(sock.getsockname()), _endpoint(sock.getpeername())
    try:
        found = _diag_lookup(theirs, ours)
    except OSError:  # no socket diagnostics here: the kernel's tables as text
        found = _table_lookup(theirs, ours)
    if found is None:
        return False, None
    return True, found[0] if found[1] else None


def peer_uid(sock: socket.socket) -> Optional[int]:
    """The uid owning the other end of `sock`, a connection accepted from this machine
    (None when the kernel does not show it, e.g. it is already closed)."""
    return local_peer(sock)[1]


# The kernel's socket diagnostics (what ss uses): one exact lookup by address and port,
# where the text tables must be read whole, which a local user could make take long for
# every connection by leaving thousands of closed ones behind.
_NETLINK_SOCK_DIAG, _SOCK_DIAG_BY_FAMILY, _NLMSG_ERROR, _NLMSG_DONE, _NLM_F_REQUEST = 4, 20, 2, 3, 1
_NLM_F_DUMP = 0x300
_NO_COOKIE = 0xFFFFFFFF
_HEADER = struct.Struct("=IHHII")  # nlmsghdr
_REQUEST = struct.Struct("=BBBBI")  # inet_diag_req_v2 up to its socket id
_OWNER = struct.Struct("=II")  # uid and inode in inet_diag_msg, after its socket id
_OWNER_AT = _HEADER.size + 4 + 48 + 12
_ATTRIBUTE = struct.Struct("=HH")  # nlattr
_OP = struct.Struct("=BBH")  # inet_diag_bc_op: code, where to go on yes, on no
_HOSTCOND = struct.Struct("=BBxxi")  # inet_diag_hostcond: family, prefix length, port; then the address
_REQ_BYTECODE, _BC_S_COND, _BC_D_COND = 1, 7, 8
_NOT_LISTENING = 0xFFFFFFFF & ~(1 << 10)  # every TCP state but LISTEN
_MOST_ANSWERS = 64  # datagrams of one filtered dump: it matches one socket at most


def _diag_lookup(local: Endpoint, remote: Endpoint) -> Optional[Tuple[int, int]]:
    """(uid, inode) of the TCP socket with address `local` connected to `remote`, or None
    when there is none; OSError when this kernel has no socket diagnostics.

    The exact lookup matches a socket bound to an interface (SO_BINDTODEVICE, and every
    link-local connection) only when asked with that interface: where it finds nothing,
    one dump of the table, filtered by the kernel on both addresses and ports, finds the
    socket whatever its interface (IPv4 peers are looked for among IPv6 sockets too, as
    IPv4-mapped ones). A constant number of queries, however many interfaces there are."""
    family = socket.AF_INET if local[0].version == 4 else socket.AF_INET6
    width = 4 if family == socket.AF_INET else 16

    def packed(address: Address) -> bytes:
        return address.packed + bytes(16 - width)

    ports_and_addresses = (struct.pack("!HH", local[1], remote[1]) + packed(local[0]) + packed(remote[0])
                           + struct.pack("=III", 0, _NO_COOKIE, _NO_COOKIE))
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, _NETLINK_SOCK_DIAG) as diag:
        diag.settimeout(1.0)
        request = _REQUEST.pack(family, socket.IPPROTO_TCP, 0, 0, 0xFFFFFFFF) + ports_and_addresses
        for kind, answer, at in _ask(diag, 1, _NLM_F_REQUEST, request):
            if kind == _NLMSG_ERROR:
                error = -struct.unpack_from("=i", answer, at + _HEADER.size)[0]
                if error == errno.ENOENT:
                    break
                raise OSError(error, os.strerror(error))
            return _owner(kind, answer, at)
        # Bound to an interface, or not there at all.
        wanted = _filter(family, local, remote)
        for number, dumped in enumerate((socket.AF_INET, socket.AF_INET6) if family == socket.AF_INET
                                        else (socket.AF_INET6,), 2):
            request = (_REQUEST.pack(dumped, socket.IPPROTO_TCP, 0, 0, _NOT_LISTENING) + bytes(48)
                       + _ATTRIBUTE.pack(_ATTRIBUTE.size + len(wanted), _REQ_BYTECODE) + wanted)
            found: Optional[Tuple[int, int]] = None
            for kind, answer, at in _ask(diag, number, _NLM_F_REQUEST | _NLM_F_DUMP, request):
                if kind == _NLMSG_DONE:
                    break
                if kind == _NLMSG_ERROR:
                    error = -struct.unpack_from("=i", answer, at + _HEADER.size)[0]
                    raise OSError(error, os.strerror(error))
                found = found or _owner(kind, answer, at)
            if found is not None:
                return found
    return None


def _ask(diag: socket.socket, number: int, flags: int, request: bytes) -> Iterator[Tuple[int, bytes, int]]:
    """Sends one request; (type, datagram, offset) of each message of its answer, until
    the caller stops (at the answer's end, as the type says)."""
    diag.sendto(_HEADER.pack(_HEADER.size + len(request), _SOCK_DIAG_BY_FAMILY, flags, number, 0) + request, (0, 0))
    for _ in range(_MOST_ANSWERS):
        answer, (sender, _) = diag.recvfrom(65536)
        if sender != 0:  # only the kernel answers from port 0
            raise OSError(errno.EPROTO, "socket diagnostics answer from port {}".format(sender))
        at = 0
        while at + _HEADER.size <= len(answer):
            length, kind, _, sequence = _HEADER.unpack_from(answer, at)[:4]
            if length < _HEADER.size or at + length > len(answer):
                raise OSError(errno.EPROTO, "malformed socket diagnostics answer")
            if sequence != number:
                raise OSError(errno.EPROTO, "socket diagnostics answer to another request")
            yield kind, answer, at
            at += (length + 3) & ~3
    raise OSError(errno.EPROTO, "the socket diagnostics answer did not end")


def _owner(kind: int, answer: bytes, at: int) -> Tuple[int, int]:
    if kind != _SOCK_DIAG_BY_FAMILY or len(answer) < at + _OWNER_AT + _OWNER.size:
        raise OSError(errno.EPROTO, "unexpected socket diagnostics answer")
    uid, inode = _OWNER.unpack_from(answer, at + _OWNER_AT)
    return int(uid), int(inode)


def _filter(family: int, local: Endpoint, remote: Endpoint) -> bytes:
    """The kernel's filter (inet_diag bytecode) for a socket whose own end is `local` and
    whose other end is `remote`: both conditions hold, or the socket is left out."""
    def condition(endpoint: Endpoint) -> bytes:
        address = endpoint[0].packed
        return _HOSTCOND.pack(family, 8 * len(address), endpoint[1]) + address

    source, destination = condition(local), condition(remote)
    first, second = _OP.size + len(source), _OP.size + len(destination)
    # A "no" that jumps 4 bytes past the end leaves the filter unmatched.
    return (_OP.pack(_BC_S_COND, first, first + second + 4) + source
            + _OP.pack(_BC_D_COND, second, second + 4) + destination)


def _table_lookup(local: Endpoint, remote: Endpoint) -> Optional[Tuple[int, int]]:
    """As _diag_lookup, from /proc/net/tcp{,6}."""
    for path in _TABLES.values():
        try:
            with open(path) as table:
                next(table, None)
                for line in table:
                    fields = line.split()
                    if len(fields) > 9 and _address(fields[1]) == local and _address(fields[2]) == remote:
                        return int(fields[7]), int(fields[9])
        except (OSError, ValueError):
            continue
    return None


def _group_id(name: str) -> Optional[int]:
    """The id of group `name` (a number is taken as it stands); None when there is none."""
    if name.isdigit():
        return int(name)
    try:
        return grp.getgrnam(name).gr_gid
    except KeyError:
        return None


def serving_group(name: str) -> int:
    """The group that the ttys and sockets get, and whose members the RFC 2217 ports let
    in: group `name`, or the service's own where there is no such group or a service not
    run as root is not in it (it could not give its files that group, and its ptys would
    keep the group devpts gives them). A warning says which."""
    gid = _group_id(name)
    if gid is None:
        _log.warning("no group %s: the ttys and sockets get the service's own group", name)
        return os.getegid()
    if os.geteuid() != 0 and gid != os.getegid() and gid not in os.getgroups():
        _log.warning("the service's user is not in group %s: the ttys and sockets get its own group", name)
        return os.getegid()
    return gid


def group_name(gid: Optional[int]) -> str:
    """The ttys' group by name (None: the service's own group)."""
    gid = os.getegid() if gid is None else gid
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def may_use_ttys(uid: Optional[int], gid: Optional[int]) -> bool:
    """Whether user `uid` may open the ttys: root, the service's own user, or a member of
    group `gid` (None: the ttys keep the service's group, and only those two may)."""
    if uid is None:
        return False
    if uid in (0, os.geteuid()):
        return True
    if gid is None:
        return False
    try:
        user = pwd.getpwuid(uid)
        return gid == user.pw_gid or gid in os.getgrouplist(user.pw_name, user.pw_gid)
    except (KeyError, OSError):
        return False


def check_run_directory(path: str) -> None:
    """Raises UnsafeDirectory unless `path` is a directory that only root or this user can
    change: theirs and writable by nobody else, in a place nobody else can change (this
    user's own $XDG_RUNTIME_DIR is exempt from the last rule alone: wherever the session
    put it, it is theirs; it still must be theirs and closed to others)."""
    info = os.stat(path)
    if not stat.S_ISDIR(info.st_mode):
        raise UnsafeDirectory("run directory {} is not a directory".format(path))
    if info.st_uid not in (0, os.geteuid()):
        raise UnsafeDirectory("run directory {} belongs to user {}; it must be root's or the service's "
                              "own".format(path, info.st_uid))
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise UnsafeDirectory("run directory {} can be written by others (mode {:o}); use one that only its "
                              "owner can write".format(path, stat.S_IMODE(info.st_mode)))
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    try:
        if runtime and info.st_uid == os.geteuid() and os.path.samefile(runtime, path):
            return
    except OSError:  # no such runtime directory
        pass
    # Nor may anyone else point it elsewhere or rename it away and put their own in its place.
    above = changeable_above(path)
    if above is not None:
        raise UnsafeDirectory("run directory {} lies in {}, which others can change; use one that only root "
                              "or the service's user can".format(path, above))


def make_run_directory(path: str) -> None:
    """Creates run directory `path` and what is missing above it (mode 0755), only inside a
    directory that nobody else can change or rename (a sticky one such as /tmp will do),
    then checks it as check_run_directory does. Nothing is created through a place others
    control: a link planted there would make root create directories where they chose."""
    missing: List[str] = []
    place = os.path.abspath(path)
    while not os.path.lexists(place):
        missing.append(place)
        place = os.path.dirname(place)
    if missing:
        above, mode = changeable_above(place), os.stat(place).st_mode
        if above is None and mode & (stat.S_IWGRP | stat.S_IWOTH) and not mode & stat.S_ISVTX:
            above = place
        if above is not None:
            raise UnsafeDirectory("run directory {} would lie in {}, which others can change; use one that only "
                                  "root or the service's user can".format(path, above))
        for place in reversed(missing):
            make_own_directory(place)  # one made meanwhile by someone else is refused
    check_run_directory(path)


def make_own_directory(path: str) -> bool:
    """Creates directory `path` (mode 0755); True when this call made it. One that is there
    already is used only when it is a real directory of this user that nobody else can write;
    anything else (a planted link above all) raises UnsafeDirectory and is left alone."""
    try:
        os.mkdir(path, 0o755)
        return True
    except FileExistsError:
        pass
    info = os.lstat(path)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.geteuid() or info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise UnsafeDirectory("{} is there already and is not a directory of the service's own that only it can "
                              "write; left alone".format(path))
    return False


def bind_private(sock: socket.socket, path: str, gid: Optional[int]) -> None:
    """Binds Unix socket `sock` to `path` with mode 0660 in group `gid` from the start (a
    socket's mode comes from the umask at bind). A socket left at `path` by an earlier
    service of this user is replaced; anything else there is refused."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        pass
    else:
        if not stat.S_ISSOCK(info.st_mode) or info.st_uid != os.geteuid():
            raise UnsafeDirectory("{} is there already and is not a socket of the service's own; left "
                                  "alone".format(path))
        os.unlink(path)
    old = os.umask(0o177)
    try:
        sock.bind(path)
    finally:
        os.umask(old)
    if gid is not None:
        try:
            os.chown(path, -1, gid, follow_symlinks=False)
        except OSError as error:  # a group the service's user is not in
            _log.debug("%s keeps the service's group: %s", path, error)
    os.chmod(path, 0o660)
