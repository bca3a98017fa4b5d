import faulthandler
import os
import subprocess
import sys
import threading
import time

import pytest

# The emulated bus must exist before libusb initialises in this process, so it is
# created here, before any test imports the module under test. The emulator is the
# package torvak_emu of a build on PYTHONPATH (tools/test.sh puts it there).
try:
    from torvak_emu import Testbed

    _EMU_OK, _EMU_WHY = Testbed.available()
    if _EMU_OK:
        Testbed.get()
except ImportError as exc:
    _EMU_OK, _EMU_WHY = False, (
        "emulator not importable (%s): build it with tools/build-emulator.sh and put "
        "its directory (build/emulator) on PYTHONPATH" % exc)

REQUIRE_EMULATOR = os.environ.get("TORVAK_REQUIRE_EMULATOR") == "1"

import zeq_torvak  # noqa: E402  (after the emulated bus exists)
from fake_usb import Bench, StderrRecorder  # noqa: E402
from package_source import INSTALLED_ONLY, search_path  # noqa: E402

if INSTALLED_ONLY:
    # The wheel check: every package must come from the environment's installation.
    import torvak_cli
    import torvak_common
    import torvak_serial

    _prefix = os.path.realpath(sys.prefix) + os.sep
    _elsewhere = ["{} from {}".format(m.__name__, m.__file__)
                  for m in (zeq_torvak, torvak_cli, torvak_common, torvak_serial)
                  if not os.path.realpath(m.__file__).startswith(_prefix)]
    if _elsewhere:
        raise pytest.UsageError("TORVAK_TEST_INSTALLED=1, yet not installed in {}: {}".format(
            sys.prefix, "; ".join(_elsewhere)))


@pytest.fixture
def bench():
    """Devices on fake handles, closed at the end of the test."""
    b = Bench()
    yield b
    b.shutdown()


@pytest.fixture
def stderr(monkeypatch):
    """Records what the module writes to standard error, one entry per write() call."""
    rec = StderrRecorder()
    monkeypatch.setattr(zeq_torvak, "sys", rec)
    return rec


@pytest.fixture
def testbed():
    """The emulated USB bus; skips (fails in CI) where umockdev is not usable."""
    if not _EMU_OK:
        if REQUIRE_EMULATOR:
            pytest.fail("emulated device required but unavailable: %s" % _EMU_WHY)
        pytest.skip(_EMU_WHY)
    tb = Testbed.get()
    yield tb
    for dev in list(tb.devices()):
        dev.unplug()


if os.environ.get("TORVAK_NO_CHILD_PROCESSES") == "1":
    # Under qemu-user without binfmt_misc a process of the target machine cannot start
    # another one: a test that starts a child process is skipped where it starts it.
    @pytest.fixture(autouse=True)
    def no_child_processes(monkeypatch):
        def refuse(self, *args, **kwargs):
            self._child_created = False  # what Popen.__del__ looks at
            pytest.skip("starts a child process, which this machine cannot")

        monkeypatch.setattr(subprocess.Popen, "__init__", refuse)


# The per-test time-out (pytest-timeout, by SIGALRM) fails a hung test and the run goes on.
# A test stuck where that signal's handler never runs ends the whole run instead, this long
# after its own time-out, with every thread's stack on standard error: a run never hangs.
LAST_RESORT_FACTOR, LAST_RESORT_EXTRA = 2, 60


def _end_the_run(item, limit):
    # As pytest-timeout's thread method does: out of the output capture, every stack, exit.
    capture = item.config.pluginmanager.getplugin("capturemanager")
    if capture is not None:
        capture.suspend_global_capture(in_=True)
    sys.stderr.write("\n{}: still running long after its time-out of {} s; ending the run\n".format(item.nodeid, limit))
    sys.stderr.flush()
    faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
    os._exit(1)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    marker = item.get_closest_marker("timeout")
    limit = float(marker.args[0]) if marker is not None and marker.args else float(item.config.getini("timeout") or 0)
    timer = None
    if limit > 0:
        timer = threading.Timer(LAST_RESORT_FACTOR * limit + LAST_RESORT_EXTRA, _end_the_run, (item, limit))
        timer.daemon = True
        timer.name = "last-resort time-out"
        timer.start()
    try:
        yield
    finally:
        if timer is not None:
            timer.cancel()
            timer.join()


def _extra_threads(before):
    return [t for t in threading.enumerate() if t not in before and t.is_alive()]


@pytest.fixture(autouse=True)
def no_thread_outlives_test():
    """Every reader thread a test starts must have ended when the test ends."""
    before = set(threading.enumerate())
    yield
    deadline = time.monotonic() + 2.0
    left = _extra_threads(before)
    while left and time.monotonic() < deadline:
        time.sleep(0.02)
        left = _extra_threads(before)
    if left:
        _LEAKED.extend(left)
        pytest.fail("threads outlived the test: %s" % ", ".join(t.name for t in left))


_LEAKED = []


def pytest_unconfigure(config):
    # A leaked reader is not a daemon thread and would keep the interpreter alive
    # for ever; end the process instead of hanging CI.
    if any(t.is_alive() for t in _LEAKED):
        sys.stderr.write("leaked threads still running; exiting hard\n")
        sys.stderr.flush()
        os._exit(3)


@pytest.fixture
def child_env(testbed):
    """Environment for a child interpreter that uses this process's emulated bus (the
    child inherits umockdev's preload) and imports the module and packages under test."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(zeq_torvak.__file__))
    # The packages of this tree before any installed copy of them (python/ holds only stubs
    # of the native modules, which are then found where they are installed), unless the
    # installed ones are under test.
    env["PYTHONPATH"] = search_path(here, env.get("PYTHONPATH"))
    # umockdev set it in the C environment after os.environ was copied from there.
    env["UMOCKDEV_DIR"] = testbed.root_dir
    return env
