// The network wall: a new network namespace, inside a user namespace when
// the launcher is not privileged enough to create one directly.
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "protections.hpp"

namespace tarvik::sandbox {
namespace {

bool write_file(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int saved = errno;
    close(fd);
    errno = saved;
    return written;
}

// Maps our own ids onto themselves, so files keep their owners inside.
// Returns the failure, or an empty string.
std::string map_ids(const std::string &process, uid_t uid, gid_t gid) {
    const std::string proc = "/proc/" + process;
    if (!write_file(proc + "/setgroups", "deny") && errno != ENOENT) {
        return system_error("setgroups");
    }
    if (!write_file(proc + "/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1")) {
        return system_error("uid_map");
    }
    if (!write_file(proc + "/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
        return system_error("gid_map");
    }
    return {};
}

// Mapping uid 0 needs CAP_SETFCAP in the parent namespace, which a process
// loses on entering its own; a helper forked beforehand stays outside and
// writes the maps for us once we are in.
class OutsideHelper {
public:
    OutsideHelper() {
        if (pipe2(go_, O_CLOEXEC) != 0) return;
        const pid_t target = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            close(go_[1]);
            char signal = 0;
            if (read(go_[0], &signal, 1) != 1) _exit(1);
            _exit(map_ids(std::to_string(target), geteuid(), getegid()).empty() ? 0 : 1);
        }
        close(go_[0]);
        go_[0] = -1;
    }

    ~OutsideHelper() {
        if (go_[1] >= 0) close(go_[1]);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }

    OutsideHelper(const OutsideHelper &) = delete;
    OutsideHelper &operator=(const OutsideHelper &) = delete;
    OutsideHelper(OutsideHelper &&) = delete;
    OutsideHelper &operator=(OutsideHelper &&) = delete;

    // Lets the helper write the maps (or, with `write` false, just leave).
    bool finish(bool write) {
        if (pid_ <= 0) return false;
        if (write && ::write(go_[1], "m", 1) != 1) return false;
        close(go_[1]);
        go_[1] = -1;
        int status = 0;
        const pid_t waited = waitpid(pid_, &status, 0);
        pid_ = -1;
        return write && waited > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    int go_[2] = {-1, -1};
    pid_t pid_ = -1;
};

}  // namespace

Outcome isolate_network() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    OutsideHelper helper;
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
        std::string failure = map_ids("self", uid, gid);
        if (!failure.empty()) failure = helper.finish(true) ? "" : failure;
        if (!failure.empty()) {
            // The namespaces exist; only the id mapping failed, so the
            // process runs as the overflow user, which is still no network.
            return Outcome::applied("active: own network namespace (ids unmapped: " + failure +
                                    ")");
        }
        return Outcome::applied("active: own user and network namespaces, loopback down");
    }
    helper.finish(false);
    const std::string user_error = system_error("unshare(CLONE_NEWUSER)");
    if (unshare(CLONE_NEWNET) == 0) {
        return Outcome::applied("active: own network namespace, loopback down");
    }
    return Outcome::skipped(user_error + "; " + system_error("unshare(CLONE_NEWNET)"));
}

}  // namespace tarvik::sandbox
