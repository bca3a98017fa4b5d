"""torvak_common against the real module: every text it reads is the module's own, so a
changed message fails here instead of changing what users read; port names parse as the
module parses them; ids and sizes are the module's."""
import ast
import errno
import glob
import importlib.util
import os
import subprocess
import sys

import pytest

import torvak_common
import zeq_torvak
from torvak_common import Failure, Kind, classify
from torvak_discovery import release_device


def _raised(action):
    with pytest.raises(BaseException) as info:
        action()
    return info.value


def _release(serial_number):
    try:
        release_device(zeq_torvak.get_hid_device(serial_number))
    except AssertionError:
        pass


def test_ids_and_sizes_are_the_modules():
    assert (torvak_common.VENDOR_ID, torvak_common.PRODUCT_ID) == (zeq_torvak._vid, zeq_torvak._pid)
    assert torvak_common.PACKET_SIZE == zeq_torvak._Device.PackageSize
    assert torvak_common.USB_ID == "0483:5750"


def test_every_module_message_it_reads_is_recognised(testbed, stderr):
    assert classify(_raised(lambda: zeq_torvak.get_hid_device())) == Failure(Kind.NO_DEVICE)
    failure = classify(_raised(lambda: zeq_torvak.get_hid_device("NO SUCH:1")))
    assert failure == Failure(Kind.UNKNOWN_SERIAL, "NO SUCH:1")

    device = testbed.plug(serial="PIN0001", channels=4)
    try:
        failure = classify(_raised(lambda: zeq_torvak.Serial("Torvak:PIN0001:S9")))
        assert (failure.kind, failure.serial_number, failure.channel_count) == (Kind.CHANNEL_RANGE, "PIN0001", 4)
        port = zeq_torvak.Serial("Torvak:PIN0001:S1")
        failure = classify(_raised(lambda: zeq_torvak.Serial("Torvak:PIN0001:S1")))
        assert failure == Failure(Kind.CHANNEL_OPEN, "PIN0001", channel=1)
        device.set_fault(config="wrong_rate")  # the device reports half the rate asked for
        failure = classify(_raised(lambda: zeq_torvak.Serial("Torvak:PIN0001:S2", 19200)))
        assert failure == Failure(Kind.BAUD_MISMATCH, "PIN0001", channel=2, requested=19200, reported=9600)
        device.set_fault(config="silent")
        failure = classify(_raised(lambda: zeq_torvak.Serial("Torvak:PIN0001:S3", 4800)))
        assert failure == Failure(Kind.BAUD_TIMEOUT, "PIN0001", channel=3, requested=4800)
        port.close()
        assert classify(_raised(lambda: port.read(1))) == Failure(Kind.CLOSED, "PIN0001", channel=1)

        device.set_fault(config="ok")
        port = zeq_torvak.Serial("Torvak:PIN0001:S4")
        device.fail_out_after(1, errno.EPIPE)  # a stall: a USB error that is none of the named ones
        assert classify(_raised(lambda: port.write(b"x"))) == Failure(Kind.USB)
        assert classify(OSError(errno.EBUSY, "not from USB")) == Failure(Kind.OTHER)
        # Only what an error carries counts, never its words.
        assert classify(AssertionError("通道[1]已经打开:PIN0001")) == Failure(Kind.OTHER)
        device.unplug()
        assert stderr.wait_for(1)
        assert torvak_common.reader_failure_serial(stderr.writes[0]) == "PIN0001"
        assert classify(_raised(lambda: port.write(b"x"))) == Failure(Kind.UNPLUGGED)
        port.close()
    finally:
        _release("PIN0001")

    testbed.plug(serial="PIN0002").set_fault(master="silent")
    try:
        failure = classify(_raised(lambda: zeq_torvak.Serial("Torvak:PIN0002:S1")))
        assert failure == Failure(Kind.NO_CHANNEL_COUNT, "PIN0002")
    finally:
        _release("PIN0002")
    assert torvak_common.reader_failure_serial("波特率查询结果异常:Torvak:PIN0002:S1：[x]") is None


class _Recorder:
    def open_serial_channel(self, **arguments):
        raise _Asked(arguments["serial_number"], arguments["channel"])


class _Asked(Exception):
    pass


@pytest.mark.parametrize(
    "name",
    [
        "torvak:any:s1", "TORVAK:Any:S2", "Torvak:ab12:S1", "Torvak:ANY:S 7 ", "Torvak:ANY:S1_0",
        "Torvak:ANY:S-1", "Torvak:ANY:S0", "Torvak:straße:S1", "Torvak::S3", "Torvak:ANY:S\u0663",
        "Torvak:ANY:S1.5", "Torvak:ANY:S", "Torvak:ANY:", "Torvak:ANY:C1", "COM3", "Torvak:ANY:S1:x",
        "Foo:ANY:S1",
    ],
)
def test_port_names_parse_as_the_module_parses_them(monkeypatch, name):
    monkeypatch.setattr(zeq_torvak, "_resource_manager", _Recorder())
    error = _raised(lambda: zeq_torvak.Serial(name))
    asked = tuple(error.args) if isinstance(error, _Asked) else None
    assert torvak_common.parse_port_name(name) == asked


@pytest.mark.parametrize("words, named", [
    (["/opt/venv/bin/python3", "-X", "utf8", "-u", "/opt/venv/bin/torvak", "receive", "x.bin"], "torvak receive x.bin"),
    (["/usr/bin/python3.11", "-m", "torvak_cli", "term"], "python3.11 -m torvak_cli term"),
    (["/usr/bin/picocom", "-b", "9600", "/dev/ttyX"], "picocom -b 9600 /dev/ttyX"),
    # Another user's words reach this user's terminal: no escape sequence gets through.
    (["evil", "\x1b]0;owned\x07", "\x1b[2J"], "evil ?]0;owned? ?[2J"),
])
def test_a_holder_is_named_as_ps_names_its_program(words, named):
    from torvak_discovery.holders import command_name

    assert command_name(words) == named


# Each package's floor and the packages above it, which it may never import, not even in
# a function: torvak_common is what every face shares, and loading it must load nothing
# native (a client of the service alone may lack the module).
_ABOVE = {
    "torvak_common": {"zeq_torvak", "_torvak_readiness", "serial", "torvak_discovery", "torvak_serial", "torvak_cli"},
    "torvak_discovery": {"_torvak_readiness", "serial", "torvak_serial", "torvak_cli"},
    "torvak_serial": {"torvak_cli"},
}


def _imports(tree, package):
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            yield package if node.level else node.module or ""


def test_no_package_imports_one_above_it():
    wrong = []
    for package, above in _ABOVE.items():
        folder = importlib.util.find_spec(package).submodule_search_locations[0]
        for path in glob.glob(os.path.join(folder, "**", "*.py"), recursive=True):
            with open(path) as source:
                tree = ast.parse(source.read())
            wrong += ["{} imports {}".format(path, name) for name in _imports(tree, package)
                      if name.split(".")[0] in above]
    assert wrong == []

    every_module = "import pkgutil, sys, torvak_common\n" \
        "for module in pkgutil.walk_packages(torvak_common.__path__, 'torvak_common.'):\n" \
        "    __import__(module.name)\n" \
        "print(sorted(set(m.split('.')[0] for m in sys.modules) & {!r}))".format(_ABOVE["torvak_common"])
    loaded = subprocess.run([sys.executable, "-c", every_module], stdout=subprocess.PIPE, check=True,
                            universal_newlines=True, timeout=60).stdout
    assert loaded.strip() == "[]"
