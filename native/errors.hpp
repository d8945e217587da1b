// The one place where C++ exceptions become Python errors.
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

}  // namespace tarvik
