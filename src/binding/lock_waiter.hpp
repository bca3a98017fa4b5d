// The waiter that BlockingLock (sync/blocking_lock.hpp) uses in this module: it waits
// for a contended native mutex with the GIL released, since the GIL is always the last
// lock taken.
#pragma once

namespace zt::binding {

// Installs the waiter; called once by the import sequence.
void install_lock_waiter();

}  // namespace zt::binding
