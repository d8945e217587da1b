// DynamicTool: one saved tool, registered under "custom_<name>", that runs
// its script's main(args) in a worker on every call.
#include "names.hpp"
#include "operations.hpp"
#include "texts.hpp"
#include "worker_tasks.hpp"

namespace tarvik {

nb::object dynamic_tool_init(const Call &call) {
    const nb::handle self = call.self();
    set_attr(self, names::name_field, text_with(names::custom_prefix, call.arg(0)));
    set_attr(self, names::description_field, call.arg(1));
    set_attr(self, names::script_path_field, call.arg(2));
    set_attr(self, names::manager, call.arg(3));
    return nb::none();
}

nb::object dynamic_tool_name(const Call &call) { return get_attr(call.self(), names::name_field); }

nb::object dynamic_tool_description(const Call &call) {
    return get_attr(call.self(), names::description_field);
}

nb::object dynamic_tool_parameters(const Call &) {
    nb::dict args;
    args["type"] = "object";
    args["description"] = "Arguments to pass to the tool's main() function.";
    nb::dict properties;
    properties["args"] = args;
    nb::dict schema;
    schema["type"] = "object";
    schema["properties"] = properties;
    return schema;
}

Async dynamic_tool_execute(const Call &call) {
    nb::object args = dict_get(call.kwargs, names::args, nb::handle());
    if (!args.is_valid()) args = checked(PyDict_New());
    const nb::object script_path = get_attr(call.self(), names::script_path_field);
    const nb::object task = run_function_task(call, script_path, args);
    const nb::object result = co_await awaited(spawn(call, task));
    co_return run_result_text(call, result);
}

}  // namespace tarvik
