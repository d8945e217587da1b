// The pool's zygote loop, in C++ so that the zygote, between forks, writes
// none of the pages it shares with the tasks it forked.
#include "zygote.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <utility>

#include "outcome.hpp"
#include "report.hpp"
#include "unique_fd.hpp"

namespace tarvik::sandbox {
namespace {

constexpr size_t kChannels = 4;

std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
    return out + "\"";
}

class Zygote {
public:
    Zygote(ZygotePlan plan, ForkTask fork_task)
        : plan_(std::move(plan)), fork_task_(std::move(fork_task)) {}

    ToolStart serve() {
        sigset_t child{};
        sigemptyset(&child);
        sigaddset(&child, SIGCHLD);
        check(sigprocmask(SIG_BLOCK, &child, nullptr) == 0, "sigprocmask");
        signals_ = signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK);
        check(signals_ >= 0, "signalfd");
        for (;;) {
            std::array<pollfd, 2> ready{{{plan_.control, POLLIN, 0}, {signals_, POLLIN, 0}}};
            if (poll(ready.data(), ready.size(), -1) < 0) {
                if (errno == EINTR) continue;
                shut_down();
            }
            if (ready[1].revents != 0) reap();
            if (ready[0].revents != 0) {
                if (auto start = on_request()) return *start;
            }
        }
    }

private:
    struct Task {
        std::vector<std::string> folders;
    };

    std::optional<ToolStart> on_request() {
        std::array<char, 256> text{};
        std::array<char, CMSG_SPACE(sizeof(int) * kChannels)> control{};
        iovec part{text.data(), text.size() - 1};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t length = recvmsg(plan_.control, &message, MSG_CMSG_CLOEXEC);
        if (length < 0 && errno == EINTR) return std::nullopt;
        if (length <= 0) shut_down();  // the host is gone
        std::vector<UniqueFd> fds;
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
            const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            const auto *data = reinterpret_cast<const int *>(CMSG_DATA(header));
            for (size_t index = 0; index < count; ++index) fds.emplace_back(data[index]);
        }
        std::istringstream words(std::string(text.data(), static_cast<size_t>(length)));
        std::string verb;
        long long number = 0;
        int warm = 0;
        words >> verb >> number >> warm;
        if (verb == "spawn" && fds.size() == kChannels) return spawn(number, warm != 0, fds);
        fds.clear();
        if (verb == "spawn") {
            send(R"({"spawned": )" + std::to_string(number) +
                 R"(, "pid": null, "error": "no descriptors"})");
        } else if (verb == "kill" && tasks_.contains(static_cast<pid_t>(number))) {
            kill_task(static_cast<pid_t>(number));
        }
        return std::nullopt;
    }

    // The task's channel ends are closed here once it has them, and kept in its tool process.
    std::optional<ToolStart> spawn(long long id, bool warm, std::vector<UniqueFd> &fds) {
        const TaskChannels channels{fds[0].get(), fds[1].get(), fds[2].get(), fds[3].get()};
        std::vector<std::string> folders;
        std::pair<pid_t, int> forked{-1, -1};
        try {
            folders = make_call_cgroup();
            std::vector<LimitCounter> counters;
            for (const auto &counter : plan_.cgroups.counters) {
                if (counter.folder >= folders.size()) continue;
                counters.push_back(
                    {folders[counter.folder] + "/" + counter.file, counter.key, counter.report});
            }
            forked = fork_task_(channels, folders, counters);
        } catch (const StepError &error) {
            errno = error.error_number();
            fds.clear();
            remove(folders);
            send(R"({"spawned": )" + std::to_string(id) + R"(, "pid": null, "error": )" +
                 quoted("Cannot start a worker: " + system_error(error.what())) + "}");
            return std::nullopt;
        }
        if (forked.first == 0) {
            for (UniqueFd &fd : fds) fd.release();
            return ToolStart{channels, forked.second, warm};
        }
        fds.clear();
        tasks_[forked.first] = {folders};
        send("{\"spawned\": " + std::to_string(id) + ", \"pid\": " + std::to_string(forked.first) +
             ", \"error\": null}");
        return std::nullopt;
    }

    std::vector<std::string> make_call_cgroup() {
        std::vector<std::string> folders;
        const std::string name = "/call-" + std::to_string(calls_++);
        for (const auto &folder : plan_.cgroups.folders) {
            folders.push_back(folder.base + name);
            if (mkdir(folders.back().c_str(), 0755) != 0) {
                const int error = errno;
                const std::string step = "mkdir " + folders.back();
                folders.pop_back();
                remove(folders);
                throw StepError(step, error);
            }
            for (const auto &setting : folder.settings) {
                const std::string path = folders.back() + "/" + setting.file;
                if (!write_all_to(path, setting.value) && (!setting.optional || errno != ENOENT)) {
                    const int error = errno;
                    remove(folders);
                    throw StepError("write " + path, error);
                }
            }
        }
        return folders;
    }

    void reap() {
        signalfd_siginfo info{};
        while (read(signals_, &info, sizeof(info)) == sizeof(info)) {
        }
        for (;;) {
            int status = 0;
            const pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid <= 0) break;
            const auto task = tasks_.find(pid);
            if (task == tasks_.end()) continue;              // an orphan of a task, adopted here
            if (!plan_.pid_namespaces) kill(-pid, SIGKILL);  // what it left in its group
            const int code = WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
            std::string report =
                "{\"exited\": " + std::to_string(pid) + ", \"code\": " + std::to_string(code);
            for (const auto &counter : plan_.cgroups.counters) {
                const bool met = count(task->second.folders, counter) > 0;
                report += ", " + quoted(counter.report) + (met ? ": true" : ": false");
            }
            send(report + "}");
            remove(task->second.folders);
            tasks_.erase(task);
        }
        if (!plan_.pid_namespaces) kill_orphans();
    }

    static long long count(const std::vector<std::string> &folders,
                           const CallCgroupRecipe::Counter &counter) {
        if (counter.folder >= folders.size()) return 0;
        std::ifstream lines(folders[counter.folder] + "/" + counter.file);
        std::string key;
        long long value = 0;
        while (lines >> key >> value) {
            if (key == counter.key) return value;
        }
        return 0;
    }

    // Without PID namespaces, a tool's processes whose parents died come
    // here: none of them may stay.
    void kill_orphans() {
        DIR *threads = opendir("/proc/self/task");
        if (threads == nullptr) return;
        while (const dirent *thread = readdir(threads)) {
            std::ifstream children(std::string("/proc/self/task/") + thread->d_name + "/children");
            pid_t child = 0;
            while (children >> child) {
                if (!tasks_.contains(child)) kill(child, SIGKILL);
            }
        }
        closedir(threads);
    }

    void kill_task(pid_t pid) const { kill(plan_.pid_namespaces ? pid : -pid, SIGKILL); }

    static void remove(const std::vector<std::string> &folders) {
        for (const std::string &folder : folders) rmdir(folder.c_str());
    }

    void send(const std::string &message) {
        if (::send(plan_.control, message.data(), message.size(), MSG_NOSIGNAL) < 0) shut_down();
    }

    [[noreturn]] void shut_down() {
        // The host is gone: nothing is listening for what happens next.
        for (const auto &[pid, task] : tasks_) kill_task(pid);
        for (;;) {
            int status = 0;
            const pid_t pid = waitpid(-1, &status, 0);
            if (pid < 0 && errno == EINTR) continue;
            if (pid < 0) break;
            if (const auto task = tasks_.find(pid); task != tasks_.end()) {
                remove(task->second.folders);
                tasks_.erase(task);
            }
            if (!plan_.pid_namespaces) kill_orphans();
        }
        for (const auto &folder : plan_.cgroups.folders) rmdir(folder.base.c_str());
        _exit(0);
    }

    // Copied once, before the first fork: the loop only reads them.
    ZygotePlan plan_;
    ForkTask fork_task_;
    int signals_ = -1;
    unsigned long long calls_ = 0;
    std::map<pid_t, Task> tasks_;
};

}  // namespace

ToolStart serve_zygote(const ZygotePlan &plan, const ForkTask &fork_task) {
    Zygote zygote(plan, fork_task);
    return zygote.serve();
}

}  // namespace tarvik::sandbox
