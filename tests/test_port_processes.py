"""torvak:// ports in whole programs, run as child processes against the emulated device:
a program ends with ports open, a worker thread outlives the main thread, Ctrl-C during
a read, a device held by another program."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from child_process import default_signals
from package_source import search_path
from serial_support import serial

SERIAL = "LIFE0001"
EXIT_LIMIT = 2.0  # seconds from the program's last line to its exit

# The pool's module registers its exit hook on import: before the ports register theirs.
PROLOGUE = """
import sys, threading, time
from concurrent.futures import ThreadPoolExecutor
import serial, torvak_serial
ports = [serial.serial_for_url("torvak://{}/%d" % n, timeout=1) for n in (1, 2)]
def say(text):
    print(text, flush=True)
""".format(SERIAL)


@pytest.fixture
def device(testbed):
    dev = testbed.plug(serial=SERIAL, channels=4)
    dev.set_loopback(True)
    return dev


def start(testbed, body):
    env = dict(os.environ)
    env["PYTHONPATH"] = search_path(env.get("PYTHONPATH"))
    env["UMOCKDEV_DIR"] = testbed.root_dir  # set in the C environment after os.environ was copied
    return subprocess.Popen(
        [sys.executable, "-c", PROLOGUE + textwrap.dedent(body)], env=env,
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=default_signals(),
    )


def wait_for_line(process, expected):
    line = process.stdout.readline()
    assert line == expected + b"\n", (line, process.stderr.read() if not line else b"")
    return time.monotonic()


def finish(process, since, limit=EXIT_LIMIT):
    """Waits for the exit; (status, seconds since `since`, remaining stdout, stderr)."""
    try:
        process.wait(timeout=limit + 10)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    elapsed = time.monotonic() - since
    return process.returncode, elapsed, process.stdout.read(), process.stderr.read()


def assert_closed(device):
    assert not device.channel_state(1)["open"] and not device.channel_state(2)["open"]
    assert device.open_handles == 0


ENDINGS = {
    "normally": ("pass", 0),
    "by an exception": ("raise RuntimeError('the end')", 1),
    "by sys.exit": ("sys.exit(3)", 3),
    # Idle pool workers end only when their own exit hook runs; the port hook must not
    # wait for them first.
    "with an idle thread pool": ("pool = ThreadPoolExecutor(2)\n"
                                 "pool.submit(ports[1].write, b'y').result()", 0),
}


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_a_program_ending_with_ports_open_exits_promptly_and_closes_them(device, testbed, ending):
    code, status = ENDINGS[ending]
    process = start(testbed, "ports[0].write(b'x')\nsay('ending')\n" + code)
    since = wait_for_line(process, b"ending")
    returncode, elapsed, _, err = finish(process, since)
    assert returncode == status, err
    assert elapsed < EXIT_LIMIT, (elapsed, err)
    assert (b"the end" in err) == (ending == "by an exception"), err
    assert b"Fatal" not in err and b"terminate" not in err, err
    assert_closed(device)


def test_a_worker_thread_keeps_its_port_until_it_ends(device, testbed):
    process = start(testbed, """
        def worker():
            time.sleep(0.5)  # the main thread has ended by now
            ports[0].write(b"late")
            say(repr(ports[0].read(4)))
        threading.Thread(target=worker).start()
        say("main ends")
    """)
    wait_for_line(process, b"main ends")
    since = wait_for_line(process, b"b'late'")
    returncode, elapsed, _, err = finish(process, since)
    assert returncode == 0 and elapsed < EXIT_LIMIT, (elapsed, err)
    assert_closed(device)


def test_ctrl_c_during_a_blocking_read_raises_keyboard_interrupt_and_the_program_ends(device, testbed):
    process = start(testbed, """
        ports[0].timeout = None
        say("reading")
        try:
            ports[0].read(10)
        except KeyboardInterrupt:
            say("interrupted")
            raise
    """)
    wait_for_line(process, b"reading")
    time.sleep(0.2)  # well inside read() by now
    process.send_signal(signal.SIGINT)
    since = wait_for_line(process, b"interrupted")
    returncode, elapsed, _, err = finish(process, since)
    assert returncode == -signal.SIGINT and elapsed < EXIT_LIMIT, (returncode, elapsed, err)
    assert_closed(device)


OPEN_AND_SAY = """
import serial, sys, torvak_serial
try:
    serial.serial_for_url(sys.argv[1])
except serial.SerialException as error:
    print(error)
"""


def test_a_device_held_by_another_program_names_it_as_ps_does(device, child_env, tmp_path):
    """The holder by its program's name and pid ("torvak receive ..."), not its interpreter;
    asked from another process, which also sees the emulator holding the node."""
    script = tmp_path / "torvak"
    script.write_text("import sys\nfrom torvak_cli.main import main\nsys.exit(main())\n")
    holder = subprocess.Popen([sys.executable, str(script), "receive", "torvak://{}/1".format(SERIAL),
                               str(tmp_path / "in.bin")], env=child_env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        said = holder.stderr.readline()
        assert said.startswith(b"receiving from"), said + holder.stderr.read()
        asked = subprocess.run([sys.executable, "-c", OPEN_AND_SAY, "torvak://{}/3".format(SERIAL)], env=child_env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    finally:
        holder.kill()
        holder.wait()
    message = asked.stdout.decode()
    assert message.startswith("could not open port torvak://{}/3: device {} is in use by torvak receive ".format(
        SERIAL, SERIAL)), (message, asked.stderr)
    assert "(pid {}): end that program".format(holder.pid) in message, message
    assert "(pid {})".format(os.getpid()) not in message, message  # the emulator's own process
