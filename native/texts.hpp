// Every text the tools answer with: the fixed answers, the "[ERROR] " texts
// built from a value, and pretty JSON.
#pragma once

#include "native_function.hpp"

namespace tarvik {

namespace texts {
inline const Interned error{"[ERROR] "};
inline const Interned tool_name_required{"[ERROR] tool_name is required."};
inline const Interned code_required{"[ERROR] code is required."};
inline const Interned unknown_operation{"[ERROR] Unknown operation: "};
inline const Interned invalid_code{"[ERROR] Invalid code: "};
inline const Interned tool_not_found{"[ERROR] Tool not found: "};
inline const Interned script_not_found{"[ERROR] Tool script not found: "};
inline const Interned script_outside{"[ERROR] Tool script is outside the tool store: "};
inline const Interned folder_outside{"[ERROR] Tool folder leads outside the tool store: "};
inline const Interned file_outside{"[ERROR] Tool file leads outside the tool store: "};
inline const Interned no_tools{"No custom tools found. Use 'create' to make one."};
inline const Interned no_metadata{"(no metadata)"};
inline const Interned deleted{"Deleted custom tool: "};
inline const Interned registered{"Registered custom tool: "};
inline const Interned no_validation_result{"No validation result"};
inline const Interned unknown_error{"Unknown error"};
}  // namespace texts

// `prefix + str(value)`, as an f-string would make it.
nb::object text_with(nb::handle prefix, nb::handle value);

// A text made by PyUnicode_FromFormat.
nb::object formatted(const char *format, ...);

// `json.dumps(value, indent=2)`, with `json` looked up in the module
// namespace (pretty_json.cpp).
nb::object pretty_json(const Call &call, nb::handle value);

// Records the json module the module namespace starts with, whose dumps()
// pretty_json may write for.
void remember_json_module(nb::handle json);

}  // namespace tarvik
