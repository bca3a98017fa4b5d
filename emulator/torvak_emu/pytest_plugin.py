"""pytest plugin: emulated Torvak devices for the tests of your own programs.

Installed with the torvak-emu distribution (entry point ``pytest11``), it gives tests the
fixtures

``torvak_device``
    one emulated device, plugged before the test and unplugged after it: serial number
    "EMU0001", 4 channels, each sending back what is written to it. The marker
    ``@pytest.mark.torvak_device(serial=..., channels=..., loopback=..., cross=(a, b),
    version=...)`` changes that; the device (a ``torvak_emu.Device``) takes peers
    (``set_peer``) and faults (``unplug``, ``unplug_after_out``, ``fail_out_after``,
    ``set_fault`` ...) in the test itself.
``torvak_plug``
    a factory, ``torvak_plug(serial=..., channels=..., loopback=True, cross=None, **plug)``,
    for tests that want several devices or to plug one later; every device it plugged is
    unplugged after the test.
``torvak_testbed``
    the process's ``torvak_emu.Testbed``.

The emulated bus must exist before libusb starts in the test process, so the plugin makes
it while pytest reads its configuration, before any conftest or test module is imported.
That needs umockdev's preload library from the process's start: run the tests as
``umockdev-wrapper pytest``. Where that is missing, the tests that use the fixtures skip,
and the session ends with one line saying why and what to do; with
TORVAK_REQUIRE_EMULATOR=1 (for CI) they fail instead.
"""
import os
import shutil

import pytest

import torvak_emu

# Why the session has no emulated bus, or None once it has one. Set by
# pytest_load_initial_conftests.
_unavailable = None
# How many tests skipped for want of the bus, and why: said once, at the session's end.
_skipped = 0
_skip_reason = None


def unavailable_reason():
    """None when devices can be emulated in this process, else what to do about it."""
    usable, why = torvak_emu.Testbed.available()
    if usable:
        return None
    if not torvak_emu._under_umockdev():
        if shutil.which("umockdev-wrapper") is None:
            return ("umockdev is not installed: install it (Debian/Ubuntu: apt install umockdev "
                    "libumockdev0) and run the tests as `umockdev-wrapper pytest`")
        return ("pytest does not run under umockdev-wrapper (its preload library must be there "
                "from the process's start): run the tests as `umockdev-wrapper pytest`")
    return why


def _required():
    return os.environ.get("TORVAK_REQUIRE_EMULATOR") == "1"


@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config, parser, args):
    global _unavailable
    _unavailable = unavailable_reason()
    if _unavailable is None:
        torvak_emu.Testbed.get()


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "torvak_device(serial='EMU0001', channels=4, loopback=True, cross=None, **plug): "
        "the emulated device the torvak_device fixture plugs")


@pytest.fixture
def torvak_testbed():
    """The emulated USB bus of this process; skips the test (fails it with
    TORVAK_REQUIRE_EMULATOR=1) where devices cannot be emulated."""
    global _skipped, _skip_reason
    reason = _unavailable if _unavailable is not None else unavailable_reason()
    if reason is not None:
        if _required():
            pytest.fail("emulated device required (TORVAK_REQUIRE_EMULATOR=1) but unavailable: " + reason)
        _skipped += 1
        _skip_reason = reason
        # The reason itself is said once, at the end of the run (pytest_terminal_summary).
        pytest.skip("no emulated Torvak device (the torvak-emu line at the end says why)")
    return torvak_emu.Testbed.get()


@pytest.fixture
def torvak_plug(torvak_testbed):
    """Plugs emulated devices: torvak_plug(serial="EMU0001", channels=4, loopback=True,
    cross=None, **options of Testbed.plug) returns the torvak_emu.Device; all of them are
    unplugged after the test."""
    plugged = []

    def plug(serial="EMU0001", channels=4, loopback=True, cross=None, **options):
        device = torvak_testbed.plug(serial=serial, channels=channels, **options)
        plugged.append(device)
        if loopback:
            device.set_loopback()
        if cross is not None:
            device.cross_lines(*cross)
        return device

    yield plug
    for device in plugged:
        if device.connected:
            device.unplug()


@pytest.fixture
def torvak_device(request, torvak_plug):
    """One emulated device for the test, as its torvak_device marker describes (default:
    serial "EMU0001", 4 looped-back channels); unplugged after the test."""
    marker = request.node.get_closest_marker("torvak_device")
    if marker is not None and marker.args:
        raise pytest.UsageError("the torvak_device marker takes keyword arguments only")
    return torvak_plug(**(marker.kwargs if marker is not None else {}))


def pytest_terminal_summary(terminalreporter):
    if _skipped:
        terminalreporter.write_line(
            "torvak-emu: {} test(s) skipped, no emulated Torvak device: {}".format(_skipped, _skip_reason),
            yellow=True)
