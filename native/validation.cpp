// Code validation: the agent's code is checked by a worker, never here.
#include "names.hpp"
#include "operations.hpp"
#include "texts.hpp"
#include "worker_tasks.hpp"

namespace tarvik {
namespace {

nb::object rejected(nb::handle message) {
    const nb::object report = checked(PyDict_New());
    dict_set(report, names::valid, Py_False);
    dict_set(report, names::message, message);
    return report;
}

}  // namespace

Async validate_code(const Call &call) {
    const nb::object command = checked(PyDict_New());
    dict_set(command, names::action, names::validate);
    dict_set(command, names::code, call.arg(0));
    const nb::object task = custom_task(call, command, kValidateTimeout);
    const nb::object result = co_await awaited(spawn(call, task));
    // The error is read again for the report, as the check read it.
    if (truthy(get_attr(result, names::error))) co_return rejected(get_attr(result, names::error));
    nb::object output = get_attr(result, names::output);
    if (truthy(output)) co_return output;
    co_return rejected(texts::no_validation_result);
}

Async validate_tool(const Call &call) {
    const nb::object code = dict_get(call.arg(0), names::code, names::empty);
    if (!truthy(code)) co_return nb::borrow(texts::code_required.get());
    const nb::object report =
        co_await awaited(call_method(call.self(), names::validate_code, code));
    co_return pretty_json(call, report);
}

}  // namespace tarvik
