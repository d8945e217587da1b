// Paths and files of the custom tool store.
//
// The tool operations touch the store with the system calls pathlib would
// make, on the file system's bytes: stat for existence, lstat and realpath
// for the link checks, open/read for the files. Errors are raised as the
// OSError subclasses Python raises for the same errno, with the path.
//
// A tool's files are never written in place: each is written beside itself
// under a temporary name, flushed, and renamed over the old one, so that a
// kill, a full disk or a reader in the middle of a write meets the old file
// or the new one, never a part. Creations and deletes of one tool take turns
// through an advisory lock on its folder.
#include "store.hpp"

#include "names.hpp"
#include "texts.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvik {
namespace {

// The tool name's text, where the store uses names.
nb::object decoded(std::string_view bytes) {
    return checked(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

std::string encoded(nb::handle text) {
    const nb::object bytes = checked(PyUnicode_EncodeFSDefault(text.ptr()));
    return {PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

[[noreturn]] void raise_os_error(std::string_view path, int error) {
    const nb::object text = decoded(path);
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text.ptr());
    throw nb::python_error();
}

// An interrupted call is retried after the signal handlers ran, as Python
// retries its own (PEP 475); a handler that raises ends the operation.
void check_signals() {
    if (PyErr_CheckSignals() < 0) throw nb::python_error();
}

struct FolderCloser {
    void operator()(DIR *directory) const noexcept { ::closedir(directory); }
};

std::string parent_of(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::optional<std::string> real_path(const std::string &path) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

std::optional<std::string> link_target(const std::string &path) {
    std::string target(PATH_MAX, '\0');
    for (;;) {
        const ssize_t size = ::readlink(path.c_str(), target.data(), target.size());
        if (size < 0) return std::nullopt;
        if (static_cast<size_t>(size) < target.size()) {
            target.resize(static_cast<size_t>(size));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

// The folder that the target of the link at `path` is in, every link
// resolved, as Path.resolve() finds it. A dangling link resolves when its
// target's folder exists; nothing is returned when it cannot be told.
std::optional<std::string> resolved_parent(const std::string &path) {
    if (auto real = real_path(path)) return parent_of(*real);
    if (errno != ENOENT) return std::nullopt;
    std::optional<std::string> target = link_target(path);
    if (!target || target->empty()) return std::nullopt;
    if ((*target)[0] != '/') *target = parent_of(path) + "/" + *target;
    const size_t slash = target->find_last_of('/');
    const std::string base = target->substr(slash + 1);
    if (base.empty() || base == "." || base == "..") return std::nullopt;
    std::optional<std::string> folder = real_path(slash == 0 ? "/" : target->substr(0, slash));
    if (!folder) return std::nullopt;
    // A further link there (a chain of dangling links) is not followed.
    struct stat status{};
    if (::lstat((*folder + "/" + base).c_str(), &status) == 0) return std::nullopt;
    return folder;
}

bool is_plain_folder_name(nb::handle name) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (!utf8) {
        // Lone surrogates: not a name the file system can hold anyway.
        PyErr_Clear();
        return false;
    }
    const std::string_view text(utf8, static_cast<size_t>(size));
    if (text == "." || text == "..") return false;
    if (text.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return false;
    const bool drive_prefix =
        text.size() >= 2 && text[1] == ':' &&
        ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
    return !drive_prefix;
}

// Creates one folder whose parent exists: true when made or already a
// folder, false when the parent is missing; any other failure raises.
bool make_one_folder(const std::string &path) {
    for (;;) {
        if (::mkdir(path.c_str(), 0777) == 0) return true;
        const int error = errno;
        if (error == EINTR) {
            check_signals();
            continue;
        }
        if (error == ENOENT) return false;
        // Another error than EEXIST may win for an existing folder (EACCES,
        // EROFS), so the folder itself is asked, as pathlib does.
        struct stat status{};
        if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
        raise_os_error(path, error);
    }
}

// mkdir -p: the missing ancestors first, outermost first.
void make_folder_path(const std::string &path) {
    std::vector<std::string> missing{path};
    while (!make_one_folder(missing.back())) {
        std::string parent = parent_of(missing.back());
        if (parent == missing.back()) raise_os_error(parent, ENOENT);
        missing.push_back(std::move(parent));
    }
    missing.pop_back();
    while (!missing.empty()) {
        if (!make_one_folder(missing.back())) raise_os_error(missing.back(), ENOENT);
        missing.pop_back();
    }
}

bool is_missing(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

// Runs a system call again when a signal interrupted it, once the
// handlers ran; any other failure is returned with errno set.
template <typename SystemCall>
int retried(const SystemCall &system_call) {
    for (;;) {
        const int result = system_call();
        if (result >= 0 || errno != EINTR) return result;
        check_signals();
    }
}

// A system call that may wait on the disk or on another process, made
// with the GIL released so that the process's other threads go on.
template <typename SystemCall>
int without_gil(const SystemCall &system_call) {
    return retried([&] {
        int result = 0;
        int error = 0;
        {
            const nb::gil_scoped_release released;
            result = system_call();
            error = errno;
        }
        errno = error;
        return result;
    });
}

void sync_or_raise(int fd, std::string_view path) {
    if (without_gil([&] { return ::fsync(fd); }) != 0) raise_os_error(path, errno);
}

// A descriptor of the folder at `path`, or none (-1) when no folder is there.
FileDescriptor open_folder(const char *path) {
    const int fd = retried([&] { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0 && !is_missing(errno)) raise_os_error(path, errno);
    return FileDescriptor(fd);
}

// Waits for the exclusive lock of the folder. False where the file system
// has no such locks: its files are still replaced whole, only not in turn.
bool lock_folder(const FileDescriptor &folder, const char *path) {
    if (without_gil([&] { return ::flock(folder.get(), LOCK_EX); }) == 0) return true;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) return false;
    raise_os_error(path, errno);
}

// True when the folder at `path` is still the one `folder` has open: a
// delete may have removed it, and a creation made another, meanwhile.
bool still_at(const FileDescriptor &folder, const char *path) {
    struct stat held{};
    struct stat current{};
    if (::fstat(folder.get(), &held) != 0) raise_os_error(path, errno);
    if (::stat(path, &current) != 0) {
        if (is_missing(errno)) return false;
        raise_os_error(path, errno);
    }
    return held.st_dev == current.st_dev && held.st_ino == current.st_ino;
}

// Temporary files are named ".NAME.<16 hex digits>.tmp": hidden, plainly
// temporary, and never the name of a tool file.
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr size_t kTemporaryDigits = 16;

std::string temporary_name(std::string_view name) {
    static uint64_t fallback_counter = 0;
    uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
        // Names need only differ between writers (O_EXCL makes sure of it).
        random = (static_cast<uint64_t>(::getpid()) << 32) ^ ++fallback_counter;
    }
    std::string temporary = ".";
    temporary.append(name).append(".");
    constexpr std::string_view digits = "0123456789abcdef";
    for (size_t shift = kTemporaryDigits * 4; shift > 0; shift -= 4) {
        temporary += digits[(random >> (shift - 4)) & 0xf];
    }
    return temporary.append(kTemporarySuffix);
}

bool is_temporary_of(std::string_view entry, std::string_view name) {
    const size_t size = 1 + name.size() + 1 + kTemporaryDigits + kTemporarySuffix.size();
    if (entry.size() != size || entry[0] != '.' || entry.substr(1, name.size()) != name ||
        entry[1 + name.size()] != '.' || !entry.ends_with(kTemporarySuffix)) {
        return false;
    }
    const std::string_view digits = entry.substr(name.size() + 2, kTemporaryDigits);
    return digits.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Removes the temporary files of `files` that a writer killed mid-write
// left. Only a writer holding the folder's lock makes them, so while it is
// held every one of them is such a leftover. Best effort: a leftover is
// hidden, and nothing reads it.
void remove_leftovers(int folder, std::span<const NewFile> files) {
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    const std::unique_ptr<DIR, FolderCloser> directory(::fdopendir(listing));
    if (!directory) {
        ::close(listing);
        return;
    }
    while (const dirent *entry = ::readdir(directory.get())) {
        const std::string_view name(entry->d_name);
        for (const NewFile &file : files) {
            if (is_temporary_of(name, file.name)) ::unlinkat(folder, entry->d_name, 0);
        }
    }
}

// Gives a replacement the permissions and owner of the file it replaces,
// as a write in place would have kept them (the owner only where this
// process may give it). False when there is no file to replace.
bool keep_mode_and_owner(int folder, const char *name, const FileDescriptor &replacement) {
    struct stat replaced{};
    if (::fstatat(folder, name, &replaced, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(replaced.st_mode)) return true;
    struct stat made{};
    if (::fstat(replacement.get(), &made) != 0) return true;
    if (made.st_uid != replaced.st_uid || made.st_gid != replaced.st_gid) {
        (void)::fchown(replacement.get(), replaced.st_uid, replaced.st_gid);
    }
    (void)::fchmod(replacement.get(), replaced.st_mode & 07777);
    return true;
}

void write_all(const FileDescriptor &file, std::string_view content, std::string_view path) {
    while (!content.empty()) {
        const ssize_t count = ::write(file.get(), content.data(), content.size());
        if (count >= 0) {
            content.remove_prefix(static_cast<size_t>(count));
        } else if (errno == EINTR) {
            check_signals();
        } else {
            raise_os_error(path, errno);
        }
    }
}

// The temporary files of one replacement: those not yet renamed into place
// are removed when it ends, whatever ended it.
class TemporaryFiles {
public:
    explicit TemporaryFiles(int folder) noexcept : folder_(folder) {}
    ~TemporaryFiles() {
        for (size_t i = renamed_; i < names_.size(); ++i) ::unlinkat(folder_, names_[i].c_str(), 0);
    }
    TemporaryFiles(const TemporaryFiles &) = delete;
    TemporaryFiles &operator=(const TemporaryFiles &) = delete;
    TemporaryFiles(TemporaryFiles &&) = delete;
    TemporaryFiles &operator=(TemporaryFiles &&) = delete;

    // A new, empty temporary file for `name`, made as a new file is made.
    FileDescriptor create(const char *name, std::string_view path) {
        for (;;) {
            std::string temporary = temporary_name(name);
            const int fd = retried([&] {
                return ::openat(folder_, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                0666);
            });
            if (fd >= 0) {
                names_.push_back(std::move(temporary));
                return FileDescriptor(fd);
            }
            if (errno != EEXIST) raise_os_error(path, errno);
        }
    }

    // Renames the next temporary file over `name`.
    void rename_next(const char *name, std::string_view path) {
        if (::renameat(folder_, names_[renamed_].c_str(), folder_, name) != 0) {
            raise_os_error(path, errno);
        }
        ++renamed_;
    }

private:
    int folder_;
    std::vector<std::string> names_;
    size_t renamed_ = 0;
};

}  // namespace

nb::object custom_tools_dir(const Call &call) {
    const nb::object home = call_method(call.global(names::path_class), names::home);
    const nb::object tarvik = checked(PyNumber_TrueDivide(home.ptr(), nb::str(".tarvik").ptr()));
    nb::object root = checked(PyNumber_TrueDivide(tarvik.ptr(), nb::str("custom_tools").ptr()));
    call_with_keywords(get_attr(root, names::mkdir), names::mkdir_keywords, {Py_True, Py_True});
    return root;
}

ToolName tool_name_of(nb::handle given) {
    PyObject *object = given.ptr();
    if (PyUnicode_CheckExact(object)) return {nb::borrow(given), nb::borrow(given)};
    // Never str() or __fspath__ twice: a name that answers differently the
    // second time would pass the check as one name and be used as another.
    if (PyUnicode_Check(object)) return {nb::borrow(given), checked(PyUnicode_FromObject(object))};
    if (PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(object)), "__fspath__")) {
        const nb::object path = checked(PyOS_FSPath(object));
        if (PyUnicode_Check(path.ptr())) {
            return {nb::borrow(given), checked(PyUnicode_FromObject(path.ptr()))};
        }
    }
    return {nb::borrow(given), {}};
}

nb::handle name_text(const ToolName &name) {
    if (!name.text.is_valid()) {
        raise(PyExc_TypeError,
              "tool_name must be a str or a path-like object giving one, not %.200s",
              Py_TYPE(name.given.ptr())->tp_name);
    }
    return name.text;
}

nb::object unsafe_name_error(const ToolName &name) {
    if (!name.text.is_valid() || is_plain_folder_name(name.text)) return {};
    return formatted(
        "[ERROR] Invalid tool_name: %R. A tool name is one plain folder name such as my_tool: "
        "not '.' or '..', and without '/', '\\', NUL characters or a drive prefix.",
        name.text.ptr());
}

StorePath StorePath::root(const Call &call) {
    const nb::object root = get_attr(call.self(), names::custom_tools_dir);
    const nb::object text = checked(PyOS_FSPath(root.ptr()));
    if (!PyUnicode_Check(text.ptr())) {
        raise(PyExc_TypeError, "the tool store's root must be a text path, not %.200s",
              Py_TYPE(text.ptr())->tp_name);
    }
    return StorePath(encoded(text));
}

StorePath StorePath::child(nb::handle name) const { return child(encoded(name).c_str()); }

StorePath StorePath::child(const char *name) const {
    // pathlib drops a leading "." and never doubles a separator.
    if (bytes_.empty() || bytes_ == ".") return StorePath(std::string(name));
    if (bytes_.back() == '/') return StorePath(bytes_ + name);
    return StorePath(bytes_ + "/" + name);
}

nb::object StorePath::text() const { return decoded(bytes_); }

bool exists(const StorePath &path) {
    struct stat status{};
    return ::stat(path.c_str(), &status) == 0;
}

bool is_folder(const StorePath &path) {
    struct stat status{};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool leads_out_of(const StorePath &entry, const StorePath &container) {
    struct stat status{};
    if (::lstat(entry.c_str(), &status) != 0) {
        if (is_missing(errno)) return false;
        raise_os_error(entry.c_str(), errno);
    }
    if (!S_ISLNK(status.st_mode)) return false;
    const std::optional<std::string> target_folder = resolved_parent(entry.c_str());
    const std::optional<std::string> real_folder = real_path(container.c_str());
    return !target_folder || !real_folder || *target_folder != *real_folder;
}

nb::object read_text_if_present(const StorePath &path) {
    int fd = -1;
    while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        if (errno == EINTR) {
            check_signals();
            continue;
        }
        if (is_missing(errno)) return {};
        raise_os_error(path.c_str(), errno);
    }
    FileDescriptor file(fd);
    struct stat status{};
    std::string content;
    if (::fstat(file.get(), &status) == 0 && status.st_size > 0) {
        content.reserve(static_cast<size_t>(status.st_size));
    }
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count > 0) {
            content.append(buffer, static_cast<size_t>(count));
        } else if (count == 0) {
            break;
        } else if (errno == EINTR) {
            check_signals();
        } else {
            raise_os_error(path.c_str(), errno);
        }
    }
    // Universal newlines: CR LF and a lone CR both become LF. A CR byte is
    // never part of a longer UTF-8 sequence, so the bytes can be changed.
    if (content.find('\r') != std::string::npos) {
        size_t out = 0;
        for (size_t in = 0; in < content.size(); ++in) {
            if (content[in] == '\r') {
                content[out++] = '\n';
                if (in + 1 < content.size() && content[in + 1] == '\n') ++in;
            } else {
                content[out++] = content[in];
            }
        }
        content.resize(out);
    }
    return checked(
        PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), "strict"));
}

std::string file_bytes(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        raise(PyExc_TypeError, "data must be str, not %.200s", Py_TYPE(text.ptr())->tp_name);
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

void make_folders(const StorePath &path) { make_folder_path(path.c_str()); }

LockedFolder LockedFolder::made(const StorePath &folder) {
    for (;;) {
        make_folder_path(folder.c_str());
        FileDescriptor fd = open_folder(folder.c_str());
        // Removed again between its making and its opening: made once more.
        if (fd.get() < 0) continue;
        if (!lock_folder(fd, folder.c_str()) || still_at(fd, folder.c_str())) {
            return {folder, std::move(fd)};
        }
    }
}

std::optional<LockedFolder> LockedFolder::existing(const StorePath &folder) {
    for (;;) {
        FileDescriptor fd = open_folder(folder.c_str());
        if (fd.get() < 0) return std::nullopt;
        if (!lock_folder(fd, folder.c_str()) || still_at(fd, folder.c_str())) {
            return LockedFolder(folder, std::move(fd));
        }
    }
}

void LockedFolder::replace_files(std::span<const NewFile> files) const {
    const int folder = fd_.get();
    remove_leftovers(folder, files);
    TemporaryFiles temporaries(folder);
    bool new_folder = true;
    for (const NewFile &file : files) {
        const StorePath path = path_.child(file.name);
        FileDescriptor written = temporaries.create(file.name, path.c_str());
        write_all(written, file.content, path.c_str());
        if (keep_mode_and_owner(folder, file.name, written)) new_folder = false;
        sync_or_raise(written.get(), path.c_str());
        if (written.close() != 0 && errno != EINTR) raise_os_error(path.c_str(), errno);
    }
    for (const NewFile &file : files)
        temporaries.rename_next(file.name, path_.child(file.name).c_str());
    sync_or_raise(folder, path_.c_str());
    if (new_folder) {
        // A folder that held none of the files is likely new: its own entry
        // in the store is made lasting too.
        const std::string parent = parent_of(path_.c_str());
        const FileDescriptor store = open_folder(parent.c_str());
        if (store.get() >= 0) sync_or_raise(store.get(), parent);
    }
}

nb::object sorted_entries(const StorePath &folder) {
    const std::unique_ptr<DIR, FolderCloser> directory(::opendir(folder.c_str()));
    if (!directory) raise_os_error(folder.c_str(), errno);
    nb::object names = checked(PyList_New(0));
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(directory.get());
        if (!entry) {
            if (errno != 0) raise_os_error(folder.c_str(), errno);
            break;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        if (PyList_Append(names.ptr(), decoded(name).ptr()) < 0) throw nb::python_error();
    }
    // Paths with one parent order as their names do, character by character.
    if (PyList_Sort(names.ptr()) < 0) throw nb::python_error();
    return names;
}

}  // namespace tarvik
