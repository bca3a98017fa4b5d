"""Exceptions keep their identity through native code, and no way of ending a process
aborts it: a thread that wants the GIL back while the interpreter finalizes is ended by
CPython with a forced unwind, which must pass the module's frames."""
import os
import signal
import subprocess
import sys
import textwrap
from array import array

import pytest

import zeq_torvak
from child_process import default_signals
from fake_usb import SERIAL, FakeHandle, reader_of, record

# How often each exit scenario runs; raise it (e.g. 20) to hunt for rare aborts.
RUNS = int(os.environ.get("TORVAK_EXIT_RUNS", "3"))
READ_FAILED = "USB 设备[Torvak:" + SERIAL + "]读取数据失败，有可能是设备已拔出："


class Halt(BaseException):
    """Neither an ordinary error nor one the interpreter knows."""


@pytest.mark.parametrize("error", [KeyboardInterrupt("ki"), SystemExit(3), Halt("halt")],
                         ids=["KeyboardInterrupt", "SystemExit", "BaseException"])
def test_a_handlers_non_ordinary_error_passes_unchanged(bench, stderr, error):
    dev, fw, _ = bench.device()

    def handler(package):
        raise error

    dev.set_io_control_handler_for_channel(handler, 1)
    with pytest.raises(BaseException) as caught:
        dev.handle_io_control_package(array("B", b"x"), channel=1)
    assert caught.value is error
    assert stderr.writes == []
    # On the reader thread it is the reader's one report, and the reader ends.
    fw.feed(record(101, b"y"))
    assert stderr.wait_for(1)
    reader_of(dev).join(3)
    assert not reader_of(dev).is_alive()
    assert stderr.writes == [READ_FAILED + str(error)]


class FailingReads(FakeHandle):
    read_error = None

    def read(self, endpoint, size_or_buffer, timeout):
        raise self.read_error


@pytest.mark.parametrize("error", [zeq_torvak._usb_core.USBTimeoutError("quiet"), OSError(5, "cable"),
                                   KeyboardInterrupt("ki")], ids=["timeout", "OSError", "KeyboardInterrupt"])
def test_a_handles_own_exceptions_reach_the_caller(bench, stderr, error):
    fw = FailingReads()
    fw.read_error = error
    dev, _, _ = bench.device(fw)
    with pytest.raises(BaseException) as caught:
        dev._Device__read()
    assert caught.value is error
    fw.write_error = error
    with pytest.raises(BaseException) as caught:
        dev.output_data(bytes(64))
    assert caught.value is error
    if isinstance(error, zeq_torvak._usb_core.USBTimeoutError):
        assert reader_of(dev).is_alive()  # a time-out is an idle poll
    else:
        assert stderr.wait_for(1)
        assert stderr.writes == [READ_FAILED + str(error)]


# --- ending the process -----------------------------------------------------------------


def run_child(testbed, env, script, signal_after_ready=None):
    """Runs `script` against a newly plugged device (a child that is ended at exit may
    leave its claim to be noticed late); with `signal_after_ready`, sends that signal once
    the child has printed "ready" and a moment has passed. Returns the exit status and
    standard error."""
    for old in list(testbed.devices()):
        old.unplug()
    testbed.plug("EMU0001", channels=4)
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=default_signals())
    try:
        if signal_after_ready is not None:
            if child.stdout.readline() != b"ready\n":
                child.kill()
                pytest.fail("the child did not start: " + child.communicate()[1].decode("utf-8", "replace"))
            try:
                child.wait(0.3)
            except subprocess.TimeoutExpired:
                child.send_signal(signal_after_ready)
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return child.returncode, err.decode("utf-8", "replace")


def assert_no_abort(status, err):
    assert status not in (-signal.SIGABRT, -signal.SIGSEGV, 128 + signal.SIGABRT), err
    assert "terminate called" not in err and "FATAL" not in err, err


DAEMON_CLOSES_LAST_DEVICE = """
    import threading, time, zeq_torvak
    dev = zeq_torvak.get_hid_device("ANY")
    assert dev.channel_count == 4
    def closer():
        time.sleep(0.02)  # the main thread has ended by now and waits for the reader
        dev.close()
        dev._Device__dev_manager.close_device(dev)
    threading.Thread(target=closer, daemon=True).start()
"""

WAITS_AT_EXIT = """
    import zeq_torvak
    {}
    print("ready", flush=True)
"""

SIGTERM_DURING_TRAFFIC = """
    import signal, threading, zeq_torvak
    def stop(*_):
        raise SystemExit(0)
    signal.signal(signal.SIGTERM, stop)
    ports = [zeq_torvak.Serial("Torvak:ANY:S%d" % n, 115200, timeout=0.05) for n in range(1, 5)]
    def pump(port):
        try:
            while True:
                port.write(b"x" * 200)
                port.read(200)
        except Exception:
            pass  # its port was closed under it
    for port in ports[1:]:
        threading.Thread(target=pump, args=(port,), daemon=True).start()
    print("ready", flush=True)
    try:
        pump(ports[0])
    finally:
        for port in ports:
            port.close()
"""


def test_a_daemon_thread_closing_the_last_device_at_exit(testbed, child_env):
    for _ in range(RUNS):
        status, err = run_child(testbed, child_env, DAEMON_CLOSES_LAST_DEVICE)
        assert status == 0, err


@pytest.mark.parametrize("opening", ['zeq_torvak.Serial("Torvak:ANY:S1", 9600, timeout=1)',
                                     'zeq_torvak.get_hid_device("ANY").channel_count'],
                         ids=["Serial", "get_hid_device"])
def test_sigint_while_waiting_at_exit_for_a_reader(testbed, child_env, opening):
    for _ in range(RUNS):
        status, err = run_child(testbed, child_env, WAITS_AT_EXIT.format(opening), signal.SIGINT)
        assert_no_abort(status, err)
        assert "KeyboardInterrupt" in err


def test_sigterm_raising_system_exit_during_traffic_on_four_channels(testbed, child_env):
    for _ in range(RUNS):
        status, err = run_child(testbed, child_env, SIGTERM_DURING_TRAFFIC, signal.SIGTERM)
        assert_no_abort(status, err)
        assert status == 0, err
