// _walls: what a worker needs to put up a task's walls from Python.
//
// Loaded by the pool's zygote before it forks and by a fresh worker; never by
// the host. Each call is one step of a task's life, in this order: the PID
// namespace for the next child and the template (in the zygote), becoming
// the task's supervisor (which forks the tool process and never returns to
// Python), and the tool process's walls, put up before its task arrives.
#include <fcntl.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "landlock.hpp"
#include "outcome.hpp"
#include "privileges.hpp"
#include "seccomp_filter.hpp"
#include "supervisor.hpp"
#include "user_namespace.hpp"
#include "world.hpp"

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

// os.fork() as CPython does it, for a child that carries on in Python.
pid_t fork_interpreter() {
    PyOS_BeforeFork();
    const pid_t pid = fork();
    if (pid == 0) {
        PyOS_AfterFork_Child();
    } else {
        PyOS_AfterFork_Parent();
    }
    return pid;
}

int supervise_task(const std::vector<std::string> &cgroups, int lifeline,
                   const std::optional<std::string> &root, uint64_t scratch_bytes,
                   uint64_t scratch_inodes, uid_t owner, gid_t group, bool private_network,
                   int task, int result, int output, int verdict, int admission) {
    sandbox::Supervision plan;
    plan.cgroups = cgroups;
    plan.lifeline = lifeline;
    plan.root = root;
    plan.scratch = {scratch_bytes, scratch_inodes, owner, group};
    plan.private_network = private_network;
    plan.pipes = {task, result, output, verdict, admission};
    return sandbox::supervise_task(plan, fork_interpreter);
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
    module.def("landlock_abi", &sandbox::landlock_abi,
               "The kernel's Landlock ABI version, 0 without Landlock.");
    module.def("landlock_scopes_ipc", &sandbox::landlock_scopes_ipc,
               "Whether Landlock keeps a task's signals and abstract sockets to itself.");
    module.def("new_pid_namespace_for_children", &new_pid_namespace_for_children,
               "The next child forked starts a PID namespace of its own, as its first process.");
    module.def("restore_pid_namespace_for_children", &restore_pid_namespace_for_children,
               "Children forked from now on are in this process's own PID namespace again.");
    module.def("enter_private_mount_namespace", &sandbox::enter_private_mount_namespace,
               "A mount namespace of our own that shares no mount events with the host.");
    module.def("build_template", &sandbox::build_template, nb::arg("root"), nb::arg("read_only"),
               nb::arg("links"),
               "Build the read-only template of every task's world on the empty folder root.");
    module.def("supervise_task", &supervise_task, nb::arg("cgroups"), nb::arg("lifeline"),
               nb::arg("root").none(), nb::arg("scratch_bytes"), nb::arg("scratch_inodes"),
               nb::arg("owner"), nb::arg("group"), nb::arg("private_network"), nb::arg("task"),
               nb::arg("result"), nb::arg("output"), nb::arg("verdict"), nb::arg("admission"),
               "Become the task's supervisor; returns only in the tool process it forks, with "
               "the descriptor of its admission.");
    module.def("seal_task", &seal_task, nb::arg("writable"), nb::arg("tool_uid"),
               nb::arg("tool_gid"), nb::arg("inside_uid"), nb::arg("inside_gid"),
               nb::arg("processes"), nb::arg("tcp_ports"),
               "Put up the tool process's walls; returns each wall's state.");
}
