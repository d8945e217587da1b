// The names the module looks up, passes and stores on every call: attribute
// and method names, dictionary keys, keyword names and module-level names.
#pragma once

#include "common.hpp"

namespace tarvik::names {

// Operations and the keys of the agent's arguments.
inline const Interned operation{"operation"};
inline const Interned create{"create"};
inline const Interned validate{"validate"};
inline const Interned list{"list"};
inline const Interned delete_{"delete"};
inline const Interned run{"run"};
inline const Interned info{"info"};
inline const Interned tool_name{"tool_name"};
inline const Interned description{"description"};
inline const Interned code{"code"};
inline const Interned register_{"register"};
inline const Interned args{"args"};

// Members, reached through the instance so that overrides win.
inline const Interned create_tool{"_create_tool"};
inline const Interned validate_tool{"_validate_tool"};
inline const Interned validate_code{"_validate_code"};
inline const Interned list_tools{"_list_tools"};
inline const Interned delete_tool{"_delete_tool"};
inline const Interned run_tool{"_run_tool"};
inline const Interned tool_info{"_tool_info"};
inline const Interned manager{"_manager"};
inline const Interned registry{"_registry"};
inline const Interned custom_tools_dir{"_custom_tools_dir"};
inline const Interned name_field{"_name"};
inline const Interned description_field{"_description"};
inline const Interned script_path_field{"_script_path"};

// Module-level names, looked up in the module namespace at each use.
inline const Interned json{"json"};
inline const Interned path_class{"Path"};
inline const Interned subprocess_manager_class{"SubprocessManager"};
inline const Interned subprocess_task_class{"SubprocessTask"};
inline const Interned dynamic_tool_class{"DynamicTool"};
inline const Interned logger{"logger"};
inline const Interned get_custom_tools_dir{"_get_custom_tools_dir"};

// Methods and attributes of host objects.
inline const Interned spawn{"spawn"};
inline const Interned error{"error"};
inline const Interned output{"output"};
inline const Interned get{"get"};
inline const Interned pop{"pop"};
inline const Interned register_method{"register"};
inline const Interned tools{"_tools"};
inline const Interned dumps{"dumps"};
inline const Interned loads{"loads"};
inline const Interned home{"home"};
inline const Interned mkdir{"mkdir"};
inline const Interned warning{"warning"};
inline const Interned rmtree{"rmtree"};
inline const Interned close{"close"};
inline const Interned throw_{"throw"};
inline const Interned cr_suspended{"cr_suspended"};

// Keys of the worker commands, reports and answers.
inline const Interned action{"action"};
inline const Interned path{"path"};
inline const Interned function{"function"};
inline const Interned main{"main"};
inline const Interned run_function{"run_function"};
inline const Interned valid{"valid"};
inline const Interned message{"message"};
inline const Interned name{"name"};
inline const Interned script{"script"};
inline const Interned created_by{"created_by"};
inline const Interned agent{"agent"};
inline const Interned created{"created"};
inline const Interned registered{"registered"};
inline const Interned code_lines{"code_lines"};
inline const Interned code_size{"code_size"};
inline const Interned code_preview{"code_preview"};
inline const Interned tool_list{"tools"};
inline const Interned count{"count"};
inline const Interned custom{"custom"};
inline const Interned custom_prefix{"custom_"};
inline const Interned line_feed{"\n"};
inline const Interned empty{""};

// Keyword names of the calls that take keywords.
inline const Keywords<3> task_keywords{{"worker_type", "command", "timeout"}};
inline const Keywords<4> dynamic_tool_keywords{
    {"tool_name", "tool_description", "script_path", "subprocess_manager"}};
inline const Keywords<1> indent_keyword{{"indent"}};
inline const Keywords<2> mkdir_keywords{{"parents", "exist_ok"}};

}  // namespace tarvik::names
