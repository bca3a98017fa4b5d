// Taking a native mutex from core code that may run on a thread holding the GIL.
// Cores include no Python headers, so the binding installs a waiter that releases the
// GIL while it waits (the GIL is always the last lock taken); uncontended locks are
// taken on the fast path with no GIL traffic.
#pragma once

#include <mutex>

namespace zt::sync {

using LockWaiter = void (*)(std::mutex&);

// Installed once by the module; the default simply blocks.
void set_lock_waiter(LockWaiter waiter) noexcept;
void wait_for_lock(std::mutex& m);

class BlockingLock {
public:
    explicit BlockingLock(std::mutex& m) : m_(m) {
        if (!m_.try_lock()) wait_for_lock(m_);
    }
    ~BlockingLock() { m_.unlock(); }
    BlockingLock(const BlockingLock&) = delete;
    BlockingLock& operator=(const BlockingLock&) = delete;

private:
    std::mutex& m_;
};

}  // namespace zt::sync
