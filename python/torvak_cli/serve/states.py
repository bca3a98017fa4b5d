"""The states of the service's objects and the moves allowed between them, in one place.
Each owner keeps its state in one field and changes it only through move(), which refuses
a move the table does not allow and says every move in the log at debug level."""
import enum
import logging
from typing import Dict, FrozenSet, Mapping, TypeVar

_log = logging.getLogger("torvak.serve")


class SlotState(enum.Enum):
    """A device's slot; the value is what the status answer says."""

    ABSENT = "absent"  # not attached, or not opened (yet)
    OPENING = "opening"  # its worker opens the channels
    SERVING = "serving"  # its channels are served
    CLOSING = "closing"  # its worker closes the channels


SLOT_MOVES: Dict[SlotState, FrozenSet[SlotState]] = {
    SlotState.ABSENT: frozenset({SlotState.OPENING}),
    # Opened while the service stops: closed again at once.
    SlotState.OPENING: frozenset({SlotState.SERVING, SlotState.ABSENT, SlotState.CLOSING}),
    SlotState.SERVING: frozenset({SlotState.CLOSING}),
    SlotState.CLOSING: frozenset({SlotState.ABSENT}),
}


class BadMove(RuntimeError):
    """A state change the table does not allow: a fault of the service's own."""


State = TypeVar("State", bound=enum.Enum)


def move(owner: object, current: State, new: State, allowed: Mapping[State, FrozenSet[State]],
         way: str = "") -> State:
    """`new`, when `allowed` lets `current` move to it (said at debug level, `way` naming
    which of the owner's states it is); BadMove otherwise, the state unchanged."""
    if new not in allowed[current]:
        raise BadMove("{}: {}{} cannot become {}".format(owner, way, current.name.lower(), new.name.lower()))
    _log.debug("%s: %s%s -> %s", owner, way, current.name.lower(), new.name.lower())
    return new


class ToDevice(enum.Enum):
    """A channel's way to the device: whether the loop reads the end holding the channel."""

    WAITING_ROOM = "waiting for room"  # the queue is full, or bytes wait in the backlog
    WAITING_RATES = "waiting for rates"  # RATE_BACKLOG rate changes wait for the device's answers
    TAKING = "taking"  # the end is read, as much as the queue takes
    CLOSED = "closed"


TO_DEVICE_MOVES: Dict[ToDevice, FrozenSet[ToDevice]] = {
    ToDevice.WAITING_ROOM: frozenset({ToDevice.TAKING, ToDevice.WAITING_RATES, ToDevice.CLOSED}),
    ToDevice.WAITING_RATES: frozenset({ToDevice.TAKING, ToDevice.WAITING_ROOM, ToDevice.CLOSED}),
    ToDevice.TAKING: frozenset({ToDevice.WAITING_ROOM, ToDevice.WAITING_RATES, ToDevice.CLOSED}),
    ToDevice.CLOSED: frozenset(),
}


class FromDevice(enum.Enum):
    """A channel's way from the device to the end holding the channel."""

    PASSING = "passing"  # what the device sends goes to the end (nobody holding it: dropped)
    DROPPING = "dropping"  # the end does not read: beyond OVERRUN, data is dropped
    CLOSED = "closed"


FROM_DEVICE_MOVES: Dict[FromDevice, FrozenSet[FromDevice]] = {
    FromDevice.PASSING: frozenset({FromDevice.DROPPING, FromDevice.CLOSED}),
    FromDevice.DROPPING: frozenset({FromDevice.PASSING, FromDevice.CLOSED}),
    FromDevice.CLOSED: frozenset(),
}
