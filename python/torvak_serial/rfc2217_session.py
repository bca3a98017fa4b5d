"""A routed port's side of RFC 2217, under the name it had before the service's side joined
it in torvak_common.rfc2217."""
from torvak_common.rfc2217 import (  # noqa: F401
    MAX_POLLS,
    NOTIFY_LINESTATE,
    PURGE_DATA,
    SERVER_NOTIFY_LINESTATE,
    SERVER_PURGE_DATA,
    SERVER_SET_BAUDRATE,
    SERVER_SIGNATURE,
    SET_BAUDRATE,
    SIGNATURE,
    ClientSession as Session,
    subnegotiation,
)
