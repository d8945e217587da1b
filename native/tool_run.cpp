// Running a saved tool once, registered or not.
#include "operations.hpp"
#include "store.hpp"
#include "worker_tasks.hpp"

namespace tarvik {

Async run_tool(const Call &call) {
    const nb::handle kwargs = call.arg(0);
    nb::object tool_name = dict_get(kwargs, "tool_name", nb::str(""));
    nb::object args = dict_get(kwargs, "args", nb::handle());
    if (!args.is_valid()) args = nb::dict();
    if (!truthy(tool_name)) co_return nb::str("[ERROR] tool_name is required.");
    if (auto error = unsafe_name_error(tool_name)) co_return *error;

    nb::object root = store_root(call);
    nb::object script = join(join(root, tool_name), "tool.py");
    if (!exists(script)) co_return prefixed("[ERROR] Tool script not found: ", script);
    // A link may not lead the worker to a script outside the store.
    if (!resolves_into(script.attr("parent"), root) ||
        !resolves_into(script, script.attr("parent"))) {
        co_return prefixed("[ERROR] Tool script is outside the tool store: ", script);
    }

    nb::object task = run_function_task(call, nb::str(script), args);
    nb::object result = co_await awaited(call.self().attr("_manager").attr("spawn")(task));
    co_return run_result_text(call, result);
}

}  // namespace tarvik
