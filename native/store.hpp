// The custom tool store: its root, its paths, its files and pretty JSON.
#pragma once

#include "native_function.hpp"

#include <optional>

namespace tarvik {

// `~/.tarvik/custom_tools`, created with its parents.
nb::object custom_tools_dir(const Call &call);

// `json.dumps(value, indent=2)` through the module namespace.
nb::object pretty_json(const Call &call, nb::handle value);

// The "[ERROR] " text for a string (or path object) that is not one plain
// folder name, or nothing for a safe name. Names of other types are left to
// the path join, which refuses them.
std::optional<nb::str> unsafe_name_error(nb::handle name);

// The creator's store root, as the instance holds it.
nb::object store_root(const Call &call);

// `folder / name`, Python's path join (TypeError for a name that is no path).
nb::object join(nb::handle folder, nb::handle name);
nb::object join(nb::handle folder, const char *name);

// True when `path`, links resolved, is a direct child of `folder`, links
// resolved too. Guards reads and runs against links that leave the store.
bool resolves_into(nb::handle path, nb::handle folder);

// True when something is at `path` (a dangling link included) that does not
// resolve into `folder`.
bool leads_out_of(nb::handle path, nb::handle folder);

bool exists(nb::handle path);
nb::object read_text(nb::handle path);
void write_text(nb::handle path, nb::handle text);

}  // namespace tarvik
