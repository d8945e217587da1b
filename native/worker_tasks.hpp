// Worker tasks the module sends to the host's subprocess manager, and the
// texts it makes of their results.
#pragma once

#include "native_function.hpp"

namespace tarvik {

// Seconds a validation and a run of a tool may take in the worker.
inline constexpr double kValidateTimeout = 10.0;
inline constexpr double kRunTimeout = 60.0;

// `SubprocessTask(worker_type="custom", command=command, timeout=timeout)`.
nb::object custom_task(const Call &call, nb::handle command, double timeout);

// The task that calls `main(args)` of the script at `script_path`.
nb::object run_function_task(const Call &call, nb::handle script_path, nb::handle args);

// `self._manager.spawn(task)`: the awaitable of the worker's result.
nb::object spawn(const Call &call, nb::handle task);

// "[ERROR] " and the worker's error, or its output as pretty JSON.
nb::object run_result_text(const Call &call, nb::handle result);

}  // namespace tarvik
