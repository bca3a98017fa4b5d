// `Serial`: the port object callers open by name ("Torvak:SN:Sxxx"). It holds one
// channel object, in the instance attribute `_Serial__handle`, and forwards every
// operation to it through attribute lookup, so any object with the channel's
// interface works.
//
// The port name is taken apart with the interpreter's own string operations (split,
// lower, upper, indexing, int() of a str), so blanks, signs, underscores, Unicode
// digits and letter case behave exactly as they do in the interpreter, and the errors
// it raises are its own.
#include "serial/serial_binding.hpp"

#include <string>

#include "binding/assertions.hpp"
#include "binding/buffers.hpp"
#include "binding/class_builder.hpp"
#include "binding/errors.hpp"
#include "binding/runtime.hpp"

namespace zt::serial {

using namespace binding;

namespace {

constexpr const char* kHandleAttr = "_Serial__handle";
constexpr Py_ssize_t kPortNameFields = 3;  // device type, serial number, channel
constexpr const char* kDeviceType = "torvak";
constexpr const char* kDeviceTypeHead = "Device type \"";
constexpr const char* kDeviceTypeTail = "\" not supported.";
constexpr const char* kChannelFieldMessage =
    "Device name must be \"Sxxx\" format, where \"xxx\" are decimal digit(s).";
constexpr const char* kPortNameMessage =
    "Device name must be \"Torvak:SN:Sxxx\" format, where \"xxx\" are decimal digit(s).";

py::object channel_of(py::handle self) { return self.attr(kHandleAttr); }

// The error of unpacking `got` fields into three names, worded as the running
// interpreter words it.
[[noreturn]] void raise_unpack_error(Py_ssize_t got) {
    const std::string expected = std::to_string(kPortNameFields);
    if (got < kPortNameFields)
        throw ValueError("not enough values to unpack (expected " + expected + ", got " + std::to_string(got) + ")");
#if PY_VERSION_HEX >= 0x030E0000
    throw ValueError("too many values to unpack (expected " + expected + ", got " + std::to_string(got) + ")");
#else
    throw ValueError("too many values to unpack (expected " + expected + ")");
#endif
}

bool equals_ascii(const py::object& text, const char* ascii) {
    return PyUnicode_Check(text.ptr()) && PyUnicode_CompareWithASCIIString(text.ptr(), ascii) == 0;
}

// The channel number: int() of the channel field after its first character. A
// conversion error is replaced by ValueError(kPortNameMessage) raised while it is being
// handled, so the conversion error is its context (and not its cause).
py::object channel_number(const py::object& name) {
    py::object digits = py::reinterpret_steal<py::object>(PySequence_GetSlice(name.ptr(), 1, PY_SSIZE_T_MAX));
    if (!digits) throw py::error_already_set();
    try {
        py::object number = py::reinterpret_steal<py::object>(PyNumber_Long(digits.ptr()));
        if (!number) throw py::error_already_set();
        return number;
    } catch (py::error_already_set& conversion) {
        if (!conversion.matches(PyExc_ValueError)) throw;
        py::object context = conversion.value();
        py::object traceback = py::reinterpret_steal<py::object>(PyException_GetTraceback(context.ptr()));
        if (!traceback && conversion.trace()) PyException_SetTraceback(context.ptr(), conversion.trace().ptr());
        py::object replacement = py::handle(PyExc_ValueError)(py::str(kPortNameMessage));
        PyException_SetContext(replacement.ptr(), context.release().ptr());  // steals the reference
        py::object type = py::reinterpret_borrow<py::object>(py::type::handle_of(replacement));
        // PyErr_Restore, unlike PyErr_SetObject, leaves the context just set alone.
        PyErr_Restore(type.release().ptr(), replacement.release().ptr(), nullptr);
        throw py::error_already_set();
    }
}

py::object port_init(const Args& a) {
    py::handle self = a[0];
    py::handle port = a[1];

    py::list fields = port.attr("split")(":");
    if (py::len(fields) != static_cast<size_t>(kPortNameFields)) raise_unpack_error(py::len(fields));
    py::object dev_type = fields[0];
    py::object serial_nb_raw = fields[1];
    py::object name = fields[2];

    if (assertions_enabled()) {
        if (!equals_ascii(dev_type.attr("lower")(), kDeviceType))
            raise_assertion(py::str(kDeviceTypeHead) + dev_type + py::str(kDeviceTypeTail));
        // An empty channel field raises the interpreter's IndexError here.
        py::object prefix = name[py::int_(0)];
        if (!equals_ascii(prefix, "S") && !equals_ascii(prefix, "s")) throw AssertionFailure(kChannelFieldMessage);
    }
    py::object channel = channel_number(name);
    py::object serial_nb = serial_nb_raw.attr("upper")();

    py::object opened = global("_resource_manager")
                            .attr("open_serial_channel")(py::arg("serial_number") = serial_nb,
                                                         py::arg("channel") = channel, py::arg("baudrate") = a[2],
                                                         py::arg("timeout") = a[3]);
    self.attr(kHandleAttr) = opened;
    return py::none();
}

py::object port_enter(const Args& a) { return py::reinterpret_borrow<py::object>(a[0]); }

py::object port_exit(const Args& a) {
    a[0].attr("close")();  // looked up on the object, so an override is honoured
    return py::none();
}

py::object port_close(const Args& a) {
    channel_of(a[0]).attr("close")();
    return py::none();
}

py::object port_read(const Args& a) { return bytes_object(channel_of(a[0]).attr("read")(a[1])); }

py::object port_write(const Args& a) { return channel_of(a[0]).attr("write")(a[1]); }

py::object port_read_until(const Args& a) { return bytes_object(channel_of(a[0]).attr("read_until")(a[1], a[2])); }

py::object port_get_baudrate(const Args& a) { return channel_of(a[0]).attr("baudrate"); }

py::object port_set_baudrate(const Args& a) {
    channel_of(a[0]).attr("baudrate") = a[1];
    return py::none();
}

py::object port_get_port(const Args& a) { return channel_of(a[0]).attr("name"); }

py::object port_get_is_open(const Args& a) { return channel_of(a[0]).attr("is_open"); }

py::object port_get_in_waiting(const Args& a) { return channel_of(a[0]).attr("in_waiting"); }

py::object port_get_timeout(const Args& a) { return channel_of(a[0]).attr("timeout"); }

py::object port_set_timeout(const Args& a) {
    channel_of(a[0]).attr("timeout") = a[1];  // already a float
    return py::none();
}

py::object port_flush_input(const Args& a) {
    channel_of(a[0]).attr("flush_input")();
    return py::none();
}

// The channel's write has handed every packet to the device by the time it returns,
// so there is never anything left to send.
py::object port_flush_output(const Args&) { return py::none(); }

py::object port_flush(const Args& a) {
    a[0].attr("flushOutput")();  // looked up on the object, so an override is honoured
    return py::none();
}

}  // namespace

py::object make_serial_class() {
    return build_class(
        "Serial",
        {
            method("__init__",
                   {{"port", "str"}, {"baudrate", "int", Default::integer(9600)}, {"timeout", "float", Default::real(0.0)}},
                   port_init),
            method("__enter__", {}, port_enter),
            method("__exit__", {{"exc_type"}, {"exc_val"}, {"exc_tb"}}, port_exit),
            method("close", {}, port_close),
            method("read", {{"size", "int", Default::integer(1)}}, port_read, "bytes"),
            method("write", {{"data"}}, port_write, "int"),
            method("read_until", {{"expected", nullptr, Default::bytes("\n")}, {"size", nullptr, Default::none()}},
                   port_read_until, "bytes"),
            property("baudrate", port_get_baudrate),
            setter("baudrate", Param{"value", "int"}, port_set_baudrate),
            property("port", port_get_port, "str"),
            property("is_open", port_get_is_open),
            property("in_waiting", port_get_in_waiting, "int"),
            property("timeout", port_get_timeout, "float"),
            setter("timeout", Param{"value", "float"}, port_set_timeout),
            method("flushInput", {}, port_flush_input),
            method("flushOutput", {}, port_flush_output),
            method("flush", {}, port_flush),
        });
}

}  // namespace zt::serial
