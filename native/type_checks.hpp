// Enforcement of declared `str` and `dict` types on arguments and results.
#pragma once

#include "native_function.hpp"

namespace tarvik {

// Raises "Argument 'name' has incorrect type (...)" unless `value` has
// exactly the declared type.
void check_argument(const Param &param, nb::handle value);

}  // namespace tarvik
