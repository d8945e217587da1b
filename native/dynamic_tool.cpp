// DynamicTool: one saved tool, registered under "custom_<name>", that runs
// its script's main(args) in a worker on every call.
#include "operations.hpp"
#include "store.hpp"
#include "worker_tasks.hpp"

namespace tarvik {

nb::object dynamic_tool_init(const Call &call) {
    nb::handle self = call.self();
    self.attr("_name") = prefixed("custom_", call.arg(0));
    self.attr("_description") = call.arg(1);
    self.attr("_script_path") = call.arg(2);
    self.attr("_manager") = call.arg(3);
    return nb::none();
}

nb::object dynamic_tool_name(const Call &call) { return call.self().attr("_name"); }

nb::object dynamic_tool_description(const Call &call) { return call.self().attr("_description"); }

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
    nb::object args = dict_get(call.kwargs, "args", nb::handle());
    if (!args.is_valid()) args = nb::dict();
    nb::handle self = call.self();
    nb::object task = run_function_task(call, self.attr("_script_path"), args);
    nb::object result = co_await awaited(self.attr("_manager").attr("spawn")(task));
    co_return run_result_text(call, result);
}

}  // namespace tarvik
