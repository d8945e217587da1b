// Bodies of the two tool classes' members, one group per file.
#pragma once

#include "async_task.hpp"
#include "native_function.hpp"

namespace tarvik {

// The tool creator's front (creator_front.cpp).
nb::object creator_init(const Call &call);
nb::object creator_set_registry(const Call &call);
nb::object creator_name(const Call &call);
nb::object creator_description(const Call &call);
nb::object creator_parameters(const Call &call);
Async creator_execute(const Call &call);

// Code validation (validation.cpp).
Async validate_tool(const Call &call);
Async validate_code(const Call &call);

// Tool creation (creation.cpp).
Async create_tool(const Call &call);

// Catalogue (catalogue.cpp).
nb::object list_tools(const Call &call);
nb::object tool_info(const Call &call);
nb::object delete_tool(const Call &call);

// Running a saved script in a worker (tool_run.cpp).
Async run_tool(const Call &call);

// The registered face of one saved tool (dynamic_tool.cpp).
nb::object dynamic_tool_init(const Call &call);
nb::object dynamic_tool_name(const Call &call);
nb::object dynamic_tool_description(const Call &call);
nb::object dynamic_tool_parameters(const Call &call);
Async dynamic_tool_execute(const Call &call);

// The module-level store root function (store.cpp).
nb::object get_custom_tools_dir(const Call &call);

}  // namespace tarvik
