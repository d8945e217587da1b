// Small Python helpers shared by every part of the module.
#include "common.hpp"

#include <cstdarg>
#include <cstring>

namespace tarvik {

nb::handle Interned::get() const {
    if (!object_) {
        object_ = PyUnicode_InternFromString(text_);
        if (!object_) throw nb::python_error();
    }
    return object_;
}

void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

nb::object checked(PyObject *result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

bool truthy(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

nb::object dict_get(nb::handle mapping, nb::handle key, nb::handle fallback) {
    PyObject *found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (found) return nb::borrow(found);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(fallback);
}

void dict_set(nb::handle mapping, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

bool str_equals(nb::handle value, nb::handle text) {
    PyObject *left = value.ptr();
    PyObject *right = text.ptr();
    if (left == right) return true;
    // The characters decide, as str's own comparison does, so a subclass's
    // __eq__ has no say.
    if (!PyUnicode_Check(left)) return false;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(left) < 0) throw nb::python_error();
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(left);
    if (length != PyUnicode_GET_LENGTH(right) || PyUnicode_KIND(left) != PyUnicode_KIND(right)) {
        return false;
    }
    return std::memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right),
                       static_cast<size_t>(length) * PyUnicode_KIND(left)) == 0;
}

nb::object get_attr(nb::handle object, nb::handle name) {
    return checked(PyObject_GetAttr(object.ptr(), name.ptr()));
}

nb::object optional_attr(nb::handle object, nb::handle name) {
    PyObject *found = PyObject_GetAttr(object.ptr(), name.ptr());
    if (found) return nb::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return {};
}

void set_attr(nb::handle object, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(object.ptr(), name.ptr(), value.ptr()) < 0) throw nb::python_error();
}

}  // namespace tarvik
