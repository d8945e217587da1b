// The catalogue: list, info and delete of saved tools.
#include "names.hpp"
#include "operations.hpp"
#include "store.hpp"
#include "texts.hpp"

#include <optional>
#include <variant>

namespace tarvik {
namespace {

constexpr Py_ssize_t kPreviewLines = 50;

// `json.loads` of a metadata file's text, which must hold an object.
nb::object load_metadata(const Call &call, nb::handle text, const StorePath &metadata_file) {
    nb::object metadata = call_method(call.global(names::json), names::loads, text);
    if (!PyDict_Check(metadata.ptr())) {
        const nb::object path = metadata_file.text();
        raise(PyExc_ValueError, "%U does not hold a JSON object", path.ptr());
    }
    return metadata;
}

nb::object catalogue_entry(const Call &call, const StorePath &folder, nb::handle folder_name) {
    const StorePath metadata_file = folder.child("metadata.json");
    const nb::object entry = checked(PyDict_New());
    const nb::object text = read_text_if_present(metadata_file);
    if (text.is_valid()) {
        const nb::object metadata = load_metadata(call, text, metadata_file);
        dict_set(entry, names::name, call_method(metadata, names::get, names::name, folder_name));
        dict_set(entry, names::description,
                 call_method(metadata, names::get, names::description, names::empty));
    } else {
        dict_set(entry, names::name, folder_name);
        dict_set(entry, names::description, texts::no_metadata);
    }
    dict_set(entry, names::path, folder.child("tool.py").text());
    return entry;
}

// The folder of the tool the agent names.
struct ToolFolder {
    nb::object name;  // the tool name as one exact str
    StorePath folder;
};

// The tool folder named by the call's "tool_name", or the text that answers
// the call instead. Nothing is read or removed through a tool folder that
// is a link out of the store.
std::variant<ToolFolder, nb::object> find_tool_folder(const Call &call) {
    const nb::object given_name = dict_get(call.arg(0), names::tool_name, names::empty);
    if (!truthy(given_name)) return nb::borrow(texts::tool_name_required.get());
    const ToolName name = tool_name_of(given_name);
    if (nb::object error = unsafe_name_error(name); error.is_valid()) return error;
    const nb::handle tool_name = name_text(name);
    const StorePath root = StorePath::root(call);
    StorePath folder = root.child(tool_name);
    if (!exists(folder)) return text_with(texts::tool_not_found, tool_name);
    if (leads_out_of(folder, root)) return text_with(texts::folder_outside, tool_name);
    return ToolFolder{nb::borrow(tool_name), std::move(folder)};
}

}  // namespace

nb::object list_tools(const Call &call) {
    const StorePath root = StorePath::root(call);
    const nb::object tools = checked(PyList_New(0));
    if (exists(root)) {
        for (nb::handle name : sorted_entries(root)) {
            const StorePath folder = root.child(name);
            if (!is_folder(folder)) continue;
            if (PyList_Append(tools.ptr(), catalogue_entry(call, folder, name).ptr()) < 0) {
                throw nb::python_error();
            }
        }
    }
    if (PyList_GET_SIZE(tools.ptr()) == 0) return nb::borrow(texts::no_tools.get());
    const nb::object listing = checked(PyDict_New());
    dict_set(listing, names::tool_list, tools);
    dict_set(listing, names::count, checked(PyLong_FromSsize_t(PyList_GET_SIZE(tools.ptr()))));
    return pretty_json(call, listing);
}

nb::object tool_info(const Call &call) {
    std::variant<ToolFolder, nb::object> found = find_tool_folder(call);
    if (auto *answer = std::get_if<nb::object>(&found)) return std::move(*answer);
    const auto &[tool_name, folder] = std::get<ToolFolder>(found);
    const StorePath metadata_file = folder.child("metadata.json");
    const StorePath script = folder.child("tool.py");
    for (const StorePath *file : {&metadata_file, &script}) {
        if (leads_out_of(*file, folder)) return text_with(texts::file_outside, file->text());
    }

    const nb::object info = checked(PyDict_New());
    dict_set(info, names::name, tool_name);
    const nb::object metadata_text = read_text_if_present(metadata_file);
    if (metadata_text.is_valid()) {
        const nb::object metadata = load_metadata(call, metadata_text, metadata_file);
        if (PyDict_Update(info.ptr(), metadata.ptr()) < 0) throw nb::python_error();
    }
    const nb::object code = read_text_if_present(script);
    if (code.is_valid()) {
        const nb::object lines = checked(PyUnicode_Splitlines(code.ptr(), 0));
        dict_set(info, names::code_lines,
                 checked(PyLong_FromSsize_t(PyList_GET_SIZE(lines.ptr()))));
        dict_set(info, names::code_size,
                 checked(PyLong_FromSsize_t(PyUnicode_GET_LENGTH(code.ptr()))));
        const nb::object preview = checked(PyList_GetSlice(lines.ptr(), 0, kPreviewLines));
        dict_set(info, names::code_preview,
                 checked(PyUnicode_Join(names::line_feed.get().ptr(), preview.ptr())));
    }
    return pretty_json(call, info);
}

nb::object delete_tool(const Call &call) {
    std::variant<ToolFolder, nb::object> found = find_tool_folder(call);
    if (auto *answer = std::get_if<nb::object>(&found)) return std::move(*answer);
    const auto &[tool_name, folder] = std::get<ToolFolder>(found);

    // Under the folder's lock, so that no creation in another process writes
    // into it meanwhile; one that waited finds it gone and makes a new one.
    std::optional<LockedFolder> locked = LockedFolder::existing(folder);
    // Gone while this waited. Anything else but a folder is rmtree's to refuse.
    if (!locked && !exists(folder)) return text_with(texts::tool_not_found, tool_name);
    // rmtree refuses a tool folder that is itself a link and removes links
    // inside it without following them, so nothing outside the store goes.
    const nb::object shutil = checked(PyImport_ImportModule("shutil"));
    call_method(shutil, names::rmtree, folder.text());
    locked.reset();

    const nb::object registry = get_attr(call.self(), names::registry);
    if (truthy(registry)) {
        const nb::object registered_name = text_with(names::custom_prefix, tool_name);
        if (truthy(call_method(registry, names::get, registered_name))) {
            // A registry without the mapping keeps the tool.
            const nb::object tools = optional_attr(registry, names::tools);
            if (tools.is_valid()) call_method(tools, names::pop, registered_name, Py_None);
        }
    }
    return text_with(texts::deleted, tool_name);
}

}  // namespace tarvik
