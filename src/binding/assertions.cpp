#include "binding/assertions.hpp"

#include <atomic>

namespace zt::binding {
namespace {
std::atomic<bool> g_assertions{true};
}

bool assertions_enabled() noexcept { return g_assertions.load(std::memory_order_relaxed); }

void init_assertion_switch() {
    const long optimize = py::module_::import("sys").attr("flags").attr("optimize").cast<long>();
    g_assertions.store(optimize == 0);
}

void raise_assertion(const py::object& message) {
    PyErr_SetObject(PyExc_AssertionError, message.ptr());
    throw py::error_already_set();
}

}  // namespace zt::binding
