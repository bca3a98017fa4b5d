#include "binding/lock_waiter.hpp"

#include "binding/gil.hpp"
#include "sync/blocking_lock.hpp"

namespace zt::binding {
namespace {
// Waits for a native mutex; when this thread holds the GIL, releases it meanwhile. It
// must not then hold the mutex while it waits to get the GIL back: the reader thread takes
// these mutexes without the GIL, and would wait for whichever Python thread holds the GIL
// (a pure-Python loop keeps it for a whole switch interval). So the mutex, once free, is
// let go again, the GIL taken back, and the mutex tried without blocking.
// The GIL is taken back in ordinary code, holding no mutex (see binding/gil.hpp).
void wait_releasing_gil_if_held(std::mutex& m) {
    if (!holds_gil()) {
        m.lock();
        return;
    }
    do {
        PyThreadState* state = PyEval_SaveThread();
        m.lock();
        m.unlock();
        restore_thread(state);
    } while (!m.try_lock());
}
}  // namespace

void install_lock_waiter() { sync::set_lock_waiter(wait_releasing_gil_if_held); }

}  // namespace zt::binding
