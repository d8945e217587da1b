// Shared vocabulary of the native module: nanobind handles, Python truth
// tests, error raising and the module-namespace lookups the methods use.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace tarvik {

namespace nb = nanobind;
using namespace nb::literals;

// Raises a Python exception of `type` with a printf-style message
// (PyErr_Format syntax) and unwinds to the nearest boundary.
[[noreturn]] void raise(PyObject *type, const char *format, ...);

// Python's `bool(value)`; an exception from __bool__ propagates.
bool truthy(nb::handle value);

// `mapping.get(key, fallback)` for an exact dict.
nb::object dict_get(nb::handle mapping, const char *key, nb::handle fallback);

// True when `value` is a str equal to `text` (str subclasses included).
bool str_equals(nb::handle value, std::string_view text);

// `str(value)`.
nb::str to_text(nb::handle value);

// Concatenation of a fixed prefix and `str(value)`, as an f-string would do.
nb::str prefixed(const char *prefix, nb::handle value);

}  // namespace tarvik
