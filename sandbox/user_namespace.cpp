// User namespaces: the launcher's own (with an empty network namespace) and each task's.
#include "user_namespace.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "unique_fd.hpp"

namespace tarvik::sandbox {
namespace {

bool write_file(const std::string &path, const std::string &text) {
    UniqueFd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!file.valid()) return false;
    const bool written =
        write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int saved = errno;
    file.reset();
    errno = saved;
    return written;
}

// Writes the maps of `process` ("self" or a pid); nullptr when done, else the
// file that could not be written, with errno set.
const char *write_maps(const std::string &process, const std::string &uid_map,
                       const std::string &gid_map) {
    const std::string proc = "/proc/" + process;
    if (!write_file(proc + "/setgroups", "deny") && errno != ENOENT) return "setgroups";
    if (!write_file(proc + "/uid_map", uid_map)) return "uid_map";
    if (!write_file(proc + "/gid_map", gid_map)) return "gid_map";
    return nullptr;
}

// Mapping uid 0, or more than one id, needs capabilities in the parent
// namespace, which a process loses on entering its own; a helper forked
// beforehand stays outside and writes the maps for us once we are in.
class OutsideHelper {
public:
    OutsideHelper(const std::string &uid_map, const std::string &gid_map) {
        if (!go_.valid()) return;
        const pid_t target = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            go_.write.reset();
            char signal = 0;
            if (read(go_.read.get(), &signal, 1) != 1) _exit(1);
            _exit(write_maps(std::to_string(target), uid_map, gid_map) == nullptr ? 0 : 1);
        }
        go_.read.reset();
    }

    ~OutsideHelper() {
        go_.write.reset();
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }

    OutsideHelper(const OutsideHelper &) = delete;
    OutsideHelper &operator=(const OutsideHelper &) = delete;
    OutsideHelper(OutsideHelper &&) = delete;
    OutsideHelper &operator=(OutsideHelper &&) = delete;

    // Lets the helper write the maps (or, with `write` false, just leave).
    bool finish(bool write) {
        if (pid_ <= 0) return false;
        if (write && ::write(go_.write.get(), "m", 1) != 1) return false;
        go_.write.reset();
        int status = 0;
        const pid_t waited = waitpid(pid_, &status, 0);
        pid_ = -1;
        return write && waited > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    Pipe go_;
    pid_t pid_ = -1;
};

std::string line(unsigned inside, unsigned outside) {
    return std::to_string(inside) + " " + std::to_string(outside) + " 1\n";
}

}  // namespace

Outcome isolate_from_host() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            return Outcome::skipped(system_error("unshare(CLONE_NEWUSER)"));
        }
        if (const char *failed = write_maps("self", line(0, uid), line(0, gid))) {
            return Outcome::skipped(system_error(failed));
        }
        return Outcome::applied("active: own user and network namespaces, loopback down");
    }
    OutsideHelper helper(line(0, 0) + line(kToolUserWhenRoot, kToolUserWhenRoot),
                         line(0, gid) + line(kToolGroupWhenRoot, kToolGroupWhenRoot));
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
        if (helper.finish(true)) {
            return Outcome::applied("active: own user and network namespaces, loopback down");
        }
        return Outcome::skipped("the user namespace's ids could not be mapped");
    }
    helper.finish(false);
    const std::string user_error = system_error("unshare(CLONE_NEWUSER)");
    // Root keeps its capabilities without a user namespace; only the network
    // is left to take away.
    if (unshare(CLONE_NEWNET) == 0) {
        return Outcome::applied("active: own network namespace, loopback down");
    }
    return Outcome::skipped(user_error + "; " + system_error("unshare(CLONE_NEWNET)"));
}

void enter_task_user_namespace(uid_t inside_uid, gid_t inside_gid) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    check(unshare(CLONE_NEWUSER) == 0, "unshare(CLONE_NEWUSER)");
    if (const char *failed = write_maps("self", line(inside_uid, uid), line(inside_gid, gid))) {
        throw StepError(failed, errno);
    }
}

}  // namespace tarvik::sandbox
