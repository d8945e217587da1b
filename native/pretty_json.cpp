// Pretty JSON text: what `json.dumps(value, indent=2)` returns.
//
// `json` is looked up in the module namespace on every call, so a host that
// replaces it, or replaces `json.dumps`, gets its own function called. When
// both are the ones the module was imported with, values made only of
// JSON's own types (exact dict, list, tuple, str, int, float, bool, None) are
// written here, byte for byte as json.dumps writes them; anything else,
// including what json.dumps would refuse (a cycle, a non-JSON type, a key
// it cannot convert), goes to json.dumps itself, so its answers and its
// exceptions are unchanged.
#include "errors.hpp"
#include "names.hpp"
#include "texts.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {
namespace {

// Deeper values are left to json.dumps, which has its own recursion guard.
constexpr size_t kDeepestWritten = 64;

// The json module and its dumps() as the module was imported with them.
PyObject *imported_json = nullptr;
PyObject *imported_dumps = nullptr;

// The writer recurses with the value's nesting, which enter() bounds at
// kDeepestWritten levels.
// NOLINTBEGIN(misc-no-recursion)
class PrettyWriter {
public:
    // False when json.dumps must write `value` instead.
    bool write(PyObject *value) {
        if (value == Py_None) return append("null");
        if (value == Py_True) return append("true");
        if (value == Py_False) return append("false");
        if (PyUnicode_CheckExact(value)) return write_string(value);
        if (PyLong_CheckExact(value)) return write_repr(value, PyLong_Type.tp_repr);
        if (PyFloat_CheckExact(value)) return write_float(value);
        if (PyDict_CheckExact(value)) return write_dict(value);
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) return write_sequence(value);
        return false;
    }

    const std::string &text() const noexcept { return out_; }

private:
    bool append(std::string_view text) {
        out_.append(text);
        return true;
    }

    bool write_repr(PyObject *value, reprfunc repr) {
        const nb::object text = nb::steal(repr(value));
        if (!text.is_valid()) {
            // An int too long to print: json.dumps raises that itself.
            PyErr_Clear();
            return false;
        }
        Py_ssize_t size = 0;
        const char *ascii = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!ascii) {
            PyErr_Clear();
            return false;
        }
        out_.append(ascii, static_cast<size_t>(size));
        return true;
    }

    bool write_float(PyObject *value) {
        const double number = PyFloat_AS_DOUBLE(value);
        if (std::isnan(number)) return append("NaN");
        if (std::isinf(number)) return append(number > 0 ? "Infinity" : "-Infinity");
        return write_repr(value, PyFloat_Type.tp_repr);
    }

    // A JSON string with every character outside printable ASCII escaped,
    // as json's ensure_ascii writes it.
    bool write_string(PyObject *text) {
        static constexpr char hex[] = "0123456789abcdef";
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(text) < 0) {
            PyErr_Clear();
            return false;
        }
#endif
        const int kind = PyUnicode_KIND(text);
        const void *data = PyUnicode_DATA(text);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        out_.push_back('"');
        auto escape_unit = [&](Py_UCS4 unit) {
            const char escaped[] = {'\\',
                                    'u',
                                    hex[(unit >> 12) & 0xf],
                                    hex[(unit >> 8) & 0xf],
                                    hex[(unit >> 4) & 0xf],
                                    hex[unit & 0xf]};
            out_.append(escaped, sizeof escaped);
        };
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
                out_.push_back(static_cast<char>(c));
                continue;
            }
            switch (c) {
                case '\\': out_.append("\\\\"); break;
                case '"': out_.append("\\\""); break;
                case '\b': out_.append("\\b"); break;
                case '\f': out_.append("\\f"); break;
                case '\n': out_.append("\\n"); break;
                case '\r': out_.append("\\r"); break;
                case '\t': out_.append("\\t"); break;
                default:
                    if (c >= 0x10000) {
                        const Py_UCS4 offset = c - 0x10000;
                        escape_unit(0xd800 | ((offset >> 10) & 0x3ff));
                        escape_unit(0xdc00 | (offset & 0x3ff));
                    } else {
                        escape_unit(c);
                    }
            }
        }
        out_.push_back('"');
        return true;
    }

    // A dict key as json converts it: str, float, bool, None and int only.
    bool write_key(PyObject *key) {
        if (PyUnicode_CheckExact(key)) return write_string(key);
        out_.push_back('"');
        const bool written = key == Py_None || key == Py_True || key == Py_False ||
                             PyLong_CheckExact(key) || PyFloat_CheckExact(key);
        if (!written || !write(key)) return false;
        out_.push_back('"');
        return true;
    }

    void new_line(size_t depth) {
        out_.push_back('\n');
        out_.append(2 * depth, ' ');
    }

    // Opens a container; false for one already open (a cycle) or one too deep.
    bool enter(PyObject *container) {
        if (open_.size() >= kDeepestWritten) return false;
        for (PyObject *outer : open_) {
            if (outer == container) return false;
        }
        open_.push_back(container);
        return true;
    }

    bool write_dict(PyObject *dict) {
        if (PyDict_GET_SIZE(dict) == 0) return append("{}");
        if (!enter(dict)) return false;
        out_.push_back('{');
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        bool first = true;
        while (PyDict_Next(dict, &position, &key, &value)) {
            if (!first) out_.push_back(',');
            first = false;
            new_line(open_.size());
            if (!write_key(key)) return false;
            out_.append(": ");
            if (!write(value)) return false;
        }
        open_.pop_back();
        new_line(open_.size());
        out_.push_back('}');
        return true;
    }

    bool write_sequence(PyObject *sequence) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
        if (size == 0) return append("[]");
        if (!enter(sequence)) return false;
        out_.push_back('[');
        PyObject **items = PySequence_Fast_ITEMS(sequence);
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i > 0) out_.push_back(',');
            new_line(open_.size());
            if (!write(items[i])) return false;
        }
        open_.pop_back();
        new_line(open_.size());
        out_.push_back(']');
        return true;
    }

    std::string out_;
    std::vector<PyObject *> open_;
};
// NOLINTEND(misc-no-recursion)

}  // namespace

void remember_json_module(nb::handle json) {
    imported_json = nb::borrow(json).release().ptr();
    imported_dumps = get_attr(json, names::dumps).release().ptr();
}

nb::object pretty_json(const Call &call, nb::handle value) {
    const nb::object json = call.global(names::json);
    const nb::object dumps = get_attr(json, names::dumps);
    if (json.ptr() == imported_json && dumps.ptr() == imported_dumps) {
        PrettyWriter writer;
        if (writer.write(value.ptr())) {
            const std::string &text = writer.text();
            return checked(
                PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        }
    }
    static const nb::handle two = PyLong_FromLong(2);  // a small int, cached by CPython
    PyObject *argv[] = {nullptr, value.ptr(), two.ptr()};
    return checked(PyObject_Vectorcall(dumps.ptr(), argv + 1, 1 | kArgumentsOffset,
                                       names::indent_keyword.get().ptr()));
}

}  // namespace tarvik
