// tarvik-sandbox: takes the worker away from the host, reports how, then runs it.
//
//   tarvik-sandbox [--report-fd N] [--cgroup DIR]... -- PROGRAM [ARGS...]
//
// The program gets a user namespace of its own (where it may build task
// worlds), an empty network namespace, a seccomp filter and death with its
// parent, and runs as the first process of a new PID namespace, so that
// everything it starts ends with it, while the launcher waits outside and
// exits as it did. --cgroup puts the launcher, first of all, in the cgroup
// DIR (a call's limits). Every protection is attempted and its
// outcome reported; one the kernel refuses is skipped, never fatal, so the
// host always learns what holds.
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "privileges.hpp"
#include "report.hpp"
#include "seccomp_filter.hpp"
#include "unique_fd.hpp"
#include "user_namespace.hpp"

namespace {

using tarvik::sandbox::Outcome;

struct Options {
    int report_fd = -1;
    std::vector<std::string> cgroups;
    std::vector<char *> command;
};

[[noreturn]] void usage(const std::string &problem) {
    std::fprintf(stderr,
                 "tarvik-sandbox: %s\n"
                 "usage: tarvik-sandbox [--report-fd N] [--cgroup DIR]... -- PROGRAM [ARGS...]\n",
                 problem.c_str());
    std::exit(2);
}

Options parse(int argc, char **argv) {
    Options options;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--") {
            ++index;
            break;
        }
        if (argument != "--report-fd" && argument != "--cgroup") {
            usage("unknown option " + argument);
        }
        if (index + 1 >= argc) usage("missing value after " + argument);
        if (argument == "--cgroup") {
            options.cgroups.emplace_back(argv[++index]);
            continue;
        }
        char *end = nullptr;
        const long fd = std::strtol(argv[++index], &end, 10);
        if (*end != '\0' || fd < 0 || fd > 1 << 20) usage("--report-fd needs a descriptor");
        options.report_fd = static_cast<int>(fd);
    }
    if (index >= argc) usage("no program to run");
    for (; index < argc; ++index) options.command.push_back(argv[index]);
    options.command.push_back(nullptr);
    return options;
}

[[noreturn]] void execute(const Options &options) {
    execv(options.command[0], options.command.data());
    std::fprintf(stderr, "tarvik-sandbox: cannot execute %s: %s\n", options.command[0],
                 std::strerror(errno));
    _exit(127);
}

// Runs the program as the first process of the PID namespace made for it (a
// plain child where the kernel refused one) and leaves as it did: with its
// exit code, or killed by the same signal.
[[noreturn]] void run_as_first_process(const Options &options) {
    const pid_t child = fork();
    if (child < 0) {
        std::perror("tarvik-sandbox: fork");
        _exit(127);
    }
    if (child == 0) {
        tarvik::sandbox::die_with_parent();
        execute(options);
    }
    // The program's descriptors are its own: our copies would keep its pipes
    // open after it is gone.
    syscall(SYS_close_range, 3U, ~0U, 0U);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) _exit(127);
    }
    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        std::raise(WTERMSIG(status));
        _exit(128 + WTERMSIG(status));
    }
    _exit(WEXITSTATUS(status));
}

}  // namespace

int main(int argc, char **argv) {
    namespace sandbox = tarvik::sandbox;
    const Options options = parse(argc, argv);
    for (const std::string &cgroup : options.cgroups) {
        // "0" is the writer: the launcher joins before it starts anything.
        if (!sandbox::write_all_to(cgroup + "/cgroup.procs", "0")) {
            std::fprintf(stderr, "tarvik-sandbox: cannot join the cgroup %s: %s\n", cgroup.c_str(),
                         std::strerror(errno));
            return 126;
        }
    }

    // A crashing tool must not leave a core file holding its secrets.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);

    sandbox::Report report;
    report.emplace_back("parent death", sandbox::die_with_parent());
    report.emplace_back("network", sandbox::isolate_from_host());
    report.emplace_back("pid namespace",
                        unshare(CLONE_NEWPID) == 0
                            ? Outcome::applied("active: own PID namespace")
                            : Outcome::skipped(sandbox::system_error("unshare(CLONE_NEWPID)")));
    report.emplace_back(
        "seccomp", sandbox::forbid_new_privileges()
                       ? sandbox::filter_system_calls(sandbox::FilterProfile::pool)
                       : Outcome::skipped(sandbox::system_error("prctl(PR_SET_NO_NEW_PRIVS)")));

    if (options.report_fd >= 0) {
        const sandbox::UniqueFd report_fd(options.report_fd);
        if (!sandbox::write_all(report_fd.get(), sandbox::report_json(report))) {
            std::perror("tarvik-sandbox: writing the report");
        }
    }
    run_as_first_process(options);
}
