// tarvik-sandbox: puts up the walls, reports them, then executes the worker.
//
//   tarvik-sandbox [--report-fd N] [--write DIR]... -- PROGRAM [ARGS...]
//
// Every protection is attempted and its outcome reported; one the kernel
// refuses is skipped, never fatal, so the host always learns what holds.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protections.hpp"
#include "report.hpp"

namespace {

using tarvik::sandbox::Outcome;

struct Options {
    int report_fd = -1;
    std::vector<std::string> writable;
    std::vector<char *> command;
};

[[noreturn]] void usage(const char *problem) {
    std::fprintf(stderr,
                 "tarvik-sandbox: %s\n"
                 "usage: tarvik-sandbox [--report-fd N] [--write DIR]... -- PROGRAM [ARGS...]\n",
                 problem);
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
        if (index + 1 >= argc) usage(("missing value after " + argument).c_str());
        if (argument == "--report-fd") {
            char *end = nullptr;
            const long fd = std::strtol(argv[++index], &end, 10);
            if (*end != '\0' || fd < 0 || fd > 1 << 20) usage("--report-fd needs a descriptor");
            options.report_fd = static_cast<int>(fd);
        } else if (argument == "--write") {
            options.writable.emplace_back(argv[++index]);
        } else {
            usage(("unknown option " + argument).c_str());
        }
    }
    if (index >= argc) usage("no program to run");
    for (; index < argc; ++index) options.command.push_back(argv[index]);
    options.command.push_back(nullptr);
    return options;
}

}  // namespace

int main(int argc, char **argv) {
    namespace sandbox = tarvik::sandbox;
    const Options options = parse(argc, argv);

    // A crashing tool must not leave a core file holding its secrets.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);

    sandbox::Report report;
    report.emplace_back("parent death", sandbox::die_with_parent());
    // Namespaces first: creating them needs privileges the later steps drop.
    report.emplace_back("network", sandbox::isolate_network());
    report.emplace_back("capabilities", sandbox::drop_capabilities());
    if (sandbox::forbid_new_privileges()) {
        report.emplace_back("landlock", sandbox::restrict_file_system(options.writable));
        report.emplace_back("seccomp", sandbox::filter_system_calls());
    } else {
        const std::string why = sandbox::system_error("prctl(PR_SET_NO_NEW_PRIVS)");
        report.emplace_back("landlock", Outcome::skipped(why));
        report.emplace_back("seccomp", Outcome::skipped(why));
    }

    if (options.report_fd >= 0) {
        if (!sandbox::write_all(options.report_fd, sandbox::report_json(report))) {
            std::perror("tarvik-sandbox: writing the report");
        }
        close(options.report_fd);
    }
    execv(options.command[0], options.command.data());
    std::fprintf(stderr, "tarvik-sandbox: cannot execute %s: %s\n", options.command[0],
                 std::strerror(errno));
    return 127;
}
