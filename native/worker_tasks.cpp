// Worker tasks and the texts made of their results.
#include "worker_tasks.hpp"

#include "names.hpp"
#include "texts.hpp"

namespace tarvik {

nb::object custom_task(const Call &call, nb::handle command, double timeout) {
    const nb::object seconds = checked(PyFloat_FromDouble(timeout));
    return call_with_keywords(call.global(names::subprocess_task_class), names::task_keywords,
                              {names::custom, command, seconds});
}

nb::object run_function_task(const Call &call, nb::handle script_path, nb::handle args) {
    const nb::object command = checked(PyDict_New());
    dict_set(command, names::action, names::run_function);
    dict_set(command, names::path, script_path);
    dict_set(command, names::function, names::main);
    dict_set(command, names::args, args);
    return custom_task(call, command, kRunTimeout);
}

nb::object spawn(const Call &call, nb::handle task) {
    return call_method(get_attr(call.self(), names::manager), names::spawn, task);
}

nb::object run_result_text(const Call &call, nb::handle result) {
    if (truthy(get_attr(result, names::error))) {
        return text_with(texts::error, get_attr(result, names::error));
    }
    return pretty_json(call, get_attr(result, names::output));
}

}  // namespace tarvik
