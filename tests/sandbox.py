"""Fixtures that make this machine look like another: throwaway users (made with useradd,
removed at teardown) and a network namespace of its own with a veth pair. Both need root
and skip cleanly where they cannot be had. Import the fixtures into a test module:
`from sandbox import netns, users  # noqa: F401`."""
import ctypes
import json
import os
import pwd
import shutil
import subprocess
import time

import pytest

SYSTEM_PYTHON = shutil.which("python3", path="/usr/bin:/bin")  # one that other users may run
_CLONE_NEWNET = 0x40000000


@pytest.fixture(scope="module")
def users():
    """{"outsider": pw, "member": pw}: two new users, the member in group dialout."""
    if os.geteuid() != 0 or shutil.which("useradd") is None or SYSTEM_PYTHON is None:
        pytest.skip("needs root, useradd and a python3 that other users may run")
    made = {}
    try:
        for role, extra in (("outsider", []), ("member", ["-G", "dialout"])):
            name = "tvk{}{}".format(role[:3], os.getpid() % 100000)
            if subprocess.run(["useradd", "-M", "-N", "-s", "/usr/sbin/nologin"] + extra + [name]).returncode:
                pytest.skip("useradd failed")
            made[role] = pwd.getpwnam(name)
        yield made
    finally:
        for user in made.values():
            subprocess.run(["userdel", user.pw_name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def as_user(user):
    """A preexec_fn that makes the child `user` (with their groups)."""
    def switch():
        os.setgroups(os.getgrouplist(user.pw_name, user.pw_gid))
        os.setgid(user.pw_gid)
        os.setuid(user.pw_uid)
    return switch


def is_mount_point(path):
    """Whether something is mounted on `path`, a bind mount within one file system included
    (which os.path.ismount cannot see)."""
    with open("/proc/self/mountinfo") as table:
        return any(line.split()[4] == path for line in table)


class Netns:
    """A network namespace holding loopback and a veth pair: v0 with 10.200.0.1/24 and
    fd00:200::1/64 (and its link-local address), v1 with 10.200.0.2/24."""

    V4, V6, PEER_V4 = "10.200.0.1", "fd00:200::1", "10.200.0.2"

    def __init__(self, name):
        self.name = name
        self.path = os.path.join("/run/netns", name)
        self._libc = ctypes.CDLL(None, use_errno=True)
        self.link_local = None  # v0's fe80:: address, once the kernel has made it

    def ip(self, *args):
        done = subprocess.run(["ip", "-n", self.name] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=10)
        if done.returncode:
            raise OSError("ip {}: {}".format(" ".join(args), done.stderr.decode().strip()))
        return done.stdout.decode()

    def enter(self, then=None):
        """A preexec_fn that moves the child into the namespace, then runs `then`."""
        def move():
            fd = os.open(self.path, os.O_RDONLY)
            try:
                if self._libc.setns(fd, _CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns")
            finally:
                os.close(fd)
            if then is not None:
                then()
        return move

    def _settled_link_local(self):
        """v0's link-local address once duplicate address detection has passed, else None."""
        for entry in json.loads(self.ip("-j", "-6", "addr", "show", "dev", "v0", "scope", "link")):
            for info in entry.get("addr_info", ()):
                if info.get("local") and not info.get("tentative"):
                    return info["local"]
        return None

    def set_up(self):
        self.ip("link", "set", "lo", "up")
        self.ip("link", "add", "v0", "type", "veth", "peer", "name", "v1")
        self.ip("addr", "add", self.V4 + "/24", "dev", "v0")
        self.ip("addr", "add", self.V6 + "/64", "dev", "v0", "nodad")
        self.ip("addr", "add", self.PEER_V4 + "/24", "dev", "v1")
        self.ip("link", "set", "v0", "up")
        self.ip("link", "set", "v1", "up")
        deadline = time.monotonic() + 10
        while self.link_local is None and time.monotonic() < deadline:
            self.link_local = self._settled_link_local()
            time.sleep(0.1)
        if self.link_local is None:
            raise OSError("no link-local address on v0")


@pytest.fixture(scope="module")
def netns():
    """A Netns of its own for the module's tests, deleted at teardown."""
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("needs root and ip(8) for a network namespace")
    name = "tvk{}".format(os.getpid())
    # The first `ip netns add` on a machine makes /run/netns a mount point of its own (bound
    # onto itself, shared) and leaves it so; what this fixture mounted, it unmounts.
    mounted_before = is_mount_point("/run/netns")
    if subprocess.run(["ip", "netns", "add", name], stderr=subprocess.DEVNULL).returncode:
        pytest.skip("cannot make a network namespace here")
    try:
        space = Netns(name)
        try:
            space.set_up()
        except (OSError, subprocess.TimeoutExpired) as error:
            pytest.skip("cannot set up the network namespace: {}".format(error))
        yield space
    finally:
        subprocess.run(["ip", "netns", "del", name], stderr=subprocess.DEVNULL)
        if not mounted_before and is_mount_point("/run/netns") and not os.listdir("/run/netns"):
            subprocess.run(["umount", "/run/netns"], stderr=subprocess.DEVNULL)
