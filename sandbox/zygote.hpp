// The pool's zygote loop: tasks forked on the host's request, reaped and reported.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "supervisor.hpp"

namespace tarvik::sandbox {

// How to make, read and remove the cgroup of one call, one folder per
// hierarchy (a single one on cgroup v2). Worked out by the worker's Python
// side, which knows the hierarchies; carried out here.
struct CallCgroupRecipe {
    struct Setting {
        std::string file;
        std::string value;
        bool optional = false;
    };
    struct Folder {
        std::string base;               // the pool's own subtree in this hierarchy
        std::vector<Setting> settings;  // written into each call's folder
    };
    struct Counter {
        size_t folder = 0;   // index into `folders`
        std::string file;    // e.g. memory.events
        std::string key;     // e.g. oom_kill
        std::string report;  // the name the host reads it under, e.g. oom
    };
    std::vector<Folder> folders;
    std::vector<Counter> counters;
};

struct ZygotePlan {
    int control = -1;
    // Each task is the first process of its own PID namespace; without that,
    // a task's process group and whatever it leaves here are killed instead.
    bool pid_namespaces = true;
    CallCgroupRecipe cgroups;
};

// What a tool process starts from, when the loop returns in one.
struct ToolStart {
    TaskChannels channels;
    int admitted = -1;
    bool warm = false;
};

// Forks a task with these channels, cgroup folders and counters of limits
// met: (its supervisor's pid, -1) here, (0, the admission descriptor) in its
// tool process.
using ForkTask = std::function<std::pair<pid_t, int>(
    const TaskChannels &, const std::vector<std::string> &, const std::vector<LimitCounter> &)>;

// Serves the host on `plan.control` until it goes, then kills every task and
// exits. Requests, one per message: "spawn ID WARM" with the task's four
// channel ends attached (task, result, output, control), and "kill PID".
// Answers, as JSON: {"spawned": ID, "pid": PID, "error": null} (or "pid":
// null and why), and {"exited": PID, "code": N, ...} once a task is gone,
// with each of the call's counters. Returns only in a tool process.
ToolStart serve_zygote(const ZygotePlan &plan, const ForkTask &fork_task);

}  // namespace tarvik::sandbox
