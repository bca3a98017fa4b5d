"""The zeq_torvak module's background reports as log lines.

The module reports what goes wrong in the background (a reader that stopped, an invalid
reply) with one ``write`` on its ``sys.stderr`` and no line end; ``sys`` is a global of
the module looked up at each report, so it can be stood in for. Each report then becomes
one record of the "torvak.device" logger.
"""
import logging
import sys
from typing import Any, Callable, Optional

from torvak_common.failures import reader_failure_serial

LOGGER = "torvak.device"


def log_report(text: str, level: Optional[int] = None) -> None:
    """One report as one log line (WARNING unless `level` says otherwise)."""
    line = " ".join(str(text).split())
    if line:
        logging.getLogger(LOGGER).log(logging.WARNING if level is None else level, "device report: %s", line)


class _ReportStream:
    def __init__(self, level_of: Callable[[str], Optional[int]]) -> None:
        self._level_of = level_of

    def write(self, text: str) -> int:
        log_report(text, self._level_of(text))
        return len(text)

    def flush(self) -> None:
        pass


class _ModuleSys:
    """The real `sys` but for stderr."""

    def __init__(self, stderr: _ReportStream) -> None:
        self.stderr = stderr

    def __getattr__(self, name: str) -> Any:
        return getattr(sys, name)


def reader_failures_quiet(text: str) -> Optional[int]:
    """DEBUG for the reader's report that it stopped (for a caller that says in its own
    words that a device went away or is held elsewhere), WARNING for the others."""
    return logging.DEBUG if reader_failure_serial(text) is not None else None


def log_module_reports(level_of: Callable[[str], Optional[int]] = lambda text: None) -> None:
    """From now on, every background report of the zeq_torvak module is one log line, at
    the level `level_of(report)` gives (None: WARNING). Reports come on the module's
    reader threads; `level_of` runs there."""
    import zeq_torvak

    zeq_torvak.sys = _ModuleSys(_ReportStream(level_of))  # type: ignore[assignment]
