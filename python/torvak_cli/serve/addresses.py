"""Whether a TCP peer is this machine itself, for a peer that the kernel's socket table
does not hold (access.local_peer is asked first): its address is one the kernel has given
one of this machine's interfaces, or a loopback one. The list is read once, then kept
current from the kernel's notifications of addresses added and removed (so that addresses
added after the service started count), which are taken in at each question: no question
reads the whole list again, however many interfaces there are.

The kernel's own list, not a trial bind(): with ip_nonlocal_bind set, binding succeeds
for any address. A peer cannot make itself look remote: a connection from this machine
has one of its addresses at its end, whatever interface it was bound to."""
import errno
import ipaddress
import socket
import struct
from typing import Dict, Iterator, List, Optional, Set, Tuple, Union

_RTM_GETADDR, _RTM_NEWADDR, _RTM_DELADDR = 22, 20, 21
_RTMGRP_IPV4_IFADDR, _RTMGRP_IPV6_IFADDR = 0x10, 0x100
_NLMSG_DONE, _NLMSG_ERROR = 3, 2
_NLM_F_REQUEST, _NLM_F_DUMP = 0x1, 0x300
_IFA_ADDRESS, _IFA_LOCAL = 1, 2
_HEADER = struct.Struct("=IHHII")  # nlmsghdr
_IFADDRMSG = struct.Struct("=BBBBI")  # family, prefix length, flags, scope, interface index
_RTATTR = struct.Struct("=HH")  # length, type
_MAX_READS = 4096  # answers of one dump; far more than any machine's addresses need


def peer_address(host: str) -> Union[ipaddress.IPv4Address, ipaddress.IPv6Address]:
    """The ip_address of a peer's host text: without its scope ("%v0"), an IPv4-mapped
    IPv6 address as the IPv4 address it stands for. ValueError for anything else."""
    address = ipaddress.ip_address(host.split("%", 1)[0])
    if address.version == 6 and address.ipv4_mapped is not None:
        address = address.ipv4_mapped
    return address


def is_this_machine(address: Union[ipaddress.IPv4Address, ipaddress.IPv6Address]) -> bool:
    """Whether ip_address `address` is one of this machine's own. OSError when the
    kernel's list cannot be read: the caller must then refuse, not guess.

    Link-local addresses are compared without their interface: a client on another link
    that had one of ours would count as local (and be refused unless its user is found),
    never a local one as remote."""
    if address.is_loopback:
        return True
    return keep_addresses().holds(address.packed)


def keep_addresses() -> "KeptAddresses":
    """The list this process keeps, made (and read whole) at the first call; OSError when
    the kernel's list cannot be had."""
    global _kept
    if _kept is None:
        _kept = KeptAddresses()
    return _kept


class KeptAddresses:
    """This machine's addresses, kept from the kernel's notifications (RTNLGRP_IPV4_IFADDR
    and RTNLGRP_IPV6_IFADDR): read whole once, and again only when notifications were lost
    (the socket's buffer overflowed). For one thread: the service's loop."""

    def __init__(self) -> None:
        self._link = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC, socket.NETLINK_ROUTE)
        try:
            self._link.bind((0, _RTMGRP_IPV4_IFADDR | _RTMGRP_IPV6_IFADDR))
            self._link.setblocking(False)
        except OSError:
            self._link.close()
            raise
        self._held: Set[Tuple[int, bytes]] = set()  # (interface index, packed address)
        self._addresses: Dict[bytes, int] = {}  # packed address -> on how many interfaces
        self._whole = False  # the list read whole since notifications were last lost

    def holds(self, packed: bytes) -> bool:
        self._take_notifications()
        if not self._whole:
            # Subscribed before the read: what changes meanwhile is told after it, and
            # applied on top in order.
            self._held = set(_dump())
            self._addresses = {}
            for _, address in self._held:
                self._addresses[address] = self._addresses.get(address, 0) + 1
            self._whole = True
            self._take_notifications()
        return packed in self._addresses

    def _take_notifications(self) -> None:
        for _ in range(_MAX_READS):
            try:
                answer, (sender, _) = self._link.recvfrom(65536)
            except BlockingIOError:
                return
            except OSError as error:
                if error.errno != errno.ENOBUFS:
                    raise
                self._whole = False  # some were lost: the list is read again
                continue
            if sender != 0:  # only the kernel speaks from port 0
                continue
            for kind, key in _messages(answer):
                if kind == _RTM_NEWADDR and key not in self._held:
                    self._held.add(key)
                    self._addresses[key[1]] = self._addresses.get(key[1], 0) + 1
                elif kind == _RTM_DELADDR and key in self._held:
                    self._held.discard(key)
                    left = self._addresses.pop(key[1], 1) - 1
                    if left:
                        self._addresses[key[1]] = left
        self._whole = False  # notifications without end: read the list again

    def close(self) -> None:
        self._link.close()


_kept: Optional[KeptAddresses] = None


def own_addresses() -> Set[bytes]:
    """Every address of every interface (IPv4 and IPv6, link-local ones included) as a set
    of packed addresses (4 or 16 bytes), from the kernel (netlink RTM_GETADDR)."""
    return {address for _, address in _dump()}


def _dump() -> List[Tuple[int, bytes]]:
    """(interface index, packed address) of every address the kernel lists."""
    found: List[Tuple[int, bytes]] = []
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, socket.NETLINK_ROUTE) as link:
        link.settimeout(1.0)
        request = _IFADDRMSG.pack(socket.AF_UNSPEC, 0, 0, 0, 0)
        link.sendto(_HEADER.pack(_HEADER.size + len(request), _RTM_GETADDR, _NLM_F_REQUEST | _NLM_F_DUMP, 1, 0)
                    + request, (0, 0))
        for _ in range(_MAX_READS):
            answer, (sender, _) = link.recvfrom(65536)
            if sender != 0:  # only the kernel answers from port 0
                raise OSError(errno.EPROTO, "address list answer from port {}".format(sender))
            for kind, key in _messages(answer):
                if kind == _NLMSG_DONE:
                    return found
                if kind == _RTM_NEWADDR:
                    found.append(key)
    raise OSError(errno.EPROTO, "the kernel's address list did not end")


def _messages(answer: bytes) -> Iterator[Tuple[int, Tuple[int, bytes]]]:
    """(type, (interface index, packed address)) of each message of one netlink answer
    (an empty address for those that carry none)."""
    at = 0
    while at + _HEADER.size <= len(answer):
        length, kind = _HEADER.unpack_from(answer, at)[:2]
        if length < _HEADER.size or at + length > len(answer):
            raise OSError(errno.EPROTO, "malformed address list answer")
        if kind == _NLMSG_ERROR:
            code = -struct.unpack_from("=i", answer, at + _HEADER.size)[0]
            raise OSError(code, "address list: " + (errno.errorcode.get(code, str(code))))
        key = (0, b"")
        if kind in (_RTM_NEWADDR, _RTM_DELADDR) and length >= _HEADER.size + _IFADDRMSG.size:
            family, _, _, _, index = _IFADDRMSG.unpack_from(answer, at + _HEADER.size)
            attributes = _attributes(answer[at + _HEADER.size + _IFADDRMSG.size:at + length])
            # IFA_LOCAL is the interface's own address; on a point-to-point link
            # IFA_ADDRESS is the other end's, so it counts only where there is no IFA_LOCAL.
            value = attributes.get(_IFA_LOCAL, attributes.get(_IFA_ADDRESS))
            width = {socket.AF_INET: 4, socket.AF_INET6: 16}.get(family)
            if value is not None and len(value) == width:
                key = (index, value)
        yield kind, key
        if kind == _NLMSG_DONE:
            return
        at += (length + 3) & ~3


def _attributes(data: bytes) -> Dict[int, bytes]:
    """{type: value} of the route attributes in `data`."""
    attributes: Dict[int, bytes] = {}
    at = 0
    while at + _RTATTR.size <= len(data):
        length, kind = _RTATTR.unpack_from(data, at)
        if length < _RTATTR.size or at + length > len(data):
            break
        attributes[kind] = bytes(data[at + _RTATTR.size:at + length])
        at += (length + 3) & ~3
    return attributes
