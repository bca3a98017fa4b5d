// The interpreter's assertion switch: checks that Python code would write as `assert`
// statements run only while `sys.flags.optimize` is 0, and are skipped entirely (their
// message not even built) under `python -O`.
#pragma once

#include "binding/python.hpp"

namespace zt::binding {

// Whether assertion checks run: true unless the interpreter was started with -O.
// Fixed for the life of the process; readable without the GIL.
bool assertions_enabled() noexcept;

// Reads the interpreter's switch; called once by the import sequence, before any body
// runs. Expects the GIL.
void init_assertion_switch();

// Raises AssertionError with `message` as the very text object given, so that any text
// (lone surrogates included) comes back exactly as the caller wrote it; AssertionFailure
// carries UTF-8 only. Expects the GIL.
[[noreturn]] void raise_assertion(const py::object& message);

}  // namespace zt::binding
