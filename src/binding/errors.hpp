// Error kinds raised by the native cores. They carry no Python state; the binding
// layer turns each into the interpreter's exception of the same meaning, in one place
// (error_translation.cpp).
#pragma once

#include <stdexcept>
#include <string>

namespace zt {

// A failed check that the interpreter would express as an `assert` statement.
// Cores only throw it after asking assertions_enabled().
struct AssertionFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// IOError (OSError) with a message, e.g. a baud rate the device did not confirm.
struct IoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct TypeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct OverflowError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Whether assertion checks run: true unless the interpreter was started with -O.
// Fixed for the life of the process; readable without the GIL.
bool assertions_enabled() noexcept;

}  // namespace zt
