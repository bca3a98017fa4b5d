"""A thread running jobs in order: under each device, everything that may block on USB
(opening and closing channels, device queries) runs on one, never on the event loop."""
import logging
import queue
import threading
from typing import Callable, Optional

_log = logging.getLogger("torvak.serve")

Job = Callable[[], None]


class Worker:
    """One thread running jobs (callables) in order. A job that fails is logged; should
    the thread itself end otherwise, `died(error)` is called on it.

    Any thread may submit and finish; the queue is the only field the thread shares."""

    def __init__(self, name: str, died: Optional[Callable[[BaseException], None]] = None) -> None:
        self._jobs: "queue.Queue[Optional[Job]]" = queue.Queue()
        self._died = died
        # A daemon: a thread stuck in a USB call must not keep the process from ending once
        # the service has given up waiting for it.
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def submit(self, job: Job) -> None:
        self._jobs.put(job)

    def finish(self) -> None:
        """Ends the thread after the jobs already queued."""
        self._jobs.put(None)

    def join(self, timeout: Optional[float] = None) -> bool:
        self._thread.join(timeout)
        return not self._thread.is_alive()

    def alive(self) -> bool:
        return self._thread.is_alive()

    def _run(self) -> None:
        try:
            while True:
                job = self._jobs.get()
                if job is None:
                    return
                try:
                    job()
                except Exception:  # a job failing must not end the device's worker
                    _log.exception("device worker: job failed")
        except BaseException as error:  # the thread ends here: the service must know
            if self._died is not None:
                self._died(error)
