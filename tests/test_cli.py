"""The torvak command, driven as a user drives it: a child process against emulated devices.

The child reaches the emulated bus of this process through umockdev's preload library and
the testbed directory named in its environment; the devices' USB traffic is answered here.
"""
import errno
import json
import os
import re
import select
import signal
import subprocess
import sys
import termios
import time

import pytest

from child_process import default_signals
from package_source import PYTHON_DIR, REPO, search_path
from waiting import wait_until

FILE_SIZE = 100 * 1024
RECORD_PAYLOAD = 61  # what the emulator's IN records carry at most
CHILD_TIMEOUT = 20

# Run the command in a new session whose controlling terminal is the pty on stdin, so
# that Ctrl-C typed there interrupts it as it would in a terminal window.
CONTROLLING_TTY_SHIM = """
import fcntl, os, sys, termios
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
os.execv(sys.executable, [sys.executable, "-m", "torvak_cli"] + sys.argv[1:])
"""
# Root opens any node whatever its mode; without these capabilities it is refused like
# any user without the udev rule. Exit status 77: the capabilities cannot be dropped here.
DROP_FILE_CAPABILITIES_SHIM = """
import ctypes, os, sys
PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH = 24, 1, 2
libc = ctypes.CDLL(None, use_errno=True)
for capability in (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH):
    if libc.prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0:
        sys.exit(77)
os.execv(sys.executable, [sys.executable, "-m", "torvak_cli"] + sys.argv[1:])
"""


def cli_env(testbed):
    env = dict(os.environ)
    env["PYTHONPATH"] = search_path(env.get("PYTHONPATH"))
    # umockdev set it in the C environment after os.environ was copied from there.
    env["UMOCKDEV_DIR"] = testbed.root_dir
    return env


def run_cli(testbed, *args, shim=None):
    command = [sys.executable] + (["-c", shim] if shim else ["-m", "torvak_cli"]) + [str(a) for a in args]
    return subprocess.run(
        command, env=cli_env(testbed), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, timeout=CHILD_TIMEOUT,
    )


def start_cli(testbed, *args):
    return subprocess.Popen(
        [sys.executable, "-m", "torvak_cli"] + [str(a) for a in args], env=cli_env(testbed),
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=default_signals(),
    )


def read_until(fd, marker, timeout=10.0):
    """Reads `fd` until `marker` has been seen; returns everything read."""
    seen = b""
    deadline = time.monotonic() + timeout
    while marker not in seen:
        left = deadline - time.monotonic()
        assert left > 0, "no {!r} within {} s; read {!r}".format(marker, timeout, seen)
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError as error:  # a pty whose other side has gone
                if error.errno != errno.EIO:
                    raise
                chunk = b""
            assert chunk, "end of output before {!r}; read {!r}".format(marker, seen)
            seen += chunk
    return seen


def finish(process):
    try:
        out, err = process.communicate(timeout=CHILD_TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return process.returncode, out, err


def assert_error_line(returncode, stderr, *fragments):
    text = stderr.decode("utf-8")
    assert returncode == 1, text
    assert "Traceback" not in text
    lines = text.splitlines()
    assert len(lines) == 1 and lines[0].startswith("torvak: "), text
    for fragment in fragments:
        assert fragment in lines[0]
    return lines[0]


def assert_released(device, channel=None):
    """The command closed its handle (and with it the claim) and, for a port, the channel."""
    assert wait_until(lambda: device.open_handles == 0), device.open_handles
    assert not device.claimed
    if channel is not None:
        assert device.channel_state(channel)["open"] is False


def written_to(device, channel):
    """The data the host wrote to one channel, from the OUT packets' data records."""
    data = b""
    for packet in device.out_packets():
        index = 0
        while index < 62 and 0 < packet[index] < 100:  # data records up to the end or a control record
            count = packet[index + 1]
            if packet[index] == channel:
                data += bytes(packet[index + 2:index + 2 + count])
            index += 2 + count
    return data


def queue_data(device, channel, data):
    for start in range(0, len(data), RECORD_PAYLOAD):
        chunk = data[start:start + RECORD_PAYLOAD]
        device.queue_in(bytes([channel, len(chunk)]) + chunk + bytes(62 - len(chunk)))


@pytest.fixture
def payload(tmp_path):
    data = os.urandom(FILE_SIZE)
    path = tmp_path / "payload.bin"
    path.write_bytes(data)
    return path, data


class TestListAndInfo:
    def test_list_names_every_device_with_channels_and_firmware(self, testbed):
        first = testbed.plug(serial="EMU0001", channels=4, version="Torvak-EMU 1.0")
        second = testbed.plug(serial="TV0002", channels=2, version="FW 2.5")
        result = run_cli(testbed, "list")
        assert result.returncode == 0, result.stderr
        rows = [line.split(None, 2) for line in result.stdout.decode().splitlines()]
        assert rows[0] == ["SERIAL", "CHANNELS", "FIRMWARE"]
        assert sorted(rows[1:]) == [["EMU0001", "4", "Torvak-EMU 1.0"], ["TV0002", "2", "FW 2.5"]]
        assert result.stderr == b""
        assert_released(first)
        assert_released(second)

    def test_what_a_program_left_unread_does_not_fail_the_next_opens(self, testbed):
        """A program wrote 200,000 bytes to a looped-back channel and closed without reading
        them back: the next program lists the channel count, and the next open of another
        channel takes its normal time."""
        import zeq_torvak

        device = testbed.plug(serial="EMU0001", channels=4)
        device.set_loopback(True)

        def write_and_leave():
            with zeq_torvak.Serial("Torvak:EMU0001:S1", 115200, timeout=1) as port:
                port.write(bytes(200000))
            assert_released(device)

        write_and_leave()
        result = run_cli(testbed, "list")
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode().splitlines()[1].split(None, 2)[:2] == ["EMU0001", "4"]
        write_and_leave()
        started = time.monotonic()
        with zeq_torvak.Serial("Torvak:EMU0001:S2", 115200, timeout=1) as port:
            assert time.monotonic() - started < 0.9  # the channel-count query alone may take 1 s
            port.write(b"fresh")
            assert port.read(5) == b"fresh"

    def test_list_without_device_says_so_and_agrees_with_its_json(self, testbed):
        result = run_cli(testbed, "list")
        assert (result.returncode, result.stdout, result.stderr) == (0, b"no Torvak device attached (USB 0483:5750)\n",
                                                                     b"")

    def test_info_reports_channels_firmware_and_echo_time(self, testbed):
        device = testbed.plug(serial="EMU0001", channels=6, version="V 3.1")
        result = run_cli(testbed, "info", "emu0001")  # letter case does not matter
        assert result.returncode == 0, result.stderr
        text = result.stdout.decode()
        assert re.search(r"^serial number\s+EMU0001$", text, re.M)
        assert re.search(r"^channels\s+6$", text, re.M)
        assert re.search(r"^firmware version\s+V 3\.1$", text, re.M)
        assert re.search(r"^echo round trip\s+\d+\.\d ms$", text, re.M)
        assert_released(device)

    def test_info_on_unknown_serial_names_what_is_attached(self, testbed):
        testbed.plug(serial="EMU0001")
        result = run_cli(testbed, "info", "NOPE")
        assert_error_line(result.returncode, result.stderr, "serial number NOPE", "attached: EMU0001")

    def test_info_on_a_silent_device_fails_and_releases_it(self, testbed):
        device = testbed.plug(serial="EMU0001")
        device.set_fault(master="silent")
        result = run_cli(testbed, "info")
        assert_error_line(result.returncode, result.stderr, "EMU0001 did not report its channel count")
        assert_released(device)


class TestSend:
    def test_file_arrives_byte_exact_with_progress_and_rate(self, testbed, payload):
        path, data = payload
        device = testbed.plug(serial="EMU0001")
        device.set_loopback(True)
        result = run_cli(testbed, "send", "Torvak:ANY:S1", path, "--progress")
        assert result.returncode == 0, result.stderr
        assert written_to(device, 1) == data
        err = result.stderr.decode()
        assert "100%" in err.split("\r")[-1]
        assert re.search(r"^sent 102400 bytes to Torvak:EMU0001:S1 in \d+\.\d\d s \(\d+ bytes/s\)$", err, re.M)
        assert_released(device, 1)

    def test_unplug_mid_transfer_is_one_line_with_the_count_sent(self, testbed, payload):
        path, _ = payload
        device = testbed.plug(serial="EMU0001")
        device.unplug_after_out(200)  # a few commands open the channel, then data
        result = run_cli(testbed, "send", "Torvak:EMU0001:S1", path)
        line = assert_error_line(result.returncode, result.stderr, "device EMU0001 was unplugged after ")
        sent = int(re.search(r"after (\d+) of 102400 bytes", line).group(1))
        assert 0 < sent < FILE_SIZE


    def test_a_serial_number_with_lower_case_letters_still_names_its_device(self, testbed, payload):
        """Port names upper-case the serial number, yet the port reaches this device and
        not the other one attached; it is shown as ANY, the only port name that fits it."""
        path, data = payload
        other = testbed.plug(serial="EMU0002")
        device = testbed.plug(serial="emu0001")
        for name in ("torvak://emu0001/1", "Torvak:EMU0001:S1"):
            device.out_packets(clear=True)
            result = run_cli(testbed, "send", name, path)
            assert result.returncode == 0, result.stderr
            assert written_to(device, 1) == data
            assert re.search(r"^sent 102400 bytes to Torvak:ANY:S1 in ", result.stderr.decode(), re.M)
            assert_released(device, 1)
        assert written_to(other, 1) == b""

    def test_a_send_whose_device_stops_taking_fails_saying_what_was_not_delivered(self, monkeypatch):
        """It used to give up quietly and report the file sent."""
        sys.path.insert(0, PYTHON_DIR)
        try:
            from torvak_cli import transfer
            from torvak_cli.failures import CliError
        finally:
            sys.path.remove(PYTHON_DIR)

        class Stuck:
            port, out_waiting, in_waiting = "torvak://EMU0001/1", 700, 0

        monkeypatch.setattr(transfer, "DELIVERY_LIMIT", 0.2)
        with pytest.raises(CliError, match=r"^torvak://EMU0001/1: the device took nothing for 0.2 s; 700 bytes"):
            transfer._wait_for_device(Stuck(), transfer._waiting(Stuck()))


class TestReceive:
    def start_receiving(self, testbed, *options):
        process = start_cli(testbed, "receive", "Torvak:EMU0001:S2", *options)
        read_until(process.stderr.fileno(), b"Ctrl-C stops\n")  # the channel is open and flushed
        return process

    def test_file_of_given_size_arrives_byte_exact(self, testbed, payload, tmp_path):
        _, data = payload
        device = testbed.plug(serial="EMU0001")
        out = tmp_path / "received.bin"
        process = self.start_receiving(testbed, out, "--size", FILE_SIZE)
        queue_data(device, 2, data)
        returncode, _, err = finish(process)
        assert returncode == 0, err
        assert out.read_bytes() == data
        assert re.search(rb"received 102400 bytes from Torvak:EMU0001:S2 in \d+\.\d\d s \(\d+ bytes/s\)", err)
        assert_released(device, 2)

    def test_quiet_line_ends_the_file(self, testbed, tmp_path):
        device = testbed.plug(serial="EMU0001")
        out = tmp_path / "received.bin"
        process = self.start_receiving(testbed, out, "--idle", "0.3")
        data = os.urandom(1000)
        queue_data(device, 2, data)
        returncode, _, err = finish(process)
        assert returncode == 0, err
        assert out.read_bytes() == data
        assert_released(device, 2)

    def test_short_file_is_an_error_not_a_success(self, testbed, tmp_path):
        device = testbed.plug(serial="EMU0001")
        process = self.start_receiving(testbed, tmp_path / "received.bin", "--size", 1000, "--idle", "0.3")
        queue_data(device, 2, os.urandom(500))
        returncode, _, err = finish(process)
        assert_error_line(returncode, err, "only 500 of 1000 bytes arrived")
        assert_released(device, 2)

    def test_unplug_mid_transfer_keeps_what_arrived(self, testbed, payload, tmp_path):
        _, data = payload
        device = testbed.plug(serial="EMU0001")
        out = tmp_path / "received.bin"
        process = self.start_receiving(testbed, out, "--size", FILE_SIZE)
        queue_data(device, 2, data[:30 * RECORD_PAYLOAD])
        assert wait_until(lambda: device.pending_in() == 0)
        device.unplug()
        returncode, _, err = finish(process)
        assert_error_line(returncode, err, "device EMU0001 was unplugged after {} bytes".format(30 * RECORD_PAYLOAD))
        assert out.read_bytes() == data[:30 * RECORD_PAYLOAD]


class TestPortErrors:
    def test_no_device(self, testbed):
        result = run_cli(testbed, "term", "Torvak:ANY:S1")
        assert_error_line(result.returncode, result.stderr, "no Torvak device attached")

    def test_unknown_serial_number(self, testbed, payload):
        testbed.plug(serial="EMU0001")
        result = run_cli(testbed, "send", "Torvak:NOPE:S1", payload[0])
        assert_error_line(result.returncode, result.stderr, "no Torvak device with serial number NOPE")

    def test_malformed_port_name(self, testbed):
        result = run_cli(testbed, "term", "COM3")
        assert_error_line(result.returncode, result.stderr, "invalid port name 'COM3'")

    @pytest.mark.parametrize("channel", [0, 5])
    def test_channel_out_of_range_releases_the_device(self, testbed, tmp_path, channel):
        device = testbed.plug(serial="EMU0001", channels=4)
        result = run_cli(testbed, "receive", "Torvak:EMU0001:S{}".format(channel), tmp_path / "x")
        assert_error_line(
            result.returncode, result.stderr, "channel {} is out of range: device EMU0001 has channels 1 to 4".format(channel)
        )
        assert not (tmp_path / "x").exists()
        assert_released(device)

    @pytest.mark.parametrize(
        "fault, expected",
        [
            ("wrong_rate", "Torvak:ANY:S1: baud rate 115200 refused: device EMU0001 reports 57600"),
            ("silent", "Torvak:ANY:S1: baud rate 115200 not confirmed: device EMU0001 did not answer within 1 s"),
        ],
    )
    def test_baud_rate_refused(self, testbed, fault, expected):
        device = testbed.plug(serial="EMU0001")
        device.set_fault(config=fault)
        result = run_cli(testbed, "term", "Torvak:ANY:S1", "--baud", "115200")
        assert_error_line(result.returncode, result.stderr, expected)
        assert_released(device, 1)

    def test_permission_denied_names_the_udev_rule(self, testbed, payload):
        device = testbed.plug(serial="EMU0001")
        node = testbed.root_dir + device.devnode
        os.chmod(node, 0)
        shim = DROP_FILE_CAPABILITIES_SHIM if os.geteuid() == 0 else None
        for args in (["list"], ["list", "--json"], ["send", "Torvak:ANY:S1", payload[0]]):
            result = run_cli(testbed, *args, shim=shim)
            if result.returncode == 77:
                pytest.skip("file capabilities cannot be dropped here, and root opens any node")
            line = assert_error_line(
                result.returncode, result.stderr, "permission denied", "/etc/udev/rules.d/60-torvak.rules",
                'ATTR{idVendor}=="0483"', "sudo usermod -aG plugdev $USER",
            )
            if "--json" in args:
                assert json.loads(result.stdout)[0]["error"] == line[len("torvak: "):], result.stdout

    def test_udev_rule_in_the_message_is_the_shipped_one(self):
        sys.path.insert(0, PYTHON_DIR)
        try:
            from torvak_common import UDEV_RULE
        finally:
            sys.path.remove(PYTHON_DIR)
        with open(os.path.join(REPO, "udev", "60-torvak.rules")) as rules:
            shipped = [line.strip() for line in rules if line.strip() and not line.startswith("#")]
        assert shipped == [UDEV_RULE]


class TestTerm:
    def spawn(self, testbed, *args):
        master, slave = os.openpty()
        self.settings = termios.tcgetattr(slave)
        process = subprocess.Popen(
            [sys.executable, "-c", CONTROLLING_TTY_SHIM, "term"] + list(args), env=cli_env(testbed),
            stdin=slave, stdout=slave, stderr=slave, start_new_session=True, preexec_fn=default_signals(),
        )
        self.master, self.slave = master, slave
        read_until(master, b"Ctrl-] quits ---")
        return process

    def end(self, process):
        try:
            process.wait(timeout=CHILD_TIMEOUT)
            restored = termios.tcgetattr(self.slave)
            output = b""
            while select.select([self.master], [], [], 0)[0]:
                chunk = os.read(self.master, 4096)
                if not chunk:
                    break
                output += chunk
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            os.close(self.master)
            os.close(self.slave)
        assert restored == self.settings
        return output

    def test_typed_bytes_go_out_and_received_bytes_show_then_ctrl_bracket_quits(self, testbed):
        device = testbed.plug(serial="EMU0001")
        device.set_loopback(True)
        process = self.spawn(testbed, "Torvak:EMU0001:S3")
        os.write(self.master, b"hello\r")
        # Echo is off: the text can only come back through the device's loopback.
        read_until(self.master, b"hello")
        assert written_to(device, 3) == b"hello\r"
        os.write(self.master, b"\x1d")
        output = self.end(process)
        assert process.returncode == 0, output
        assert b"--- closed ---" in output
        assert_released(device, 3)

    def test_ctrl_c_closes_the_channel(self, testbed):
        device = testbed.plug(serial="EMU0001")
        process = self.spawn(testbed, "Torvak:EMU0001:S1")
        assert device.channel_state(1)["open"] is True
        os.write(self.master, b"\x03")
        output = self.end(process)
        assert process.returncode == 128 + signal.SIGINT, output
        assert b"torvak: interrupted" in output
        assert b"Traceback" not in output
        assert_released(device, 1)


class TestTermEnds:
    def test_piped_binary_data_round_trips_byte_exact(self, testbed, payload):
        path, data = payload
        assert b"\x1d" in data  # the quit key is data when standard input is no terminal
        device = testbed.plug(serial="EMU0001")
        device.set_loopback(True)
        with open(path, "rb") as source:
            result = subprocess.run(
                [sys.executable, "-m", "torvak_cli", "term", "torvak://emu0001/2"], env=cli_env(testbed),
                stdin=source, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=CHILD_TIMEOUT,
            )
        assert result.returncode == 0, result.stderr
        assert result.stdout == data
        assert_released(device, 2)

    def test_twenty_hangups_all_end_with_the_channel_closed(self, testbed):
        """The terminal goes away (its master side closes: SIGHUP, then EIO on every read,
        write and mode change) at moments spread over the session (while data arrives), in
        the module's wait for the baud-rate answer, and just before the module hands the
        open port out (on a slow device), where an exception would leave the channel open
        with nothing left to close it."""
        for attempt in range(20):
            phase = ("baud wait", "session", "opening", "session")[attempt % 4]
            device = testbed.plug(serial="EMU{:04}".format(attempt))  # nothing left of the last try
            device.set_pace_ms(10 if phase == "opening" else 0)
            device.set_fault(config="silent" if phase == "baud wait" else "ok")
            master, slave = os.openpty()
            process = subprocess.Popen(
                [sys.executable, "-c", CONTROLLING_TTY_SHIM, "term", "Torvak:ANY:S1"], env=cli_env(testbed),
                stdin=slave, stdout=slave, stderr=slave, start_new_session=True, preexec_fn=default_signals(),
            )
            os.close(slave)
            try:
                if phase == "session":
                    read_until(master, b"Ctrl-] quits ---")
                    device.stream_in([1], interval_ms=1.0)
                    time.sleep(attempt * 0.01)
                elif phase == "baud wait":
                    assert device.wait_out(1, timeout=CHILD_TIMEOUT)  # the channel-count query
                    time.sleep(0.3)
                else:
                    # "OpenChannel" has arrived; the last command ("FlushInput") is on its
                    # way, and the port object is handed out when it is through.
                    assert device.wait_out(4, timeout=CHILD_TIMEOUT)
                    time.sleep((attempt % 3) * 0.003)
            finally:
                os.close(master)
            try:
                returncode = process.wait(timeout=CHILD_TIMEOUT)
            finally:
                device.stream_in([])
                if process.poll() is None:
                    process.kill()
                    process.wait()
            assert returncode == 128 + signal.SIGHUP, (attempt, phase, returncode)
            assert_released(device, 1)
            device.unplug()

    @pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
    def test_send_and_receive_end_on_a_signal_with_the_channel_closed(self, testbed, payload, signum):
        target, source = testbed.plug(serial="EMU0001"), testbed.plug(serial="EMU0002")
        target.set_pace_ms(5)  # the file takes seconds to go out
        sending = start_cli(testbed, "send", "Torvak:EMU0001:S1", payload[0])
        receiving = start_cli(testbed, "receive", "Torvak:EMU0002:S2", "-")
        read_until(receiving.stderr.fileno(), b"Ctrl-C stops\n")
        assert wait_until(lambda: len(written_to(target, 1)) > 0, timeout=CHILD_TIMEOUT)
        for process in (sending, receiving):
            process.send_signal(signum)
        for process in (sending, receiving):
            returncode, _, err = finish(process)
            assert returncode == 128 + signum, err
            assert err.decode().splitlines()[-1] == "torvak: terminated by " + signal.Signals(signum).name
        assert_released(target, 1)
        assert_released(source, 2)


class TestMiniterm:
    def test_pyserials_miniterm_runs_on_a_channel_and_survives_refused_settings(self, testbed):
        device = testbed.plug(serial="EMU0001")
        device.set_loopback(True)
        master, slave = os.openpty()
        process = subprocess.Popen(
            [sys.executable, "-m", "torvak_cli", "miniterm", "Torvak:emu0001:S1", "--dtr", "0"], env=cli_env(testbed),
            stdin=slave, stdout=slave, stderr=slave, start_new_session=True, preexec_fn=default_signals(),
        )
        try:
            read_until(master, b"--- Miniterm on torvak://EMU0001/1  9600,8,N,1 ---")
            os.write(master, b"hello")
            read_until(master, b"hello")  # echoed by the device: miniterm's own echo is off
            os.write(master, b"\x14\x09")  # Ctrl-T Ctrl-I: the settings
            read_until(master, b"CTS: active")
            os.write(master, b"\x14b")
            read_until(master, b"--- Baudrate: ")
            time.sleep(0.3)  # after its prompt miniterm sets line mode, dropping what was typed before
            os.write(master, b"115200\n")
            read_until(master, b"torvak://EMU0001/1  115200,8,N,1")
            assert device.channel_state(1)["baud"] == 115200
            os.write(master, b"\x14E")  # even parity: refused, and miniterm goes on
            read_until(master, b"parity 'E' is not supported")
            os.write(master, b"after")
            read_until(master, b"after")
            os.write(master, b"\x1d")
            read_until(master, b"--- exit ---")
            assert process.wait(timeout=CHILD_TIMEOUT) == 0
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            os.close(master)
            os.close(slave)
        assert written_to(device, 1) == b"helloafter"
        assert_released(device, 1)


class TestWithEmulatedDevice:
    PROGRAM = "\n".join([
        "import sys, zeq_torvak",
        "print(sorted(zeq_torvak.list_serial_numbers()))",
        "with zeq_torvak.Serial('Torvak:TV0001:S8', timeout=1) as port:",
        "    port.write(b'ping\\n')",
        "    print(port.read_until())",
        "sys.exit(3)",
    ])

    def test_runs_a_program_against_the_chosen_devices_and_passes_its_status_on(self, testbed):
        import torvak_emu

        env = dict(os.environ)
        # Started from a plain shell: the tool must put umockdev in place itself.
        for name in ("LD_PRELOAD", "UMOCKDEV_DIR"):
            env.pop(name, None)
        env["TORVAK_EMU_PATH"] = os.path.dirname(os.path.dirname(torvak_emu.__file__))
        result = subprocess.run(
            # This interpreter: the emulator build named above is for it.
            [sys.executable, os.path.join(REPO, "tools", "with-emulated-device"), "--device", "TV0001:8",
             "--device", "TV0002",
             "--", sys.executable, "-c", self.PROGRAM],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=CHILD_TIMEOUT,
        )
        assert result.returncode == 3, result.stderr
        assert result.stdout.decode().splitlines() == ["['TV0001', 'TV0002']", "b'ping\\n'"]
        err = result.stderr.decode()
        assert "plugged TV0002 (4 channels, data looped back)" in err
        assert "TV0001 S8 received 5 bytes: b'ping\\n'" in err
