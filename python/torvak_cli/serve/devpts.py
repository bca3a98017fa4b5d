"""The service's own pty instance: a devpts mounted with newinstance at DIR/pts, whose
ptmx only the service's user may open (mode 0600) and whose ttys get mode 0660 and the
ttys' group. A tty's link DIR/SERIAL/N then leads into this instance alone: nobody else
can allocate a pty there, and when the service dies, however it dies, the kernel removes
its ttys' nodes with their masters, so a stale link leads nowhere instead of to whatever
pty another user was given that number in /dev/pts.

A mount left behind by a service that was killed is unmounted by the next one, and links
into it (or into /dev/pts) are removed before any channel is served. Where the instance
cannot be had (not root, no devpts, a mount namespace of the service's own that users
would not see), the service says so once and its ptys come from /dev/pts as any
program's do."""
import ctypes
import ctypes.util
import errno
import fcntl
import logging
import os
import stat
import struct
from typing import Any, Optional, Tuple

_log = logging.getLogger("torvak.serve")

MOUNT_NAME = "pts"
TIOCGPTN = 0x80045430
TIOCSPTLCK = 0x40045431
TIOCGPTPEER = 0x5441
_MS_NOSUID, _MS_NOEXEC = 0x2, 0x8
_MNT_DETACH, _UMOUNT_NOFOLLOW = 0x2, 0x8
_MOST_STALE = 8  # mounts stacked at DIR/pts that one start unmounts at most


def _libc() -> Any:
    libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
    libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p]
    libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]
    return libc


def _mounted_on(path: str) -> bool:
    """Whether something is mounted on `path` (a real directory, never followed)."""
    try:
        here, above = os.lstat(path), os.lstat(os.path.dirname(path))
    except OSError:
        return False
    return stat.S_ISDIR(here.st_mode) and here.st_dev != above.st_dev


def _unmount(libc: Any, path: str) -> bool:
    """Detaches what is mounted on `path` without following a link there; whether it went."""
    if libc.umount2(os.fsencode(path), _MNT_DETACH | _UMOUNT_NOFOLLOW) != 0:
        code = ctypes.get_errno()
        _log.warning("cannot unmount %s: %s", path, os.strerror(code))
        return False
    return True


def _users_see_our_mounts() -> bool:
    """False when the service runs in a mount namespace other than init's (a unit with
    PrivateTmp= or ProtectSystem=, say): a mount made here would not be seen by users, and
    their ttys' links would lead nowhere. Where that cannot be told, they are taken to."""
    try:
        return os.stat("/proc/self/ns/mnt").st_ino == os.stat("/proc/1/ns/mnt").st_ino
    except OSError:
        return True


def clear_stale_links(directory: str, instance: str) -> None:
    """Removes the ttys' links that an earlier service of `directory` left in DIR/SERIAL
    (it was killed): each leads into a pty instance (`instance`, or /dev/pts) that is not
    this service's, or not yet. Only links in real directories of this user are touched."""
    prefixes = (os.path.join(instance, ""), "/dev/pts/")
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        place = os.path.join(directory, name)
        try:
            info = os.lstat(place)
            if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.geteuid() or name == MOUNT_NAME:
                continue
            entries = os.listdir(place)
        except OSError:
            continue
        for entry in entries:
            link = os.path.join(place, entry)
            try:
                if stat.S_ISLNK(os.lstat(link).st_mode) and os.readlink(link).startswith(prefixes):
                    os.unlink(link)
                    _log.debug("stale link %s removed", link)
            except OSError:
                continue


class PtyInstance:
    """The mounted instance at DIR/pts (the loop's)."""

    def __init__(self, path: str, libc: Any) -> None:
        self.path = path
        self._libc = libc
        self._ptmx = os.path.join(path, "ptmx")

    @classmethod
    def mount(cls, directory: str, gid: Optional[int]) -> Optional["PtyInstance"]:
        """The instance, mounted afresh at DIR/pts (an earlier service's unmounted first);
        None, said once, where there can be none. `directory` has passed the run directory's
        checks and its lock is held: nobody else changes it meanwhile."""
        path = os.path.join(directory, MOUNT_NAME)
        try:
            libc = _libc()
        except OSError as error:
            _log.warning("ttys' links lead to /dev/pts (no C library to mount a pty instance: %s)", error)
            return None
        if os.geteuid() != 0:
            _log.info("ttys' links lead to /dev/pts: a pty instance of the service's own needs root")
            return None
        for _ in range(_MOST_STALE):
            if not _mounted_on(path) or not _unmount(libc, path):
                break
        if _mounted_on(path):
            _log.warning("ttys' links lead to /dev/pts: %s is still mounted", path)
            return None
        try:
            info = os.lstat(path)
        except FileNotFoundError:
            os.mkdir(path, 0o755)
            info = os.lstat(path)
        if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.geteuid() or info.st_mode & 0o022:
            _log.warning("ttys' links lead to /dev/pts: %s is not a directory of the service's own; left alone", path)
            return None
        if not _users_see_our_mounts():
            _log.warning("ttys' links lead to /dev/pts: the service has a mount namespace of its own, where users "
                         "would not see its pty instance (run it without PrivateTmp=, ProtectSystem=, "
                         "ProtectHome= and the like)")
            return None
        options = "newinstance,ptmxmode=0600,mode=0660{}".format(",gid={}".format(gid) if gid is not None else "")
        if libc.mount(b"devpts", os.fsencode(path), b"devpts", _MS_NOSUID | _MS_NOEXEC, options.encode()) != 0:
            code = ctypes.get_errno()
            _log.warning("ttys' links lead to /dev/pts: cannot mount a pty instance at %s: %s", path,
                         os.strerror(code))
            return None
        _log.debug("ptys come from the instance at %s", path)
        return cls(path, libc)

    def open_pair(self) -> Tuple[int, int, str]:
        """(master, slave, the slave's path) of a new pty of this instance."""
        master = os.open(self._ptmx, os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC)
        try:
            fcntl.ioctl(master, TIOCSPTLCK, struct.pack("i", 0))
            number = struct.unpack("I", fcntl.ioctl(master, TIOCGPTN, bytes(4)))[0]
            name = os.path.join(self.path, str(number))
            flags = os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC
            try:
                slave = fcntl.ioctl(master, TIOCGPTPEER, flags)
            except OSError as error:  # kernels before 4.13: by its path in our own instance
                if error.errno not in (errno.EINVAL, errno.ENOTTY):
                    raise
                slave = os.open(name, flags | os.O_NOFOLLOW)
        except BaseException:
            os.close(master)
            raise
        return master, slave, name

    def close(self) -> None:
        """Unmounts the instance (its ptys are closed by now) and removes DIR/pts."""
        if _mounted_on(self.path) and _unmount(self._libc, self.path):
            try:
                os.rmdir(self.path)
            except OSError:
                pass


_instance: Optional[PtyInstance] = None


def use(instance: Optional[PtyInstance]) -> None:
    """Makes the service's ptys come from `instance` (None: from /dev/pts)."""
    global _instance
    _instance = instance


def abandon() -> None:
    """Detaches the instance in use, for a process about to end without cleaning up."""
    if _instance is not None:
        _instance.close()


def open_pair() -> Tuple[int, int, str]:
    """(master, slave, the slave's path) of a pty for a channel's tty."""
    if _instance is not None:
        return _instance.open_pair()
    master, slave = os.openpty()
    try:
        return master, slave, os.ttyname(slave)
    except BaseException:
        os.close(master)
        os.close(slave)
        raise
