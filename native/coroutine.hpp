// The awaitable that an async method returns: a Python coroutine object
// driving a C++ coroutine frame.
#pragma once

#include "native_function.hpp"

namespace tarvik {

// Creates the coroutine type and registers it as a collections.abc.Coroutine.
void init_coroutine_type();

// Starts nothing: returns a coroutine that runs `spec.async` with `call` once
// it is first sent a value. `function` names the coroutine.
nb::object make_coroutine(nb::handle function, const FunctionSpec &spec, Call &&call);

}  // namespace tarvik
