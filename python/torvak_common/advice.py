"""What people are told when a device or a service they asked for cannot be had, and what
to do about it: the causes that can be seen from here, each written once. The CLI,
torvak_serial and the service say these texts; nobody parses them."""
import os
import stat
import sys
from typing import List, NamedTuple, Optional

from .identity import UDEV_RULE, UDEV_RULE_PATH, USB_ID
from .refusals import join_group
from .served import STATE_FILE, changeable_above, run_directories, why_untrusted

if sys.platform != "win32":  # groups are a POSIX matter; Windows runs no service
    import grp
    import pwd

NO_DEVICE = "no Torvak device attached (USB {})".format(USB_ID)
# The group the udev rule gives the device node.
NODE_GROUP = "plugdev"


class Holder(NamedTuple):
    """Another process that has the device open."""

    pid: int
    command: str


class UnseenService(NamedTuple):
    """A service whose state file this user may not read: it holds the devices, and only its
    group may use them."""

    directory: str
    group: str


def unseen_services() -> List[UnseenService]:
    """The services in the directories clients look in whose state file is there but closed
    to this user. Only a directory and a file that nobody but root or this user could have
    made count, as for the services that are seen."""
    found = []
    for directory in run_directories():
        try:
            dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            if why_untrusted(os.fstat(dir_fd)) is not None or changeable_above(directory) is not None:
                continue
            info = os.stat(STATE_FILE, dir_fd=dir_fd, follow_symlinks=False)
            if not stat.S_ISREG(info.st_mode) or why_untrusted(info) is not None:
                continue
            try:
                os.close(os.open(STATE_FILE, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                                 dir_fd=dir_fd))
                continue  # readable: the service, if it runs, is seen
            except PermissionError:
                pass
            found.append(UnseenService(directory, _group(info.st_gid)))
        except OSError:
            continue
        finally:
            os.close(dir_fd)
    return found


def _group(gid: int) -> str:
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def group_of(path: str) -> str:
    """The group of the file at `path`, by name ("?" when it cannot be seen)."""
    try:
        return _group(os.stat(path).st_gid)
    except OSError:
        return "?"


def _member_elsewhere(group: str) -> bool:
    """True when /etc/group lists this user in `group`, which this session does not have:
    it was added after the user logged in."""
    try:
        entry = grp.getgrnam(group)
        user = pwd.getpwuid(os.geteuid())
    except KeyError:
        return False
    listed = user.pw_name in entry.gr_mem or user.pw_gid == entry.gr_gid
    return listed and entry.gr_gid not in os.getgroups() and entry.gr_gid != os.getegid()


def not_in_group(service: UnseenService) -> str:
    if _member_elsewhere(service.group):
        todo = "you were added to {} after you logged in: log in again".format(service.group)
    else:
        todo = join_group(service.group)
    return ("a torvak serve in {} holds the devices, and only members of group {} may use it: {}".format(
        service.directory, service.group, todo))


def unseen_service() -> Optional[str]:
    """What to tell a user who finds no service and no device because a service hides them,
    or None when no service does."""
    services = unseen_services()
    return not_in_group(services[0]) if services else None


def no_device() -> str:
    """Nothing attached, as far as this user can see."""
    return unseen_service() or NO_DEVICE


def node_permission() -> str:
    return (
        "permission denied on the Torvak device node: it belongs to group {group}; install the udev rule, re-plug "
        "the device, and add yourself to {group}: echo '{rule}' | sudo tee {path} && sudo udevadm control "
        "--reload-rules; {join}".format(group=NODE_GROUP, rule=UDEV_RULE, path=UDEV_RULE_PATH, join=join_group(NODE_GROUP))
    )


def holder_named(holder: Holder) -> str:
    return "{} (pid {})".format(holder.command, holder.pid)


def in_use(device: str, holders: List[Holder]) -> str:
    who = ", ".join(holder_named(holder) for holder in holders)
    return "{} is in use by {}: end that program or close its port there, then try again".format(
        device, who or "another program")
