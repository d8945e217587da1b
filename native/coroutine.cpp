// The coroutine object of the module's async methods.
//
// It owns the arguments of one call and the C++ frame of the method body.
// Sending into it resumes the frame; while the frame awaits a Python
// awaitable, every send, throw and close is delegated to that awaitable's
// iterator, so futures it yields reach the event loop unchanged and its
// result or exception (cancellation included) comes back into the frame.
// The fast am_send slot does the work; send/throw/close/__next__ map onto it.
#include "coroutine.hpp"

#include "errors.hpp"

#include <new>
#include <optional>
#include <utility>

namespace tarvik {
namespace {

enum class Phase { created, suspended, finished };

struct CoroutineState {
    nb::object function;  // names the coroutine
    const FunctionSpec *spec;
    Call call;                   // owned here: the frame holds only a reference
    std::optional<Async> frame;  // declared last so that it dies first
    Phase phase = Phase::created;
    bool running = false;
};

struct CoroutineObject {
    PyObject_HEAD
    CoroutineState state;
};

nb::handle coroutine_type;

CoroutineState &state_of(PyObject *self) {
    return reinterpret_cast<CoroutineObject *>(self)->state;
}

// Marks the coroutine as executing for the duration of one step.
class RunningGuard {
public:
    explicit RunningGuard(CoroutineState &state) : state_(state) { state_.running = true; }
    ~RunningGuard() { state_.running = false; }
    RunningGuard(const RunningGuard &) = delete;
    RunningGuard &operator=(const RunningGuard &) = delete;
    RunningGuard(RunningGuard &&) = delete;
    RunningGuard &operator=(RunningGuard &&) = delete;

private:
    CoroutineState &state_;
};

bool refuse_if_running(const CoroutineState &state) {
    if (!state.running) return false;
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
}

void set_stop_iteration(nb::handle value) {
    nb::object stop = nb::steal(PyObject_CallOneArg(PyExc_StopIteration, value.ptr()));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.ptr());
}

// The frame has ended: hand its result or exception to the caller.
PySendResult finish(CoroutineState &state, PyObject **out) {
    Async::promise_type &promise = state.frame->promise();
    std::exception_ptr error = std::exchange(promise.error, {});
    nb::object result = std::move(promise.result);
    state.frame.reset();
    state.phase = Phase::finished;
    try {
        if (error) {
            try {
                std::rethrow_exception(error);
            } catch (nb::python_error &e) {
                // As for Python coroutines: a StopIteration escaping the body
                // must not look like a return to whoever drives us.
                if (e.matches(PyExc_StopIteration)) {
                    nb::raise_from(e, PyExc_RuntimeError, "coroutine raised StopIteration");
                }
                throw;
            }
        }
        if (!result.is_valid()) result = nb::none();
        check_result(state.spec->result_check, result);
    } catch (...) {
        restore_python_error(std::current_exception());
        return PYGEN_ERROR;
    }
    *out = result.release().ptr();
    return PYGEN_RETURN;
}

// Records how the awaited iterator's step ended, for the frame to pick up.
void deliver(Async::promise_type &promise, PySendResult status, PyObject *value) {
    promise.awaited.reset();
    if (status == PYGEN_RETURN) {
        promise.sent = nb::steal(value);
    } else {
        promise.thrown = std::make_exception_ptr(nb::python_error());
    }
}

// Sends `arg` into the awaited iterator. True when it yielded (`*out` holds
// the value); otherwise its outcome waits in the promise for the frame.
bool step_awaited(Async::promise_type &promise, PyObject *arg, PyObject **out) {
    PyObject *value = nullptr;
    const PySendResult status = PyIter_Send(promise.awaited.ptr(), arg, &value);
    if (status == PYGEN_NEXT) {
        *out = value;
        return true;
    }
    deliver(promise, status, value);
    return false;
}

// Resumes the frame and runs it until it yields through an awaited iterator
// or finishes.
PySendResult run_frame(CoroutineState &state, PyObject **out) {
    for (;;) {
        state.frame->resume();
        if (state.frame->done()) return finish(state, out);
        state.phase = Phase::suspended;
        if (step_awaited(state.frame->promise(), Py_None, out)) return PYGEN_NEXT;
    }
}

PySendResult guarded(PySendResult (*step)(CoroutineState &, PyObject *, PyObject **),
                     CoroutineState &state, PyObject *arg, PyObject **out) noexcept {
    *out = nullptr;
    try {
        RunningGuard running(state);
        return step(state, arg, out);
    } catch (...) {
        restore_python_error(std::current_exception());
        return PYGEN_ERROR;
    }
}

PySendResult send_step(CoroutineState &state, PyObject *arg, PyObject **out) {
    if (state.phase == Phase::created) {
        state.phase = Phase::suspended;
        return run_frame(state, out);
    }
    if (step_awaited(state.frame->promise(), arg, out)) return PYGEN_NEXT;
    return run_frame(state, out);
}

PySendResult coroutine_am_send(PyObject *self, PyObject *arg, PyObject **out) noexcept {
    CoroutineState &state = state_of(self);
    *out = nullptr;
    if (refuse_if_running(state)) return PYGEN_ERROR;
    if (state.phase == Phase::finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (state.phase == Phase::created && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    return guarded(send_step, state, arg, out);
}

// Closes an iterator the way Python closes a delegated-to generator.
void close_iterator(nb::handle iterator) {
    nb::object close = nb::steal(PyObject_GetAttrString(iterator.ptr(), "close"));
    if (!close) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return;
    }
    close();
}

// Throws the current Python error into the suspended frame, through the
// iterator it awaits.
PySendResult throw_step(CoroutineState &state, PyObject *, PyObject **out) {
    nb::python_error exception;
    Async::promise_type &promise = state.frame->promise();
    // The frame stays delegated to the iterator until it takes an outcome
    // back: when the throw cannot even reach the iterator, the coroutine is
    // still suspended on it, as a generator stays in its `yield from`.
    const nb::object awaited = promise.awaited;

    if (exception.matches(PyExc_GeneratorExit)) {
        try {
            close_iterator(awaited);
            promise.thrown = std::make_exception_ptr(exception);
        } catch (nb::python_error &) {
            promise.thrown = std::current_exception();
        }
        promise.awaited.reset();
        return run_frame(state, out);
    }

    nb::object thrower = nb::steal(PyObject_GetAttrString(awaited.ptr(), "throw"));
    if (!thrower) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        promise.thrown = std::make_exception_ptr(exception);
        promise.awaited.reset();
        return run_frame(state, out);
    }
    PyObject *value = PyObject_CallOneArg(thrower.ptr(), exception.value().ptr());
    if (value) {
        *out = value;
        return PYGEN_NEXT;
    }
    nb::python_error raised;
    if (raised.matches(PyExc_StopIteration)) {
        promise.sent = raised.value().attr("value");
    } else {
        promise.thrown = std::make_exception_ptr(raised);
    }
    promise.awaited.reset();
    return run_frame(state, out);
}

// Throws the current Python error into the coroutine.
PySendResult throw_current(CoroutineState &state, PyObject **out) noexcept {
    *out = nullptr;
    if (state.phase == Phase::finished) {
        // As CPython's coroutines do, once the arguments made an exception.
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (state.phase != Phase::suspended) {
        // Nothing runs: a fresh coroutine is closed and the error comes straight back.
        state.frame.reset();
        state.phase = Phase::finished;
        return PYGEN_ERROR;
    }
    return guarded(throw_step, state, nullptr, out);
}

PyObject *as_method_result(PySendResult status, PyObject *value) {
    if (status == PYGEN_NEXT) return value;
    if (status == PYGEN_RETURN) {
        nb::object result = nb::steal(value);
        set_stop_iteration(result);
    }
    return nullptr;
}

PyObject *coroutine_send(PyObject *self, PyObject *arg) noexcept {
    PyObject *value = nullptr;
    const PySendResult status = coroutine_am_send(self, arg, &value);
    return as_method_result(status, value);
}

PyObject *coroutine_iternext(PyObject *self) noexcept {
    PyObject *value = nullptr;
    const PySendResult status = coroutine_am_send(self, Py_None, &value);
    if (status == PYGEN_RETURN) {
        nb::object result = nb::steal(value);
        if (!result.is_none()) set_stop_iteration(result);
        return nullptr;
    }
    return status == PYGEN_NEXT ? value : nullptr;
}

// Sets the exception that `throw(type[, value[, traceback]])` describes.
bool set_thrown_exception(PyObject *type, PyObject *value, PyObject *traceback) {
    if (traceback == Py_None) traceback = nullptr;
    if (traceback && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    nb::object instance;
    if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        instance = nb::borrow(type);
    } else if (PyExceptionClass_Check(type)) {
        if (!value || value == Py_None) {
            instance = nb::steal(PyObject_CallNoArgs(type));
        } else if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject *>(type))) {
            instance = nb::borrow(value);
        } else if (PyTuple_Check(value)) {
            instance = nb::steal(PyObject_Call(type, value, nullptr));
        } else {
            instance = nb::steal(PyObject_CallOneArg(type, value));
        }
        if (!instance) return false;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    if (traceback && PyException_SetTraceback(instance.ptr(), traceback) < 0) return false;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(instance.ptr())), instance.ptr());
    return true;
}

PyObject *coroutine_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument and at most 3, got %zd",
                     nargs);
        return nullptr;
    }
    CoroutineState &state = state_of(self);
    if (refuse_if_running(state)) return nullptr;
    if (!set_thrown_exception(args[0], nargs > 1 ? args[1] : nullptr,
                              nargs > 2 ? args[2] : nullptr)) {
        return nullptr;
    }
    PyObject *value = nullptr;
    const PySendResult status = throw_current(state, &value);
    return as_method_result(status, value);
}

PyObject *coroutine_close(PyObject *self, PyObject *) noexcept {
    CoroutineState &state = state_of(self);
    if (refuse_if_running(state)) return nullptr;
    if (state.phase != Phase::suspended) {
        state.frame.reset();
        state.phase = Phase::finished;
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject *value = nullptr;
    const PySendResult status = throw_current(state, &value);
    if (status == PYGEN_NEXT) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) return value;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject *coroutine_await(PyObject *self) noexcept { return Py_NewRef(self); }

PyObject *coroutine_await_method(PyObject *self, PyObject *) noexcept { return Py_NewRef(self); }

PyObject *get_function_attr(PyObject *self, void *name) noexcept {
    return PyObject_GetAttrString(state_of(self).function.ptr(), static_cast<const char *>(name));
}

PyObject *get_running(PyObject *self, void *) noexcept {
    return PyBool_FromLong(state_of(self).running);
}

PyObject *get_awaited(PyObject *self, void *) noexcept {
    const CoroutineState &state = state_of(self);
    if (state.phase == Phase::suspended && state.frame &&
        state.frame->promise().awaited.is_valid()) {
        return Py_NewRef(state.frame->promise().awaited.ptr());
    }
    Py_RETURN_NONE;
}

PyObject *get_none(PyObject *, void *) noexcept { Py_RETURN_NONE; }

int coroutine_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    const CoroutineState &state = state_of(self);
    Py_VISIT(state.function.ptr());
    Py_VISIT(state.call.globals.ptr());
    Py_VISIT(state.call.kwargs.ptr());
    for (const nb::object &argument : state.call.args) Py_VISIT(argument.ptr());
    if (state.frame) {
        const Async::promise_type &promise = state.frame->promise();
        Py_VISIT(promise.awaited.ptr());
        Py_VISIT(promise.sent.ptr());
        Py_VISIT(promise.result.ptr());
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int coroutine_clear(PyObject *self) noexcept {
    CoroutineState &state = state_of(self);
    if (state.running) return 0;
    state.frame.reset();
    state.phase = Phase::finished;
    Call released = std::move(state.call);
    nb::object function = std::move(state.function);
    return 0;
}

void coroutine_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reinterpret_cast<CoroutineObject *>(self)->state.~CoroutineState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *coroutine_repr(PyObject *self) noexcept {
    nb::object qualname = nb::steal(get_function_attr(self, const_cast<char *>("__qualname__")));
    if (!qualname) return nullptr;
    return PyUnicode_FromFormat("<coroutine object %S at %p>", qualname.ptr(), self);
}

PyMethodDef coroutine_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(coroutine_send), METH_O,
     "send(value) -> send 'value' into the coroutine; return the next yielded value or raise "
     "StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(coroutine_throw)),
     METH_FASTCALL,
     "throw(value) -> raise the exception inside the coroutine; return the next yielded value or "
     "raise StopIteration."},
    {"close", reinterpret_cast<PyCFunction>(coroutine_close), METH_NOARGS,
     "close() -> raise GeneratorExit inside the coroutine."},
    {"__await__", reinterpret_cast<PyCFunction>(coroutine_await_method), METH_NOARGS,
     "Return an iterator to be used in await expression."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_function_attr, nullptr, nullptr, const_cast<char *>("__name__")},
    {"__qualname__", get_function_attr, nullptr, nullptr, const_cast<char *>("__qualname__")},
    {"cr_code", get_function_attr, nullptr, nullptr, const_cast<char *>("__code__")},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_awaited, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(coroutine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(coroutine_repr)},
    {Py_tp_iternext, reinterpret_cast<void *>(coroutine_iternext)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_am_await, reinterpret_cast<void *>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
    {0, nullptr},
};

}  // namespace

nb::object await_iterator(nb::handle awaitable) {
    PyObject *object = awaitable.ptr();
    if (PyCoro_CheckExact(object)) return nb::borrow(awaitable);
    if (PyGen_CheckExact(object)) {
        // Generator-based coroutines (types.coroutine) are awaitable as they are.
        nb::object code = awaitable.attr("gi_code");
        const int flags = nb::cast<int>(code.attr("co_flags"));
        if (flags & CO_ITERABLE_COROUTINE) return nb::borrow(awaitable);
    }
    PyAsyncMethods *async = Py_TYPE(object)->tp_as_async;
    if (!async || !async->am_await) {
        raise(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(object)->tp_name);
    }
    nb::object iterator = nb::steal(async->am_await(object));
    if (!iterator) throw nb::python_error();
    if (PyCoro_CheckExact(iterator.ptr())) {
        raise(PyExc_TypeError, "__await__() returned a coroutine");
    }
    if (!PyIter_Check(iterator.ptr())) {
        raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
              Py_TYPE(iterator.ptr())->tp_name);
    }
    return iterator;
}

void init_coroutine_type() {
    static PyType_Spec spec{"tarvik.tools.tool_creator.coroutine", sizeof(CoroutineObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, coroutine_slots};
    PyObject *type = PyType_FromSpec(&spec);
    if (!type) throw nb::python_error();
    coroutine_type = type;
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(coroutine_type);
}

nb::object make_coroutine(nb::handle function, const FunctionSpec &spec, Call &&call) {
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(coroutine_type.ptr());
    nb::object self = nb::steal(type->tp_alloc(type, 0));
    if (!self) throw nb::python_error();
    CoroutineState *state = new (&state_of(self.ptr())) CoroutineState{};
    state->function = nb::borrow(function);
    state->spec = &spec;
    state->call = std::move(call);
    // The frame refers to the call that this object owns, so it starts only now.
    state->frame.emplace(spec.async(state->call));
    return self;
}

}  // namespace tarvik
