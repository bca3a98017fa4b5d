"""The native function type and the class builder.

Most cases run against `_Probe`, a small member table compiled into the module only
with the CMake option ZEQ_TORVAK_TEST_HOOKS (module `_zeq_torvak_test_hooks` in the
same shared object), so that they do not depend on any subsystem's behaviour. The
module functions `get_hid_device` and `list_serial_numbers` cover what they can in
every build. Expected interpreter messages are taken from an equivalent Python
function at run time, so they follow the interpreter the tests run on.
"""
import decimal
import enum
import fractions
import importlib.machinery
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap
import types

import pytest

import zeq_torvak

HOOKS_MODULE = "_zeq_torvak_test_hooks"
FunctionType = type(zeq_torvak.get_hid_device)


def load_hooks():
    origin = zeq_torvak.__spec__.origin
    loader = importlib.machinery.ExtensionFileLoader(HOOKS_MODULE, origin)
    spec = importlib.util.spec_from_file_location(HOOKS_MODULE, origin, loader=loader)
    try:
        module = importlib.util.module_from_spec(spec)
    except ImportError:  # built without the hooks: no PyInit__zeq_torvak_test_hooks
        return None
    loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def hooks():
    module = load_hooks()
    if module is None:
        why = "module built without ZEQ_TORVAK_TEST_HOOKS=ON"
        if os.environ.get("TORVAK_REQUIRE_TEST_HOOKS") == "1":
            pytest.fail(why)
        pytest.skip(why)
    return module


@pytest.fixture
def Probe(hooks):
    return hooks.Probe


@pytest.fixture
def probe(Probe):
    return Probe()


# Python functions with the same parameters as the probe members: the interpreter's
# own behaviour is the reference for messages, defaults and signatures.
class Reference:
    def take(self, text: "str", number: "int", real: "float", anything, maybe: "int" = None,
             label: "str" = "x"):
        pass

    def read_until(self, expected=b"\n", size: "int" = None) -> "_array":
        pass

    def wait(self, timeout: "float" = 0.5):
        pass

    def give_str(self, result) -> "str":
        pass

    def documented(self):
        pass

    @staticmethod
    def twice(number: "int"):
        pass


# Set here: 3.13 and later strip the indentation of docstrings written in the source.
Reference.documented.__doc__ = "\n\t\tfirst line\n\t\tsecond line\n\t\t"


def probe_function(first, second: "float" = 1.5):
    pass


def get_hid_device(serial_number: "str" = "ANY") -> "_Device":
    pass


def list_serial_numbers():
    pass


def type_error_of(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


def interpreter_message(call, qualname):
    """What the interpreter says for `call` on a Python function, named by `qualname`.

    Interpreters before 3.10 name a method by its plain name and recent ones append
    spelling suggestions; the native type always uses the qualified name and makes none.
    """
    message = type_error_of(call).split(". Did you mean", 1)[0]
    return qualname + "() " + message.split("() ", 1)[1]


# --- binding ---------------------------------------------------------------------


def test_method_binds_like_a_function(Probe, probe):
    raw = Probe.__dict__["take"]
    assert type(raw) is FunctionType
    assert Probe.take is raw
    assert raw.__get__(None, Probe) is raw
    bound = probe.take
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is probe and bound.__func__ is raw
    assert probe.take("t", 1, 2.0, "a") == Probe.take(probe, "t", 1, 2.0, "a") == ("t", 1, 2.0, "a", None, "x")


def test_static_method_and_property_wrap_the_native_function(Probe, probe):
    static = Probe.__dict__["twice"]
    assert type(static) is staticmethod and type(static.__func__) is FunctionType
    assert Probe.twice(3) == probe.twice(3) == (3, 3)
    prop = Probe.__dict__["value"]
    assert type(prop) is property
    assert type(prop.fget) is FunctionType and type(prop.fset) is FunctionType and prop.fdel is None
    probe.value = 7
    assert probe.value == 7
    with pytest.raises(TypeError):
        probe.value = True
    assert probe.value == 7, "a refused argument must stop the setter before its body runs"
    with pytest.raises(AttributeError):
        del probe.value


def test_subclass_and_foreign_instance_bind(Probe):
    class Sub(Probe):
        def take(self, *args, **kwargs):
            return ("sub",) + super().take(*args, **kwargs)

    assert Sub(2).take("t", 1, 2, None, label="y") == ("sub", "t", 1, 2.0, None, None, "y")
    assert Sub(2).value == 2

    class Foreign:
        take = Probe.__dict__["take"]

    assert Foreign().take("t", 1, 2, None) == ("t", 1, 2.0, None, None, "x")


def test_native_function_type_cannot_be_instantiated_from_python():
    # An instance made outside the module would have no member row behind it.
    with pytest.raises(TypeError):
        FunctionType()
    with pytest.raises(TypeError):
        object.__new__(FunctionType)


# --- argument binding and its messages --------------------------------------------


def test_positional_and_keyword_arguments_bind_to_parameters(probe, hooks):
    expected = ("t", 2, 1.0, [], None, "y")
    assert probe.take("t", 2, 1, [], None, "y") == expected
    assert probe.take(label="y", anything=[], real=1, number=2, text="t") == expected
    assert probe.take("t", 2, anything=[], real=1, label="y") == expected
    assert hooks.probe_function(second=3, first="f") == ("f", 3.0)


BAD_METHOD_CALLS = {
    "surplus": lambda f: f("t", 1, 2.0, "a", None, "x", "extra"),
    "missing among keywords": lambda f: f(text="t", number=1, real=2.0),
    "one missing": lambda f: f("t", 1, 2.0),
    "several missing": lambda f: f("t"),
    "all missing": lambda f: f(),
    "unexpected keyword": lambda f: f("t", 1, 2.0, "a", colour=1),
    "duplicated by keyword": lambda f: f("t", 1, 2.0, "a", text="u"),
    "keyword error before surplus": lambda f: f("t", 1, 2.0, "a", None, "x", "extra", colour=1),
    "duplicate before surplus": lambda f: f("t", 1, 2.0, "a", None, "x", "extra", text="u"),
    "keyword with embedded nul": lambda f: f("t", 1, 2.0, "a", **{"label\0tail": "x"}),
}


@pytest.mark.parametrize("case", sorted(BAD_METHOD_CALLS))
def test_bad_method_calls_raise_the_interpreters_message(case, Probe, probe):
    call = BAD_METHOD_CALLS[case]
    expected = interpreter_message(lambda: call(Reference().take), "_Probe.take")
    assert type_error_of(lambda: call(probe.take)) == expected


@pytest.mark.parametrize(
    "call",
    [
        lambda f, self: f(),
        lambda f, self: f(self, "t"),
        lambda f, self: f(self, "t", 1, 2.0, "a", None, "x", "extra"),
        lambda f, self: f(text="t", number=1, real=2.0, anything="a"),
    ],
)
def test_unbound_method_counts_self(call, Probe, probe):
    expected = interpreter_message(lambda: call(Reference.take, Reference()), "_Probe.take")
    assert type_error_of(lambda: call(Probe.take, probe)) == expected


@pytest.mark.parametrize(
    "name, call",
    [
        ("probe_function", lambda f: f(1, 2, 3)),
        ("probe_function", lambda f: f(second=2)),
        ("probe_function", lambda f: f(1, first=2)),
        ("probe_function", lambda f: f(1, 2, 3, third=4)),
        ("get_hid_device", lambda f: f("A", "B")),
        ("get_hid_device", lambda f: f(serial="A")),
        ("get_hid_device", lambda f: f("A", serial_number="B")),
        ("list_serial_numbers", lambda f: f(1)),
        ("list_serial_numbers", lambda f: f(1, 2)),
        ("list_serial_numbers", lambda f: f(x=1)),
    ],
)
def test_bad_module_function_calls_raise_the_interpreters_message(name, call, request):
    native = getattr(request.getfixturevalue("hooks"), name) if name == "probe_function" else getattr(zeq_torvak, name)
    expected = interpreter_message(lambda: call(globals()[name]), name)
    assert type_error_of(lambda: call(native)) == expected


def test_static_method_counts_no_self(Probe):
    assert type_error_of(lambda: Probe.twice(1, 2)) == "_Probe.twice() takes 1 positional argument but 2 were given"
    assert type_error_of(lambda: Probe.twice()) == "_Probe.twice() missing 1 required positional argument: 'number'"


def test_keywords_must_be_strings(probe):
    assert "keywords must be strings" in type_error_of(lambda: probe.take("t", 1, 2.0, "a", **{1: 2}))


# --- argument rules ------------------------------------------------------------------


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class Colour(enum.IntEnum):
    RED = 1


class HasFloat:
    def __float__(self):
        return 2.5


class HasIndex:
    def __index__(self):
        return 4


class FloatFails:
    def __float__(self):
        raise ValueError("no float here")


def take(probe, **changes):
    args = dict(text="t", number=1, real=1.0, anything=None)
    args.update(changes)
    return probe.take(**args)


@pytest.mark.parametrize("value", ["", "中文 Torvak:ANY:S1", "x" * 1000])
def test_str_parameter_accepts_exact_str(probe, value):
    assert take(probe, text=value)[0] is value


@pytest.mark.parametrize("value", [1, b"t", bytearray(b"t"), None, StrSub("t"), 1.5])
def test_str_parameter_refuses_everything_else(probe, value):
    message = type_error_of(lambda: take(probe, text=value))
    assert "'text'" in message and type(value).__name__ in message


@pytest.mark.parametrize("value", [0, -1, 2 ** 100, -(2 ** 100)])
def test_int_parameter_accepts_exact_int(probe, value):
    assert take(probe, number=value)[1] is value


@pytest.mark.parametrize("value", [True, False, 1.0, "1", None, IntSub(1), Colour.RED, HasIndex()])
def test_int_parameter_refuses_bool_subclasses_and_others(probe, value):
    message = type_error_of(lambda: take(probe, number=value))
    assert "'number'" in message and type(value).__name__ in message


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, 1.0),
        (-(2 ** 53), -(2.0 ** 53)),
        (True, 1.0),
        (2.25, 2.25),
        (FloatSub(3.5), 3.5),
        (HasFloat(), 2.5),
        (HasIndex(), 4.0),
        (fractions.Fraction(1, 4), 0.25),
        (decimal.Decimal("1.5"), 1.5),
    ],
)
def test_float_parameter_converts_to_exact_float(probe, value, expected):
    got = take(probe, real=value)[2]
    assert type(got) is float and got == expected


@pytest.mark.parametrize("value", [None, "1.5", b"1.5", bytearray(b"1"), object(), [1.0], 1j])
def test_float_parameter_refuses_none_text_and_non_numbers(probe, value):
    assert "'real'" in type_error_of(lambda: take(probe, real=value))


def test_float_conversion_errors_pass_through(probe):
    with pytest.raises(ValueError, match="no float here"):
        take(probe, real=FloatFails())
    with pytest.raises(OverflowError):
        take(probe, real=10 ** 400)


def test_float_default_and_int_given_are_floats(probe):
    assert probe.wait() == (0.5,)
    (timeout,) = probe.wait(1)
    assert type(timeout) is float and timeout == 1.0


def test_none_only_where_the_default_is_none(probe):
    assert take(probe, maybe=None)[4] is None
    assert take(probe, maybe=5)[4] == 5
    assert probe.read_until(size=None) == (b"\n", None)
    with pytest.raises(TypeError):
        take(probe, maybe=True)
    with pytest.raises(TypeError):
        take(probe, label=None)  # default "x": None is not allowed
    with pytest.raises(TypeError):
        zeq_torvak.get_hid_device(None)


@pytest.mark.parametrize("value", [None, "s", b"b", 1.5, object(), StrSub("s"), True])
def test_undeclared_and_unchecked_parameters_take_anything(probe, value):
    assert take(probe, anything=value)[3] is value
    assert probe.read_until(value)[0] is value


@pytest.mark.parametrize("value", [1, b"ANY", True, StrSub("ANY"), 1.0])
def test_real_member_refuses_before_its_body_runs(value):
    # get_hid_device would search the bus; a refused argument never gets that far.
    with pytest.raises(TypeError) as info:
        zeq_torvak.get_hid_device(value)
    assert "get_hid_device() argument 'serial_number'" in str(info.value)
    with pytest.raises(TypeError):
        zeq_torvak.get_hid_device(serial_number=value)


def test_body_accessors_see_the_converted_values(probe):
    assert probe.accessors("中文", 7, 3) == ("中文", 7, 3.0)
    # Integers beyond 64 bits saturate, so range checks in bodies still see them out of range.
    assert probe.accessors("", 2 ** 100, 0)[1] == 2 ** 63 - 1
    assert probe.accessors("", -(2 ** 100), 0)[1] == -(2 ** 63)


@pytest.mark.parametrize(
    "member, value, ok",
    [
        ("give_str", "s", True),
        ("give_str", None, True),
        ("give_str", StrSub("s"), False),
        ("give_str", 1, False),
        ("give_int", 1, True),
        ("give_int", None, True),
        ("give_int", True, False),
        ("give_int", 1.0, False),
        ("give_float", 1, True),  # float results are not checked and not converted
        ("give_float", "s", True),
    ],
)
def test_declared_str_and_int_results_are_checked(probe, member, value, ok):
    call = lambda: getattr(probe, member)(value)  # noqa: E731
    if ok:
        assert call() is value
    else:
        message = type_error_of(call)
        assert message.startswith("_Probe.%s() returned %s" % (member, type(value).__name__))


def test_property_result_is_checked(probe):
    probe._value = True  # bypasses the setter's argument rule
    with pytest.raises(TypeError):
        probe.value


# --- errors raised by bodies -------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, error, text",
    [
        ("assertion", AssertionError, "assertion text"),
        ("io", OSError, "io text"),
        ("value", ValueError, "value text"),
        ("type", TypeError, "type text"),
        ("overflow", OverflowError, "overflow text"),
        ("other", RuntimeError, "runtime text"),
    ],
)
def test_native_errors_become_python_exceptions(probe, kind, error, text):
    with pytest.raises(error) as info:
        probe.fail(kind)
    assert type(info.value) is error and str(info.value) == text


def test_python_exceptions_pass_through_unchanged(probe):
    raised = KeyError("exact object")

    def fails():
        raise raised

    with pytest.raises(KeyError) as info:
        probe.call(fails)
    assert info.value is raised
    assert probe.call(lambda: 5) == 5


HOOKS_SCRIPT = textwrap.dedent(
    """
    import importlib.machinery, importlib.util, sys
    import zeq_torvak
    origin = zeq_torvak.__spec__.origin
    loader = importlib.machinery.ExtensionFileLoader("_zeq_torvak_test_hooks", origin)
    spec = importlib.util.spec_from_file_location("_zeq_torvak_test_hooks", origin, loader=loader)
    hooks = importlib.util.module_from_spec(spec)
    loader.exec_module(hooks)
    try:
        print(hooks.Probe().check(False))
    except AssertionError as exc:
        print("AssertionError:", exc)
    print(hooks.Probe().check(True))
    """
)


@pytest.mark.parametrize(
    "flags, first_line",
    [([], "AssertionError: probe check failed: False"), (["-O"], "ran"), (["-OO"], "ran")],
)
def test_assertions_follow_the_interpreters_switch(hooks, flags, first_line):
    path = [os.path.dirname(os.path.abspath(zeq_torvak.__file__))]
    path += [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    out = subprocess.run(
        [sys.executable] + flags + ["-c", HOOKS_SCRIPT], env=env, capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [first_line, "ran"]


# --- introspection ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "member, name, qualname",
    [
        ("take", "take", "_Probe.take"),
        ("_Probe__hidden", "__hidden", "_Probe.__hidden"),
        ("twice", "twice", "_Probe.twice"),
        ("__init__", "__init__", "_Probe.__init__"),
    ],
)
def test_names(Probe, member, name, qualname):
    raw = Probe.__dict__[member]
    fn = raw.__func__ if isinstance(raw, staticmethod) else raw
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, qualname, "zeq_torvak")


def test_property_functions_and_module_functions_are_named(Probe, hooks):
    prop = Probe.__dict__["value"]
    for fn in (prop.fget, prop.fset):
        assert (fn.__name__, fn.__qualname__, fn.__module__) == ("value", "_Probe.value", "zeq_torvak")
    assert (hooks.probe_function.__name__, hooks.probe_function.__qualname__) == ("probe_function",) * 2
    for fn in (zeq_torvak.get_hid_device, zeq_torvak.list_serial_numbers):
        assert type(fn) is FunctionType
        assert fn.__qualname__ == fn.__name__ and fn.__module__ == "zeq_torvak"


def test_class_made_by_the_builder(Probe):
    assert Probe.__name__ == Probe.__qualname__ == "_Probe"
    assert Probe.__bases__ == (object,) and Probe.__module__ == "zeq_torvak"
    assert Probe.Answer == 42 and type(Probe.Answer) is int
    assert Probe().Answer == 42 and Probe(3).value == 3
    assert "__hidden" not in Probe.__dict__ and Probe()._Probe__hidden() == "hidden"
    members = [k for k in vars(Probe) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert members == [
        "Answer", "__init__", "take", "accessors", "_Probe__hidden", "twice", "value", "give_str", "give_int",
        "give_float", "check", "fail", "call", "read_until", "wait", "documented",
    ]


@pytest.mark.parametrize("member", ["take", "read_until", "wait", "give_str", "documented"])
def test_defaults_annotations_and_doc_match_a_python_function(Probe, member):
    native, reference = getattr(Probe, member), getattr(Reference, member)
    assert repr(native.__defaults__) == repr(reference.__defaults__)
    assert native.__kwdefaults__ is None
    assert native.__annotations__ == reference.__annotations__
    assert native.__doc__ == reference.__doc__


def test_module_function_attributes(hooks):
    assert hooks.probe_function.__defaults__ == (1.5,)
    assert hooks.probe_function.__annotations__ == {"second": "float"}
    assert zeq_torvak.get_hid_device.__defaults__ == ("ANY",)
    assert zeq_torvak.get_hid_device.__annotations__ == {"serial_number": "str", "return": "_Device"}
    assert zeq_torvak.get_hid_device.__doc__ is None
    assert zeq_torvak.list_serial_numbers.__defaults__ is None
    assert zeq_torvak.list_serial_numbers.__annotations__ == {}


@pytest.mark.parametrize("member", ["take", "read_until", "wait", "give_str", "documented"])
def test_signature_of_function_and_bound_method(Probe, member):
    assert inspect.signature(getattr(Probe, member)) == inspect.signature(getattr(Reference, member))
    bound = inspect.signature(getattr(Probe(), member))
    assert bound == inspect.signature(getattr(Reference(), member))
    assert "self" not in bound.parameters


def test_signature_of_static_method_and_property_functions(Probe):
    expected = inspect.signature(Reference.twice)
    assert inspect.signature(Probe.twice) == inspect.signature(Probe().twice) == expected
    if sys.version_info >= (3, 10):  # staticmethod objects are callable from 3.10 on
        assert inspect.signature(Probe.__dict__["twice"]) == expected
    prop = Probe.__dict__["value"]
    assert str(inspect.signature(prop.fget)) == "(self) -> 'int'"
    assert str(inspect.signature(prop.fset)) == "(self, value: 'int')"


def test_signature_of_module_functions(hooks):
    assert inspect.signature(hooks.probe_function) == inspect.signature(probe_function)
    assert inspect.signature(zeq_torvak.get_hid_device) == inspect.signature(get_hid_device)
    assert str(inspect.signature(zeq_torvak.list_serial_numbers)) == "()"


# --- reference counts ---------------------------------------------------------------------------


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def test_calls_leave_argument_reference_counts_unchanged(Probe):
    probe = Probe()
    text = "".join(["not", " interned"])
    number = 10 ** 30
    real = HasFloat()
    anything = object()
    label = "".join(["la", "bel"])
    bad = IntSub(1)
    args = [probe, text, number, real, anything, label, bad]
    before = refcounts(args)
    for _ in range(100000):
        probe.take(text, number, real, anything, None, label)
        probe.take(text=text, number=number, real=real, anything=anything, label=label)
        probe.give_int(number)
        Probe.twice(number)
        probe.value = number
        probe.value
        try:
            probe.take(text, bad, real, anything)  # refused argument
        except TypeError:
            pass
        try:
            probe.give_str(anything)  # refused result
        except TypeError:
            pass
    probe.value = 0  # drop the setter's stored reference
    assert refcounts(args) == before
