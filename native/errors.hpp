// The one place where C++ exceptions become Python errors, and the moves of
// Python exceptions between the error indicator and C++ code.
#pragma once

#include "common.hpp"

#include <exception>
#include <utility>

namespace tarvik {

// Sets the Python error that corresponds to `error`. Never throws.
void restore_python_error(const std::exception_ptr &error) noexcept;

// Runs `body` and hands its new reference to CPython, or returns nullptr
// with the Python error set when it throws.
template <typename Body>
PyObject *python_boundary(Body &&body) noexcept {
    try {
        return std::forward<Body>(body)().release().ptr();
    } catch (...) {
        restore_python_error(std::current_exception());
        return nullptr;
    }
}

// The pending Python exception, normalized and carrying its traceback; the
// error indicator is cleared. Requires a pending exception.
nb::object take_error() noexcept;

// Makes `exception`, an exception instance, the pending Python exception.
void set_error(nb::object exception) noexcept;

// While alive, `exception` is the exception being handled, as in the body of
// an `except` clause: an exception raised meanwhile gets it as __context__,
// and sys.exception() returns it.
class Handling {
public:
    explicit Handling(nb::handle exception) : previous_(nb::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exception.ptr());
    }
    ~Handling() { PyErr_SetHandledException(previous_.ptr()); }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;
    Handling(Handling &&) = delete;
    Handling &operator=(Handling &&) = delete;

private:
    nb::object previous_;
};

}  // namespace tarvik
