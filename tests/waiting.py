"""Polling for a condition that another thread or process brings about."""
import time


def wait_until(predicate, timeout=2.0, interval=0.005):
    """Polls predicate() until it is true or timeout seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)
