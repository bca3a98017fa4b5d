"""One service per run directory: a service holds an flock on DIR/serve.lock, with its
pid written in it, from before it touches anything there until it ends. The file itself
stays: removing it would let a later service lock a new file while an earlier one still
holds the old. Clients tell whether a service runs by this lock alone, never by the pid.
The file is the service user's alone: anyone who could open it could take a shared lock
and keep it, and every later service would find its directory taken. Other users ask the
status socket instead."""
import fcntl
import os
import time

from torvak_common.served import LOCK_FILE

PROBE_TRIES = 50  # 10 ms apart


class DirectoryTaken(Exception):
    """Another service runs in the directory."""


def lock_run_directory(directory: str) -> int:
    """The descriptor that holds DIR's lock, to be kept open for the service's life;
    DirectoryTaken naming the running service otherwise. The directory has passed
    access.check_run_directory: nobody else can change it."""
    path = os.path.join(directory, LOCK_FILE)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        os.fchmod(fd, 0o600)  # one left by an earlier version was readable by all
        # Clients probe the lock with a shared lock held for an instant: tried a few times.
        for _ in range(PROBE_TRIES - 1):
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                time.sleep(0.01)
        else:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        try:
            holder = int(os.pread(fd, 32, 0).decode("ascii", "replace").strip() or "0")
        except (OSError, ValueError):
            holder = 0
        os.close(fd)
        raise DirectoryTaken("another torvak serve{} runs in {}".format(
            " (process {})".format(holder) if holder > 0 else "", directory)) from None
    except BaseException:
        os.close(fd)
        raise
    os.ftruncate(fd, 0)
    os.pwrite(fd, "{}\n".format(os.getpid()).encode(), 0)
    return fd
