"""What the service's parts reach of the objects above them, as interfaces: a slot, its
channels and the status socket see the Service as a Host, a channel sees its Slot as a
DeviceSlot. The imports then run one way only, from the service down to its parts."""
import ipaddress
from typing import Any, Callable, Dict, List, Optional, Protocol, Sequence, Set, Union

from torvak_common.capture import Kind
from torvak_common.status import ServiceStatus

from torvak_cli.serve.loop import Posted, Ready
from torvak_cli.serve.refusals import RefusalLog
from torvak_cli.serve.tty_opens import TtyOpens

Network = Union[ipaddress.IPv4Network, ipaddress.IPv6Network]


class Host(Protocol):
    """The service, on the loop (post() alone is for any thread)."""

    pty_dir: str
    gid: Optional[int]
    bind: str
    allow: List[Network]
    rfc2217_open: bool
    stopping: bool
    made_directories: Set[str]
    refusals: RefusalLog
    tty_opens: Optional[TtyOpens]
    post: Callable[[Posted], None]
    watch: Callable[[int, int, Ready], None]
    unwatch: Callable[[int], None]
    call_later: Callable[[float, Posted], None]

    def fail(self, reason: str) -> None: ...

    def rfc2217_first_port(self, serial: str, slot: int) -> Optional[int]:
        """The TCP port of channel 1 of the device `serial` in `slot`; None: no RFC 2217."""

    def publish(self) -> None: ...

    def status(self) -> ServiceStatus: ...

    def device_info(self, serial_number: str, reply: Callable[[Dict[str, Any]], None], echo: bool = True) -> None: ...


class Tapping(Protocol):
    """A device's capture subscribers (serve.taps.Taps), as its channels reach them."""

    def of(self, channel: int) -> Sequence[object]:
        """The subscribers of `channel`, a list kept up to date in place."""

    def tell(self, channel: int, kind: Kind, payload: bytes = b"") -> None: ...


class DeviceSlot(Protocol):
    """A channel's slot, on the loop."""

    service: Host
    serial: str
    index: int

    @property
    def taps(self) -> Tapping: ...

    def lost(self, error: BaseException) -> None: ...
