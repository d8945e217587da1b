// Declarations of every member: parameters, declared types (as the text the
// host's introspection shows), docstrings and the body that implements it.
#include "members.hpp"

#include "operations.hpp"

namespace tarvik {
namespace {

Member property(const char *name, const char *result, Declared check, SyncBody body) {
    return {{.name = name, .result_annotation = result, .result_check = check, .sync = body}, true};
}

Member operation(const char *name, AsyncBody body, const char *doc = nullptr) {
    return {{.name = name,
             .doc = doc,
             .params = {{"kwargs", "dict", Declared::dict}},
             .result_annotation = "str",
             .result_check = Declared::str,
             .async = body}};
}

Member execute(AsyncBody body) {
    return {{.name = "execute",
             .var_keywords = "kwargs",
             .var_keywords_annotation = "Any",
             .result_annotation = "Any",
             .async = body}};
}

}  // namespace

const std::vector<Member> &tool_creator_members() {
    static const std::vector<Member> members = {
        {{.name = "__init__",
          .params = {{"subprocess_manager", "SubprocessManager | None", Declared::any, true},
                     {"tool_registry", "Any", Declared::any, true}},
          .sync = creator_init}},
        {{.name = "set_registry",
          .doc = "Set the tool registry (called after initialization).",
          .params = {{"registry", "Any"}},
          .result_annotation = "None",
          .sync = creator_set_registry}},
        property("name", "str", Declared::str, creator_name),
        property("description", "str", Declared::str, creator_description),
        property("parameters", "dict[str, Any]", Declared::dict, creator_parameters),
        execute(creator_execute),
        operation("_create_tool", create_tool),
        operation("_validate_tool", validate_tool),
        {{.name = "_validate_code",
          .doc = "Validate code using the custom worker.",
          .params = {{"code", "str", Declared::str}},
          .result_annotation = "dict",
          .result_check = Declared::dict,
          .async = validate_code}},
        {{.name = "_list_tools",
          .doc = "List all custom tools.",
          .result_annotation = "str",
          .result_check = Declared::str,
          .sync = list_tools}},
        {{.name = "_delete_tool",
          .params = {{"kwargs", "dict", Declared::dict}},
          .result_annotation = "str",
          .result_check = Declared::str,
          .sync = delete_tool}},
        operation("_run_tool", run_tool),
        {{.name = "_tool_info",
          .params = {{"kwargs", "dict", Declared::dict}},
          .result_annotation = "str",
          .result_check = Declared::str,
          .sync = tool_info}},
    };
    return members;
}

const std::vector<Member> &dynamic_tool_members() {
    static const std::vector<Member> members = {
        {{.name = "__init__",
          .params = {{"tool_name", "str", Declared::str},
                     {"tool_description", "str", Declared::str},
                     {"script_path", "str", Declared::str},
                     {"subprocess_manager", "SubprocessManager"}},
          .sync = dynamic_tool_init}},
        property("name", "str", Declared::str, dynamic_tool_name),
        property("description", "str", Declared::str, dynamic_tool_description),
        property("parameters", "dict[str, Any]", Declared::dict, dynamic_tool_parameters),
        execute(dynamic_tool_execute),
    };
    return members;
}

const FunctionSpec &custom_tools_dir_function() {
    static const FunctionSpec function = {.name = "_get_custom_tools_dir",
                                          .doc = "Get the directory for custom tools.",
                                          .is_method = false,
                                          .result_annotation = "Path",
                                          .sync = get_custom_tools_dir};
    return function;
}

}  // namespace tarvik
