// Small Python helpers shared by every part of the module.
#include "common.hpp"

#include <cstdarg>

namespace tarvik {

void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

bool truthy(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

nb::object dict_get(nb::handle mapping, const char *key, nb::handle fallback) {
    PyObject *found = PyDict_GetItemWithError(mapping.ptr(), nb::str(key).ptr());
    if (found) return nb::borrow(found);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(fallback);
}

bool str_equals(nb::handle value, std::string_view text) {
    if (!PyUnicode_Check(value.ptr())) return false;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!utf8) {
        // Lone surrogates cannot be UTF-8 and so never equal an operation name.
        PyErr_Clear();
        return false;
    }
    return std::string_view(utf8, static_cast<size_t>(size)) == text;
}

nb::str to_text(nb::handle value) { return nb::str(value); }

nb::str prefixed(const char *prefix, nb::handle value) {
    nb::object joined = nb::steal(PyUnicode_Concat(nb::str(prefix).ptr(), to_text(value).ptr()));
    if (!joined) throw nb::python_error();
    return nb::borrow<nb::str>(joined);
}

}  // namespace tarvik
