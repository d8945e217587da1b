// The catalogue: list, info and delete of saved tools.
#include "operations.hpp"
#include "store.hpp"

namespace tarvik {
namespace {

constexpr Py_ssize_t kPreviewLines = 50;

nb::object load_metadata(const Call &call, nb::handle metadata_file) {
    nb::object metadata = call.global("json").attr("loads")(read_text(metadata_file));
    if (!PyDict_Check(metadata.ptr())) {
        raise(PyExc_ValueError, "%S does not hold a JSON object", metadata_file.ptr());
    }
    return metadata;
}

nb::dict catalogue_entry(const Call &call, nb::handle folder) {
    nb::object folder_name = folder.attr("name");
    nb::object metadata_file = join(folder, "metadata.json");
    nb::dict entry;
    if (exists(metadata_file)) {
        nb::object metadata = load_metadata(call, metadata_file);
        entry["name"] = metadata.attr("get")("name", folder_name);
        entry["description"] = metadata.attr("get")("description", "");
    } else {
        entry["name"] = folder_name;
        entry["description"] = "(no metadata)";
    }
    entry["path"] = nb::str(join(folder, "tool.py"));
    return entry;
}

// The tool folder for the agent's `tool_name`, or the "[ERROR] " text that
// answers the call instead.
struct ToolFolder {
    nb::object folder;
    nb::object error;
};

ToolFolder find_tool_folder(const Call &call, nb::handle tool_name) {
    if (!truthy(tool_name)) return {{}, nb::str("[ERROR] tool_name is required.")};
    if (auto error = unsafe_name_error(tool_name)) return {{}, *error};
    nb::object folder = join(store_root(call), tool_name);
    if (!exists(folder)) return {{}, prefixed("[ERROR] Tool not found: ", tool_name)};
    return {folder, {}};
}

}  // namespace

nb::object list_tools(const Call &call) {
    nb::object root = store_root(call);
    nb::list tools;
    if (exists(root)) {
        nb::object entries = nb::steal(PySequence_List(root.attr("iterdir")().ptr()));
        if (!entries || PyList_Sort(entries.ptr()) < 0) throw nb::python_error();
        for (nb::handle entry : entries) {
            if (truthy(entry.attr("is_dir")())) tools.append(catalogue_entry(call, entry));
        }
    }
    if (nb::len(tools) == 0) return nb::str("No custom tools found. Use 'create' to make one.");
    nb::dict listing;
    listing["tools"] = tools;
    listing["count"] = nb::len(tools);
    return pretty_json(call, listing);
}

nb::object tool_info(const Call &call) {
    nb::object tool_name = dict_get(call.arg(0), "tool_name", nb::str(""));
    ToolFolder found = find_tool_folder(call, tool_name);
    if (found.error.is_valid()) return found.error;
    // Nothing is read through a link that leaves the store.
    if (leads_out_of(found.folder, store_root(call))) {
        return prefixed("[ERROR] Tool folder leads outside the tool store: ", tool_name);
    }
    nb::object metadata_file = join(found.folder, "metadata.json");
    nb::object script = join(found.folder, "tool.py");
    for (nb::handle file : {metadata_file, script}) {
        if (leads_out_of(file, found.folder)) {
            return prefixed("[ERROR] Tool file leads outside the tool store: ", file);
        }
    }

    nb::dict info;
    info["name"] = tool_name;
    if (exists(metadata_file)) info.attr("update")(load_metadata(call, metadata_file));
    if (exists(script)) {
        nb::object code = read_text(script);
        nb::object lines = code.attr("splitlines")();
        info["code_lines"] = nb::len(lines);
        info["code_size"] = nb::len(code);
        nb::object preview = nb::steal(PyList_GetSlice(lines.ptr(), 0, kPreviewLines));
        if (!preview) throw nb::python_error();
        info["code_preview"] = nb::str("\n").attr("join")(preview);
    }
    return pretty_json(call, info);
}

nb::object delete_tool(const Call &call) {
    nb::object tool_name = dict_get(call.arg(0), "tool_name", nb::str(""));
    ToolFolder found = find_tool_folder(call, tool_name);
    if (found.error.is_valid()) return found.error;

    // rmtree refuses a tool folder that is itself a link and removes links
    // inside it without following them, so nothing outside the store goes.
    nb::module_::import_("shutil").attr("rmtree")(found.folder);

    nb::object registry = call.self().attr("_registry");
    if (truthy(registry)) {
        nb::object registered_name = prefixed("custom_", tool_name);
        if (truthy(registry.attr("get")(registered_name)) && nb::hasattr(registry, "_tools")) {
            registry.attr("_tools").attr("pop")(registered_name, nb::none());
        }
    }
    return prefixed("Deleted custom tool: ", tool_name);
}

}  // namespace tarvik
