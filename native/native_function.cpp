// The function type behind every method of the module.
//
// Each object is a descriptor that binds to instances like a Python function
// and carries what introspection reads: __name__, __qualname__, __doc__,
// __annotations__, __defaults__ and a __code__ whose flags tell `inspect`
// which functions are coroutine functions and whose variable names give
// `inspect.signature` the parameters.
#include "native_function.hpp"

#include "coroutine.hpp"
#include "errors.hpp"
#include "type_checks.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <utility>

namespace tarvik {
namespace {

struct FunctionFields {
    nb::object name, qualname, doc, module, annotations, code, defaults, globals;
    nb::object parameter_names;  // interned, self first for methods: what keywords match
};

// Laid out by tp_alloc, never constructed: make_function fills the fields.
struct FunctionObject {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    FunctionFields fields;
};

// Created once and never freed: functions may outlive their module object.
nb::handle function_type;

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

size_t positional_count(const FunctionSpec &spec) {
    return spec.params.size() + (spec.is_method ? 1 : 0);
}

const char *positional_name(const FunctionSpec &spec, size_t index) {
    if (spec.is_method) return index == 0 ? "self" : spec.params[index - 1].name;
    return spec.params[index].name;
}

// The parameter that `keyword` names, or `count` for none. Keywords are
// nearly always interned, so identity decides first, as in CPython's own
// binding; only a keyword that is not interned is compared by its text.
size_t parameter_slot(PyObject *names, PyObject *keyword, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i)) == keyword) return i;
    }
    if (PyUnicode_CheckExact(keyword) && PyUnicode_CHECK_INTERNED(keyword)) return count;
    for (size_t i = 0; i < count; ++i) {
        if (str_equals(keyword, PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i)))) return i;
    }
    return count;
}

bool positional_defaults_to_none(const FunctionSpec &spec, size_t index) {
    if (spec.is_method && index == 0) return false;
    return spec.params[index - (spec.is_method ? 1 : 0)].defaults_to_none;
}

[[noreturn]] void raise_missing(const FunctionObject *fn, const std::vector<std::string> &names) {
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        list += "'" + names[i] + "'";
    }
    raise(PyExc_TypeError, "%U() missing %zu required positional argument%s: %s",
          fn->fields.qualname.ptr(), names.size(), names.size() == 1 ? "" : "s", list.c_str());
}

// Python's own binding rules for positional-or-keyword parameters and an
// optional **kwargs collector.
Call bind_arguments(const FunctionObject *fn, PyObject *const *args, size_t nargs,
                    PyObject *kwnames) {
    const FunctionSpec &spec = *fn->spec;
    const size_t count = positional_count(spec);
    if (nargs > count) {
        raise(PyExc_TypeError, "%U() takes %zu positional argument%s but %zu %s given",
              fn->fields.qualname.ptr(), count, count == 1 ? "" : "s", nargs,
              nargs == 1 ? "was" : "were");
    }
    Call call;
    call.globals = fn->fields.globals;
    for (size_t i = 0; i < nargs; ++i) call.args[i] = nb::borrow(args[i]);
    if (spec.var_keywords) call.kwargs = checked(PyDict_New());

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        nb::handle value = args[nargs + static_cast<size_t>(k)];
        const size_t slot = parameter_slot(fn->fields.parameter_names.ptr(), keyword, count);
        if (slot < count) {
            if (call.args[slot].is_valid()) {
                raise(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                      fn->fields.qualname.ptr(), keyword);
            }
            call.args[slot] = nb::borrow(value);
        } else if (spec.var_keywords) {
            dict_set(call.kwargs, keyword, value);
        } else {
            raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                  fn->fields.qualname.ptr(), keyword);
        }
    }

    std::vector<std::string> missing;
    for (size_t i = 0; i < count; ++i) {
        if (call.args[i].is_valid()) continue;
        if (positional_defaults_to_none(spec, i)) {
            call.args[i] = nb::none();
        } else {
            missing.emplace_back(positional_name(spec, i));
        }
    }
    if (!missing.empty()) raise_missing(fn, missing);
    return call;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    return python_boundary([&]() -> nb::object {
        const FunctionObject *fn = as_function(self);
        const FunctionSpec &spec = *fn->spec;
        Call call =
            bind_arguments(fn, args, static_cast<size_t>(PyVectorcall_NARGS(nargsf)), kwnames);
        const size_t first = spec.is_method ? 1 : 0;
        for (size_t i = 0; i < spec.params.size(); ++i) {
            check_argument(spec.params[i], call.args[first + i]);
        }
        // An async body runs later, under the coroutine's own guard.
        if (spec.async) return make_coroutine(self, spec, std::move(call));
        const RecursionGuard guard(" in a tool_creator method");
        nb::object result = spec.sync(call);
        check_result(spec.result_check, result);
        return result;
    });
}

PyObject *function_descr_get(PyObject *self, PyObject *instance, PyObject *) noexcept {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    FunctionFields &f = as_function(self)->fields;
    for (nb::object *field : {&f.name, &f.qualname, &f.doc, &f.module, &f.annotations, &f.code,
                              &f.defaults, &f.globals, &f.parameter_names}) {
        Py_VISIT(field->ptr());
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject *self) noexcept {
    FunctionFields &f = as_function(self)->fields;
    // Reset one by one: each release may run arbitrary finalizers.
    for (nb::object *field : {&f.name, &f.qualname, &f.doc, &f.module, &f.annotations, &f.code,
                              &f.defaults, &f.globals, &f.parameter_names}) {
        nb::object released = std::move(*field);
    }
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_function(self)->fields.~FunctionFields();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->fields.qualname.ptr(),
                                self);
}

template <nb::object FunctionFields::*Field>
PyObject *get_field(PyObject *self, void *) noexcept {
    nb::handle value = as_function(self)->fields.*Field;
    return Py_NewRef(value.is_valid() ? value.ptr() : Py_None);
}

PyObject *get_kwdefaults(PyObject *, void *) noexcept { return Py_NewRef(Py_None); }

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&FunctionFields::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionFields::qualname>, nullptr, nullptr, nullptr},
    {"__doc__", get_field<&FunctionFields::doc>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&FunctionFields::module>, nullptr, nullptr, nullptr},
    {"__annotations__", get_field<&FunctionFields::annotations>, nullptr, nullptr, nullptr},
    {"__code__", get_field<&FunctionFields::code>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<&FunctionFields::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_field<&FunctionFields::globals>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

nb::object make_code(const FunctionSpec &spec, nb::handle qualname) {
    nb::list names;
    if (spec.is_method) names.append("self");
    for (const Param &param : spec.params) names.append(param.name);
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.var_keywords) {
        names.append(spec.var_keywords);
        flags |= CO_VARKEYWORDS;
    }
    if (spec.async) flags |= CO_COROUTINE;
    nb::object empty = nb::steal(
        reinterpret_cast<PyObject *>(PyCode_NewEmpty("<tarvik.tools.tool_creator>", spec.name, 1)));
    if (!empty) throw nb::python_error();
    return empty.attr("replace")(
        "co_argcount"_a = positional_count(spec), "co_nlocals"_a = nb::len(names),
        "co_varnames"_a = nb::tuple(names), "co_flags"_a = flags, "co_qualname"_a = qualname);
}

nb::object make_annotations(const FunctionSpec &spec) {
    nb::dict annotations;
    for (const Param &param : spec.params) {
        if (param.annotation) annotations[param.name] = param.annotation;
    }
    if (spec.var_keywords && spec.var_keywords_annotation) {
        annotations[spec.var_keywords] = spec.var_keywords_annotation;
    }
    if (spec.result_annotation) annotations["return"] = spec.result_annotation;
    return annotations;
}

nb::object make_defaults(const FunctionSpec &spec) {
    size_t trailing = 0;
    for (const Param &param : spec.params) trailing = param.defaults_to_none ? trailing + 1 : 0;
    if (trailing == 0) return nb::none();
    nb::list defaults;
    for (size_t i = 0; i < trailing; ++i) defaults.append(nb::none());
    return nb::tuple(defaults);
}

}  // namespace

nb::object Call::global(nb::handle name) const {
    PyObject *found = PyDict_GetItemWithError(globals.ptr(), name.ptr());
    if (found) return nb::borrow(found);
    if (PyErr_Occurred()) throw nb::python_error();
    raise(PyExc_NameError, "name '%U' is not defined", name.ptr());
}

nb::object make_function(const FunctionSpec &spec, const char *qualname, nb::dict globals) {
    if (positional_count(spec) > Call::kMaxArguments) {
        raise(PyExc_SystemError, "%s takes more arguments than a call can hold", qualname);
    }
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(function_type.ptr());
    nb::object self = nb::steal(type->tp_alloc(type, 0));
    if (!self) throw nb::python_error();
    FunctionObject *fn = as_function(self.ptr());
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    new (&fn->fields) FunctionFields{};
    FunctionFields &f = fn->fields;
    f.name = nb::str(spec.name);
    f.qualname = nb::str(qualname);
    f.doc = spec.doc ? nb::object(nb::str(spec.doc)) : nb::none();
    f.module = dict_get(globals, nb::str("__name__"), nb::none());
    f.annotations = make_annotations(spec);
    f.code = make_code(spec, f.qualname);
    f.defaults = make_defaults(spec);
    f.globals = std::move(globals);
    const size_t count = positional_count(spec);
    f.parameter_names = checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(
            f.parameter_names.ptr(), static_cast<Py_ssize_t>(i),
            checked(PyUnicode_InternFromString(positional_name(spec, i))).release().ptr());
    }
    return self;
}

void init_function_types() {
    static PyType_Spec spec{"tarvik.tools.tool_creator.function", sizeof(FunctionObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR,
                            function_slots};
    PyObject *type = PyType_FromSpec(&spec);
    if (!type) throw nb::python_error();
    function_type = type;
    init_coroutine_type();
}

}  // namespace tarvik
