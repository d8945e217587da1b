// _walls: what a worker needs to put up a task's walls from Python.
//
// Loaded by the pool's zygote before it forks; never by the host. Each call
// is one step of a task's life, in this order: the template (once, in the
// zygote), forking a task (whose supervisor never runs Python: it forks the
// tool process, which does), and the tool process's walls, put up before its
// task arrives.
#include <fcntl.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "landlock.hpp"
#include "outcome.hpp"
#include "privileges.hpp"
#include "seccomp_filter.hpp"
#include "supervisor.hpp"
#include "user_namespace.hpp"
#include "world.hpp"
#include "zygote.hpp"

namespace nb = nanobind;
namespace sandbox = tarvik::sandbox;

namespace {

// The PID namespace this process started in, to go back to after each child.
int own_pid_namespace() {
    static const int fd = open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC);
    return fd;
}

void new_pid_namespace_for_children() {
    sandbox::check(own_pid_namespace() >= 0, "open /proc/self/ns/pid");
    sandbox::check(unshare(CLONE_NEWPID) == 0, "unshare(CLONE_NEWPID)");
}

void restore_pid_namespace_for_children() {
    sandbox::check(setns(own_pid_namespace(), CLONE_NEWPID) == 0, "setns(CLONE_NEWPID)");
}

std::string state(const sandbox::Outcome &outcome) {
    return outcome.active ? outcome.detail : "unavailable: " + outcome.detail;
}

// The tool process's walls, put up before its task arrives: the task's own
// user, no capabilities, Landlock and the task's seccomp filter. Changing
// ids must succeed; a wall the kernel refuses is reported instead.
std::map<std::string, std::string> seal_task(const std::string &writable, uid_t tool_uid,
                                             gid_t tool_gid, uid_t inside_uid, gid_t inside_gid,
                                             uint64_t processes,
                                             const std::vector<uint16_t> &tcp_ports) {
    sandbox::switch_ids(tool_uid, tool_gid);
    std::map<std::string, std::string> report;
    try {
        sandbox::enter_task_user_namespace(inside_uid, inside_gid);
        report["user namespace"] = "active: own user namespace, counted apart from other tasks";
        // Only now: the kernel counts processes per user and user namespace,
        // and a namespace takes its creator's process limit as its ceiling.
        const rlimit limit{processes, processes};
        sandbox::check(setrlimit(RLIMIT_NPROC, &limit) == 0, "setrlimit(RLIMIT_NPROC)");
    } catch (const sandbox::StepError &error) {
        errno = error.error_number();
        report["user namespace"] = "unavailable: " + sandbox::system_error(error.what());
    }
    report["capabilities"] = state(sandbox::drop_capabilities());
    if (!sandbox::forbid_new_privileges()) {
        const std::string why = "unavailable: " + sandbox::system_error("PR_SET_NO_NEW_PRIVS");
        report["landlock"] = report["seccomp"] = why;
        return report;
    }
    report["landlock"] = state(sandbox::restrict_task(writable, tcp_ports));
    report["seccomp"] = state(sandbox::filter_system_calls(sandbox::FilterProfile::task));
    return report;
}

// The child half of os.fork(): for a tool process forked by a supervisor that
// the zygote forked without it, so that the pair is one fork to CPython.
pid_t fork_tool_process() {
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, "tarvik-tool");  // as ps and top show it
        PyOS_AfterFork_Child();
    }
    return pid;
}

sandbox::Supervision plan_of(const std::vector<std::string> &cgroups,
                             const std::vector<sandbox::LimitCounter> &counters, int lifeline,
                             const std::optional<std::string> &root, uint64_t scratch_bytes,
                             uint64_t scratch_inodes, uid_t owner, gid_t group,
                             bool private_network, uint16_t forward_port,
                             const std::vector<int> &channels) {
    sandbox::check(channels.size() == 4, "four channels: task, result, output, control");
    sandbox::Supervision plan;
    plan.cgroups = cgroups;
    plan.counters = counters;
    plan.lifeline = lifeline;
    plan.root = root;
    plan.scratch = {scratch_bytes, scratch_inodes, owner, group};
    plan.private_network = private_network;
    plan.forward_port = forward_port;
    plan.channels = {channels[0], channels[1], channels[2], channels[3]};
    return plan;
}

// Only the task's channels and the lifeline stay open in a supervisor; and
// the signal dispositions the zygote set up for itself do not follow it.
void settle_supervisor(const sandbox::Supervision &plan) {
    for (const int number : {SIGCHLD, SIGPIPE, SIGXFSZ, SIGINT, SIGTERM}) {
        std::signal(number, SIG_DFL);
    }
    sigset_t none{};
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const sandbox::TaskChannels &channels = plan.channels;
    std::vector<int> keep = {plan.lifeline, channels.task, channels.result, channels.output,
                             channels.control};
    std::ranges::sort(keep);
    unsigned first = 3;
    for (const int fd : keep) {
        if (std::cmp_less(fd, first)) continue;
        if (std::cmp_greater(fd, first)) syscall(SYS_close_range, first, fd - 1U, 0U);
        first = static_cast<unsigned>(fd) + 1;
    }
    syscall(SYS_close_range, first, ~0U, 0U);
}

// A task: (its supervisor's pid, -1) in the forking process, (0, the
// admission descriptor) in the task's tool process. The supervisor between
// them never runs Python, so the pages it shares with the zygote stay shared
// and copy-free; to CPython, zygote and tool process are one fork apart.
std::pair<pid_t, int> fork_task(const std::vector<std::string> &cgroups,
                                const std::vector<sandbox::LimitCounter> &counters, int lifeline,
                                const std::optional<std::string> &root, uint64_t scratch_bytes,
                                uint64_t scratch_inodes, uid_t owner, gid_t group,
                                bool private_network, uint16_t forward_port,
                                const std::vector<int> &channels) {
    const sandbox::Supervision plan =
        plan_of(cgroups, counters, lifeline, root, scratch_bytes, scratch_inodes, owner, group,
                private_network, forward_port, channels);
    if (root) new_pid_namespace_for_children();
    PyOS_BeforeFork();
    const pid_t pid = fork();
    if (pid != 0) {
        const int error = errno;
        PyOS_AfterFork_Parent();
        if (root) restore_pid_namespace_for_children();
        errno = error;
        sandbox::check(pid > 0, "fork");
        return {pid, -1};
    }
    try {
        settle_supervisor(plan);
        return {0, sandbox::supervise_task(plan, fork_tool_process)};
    } catch (const std::exception &error) {
        // Python is no place to go back to from here.
        std::fprintf(stderr, "tarvik: a task could not start: %s: %s\n", error.what(),
                     std::strerror(errno));
        _exit(70);
    }
}

// A task forked outside the zygote's loop (its probe), whose limits nobody counts.
std::pair<pid_t, int> fork_task_without_counters(
    const std::vector<std::string> &cgroups, int lifeline, const std::optional<std::string> &root,
    uint64_t scratch_bytes, uint64_t scratch_inodes, uid_t owner, gid_t group, bool private_network,
    uint16_t forward_port, const std::vector<int> &channels) {
    return fork_task(cgroups, {}, lifeline, root, scratch_bytes, scratch_inodes, owner, group,
                     private_network, forward_port, channels);
}

using Setting = std::tuple<std::string, std::string, bool>;
using CgroupFolder = std::pair<std::string, std::vector<Setting>>;
using Counter = std::tuple<size_t, std::string, std::string, std::string>;
using Start = std::tuple<int, int, int, int, bool>;

// The zygote's loop; returns only in a tool process: its task, result and
// output ends, its admission descriptor and whether it should warm up.
Start serve_zygote(int control, const std::vector<CgroupFolder> &folders,
                   const std::vector<Counter> &counters, int lifeline,
                   const std::optional<std::string> &root, uint64_t scratch_bytes,
                   uint64_t scratch_inodes, uid_t owner, gid_t group, bool private_network,
                   uint16_t forward_port) {
    sandbox::ZygotePlan plan;
    plan.control = control;
    plan.pid_namespaces = root.has_value();
    for (const auto &[base, settings] : folders) {
        sandbox::CallCgroupRecipe::Folder folder{base, {}};
        for (const auto &[file, value, optional] : settings) {
            folder.settings.push_back({file, value, optional});
        }
        plan.cgroups.folders.push_back(folder);
    }
    for (const auto &[index, file, key, report] : counters) {
        plan.cgroups.counters.push_back({index, file, key, report});
    }
    const sandbox::ForkTask fork = [&](const sandbox::TaskChannels &channels,
                                       const std::vector<std::string> &cgroups,
                                       const std::vector<sandbox::LimitCounter> &counters) {
        return fork_task(cgroups, counters, lifeline, root, scratch_bytes, scratch_inodes, owner,
                         group, private_network, forward_port,
                         {channels.task, channels.result, channels.output, channels.control});
    };
    const sandbox::ToolStart start = sandbox::serve_zygote(plan, fork);
    const sandbox::TaskChannels &channels = start.channels;
    return {channels.task, channels.result, channels.output, start.admitted, start.warm};
}

}  // namespace

// NOLINTNEXTLINE(misc-use-anonymous-namespace,performance-unnecessary-value-param)
NB_MODULE(_walls, module) {
    module.doc() = "The walls of a tool's task, put up by the worker that runs it.";

    nb::register_exception_translator([](const std::exception_ptr &raised, void *) {
        try {
            std::rethrow_exception(raised);
        } catch (const sandbox::StepError &error) {
            errno = error.error_number();
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, error.what());
        }
    });

    module.def(
        "die_with_parent", [] { sandbox::die_with_parent(); },
        "SIGKILL for this process when its parent dies.");
    module.def(
        "set_process_name", [](const std::string &name) { prctl(PR_SET_NAME, name.c_str()); },
        nb::arg("name"), "The name ps and top show for this process.");
    module.def("landlock_abi", &sandbox::landlock_abi,
               "The kernel's Landlock ABI version, 0 without Landlock.");
    module.def("landlock_scopes_ipc", &sandbox::landlock_scopes_ipc,
               "Whether Landlock keeps a task's signals and abstract sockets to itself.");
    module.def("enter_private_mount_namespace", &sandbox::enter_private_mount_namespace,
               "A mount namespace of our own that shares no mount events with the host.");
    module.def("build_template", &sandbox::build_template, nb::arg("root"), nb::arg("read_only"),
               nb::arg("links"),
               "Build the read-only template of every task's world on the empty folder root.");
    module.def("fork_task", &fork_task_without_counters, nb::arg("cgroups"), nb::arg("lifeline"),
               nb::arg("root").none(), nb::arg("scratch_bytes"), nb::arg("scratch_inodes"),
               nb::arg("owner"), nb::arg("group"), nb::arg("private_network"),
               nb::arg("forward_port"), nb::arg("channels"),
               "Fork a task: (supervisor pid, -1) here, (0, admission descriptor) in its tool "
               "process.");
    module.def("serve_zygote", &serve_zygote, nb::arg("control"), nb::arg("cgroup_folders"),
               nb::arg("cgroup_counters"), nb::arg("lifeline"), nb::arg("root").none(),
               nb::arg("scratch_bytes"), nb::arg("scratch_inodes"), nb::arg("owner"),
               nb::arg("group"), nb::arg("private_network"), nb::arg("forward_port"),
               "Serve the host as the pool's zygote; returns only in a tool process, with its "
               "channels, its admission descriptor and whether to warm up.");
    module.def("seal_task", &seal_task, nb::arg("writable"), nb::arg("tool_uid"),
               nb::arg("tool_gid"), nb::arg("inside_uid"), nb::arg("inside_gid"),
               nb::arg("processes"), nb::arg("tcp_ports"),
               "Put up the tool process's walls; returns each wall's state.");
}
