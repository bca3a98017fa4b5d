"""The device registry: discovery, sharing one device object per serial number, and
release, tested against a fake USB layer and a fake device class."""
import json
import os
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest

import zeq_torvak


NOT_FOUND = "Torvak Device (VID=0x483, PID=0x5750) not found."


def not_found(serial):
    return 'Torvak Device (VID=0x483, PID=0x5750) with Serial Number "%s" not found.' % serial


class FakeUsbCore:
    """Stands in for the USB layer's search; records every call."""

    def __init__(self, *serials):
        self.handles = [types.SimpleNamespace(serial_number=s) for s in serials]
        self.calls = []
        self.before_search = None  # called inside find(), for timing tests

    def find(self, **criteria):
        self.calls.append(criteria)
        if self.before_search:
            self.before_search()
        if criteria.get("find_all"):
            return list(self.handles)
        return next((h for h in self.handles if h.serial_number == criteria["serial_number"]), None)


class FakeDevice:
    """Records how the registry constructs devices and opens channels."""

    made = []
    fail_with = None

    def __init__(self, dev_manager, hid_handle):
        if FakeDevice.fail_with:
            raise FakeDevice.fail_with
        self.dev_manager = dev_manager
        self.hid_handle = hid_handle
        self.serial_number = hid_handle.serial_number if hid_handle is not None else None
        self.opened = []
        FakeDevice.made.append(self)

    def open_channel(self, **kwargs):
        self.opened.append(kwargs)
        return ("channel", self, kwargs["channel"])


@pytest.fixture
def usb(monkeypatch):
    core = FakeUsbCore("A1", "B2")
    FakeDevice.made = []
    FakeDevice.fail_with = None
    monkeypatch.setattr(zeq_torvak, "_usb_core", core)
    monkeypatch.setattr(zeq_torvak, "_Device", FakeDevice)
    return core


@pytest.fixture
def registry(monkeypatch, usb):
    rm = zeq_torvak._ResourceManager()
    monkeypatch.setattr(zeq_torvak, "_resource_manager", rm)
    return rm


def searches(core):
    return len(core.calls)


class TestFindDevice:
    def test_criteria_and_result(self, usb, monkeypatch):
        backend = object()
        monkeypatch.setattr(zeq_torvak, "_backend", backend)  # looked up at call time
        found = zeq_torvak._ResourceManager.find_device()
        assert [h.serial_number for h in found] == ["A1", "B2"]
        assert usb.calls[-1] == {"idVendor": 0x483, "idProduct": 0x5750, "backend": backend, "find_all": True}
        assert zeq_torvak._ResourceManager.find_device("B2") is usb.handles[1]
        assert usb.calls[-1] == {"idVendor": 0x483, "idProduct": 0x5750, "backend": backend, "serial_number": "B2"}
        assert zeq_torvak._ResourceManager.find_device("b2") is None  # exact, case-sensitive


class TestListSerialNumbers:
    def test_lists_every_attached_device_in_order(self, usb):
        usb.handles.append(types.SimpleNamespace(serial_number=None))
        assert zeq_torvak.list_serial_numbers() == ["A1", "B2", None]

    def test_empty_bus_gives_new_empty_lists(self, usb):
        usb.handles.clear()
        first = zeq_torvak.list_serial_numbers()
        assert first == [] and type(first) is list
        assert zeq_torvak.list_serial_numbers() is not first


class TestLookup:
    def test_no_device_attached(self, registry, usb):
        usb.handles.clear()
        with pytest.raises(AssertionError) as err:
            zeq_torvak.get_hid_device()
        assert str(err.value) == NOT_FOUND
        assert FakeDevice.made == []

    def test_unknown_serial_number(self, registry, usb):
        with pytest.raises(AssertionError) as err:
            registry.get_device_by_serial_number("ZZ9")
        assert str(err.value) == not_found("ZZ9")

    def test_unknown_serial_message_keeps_any_text(self, registry, usb):
        odd = 'x"\udcff\u00e9'
        with pytest.raises(AssertionError) as err:
            registry.get_device_by_serial_number(odd)
        assert err.value.args == (not_found(odd),)

    def test_any_opens_first_enumerated_device_and_files_it_under_its_serial(self, registry, usb):
        dev = zeq_torvak.get_hid_device()
        assert dev.hid_handle is usb.handles[0] and dev.dev_manager is registry
        assert usb.calls[-1].get("find_all") is True
        n = searches(usb)
        assert zeq_torvak.get_hid_device() is dev
        assert registry.get_device_by_serial_number("A1") is dev
        assert searches(usb) == n  # both served from the registry
        filed = registry._ResourceManager__devices
        assert len(filed) == 1 and list(filed) == ["A1"] and filed["A1"] is dev

    def test_any_stops_the_enumeration_at_the_first_device(self, registry, usb, monkeypatch):
        taken = []

        def lazy(**criteria):
            for h in usb.handles:
                taken.append(h.serial_number)
                yield h

        monkeypatch.setattr(zeq_torvak, "_usb_core", types.SimpleNamespace(find=lazy))
        assert zeq_torvak.get_hid_device().serial_number == "A1"
        assert taken == ["A1"]

    def test_any_picks_the_earliest_filed_device(self, registry, usb):
        b = registry.get_device_by_serial_number("B2")
        a = registry.get_device_by_serial_number("A1")
        assert registry.get_device_by_serial_number("ANY") is b
        registry.close_device(b)
        assert registry.get_device_by_serial_number("ANY") is a

    def test_get_hid_device_does_not_upper_case(self, registry, usb):
        with pytest.raises(AssertionError) as err:
            zeq_torvak.get_hid_device("any")
        assert str(err.value) == not_found("any")
        assert usb.calls[-1]["serial_number"] == "any"

    def test_lower_case_serial_number(self, registry, usb):
        usb.handles[:] = [types.SimpleNamespace(serial_number="ab12")]
        with pytest.raises(AssertionError) as err:
            registry.open_serial_channel("ab12", 1, 9600, 1.0)
        assert str(err.value) == not_found("AB12")
        dev = zeq_torvak.get_hid_device("ab12")
        assert registry.open_serial_channel("any", 2, 9600, 1.0) == ("channel", dev, 2)

    def test_failed_construction_files_nothing_and_releases_the_lock(self, registry, usb):
        FakeDevice.fail_with = OSError("claim failed")
        with pytest.raises(OSError, match="claim failed"):
            registry.get_device_by_serial_number("A1")
        FakeDevice.fail_with = None
        dev = registry.get_device_by_serial_number("ANY")  # would hang if the lock leaked
        assert dev.serial_number == "A1" and len(FakeDevice.made) == 1

    def test_type_rules(self, registry, usb):
        for call in (
            lambda: registry.get_device_by_serial_number(b"A1"),
            lambda: zeq_torvak.get_hid_device(None),
            lambda: registry.open_serial_channel("A1", True, 9600, 1.0),
            lambda: registry.open_serial_channel("A1", 1, 9600, "1"),
        ):
            with pytest.raises(TypeError):
                call()
        assert usb.calls == []


class TestOpenSerialChannel:
    def test_forwards_by_keyword_with_float_timeout(self, registry, usb):
        channel = registry.open_serial_channel("a1", 3, 115200, 2)
        dev = FakeDevice.made[0]
        assert channel == ("channel", dev, 3)
        assert dev.opened == [{"channel": 3, "baudrate": 115200, "timeout": 2.0}]
        assert type(dev.opened[0]["timeout"]) is float

    def test_any_in_lower_case_is_the_wildcard(self, registry, usb):
        registry.open_serial_channel("any", 1, 9600, 0.0)
        assert usb.calls[-1].get("find_all") is True

    def test_registry_lock_is_free_while_the_channel_opens(self, registry, usb, monkeypatch):
        seen = {}

        class SlowDevice(FakeDevice):
            def open_channel(self, **kwargs):
                helper = threading.Thread(target=lambda: seen.setdefault("dev", registry.get_device_by_serial_number("ANY")))
                helper.start()
                helper.join(5)
                seen["blocked"] = helper.is_alive()
                return "ch"

        monkeypatch.setattr(zeq_torvak, "_Device", SlowDevice)
        assert registry.open_serial_channel("A1", 1, 9600, 0.0) == "ch"
        assert seen["blocked"] is False and seen["dev"] is FakeDevice.made[0]


class TestCloseDevice:
    def test_unfiled_device_is_ignored(self, registry, usb):
        a = registry.get_device_by_serial_number("A1")
        registry.close_device(types.SimpleNamespace(serial_number="B2"))
        registry.close_device(types.SimpleNamespace(serial_number=None))
        assert registry.get_device_by_serial_number("A1") is a
        assert len(FakeDevice.made) == 1

    def test_closed_device_is_replaced_by_a_new_one(self, registry, usb):
        old = registry.get_device_by_serial_number("A1")
        registry.close_device(old)
        new = registry.get_device_by_serial_number("A1")
        assert new is not old and len(FakeDevice.made) == 2

    def test_stale_device_does_not_unregister_its_successor(self, registry, usb):
        old = registry.get_device_by_serial_number("A1")
        registry.close_device(old)
        new = registry.get_device_by_serial_number("A1")
        n = searches(usb)
        registry.close_device(old)  # the old object closing late
        assert registry.get_device_by_serial_number("A1") is new
        assert registry.get_device_by_serial_number("ANY") is new
        assert searches(usb) == n
        assert list(registry._ResourceManager__devices) == ["A1"]


class TestConcurrency:
    def test_two_threads_asking_for_one_serial_get_one_device(self, registry, usb):
        entered = threading.Event()
        release = threading.Event()

        def slow_search():
            entered.set()
            release.wait(5)

        usb.before_search = slow_search
        results = []
        threads = [threading.Thread(target=lambda: results.append(registry.get_device_by_serial_number("B2")))
                   for _ in range(2)]
        threads[0].start()
        assert entered.wait(5)
        threads[1].start()
        time.sleep(0.2)  # the second thread is now waiting for the registry
        release.set()
        for t in threads:
            t.join(5)
        assert len(results) == 2 and results[0] is results[1]
        assert searches(usb) == 1 and len(FakeDevice.made) == 1


def test_class_has_exactly_its_members():
    own = [k for k in vars(zeq_torvak._ResourceManager)
           if k not in ("__module__", "__qualname__", "__dict__", "__weakref__", "__doc__")]
    assert own == ["find_device", "__init__", "get_device_by_serial_number", "open_serial_channel", "close_device"]
    assert isinstance(zeq_torvak._ResourceManager.__dict__["find_device"], staticmethod)
    fresh = zeq_torvak._ResourceManager()
    assert list(vars(fresh)) == ["_ResourceManager__devices", "_ResourceManager__device_lock"]
    assert len(fresh._ResourceManager__devices) == 0


OPTIMISED_SCRIPT = textwrap.dedent("""
    import json, types
    import zeq_torvak

    class Device:
        def __init__(self, manager, handle):
            self.handle = handle
            self.serial_number = "made-from-" + repr(handle)

    out = {}
    zeq_torvak._Device = Device
    zeq_torvak._usb_core = types.SimpleNamespace(find=lambda **kw: [] if kw.get("find_all") else None)
    out["any"] = zeq_torvak._ResourceManager().get_device_by_serial_number("ANY").handle
    out["serial"] = zeq_torvak._ResourceManager().get_device_by_serial_number("Q7").handle
    print(json.dumps(out))
""")


def test_not_found_checks_are_skipped_under_optimisation():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(zeq_torvak.__file__)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    run = subprocess.run([sys.executable, "-O", "-c", OPTIMISED_SCRIPT], env=env, capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == {"any": None, "serial": None}


class TestWithEmulatedDevices:
    """The registry with real device objects over the emulated USB bus."""

    @pytest.fixture
    def fresh_registry(self, testbed, monkeypatch):
        rm = zeq_torvak._ResourceManager()
        monkeypatch.setattr(zeq_torvak, "_resource_manager", rm)
        return rm

    def test_channels_share_one_device_that_leaves_when_its_last_channel_closes(self, testbed, fresh_registry):
        testbed.plug(serial="REG0001", channels=4)
        filed = fresh_registry._ResourceManager__devices
        ports = []
        try:
            ports.append(zeq_torvak.Serial("torvak:any:s1", timeout=1))
            ports.append(zeq_torvak.Serial("Torvak:REG0001:S2", timeout=1))
            assert list(filed) == ["REG0001"]
            device = zeq_torvak.get_hid_device("REG0001")
            assert zeq_torvak.list_serial_numbers() == ["REG0001"]
        finally:
            for p in ports:
                p.close()
        assert len(filed) == 0
        port = zeq_torvak.Serial("Torvak:REG0001:S1", timeout=1)
        try:
            assert filed["REG0001"] is not device
        finally:
            port.close()

    def test_concurrent_opens_of_one_device(self, testbed, fresh_registry):
        testbed.plug(serial="REG0002", channels=4)
        ports, errors = [], []

        def open_port(n):
            try:
                ports.append(zeq_torvak.Serial("Torvak:REG0002:S%d" % n, timeout=1))
            except Exception as exc:  # reported below
                errors.append(exc)

        threads = [threading.Thread(target=open_port, args=(n,)) for n in range(1, 5)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        try:
            assert errors == [] and len(ports) == 4
            assert len(fresh_registry._ResourceManager__devices) == 1
        finally:
            closers = [threading.Thread(target=p.close) for p in ports]
            for t in closers:
                t.start()
            for t in closers:
                t.join(30)
        assert len(fresh_registry._ResourceManager__devices) == 0
