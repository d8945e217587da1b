// The members of the module's classes, in the order the classes define them.
#pragma once

#include "native_function.hpp"

#include <vector>

namespace tarvik {

struct Member {
    FunctionSpec function;
    bool is_property = false;
};

const std::vector<Member> &tool_creator_members();
const std::vector<Member> &dynamic_tool_members();
const FunctionSpec &custom_tools_dir_function();

}  // namespace tarvik
