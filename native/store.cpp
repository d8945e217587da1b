// Paths and files of the custom tool store.
//
// The tool operations touch the store with the system calls pathlib would
// make, on the file system's bytes: stat for existence, lstat and realpath
// for the link checks, open/read/write for the files. Errors are raised as
// the OSError subclasses Python raises for the same errno, with the path.
#include "store.hpp"

#include "names.hpp"
#include "texts.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
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

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    FileDescriptor(FileDescriptor &&) = delete;
    FileDescriptor &operator=(FileDescriptor &&) = delete;
    int get() const noexcept { return fd_; }
    // Closes now, so that a failing close is seen, as Python's close() raises.
    int close() noexcept { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

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

void write_text(const StorePath &path, nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        raise(PyExc_TypeError, "data must be str, not %.200s", Py_TYPE(text.ptr())->tp_name);
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    int fd = -1;
    while ((fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) < 0) {
        if (errno != EINTR) raise_os_error(path.c_str(), errno);
        check_signals();
    }
    FileDescriptor file(fd);
    auto remaining = static_cast<size_t>(size);
    while (remaining > 0) {
        const ssize_t count = ::write(file.get(), data, remaining);
        if (count >= 0) {
            data += count;
            remaining -= static_cast<size_t>(count);
        } else if (errno == EINTR) {
            check_signals();
        } else {
            raise_os_error(path.c_str(), errno);
        }
    }
    if (file.close() != 0 && errno != EINTR) raise_os_error(path.c_str(), errno);
}

void make_folders(const StorePath &path) { make_folder_path(path.c_str()); }

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
