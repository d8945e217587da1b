// Parent-death signal, no_new_privs, ids and the dropping of every capability.
#include "privileges.hpp"

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>

namespace tarvik::sandbox {

std::string system_error(const std::string &step) { return step + ": " + std::strerror(errno); }

Outcome die_with_parent() {
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return Outcome::skipped(system_error("prctl"));
    // The parent may have gone before the signal was armed.
    if (getppid() != parent) _exit(0);
    return Outcome::applied("active: killed with the host");
}

bool forbid_new_privileges() { return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0; }

namespace {

// Newer kernels may know more capabilities than our headers; the kernel
// refuses numbers past its last one with EINVAL, which costs nothing to try.
constexpr int kHighestCapability = 63;

bool holds_any_capability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return true;
    return std::ranges::any_of(data, [](const __user_cap_data_struct &set) {
        return set.effective || set.permitted || set.inheritable;
    });
}

}  // namespace

Outcome drop_capabilities() {
    // Without the bounding set even uid 0 gains nothing at exec; a process
    // that lacks CAP_SETPCAP cannot shrink it, but then has nothing to drop.
    bool bounded = true;
    for (int capability = 0; capability <= kHighestCapability; ++capability) {
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL) bounded = false;
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &header, none) != 0) return Outcome::skipped(system_error("capset"));
    if (holds_any_capability()) return Outcome::skipped("capabilities remain after capset");
    return Outcome::applied(bounded ? "active: none held, none can be gained"
                                    : "active: none held; no_new_privs bars gaining any");
}

void switch_ids(uid_t uid, gid_t gid) {
    if (getegid() != gid || getgroups(0, nullptr) != 0) {
        check(setgroups(0, nullptr) == 0 || getgroups(0, nullptr) == 0, "setgroups");
        check(setresgid(gid, gid, gid) == 0, "setresgid");
    }
    if (geteuid() != uid) {
        check(setresuid(uid, uid, uid) == 0, "setresuid");
        // A change of ids makes the process undumpable, which would leave
        // its /proc entries (uid_map among them) to root.
        check(prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) == 0, "prctl(PR_SET_DUMPABLE)");
    }
}

}  // namespace tarvik::sandbox
