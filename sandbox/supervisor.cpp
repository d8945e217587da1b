// The supervisor of one task: world, tool process, admission, verdict.
#include "supervisor.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include "forwarder.hpp"
#include "outcome.hpp"
#include "privileges.hpp"
#include "report.hpp"

namespace tarvik::sandbox {
namespace {

std::string read_to_end(int fd) {
    std::string text;
    std::array<char, 65536> buffer{};
    for (;;) {
        const ssize_t count = read(fd, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return text;
        text.append(buffer.data(), static_cast<size_t>(count));
    }
}

void close_if_open(int fd) {
    if (fd >= 0) close(fd);
}

// What the host named on the admission pipe.
struct Admission {
    std::string script;
    std::string packages;
    std::string proxy;
};

Admission parse_admission(const std::string &message) {
    Admission admission;
    size_t start = message.find('\0');
    admission.script = message.substr(0, start);
    while (start != std::string::npos) {
        const size_t end = message.find('\0', start + 1);
        const std::string field = message.substr(start + 1, end - start - 1);
        const auto equals = field.find('=');
        const std::string name = field.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : field.substr(equals + 1);
        if (name == "packages") {
            admission.packages = value;
        } else if (name == "proxy") {
            admission.proxy = value;
        } else {
            throw StepError("read the admission: unknown field " + name, EINVAL);
        }
        start = end;
    }
    return admission;
}

// The task named on the admission pipe, let into the world: "S" and the
// script's text, or "E" and why not. The host's tree goes in any case.
std::string admit(const Supervision &plan, const std::string &message, Forwarder *forwarder,
                  const std::string &forwarder_problem) {
    std::string admitted = "S";
    try {
        const Admission admission = parse_admission(message);
        const std::string &script = admission.script;
        std::string path = script;
        if (!script.empty()) {
            const auto slash = script.rfind('/');
            if (plan.root) {
                attach_folder(slash == 0 ? "/" : script.substr(0, slash), kToolFolder);
                path = std::string(kToolFolder) + script.substr(slash);
            }
            // Read now, with the supervisor's rights: the tool's user may not have them.
            const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (file >= 0) {
                admitted += read_to_end(file);
                close(file);
            }
        }
        if (plan.root && !admission.packages.empty()) {
            attach_folder(admission.packages, kPackages);
        }
        if (!admission.proxy.empty()) {
            if (forwarder == nullptr || !plan.root) {
                throw StepError("forward to the network proxy: " + forwarder_problem, EINVAL);
            }
            forwarder->connect_through(open_in_host_tree(admission.proxy, O_PATH));
        }
        if (plan.root) detach_host_tree();
    } catch (const StepError &error) {
        errno = error.error_number();
        admitted = "E" + system_error(error.what());
    }
    return admitted;
}

int wait_for(pid_t tool) {
    for (;;) {
        int status = 0;
        const pid_t reaped = waitpid(-1, &status, 0);
        if (reaped < 0 && errno == EINTR) continue;
        if (reaped < 0) _exit(1);
        if (reaped == tool) return status;  // others are orphans of the task, adopted here
    }
}

[[noreturn]] void supervise(const Supervision &plan, pid_t tool, int admitted) {
    // Listening before the tool may run: its first connect must find the forwarder.
    std::unique_ptr<Forwarder> forwarder;
    std::string forwarder_problem = "no network was granted to this task";
    if (plan.forward_port != 0 && plan.root) {
        try {
            forwarder = std::make_unique<Forwarder>(plan.forward_port);
        } catch (const StepError &error) {
            // A task that asks for the proxy is refused, with this reason.
            errno = error.error_number();
            forwarder_problem = system_error(error.what());
        }
    }
    const std::string message = read_to_end(plan.pipes.admission);
    write_all(admitted, admit(plan, message, forwarder.get(), forwarder_problem));
    close(admitted);
    close(plan.pipes.admission);
    if (forwarder != nullptr && !forwarder->connected()) forwarder.reset();
    int status = 0;
    try {
        status = forwarder != nullptr ? forwarder->relay_until_exit(tool) : wait_for(tool);
    } catch (const StepError &) {
        forwarder.reset();
        status = wait_for(tool);
    }
    const int code = WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    write_all(plan.pipes.verdict, "{\"code\": " + std::to_string(code) + "}");
    _exit(0);
}

}  // namespace

int supervise_task(const Supervision &plan, const std::function<pid_t()> &fork_tool) {
    for (const std::string &cgroup : plan.cgroups) {
        check(write_all_to(cgroup + "/cgroup.procs", "0"), "join the call's cgroup " + cgroup);
    }
    check(setsid() >= 0, "setsid");
    prctl(PR_SET_NAME, "tarvik-task");  // as ps and top show it
    die_with_parent();
    if (plan.lifeline >= 0) {
        pollfd zygote{plan.lifeline, POLLIN, 0};
        if (poll(&zygote, 1, 0) != 0) _exit(0);  // the zygote died while forking us
        close(plan.lifeline);
    }
    if (plan.root) {
        prepare_task(*plan.root, plan.scratch, plan.private_network, plan.forward_port != 0);
    }
    std::array<int, 2> admitted{};
    check(pipe2(admitted.data(), O_CLOEXEC) == 0, "pipe");
    const pid_t tool = fork_tool();
    check(tool >= 0, "fork the tool process");
    if (tool == 0) {
        for (const int fd : {admitted[1], plan.pipes.verdict, plan.pipes.admission}) close(fd);
        return admitted[0];
    }
    for (const int fd : {plan.pipes.task, plan.pipes.result, plan.pipes.output, admitted[0]}) {
        close_if_open(fd);
    }
    supervise(plan, tool, admitted[1]);
}

}  // namespace tarvik::sandbox
