// _torvak_readiness: the private entry point through which torvak_serial reaches an open
// channel's readiness descriptor, so that its ports work with select, selectors and
// asyncio. The module zeq_torvak keeps its surface; this module reads the receive buffer
// a channel object keeps in its `_Channel__in_deque` capsule (both modules are built
// from the same sources in one build).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "channel/input_buffer.hpp"

namespace {

using zt::channel::InputBuffer;

// The buffer behind a channel's capsule; nullptr with TypeError set for anything else.
InputBuffer* buffer_of(PyObject* capsule) {
    if (!PyCapsule_CheckExact(capsule) || !PyCapsule_IsValid(capsule, nullptr)) {
        PyErr_SetString(PyExc_TypeError, "expected the receive buffer of an open zeq_torvak channel");
        return nullptr;
    }
    auto* shared = static_cast<std::shared_ptr<InputBuffer>*>(PyCapsule_GetPointer(capsule, nullptr));
    return shared->get();
}

PyObject* descriptor(PyObject*, PyObject* capsule) {
    InputBuffer* buffer = buffer_of(capsule);
    if (!buffer) return nullptr;
    int fd = -1;
    // The buffer's lock is only ever held for one operation, but never wait for it with the GIL.
    Py_BEGIN_ALLOW_THREADS
    fd = buffer->readiness_fd();
    Py_END_ALLOW_THREADS
    if (fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLong(fd);
}

PyObject* ended(PyObject*, PyObject* capsule) {
    InputBuffer* buffer = buffer_of(capsule);
    if (!buffer) return nullptr;
    bool result = false;
    Py_BEGIN_ALLOW_THREADS
    result = buffer->input_ended();
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(result);
}

PyMethodDef g_methods[] = {
    {"descriptor", descriptor, METH_O,
     "descriptor(buffer) -> int\n\nThe channel's readiness descriptor: it polls readable while data is buffered or "
     "while no more can come. It stays open as long as `buffer` lives."},
    {"ended", ended, METH_O,
     "ended(buffer) -> bool\n\nWhether the device's reader has stopped, so that no more data comes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_torvak_readiness", "Readiness descriptors of zeq_torvak channels (private).",
    -1, g_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__torvak_readiness() {
    return PyModule_Create(&g_module);
}
