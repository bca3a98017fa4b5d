r"""torvak serve on a machine with many interfaces while local users outside the ttys'
group flood its RFC 2217 port with connections: how long `torvak status` takes, and a
member's round trip through a channel's tty, idle and during the flood.

Needs root: it makes a network namespace of its own with --interfaces interfaces
(each with an address), runs the service in it (the ttys and the status socket are files,
reached from outside it), and the flooders as user nobody in it, plain connections to one
interface's address and connections bound to another interface by turns. The namespace is
deleted at the end. Prints figures and checks nothing. From the repository root:

    PYTHONPATH=python:/work/main/build/emulator TORVAK_EMU_PATH=/work/main/build/emulator \
        umockdev-wrapper /work/main/.venv-test/bin/python bench/bench_serve_flood.py [--code DIR]

--code DIR runs the service and `torvak status` from the packages in DIR instead of this
tree's python/ (e.g. an earlier revision's, `git archive REV python | tar -x -C /tmp/before`,
then --code /tmp/before/python), to compare the two.
"""
import argparse
import contextlib
import os
import pathlib
import pwd
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from torvak_emu import Testbed

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests"))
from sandbox import Netns  # noqa: E402  (from the tests' folder)

SYSTEM_PYTHON = shutil.which("python3", path="/usr/bin:/bin")  # one that nobody may run
FLOODER = r"""
import signal, socket, sys, time
signal.signal(signal.SIGTERM, lambda *_: sys.exit())
base, plain, bound, device = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4].encode()
seconds = float(sys.argv[5])
end, made = time.monotonic() + seconds, 0
try:
    while time.monotonic() < end:
        for address, interface in ((plain, None), (bound, device)):
            sock = socket.socket()
            try:
                if interface:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, interface)
                sock.settimeout(2)
                sock.connect((address, base))
                sock.recv(1)
                made += 1
            except OSError:
                pass
            finally:
                sock.close()
finally:
    print(made, flush=True)
"""


def address_of(index):
    return "10.100.{}.{}".format(index // 200, index % 200 + 1)


class Namespace:
    def __init__(self, count):
        self.name = "tvkbench{}".format(os.getpid())
        self.path = os.path.join("/run/netns", self.name)
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        commands = ["link set lo up"]
        for i in range(count):
            # ifb: an interface of its own with nothing behind it, as a dummy one (which not
            # every kernel has) would be.
            commands += ["link add d{} type ifb".format(i), "addr add {}/32 dev d{}".format(address_of(i), i),
                         "link set d{} up".format(i)]
        try:
            subprocess.run(["ip", "-n", self.name, "-batch", "-"], input="\n".join(commands).encode(), check=True)
        except BaseException:
            self.delete()
            raise

    def enter(self, then=None):
        return Netns(self.name).enter(then)

    def delete(self):
        subprocess.run(["ip", "netns", "del", self.name], stderr=subprocess.DEVNULL)


def as_nobody():
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setgid(nobody.pw_gid)
    os.setuid(nobody.pw_uid)


def timed(function, runs, failed=()):
    times = []
    before = len(failed)
    for _ in range(runs):
        start = time.monotonic()
        function()
        times.append(time.monotonic() - start)
    failures = len(failed) - before
    return "median {:.3f} s, max {:.3f} s{}".format(statistics.median(times), max(times),
                                                    " ({} of {} failed)".format(failures, runs) if failures else "")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--code", default=os.path.join(REPO, "python"),
                        help="the packages to run (default: this tree's)")
    parser.add_argument("--interfaces", type=int, default=1000)
    parser.add_argument("--flooders", type=int, default=3)
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    if os.geteuid() != 0 or shutil.which("ip") is None:
        sys.exit("needs root and ip(8)")
    testbed = Testbed.get()
    import test_serve as t

    device = testbed.plug(serial=t.SERIAL, channels=t.CHANNELS)
    device.set_loopback(True)
    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir,
               PYTHONPATH=os.pathsep.join([os.path.abspath(options.code)] + [
                   p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep)
                   if p and os.path.abspath(p) != os.path.join(REPO, "python")]))
    print("code: {}; {} interfaces, {} flooders as nobody".format(options.code, options.interfaces, options.flooders),
          flush=True)
    started = time.monotonic()
    space = Namespace(options.interfaces)
    print("namespace made in {:.1f} s".format(time.monotonic() - started), flush=True)
    run_dir = pathlib.Path(tempfile.mkdtemp())
    os.chmod(str(run_dir), 0o755)
    served = None
    try:
        served = t.Served(env, run_dir, ["--bind", "0.0.0.0", "--allow", "192.0.2.0/24"], preexec_fn=space.enter())
        status_env = dict(env, TORVAK_RUN_DIR=served.dir)
        message = b"member's round trip\n"

        failed = []

        def status():
            done = subprocess.run([sys.executable, "-m", "torvak_cli", "status"], env=status_env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            if done.returncode:  # no answer within the client's limit
                failed.append(done.returncode)

        def round_trip():
            assert t.tty_round_trip(served.link(1), message) == message

        print("idle:  torvak status {}; member's tty round trip {}".format(
            timed(status, options.runs, failed), timed(round_trip, options.runs)), flush=True)
        last = options.interfaces - 1
        seconds = 10.0 * options.runs
        with contextlib.ExitStack() as stack:
            flooders = []
            for _ in range(options.flooders):
                flooder = subprocess.Popen(
                    [SYSTEM_PYTHON, "-I", "-c", FLOODER, str(served.base), address_of(0), address_of(last),
                     "d{}".format(last), str(seconds)],
                    preexec_fn=space.enter(as_nobody), stdout=subprocess.PIPE, cwd="/")
                stack.callback(flooder.kill)
                flooders.append(flooder)
            time.sleep(1.0)
            flood_status = timed(status, options.runs, failed)
            flood_trip = timed(round_trip, options.runs)
            for flooder in flooders:
                flooder.terminate()
            made = sum(int(f.communicate()[0] or 0) for f in flooders)
        print("flood: torvak status {}; member's tty round trip {} ({} connections refused meanwhile)".format(
            flood_status, flood_trip, made), flush=True)
    finally:
        if served is not None:
            served.stop()
        space.delete()
        shutil.rmtree(str(run_dir), ignore_errors=True)


if __name__ == "__main__":
    main()
