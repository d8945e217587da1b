// The tool creator as the host sees it: construction, identity, parameter
// schema and the dispatch of operations.
#include "operations.hpp"
#include "store.hpp"

namespace tarvik {
namespace {

constexpr const char *kDescription =
    "Create new tools at runtime. Write Python code that extends the agent's capabilities. "
    "Created tools are validated, saved, and can be immediately registered for use. Use this "
    "when you need a specialized tool that doesn't exist yet.";

constexpr const char *kOperationDescription =
    "The operation to perform:\n"
    "- create: Create and save a new custom tool\n"
    "- validate: Check if tool code is valid\n"
    "- list: List all custom tools\n"
    "- delete: Delete a custom tool\n"
    "- run: Execute a custom tool directly\n"
    "- info: Get details about a custom tool";

constexpr const char *kCodeDescription =
    "Python code for the tool. Must define a 'main(args: dict) -> dict' function that accepts a "
    "dict of arguments and returns a dict with 'success' and 'result' keys.";

nb::dict property(const char *type, const char *description) {
    nb::dict schema;
    schema["type"] = type;
    schema["description"] = description;
    return schema;
}

}  // namespace

nb::object creator_init(const Call &call) {
    nb::handle self = call.self();
    nb::handle manager = call.arg(0);
    self.attr("_manager") =
        truthy(manager) ? nb::borrow(manager) : call.global("SubprocessManager")();
    self.attr("_registry") = call.arg(1);
    self.attr("_custom_tools_dir") = call.global("_get_custom_tools_dir")();
    return nb::none();
}

nb::object creator_set_registry(const Call &call) {
    call.self().attr("_registry") = call.arg(0);
    return nb::none();
}

nb::object creator_name(const Call &) { return nb::str("tool_creator"); }

nb::object creator_description(const Call &) { return nb::str(kDescription); }

nb::object creator_parameters(const Call &) {
    nb::dict operation;
    operation["type"] = "string";
    nb::list operations;
    for (const char *name : {"create", "validate", "list", "delete", "run", "info"}) {
        operations.append(name);
    }
    operation["enum"] = operations;
    operation["description"] = kOperationDescription;

    nb::dict properties;
    properties["operation"] = operation;
    properties["tool_name"] = property("string", "Name for the custom tool (snake_case).");
    properties["description"] = property("string", "Description of what the tool does.");
    properties["code"] = property("string", kCodeDescription);
    properties["args"] = property("object", "Arguments to pass when running the tool.");
    properties["register"] =
        property("boolean", "Whether to register the tool for LLM use (default: true).");

    nb::dict schema;
    schema["type"] = "object";
    schema["properties"] = properties;
    nb::list required;
    required.append("operation");
    schema["required"] = required;
    return schema;
}

Async creator_execute(const Call &call) {
    // Operations are reached through the instance so that overrides win.
    nb::handle self = call.self();
    const nb::dict &kwargs = call.kwargs;
    nb::object operation = dict_get(kwargs, "operation", nb::str("list"));
    if (str_equals(operation, "create")) {
        co_return co_await awaited(self.attr("_create_tool")(kwargs));
    }
    if (str_equals(operation, "validate")) {
        co_return co_await awaited(self.attr("_validate_tool")(kwargs));
    }
    if (str_equals(operation, "list")) co_return self.attr("_list_tools")();
    if (str_equals(operation, "delete")) co_return self.attr("_delete_tool")(kwargs);
    if (str_equals(operation, "run")) co_return co_await awaited(self.attr("_run_tool")(kwargs));
    if (str_equals(operation, "info")) co_return self.attr("_tool_info")(kwargs);
    co_return prefixed("[ERROR] Unknown operation: ", operation);
}

nb::object get_custom_tools_dir(const Call &call) { return custom_tools_dir(call); }

}  // namespace tarvik
