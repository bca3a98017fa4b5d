// What a thread of the module's own sets up for itself while it runs: asynchronous
// signals kept away from it, and a name that ps, top and perf show.
#pragma once

#ifdef _WIN32
#include "sync/thread_setup_windows.hpp"
#else

#include <pthread.h>

#include <csignal>

namespace zt::sync {

// Keeps asynchronous signals (SIGINT, SIGTERM, SIGHUP ...) away from the calling thread
// while it lives. The interpreter handles signals on its main thread only, and a thread
// waiting there (at exit, for this very thread) is woken only when the kernel delivers the
// signal to it rather than to a thread that happens to be reading or writing.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t asynchronous;
        sigfillset(&asynchronous);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&asynchronous, fault);
        pthread_sigmask(SIG_BLOCK, &asynchronous, &previous_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

// Names the calling thread while it lives, so that ps, top and perf tell it apart from the
// interpreter's other threads; the previous name comes back at the end.
class ThreadNamed {
public:
    explicit ThreadNamed(const char* name) {
        named_ = pthread_getname_np(pthread_self(), previous_, sizeof previous_) == 0 &&
                 pthread_setname_np(pthread_self(), name) == 0;
    }
    ~ThreadNamed() {
        if (named_) pthread_setname_np(pthread_self(), previous_);
    }
    ThreadNamed(const ThreadNamed&) = delete;
    ThreadNamed& operator=(const ThreadNamed&) = delete;

private:
    char previous_[16] = {};  // the kernel keeps at most 15 bytes and the NUL
    bool named_ = false;
};

}  // namespace zt::sync

#endif  // _WIN32
