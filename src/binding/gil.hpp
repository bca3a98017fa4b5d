// Leaving and re-entering the interpreter from native code, and Python references that
// native code may drop on any thread.
//
// While the interpreter finalizes, CPython 3.8-3.13 end every other thread that asks
// for the GIL with pthread_exit, which on glibc is a forced unwind. Such an unwind would
// pass the frames between the request and the thread's start: it must not meet a
// destructor that asks for the GIL again (pybind11's gil_scoped_release does), a
// noexcept frame, or a catch-all that does not rethrow it, and the frames it passes
// would release their Python references without the GIL while the main thread tears the
// interpreter down. So the GIL is taken back in ordinary code here, never in a
// destructor, and a thread ended that way is parked where it asked for the GIL
// (park_for_exit): the process is about to exit, and the thread's frames are left as
// they are, as CPython leaves its own C frames. A reference dropped by a thread that does
// not hold the GIL is not released there.
//
// Telling that unwind from an error: libstdc++ shows it as abi::__forced_unwind, libc++abi
// as a foreign exception with no C++ type; in both a catch (...) catches it and no typed
// handler does. Everything this module and pybind11 throw derives from std::exception,
// so a handler that must not swallow the unwind catches `const std::exception&` for the
// errors, and its catch (...) either parks the thread or rethrows. (libc++abi rethrows a
// foreign exception as an ordinary one, which the next catch (...) above parks: at the
// latest the native function's call, where every call from Python comes in.)
#pragma once

#include "binding/python.hpp"

#include <exception>
#include <type_traits>
#include <utility>

namespace zt::binding {

// Whether this thread holds the GIL now. Safe on any thread, at any time. (Up to 3.11
// the unchecked current thread state is the GIL holder's, whichever thread asks.)
inline bool holds_gil() noexcept { return PyGILState_Check() != 0; }

// Parks a thread that the interpreter is ending (called from the catch (...) that the
// thread-ending unwind reaches) until the process exits. Never returns.
[[noreturn]] void park_for_exit() noexcept;

// Takes the GIL back after PyEval_SaveThread; parks the thread if the interpreter ends it.
inline void restore_thread(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {  // a C function: the only thing it throws is the unwind ending the thread
        park_for_exit();
    }
}

// Holds the GIL for its lifetime, on a thread that runs without it (the reader). The
// GIL is let go again in the destructor, which never blocks.
class GilHeld {
public:
    GilHeld() noexcept {
        try {
            state_ = PyGILState_Ensure();
        } catch (...) {  // the unwind ending the thread, as in restore_thread
            park_for_exit();
        }
    }
    ~GilHeld() { PyGILState_Release(state_); }
    GilHeld(const GilHeld&) = delete;
    GilHeld& operator=(const GilHeld&) = delete;

private:
    PyGILState_STATE state_;
};

// Runs f with the GIL released and takes the GIL back afterwards, whether f returns or
// throws. Expects the GIL. When taking it back ends the thread (the interpreter is
// finalizing), the thread is parked there. An error of f is carried out of its handler
// before the GIL is taken back: an unwind starting while a handler is active could not
// be caught (both runtimes terminate on a foreign exception caught inside another).
template <typename F>
auto without_gil(F&& f) -> std::invoke_result_t<F&> {
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
            f();
            restore_thread(state);
            return;
        } else {
            auto result = f();
            restore_thread(state);
            return result;
        }
    } catch (const std::exception&) {
        failure = std::current_exception();
    } catch (...) {
        park_for_exit();  // f called into Python, and the interpreter ended the thread there
    }
    restore_thread(state);
    std::rethrow_exception(failure);
}

// Releases a reference: at once when this thread holds the GIL, otherwise at the next
// call into the module (drain_deferred_releases). Safe on any thread; never blocks on
// the GIL.
void release_reference(PyObject* object) noexcept;

// Releases the references dropped meanwhile by threads without the GIL. Expects the GIL.
void drain_deferred_releases() noexcept;

// An owned reference that native objects living outside the GIL (a device's link, a
// channel's sink, a control handler) hold. It is created and used with the GIL held,
// and may be destroyed on any thread (release_reference).
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(py::object o) : p_(o.release().ptr()) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~PyRef() { reset(); }

    // Borrowed; expects the GIL for any use of the object.
    py::handle get() const noexcept { return p_; }
    void reset() noexcept {
        if (p_) release_reference(std::exchange(p_, nullptr));
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace zt::binding
