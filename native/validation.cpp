// Code validation: the agent's code is checked by a worker, never here.
#include "operations.hpp"
#include "store.hpp"
#include "worker_tasks.hpp"

namespace tarvik {
namespace {

nb::dict rejected(nb::handle message) {
    nb::dict report;
    report["valid"] = false;
    report["message"] = message;
    return report;
}

}  // namespace

Async validate_code(const Call &call) {
    nb::dict command;
    command["action"] = "validate";
    command["code"] = call.arg(0);
    nb::object task = custom_task(call, command, kValidateTimeout);
    nb::object result = co_await awaited(call.self().attr("_manager").attr("spawn")(task));
    if (truthy(result.attr("error"))) co_return rejected(result.attr("error"));
    nb::object output = result.attr("output");
    if (truthy(output)) co_return output;
    co_return rejected(nb::str("No validation result"));
}

Async validate_tool(const Call &call) {
    nb::object code = dict_get(call.arg(0), "code", nb::str(""));
    if (!truthy(code)) co_return nb::str("[ERROR] code is required.");
    nb::object report = co_await awaited(call.self().attr("_validate_code")(code));
    co_return pretty_json(call, report);
}

}  // namespace tarvik
