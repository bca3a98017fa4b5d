"""Answers that wait for the bytes sent before them to reach the device (an RFC 2217
client's line state poll), in the order asked. A channel's Polls count the bytes its
queue has taken; a poll waits until as many have left the queue as had been sent (taken,
or waiting in the channel's backlog) when it came."""
import collections
from typing import Callable, Deque, Tuple

from torvak_serial.output import QueuedOutput


# A client may poll faster than the device drains: polls at the place of the one before
# share its answer, and past this many waiting places a poll moves the last one on (it is
# answered later than it might be, never before its bytes have left), so what a client
# makes the service keep stays bounded.
MAX_WAITING = 256


class Polls:
    """A channel's waiting answers; the loop's, as the channel is."""

    def __init__(self, queue: QueuedOutput) -> None:
        self._queue = queue
        self.taken = 0  # bytes the queue has taken, ever: the channel counts them
        # (count of bytes taken that must have left the queue, the answer), in order
        self._waiting: Deque[Tuple[int, Callable[[], None]]] = collections.deque()

    def add(self, backlog: int, answer: Callable[[], None]) -> None:
        """`answer` waits for what the queue has taken and the `backlog` bytes to come."""
        count = self.taken + backlog
        if self._waiting and (self._waiting[-1][0] == count or len(self._waiting) >= MAX_WAITING):
            self._waiting[-1] = (count, self._waiting[-1][1])
        else:
            self._waiting.append((count, answer))
        self.answer(backlog)

    def purged(self) -> None:
        """The queue and the backlog have been purged: what each poll waited for is now
        in flight or gone."""
        self._waiting = collections.deque((min(count, self.taken), answer) for count, answer in self._waiting)

    def answer(self, backlog: int) -> bool:
        """Answers the polls whose bytes have left the queue or, when it is empty and no
        bytes wait in the `backlog`, every poll (bytes lost to a failure never leave it);
        whether any was answered."""
        if not self._waiting:
            return False
        waiting = self._queue.waiting()
        left, empty = self.taken - waiting, not waiting and not backlog
        answered = False
        while self._waiting and (empty or self._waiting[0][0] <= left):
            self._waiting.popleft()[1]()
            answered = True
        return answered

    def clear(self) -> None:
        self._waiting.clear()
