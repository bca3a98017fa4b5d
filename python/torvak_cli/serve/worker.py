"""The per-device worker thread: everything that may block on USB (opening and closing
channels, writes, baud-rate changes) runs here, never on the event loop."""
import logging
import queue
import threading

_log = logging.getLogger("torvak.serve")


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


class Worker:
    """One thread running jobs (callables) in order. `post` hands a callable to the loop."""

    def __init__(self, name):
        self._jobs = queue.Queue()
        self._thread = threading.Thread(target=self._run, name=name)
        self._thread.start()

    def submit(self, job):
        self._jobs.put(job)

    def finish(self):
        """Ends the thread after the jobs already queued."""
        self._jobs.put(None)

    def join(self, timeout=None):
        self._thread.join(timeout)
        return not self._thread.is_alive()

    def _run(self):
        while True:
            job = self._jobs.get()
            if job is None:
                return
            try:
                job()
            except Exception:  # a job failing must not end the device's worker
                _log.exception("device worker: job failed")
