"""Bytes waiting to be written to one channel, shared by the loop (which adds) and the
device's worker (which takes, puts back and counts done) under one lock."""
import threading


class Outbox:
    """Bytes waiting to be written to one channel. The loop appends, the worker takes
    everything at once; `pending` counts what is queued or being written."""

    def __init__(self):
        self._lock = threading.Lock()
        self._data = bytearray()
        self._scheduled = False  # a write job for this box is in the worker's queue
        self.pending = 0  # guarded by _lock

    def add(self, data):
        """Appends; True when the caller must schedule a write job."""
        with self._lock:
            self._data += data
            self.pending += len(data)
            schedule, self._scheduled = not self._scheduled, True
            return schedule

    def take(self, limit):
        """(up to `limit` bytes, whether more is left: then the job stays scheduled and
        must be submitted again)."""
        with self._lock:
            data = bytes(self._data[:limit])
            del self._data[:limit]
            more = bool(self._data)
            self._scheduled = more
            return data, more

    def put_back(self, data):
        """Returns `data`, taken but not written, to the front; True when the caller must
        schedule a write job."""
        with self._lock:
            self._data[:0] = data
            schedule, self._scheduled = not self._scheduled, True
            return schedule

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
