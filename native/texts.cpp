// The texts the tools answer with.
#include "texts.hpp"

#include <cstdarg>

namespace tarvik {

nb::object text_with(nb::handle prefix, nb::handle value) {
    const nb::object text = checked(PyObject_Str(value.ptr()));
    return checked(PyUnicode_Concat(prefix.ptr(), text.ptr()));
}

nb::object formatted(const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyObject *text = PyUnicode_FromFormatV(format, args);
    va_end(args);
    return checked(text);
}

}  // namespace tarvik
