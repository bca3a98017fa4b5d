"""What waits to go to one channel, in the order the client gave it: bytes, and the rate
changes among them. Shared by the loop (which adds) and the device's worker (which takes,
puts back and counts done) under one lock."""
import collections
import threading


class Outbox:
    """Bytes and rate changes waiting for one channel. The loop appends; the worker takes
    the bytes up to the next rate change, then that change, so that a change goes out after
    the bytes before it and holds back those after it. `pending` counts the bytes queued or
    being written."""

    def __init__(self):
        self._lock = threading.Lock()
        self._data = bytearray()
        self._start = 0  # where _data begins in the stream of bytes ever added
        self._changes = collections.deque()  # [where in that stream it goes, change], in order
        self._scheduled = False  # a write job for this box is in the worker's queue
        self.pending = 0  # guarded by _lock

    def add(self, data):
        """Appends; True when the caller must schedule a write job."""
        with self._lock:
            self._data += data
            self.pending += len(data)
            return self._schedule()

    def add_change(self, change):
        """Queues `change` (a rate change: (rate, the rate before it)) after the bytes added
        so far; True when the caller must schedule a write job. A change that follows a
        queued one with no bytes between takes its place, keeping the rate before both (the
        device need not pass through the first): then None, as no change was added."""
        with self._lock:
            end = self._start + len(self._data)
            if self._changes and self._changes[-1][0] == end:
                self._changes[-1][1] = (change[0], self._changes[-1][1][1])
                return None
            self._changes.append([end, change])
            return self._schedule()

    def _schedule(self):
        schedule, self._scheduled = not self._scheduled, True
        return schedule

    def take(self, limit):
        """(up to `limit` bytes, the change due now or None, whether more is left: then the
        job stays scheduled and must be submitted again). A change comes alone."""
        with self._lock:
            change = None
            if self._changes and self._changes[0][0] == self._start:
                change = self._changes.popleft()[1]
                data = b""
            else:
                if self._changes:
                    limit = min(limit, self._changes[0][0] - self._start)
                data = bytes(self._data[:limit])
                del self._data[:limit]
                self._start += len(data)
            more = bool(self._data or self._changes)
            self._scheduled = more
            return data, change, more

    def put_back(self, data):
        """Returns `data`, taken but not written, to the front (ahead of every change
        queued); True when the caller must schedule a write job."""
        with self._lock:
            self._data[:0] = data
            self._start -= len(data)
            return self._schedule()

    def done(self, count, high_water):
        """`count` bytes have left for good; True when that brought what is pending below
        `high_water` (input paused for it may go on)."""
        with self._lock:
            before = self.pending
            self.pending -= count
            return before >= high_water > self.pending

    def size(self):
        with self._lock:
            return self.pending
