// The custom tool store: its root, the agent's tool names, the paths of
// tool folders and files, the link checks and the file reads and writes.
#pragma once

#include "native_function.hpp"

#include <string>

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

// Replaces the file's content with `text` as UTF-8 (Path.write_text). The
// text is encoded before the file is touched.
void write_text(const StorePath &path, nb::handle text);

// Creates the folder and missing parents; an existing folder is fine.
void make_folders(const StorePath &path);

// The names of the entries of a folder, as text, in the order pathlib sorts
// their paths.
nb::object sorted_entries(const StorePath &folder);

}  // namespace tarvik
