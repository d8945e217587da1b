// Shared vocabulary of the native module: nanobind handles, interned names,
// calls through CPython's vectorcall protocol, truth tests and error raising.
//
// The module needs the GIL: interned names are made lazily and the
// coroutine and store code assume one thread at a time.
#pragma once

#include <nanobind/nanobind.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#include <array>
#include <cstddef>
#include <initializer_list>

namespace tarvik {

namespace nb = nanobind;
using namespace nb::literals;

// A str made on first use, interned and kept for the life of the process:
// the names, keys and fixed texts the module uses on every call.
class Interned {
public:
    explicit constexpr Interned(const char *text) noexcept : text_(text) {}
    nb::handle get() const;
    // Implicit, so that a name reads as the str it stands for at call sites.
    operator nb::handle() const { return get(); }  // NOLINT(*-explicit-constructor)
    const char *text() const noexcept { return text_; }

private:
    const char *text_;
    mutable PyObject *object_ = nullptr;
};

// A tuple of interned keyword names, made on first use and kept, for calls
// that pass keyword arguments through vectorcall.
template <size_t Count>
class Keywords {
public:
    explicit constexpr Keywords(std::array<const char *, Count> names) noexcept : names_(names) {}
    nb::handle get() const {
        if (!tuple_) {
            nb::object tuple = nb::steal(PyTuple_New(Count));
            if (!tuple) throw nb::python_error();
            for (size_t i = 0; i < Count; ++i) {
                PyObject *name = PyUnicode_InternFromString(names_[i]);
                if (!name) throw nb::python_error();
                PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), name);
            }
            tuple_ = tuple.release().ptr();
        }
        return tuple_;
    }

private:
    std::array<const char *, Count> names_;
    mutable PyObject *tuple_ = nullptr;
};

// Marks the slot before a vectorcall's first argument as free to use.
inline constexpr size_t kArgumentsOffset = PY_VECTORCALL_ARGUMENTS_OFFSET;  // NOLINT

// Raises a Python exception of `type` with a printf-style message
// (PyErr_Format syntax) and unwinds to the nearest boundary.
[[noreturn]] void raise(PyObject *type, const char *format, ...);

// Py_EnterRecursiveCall for one scope: recursion through native code, deep
// or self-feeding, ends in RecursionError instead of overflowing the C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where)) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    RecursionGuard(RecursionGuard &&) = delete;
    RecursionGuard &operator=(RecursionGuard &&) = delete;
};

// Takes a new reference from the C API, or throws its pending error.
nb::object checked(PyObject *result);

// Python's `bool(value)`; an exception from __bool__ propagates.
bool truthy(nb::handle value);

// `mapping.get(key, fallback)` for an exact dict.
nb::object dict_get(nb::handle mapping, nb::handle key, nb::handle fallback);

// `mapping[key] = value` for a dict.
void dict_set(nb::handle mapping, nb::handle key, nb::handle value);

// True when `value` is a str with the characters of `text` (str
// subclasses included, compared as str compares).
bool str_equals(nb::handle value, nb::handle text);

// `object.name`.
nb::object get_attr(nb::handle object, nb::handle name);

// `object.name`, or an empty object when there is no such attribute; any
// other failure raises, as with hasattr().
nb::object optional_attr(nb::handle object, nb::handle name);

// `object.name = value`.
void set_attr(nb::handle object, nb::handle name, nb::handle value);

// `callable(*arguments)`.
template <typename... Arguments>
nb::object call_object(nb::handle callable, const Arguments &...arguments) {
    // The leading slot lets a bound method put its self there instead of copying.
    PyObject *argv[] = {nullptr, nb::handle(arguments).ptr()...};
    return checked(PyObject_Vectorcall(callable.ptr(), argv + 1,
                                       sizeof...(Arguments) | kArgumentsOffset, nullptr));
}

// `self.name(*arguments)`, looked up as Python looks up a method, without
// making a bound method.
template <typename... Arguments>
nb::object call_method(nb::handle self, nb::handle name, const Arguments &...arguments) {
    PyObject *argv[] = {self.ptr(), nb::handle(arguments).ptr()...};
    return checked(PyObject_VectorcallMethod(name.ptr(), argv, 1 + sizeof...(Arguments), nullptr));
}

// `callable(**dict(zip(keywords, values)))`.
template <size_t Count>
nb::object call_with_keywords(nb::handle callable, const Keywords<Count> &keywords,
                              std::array<nb::handle, Count> values) {
    std::array<PyObject *, Count + 1> argv{};
    for (size_t i = 0; i < Count; ++i) argv[i + 1] = values[i].ptr();
    return checked(PyObject_Vectorcall(callable.ptr(), argv.data() + 1, kArgumentsOffset,
                                       keywords.get().ptr()));
}

}  // namespace tarvik
