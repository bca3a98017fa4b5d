"""Whether a TCP peer is this machine itself: its address is one the kernel has given one
of this machine's interfaces (asked at each accept, so that addresses added after the
service started count), or a loopback one.

The kernel's own list, not a trial bind(): with ip_nonlocal_bind set, binding succeeds
for any address. A peer cannot make itself look remote: a connection from this machine
has one of its addresses at its end, whatever interface it was bound to."""
import errno
import ipaddress
import socket
import struct
from typing import Dict, Set, Union

_RTM_GETADDR, _RTM_NEWADDR = 22, 20
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
    return address.packed in own_addresses()


def own_addresses() -> Set[bytes]:
    """Every address of every interface (IPv4 and IPv6, link-local ones included) as a set
    of packed addresses (4 or 16 bytes), from the kernel (netlink RTM_GETADDR)."""
    found: Set[bytes] = set()
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, socket.NETLINK_ROUTE) as link:
        link.settimeout(1.0)
        request = _IFADDRMSG.pack(socket.AF_UNSPEC, 0, 0, 0, 0)
        link.sendto(_HEADER.pack(_HEADER.size + len(request), _RTM_GETADDR, _NLM_F_REQUEST | _NLM_F_DUMP, 1, 0)
                    + request, (0, 0))
        for _ in range(_MAX_READS):
            answer, (sender, _) = link.recvfrom(65536)
            if sender != 0:  # only the kernel answers from port 0
                raise OSError(errno.EPROTO, "address list answer from port {}".format(sender))
            if _parse(answer, found):
                return found
    raise OSError(errno.EPROTO, "the kernel's address list did not end")


def _parse(answer: bytes, found: Set[bytes]) -> bool:
    """Adds the addresses of one netlink answer to `found`; True at the end of the dump."""
    at = 0
    while at + _HEADER.size <= len(answer):
        length, kind = _HEADER.unpack_from(answer, at)[:2]
        if length < _HEADER.size or at + length > len(answer):
            raise OSError(errno.EPROTO, "malformed address list answer")
        if kind == _NLMSG_DONE:
            return True
        if kind == _NLMSG_ERROR:
            code = -struct.unpack_from("=i", answer, at + _HEADER.size)[0]
            raise OSError(code, "address list: " + (errno.errorcode.get(code, str(code))))
        if kind == _RTM_NEWADDR and length >= _HEADER.size + _IFADDRMSG.size:
            family = _IFADDRMSG.unpack_from(answer, at + _HEADER.size)[0]
            attributes = _attributes(answer[at + _HEADER.size + _IFADDRMSG.size:at + length])
            # IFA_LOCAL is the interface's own address; on a point-to-point link
            # IFA_ADDRESS is the other end's, so it counts only where there is no IFA_LOCAL.
            value = attributes.get(_IFA_LOCAL, attributes.get(_IFA_ADDRESS))
            width = {socket.AF_INET: 4, socket.AF_INET6: 16}.get(family)
            if value is not None and len(value) == width:
                found.add(value)
        at += (length + 3) & ~3
    return False


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
