"""The module surface, member by member: names in binding order, classes and their
members in definition order with kinds, parameters, defaults, annotation texts and
documentation, the wildcard import, repeated import, a quiet import and the
demonstration run as the main program.
"""
import array
import collections
import inspect
import json
import os
import subprocess
import sys
import textwrap
import threading
import time
import typing

import pytest

import zeq_torvak

HERE = os.path.dirname(os.path.abspath(__file__))
FunctionType = type(zeq_torvak.get_hid_device)

NO_DEFAULT = inspect.Parameter.empty

# --- the tables -----------------------------------------------------------------------

NAMESPACE = [
    "_array", "_deque", "_libusb", "sys", "_Event", "_Lock", "_Thread", "_sleep", "_now", "_Dict",
    "_Callable", "_Optional", "_Iterable", "_usb_core", "_usb_back", "_close_usb_device", "_backend",
    "_USBDevice", "_vid", "_pid", "_Device", "_Channel", "_ResourceManager", "_resource_manager",
    "list_serial_numbers", "Serial", "get_hid_device",
]
MODULE_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}
PUBLIC = {"Serial", "get_hid_device", "list_serial_numbers", "sys"}


def doc(*lines):
    return "\n\t\t" + "\n\t\t".join(lines) + "\n\t\t"


ECHO_DOC = doc(
    "向 Hid 设备发送参数指定的字符串，然后接收从设备返回的数据，以字符串形式返回给调用者。",
    "正常情况下，返回的字符串应与参数内容完全相同（由调用者检测）。",
    "参数字符串必须要能以 UTF8 编码为字节串，并且编码所得字节串长度不超过一定长度（约57）",
)
CHANNEL_READ_DOC = doc(
    "从输入缓存中读取数据。",
    "如果缓存中没有数据，返回空数组（长度为零的数组，不是 None）。",
    "如果返回的数组非空，但长度比 max_size 小，调用者需要再次调用此函数，",
    "直到满足了所需的数据长度，或者返回的是空数组。",
)


def p(name, annotation=None, default=NO_DEFAULT):
    return (name, annotation, default)


def constant(name, value):
    return dict(name=name, kind="constant", value=value)


def method(name, params, result=None, doc=None):
    return dict(name=name, kind="method", params=params, result=result, doc=doc)


def static(name, params, result=None):
    return dict(name=name, kind="static", params=params, result=result, doc=None)


def prop(name, result=None):
    return dict(name=name, kind="property", result=result)


def settable(name, value_annotation, result=None):
    return dict(name=name, kind="settable", value_annotation=value_annotation, result=result)


CLASSES = {
    "_Device": [
        constant("PackageSize", 64),
        constant("IOControlChannel", 100),
        method("__init__", [p("dev_manager"), p("hid_handle", "_USBDevice")]),
        method("set_io_control_handler_for_channel", [p("handler", "_Callable"), p("channel", "int")]),
        method("reset_io_control_handler_for_channel", [p("channel", "int")]),
        method("__read", [p("timeout", "int", 50)], "_array"),
        method("__write", [p("data"), p("timeout", "int", 100)]),
        method("__query_channel_count", []),
        prop("channel_count", "int"),
        method("close", []),
        method("handle_io_control_package", [p("package", "_array"), p("channel", "int")]),
        method("input_scanner_function", []),
        static("handle_channel_count_response", [p("package", "_array")]),
        method("open_channel", [p("channel", "int"), p("baudrate", "int"), p("timeout", "float")]),
        method("close_channel", [p("channel", "int")]),
        prop("serial_number", "str"),
        method("output_data", [p("data")]),
        method("_send_command_to_channel", [p("command", "str"), p("channel", "int")]),
        method("send_command_to_channel", [p("command", "str"), p("channel", "int")]),
        method("io_control_master_query", [p("command", "str"), p("handler", "_Callable"), p("timeout", "float", 0.5)]),
        static("master_basic_handler", [p("package", "_array")]),
        method("echo", [p("content", "str")], "str", ECHO_DOC),
        prop("firmware_version", "str"),
    ],
    "_Channel": [
        method("__init__", [p("device", "_Device"), p("channel_number", "int"), p("timeout", "float", -1.0)]),
        method("_update_baudrate", [p("package", "_array")]),
        method("initialize", [p("baudrate", "int")]),
        settable("baudrate", "int", "int"),
        prop("name", "str"),
        method("close", []),
        prop("is_open", "bool"),
        prop("in_waiting", "int"),
        method("input_data", [p("data")]),
        method("read_until", [p("expected", None, b"\n"), p("size", "int", None)], "_array"),
        method("read", [p("max_size", "int")]),
        method("__read", [p("max_size", "int")], None, CHANNEL_READ_DOC),
        method("write", [p("data", "_Iterable")], "int"),
        settable("timeout", "float", "float"),
        method("flush_input", []),
    ],
    "_ResourceManager": [
        static("find_device", [p("serial_number", "str", "")], "_usb_core.Device"),
        method("__init__", []),
        method("get_device_by_serial_number", [p("serial_number", "str")], "_Device"),
        method(
            "open_serial_channel",
            [p("serial_number", "str"), p("channel", "int"), p("baudrate", "int"), p("timeout", "float")],
            "_Channel",
        ),
        method("close_device", [p("device", "_Device")]),
    ],
    "Serial": [
        method("__init__", [p("port", "str"), p("baudrate", "int", 9600), p("timeout", "float", 0.0)]),
        method("__enter__", []),
        method("__exit__", [p("exc_type"), p("exc_val"), p("exc_tb")]),
        method("close", []),
        method("read", [p("size", "int", 1)], "bytes"),
        method("write", [p("data")], "int"),
        method("read_until", [p("expected", None, b"\n"), p("size", None, None)], "bytes"),
        settable("baudrate", "int"),
        prop("port", "str"),
        prop("is_open"),
        prop("in_waiting", "int"),
        settable("timeout", "float", "float"),
        method("flushInput", []),
        method("flushOutput", []),
        method("flush", []),
    ],
}

MODULE_FUNCTIONS = [
    dict(name="list_serial_numbers", params=[], result=None),
    dict(name="get_hid_device", params=[p("serial_number", "str", "ANY")], result="_Device"),
]

MANGLED = {"_Device__read", "_Device__write", "_Device__query_channel_count", "_Channel__read"}

CLASS_ATTRIBUTES = {"__module__", "__dict__", "__weakref__", "__doc__"}


def mangled(class_name, member):
    if member.startswith("__") and not member.endswith("__"):
        return "_" + class_name.lstrip("_") + member
    return member


def signature(params, result):
    return inspect.Signature(
        [
            inspect.Parameter(
                name,
                inspect.Parameter.POSITIONAL_OR_KEYWORD,
                default=default,
                annotation=NO_DEFAULT if annotation is None else annotation,
            )
            for name, annotation, default in params
        ],
        return_annotation=NO_DEFAULT if result is None else result,
    )


def check_function(fn, name, qualname, params, result, doc=None):
    """Everything the interpreter shows of one function, against its table row."""
    assert type(fn) is FunctionType
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, qualname, "zeq_torvak")
    assert fn.__doc__ == doc
    defaults = tuple(d for _, _, d in params if d is not NO_DEFAULT)
    # repr tells 0 from 0.0 and b"\n" from "\n".
    assert repr(fn.__defaults__) == repr(defaults or None)
    annotations = {n: a for n, a, _ in params if a is not None}
    if result is not None:
        annotations["return"] = result
    assert fn.__annotations__ == annotations
    assert inspect.signature(fn) == signature(params, result)


def member_rows():
    return [
        pytest.param(class_name, row, id="%s.%s" % (class_name, row["name"]))
        for class_name, rows in CLASSES.items()
        for row in rows
    ]


# --- the namespace ------------------------------------------------------------------------


def test_names_in_binding_order():
    names = [n for n in vars(zeq_torvak) if n not in MODULE_ATTRIBUTES]
    assert names == NAMESPACE


@pytest.mark.parametrize(
    "name, expected",
    [
        ("_array", array.array),
        ("_deque", collections.deque),
        ("sys", sys),
        ("_Event", threading.Event),
        ("_Lock", threading.Lock),
        ("_Thread", threading.Thread),
        ("_sleep", time.sleep),
        ("_now", time.time),
        ("_Dict", typing.Dict),
        ("_Callable", typing.Callable),
        ("_Optional", typing.Optional),
        ("_Iterable", typing.Iterable),
    ],
)
def test_host_names(name, expected):
    assert getattr(zeq_torvak, name) is expected


def test_usb_layer_names():
    z = zeq_torvak
    assert (z._vid, z._pid) == (1155, 22352) and type(z._vid) is int and type(z._pid) is int
    assert z._USBDevice is z._usb_core.Device
    assert callable(z._libusb.find_library) and callable(z._usb_back.get_backend)
    assert callable(z._usb_core.find) and callable(z._close_usb_device)
    assert issubclass(z._usb_core.USBTimeoutError, z._usb_core.USBError)
    assert issubclass(z._usb_core.USBError, IOError)


def test_resource_manager_instance():
    rm = zeq_torvak._resource_manager
    assert type(rm) is zeq_torvak._ResourceManager


def test_wildcard_import_takes_the_public_names():
    assert not hasattr(zeq_torvak, "__all__")
    namespace = {}
    exec("from zeq_torvak import *", namespace)
    assert set(namespace) - {"__builtins__"} == PUBLIC
    assert namespace["sys"] is sys and namespace["Serial"] is zeq_torvak.Serial


# --- classes and members -----------------------------------------------------------------


@pytest.mark.parametrize("class_name", list(CLASSES))
def test_class_is_made_by_type(class_name):
    cls = getattr(zeq_torvak, class_name)
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "zeq_torvak"
    assert cls.__name__ == cls.__qualname__ == class_name


@pytest.mark.parametrize("class_name", list(CLASSES))
def test_members_in_definition_order(class_name):
    cls = getattr(zeq_torvak, class_name)
    names = [n for n in vars(cls) if n not in CLASS_ATTRIBUTES]
    assert names == [mangled(class_name, row["name"]) for row in CLASSES[class_name]]


def test_private_names_are_mangled():
    present = {n for name in CLASSES for n in vars(getattr(zeq_torvak, name))}
    assert MANGLED <= present
    assert not {"__read", "__write", "__query_channel_count"} & present


@pytest.mark.parametrize("class_name, row", member_rows())
def test_member(class_name, row):
    cls = getattr(zeq_torvak, class_name)
    key = mangled(class_name, row["name"])
    assert key in vars(cls), "%s has no member %s" % (class_name, key)
    obj = vars(cls)[key]
    qualname = class_name + "." + row["name"]
    self_param = [p("self")]
    kind = row["kind"]
    if kind == "constant":
        assert type(obj) is int and obj == row["value"]
    elif kind == "method":
        check_function(obj, row["name"], qualname, self_param + row["params"], row["result"], row["doc"])
    elif kind == "static":
        assert type(obj) is staticmethod
        check_function(obj.__func__, row["name"], qualname, row["params"], row["result"])
        assert getattr(cls, key) is obj.__func__
    else:
        assert type(obj) is property and obj.fdel is None
        check_function(obj.fget, row["name"], qualname, self_param, row["result"])
        if kind == "property":
            assert obj.fset is None
        else:
            check_function(obj.fset, row["name"], qualname, self_param + [p("value", row["value_annotation"])], None)


@pytest.mark.parametrize("row", MODULE_FUNCTIONS, ids=[f["name"] for f in MODULE_FUNCTIONS])
def test_module_function(row):
    fn = getattr(zeq_torvak, row["name"])
    check_function(fn, row["name"], row["name"], row["params"], row["result"])


def test_serial_refuses_a_bool_baudrate_before_opening_anything():
    with pytest.raises(TypeError) as info:
        zeq_torvak.Serial("Torvak:ANY:S1", baudrate=True)
    assert str(info.value).startswith("Serial.__init__() argument 'baudrate'")


def test_documentation_texts_are_the_only_ones():
    documented = {}
    for class_name in CLASSES:
        for key, obj in vars(getattr(zeq_torvak, class_name)).items():
            fns = [obj.fget, obj.fset] if isinstance(obj, property) else [getattr(obj, "__func__", obj)]
            for fn in fns:
                if type(fn) is FunctionType and fn.__doc__ is not None:
                    documented[fn.__qualname__] = fn.__doc__
    for row in MODULE_FUNCTIONS:
        assert getattr(zeq_torvak, row["name"]).__doc__ is None
    assert documented == {"_Device.echo": ECHO_DOC, "_Channel.__read": CHANNEL_READ_DOC}


# --- loading ---------------------------------------------------------------------------------


def subprocess_env():
    """The environment of this run, with the directory this module came from first."""
    here = os.path.dirname(os.path.abspath(zeq_torvak.__file__))
    path = [here] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(path))


IMPORT_SCRIPT = textwrap.dedent(
    """
    import importlib, json, os, sys, threading

    def usb_descriptors():
        found = []
        for fd in os.listdir("/proc/self/fd"):
            try:
                target = os.readlink("/proc/self/fd/" + fd)
            except OSError:
                continue
            if "bus/usb" in target:
                found.append(target)
        return found

    threads = set(threading.enumerate())
    import zeq_torvak
    first_rm = zeq_torvak._resource_manager
    import zeq_torvak as again
    report = {
        "same module": again is zeq_torvak and importlib.import_module("zeq_torvak") is zeq_torvak,
        "namespace kept": again._resource_manager is first_rm,
        "new threads": [t.name for t in threading.enumerate() if t not in threads],
        "usb device descriptors": usb_descriptors(),
    }
    try:
        report["filed devices"] = len(first_rm._ResourceManager__devices)
    except Exception as exc:
        report["filed devices"] = repr(exc)
    print(json.dumps(report))
    """
)


def test_import_once_quietly():
    out = subprocess.run(
        [sys.executable, "-c", IMPORT_SCRIPT], env=subprocess_env(), capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 1, "importing must print nothing: %r" % out.stdout
    assert json.loads(lines[0]) == {
        "same module": True,
        "namespace kept": True,
        "new threads": [],
        "usb device descriptors": [],
        "filed devices": 0,
    }


def test_demonstration_prints_one_empty_line_without_a_device():
    out = subprocess.run(
        [sys.executable, os.path.join(HERE, os.pardir, "tools", "run_as_main.py")],
        env=subprocess_env(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (out.returncode, out.stdout, out.stderr) == (0, "\n", "")
