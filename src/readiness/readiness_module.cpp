// _torvak_readiness: the private entry point through which torvak_serial reaches an open
// channel's readiness descriptor, so that its ports work with select, selectors and
// asyncio, and gives a channel an output queue drained natively in the background
// (device/output_queue.hpp). The module zeq_torvak keeps its surface; this module reads the receive buffer
// a channel object keeps in its `_Channel__in_deque` capsule (both modules are built
// from the same sources in one build).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <system_error>

#include "channel/input_buffer.hpp"
#include "device/output_queue.hpp"

namespace {

using zt::channel::InputBuffer;

// The buffer behind a channel's capsule; nullptr with TypeError set for anything else.
std::shared_ptr<InputBuffer>* buffer_shared(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, zt::channel::kInputBufferCapsule)) {
        PyErr_SetString(PyExc_TypeError, "expected the receive buffer of an open zeq_torvak channel");
        return nullptr;
    }
    return static_cast<std::shared_ptr<InputBuffer>*>(PyCapsule_GetPointer(capsule, zt::channel::kInputBufferCapsule));
}

InputBuffer* buffer_of(PyObject* capsule) {
    auto* shared = buffer_shared(capsule);
    return shared ? shared->get() : nullptr;
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

// --- output queues ---------------------------------------------------------------

constexpr const char* kQueueName = "_torvak_readiness.output_queue";

using zt::device::DeviceCore;
using zt::device::OutputQueue;

OutputQueue* queue_of(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, kQueueName)) {
        PyErr_SetString(PyExc_TypeError, "expected an output queue made by _torvak_readiness.output()");
        return nullptr;
    }
    return static_cast<std::shared_ptr<OutputQueue>*>(PyCapsule_GetPointer(capsule, kQueueName))->get();
}

// Runs with the GIL, possibly during finalization, so it does not release it: the queue's
// lock is only ever held for one short operation that never waits for the GIL (a transfer
// submitted at most), and the device core let go here is the last reference only once the
// device is closed, whose release has already ended every transfer.
void release_queue(PyObject* capsule) {
    auto* shared = static_cast<std::shared_ptr<OutputQueue>*>(PyCapsule_GetPointer(capsule, kQueueName));
    if (!shared) return;
    (*shared)->detach();
    delete shared;
}

// Seconds as a double, at least 0; -1 with an exception set for anything else.
double seconds_of(PyObject* value) {
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return -1;
    if (!(seconds >= 0)) {
        PyErr_SetString(PyExc_ValueError, "a time limit must be a number of seconds, 0 or more");
        return -1;
    }
    return seconds;
}

PyObject* raise_failure(const OutputQueue::Failure& failure) {
    const int error = failure.code == -4 ? ENODEV : failure.code == -7 ? ETIMEDOUT : EIO;
    PyObject* args = Py_BuildValue("(is)", error, failure.text().c_str());
    if (args) {
        PyErr_SetObject(PyExc_OSError, args);
        Py_DECREF(args);
    }
    return nullptr;
}

PyObject* output(PyObject*, PyObject* args) {
    PyObject* buffer_capsule = nullptr;
    PyObject* core_capsule = nullptr;
    int channel = 0;
    Py_ssize_t capacity = static_cast<Py_ssize_t>(OutputQueue::kDefaultCapacity);
    int waits_for_device = 0;
    unsigned long rate = 0;
    if (!PyArg_ParseTuple(args, "OOi|npk:output", &buffer_capsule, &core_capsule, &channel, &capacity,
                          &waits_for_device, &rate))
        return nullptr;
    if (!buffer_of(buffer_capsule)) return nullptr;
    if (channel < 0 || channel > 255 || capacity < 1) {
        PyErr_SetString(PyExc_ValueError, "output() needs a channel in 0..255 and a capacity of at least 1 byte");
        return nullptr;
    }
    if (!PyCapsule_IsValid(core_capsule, zt::device::kDeviceCoreCapsule)) {
        PyErr_SetString(PyExc_TypeError, "expected the core of an open zeq_torvak device");
        return nullptr;
    }
    auto core =
        *static_cast<std::shared_ptr<DeviceCore>*>(PyCapsule_GetPointer(core_capsule, zt::device::kDeviceCoreCapsule));
    auto input = *buffer_shared(buffer_capsule);
    std::shared_ptr<OutputQueue> queue;
    // A handler the queue's replaces is let go only with the GIL held: it may hold Python objects.
    std::shared_ptr<zt::device::ControlHandler> replaced;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    try {
        const OutputQueue::Policy policy{static_cast<size_t>(capacity), waits_for_device != 0,
                                         static_cast<uint32_t>(rate)};
        queue = OutputQueue::make(std::move(core), static_cast<uint8_t>(channel), policy, std::move(input));
        if (policy.waits_for_device) replaced = queue->install_confirmations();
    } catch (const std::system_error& e) {
        error = e.code().value();
    } catch (...) {  // no memory for the ring (or a mutex): nothing may cross into Python
        error = ENOMEM;
    }
    Py_END_ALLOW_THREADS
    replaced.reset();
    if (error == ENOMEM) return PyErr_NoMemory();
    if (error != 0) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    auto* owner = new std::shared_ptr<OutputQueue>(std::move(queue));
    PyObject* capsule = PyCapsule_New(owner, kQueueName, release_queue);
    if (!capsule) delete owner;
    return capsule;
}

PyObject* write(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    Py_buffer data;
    PyObject* limit = nullptr;
    if (!PyArg_ParseTuple(args, "Oy*O:write", &capsule, &data, &limit)) return nullptr;
    OutputQueue* queue = queue_of(capsule);
    const double seconds = queue ? seconds_of(limit) : -1;
    if (seconds < 0) {
        PyBuffer_Release(&data);
        return nullptr;
    }
    std::optional<OutputQueue::Failure> failure;
    size_t taken = 0;
    Py_BEGIN_ALLOW_THREADS
    taken = queue->put(static_cast<const uint8_t*>(data.buf), static_cast<size_t>(data.len), seconds, failure);
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&data);
    if (failure) return raise_failure(*failure);
    return PyLong_FromSize_t(taken);
}

PyObject* out_waiting(PyObject*, PyObject* capsule) {
    OutputQueue* queue = queue_of(capsule);
    if (!queue) return nullptr;
    size_t waiting = 0;
    Py_BEGIN_ALLOW_THREADS
    waiting = queue->waiting();
    Py_END_ALLOW_THREADS
    return PyLong_FromSize_t(waiting);
}

PyObject* drain(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* limit = nullptr;
    if (!PyArg_ParseTuple(args, "OO:drain", &capsule, &limit)) return nullptr;
    OutputQueue* queue = queue_of(capsule);
    const double seconds = queue ? seconds_of(limit) : -1;
    if (seconds < 0) return nullptr;
    std::optional<OutputQueue::Failure> failure;
    bool drained = false;
    Py_BEGIN_ALLOW_THREADS
    drained = queue->drain(seconds, failure);
    Py_END_ALLOW_THREADS
    if (failure) return raise_failure(*failure);
    return PyBool_FromLong(drained);
}

PyObject* reset_output(PyObject*, PyObject* capsule) {
    OutputQueue* queue = queue_of(capsule);
    if (!queue) return nullptr;
    size_t dropped = 0;
    Py_BEGIN_ALLOW_THREADS
    dropped = queue->reset();
    Py_END_ALLOW_THREADS
    return PyLong_FromSize_t(dropped);
}

PyObject* close_output(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* limit = nullptr;
    if (!PyArg_ParseTuple(args, "OO:close_output", &capsule, &limit)) return nullptr;
    OutputQueue* queue = queue_of(capsule);
    const double patience = queue ? seconds_of(limit) : -1;
    if (patience < 0) return nullptr;
    std::optional<OutputQueue::Failure> failure;
    size_t dropped = 0;
    Py_BEGIN_ALLOW_THREADS
    dropped = queue->close(patience, failure);
    Py_END_ALLOW_THREADS
    if (!failure) return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(dropped), Py_None);
    return Py_BuildValue("(ns)", static_cast<Py_ssize_t>(dropped), failure->text().c_str());
}

PyObject* change_rate(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    unsigned long rate = 0;
    if (!PyArg_ParseTuple(args, "Ok:change_rate", &capsule, &rate)) return nullptr;
    OutputQueue* queue = queue_of(capsule);
    if (!queue) return nullptr;
    if (rate == 0 || rate > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_ValueError, "a baud rate must be a positive 32-bit number");
        return nullptr;
    }
    bool added = false;
    Py_BEGIN_ALLOW_THREADS
    added = queue->change_rate(static_cast<uint32_t>(rate));
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(added);
}

PyObject* events_descriptor(PyObject*, PyObject* capsule) {
    OutputQueue* queue = queue_of(capsule);
    if (!queue) return nullptr;
    const int fd = queue->events_fd();
    if (fd < 0) {
        PyErr_SetString(PyExc_ValueError, "only a queue that waits for the device has an events descriptor");
        return nullptr;
    }
    return PyLong_FromLong(fd);
}

PyObject* events(PyObject*, PyObject* capsule) {
    OutputQueue* queue = queue_of(capsule);
    if (!queue) return nullptr;
    OutputQueue::Events events;
    bool got = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        events = queue->events();
    } catch (...) {  // out of memory for the list of outcomes
        got = false;
    }
    Py_END_ALLOW_THREADS
    if (!got) return PyErr_NoMemory();
    PyObject* outcomes = PyList_New(static_cast<Py_ssize_t>(events.outcomes.size()));
    if (!outcomes) return nullptr;
    for (size_t i = 0; i < events.outcomes.size(); ++i) {
        const auto& outcome = events.outcomes[i];
        const auto rate = static_cast<unsigned long>(outcome.rate);
        const auto before = static_cast<unsigned long>(outcome.before);
        PyObject* item = outcome.confirmed
                             ? Py_BuildValue("(kkk)", rate, before, static_cast<unsigned long>(*outcome.confirmed))
                             : Py_BuildValue("(kkO)", rate, before, Py_None);
        if (!item) {
            Py_DECREF(outcomes);
            return nullptr;
        }
        PyList_SET_ITEM(outcomes, static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(nnnN)", static_cast<Py_ssize_t>(events.room), static_cast<Py_ssize_t>(events.waiting),
                         static_cast<Py_ssize_t>(events.changes), outcomes);
}

PyMethodDef g_methods[] = {
    {"descriptor", descriptor, METH_O,
     "descriptor(buffer) -> int\n\nThe channel's readiness descriptor: it polls readable while data is buffered or "
     "while no more can come. It stays open as long as `buffer` lives."},
    {"ended", ended, METH_O,
     "ended(buffer) -> bool\n\nWhether the device's reader has stopped, so that no more data comes."},
    {"output", output, METH_VARARGS,
     "output(buffer, core, channel, capacity=4096, waits_for_device=False, rate=0) -> queue\n\nAn output queue for the "
     "channel: a buffer of `capacity` bytes drained by asynchronous USB transfers (over a handle that writes only "
     "synchronously, by a writer thread of the device's). While it lives, the channel's "
     "readiness descriptor polls writable only while the buffer has room. A queue that waits for the device sends without a USB time-out (only closing it or an unplug cancels), "
     "takes rate changes among its bytes (it receives the channel's control records for their answers) and has an "
     "events descriptor; `rate` is the rate in force, the one before the first change."},
    {"write", write, METH_VARARGS,
     "write(queue, data, seconds) -> int\n\nQueues what fits of `data`, waiting up to `seconds` for room while some "
     "does not; the count taken. OSError for a failure of the drain not yet reported, naming the bytes lost."},
    {"out_waiting", out_waiting, METH_O, "out_waiting(queue) -> int\n\nBytes queued or in flight."},
    {"drain", drain, METH_VARARGS,
     "drain(queue, seconds) -> bool\n\nWaits up to `seconds` until everything queued has reached the device. "
     "OSError as for write()."},
    {"reset_output", reset_output, METH_O,
     "reset_output(queue) -> int\n\nDrops what has not been handed to USB yet; the count dropped."},
    {"close_output", close_output, METH_VARARGS,
     "close_output(queue, patience) -> (int, str | None)\n\nDrains, giving up once nothing has moved for "
     "`patience` seconds, then stops the queue: the bytes dropped, and the text of a failure met on the way."},
    {"change_rate", change_rate, METH_VARARGS,
     "change_rate(queue, rate) -> bool\n\nQueues a change to `rate` after the bytes written so far (\"Config N\", "
     "then \"Config?\" and its answer, before the bytes written after it). False when it took the place of a change "
     "queued right before it and not yet begun."},
    {"events_descriptor", events_descriptor, METH_O,
     "events_descriptor(queue) -> int\n\nThe events descriptor of a queue that waits for the device: readable while something happened "
     "that events() has not collected (room again, drained, a rate change ended, a failure)."},
    {"events", events, METH_O,
     "events(queue) -> (room, waiting, changes, outcomes)\n\nCollects what happened: the room for a write, the bytes "
     "queued or in flight, the rate changes queued or under way, and the changes ended since the last call as "
     "(rate, rate asked for before it, confirmed rate or None), in order. A failure stays for write() or drain() to report."},
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
