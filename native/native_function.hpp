// The function type of the module's methods: native code that introspects
// and binds like a Python function.
#pragma once

#include "async_task.hpp"
#include "common.hpp"

#include <array>
#include <vector>

namespace tarvik {

// Declared types that are enforced; everything else is only recorded.
enum class Declared { any, str, dict };

struct Param {
    const char *name = nullptr;
    const char *annotation = nullptr;  // recorded as text, like postponed annotations
    Declared check = Declared::any;
    bool defaults_to_none = false;
};

// The bound arguments of one call, owned by whoever runs the body.
struct Call {
    // Self and the parameters of the member with the most (DynamicTool.__init__).
    static constexpr size_t kMaxArguments = 5;

    // Plain objects, not nb::dict, whose default constructor makes a dict.
    nb::object globals;  // the module namespace, read at every use
    std::array<nb::object, kMaxArguments> args =
        {};             // self (for methods) first, then the parameters
    nb::object kwargs;  // the **kwargs dict of functions that collect them

    nb::handle self() const { return args[0]; }
    nb::handle arg(size_t index) const { return args[index + 1]; }
    // A module-level name, looked up now (NameError when missing).
    nb::object global(nb::handle name) const;
};

using SyncBody = nb::object (*)(const Call &);
using AsyncBody = Async (*)(const Call &);

struct FunctionSpec {
    const char *name = nullptr;
    const char *doc = nullptr;
    std::vector<Param> params = {};  // excluding self
    bool is_method = true;
    const char *var_keywords = nullptr;  // name of the ** parameter
    const char *var_keywords_annotation = nullptr;
    const char *result_annotation = nullptr;  // nullptr when no result is declared
    Declared result_check = Declared::any;
    SyncBody sync = nullptr;
    AsyncBody async = nullptr;
};

// A new function object for `spec`, qualified as `qualname` and living in the
// module namespace `globals`. `spec` must outlive the process.
nb::object make_function(const FunctionSpec &spec, const char *qualname, nb::dict globals);

// Creates the function and coroutine types; called once at import.
void init_function_types();

// Raises the TypeError of a declared result that has another type.
void check_result(Declared declared, nb::handle result);

}  // namespace tarvik
