"""The service's own machinery, apart from the data it moves: its loop survives a failing
callback, a worker stuck in USB does not keep it from stopping, one service per run
directory, and what it tells the log about devices it cannot have."""
import logging
import os
import subprocess
import sys
import textwrap
import time

import pytest

from torvak_cli.serve.loop import EventLoop


def test_a_failing_callback_is_logged_and_the_loop_goes_on(caplog):
    loop = EventLoop()
    ran = []
    read_end, write_end = os.pipe()
    try:
        def broken(events):
            os.read(read_end, 1)
            raise RuntimeError("handler bug")

        loop.watch(read_end, 1, broken)
        loop.post(lambda: 1 / 0)
        loop.post(lambda: ran.append("posted after the failure"))
        os.write(write_end, b"x")
        with caplog.at_level(logging.ERROR, logger="torvak.serve"):
            for _ in range(3):
                loop.run_once(0.1)
        assert ran == ["posted after the failure"]
        assert "handler bug" in caplog.text and "ZeroDivisionError" in caplog.text
    finally:
        loop.close()
        os.close(read_end)
        os.close(write_end)


def run_child(code, env=None, timeout=20):
    """(exit status, seconds, output) of `code` run by a child interpreter."""
    started = time.monotonic()
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, timeout=timeout,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return child.returncode, time.monotonic() - started, child.stdout.decode(errors="replace")


def test_a_worker_stuck_in_usb_does_not_keep_the_service_from_stopping(tmp_path):
    """A device job that never returns: the stop still ends within STOP_LIMIT and a bit."""
    status, took, output = run_child("""
        import threading, time
        from torvak_cli.serve import service
        service.STOP_LIMIT = 1.0
        served = service.Service({!r}, None, ["STUCK1"])
        slot = served.slots[0]
        slot.open_job = lambda: time.sleep(3600)
        served.rescan = lambda: slot.state == "absent" and slot.open()
        threading.Timer(0.5, served.request_stop).start()
        served.run()
        print("run ended")
    """.format(str(tmp_path)))
    assert "run ended" in output and took < 8, output
