// The supervisor of one task: world, tool process, admission, the calls' ends, verdict.
#include "supervisor.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

#include "forwarder.hpp"
#include "outcome.hpp"
#include "privileges.hpp"
#include "report.hpp"

namespace tarvik::sandbox {
namespace {

constexpr size_t kMessageBytes = size_t{1} << 16;
constexpr size_t kForwardChunk = size_t{1} << 20;

// What the host named in the admission.
struct Admission {
    std::string folder;
    std::string packages;
    std::string proxy;
    // The length of the first message, waiting on the host's task pipe.
    size_t bytes = 0;
};

Admission parse_admission(const std::string &message) {
    Admission admission;
    size_t start = message.find('\0');
    while (start != std::string::npos) {
        const size_t end = message.find('\0', start + 1);
        const std::string field = message.substr(start + 1, end - start - 1);
        const auto equals = field.find('=');
        const std::string name = field.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : field.substr(equals + 1);
        if (name == "folder") {
            admission.folder = value;
        } else if (name == "packages") {
            admission.packages = value;
        } else if (name == "proxy") {
            admission.proxy = value;
        } else if (name == "bytes") {
            admission.bytes = std::strtoull(value.c_str(), nullptr, 10);
        } else {
            throw StepError("read the admission: unknown field " + name, EINVAL);
        }
        start = end;
    }
    return admission;
}

// The numbered entries of a /proc folder: processes, or a process's threads.
std::vector<pid_t> numbered_entries(const std::string &folder) {
    std::vector<pid_t> numbers;
    DIR *listing = opendir(folder.c_str());
    if (listing == nullptr) return numbers;
    while (const dirent *entry = readdir(listing)) {
        char *end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0') numbers.push_back(static_cast<pid_t>(number));
    }
    closedir(listing);
    std::ranges::sort(numbers);
    return numbers;
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> children;
    for (const pid_t thread : numbered_entries("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream listing("/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) +
                              "/children");
        pid_t child = 0;
        while (listing >> child) children.push_back(child);
    }
    return children;
}

// The value of `key` in a cgroup's "key value" lines (memory.events, say), read afresh.
long long read_count(int fd, const std::string &key) {
    std::array<char, 4096> text{};
    const ssize_t length = pread(fd, text.data(), text.size() - 1, 0);
    if (length <= 0) return 0;
    std::istringstream lines(std::string(text.data(), static_cast<size_t>(length)));
    std::string name;
    long long value = 0;
    while (lines >> name >> value) {
        if (name == key) return value;
    }
    return 0;
}

// The CPU seconds `pid` has used, rounded up, as RLIMIT_CPU counts them.
rlim_t cpu_seconds_used(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto after_name = text.rfind(')');
    if (after_name == std::string::npos) return 0;
    std::istringstream fields(text.substr(after_name + 1));
    std::string field;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    unsigned long long ticks = 0;
    for (int index = 0; index < 13 && fields >> field; ++index) {
        if (index >= 11) ticks += std::strtoull(field.c_str(), nullptr, 10);
    }
    const auto per_second = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
    return static_cast<rlim_t>((ticks + per_second - 1) / per_second);
}

// Without a world, the task's scratch is a folder of the host's, made for it
// and removed with it; the tool process starts in it.
std::string make_host_scratch(const Scratch &scratch) {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tarvik-task-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp " + pattern);
    check(chown(pattern.c_str(), scratch.owner, scratch.group) == 0 || errno == EPERM,
          "chown " + pattern);
    check(chdir(pattern.c_str()) == 0, "chdir " + pattern);
    return pattern;
}

class Supervisor {
public:
    Supervisor(const Supervision &plan, pid_t tool, UniqueFd admitted, UniqueFd to_tool,
               std::string scratch_folder, std::vector<UniqueFd> counters)
        : plan_(plan),
          counters_(std::move(counters)),
          tool_(tool),
          admitted_(std::move(admitted)),
          control_(plan.channels.control),
          from_host_(plan.channels.task),
          to_tool_(std::move(to_tool)),
          scratch_folder_(std::move(scratch_folder)) {
        fcntl(from_host_.get(), F_SETFL, fcntl(from_host_.get(), F_GETFL) | O_NONBLOCK);
        fcntl(to_tool_.get(), F_SETFL, fcntl(to_tool_.get(), F_GETFL) | O_NONBLOCK);
        sigset_t child{};
        sigemptyset(&child);
        sigaddset(&child, SIGCHLD);
        signals_ = UniqueFd(signalfd(-1, &child, SFD_NONBLOCK | SFD_CLOEXEC));
        check(signals_.valid(), "signalfd");
        // Listening before the tool may run: its first connect must find it.
        if (plan_.forward_port != 0 && plan_.root) {
            try {
                forwarder_ = std::make_unique<Forwarder>(plan_.forward_port);
            } catch (const StepError &error) {
                // A task that asks for the proxy is refused, with this reason.
                errno = error.error_number();
                forwarder_problem_ = system_error(error.what());
            }
        }
    }

    [[noreturn]] void run() {
        std::vector<pollfd> ready;
        for (;;) {
            on_children();
            ready.clear();
            ready.push_back({control_.get(), POLLIN, 0});
            ready.push_back({signals_.get(), POLLIN, 0});
            // The message being let through: wait for the host's bytes, or for
            // room in the tool's pipe, whichever held it up.
            const bool passing = to_pass_ > 0;
            ready.push_back({passing && !tool_full_ ? from_host_.get() : -1, POLLIN, 0});
            ready.push_back({passing && tool_full_ ? to_tool_.get() : -1, POLLOUT, 0});
            if (forwarder_ != nullptr) forwarder_->want(ready);
            if (poll(ready.data(), ready.size(), -1) < 0) {
                if (errno == EINTR) continue;
                end(std::nullopt);
            }
            if (ready[1].revents != 0) {
                signalfd_siginfo info{};
                while (read(signals_.get(), &info, sizeof(info)) == sizeof(info)) {
                }
            }
            if (ready[2].revents != 0 || ready[3].revents != 0) pass_message();
            if (forwarder_ != nullptr) forwarder_->handle(&ready[4]);
            if (ready[0].revents != 0) on_control();
        }
    }

private:
    void on_control() {
        std::string message(kMessageBytes, '\0');
        const ssize_t length = recv(control_.get(), message.data(), message.size(), 0);
        if (length < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (length <= 0) end(std::nullopt);  // the host retired the task
        message.resize(static_cast<size_t>(length));
        const std::string verb = message.substr(0, message.find_first_of(std::string(" \0", 2)));
        if (verb == "admit") {
            admit(message);
        } else if (verb == "run") {
            std::istringstream words(message.substr(verb.size()));
            rlim_t cpu_seconds = 0;
            size_t bytes = 0;
            words >> cpu_seconds >> bytes;
            start_call(cpu_seconds, bytes);
        } else if (verb == "rest") {
            report_rest_ = message.substr(verb.size()).find('1') != std::string::npos;
            begin_rest();
        }
    }

    // The task named in the admission, let into the world; the tool process
    // learns "S", or "E" and why not. The host's tree goes in any case.
    void admit(const std::string &message) {
        if (!admitted_.valid()) return;  // admitted once only
        std::string answer = "S";
        Admission admission;
        try {
            admission = parse_admission(message);
            if (plan_.root && !admission.folder.empty()) {
                attach_folder(admission.folder, kToolFolder);
            }
            if (plan_.root && !admission.packages.empty()) {
                attach_folder(admission.packages, kPackages);
            }
            if (!admission.proxy.empty()) {
                if (forwarder_ == nullptr) {
                    throw StepError("forward to the network proxy: " +
                                        (forwarder_problem_.empty()
                                             ? std::string("no network was granted to this task")
                                             : forwarder_problem_),
                                    EINVAL);
                }
                forwarder_->connect_through(open_in_host_tree(admission.proxy, O_PATH));
            }
            if (plan_.root) detach_host_tree();
        } catch (const StepError &error) {
            errno = error.error_number();
            answer = "E" + system_error(error.what());
        }
        write_all(admitted_.get(), answer);
        admitted_.reset();
        if (forwarder_ != nullptr && !forwarder_->connected()) forwarder_.reset();
        // Its first message, which the tool answers even when it was refused.
        to_pass_ += admission.bytes;
        pass_message();
    }

    // Lets the host's message through to the tool process. The host writes
    // it to a pipe the tool cannot read: no call reaches the tool before the
    // check after the call before it found the world clean.
    void pass_message() {
        while (to_pass_ > 0) {
            const ssize_t moved = splice(from_host_.get(), nullptr, to_tool_.get(), nullptr,
                                         std::min(to_pass_, kForwardChunk), SPLICE_F_NONBLOCK);
            if (moved > 0) {
                to_pass_ -= static_cast<size_t>(moved);
                tool_full_ = false;
                continue;
            }
            if (moved == 0) end(std::nullopt);  // the host let go of the task
            if (errno == EINTR) continue;
            if (errno != EAGAIN) end(std::nullopt);
            int waiting = 0;
            tool_full_ = ioctl(from_host_.get(), FIONREAD, &waiting) == 0 && waiting > 0;
            return;
        }
    }

    void start_call(rlim_t cpu_seconds, size_t bytes) {
        if (rest_asked_) {
            // Sent right behind the rest of the call before: it starts once
            // that rest found the world clean.
            pending_run_ = {cpu_seconds, bytes};
            return;
        }
        rlimit limit{};
        if (cpu_seconds != 0 && prlimit(tool_, RLIMIT_CPU, nullptr, &limit) == 0) {
            const rlim_t wanted = cpu_seconds_used(tool_) + cpu_seconds;
            limit.rlim_cur =
                limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
            prlimit(tool_, RLIMIT_CPU, &limit, nullptr);
        }
        if (stopped_) {
            stopped_ = false;
            kill(tool_, SIGCONT);
        }
        to_pass_ += bytes;
        pass_message();
    }

    void begin_rest() {
        rest_asked_ = true;
        if (stopped_) {
            finish_rest();
        } else {
            kill(tool_, SIGSTOP);  // answered once the stop is seen, in on_children
        }
    }

    void on_children() {
        for (;;) {
            int status = 0;
            const pid_t pid = waitpid(-1, &status, WNOHANG | WUNTRACED);
            if (pid < 0 && errno == EINTR) continue;
            if (pid <= 0) return;
            if (pid != tool_) continue;  // an orphan of the task, adopted here
            if (WIFSTOPPED(status)) {
                stopped_ = true;
                if (rest_asked_) finish_rest();
            } else {
                end(WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status));
            }
        }
    }

    // The tool process is stopped: nothing of the call runs on but what this
    // finds, and the host retires the task for any of it.
    void finish_rest() {
        rest_asked_ = false;
        if (forwarder_ != nullptr) forwarder_->drop_links();
        const std::vector<pid_t> threads =
            numbered_entries("/proc/" + std::to_string(tool_) + "/task");
        if (!threads_) threads_ = threads;  // the script's own, as it loaded
        std::string why;
        std::string met;
        for (size_t index = 0; index < counters_.size(); ++index) {
            const long long count = read_count(counters_[index].get(), plan_.counters[index].key);
            if (count > counted_[index]) {
                met += (met.empty() ? "\"" : ", \"") + plan_.counters[index].report + "\"";
                counted_[index] = count;
            }
        }
        if (!met.empty()) {
            why = "the call met a limit of its world";
        } else if (!others().empty()) {
            why = "a process the call started is still there";
        } else if (threads != *threads_) {
            why = "a thread the call started is still there";
        }
        if (!why.empty()) {
            reply(R"({"rested": false, "why": ")" + why + R"(", "met": [)" + met + "]}");
            end(std::nullopt);  // nothing more of this world may run
        }
        if (report_rest_) reply(R"({"rested": true})");
        if (pending_run_) {
            const auto [cpu_seconds, bytes] = *pending_run_;
            pending_run_.reset();
            start_call(cpu_seconds, bytes);
        }
    }

    // Every process of the task but the supervisor and the tool process.
    std::vector<pid_t> others() const {
        std::vector<pid_t> found;
        if (plan_.root) {
            for (const pid_t pid : numbered_entries("/proc")) {
                if (pid != getpid() && pid != tool_) found.push_back(pid);
            }
        } else {
            for (const pid_t pid : children_of(getpid())) {
                if (pid != tool_) found.push_back(pid);
            }
            const std::vector<pid_t> below = children_of(tool_);
            found.insert(found.end(), below.begin(), below.end());
        }
        return found;
    }

    void reply(const std::string &json) {
        if (send(control_.get(), json.data(), json.size(), MSG_NOSIGNAL) < 0) end(std::nullopt);
    }

    // The task ends: with the tool process's exit status for the host, when
    // it ended by itself. As the first process of the task's PID namespace,
    // the supervisor takes every other one with it.
    [[noreturn]] void end(std::optional<int> code) {
        if (code) {
            const std::string verdict = "{\"code\": " + std::to_string(*code) + "}";
            send(control_.get(), verdict.data(), verdict.size(),
                 MSG_NOSIGNAL);  // none listens: no loss
        }
        if (!plan_.root) {
            // No PID namespace to end: what the task left behind came here,
            // the subreaper, and goes now.
            kill(tool_, SIGKILL);
            for (std::vector<pid_t> left = children_of(getpid()); !left.empty();
                 left = children_of(getpid())) {
                for (const pid_t pid : left) kill(pid, SIGKILL);
                while (waitpid(-1, nullptr, 0) > 0) {
                }
            }
            std::error_code ignored;
            if (!scratch_folder_.empty()) std::filesystem::remove_all(scratch_folder_, ignored);
        }
        _exit(0);
    }

    Supervision plan_;
    // Each of plan_.counters, opened before the world hid the cgroup tree,
    // and what it counted at the last rest.
    std::vector<UniqueFd> counters_;
    std::vector<long long> counted_ = std::vector<long long>(counters_.size(), 0);
    pid_t tool_;
    UniqueFd admitted_;
    UniqueFd control_;
    // The host's task pipe, and the tool process's: what the host sends waits
    // in the first until it may pass to the second.
    UniqueFd from_host_;
    UniqueFd to_tool_;
    size_t to_pass_ = 0;
    bool tool_full_ = false;
    UniqueFd signals_;
    std::string scratch_folder_;
    std::unique_ptr<Forwarder> forwarder_;
    std::string forwarder_problem_;
    bool rest_asked_ = false;
    // Whether the host wants to hear of a clean rest too (it always hears of an unclean one).
    bool report_rest_ = false;
    bool stopped_ = false;
    std::optional<std::pair<rlim_t, size_t>> pending_run_;
    // The tool process's threads once its script had loaded (its first rest).
    std::optional<std::vector<pid_t>> threads_;
};

}  // namespace

int supervise_task(const Supervision &plan, const std::function<pid_t()> &fork_tool) {
    for (const std::string &cgroup : plan.cgroups) {
        check(write_all_to(cgroup + "/cgroup.procs", "0"), "join the call's cgroup " + cgroup);
    }
    check(setsid() >= 0, "setsid");
    prctl(PR_SET_NAME, "tarvik-task");  // as ps and top show it
    die_with_parent();
    if (plan.lifeline >= 0) {
        const UniqueFd lifeline(plan.lifeline);
        pollfd zygote{lifeline.get(), POLLIN, 0};
        if (poll(&zygote, 1, 0) != 0) _exit(0);  // the zygote died while forking us
    }
    // Opened now: the world has no cgroup tree in it.
    std::vector<UniqueFd> counters;
    counters.reserve(plan.counters.size());
    for (const LimitCounter &counter : plan.counters) {
        counters.emplace_back(open(counter.file.c_str(), O_RDONLY | O_CLOEXEC));
    }
    std::string scratch_folder;
    if (plan.root) {
        prepare_task(*plan.root, plan.scratch, plan.private_network, plan.forward_port != 0);
    } else {
        // Orphans of the tool come here, to be counted and ended.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        scratch_folder = make_host_scratch(plan.scratch);
    }
    Pipe admitted;
    check(admitted.valid(), "pipe");
    Pipe to_tool;
    check(to_tool.valid(), "pipe");
    // Fewer wake-ups for a large message; a refused size keeps the default.
    fcntl(to_tool.write.get(), F_SETPIPE_SZ, static_cast<int>(kForwardChunk));
    // Blocked before the fork, so that no exit or stop of the tool is missed.
    sigset_t child{};
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    check(sigprocmask(SIG_BLOCK, &child, nullptr) == 0, "sigprocmask");
    const pid_t tool = fork_tool();
    check(tool >= 0, "fork the tool process");
    if (tool == 0) {
        sigprocmask(SIG_UNBLOCK, &child, nullptr);
        // The tool reads its messages from its own pipe, under the number of
        // the host's; the host's stays with the supervisor.
        check(dup2(to_tool.read.get(), plan.channels.task) >= 0, "dup2");
        const UniqueFd control(plan.channels.control);
        return admitted.read.release();  // the others close as they go
    }
    // The tool process's ends are its own.
    for (const int fd : {plan.channels.result, plan.channels.output}) UniqueFd(fd).reset();
    admitted.read.reset();
    to_tool.read.reset();
    std::signal(SIGPIPE, SIG_IGN);  // a tool process gone is a failed write, not our end
    Supervisor(plan, tool, std::move(admitted.write), std::move(to_tool.write),
               std::move(scratch_folder), std::move(counters))
        .run();
}

}  // namespace tarvik::sandbox
