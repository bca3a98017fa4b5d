#include "sync/blocking_lock.hpp"

#include <atomic>

namespace zt::sync {
namespace {
void plain_wait(std::mutex& m) { m.lock(); }
std::atomic<LockWaiter> g_waiter{plain_wait};
}  // namespace

void set_lock_waiter(LockWaiter waiter) noexcept { g_waiter.store(waiter ? waiter : plain_wait); }
void wait_for_lock(std::mutex& m) { g_waiter.load()(m); }

}  // namespace zt::sync
