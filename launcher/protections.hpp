// The walls the launcher puts up, one function per protection.
#pragma once

#include <string>
#include <vector>

namespace tarvik::sandbox {

// What one protection came to: in force, or skipped with the reason.
struct Outcome {
    bool active = false;
    std::string detail;

    static Outcome applied(std::string detail) { return {true, std::move(detail)}; }
    static Outcome skipped(std::string reason) { return {false, std::move(reason)}; }
};

// "name: strerror(errno)", for the reason a step was refused.
std::string system_error(const char *step);

// SIGKILL when the process that started us dies, so no worker outlives its host.
Outcome die_with_parent();

// A user namespace of our own (where not already privileged) holding a new,
// empty network namespace: no interface but a loopback that is down.
Outcome isolate_network();

// No capabilities now, and none to be regained by executing anything.
Outcome drop_capabilities();

// no_new_privs: set-user-ID bits and file capabilities stop working, which
// also lets an unprivileged process use Landlock and seccomp.
bool forbid_new_privileges();

// Read and execute everywhere, change only beneath `writable`; TCP, signals
// to the outside and abstract sockets refused where the kernel can.
Outcome restrict_file_system(const std::vector<std::string> &writable);

// Refuse the system calls no tool has a use for (ptrace, mount, bpf, ...).
Outcome filter_system_calls();

}  // namespace tarvik::sandbox
