// Translation of C++ exceptions into Python errors.
#include "errors.hpp"

#include <new>

namespace tarvik {

void restore_python_error(const std::exception_ptr &error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_Format(PyExc_RuntimeError, "tool_creator: internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "tool_creator: unknown internal error");
    }
}

nb::object take_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) {
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_XDECREF(type);
    return nb::steal(value);
#endif
}

void set_error(nb::object exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release().ptr());
#else
    PyObject *value = exception.release().ptr();
    PyErr_Restore(Py_NewRef(Py_TYPE(value)), value, PyException_GetTraceback(value));
#endif
}

}  // namespace tarvik
