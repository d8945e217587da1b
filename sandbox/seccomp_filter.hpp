// The system-call walls: a seccomp filter for the worker pool and one per task.
#pragma once

#include "outcome.hpp"

namespace tarvik::sandbox {

enum class FilterProfile {
    // Everything the pool runs under: what no process of ours has a use for
    // (debugging others, kernel modules, kexec, bpf, keyrings, ...). Building
    // task worlds (namespaces, mounts) stays possible.
    pool,
    // Stacked on the pool's for a task: no mounts, no namespaces, and sockets
    // only for unix and TCP (whose connects Landlock refuses).
    task,
};

Outcome filter_system_calls(FilterProfile profile);

}  // namespace tarvik::sandbox
