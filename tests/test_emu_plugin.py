"""The emulator's pytest plugin, as a user's own test run meets it: a child pytest over a
test file of the user's, on a bus of its own or with no umockdev at all."""
import os
import re
import subprocess
import sys

import torvak_emu
import zeq_torvak
from package_source import search_path, with_emulator_plugin

USER_TESTS = '''
import errno
import pytest
import serial
import torvak_serial


def test_default_device_echoes(torvak_device):
    assert torvak_device.serial == "EMU0001"
    with serial.serial_for_url("torvak://EMU0001/4", timeout=2) as port:
        port.write(b"ping\\n")
        assert port.readline() == b"ping\\n"


@pytest.mark.torvak_device(serial="MARK02", channels=2, loopback=False, cross=(1, 2))
def test_marker_sets_serial_channels_and_cross(torvak_device):
    assert [p.device for p in torvak_serial.comports()] == ["torvak://MARK02/1", "torvak://MARK02/2"]
    with serial.serial_for_url("torvak://MARK02/1", timeout=2) as one, \\
            serial.serial_for_url("torvak://MARK02/2", timeout=2) as two:
        one.write(b"across\\n")
        assert two.readline() == b"across\\n"


def test_factory_plugs_several_and_faults_reach_the_port(torvak_plug):
    first = torvak_plug(serial="FAC001", channels=1)
    torvak_plug(serial="FAC002", channels=3)
    assert len(torvak_serial.comports()) == 4
    with serial.serial_for_url("torvak://FAC001/1", timeout=2) as port:
        first.unplug()
        with pytest.raises(serial.SerialException):
            port.read(1)


def test_every_device_was_unplugged_after_its_test(torvak_testbed):
    assert torvak_testbed.devices() == []
'''


def run_user_tests(tmp_path, under_umockdev, extra_env=None):
    (tmp_path / "test_user.py").write_text(USER_TESTS)
    env = dict(os.environ)
    env.pop("UMOCKDEV_DIR", None)  # the child makes a bus of its own
    env.pop("TORVAK_REQUIRE_EMULATOR", None)  # CI's, for this process
    if not under_umockdev:
        env.pop("LD_PRELOAD", None)
    env["PYTHONPATH"] = search_path(os.path.dirname(os.path.dirname(os.path.abspath(torvak_emu.__file__))),
                                    os.path.dirname(os.path.abspath(zeq_torvak.__file__)), env.get("PYTHONPATH"))
    env.update(extra_env or {})
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_user.py"],
                          cwd=str(tmp_path), env=with_emulator_plugin(env), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=100)


def test_a_users_tests_pass_on_the_fixtures_devices(tmp_path, testbed):
    result = run_user_tests(tmp_path, under_umockdev=True)
    assert result.returncode == 0 and "4 passed" in result.stdout, result.stdout


def test_without_umockdev_the_tests_skip_with_one_message_or_fail_when_required(tmp_path):
    result = run_user_tests(tmp_path, under_umockdev=False)
    assert result.returncode == 0 and "4 skipped" in result.stdout, result.stdout
    said = re.findall(r"^torvak-emu: .*umockdev-wrapper pytest.*$", result.stdout, re.M)
    assert len(said) == 1 and "4 test(s) skipped" in said[0], result.stdout

    # Where umockdev is not installed at all, the message says to install it.
    no_umockdev = run_user_tests(tmp_path, under_umockdev=False, extra_env={"PATH": str(tmp_path)})
    said = re.findall(r"^torvak-emu: .*$", no_umockdev.stdout, re.M)
    assert len(said) == 1 and "apt install umockdev libumockdev0" in said[0], no_umockdev.stdout

    required = run_user_tests(tmp_path, under_umockdev=False, extra_env={"TORVAK_REQUIRE_EMULATOR": "1"})
    assert required.returncode == 1 and "4 errors" in required.stdout, required.stdout
    assert "torvak-emu:" not in required.stdout
