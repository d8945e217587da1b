// Tool creation: validate in a worker, save to the store, register.
#include "operations.hpp"
#include "store.hpp"

namespace tarvik {
namespace {

struct SavedTool {
    nb::str script_path;
};

// The "[ERROR] " text when the tool folder or one of its files is a link
// that would carry the writes out of the store.
std::optional<nb::object> unsafe_target_error(const Call &call, nb::handle tool_name) {
    nb::object root = store_root(call);
    nb::object folder = join(root, tool_name);
    if (leads_out_of(folder, root)) {
        return prefixed("[ERROR] Tool folder leads outside the tool store: ", tool_name);
    }
    for (const char *file_name : {"tool.py", "metadata.json"}) {
        nb::object file = join(folder, file_name);
        if (leads_out_of(file, folder)) {
            return prefixed("[ERROR] Tool file leads outside the tool store: ", file);
        }
    }
    return std::nullopt;
}

// Writes the tool folder, tool.py and metadata.json, in that order; a
// failure leaves what was already written.
SavedTool save_tool(const Call &call, nb::handle tool_name, nb::handle description,
                    nb::handle code) {
    nb::object folder = join(store_root(call), tool_name);
    folder.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    nb::object script = join(folder, "tool.py");
    write_text(script, code);
    nb::str script_path(script);

    nb::dict metadata;
    metadata["name"] = tool_name;
    metadata["description"] = description;
    metadata["script"] = script_path;
    metadata["created_by"] = "agent";
    write_text(join(folder, "metadata.json"), pretty_json(call, metadata));
    return {script_path};
}

// Registers the saved tool; returns the failure text, if any.
std::optional<nb::object> register_tool(const Call &call, nb::handle tool_name,
                                        nb::handle description, const SavedTool &saved) {
    nb::handle self = call.self();
    try {
        nb::object tool = call.global("DynamicTool")(
            "tool_name"_a = tool_name, "tool_description"_a = description,
            "script_path"_a = saved.script_path, "subprocess_manager"_a = self.attr("_manager"));
        self.attr("_registry").attr("register")(tool);
        call.global("logger").attr("info")(prefixed("Registered custom tool: ", tool_name));
        return std::nullopt;
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception)) throw;
        nb::str reason(error.value());
        nb::object warning = nb::steal(
            PyUnicode_FromFormat("Failed to register tool %S: %S", tool_name.ptr(), reason.ptr()));
        if (!warning) throw nb::python_error();
        call.global("logger").attr("warning")(warning);
        nb::object text = nb::steal(PyUnicode_FromFormat(
            "Tool saved to %S but registration failed: %S. You can still run it with "
            "tool_creator run.",
            saved.script_path.ptr(), reason.ptr()));
        if (!text) throw nb::python_error();
        return text;
    }
}

}  // namespace

Async create_tool(const Call &call) {
    const nb::handle kwargs = call.arg(0);
    nb::object tool_name = dict_get(kwargs, "tool_name", nb::str(""));
    nb::object description = dict_get(kwargs, "description", nb::str(""));
    nb::object code = dict_get(kwargs, "code", nb::str(""));
    nb::object should_register = dict_get(kwargs, "register", Py_True);

    if (!truthy(tool_name)) co_return nb::str("[ERROR] tool_name is required.");
    if (!truthy(code)) co_return nb::str("[ERROR] code is required.");
    if (auto error = unsafe_name_error(tool_name)) co_return *error;

    nb::object report = co_await awaited(call.self().attr("_validate_code")(code));
    if (!truthy(report.attr("get")("valid"))) {
        co_return prefixed("[ERROR] Invalid code: ",
                           report.attr("get")("message", "Unknown error"));
    }

    // From here on nothing suspends: two creations never interleave writes,
    // and nothing changes the store between the link check and the writes.
    if (auto error = unsafe_target_error(call, tool_name)) co_return *error;
    const SavedTool saved = save_tool(call, tool_name, description, code);
    if (truthy(should_register) && truthy(call.self().attr("_registry"))) {
        if (auto failure = register_tool(call, tool_name, description, saved)) co_return *failure;
    }

    nb::dict created;
    created["created"] = tool_name;
    created["path"] = saved.script_path;
    created["registered"] = should_register;
    created["description"] = description;
    co_return pretty_json(call, created);
}

}  // namespace tarvik
