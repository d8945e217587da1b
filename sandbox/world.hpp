// A task's world: the only file system a tool sees, cut from a template.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "unique_fd.hpp"

namespace tarvik::sandbox {

// Where a world keeps the task's scratch (also its home and working folder)
// and, for a run, the tool's own folder and the packages its script declares.
inline constexpr const char *kScratch = "/tmp";
inline constexpr const char *kToolFolder = "/tool";
inline constexpr const char *kPackages = "/packages";

// A new mount namespace whose mounts no longer propagate to or from the host's.
void enter_private_mount_namespace();

// Builds on the empty folder `root` a read-only tmpfs holding each of
// `read_only` (read-only, at its own path, with the links that lead to it),
// the links on the way to each of `links` (which lie inside those), /dev/null,
// /dev/zero and /dev/urandom, and the mount points of a task.
void build_template(const std::string &root, const std::vector<std::string> &read_only,
                    const std::vector<std::string> &links);

struct Scratch {
    uint64_t bytes;
    uint64_t inodes;
    uid_t owner;
    gid_t group;
};

// Where the host's tree hangs in a prepared world until the task arrives.
inline constexpr const char *kHostTree = "/tmp/.host";

// In a child of the builder, in a PID namespace of its own: its own mount,
// IPC and cgroup namespaces (and network namespace when asked, with its
// loopback up when `loopback`), a fresh /proc of its PID namespace and an
// empty scratch tmpfs of the given size (which holds again, read-only, what
// the template has under /tmp); then the template becomes its root, the
// host's tree kept at kHostTree for now.
void prepare_task(const std::string &root, const Scratch &scratch, bool private_network,
                  bool loopback);

// A path of the host's, resolved inside the host's tree of a prepared world
// (its links lead where they lead on the host, never out of the tree).
UniqueFd open_in_host_tree(const std::string &host_path, int flags);

// In a prepared world, once its task is known: a folder of the host's bound
// read-only at `inside` (kToolFolder, kPackages).
void attach_folder(const std::string &host_folder, const char *inside);

// The host's tree detached for good, before anything of the task runs.
void detach_host_tree();

}  // namespace tarvik::sandbox
