"""The Serial port object: port-name parsing, the registry request, and forwarding to
the channel, tested against a fake registry and a fake channel."""
import array
import json
import os
import subprocess
import sys
import textwrap
import types

import pytest

import zeq_torvak
from zeq_torvak import Serial


SXXX = 'Device name must be "Sxxx" format, where "xxx" are decimal digit(s).'
PORT_NAME = 'Device name must be "Torvak:SN:Sxxx" format, where "xxx" are decimal digit(s).'


class FakeChannel:
    def __init__(self):
        self.calls = []
        self.baudrate = 9600
        self.timeout = 0.0
        self.name = "Torvak:SER1:S1"
        self.is_open = True
        self.in_waiting = 0
        self.read_result = array.array("B", b"\x00\xffA")
        self.write_result = 3

    def read(self, *args):
        self.calls.append(("read", args))
        return self.read_result

    def read_until(self, *args):
        self.calls.append(("read_until", args))
        return self.read_result

    def write(self, *args):
        self.calls.append(("write", args))
        return self.write_result

    def close(self, *args):
        self.calls.append(("close", args))
        self.is_open = False
        return "ignored"

    def flush_input(self, *args):
        self.calls.append(("flush_input", args))
        return "ignored"


class FakeRegistry:
    def __init__(self):
        self.requests = []
        self.channel = FakeChannel()
        self.fail_with = None

    def open_serial_channel(self, *, serial_number, channel, baudrate, timeout):
        self.requests.append((serial_number, channel, baudrate, timeout))
        if self.fail_with:
            raise self.fail_with
        return self.channel


@pytest.fixture
def registry(monkeypatch):
    fake = FakeRegistry()
    monkeypatch.setattr(zeq_torvak, "_resource_manager", fake)
    return fake


@pytest.fixture
def port(registry):
    return Serial("Torvak:ANY:S1")


def unpacking_error(text):
    """The interpreter's own error for unpacking the fields into three names."""
    try:
        a, b, c = text.split(":")
    except ValueError as e:
        return str(e)
    raise AssertionError("unpacks fine: %r" % text)


ACCEPTED = [
    ("torvak:any:s1", "ANY", 1),
    ("TORVAK:Any:S1", "ANY", 1),
    ("Torvak:ANY:S1", "ANY", 1),
    ("Torvak:ANY:S 7 ", "ANY", 7),
    ("Torvak:ANY:S1_0", "ANY", 10),
    ("Torvak:ANY:S+3", "ANY", 3),
    ("Torvak:ANY:S-1", "ANY", -1),
    ("Torvak:ANY:S0", "ANY", 0),
    ("Torvak:ANY:S999", "ANY", 999),
    ("Torvak:ANY:s\u0661\u0662", "ANY", 12),  # Arabic-Indic digits
    ("Torvak:ab12:S1", "AB12", 1),
    ("Torvak::S2", "", 2),
    ("Torvak:stra\u00dfe:S1", "STRASSE", 1),  # full upper-case mapping
]

# (port name, exception type, message); None: the interpreter's own message.


REFUSED = [
    ("COM3", ValueError, unpacking_error("COM3")),
    ("Torvak:ANY", ValueError, unpacking_error("Torvak:ANY")),
    ("Torvak:ANY:S1:extra", ValueError, unpacking_error("Torvak:ANY:S1:extra")),
    ("Foo:ANY:S1:extra", ValueError, unpacking_error("Foo:ANY:S1:extra")),
    ("Foo:ANY:S1", AssertionError, 'Device type "Foo" not supported.'),
    ("Foo:ANY:", AssertionError, 'Device type "Foo" not supported.'),
    ("Torvak:ANY:", IndexError, "string index out of range"),
    ("Torvak:ANY:C1", AssertionError, SXXX),
    ("Torvak:ANY:1", AssertionError, SXXX),
    ("Torvak:ANY:S", ValueError, PORT_NAME),
    ("Torvak:ANY:S1.5", ValueError, PORT_NAME),
    ("Torvak:ANY:S0x10", ValueError, PORT_NAME),
    ("Torvak:ANY:S1__0", ValueError, PORT_NAME),
]


class TestPortNames:
    @pytest.mark.parametrize("name,serial,channel", ACCEPTED)
    def test_accepted(self, registry, name, serial, channel):
        Serial(name)
        assert registry.requests == [(serial, channel, 9600, 0.0)]
        (serial_nb, number, _, timeout), = registry.requests
        assert type(serial_nb) is str and type(number) is int and type(timeout) is float

    @pytest.mark.parametrize("name,kind,message", REFUSED)
    def test_refused(self, registry, name, kind, message):
        with pytest.raises(kind) as err:
            Serial(name)
        assert type(err.value) is kind
        assert str(err.value) == message
        assert registry.requests == []

    def test_device_type_is_reported_as_given(self, registry):
        odd = "T\u00d6rvak\udcff"
        with pytest.raises(AssertionError) as err:
            Serial(odd + ":ANY:S1")
        assert err.value.args == ('Device type "%s" not supported.' % odd,)

    def test_bad_channel_number_keeps_the_conversion_error_as_context(self, registry):
        with pytest.raises(ValueError) as err:
            Serial("Torvak:ANY:Sx1")
        assert err.value.__cause__ is None and not err.value.__suppress_context__
        context = err.value.__context__
        assert type(context) is ValueError and "'x1'" in str(context)


class TestConstruction:
    def test_arguments_reach_the_registry_by_keyword(self, registry):
        s = Serial(port="Torvak:ANY:S2", baudrate=115200, timeout=2)
        assert registry.requests == [("ANY", 2, 115200, 2.0)]
        assert type(registry.requests[0][3]) is float
        assert s._Serial__handle is registry.channel

    @pytest.mark.parametrize("kwargs", [
        {"port": b"Torvak:ANY:S1"},
        {"port": type("S", (str,), {})("Torvak:ANY:S1")},
        {"port": None},
        {"port": "Torvak:ANY:S1", "baudrate": True},
        {"port": "Torvak:ANY:S1", "baudrate": 9600.0},
        {"port": "Torvak:ANY:S1", "baudrate": None},
        {"port": "Torvak:ANY:S1", "timeout": None},
        {"port": "Torvak:ANY:S1", "timeout": "1"},
    ])
    def test_argument_types(self, registry, kwargs):
        with pytest.raises(TypeError):
            Serial(**kwargs)
        assert registry.requests == []

    def test_registry_errors_propagate(self, registry):
        registry.fail_with = AssertionError("channel out of range")
        with pytest.raises(AssertionError, match="channel out of range"):
            Serial("Torvak:ANY:S0")

    def test_through_the_real_registry(self, monkeypatch):
        """Port name -> registry -> device search -> device -> channel."""
        handle = types.SimpleNamespace(serial_number="SER9")
        opened = []

        class Device:
            def __init__(self, manager, hid_handle):
                self.serial_number = hid_handle.serial_number

            def open_channel(self, **kwargs):
                opened.append(kwargs)
                ch = FakeChannel()
                ch.name = "Torvak:%s:S%d" % (self.serial_number, kwargs["channel"])
                return ch

        monkeypatch.setattr(zeq_torvak, "_resource_manager", zeq_torvak._ResourceManager())
        monkeypatch.setattr(zeq_torvak, "_Device", Device)
        monkeypatch.setattr(zeq_torvak, "_usb_core",
                            types.SimpleNamespace(find=lambda **kw: [handle] if kw.get("find_all") else None))
        s = Serial("torvak:any:s2", timeout=1)
        assert opened == [{"channel": 2, "baudrate": 9600, "timeout": 1.0}]
        assert s.port == "Torvak:SER9:S2"


class TestOperations:
    def test_read(self, port, registry):
        ch = registry.channel
        assert port.read() == b"\x00\xffA"
        ch.read_result = [1, 2]
        assert port.read(5) == b"\x01\x02"
        ch.read_result = array.array("B")
        result = port.read(0)
        assert result == b"" and type(result) is bytes
        assert ch.calls == [("read", (1,)), ("read", (5,)), ("read", (0,))]

    @pytest.mark.parametrize("size", [True, None, 1.0, "1"])
    def test_read_size_must_be_int(self, port, registry, size):
        with pytest.raises(TypeError):
            port.read(size)
        assert registry.channel.calls == []

    def test_read_until(self, port, registry):
        ch = registry.channel
        ch.read_result = bytearray(b"ab\n")
        result = port.read_until()
        assert result == b"ab\n" and type(result) is bytes
        port.read_until(b"x", 3)
        port.read_until(size=None)
        assert ch.calls == [("read_until", (b"\n", None)), ("read_until", (b"x", 3)), ("read_until", (b"\n", None))]

    def test_write(self, port, registry):
        assert port.write("text") == 3
        assert registry.channel.calls == [("write", ("text",))]
        registry.channel.write_result = None
        assert port.write(b"") is None
        registry.channel.write_result = 3.0
        with pytest.raises(TypeError):
            port.write(b"abc")

    def test_settings(self, port, registry):
        ch = registry.channel
        port.baudrate = 115200
        assert ch.baudrate == 115200 and port.baudrate == 115200
        with pytest.raises(TypeError):
            port.baudrate = 9600.0
        with pytest.raises(TypeError):
            port.baudrate = True
        port.timeout = 1
        assert ch.timeout == 1.0 and type(ch.timeout) is float and port.timeout == 1.0
        with pytest.raises(TypeError):
            port.timeout = None
        assert ch.baudrate == 115200 and ch.timeout == 1.0

    def test_reports(self, port, registry):
        ch = registry.channel
        assert port.port == "Torvak:SER1:S1"
        assert port.is_open is True
        ch.in_waiting = 7
        assert port.in_waiting == 7
        ch.in_waiting = 7.0
        with pytest.raises(TypeError):
            port.in_waiting
        ch.name = b"Torvak"
        with pytest.raises(TypeError):
            port.port

    @pytest.mark.parametrize("name", ["port", "is_open", "in_waiting"])
    def test_read_only_properties(self, port, name):
        with pytest.raises(AttributeError):
            setattr(port, name, 1)
        with pytest.raises(AttributeError):
            delattr(port, name)

    def test_flushes(self, port, registry):
        assert port.flushInput() is None
        assert port.flushOutput() is None
        assert port.flush() is None
        assert registry.channel.calls == [("flush_input", ())]

    def test_flush_calls_an_overridden_flush_output(self, registry):
        class Counting(Serial):
            flushed = 0

            def flushOutput(self):
                Counting.flushed += 1
                return "ignored"

        s = Counting("Torvak:ANY:S1")
        assert s.flush() is None
        assert Counting.flushed == 1 and registry.channel.calls == []

    def test_close_keeps_the_channel(self, port, registry):
        assert port.close() is None
        assert registry.channel.calls == [("close", ())]
        assert port._Serial__handle is registry.channel and port.is_open is False


class TestWithBlock:
    def test_enter_returns_the_port_and_exit_closes_it(self, port, registry):
        with port as s:
            assert s is port
        assert registry.channel.calls == [("close", ())]

    def test_exception_in_block_closes_and_propagates(self, port, registry):
        with pytest.raises(KeyError, match="boom"):
            with port:
                raise KeyError("boom")
        assert registry.channel.calls == [("close", ())]

    def test_exit_calls_an_overridden_close(self, registry):
        closed = []

        class Port(Serial):
            def close(self):
                closed.append(self)

        with Port("Torvak:ANY:S1") as s:
            pass
        assert closed == [s] and registry.channel.calls == []

    def test_close_error_replaces_the_block_error(self, port, registry):
        def broken_close():
            raise OSError("USB gone")

        registry.channel.close = broken_close
        with pytest.raises(OSError) as err:
            with port:
                raise KeyError("boom")
        assert isinstance(err.value.__context__, KeyError)


OPTIMISED_SCRIPT = textwrap.dedent("""
    import json, sys
    import zeq_torvak

    class Registry:
        def open_serial_channel(self, **kw):
            return kw

    zeq_torvak._resource_manager = Registry()
    out = {}
    for name in sys.argv[1:]:
        try:
            out[name] = ["opened", zeq_torvak.Serial(name)._Serial__handle]
        except Exception as e:
            out[name] = [type(e).__name__, str(e)]
    print(json.dumps(out))
""")


# Outcomes that differ once the checks made as assertions are skipped: the first
# character of the channel field is dropped unchecked.
OPTIMISED_DIFFERENCES = {
    "Foo:ANY:S1": ("ANY", 1),
    "Foo:ANY:": (ValueError, PORT_NAME),
    "Torvak:ANY:": (ValueError, PORT_NAME),
    "Torvak:ANY:C1": ("ANY", 1),
    "Torvak:ANY:1": (ValueError, PORT_NAME),
    "Torvak:ANY:X5": ("ANY", 5),
    "Torvak:ANY:15": ("ANY", 5),
}


def test_port_names_with_assertions_disabled():
    outcomes = {name: (serial, channel) for name, serial, channel in ACCEPTED}
    outcomes.update({name: (kind, message) for name, kind, message in REFUSED})
    outcomes.update(OPTIMISED_DIFFERENCES)
    expected = {}
    for name, (first, second) in outcomes.items():
        if isinstance(first, str):
            expected[name] = ["opened", {"serial_number": first, "channel": second, "baudrate": 9600, "timeout": 0.0}]
        else:
            expected[name] = [first.__name__, second]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(zeq_torvak.__file__)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    run = subprocess.run([sys.executable, "-O", "-c", OPTIMISED_SCRIPT] + list(expected), env=env,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == expected
