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

// The task's ends of the host's channels. The tool process keeps `task`,
// `result` and `output` (-1: stdout and stderr as they are); the supervisor
// alone holds `control`.
struct TaskChannels {
    int task = -1;
    int result = -1;
    int output = -1;
    int control = -1;
};

// One count the task's cgroup keeps of a limit met, e.g. oom_kill in
// memory.events, and the name the host knows it by ("oom").
struct LimitCounter {
    std::string file;
    std::string key;
    std::string report;
};

struct Supervision {
    // Joined before anything of the task exists, so that all of it counts.
    std::vector<std::string> cgroups;
    // Read after each call of a warm world: a limit it met ends the world.
    std::vector<LimitCounter> counters;
    // Readable once the zygote is gone (it holds the only write end).
    int lifeline = -1;
    // The template to prepare the task's world from; none: the host's own
    // tree, with a scratch folder of the host's made for the task.
    std::optional<std::string> root;
    Scratch scratch{};
    bool private_network = false;
    // Nonzero when the operator granted network hosts: the task's network
    // namespace has its loopback up, and the supervisor forwards TCP
    // connections to 127.0.0.1 on this port to the host's network proxy.
    uint16_t forward_port = 0;
    TaskChannels channels;
};

// Becomes the task's supervisor: its cgroups, session and world, then the
// tool process, forked with `fork_tool`. Returns, in the tool process only,
// the descriptor on which it learns its admission: "S", or "E" and why the
// task could not be admitted. The supervisor never returns. On the control
// channel it takes, from the host:
// - "admit" and the fields "\0folder=", "\0packages=", "\0proxy=": the tool's
//   folder bound read-only at kToolFolder and its packages at kPackages, the
//   proxy's socket opened, the host's tree detached, then the tool process
//   told to go;
// - "run N": a call starts: the tool process's CPU time may grow by N more
//   seconds (its soft limit), and it is let go on if it was resting (once
//   the rest asked before it is over);
// - "rest": a call ended: the tool process is stopped, the connections the
//   call made are closed, and it is checked to be alone in the task with the
//   threads it had once its script was loaded, and to have met none of the
//   task's limits meanwhile; the answer is {"rested": true}, or {"rested":
//   false, "why": "...", "met": ["oom", ...]} and the end of the task.
// Once the tool process has ended it sends {"code": N} (its exit status, or
// minus the signal that killed it) and exits, ending the task; so it does,
// killing the task, when the host closes the channel.
int supervise_task(const Supervision &plan, const std::function<pid_t()> &fork_tool);

}  // namespace tarvik::sandbox
