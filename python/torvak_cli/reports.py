"""Standard-error reports that the module writes from its reader thread.

The module reports background failures (a reader that stopped, an invalid reply) with one
``write`` on ``sys.stderr`` and no line end. Written straight to the terminal they would
run into the command's own output, and the reader's failure is the only sign that a
device went away while nothing was being sent. So while a command runs, ``sys.stderr``
is replaced by a recorder (the module looks the stream up at each report): the command
looks at what was reported and decides what the user sees.
"""
import sys
import threading
from types import TracebackType
from typing import IO, Any, List, Optional, Type

from torvak_common import reader_failure_serial


class ReportRecorder:
    """Stands in for ``sys.stderr``; keeps every write as one report."""

    def __init__(self, real: IO[str]) -> None:
        self.real = real  # where the command itself writes meanwhile
        self._lock = threading.Lock()
        self._reports: List[str] = []  # guarded by _lock; written on the reader thread

    def write(self, text: str) -> int:
        with self._lock:
            # The text itself: a report carries what it is about beside its words.
            self._reports.append(text if isinstance(text, str) else str(text))
        return len(text)

    def flush(self) -> None:
        pass

    def __getattr__(self, name: str) -> Any:
        # Anything beyond write and flush (encoding, fileno, isatty) is the real stream's.
        return getattr(self.real, name)

    def reader_failure(self) -> Optional[str]:
        """The reader's failure report, or None while the reader runs."""
        with self._lock:
            for text in self._reports:
                if reader_failure_serial(text) is not None:
                    return text
        return None

    def take(self) -> List[str]:
        """Every report so far; they are forgotten here."""
        with self._lock:
            reports, self._reports = self._reports, []
        return reports


class recording_reports:
    """``with recording_reports() as reports:`` replaces ``sys.stderr`` for the block."""

    def __enter__(self) -> ReportRecorder:
        self._recorder = ReportRecorder(sys.stderr)
        sys.stderr = self._recorder  # a stand-in: write and flush its own, the rest passed on
        return self._recorder

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        sys.stderr = self._recorder.real
