#include "binding/gil.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <mutex>
#include <vector>

namespace zt::binding {
namespace {

// References dropped without the GIL; a native mutex only, never waited for with the
// GIL held for longer than a push or a swap.
std::mutex g_deferred_mutex;
std::vector<PyObject*> g_deferred;  // guarded by g_deferred_mutex
std::atomic<bool> g_any_deferred{false};

}  // namespace

void park_for_exit() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void release_reference(PyObject* object) noexcept {
    if (!object) return;
    if (holds_gil()) {
        Py_DECREF(object);
        return;
    }
    // Taking the GIL here could end this thread in the middle of an unwind (see
    // gil.hpp); the last thread to drop a channel or handler is usually the reader,
    // and the release can wait for the next call into the module. A reference still
    // queued when the process ends is simply not released.
    try {
        std::lock_guard lock(g_deferred_mutex);
        g_deferred.push_back(object);
        g_any_deferred.store(true, std::memory_order_release);
    } catch (...) {
        // Out of memory: the reference stays unreleased, which is only a leak.
    }
}

void drain_deferred_releases() noexcept {
    if (!g_any_deferred.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> batch;
    {
        std::lock_guard lock(g_deferred_mutex);
        batch.swap(g_deferred);
        g_any_deferred.store(false, std::memory_order_relaxed);
    }
    // Releasing may run finalizers, which may drop further references: those are
    // released directly, since this thread holds the GIL.
    for (PyObject* object : batch) Py_DECREF(object);
}

}  // namespace zt::binding
