// A task's supervisor: the first process of the task's PID namespace, which runs no tool code.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "world.hpp"

namespace tarvik::sandbox {

// The task's ends of the host's pipes. The tool process keeps `task`,
// `result` and `output` (-1: stdout and stderr as they are); the supervisor
// alone holds `verdict` and `admission`.
struct TaskPipes {
    int task = -1;
    int result = -1;
    int output = -1;
    int verdict = -1;
    int admission = -1;
};

struct Supervision {
    // Joined before anything of the task exists, so that all of it counts.
    std::vector<std::string> cgroups;
    // Readable once the zygote is gone (it holds the only write end).
    int lifeline = -1;
    // The template to prepare the task's world from; none: the host's own tree.
    std::optional<std::string> root;
    Scratch scratch{};
    bool private_network = false;
    // Nonzero when the operator granted network hosts: the task's network
    // namespace has its loopback up, and the supervisor forwards TCP
    // connections to 127.0.0.1 on this port to the host's network proxy.
    uint16_t forward_port = 0;
    TaskPipes pipes;
};

// Becomes the task's supervisor: its cgroups, session and world, then the
// tool process, forked with `fork_tool`. Returns, in the tool process only,
// the descriptor on which it learns its admission: "S" and the script's
// text, or "E" and why the task could not be admitted. The supervisor never
// returns: it admits the task named on the admission pipe (the tool's folder
// and its packages in, the host's tree out), forwards its connections to the
// network proxy when granted, reaps everything the task leaves to it, and
// once the tool process has ended writes {"code": N} (its exit status, or
// minus the signal that killed it) on the verdict pipe and exits, ending the
// task.
//
// The admission is the script's path (empty for a task that runs none),
// then optionally fields of "\0name=value": "packages" (a folder of the
// host's, bound read-only at kPackages) and "proxy" (the network proxy's
// socket, which only the supervisor holds).
int supervise_task(const Supervision &plan, const std::function<pid_t()> &fork_tool);

}  // namespace tarvik::sandbox
