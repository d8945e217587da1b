// Building a task's world: mount and IPC namespaces, the template, the hand-over.
#include "world.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include "outcome.hpp"

namespace tarvik::sandbox {
namespace {

constexpr std::array kDevices = {"/dev/null", "/dev/zero", "/dev/urandom"};
constexpr std::array<std::array<const char *, 2>, 5> kDeviceLinks = {{
    {"/dev/fd", "/proc/self/fd"},
    {"/dev/stdin", "/proc/self/fd/0"},
    {"/dev/stdout", "/proc/self/fd/1"},
    {"/dev/stderr", "/proc/self/fd/2"},
    // POSIX semaphores and shared memory (multiprocessing) live in the scratch.
    {"/dev/shm", "/tmp"},
}};
constexpr int kMaxLinks = 40;

// The flags a bind mount must keep: in a user namespace the kernel refuses to
// clear those that the host set on the mount it comes from.
unsigned long kept_flags(const std::string &path) {
    struct statvfs info{};
    if (statvfs(path.c_str(), &info) != 0) return 0;
    unsigned long flags = 0;
    if (info.f_flag & ST_NOEXEC) flags |= MS_NOEXEC;
    if (info.f_flag & ST_NOATIME) flags |= MS_NOATIME;
    if (info.f_flag & ST_NODIRATIME) flags |= MS_NODIRATIME;
    if (info.f_flag & ST_RELATIME) flags |= MS_RELATIME;
    return flags;
}

void make_directory(const std::string &path) {
    check(mkdir(path.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + path);
}

std::string parent_of(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string joined(const std::string &folder, const std::string &name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

bool within(const std::string &path, const std::string &folder) {
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

struct Mirrored {
    // The host path with every link resolved, which is where it is bound.
    std::string resolved;
    // Whether the way to it passes through the scratch's mount point, which
    // each task's scratch covers.
    bool through_scratch = false;
};

// Recreates under `root` the path to `host_path` as the host resolves it:
// each link on the way becomes the same link, each folder an empty folder.
Mirrored mirror(const std::string &root, const std::string &host_path, bool is_directory) {
    bool through_scratch = false;
    std::string resolved = "/";
    std::string remaining = host_path;
    for (int links = 0; links <= kMaxLinks;) {
        while (!remaining.empty() && remaining.front() == '/') remaining.erase(0, 1);
        if (remaining.empty()) return {resolved, through_scratch};
        const auto slash = remaining.find('/');
        const std::string name = remaining.substr(0, slash);
        remaining = slash == std::string::npos ? "" : remaining.substr(slash);
        if (name == ".") continue;
        if (name == "..") {
            resolved = parent_of(resolved);
            continue;
        }
        const std::string next = joined(resolved, name);
        through_scratch = through_scratch || within(next, kScratch);
        struct stat info{};
        check(lstat(next.c_str(), &info) == 0, "lstat " + next);
        const std::string inside = root + next;
        // Already there when an earlier path made it, or when it lies inside
        // a folder bound earlier (whose read-only mount refuses new entries).
        struct stat existing{};
        const bool present = lstat(inside.c_str(), &existing) == 0;
        if (S_ISLNK(info.st_mode)) {
            std::array<char, PATH_MAX> target{};
            const ssize_t length = readlink(next.c_str(), target.data(), target.size() - 1);
            check(length >= 0, "readlink " + next);
            const std::string link(target.data(), static_cast<size_t>(length));
            if (!present) check(symlink(link.c_str(), inside.c_str()) == 0, "symlink " + next);
            std::string next_path = link.front() == '/' ? link : resolved + "/";
            if (link.front() != '/') next_path += link;
            next_path += remaining;
            remaining = std::move(next_path);
            resolved = "/";
            ++links;
            continue;
        }
        if (!present && (S_ISDIR(info.st_mode) || !remaining.empty() || is_directory)) {
            make_directory(inside);
        } else if (!present) {
            const UniqueFd file(open(inside.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            check(file.valid(), "create " + inside);
        }
        resolved = next;
    }
    errno = ELOOP;
    throw StepError("resolve " + host_path, errno);
}

void bind(const std::string &source, const std::string &target, unsigned long flags) {
    check(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0, "bind " + source);
    flags |= MS_BIND | MS_REMOUNT | MS_NOSUID | kept_flags(source);
    check(mount(nullptr, target.c_str(), nullptr, flags, nullptr) == 0, "remount " + target);
}

// A new network namespace starts with its loopback down; the forwarder to
// the network proxy listens there.
void bring_up_loopback() {
    const UniqueFd control(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    check(control.valid(), "socket to bring the loopback up");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    check(ioctl(control.get(), SIOCGIFFLAGS, &request) == 0, "SIOCGIFFLAGS lo");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    check(ioctl(control.get(), SIOCSIFFLAGS, &request) == 0, "bring the loopback up");
}

struct Exposed {
    std::vector<std::string> read_only;
    std::vector<std::string> links;
};

// Binds each of `read_only` at its own path under `root`, read-only, and
// recreates the links on the way to it and to each of `links`. Returns those
// whose way passes through the scratch's mount point.
Exposed expose(const std::string &root, const std::vector<std::string> &read_only,
               const std::vector<std::string> &links) {
    Exposed through_scratch;
    for (const std::string &path : read_only) {
        struct stat info{};
        check(stat(path.c_str(), &info) == 0, "stat " + path);
        const Mirrored mirrored = mirror(root, path, S_ISDIR(info.st_mode));
        bind(mirrored.resolved, root + mirrored.resolved, MS_RDONLY | MS_NODEV);
        if (mirrored.through_scratch) through_scratch.read_only.push_back(path);
    }
    for (const std::string &path : links) {
        if (mirror(root, path, false).through_scratch) through_scratch.links.push_back(path);
    }
    return through_scratch;
}

// What of the template each task's scratch covers (an interpreter installed
// under /tmp, say), exposed again inside the scratch. Kept here because every
// task is prepared in a child of the process that built its template.
Exposed &hidden_by_scratch() {
    static Exposed hidden;
    return hidden;
}

}  // namespace

void enter_private_mount_namespace() {
    check(unshare(CLONE_NEWNS) == 0, "unshare(CLONE_NEWNS)");
    check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");
}

void build_template(const std::string &root, const std::vector<std::string> &read_only,
                    const std::vector<std::string> &links) {
    check(mount("tarvik-world", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                "mode=0755,size=1m,nr_inodes=8192") == 0,
          "mount the template");
    for (const char *folder : {"/proc", "/tmp", "/dev", kToolFolder, kPackages}) {
        make_directory(root + folder);
    }
    hidden_by_scratch() = expose(root, read_only, links);
    for (const char *device : kDevices) {
        if (access(device, F_OK) != 0) continue;  // an absent device is no loss
        bind(mirror(root, device, false).resolved, root + device, MS_NOEXEC);
    }
    for (const auto &[link, target] : kDeviceLinks) {
        check(symlink(target, (root + link).c_str()) == 0 || errno == EEXIST,
              std::string("symlink ") + link);
    }
    check(mount(nullptr, root.c_str(), nullptr,
                MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) == 0,
          "make the template read-only");
}

void prepare_task(const std::string &root, const Scratch &scratch, bool private_network,
                  bool loopback) {
    // A cgroup namespace too: the task's cgroup is all of the tree it sees.
    const int spaces = CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWCGROUP;
    check(unshare(spaces | (private_network ? CLONE_NEWNET : 0)) == 0, "unshare(CLONE_NEWNS)");
    if (private_network && loopback) bring_up_loopback();
    // Only the task's processes: no /proc/sys, sysrq-trigger or kernel
    // tables (Linux 5.8 and newer; older kernels show them read-only, as
    // Landlock keeps the whole of /proc).
    const std::string proc = root + "/proc";
    constexpr unsigned long kProcFlags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    check(mount("proc", proc.c_str(), "proc", kProcFlags, "subset=pid") == 0 ||
              mount("proc", proc.c_str(), "proc", kProcFlags, nullptr) == 0,
          "mount /proc");
    const std::string options = "mode=0700,size=" + std::to_string(scratch.bytes) +
                                ",nr_inodes=" + std::to_string(scratch.inodes) +
                                ",uid=" + std::to_string(scratch.owner) +
                                ",gid=" + std::to_string(scratch.group);
    const std::string tmp = root + kScratch;
    check(mount("tarvik-scratch", tmp.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0,
          "mount the scratch tmpfs");
    const Exposed &hidden = hidden_by_scratch();
    if (!hidden.read_only.empty() || !hidden.links.empty()) {
        expose(root, hidden.read_only, hidden.links);
    }
    make_directory(root + kHostTree);
    check(chdir(root.c_str()) == 0, "chdir into the world");
    check(syscall(SYS_pivot_root, ".", (root + kHostTree).c_str()) == 0, "pivot_root");
    check(chdir(kScratch) == 0, "chdir /tmp");
}

UniqueFd open_in_host_tree(const std::string &host_path, int flags) {
    // Resolved as if the host's tree were the root, so that its links lead
    // where they lead on the host, never out of the tree.
    const UniqueFd host(open(kHostTree, O_PATH | O_DIRECTORY | O_CLOEXEC));
    check(host.valid(), "open the host's tree");
    open_how how{};
    how.flags = static_cast<uint64_t>(flags) | O_CLOEXEC;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const auto start = host_path.find_first_not_of('/');
    const std::string relative = start == std::string::npos ? "." : host_path.substr(start);
    UniqueFd opened(
        static_cast<int>(syscall(SYS_openat2, host.get(), relative.c_str(), &how, sizeof(how))));
    check(opened.valid(), "open " + host_path);
    return opened;
}

void attach_folder(const std::string &host_folder, const char *inside) {
    const UniqueFd folder = open_in_host_tree(host_folder, O_PATH | O_DIRECTORY);
    bind("/proc/self/fd/" + std::to_string(folder.get()), inside, MS_RDONLY | MS_NODEV);
}

void detach_host_tree() {
    check(umount2(kHostTree, MNT_DETACH) == 0, "detach the host's file system");
    check(rmdir(kHostTree) == 0, "remove the host tree's mount point");
}

}  // namespace tarvik::sandbox
