// What a thread of the module's own sets up for itself on Windows: nothing. There are no
// asynchronous POSIX signals to keep away (a console's Ctrl+C reaches the process on a
// thread of the system's own), and the thread keeps the name the system gives it.
#pragma once

namespace zt::sync {

class SignalsBlocked {
public:
    SignalsBlocked() {}
    ~SignalsBlocked() {}  // user-provided, as on POSIX: a guard object is no unused variable
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;
};

class ThreadNamed {
public:
    explicit ThreadNamed(const char*) {}
    ~ThreadNamed() {}
    ThreadNamed(const ThreadNamed&) = delete;
    ThreadNamed& operator=(const ThreadNamed&) = delete;
};

}  // namespace zt::sync
