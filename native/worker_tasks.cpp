// Worker tasks and the texts made of their results.
#include "worker_tasks.hpp"

#include "store.hpp"

namespace tarvik {

nb::object custom_task(const Call &call, nb::handle command, double timeout) {
    return call.global("SubprocessTask")("worker_type"_a = "custom", "command"_a = command,
                                         "timeout"_a = timeout);
}

nb::object run_function_task(const Call &call, nb::handle script_path, nb::handle args) {
    nb::dict command;
    command["action"] = "run_function";
    command["path"] = script_path;
    command["function"] = "main";
    command["args"] = args;
    return custom_task(call, command, kRunTimeout);
}

nb::object run_result_text(const Call &call, nb::handle result) {
    if (truthy(result.attr("error"))) return prefixed("[ERROR] ", result.attr("error"));
    return pretty_json(call, result.attr("output"));
}

}  // namespace tarvik
