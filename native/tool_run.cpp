// Running a saved tool once, registered or not.
#include "names.hpp"
#include "operations.hpp"
#include "store.hpp"
#include "texts.hpp"
#include "worker_tasks.hpp"

namespace tarvik {

Async run_tool(const Call &call) {
    const nb::handle kwargs = call.arg(0);
    const nb::object given_name = dict_get(kwargs, names::tool_name, names::empty);
    nb::object args = dict_get(kwargs, names::args, nb::handle());
    if (!args.is_valid()) args = checked(PyDict_New());
    if (!truthy(given_name)) co_return nb::borrow(texts::tool_name_required.get());
    const ToolName name = tool_name_of(given_name);
    if (nb::object error = unsafe_name_error(name); error.is_valid()) co_return error;

    const StorePath root = StorePath::root(call);
    const StorePath folder = root.child(name_text(name));
    const StorePath script = folder.child("tool.py");
    if (!exists(script)) co_return text_with(texts::script_not_found, script.text());
    // A link may not lead the worker to a script outside the store.
    if (leads_out_of(folder, root) || leads_out_of(script, folder)) {
        co_return text_with(texts::script_outside, script.text());
    }

    const nb::object task = run_function_task(call, script.text(), args);
    const nb::object result = co_await awaited(spawn(call, task));
    co_return run_result_text(call, result);
}

}  // namespace tarvik
