"""Who reaches a channel of torvak serve, and which files service and clients trust, tried
as other users of this machine (made with useradd; skipped where that is not possible) and
as hostile clients."""
import errno
import grp
import json
import logging
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from sandbox import SYSTEM_PYTHON, as_user, netns, users  # noqa: F401  (fixtures)
from test_routing import hold_lock, pyserial_program, torvak
from test_serve import SERIAL, Served, device, served  # noqa: F401  (fixtures)
from torvak_emu import wait_until

import torvak_common
from torvak_common.served import DeviceEntry, ask_service, write_state
from torvak_common.status import status_request

# Run as another user: what each way into a channel gives (True: an echo; False: the
# connection ended; else the error's name).
PROBE = r"""
import json, os, socket, sys
def talk(connect):
    try:
        sock, got = connect(), b""
        sock.settimeout(3)
        sock.sendall(b"hello\n")
        while b"hello\n" not in got:
            part = sock.recv(4096)
            if not part:
                return False
            got += part
        return True
    except (socket.timeout, ConnectionError):
        return False
    except OSError as error:
        return type(error).__name__
def unix():
    sock = socket.socket(socket.AF_UNIX)
    sock.connect(sys.argv[2])
    return sock
def opens(path):
    try:
        os.close(os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        return True
    except OSError as error:
        return type(error).__name__
def locks(path):  # a shared lock on the service's lock file, kept, would keep every later service out
    try:
        import fcntl
        fcntl.flock(os.open(path, os.O_RDONLY), fcntl.LOCK_SH | fcntl.LOCK_NB)
        return True
    except OSError as error:
        return type(error).__name__
print(json.dumps({"tcp": talk(lambda: socket.create_connection(("127.0.0.1", int(sys.argv[1])), 3)),
                  "unix": talk(unix), "tty": opens(sys.argv[3]), "lock": locks(sys.argv[4])}))
"""


@pytest.fixture
def shared_dir():
    """A directory every user may enter (pytest's own are root's alone)."""
    path = tempfile.mkdtemp(prefix="torvak-access-")
    os.chmod(path, 0o755)
    yield Path(path)
    shutil.rmtree(path, ignore_errors=True)


def probe(service, user):
    """What `user` (None: root) gets from TCP and the Unix socket of channels 1 and 2 of
    `service`, from the tty of its channel 3 and from a shared lock on its lock file."""
    done = subprocess.run(
        [SYSTEM_PYTHON, "-c", PROBE, str(service.base), os.path.join(service.dir, SERIAL, "2.sock"), service.link(3),
         os.path.join(service.dir, "serve.lock")],
        env={"PATH": "/usr/bin:/bin"}, cwd="/", preexec_fn=None if user is None else as_user(user),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
    assert done.returncode == 0, done.stderr.decode()
    return json.loads(done.stdout)


def test_the_ttys_rule_holds_on_tcp_the_unix_socket_and_the_ttys(users, device, child_env, shared_dir):  # noqa: F811
    outsider = users["outsider"]
    service = Served(child_env, shared_dir)
    try:
        assert probe(service, outsider) == {"tcp": False, "unix": "PermissionError", "tty": "PermissionError",
                                            "lock": "PermissionError"}
        assert "user {} may not open the ttys".format(outsider.pw_uid) in service.log()
        assert probe(service, users["member"]) == {"tcp": True, "unix": True, "tty": True, "lock": "PermissionError"}
        assert probe(service, None) == {"tcp": True, "unix": True, "tty": True, "lock": "BlockingIOError"}
    finally:
        assert service.stop() == 0, service.log()
    os.chmod(os.path.join(service.dir, "serve.lock"), 0o644)  # as an earlier version left it
    service = Served(child_env, shared_dir, ["--rfc2217-open"])
    try:
        assert "every user of this machine may use the RFC 2217 ports" in service.log()
        assert probe(service, outsider) == {"tcp": True, "unix": "PermissionError", "tty": "PermissionError",
                                            "lock": "PermissionError"}
    finally:
        assert service.stop() == 0, service.log()


def test_a_forged_state_file_is_ignored(users, device, tmp_path, monkeypatch):  # noqa: F811
    """Another user's file, one others can write, one in a directory others can write, and
    one naming another machine or a socket elsewhere: each sends the client to the device."""
    monkeypatch.setenv("TORVAK_RUN_DIR", str(tmp_path))
    state = tmp_path / "serve.json"
    lock = hold_lock(tmp_path)  # as the service would

    def forge(bind="127.0.0.1", owner=0, mode=0o644, sockets=None):
        extra = {"sockets": sockets} if sockets else {}
        write_state(str(tmp_path), 1, bind, [DeviceEntry(SERIAL, 0, 4, {}, {1: 4000}, **extra)], mode)
        os.chown(str(state), owner, -1)

    forge()
    assert torvak_common.find_served(SERIAL) is not None  # a sound one is found
    for forged in ({"owner": users["outsider"].pw_uid}, {"mode": 0o666}, {"bind": "192.0.2.7"},
                   {"sockets": {1: "/tmp/elsewhere.sock"}}):
        forge(**forged)
        assert torvak_common.find_served(SERIAL) is None, forged
    forge()
    os.chmod(str(tmp_path), 0o777)
    try:
        assert torvak_common.find_served(SERIAL) is None
        assert pyserial_program("torvak://SERVE001/1") == "torvak://SERVE001/1"  # the device, directly
    finally:
        os.chmod(str(tmp_path), 0o755)
    # A sound one that someone else could point elsewhere or rename away: reached through
    # their link, or lying in a directory they can write.
    link = tmp_path.parent / (tmp_path.name + "-link")
    os.symlink(str(tmp_path), str(link))
    os.lchown(str(link), users["outsider"].pw_uid, -1)
    monkeypatch.setenv("TORVAK_RUN_DIR", str(link))
    assert torvak_common.find_served(SERIAL) is None
    monkeypatch.setenv("TORVAK_RUN_DIR", str(tmp_path))
    mode = tmp_path.parent.stat().st_mode
    os.chmod(str(tmp_path.parent), 0o777)
    try:
        assert torvak_common.find_served(SERIAL) is None
    finally:
        os.chmod(str(tmp_path.parent), mode)
    assert torvak_common.find_served(SERIAL) is not None
    os.close(lock)


def test_the_service_refuses_unsafe_run_directories_and_leaves_others_files_alone(
        users, device, child_env, shared_dir):  # noqa: F811
    outsider = users["outsider"]
    open_dir = shared_dir / "open"
    open_dir.mkdir()
    # A run directory others can write is refused even as the caller's own $XDG_RUNTIME_DIR.
    for mode, where, said, env in ((0o1777, open_dir, b"can be written by others", {}),
                                   (0o1777, open_dir, b"can be written by others", {"XDG_RUNTIME_DIR": str(open_dir)}),
                                   (0o777, open_dir / "run" / "deeper", b"which others can change", {})):
        os.chmod(str(open_dir), mode)
        refused = subprocess.run([sys.executable, "-m", "torvak_cli", "serve", "--pty-dir", str(where)],
                                 env=dict(child_env, **env), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
        assert refused.returncode == 1 and said in refused.stderr, refused.stderr
        assert os.listdir(str(open_dir)) == []  # nothing made there, the run directory least of all

    # A link planted where the service would make DIR/SERIAL (in a directory others could
    # once write), to a directory of the other user's: nothing there is touched.
    victim = shared_dir / "victim"
    victim.mkdir()
    for n in range(1, 5):
        (victim / str(n)).write_text("mine")
    (shared_dir / "run").mkdir()
    (shared_dir / "run" / SERIAL).symlink_to(victim)
    for path in [victim, shared_dir / "run" / SERIAL] + list(victim.iterdir()):
        os.lchown(str(path), outsider.pw_uid, outsider.pw_gid)
    service = Served(child_env, shared_dir)  # "ready" at once: the links it waits for are the victim's files
    assert wait_until(lambda: "no tty and no socket" in service.log(), timeout=10), service.log()
    assert service.stop() == 0, service.log()
    assert sorted((p.name, p.read_text()) for p in victim.iterdir()) == [(str(n), "mine") for n in range(1, 5)]
    assert os.path.islink(str(shared_dir / "run" / SERIAL))


# Run as the outsider while the service is down: takes every pty it can (the numbers a dead
# service's ttys had among them), tries the run directory's own pty instance, then reports
# what a member wrote to any of its ptys.
HIJACK = r"""
import json, os, sys
masters, tried = [], None
for _ in range(64):
    master, slave = os.openpty()
    os.fchmod(slave, 0o666)  # its own pty: a member may open it
    os.close(slave)
    masters.append(master)
    os.set_blocking(master, False)
try:
    os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY))
    tried = "opened"
except OSError as error:
    tried = type(error).__name__
print(json.dumps(tried), flush=True)
sys.stdin.readline()
got = b""
for master in masters:
    try:
        got += os.read(master, 4096)
    except OSError:
        pass
print(json.dumps(got.decode(errors="replace")), flush=True)
"""
MEMBER = r"""
import json, os, sys
try:
    fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
except OSError as error:
    print(json.dumps(type(error).__name__))
    sys.exit()
import termios, tty, select
tty.setraw(fd)
os.write(fd, b"MEMBER-SECRET\n")
got = b""
while b"\n" not in got and select.select([fd], [], [], 5)[0]:
    got += os.read(fd, 4096)
print(json.dumps(got.decode(errors="replace")))
"""


def test_a_killed_service_s_ttys_lead_to_nobody_else_s_pty(users, device, child_env, shared_dir):  # noqa: F811
    """After SIGKILL, an outsider holding every pty it can get never receives what a
    member writes to a channel's tty, neither before the service is started again (the tty
    fails to open) nor after (it reaches the device)."""
    member, outsider = users["member"], users["outsider"]
    run = [SYSTEM_PYTHON, "-c"]
    service = Served(child_env, shared_dir)
    instance = os.path.join(service.dir, "pts")
    try:
        assert os.readlink(service.link(1)).startswith(instance + "/"), service.log()
        service.process.kill()
        service.process.wait()
        for restarted in (False, True):
            thief = subprocess.Popen(run + [HIJACK, os.path.join(instance, "ptmx")], preexec_fn=as_user(outsider),
                                     cwd="/", env={"PATH": "/usr/bin:/bin"}, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
            try:
                assert json.loads(thief.stdout.readline()) == "PermissionError"  # not the service's instance
                if restarted:
                    service = Served(child_env, shared_dir)
                talked = subprocess.run(run + [MEMBER, service.link(1)], preexec_fn=as_user(member), cwd="/",
                                        env={"PATH": "/usr/bin:/bin"}, stdout=subprocess.PIPE, timeout=30)
                thief.stdin.write(b"go\n")
                thief.stdin.flush()
                stolen = json.loads(thief.stdout.readline())
            finally:
                thief.kill()
                thief.wait()
            assert stolen == ""
            assert json.loads(talked.stdout) == ("MEMBER-SECRET\n" if restarted else "FileNotFoundError")
        assert service.stop() == 0, service.log()
        assert not os.path.exists(instance)
    finally:
        if service.process.poll() is None:
            service.stop()
        subprocess.run(["umount", "-l", instance], stderr=subprocess.DEVNULL)


def test_idle_status_connections_do_not_lock_status_out(device, child_env, tmp_path):  # noqa: F811
    service = Served(child_env, tmp_path)
    child_env["TORVAK_RUN_DIR"] = service.dir
    idle = []
    try:
        for _ in range(40):
            idle.append(socket.socket(socket.AF_UNIX))
            idle[-1].settimeout(10)
            idle[-1].connect(os.path.join(service.dir, "serve.sock"))
        answer = ask_service(service.dir, status_request(), timeout=2.0)
        assert answer["devices"][0]["serial"] == SERIAL
        done = torvak(child_env, "status")
        assert done.returncode == 0 and SERIAL.encode() in done.stdout, done.stderr
        # Connections that never send a request are closed after a few seconds.
        assert wait_until(lambda: all(not sock.recv(1) for sock in idle), timeout=15)
    finally:
        for sock in idle:
            sock.close()
        assert service.stop() == 0, service.log()


@pytest.mark.parametrize("lookup", ["diagnostics", "tables"])
def test_a_client_that_closed_before_being_accepted_has_no_uid(lookup, monkeypatch):
    """A connection whose other end was written to and closed before accept() shows in
    the kernel's table with uid 0 and no inode: it must not count as root's. The same
    through the kernel's socket diagnostics and, where it has none, its text tables."""
    from torvak_cli.serve import access
    from torvak_cli.serve.access import peer_uid

    if lookup == "tables":
        def no_diagnostics(*_):
            raise OSError(errno.EAFNOSUPPORT, "no AF_NETLINK")

        monkeypatch.setattr(access, "_diag_lookup", no_diagnostics)
    with socket.create_server(("127.0.0.1", 0)) as listener:
        client = socket.create_connection(listener.getsockname())
        open_end, _ = listener.accept()
        client.sendall(b"still here")
        assert peer_uid(open_end) == os.geteuid()
        late = socket.create_connection(listener.getsockname())
        late.sendall(b"SET-BAUDRATE")
        late.close()
        closed_end, _ = listener.accept()
        try:
            assert peer_uid(closed_end) is None
        finally:
            for sock in (client, open_end, closed_end):
                sock.close()


def test_the_ttys_group_is_one_the_service_can_give(monkeypatch, caplog):
    """A service not run as root and outside --group, or given no such group, serves in its
    own group and says so: the RFC 2217 ports then follow the ttys' rule."""
    from torvak_cli.serve.access import serving_group

    dialout = grp.getgrnam("dialout").gr_gid
    for name, value in (("geteuid", 1000), ("getegid", 1000), ("getgroups", [1000, dialout])):
        monkeypatch.setattr(os, name, lambda value=value: value)
    assert serving_group("dialout") == dialout and not caplog.records
    monkeypatch.setattr(os, "getgroups", lambda: [1000])
    assert [serving_group("dialout"), serving_group("no-such-group")] == [1000, 1000]
    assert "not in group dialout" in caplog.text and "no group no-such-group" in caplog.text


def test_an_rfc2217_client_s_connection_is_kept_alive(served):  # noqa: F811
    """A peer that vanished without a word does not hold its channel for good: the service's
    end runs a keepalive timer (kind 2 in /proc/net/tcp, due in 30 s, in 1/100 s)."""
    with socket.create_connection(("127.0.0.1", served.base), timeout=5) as client:
        ends = ":%04X" % served.base, ":%04X" % client.getsockname()[1]

        def timer():
            with open("/proc/net/tcp") as table:
                return next(f[5] for f in map(str.split, table) if f[1].endswith(ends[0]) and f[2].endswith(ends[1]))

        assert wait_until(lambda: timer().startswith("02:"), timeout=5), timer()
        assert 2000 <= int(timer()[3:], 16) <= 3000


# Run as another user inside the network namespace: each way a local user could try to pass
# for a client from the --allow network, on channels 1 to 4 of the service at argv[1]. True:
# an echo; False: the connection ended.
ATTACKS = r"""
import json, socket, sys
base, link_local = int(sys.argv[1]), sys.argv[2]
def talk(sock, address, marker):
    try:
        sock.settimeout(3)
        sock.connect(address)
        sock.sendall(marker)
        got = b""
        while marker not in got:
            part = sock.recv(4096)
            if not part:
                return False
            got += part
        return True
    except (socket.timeout, ConnectionError):
        return False
    finally:
        sock.close()
def bound(family):
    sock = socket.socket(family)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"v0")  # needs no privilege
    return sock
def any_ip(family, address):  # an address of a local route, on no interface's list
    sock = socket.socket(family)
    sock.setsockopt(socket.SOL_IP, 15, 1)  # IP_FREEBIND, which IPv6 needs for it
    sock.bind((address, 0))
    return sock
for n in range(20):  # written and closed before the service accepts it, most times
    sock = socket.create_connection(("10.200.0.1", base + 1), 3)
    sock.sendall(b"<closed-%d>" % n)
    sock.close()
print(json.dumps({
    "plain": talk(socket.socket(), ("10.200.0.1", base), b"<plain>"),
    "bound-v4": talk(bound(socket.AF_INET), ("10.200.0.1", base + 2), b"<bound-v4>"),
    "bound-v6": talk(bound(socket.AF_INET6), ("fd00:200::1", base + 2), b"<bound-v6>"),
    "link-local": talk(socket.socket(socket.AF_INET6), (link_local, base + 3, 0, socket.if_nametoindex("v0")),
                       b"<link-local>"),
    "added-later": talk(socket.socket(), ("10.200.0.7", base), b"<added-later>"),
    "any-ip-v4": talk(any_ip(socket.AF_INET, "10.201.0.7"), ("10.200.0.1", base), b"<any-ip-v4>"),
    "any-ip-v6": talk(any_ip(socket.AF_INET6, "fd00:201::7"), ("fd00:200::1", base + 2), b"<any-ip-v6>"),
}))
"""

WAYS = ("plain", "bound-v4", "bound-v6", "link-local", "added-later", "any-ip-v4", "any-ip-v6")

FLOOD = r"""
import socket, sys, time
end, made = time.monotonic() + float(sys.argv[2]), 0
while time.monotonic() < end:
    try:
        socket.create_connection(("10.200.0.1", int(sys.argv[1])), 1).close()
        made += 1
    except OSError:
        pass
print(made)
"""


def test_a_local_user_never_enters_through_allow(users, netns, device, child_env, shared_dir):  # noqa: F811
    """A service reachable from a network that holds one of this machine's own addresses:
    a local user outside the ttys' group is refused whatever address or interface they
    connect by, with nothing reaching the device, and a member gets in over those same
    addresses. A flood of refused connections is logged once, and the status still answers."""
    options = ["--bind", "::", "--allow", "10.200.0.0/24", "--allow", "fd00:200::/64", "--allow", "fe80::/10",
               "--allow", "10.201.0.0/24", "--allow", "fd00:201::/64"]
    service = Served(child_env, shared_dir, options, preexec_fn=netns.enter())
    child_env["TORVAK_RUN_DIR"] = service.dir
    netns.ip("addr", "add", "10.200.0.7/24", "dev", "v1")  # one the service has never seen
    # Every address of these networks is this machine's, though no interface lists them.
    netns.ip("route", "add", "local", "10.201.0.0/24", "dev", "lo")
    netns.ip("-6", "route", "add", "local", "fd00:201::/64", "dev", "lo")

    def run(user, script, *args, timeout=60):
        done = subprocess.run([SYSTEM_PYTHON, "-c", script] + [str(a) for a in args], env={"PATH": "/usr/bin:/bin"},
                              cwd="/", preexec_fn=netns.enter(as_user(user)), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
        assert done.returncode == 0, done.stderr.decode()
        return json.loads(done.stdout)

    def at_device():
        return b"".join(bytes(p[2:2 + p[1]]) for p in device.out_packets())

    try:
        device.out_packets(clear=True)
        ways = run(users["outsider"], ATTACKS, service.base, netns.link_local)
        reached = re.findall(rb"<[a-z0-9-]+>", at_device())
        assert ways == dict.fromkeys(WAYS, False) and not reached, (
            ways, reached)
        assert wait_until(lambda: all(a + " refused" in service.log() for a in ("10.201.0.7", "fd00:201::7"))), (
            service.log())

        ways = run(users["member"], ATTACKS, service.base, netns.link_local)
        assert ways == dict.fromkeys(WAYS, True), service.log()

        flood = subprocess.Popen([SYSTEM_PYTHON, "-c", FLOOD, str(service.base), "4"], env={"PATH": "/usr/bin:/bin"},
                                 cwd="/", preexec_fn=netns.enter(as_user(users["outsider"])),
                                 stdout=subprocess.PIPE)
        try:
            status = torvak(child_env, "status")
            assert status.returncode == 0 and SERIAL.encode() in status.stdout, status.stderr
        finally:
            made = int(flood.communicate(timeout=30)[0])
        assert made >= 10
        # Only the first refusal of this address within the minute is logged (and the count
        # of the others, should a minute have passed on a slow machine).
        refusals = [line for line in service.log().splitlines() if "10.200.0.1 refused" in line]
        assert len(refusals) <= 2, refusals
    finally:
        assert service.stop() == 0, service.log()


def test_refusals_are_logged_once_a_minute_per_address_with_a_count(caplog):
    from torvak_cli.serve import refusals

    now = [0.0]
    log = refusals.RefusalLog(clock=lambda: now[0])
    caplog.set_level(logging.INFO, logger="torvak.serve")
    for address in ["10.0.0.9"] * 500 + ["10.0.0.8"] + [None] + ["10.0.0.9"] + ["fd00::%x" % n for n in range(3000)]:
        if address is None:
            now[0] = 61.0
            log.expire()  # the minute of both is over
        else:
            log.refused(address, logging.WARNING, "client %s refused", address)
    lines = [r.getMessage() for r in caplog.records]
    assert lines[:4] == ["client 10.0.0.9 refused", "client 10.0.0.8 refused",
                         "499 more clients from 10.0.0.9 refused in the last 60 s", "client 10.0.0.9 refused"]
    # Ever new addresses are remembered up to a bound, then counted together.
    assert refusals.MOST_PEERS - 2 <= len(lines) - 4 <= refusals.MOST_PEERS
    # A flood of refused connections pauses the TCP ports, which resume after the pause;
    # refusals spread out never do.
    resumed = []
    assert not any(log.flooding() for _ in range(refusals.FLOOD - 1))
    assert log.flooding()
    log.pause(lambda: resumed.append(now[0]))
    log.expire()
    now[0] += refusals.FLOOD_PAUSE
    log.expire()
    assert resumed == [now[0]]
    for _ in range(3 * refusals.FLOOD):
        now[0] += 2 * refusals.FLOOD_WINDOW / refusals.FLOOD
        assert not log.flooding()


# Runs a CLI command or opens a torvak:// URL as another user: the interpreter and what
# it needs start as root (the interpreter's own files may be closed to that user), then the
# process becomes the user. argv: uid gid groups (cli ARGS... | open URL | tcp PORT).
AS_USER = r"""
import os, sys
import argparse, encodings.idna, errno, gettext, grp, json, locale, pwd, select, selectors, shutil, signal, socket
import stat, termios, textwrap, threading, tty
import serial, serial.rfc2217, torvak_serial, zeq_torvak
from torvak_cli import devices, main, queries, status, terminal
main.build_parser().format_help()  # what argparse imports only when first used
uid, gid, groups, how, *rest = sys.argv[1:]
os.setgroups([int(g) for g in groups.split(",") if g])
os.setgid(int(gid))
os.setuid(int(uid))
if how == "cli":
    sys.exit(main.main(rest))
if how == "tcp":  # what the service says before it closes
    with socket.create_connection(("127.0.0.1", int(rest[0])), timeout=10) as sock:
        said = b"".join(iter(lambda: sock.recv(4096), b""))
    sys.exit(said.decode("utf-8", "replace"))
try:
    serial.serial_for_url(rest[0]).close()
except serial.SerialException as error:
    sys.exit("{}: {}".format(type(error).__name__, error))
"""


def test_a_user_outside_the_group_is_told_to_join_it(users, device, child_env, shared_dir):  # noqa: F811
    """With a service running, what a user outside its group gets from status, list, a
    torvak:// port, a terminal and an RFC 2217 port names the group and how to join it;
    list --json is JSON."""
    outsider = users["outsider"]
    service = Served(child_env, shared_dir)
    env = {key: value for key, value in child_env.items() if key != "UMOCKDEV_DIR"}
    # The user's own view of the machine: no emulated bus (its test bed is root's alone).
    env["LD_PRELOAD"] = ":".join(entry for entry in env.get("LD_PRELOAD", "").replace(" ", ":").split(":")
                                 if entry and "umockdev" not in entry)
    env["TORVAK_RUN_DIR"] = service.dir
    who = [str(outsider.pw_uid), str(outsider.pw_gid),
           ",".join(str(g) for g in os.getgrouplist(outsider.pw_name, outsider.pw_gid))]

    def run(*args):
        return subprocess.run([sys.executable, "-c", AS_USER] + who + list(args), env=env, cwd="/",
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)

    join = "members of group dialout"
    todo = "sudo usermod -aG dialout $USER, then log in again"
    try:
        for args in (["cli", "status"], ["cli", "list"], ["cli", "term", "torvak://{}/1".format(SERIAL)],
                     ["open", "torvak://{}/1".format(SERIAL)], ["tcp", str(service.base)]):
            done = run(*args)
            said = done.stderr.decode()
            assert done.returncode == 1 and join in said and todo in said, (args, done.stderr)
        done = run("cli", "list", "--json")
        assert done.returncode == 1, done.stderr
        assert join in json.loads(done.stdout)[0]["error"], done.stdout
    finally:
        assert service.stop() == 0, service.log()
