// The custom tool store: its root, the agent's tool names, the paths of
// tool folders and files, the link checks and the file reads and writes.
#pragma once

#include "native_function.hpp"

#include <unistd.h>

#include <optional>
#include <span>
#include <string>
#include <utility>

namespace tarvik {

// `~/.tarvik/custom_tools`, created with its parents.
nb::object custom_tools_dir(const Call &call);

// The agent's "tool_name" (once it tested true), taken once: `text` is one
// exact str made from it (a str subclass by its characters, a path-like by one call of its
// __fspath__), used for the check, the paths and every text after.
struct ToolName {
    nb::object given;  // as the agent passed it
    nb::object text;   // empty when the value names no path
};

ToolName tool_name_of(nb::handle given);

// The exact text of a name, or TypeError for a value that names no path.
nb::handle name_text(const ToolName &name);

// The "[ERROR] " text for a name that is not one plain folder name, or an
// empty object for a safe name (and for one that names no path, which
// name_text refuses when a path is made of it).
nb::object unsafe_name_error(const ToolName &name);

// A path in the store, kept as the file system's bytes and shown as
// pathlib shows the same path.
class StorePath {
public:
    // The store root the instance holds in `_custom_tools_dir`.
    static StorePath root(const Call &call);

    StorePath child(nb::handle name) const;
    StorePath child(const char *name) const;
    const char *c_str() const noexcept { return bytes_.c_str(); }
    // The path as text, `str()` of the same pathlib path.
    nb::object text() const;

private:
    explicit StorePath(std::string bytes) : bytes_(std::move(bytes)) {}
    std::string bytes_;
};

// True when something exists at `path`, links followed (Path.exists).
bool exists(const StorePath &path);

// True when `path` is a folder, links followed (Path.is_dir).
bool is_folder(const StorePath &path);

// True when `entry` is a link that does not resolve to an entry directly
// inside `container`; a link that cannot be resolved counts. The store's
// guard against reading, running, writing or removing through a link.
bool leads_out_of(const StorePath &entry, const StorePath &container);

// The file's text as UTF-8 with universal newlines (Path.read_text), or an
// empty object when there is no file at `path`.
nb::object read_text_if_present(const StorePath &path);

// The text as the bytes of a file written with Path.write_text: UTF-8,
// strict. TypeError for a value that is no str.
std::string file_bytes(nb::handle text);

// Creates the folder and missing parents; an existing folder is fine.
void make_folders(const StorePath &path);

// An open file descriptor, closed when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const noexcept { return fd_; }
    // Closes now, so that a failing close is seen, as Python's close() raises.
    int close() noexcept { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

// One file of a tool folder and the bytes it is to hold.
struct NewFile {
    const char *name;
    std::string content;
};

// A tool folder under its advisory lock, an exclusive flock on a descriptor
// of the folder, held for as long as this lives. Every creation and delete
// of a tool holds it, so processes sharing a store never interleave their
// changes to one tool. Readers take no lock: every file is replaced whole.
class LockedFolder {
public:
    // The folder, made with its missing parents, and locked. A folder that a
    // delete removed (or replaced) while this waited for the lock is made
    // again, so nothing is ever written into a folder gone from the store.
    static LockedFolder made(const StorePath &folder);
    // The folder at `folder`, locked; nothing when no folder is there any
    // more once the lock is held.
    static std::optional<LockedFolder> existing(const StorePath &folder);

    // Replaces the files, in their order, each one whole. Every file is
    // written to a temporary file beside it (".NAME.<random>.tmp") and
    // flushed to disk; only when all are written are they renamed into place
    // and the folder synced. A write that fails leaves every file as it was
    // and no temporary file behind, and raises the OSError of that file.
    void replace_files(std::span<const NewFile> files) const;

private:
    LockedFolder(StorePath path, FileDescriptor fd) noexcept
        : path_(std::move(path)), fd_(std::move(fd)) {}

    StorePath path_;
    FileDescriptor fd_;
};

// The names of the entries of a folder, as text, in the order pathlib sorts
// their paths.
nb::object sorted_entries(const StorePath &folder);

}  // namespace tarvik
