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


def move(owner: object, current: State, new: State, allowed: Mapping[State, FrozenSet[State]]) -> State:
    """`new`, when `allowed` lets `current` move to it (said at debug level); BadMove
    otherwise, the state unchanged."""
    if new not in allowed[current]:
        raise BadMove("{}: {} cannot become {}".format(owner, current.name.lower(), new.name.lower()))
    _log.debug("%s: %s -> %s", owner, current.name.lower(), new.name.lower())
    return new
