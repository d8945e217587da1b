// Tool creation: validate in a worker, save to the store, register.
#include "errors.hpp"
#include "names.hpp"
#include "operations.hpp"
#include "store.hpp"
#include "texts.hpp"

#include <array>

namespace tarvik {
namespace {

// The "[ERROR] " text when the tool folder or one of its files is a link
// that would carry the writes out of the store.
nb::object unsafe_target_error(const StorePath &root, const StorePath &folder,
                               nb::handle tool_name) {
    if (leads_out_of(folder, root)) return text_with(texts::folder_outside, tool_name);
    for (const char *file_name : {"tool.py", "metadata.json"}) {
        const StorePath file = folder.child(file_name);
        if (leads_out_of(file, folder)) return text_with(texts::file_outside, file.text());
    }
    return {};
}

// Writes the tool folder, then tool.py and metadata.json, in that order,
// and returns the script's path. Both texts are made before the files are
// touched, and the files are replaced together under the folder's lock: a
// failure leaves the folder, and the tool it held before, as they were.
nb::object save_tool(const Call &call, const StorePath &folder, nb::handle tool_name,
                     nb::handle description, nb::handle code) {
    make_folders(folder);
    std::array<NewFile, 2> files{NewFile{"tool.py", file_bytes(code)},
                                 NewFile{"metadata.json", {}}};
    nb::object script_path = folder.child("tool.py").text();

    const nb::object metadata = checked(PyDict_New());
    dict_set(metadata, names::name, tool_name);
    dict_set(metadata, names::description, description);
    dict_set(metadata, names::script, script_path);
    dict_set(metadata, names::created_by, names::agent);
    files[1].content = file_bytes(pretty_json(call, metadata));
    LockedFolder::made(folder).replace_files(files);
    return script_path;
}

// Registers the saved tool; returns the failure text, or an empty object.
nb::object register_tool(const Call &call, nb::handle tool_name, nb::handle description,
                         nb::handle script_path) {
    const nb::handle self = call.self();
    try {
        const nb::object tool = call_with_keywords(
            call.global(names::dynamic_tool_class), names::dynamic_tool_keywords,
            {tool_name, description, script_path, get_attr(self, names::manager)});
        call_method(get_attr(self, names::registry), names::register_method, tool);
        call_method(call.global(names::logger), names::info,
                    text_with(texts::registered, tool_name));
        return {};
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception)) throw;
        // What follows runs as an `except Exception as error:` block would:
        // an exception raised here has the registration's as its context.
        const Handling handling(error.value());
        const nb::object reason = checked(PyObject_Str(error.value().ptr()));
        call_method(call.global(names::logger), names::warning,
                    formatted("Failed to register tool %U: %U", tool_name.ptr(), reason.ptr()));
        return formatted(
            "Tool saved to %U but registration failed: %U. You can still run it with "
            "tool_creator run.",
            script_path.ptr(), reason.ptr());
    }
}

}  // namespace

Async create_tool(const Call &call) {
    const nb::handle kwargs = call.arg(0);
    const nb::object given_name = dict_get(kwargs, names::tool_name, names::empty);
    const nb::object description = dict_get(kwargs, names::description, names::empty);
    const nb::object code = dict_get(kwargs, names::code, names::empty);
    const nb::object should_register = dict_get(kwargs, names::register_, Py_True);

    if (!truthy(given_name)) co_return nb::borrow(texts::tool_name_required.get());
    if (!truthy(code)) co_return nb::borrow(texts::code_required.get());
    const ToolName name = tool_name_of(given_name);
    if (nb::object error = unsafe_name_error(name); error.is_valid()) co_return error;

    const nb::object report =
        co_await awaited(call_method(call.self(), names::validate_code, code));
    if (!truthy(call_method(report, names::get, names::valid))) {
        co_return text_with(texts::invalid_code,
                            call_method(report, names::get, names::message, texts::unknown_error));
    }

    // From here on nothing suspends: two creations never interleave writes,
    // and nothing changes the store between the link checks and the writes.
    const nb::handle tool_name = name_text(name);
    const StorePath root = StorePath::root(call);
    const StorePath folder = root.child(tool_name);
    if (nb::object error = unsafe_target_error(root, folder, tool_name); error.is_valid()) {
        co_return error;
    }
    const nb::object script_path = save_tool(call, folder, tool_name, description, code);
    if (truthy(should_register) && truthy(get_attr(call.self(), names::registry))) {
        nb::object failure = register_tool(call, tool_name, description, script_path);
        if (failure.is_valid()) co_return failure;
    }

    const nb::object created = checked(PyDict_New());
    dict_set(created, names::created, tool_name);
    dict_set(created, names::path, script_path);
    dict_set(created, names::registered, should_register);
    dict_set(created, names::description, description);
    co_return pretty_json(call, created);
}

}  // namespace tarvik
