// Error kinds that member bodies throw. They carry no Python state; the translation
// chain (error_translation.cpp) turns each into the interpreter's exception of the same
// meaning, in one place. A failure that callers act on is raised with its facts as
// attributes instead (raise_with_facts, error_translation.hpp).
#pragma once

#include <stdexcept>
#include <string>

namespace zt::binding {

// A failed check that the interpreter would express as an `assert` statement.
// Thrown only after asking assertions_enabled() (binding/assertions.hpp).
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

}  // namespace zt::binding
