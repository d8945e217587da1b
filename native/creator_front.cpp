// The tool creator as the host sees it: construction, identity, parameter
// schema and the dispatch of operations.
#include "names.hpp"
#include "operations.hpp"
#include "store.hpp"
#include "texts.hpp"

#include <array>
#include <utility>

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
    const nb::handle self = call.self();
    const nb::handle manager = call.arg(0);
    set_attr(self, names::manager,
             truthy(manager) ? nb::borrow(manager)
                             : call_object(call.global(names::subprocess_manager_class)));
    set_attr(self, names::registry, call.arg(1));
    set_attr(self, names::custom_tools_dir, call_object(call.global(names::get_custom_tools_dir)));
    return nb::none();
}

nb::object creator_set_registry(const Call &call) {
    set_attr(call.self(), names::registry, call.arg(0));
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

namespace {

// The member each operation calls, and whether its result is awaited. The
// names differ, so at most one matches and the order does not matter.
struct Operation {
    const Interned *name;
    const Interned *member;
    bool awaited;
    bool takes_kwargs;
};

const std::array<Operation, 6> kOperations = {{
    {&names::create, &names::create_tool, true, true},
    {&names::validate, &names::validate_tool, true, true},
    {&names::list, &names::list_tools, false, false},
    {&names::delete_, &names::delete_tool, false, true},
    {&names::run, &names::run_tool, true, true},
    {&names::info, &names::tool_info, false, true},
}};

}  // namespace

Async creator_execute(const Call &call) {
    const nb::object operation = dict_get(call.kwargs, names::operation, names::list);
    for (const Operation &candidate : kOperations) {
        if (!str_equals(operation, *candidate.name)) continue;
        // Reached through the instance, so that overrides win.
        nb::object result = candidate.takes_kwargs
                                ? call_method(call.self(), *candidate.member, call.kwargs)
                                : call_method(call.self(), *candidate.member);
        if (candidate.awaited) result = co_await awaited(std::move(result));
        co_return result;
    }
    co_return text_with(texts::unknown_operation, operation);
}

nb::object get_custom_tools_dir(const Call &call) { return custom_tools_dir(call); }

}  // namespace tarvik
