// Declared types accept exactly `str` or `dict`: no subclass, no None.
#include "type_checks.hpp"

namespace tarvik {
namespace {

bool has_exact_type(Declared declared, nb::handle value) {
    switch (declared) {
        case Declared::str: return PyUnicode_CheckExact(value.ptr());
        case Declared::dict: return PyDict_CheckExact(value.ptr());
        case Declared::any: return true;
    }
    return true;
}

const char *type_name(Declared declared) { return declared == Declared::str ? "str" : "dict"; }

}  // namespace

void check_argument(const Param &param, nb::handle value) {
    if (has_exact_type(param.check, value)) return;
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          param.name, type_name(param.check), Py_TYPE(value.ptr())->tp_name);
}

void check_result(Declared declared, nb::handle result) {
    if (result.is_none() || has_exact_type(declared, result)) return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", type_name(declared),
          Py_TYPE(result.ptr())->tp_name);
}

}  // namespace tarvik
