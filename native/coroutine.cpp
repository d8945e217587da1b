// The coroutine object of the module's async methods.
//
// It owns the arguments of one call and the C++ frame of the method body.
// Sending into it resumes the frame; while the frame awaits a Python
// awaitable, every send, throw and close is delegated to that awaitable's
// iterator, as CPython does for `await`, so futures it yields reach the event
// loop unchanged and its result or exception (cancellation included) comes
// back into the frame. The rest of its life follows CPython's coroutines:
// one never awaited warns when it is dropped and a suspended one is closed
// (tp_finalize), `__await__` gives a separate iterator so the coroutine
// itself is no iterator, `await` refuses a coroutine another await drives,
// and `yield from` takes it only inside a generator-based coroutine.
#include "coroutine.hpp"

#include "errors.hpp"
#include "names.hpp"

#include <frameobject.h>

#include <array>
#include <new>
#include <optional>
#include <utility>

namespace tarvik {
namespace {

enum class Phase { created, suspended, finished };

struct CoroutineState {
    nb::object function;  // names the coroutine and gives its code
    const FunctionSpec *spec = nullptr;
    Call call;                   // owned here: the frame holds only a reference
    nb::object frame_object;     // cr_frame, made when first asked for
    std::optional<Async> frame;  // declared last so that it dies first
    Phase phase = Phase::created;
    bool running = false;
};

// Allocated by make_coroutine, which constructs the state in place.
struct CoroutineObject {
    PyObject_HEAD
    PyObject *weakrefs;
    alignas(CoroutineState) unsigned char storage[sizeof(CoroutineState)];
};

// What `__await__` and `yield from` drive: a plain iterator over the
// coroutine, as CPython's coroutine_wrapper is.
struct WrapperObject {
    PyObject_HEAD
    alignas(nb::object) unsigned char storage[sizeof(nb::object)];
};

// Created once and never freed: coroutines may outlive the module object.
PyTypeObject *coroutine_type = nullptr;
PyTypeObject *wrapper_type = nullptr;

CoroutineState &state_of(PyObject *self) {
    return *std::launder(
        reinterpret_cast<CoroutineState *>(reinterpret_cast<CoroutineObject *>(self)->storage));
}

nb::object &coroutine_of(PyObject *wrapper) {
    return *std::launder(
        reinterpret_cast<nb::object *>(reinterpret_cast<WrapperObject *>(wrapper)->storage));
}

// How one step ended: a value yielded or returned, or an error, which is
// then the pending Python error and `value` is empty.
struct Outcome {
    PySendResult status;
    nb::object value;
};

Outcome failed() { return {PYGEN_ERROR, {}}; }

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

// Runs one step with the coroutine marked running and the recursion guard
// up; a C++ exception becomes the pending Python error.
template <typename Step>
Outcome guarded(CoroutineState &state, Step &&step) noexcept {
    try {
        const RecursionGuard recursion(" in a tool_creator coroutine");
        const RunningGuard running(state);
        return std::forward<Step>(step)();
    } catch (...) {
        restore_python_error(std::current_exception());
        return failed();
    }
}

// Empties a field that the collector visits before its value goes, as
// Py_CLEAR does: a finalizer or a collection that the release sets off must
// not find the field still naming what is being destroyed.
template <typename Field>
void clear(Field &field) noexcept {
    const Field released = std::move(field);
    field = Field{};
}

// Releases the frame and what it holds, as a finished Python frame does.
void end(CoroutineState &state) noexcept {
    state.phase = Phase::finished;
    clear(state.frame);
    clear(state.frame_object);
}

// `await` may not take a coroutine that another await is driving.
bool awaited_elsewhere(const CoroutineState &state) {
    return state.phase == Phase::suspended && !state.running;
}

[[noreturn]] void raise_awaited_elsewhere() {
    raise(PyExc_RuntimeError, "coroutine is being awaited already");
}

// The frame has ended: its result, or its exception as the pending error.
Outcome finish(CoroutineState &state) {
    Async::promise_type &promise = state.frame->promise();
    const std::exception_ptr error = std::exchange(promise.error, {});
    nb::object result = std::move(promise.result);
    end(state);
    if (error) {
        restore_python_error(error);
        // As for Python coroutines: a StopIteration escaping the body must
        // not look like a return to whoever drives it.
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            nb::chain_error(PyExc_RuntimeError, "coroutine raised StopIteration");
        }
        return failed();
    }
    if (!result.is_valid()) result = nb::none();
    check_result(state.spec->result_check, result);
    return {PYGEN_RETURN, std::move(result)};
}

// Parks how the awaited iterator ended in the promise, for the frame to
// resume with.
void deliver(Async::promise_type &promise, Outcome ended) {
    if (ended.status == PYGEN_RETURN) {
        promise.sent = std::move(ended.value);
    } else {
        promise.thrown = take_error();
    }
    clear(promise.awaited);
}

Outcome send_to(nb::handle iterator, PyObject *value) {
    PyObject *result = nullptr;
    const PySendResult status = PyIter_Send(iterator.ptr(), value, &result);
    return {status, nb::steal(result)};
}

// Resumes the frame and keeps it going until an iterator it awaits yields,
// or the frame ends.
Outcome run_frame(CoroutineState &state) {
    for (;;) {
        state.frame->resume();
        if (state.frame->done()) return finish(state);
        Async::promise_type &promise = state.frame->promise();
        Outcome step = send_to(promise.awaited, Py_None);
        if (step.status == PYGEN_NEXT) return step;
        deliver(promise, std::move(step));
    }
}

// An awaited iterator's answer: a yielded value goes out to whoever drives
// the coroutine, anything else back into the frame.
Outcome pass_on(CoroutineState &state, Outcome step) {
    if (step.status == PYGEN_NEXT) return step;
    deliver(state.frame->promise(), std::move(step));
    return run_frame(state);
}

Outcome send_step(CoroutineState &state, PyObject *value) {
    if (state.phase == Phase::created) {
        state.phase = Phase::suspended;
        return run_frame(state);
    }
    return pass_on(state, send_to(state.frame->promise().awaited, value));
}

// Closes an iterator the way CPython closes the one a coroutine awaits:
// false, with the error pending, when its close() raises; a failing lookup
// of close() is reported as unraisable and otherwise ignored.
bool close_iterator(nb::handle iterator) {
    nb::object close;
    try {
        close = optional_attr(iterator, names::close);
    } catch (nb::python_error &error) {
        error.restore();
        PyErr_WriteUnraisable(iterator.ptr());
        return true;
    }
    if (!close.is_valid()) return true;
    return nb::steal(PyObject_CallNoArgs(close.ptr())).is_valid();
}

// The value a StopIteration carries, read from the C field as CPython does,
// so that a subclass's `value` property has no say.
nb::object stop_iteration_value(nb::handle stop) {
    PyObject *value = reinterpret_cast<PyStopIterationObject *>(stop.ptr())->value;
    return nb::borrow(value ? value : Py_None);
}

// What throw() was given: passed on as given to an awaited iterator's own
// throw(), turned into one exception when it goes into the frame.
struct Thrown {
    PyObject *const *args;
    Py_ssize_t count;

    PyObject *type() const { return args[0]; }
    PyObject *value() const { return count > 1 ? args[1] : nullptr; }
    PyObject *traceback() const { return count > 2 && args[2] != Py_None ? args[2] : nullptr; }
};

// The exception that `throw(type[, value[, traceback]])` raises, by
// CPython's rules for the legacy forms.
nb::object exception_of(const Thrown &thrown) {
    PyObject *type = thrown.type();
    PyObject *value = thrown.value();
    PyObject *traceback = thrown.traceback();
    if (traceback && !PyTraceBack_Check(traceback)) {
        raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    }
    nb::object exception;
    if (PyExceptionClass_Check(type)) {
        if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject *>(type))) {
            exception = nb::borrow(value);
        } else if (!value || value == Py_None) {
            exception = nb::steal(PyObject_CallNoArgs(type));
        } else if (PyTuple_Check(value)) {
            exception = nb::steal(PyObject_Call(type, value, nullptr));
        } else {
            exception = nb::steal(PyObject_CallOneArg(type, value));
        }
        // An exception class that fails to instantiate throws that failure.
        if (!exception.is_valid()) exception = take_error();
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        }
        exception = nb::borrow(type);
    } else {
        raise(PyExc_TypeError,
              "exceptions must be classes or instances deriving from BaseException, not %s",
              Py_TYPE(type)->tp_name);
    }
    if (traceback && PyException_SetTraceback(exception.ptr(), traceback) < 0) {
        throw nb::python_error();
    }
    return exception;
}

// Raises the thrown exception inside the frame, at the await it is
// suspended in.
Outcome throw_into_frame(CoroutineState &state, const Thrown &thrown) {
    Async::promise_type &promise = state.frame->promise();
    promise.thrown = exception_of(thrown);
    clear(promise.awaited);
    return run_frame(state);
}

Outcome throw_step(CoroutineState &state, const Thrown &thrown) {
    // Held here: the frame stays delegated to the iterator until it takes an
    // outcome back, so a throw that cannot reach the iterator leaves the
    // coroutine suspended on it, as a Python coroutine stays in its await.
    const nb::object awaited = state.frame->promise().awaited;
    if (PyErr_GivenExceptionMatches(thrown.type(), PyExc_GeneratorExit)) {
        if (!close_iterator(awaited)) return pass_on(state, failed());
        return throw_into_frame(state, thrown);
    }
    const nb::object throw_method = optional_attr(awaited, names::throw_);
    if (!throw_method.is_valid()) return throw_into_frame(state, thrown);
    Outcome step{PYGEN_NEXT,
                 nb::steal(PyObject_Vectorcall(throw_method.ptr(), thrown.args,
                                               static_cast<size_t>(thrown.count), nullptr))};
    if (!step.value.is_valid()) {
        step.status = PYGEN_ERROR;
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            step = {PYGEN_RETURN, stop_iteration_value(take_error())};
        }
    }
    return pass_on(state, std::move(step));
}

Outcome close_step(CoroutineState &state) {
    Async::promise_type &promise = state.frame->promise();
    if (close_iterator(promise.awaited)) PyErr_SetNone(PyExc_GeneratorExit);
    deliver(promise, failed());
    return run_frame(state);
}

// The checks every send starts with, in CPython's order.
bool refuse_send(const CoroutineState &state, PyObject *value) {
    if (state.phase == Phase::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return true;
    }
    if (state.running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (state.phase == Phase::finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    return false;
}

Outcome send(CoroutineState &state, PyObject *value) noexcept {
    if (refuse_send(state, value)) return failed();
    return guarded(state, [&] { return send_step(state, value); });
}

Outcome throw_in(CoroutineState &state, const Thrown &thrown) noexcept {
    if (state.running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return failed();
    }
    if (state.phase == Phase::suspended) {
        return guarded(state, [&] { return throw_step(state, thrown); });
    }
    // Nothing runs: a fresh coroutine ends with the exception, a finished
    // one refuses it.
    nb::object exception;
    try {
        exception = exception_of(thrown);
    } catch (...) {
        restore_python_error(std::current_exception());
        return failed();
    }
    if (state.phase == Phase::finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return failed();
    }
    end(state);
    set_error(std::move(exception));
    return failed();
}

// close(): the coroutine's return value (None before 3.13, as CPython), or
// nullptr with the error that ended it.
PyObject *close(CoroutineState &state) noexcept {
    if (state.running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (state.phase != Phase::suspended) {
        end(state);
        Py_RETURN_NONE;
    }
    Outcome outcome = guarded(state, [&] { return close_step(state); });
    switch (outcome.status) {
        case PYGEN_NEXT:
            PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        case PYGEN_RETURN:
#if PY_VERSION_HEX >= 0x030D0000
            return outcome.value.release().ptr();
#else
            Py_RETURN_NONE;
#endif
        case PYGEN_ERROR: break;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// Sets StopIteration(value) as CPython does for a returned value.
void set_stop_iteration(nb::handle value) noexcept {
    // A tuple or an exception would be taken as the arguments or as the
    // exception itself: wrap it in an instance first.
    if (!PyTuple_Check(value.ptr()) && !PyExceptionInstance_Check(value.ptr())) {
        PyErr_SetObject(PyExc_StopIteration, value.ptr());
        return;
    }
    const nb::object stop = nb::steal(PyObject_CallOneArg(PyExc_StopIteration, value.ptr()));
    if (stop.is_valid()) PyErr_SetObject(PyExc_StopIteration, stop.ptr());
}

// send() and throw() as methods: a returned value is raised as StopIteration.
PyObject *method_result(Outcome outcome) noexcept {
    if (outcome.status == PYGEN_RETURN) {
        set_stop_iteration(outcome.value);
        return nullptr;
    }
    return outcome.value.release().ptr();
}

// __next__: like send(None), but the end of an iterator without a value
// raises no StopIteration object of its own.
PyObject *next_result(Outcome outcome) noexcept {
    if (outcome.status == PYGEN_RETURN && outcome.value.is_none()) return nullptr;
    return method_result(std::move(outcome));
}

PyObject *throw_method(CoroutineState &state, PyObject *const *args, Py_ssize_t count) noexcept {
    if (count < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", count);
        return nullptr;
    }
    if (count > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", count);
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (count > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, use "
                                  "the single-arg signature instead.",
                                  1) < 0) {
        return nullptr;
    }
#endif
    return method_result(throw_in(state, Thrown{args, count}));
}

// "coroutine '...' was never awaited", through the hook of the warnings
// module that CPython's own coroutines use, so filters and origins apply.
void warn_never_awaited(PyObject *self) noexcept {
    bool warned = false;
    // Only a warnings module already imported: this may run at shutdown.
    PyObject *modules = PySys_GetObject("modules");
    PyObject *warnings = modules ? PyDict_GetItemString(modules, "warnings") : nullptr;
    if (warnings) {
        const nb::object hook =
            nb::steal(PyObject_GetAttrString(warnings, "_warn_unawaited_coroutine"));
        if (hook.is_valid()) {
            const nb::object result = nb::steal(PyObject_CallOneArg(hook.ptr(), self));
            warned = result.is_valid() || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
        }
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (warned) return;
    const nb::object qualname =
        nb::steal(PyObject_GetAttrString(state_of(self).function.ptr(), "__qualname__"));
    if (!qualname.is_valid() ||
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                         qualname.ptr()) < 0) {
        PyErr_WriteUnraisable(self);
    }
}

// --- the coroutine type ------------------------------------------------------

PyObject *new_wrapper(PyObject *coroutine) noexcept {
    WrapperObject *wrapper = PyObject_GC_New(WrapperObject, wrapper_type);
    if (!wrapper) return nullptr;
    new (wrapper->storage) nb::object(nb::borrow(coroutine));
    PyObject_GC_Track(wrapper);
    return reinterpret_cast<PyObject *>(wrapper);
}

PySendResult coroutine_am_send(PyObject *self, PyObject *value, PyObject **result) noexcept {
    Outcome outcome = send(state_of(self), value);
    *result = outcome.value.release().ptr();
    return outcome.status;
}

PyObject *coroutine_send(PyObject *self, PyObject *value) noexcept {
    return method_result(send(state_of(self), value));
}

PyObject *coroutine_throw(PyObject *self, PyObject *const *args, Py_ssize_t count) noexcept {
    return throw_method(state_of(self), args, count);
}

PyObject *coroutine_close(PyObject *self, PyObject *) noexcept { return close(state_of(self)); }

// The await slot, which `await` uses: it refuses a coroutine that another
// await is driving, as CPython's GET_AWAITABLE does for its own.
PyObject *coroutine_am_await(PyObject *self) noexcept {
    if (awaited_elsewhere(state_of(self))) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return new_wrapper(self);
}

// __await__() called by name hands out an iterator without that check, as
// CPython's coroutines do.
PyObject *coroutine_await_method(PyObject *self, PyObject *) noexcept { return new_wrapper(self); }

// The opcode of `yield from`'s first step, which iterates its operand.
int yield_from_opcode() {
    static int opcode = -1;
    if (opcode < 0) {
        const nb::object opmap = nb::module_::import_("opcode").attr("opmap");
        opcode = nb::cast<int>(opmap["GET_YIELD_FROM_ITER"]);
    }
    return opcode;
}

// True when the running Python frame is at a `yield from`.
bool at_yield_from(PyFrameObject *frame, nb::handle code) {
    const int last = PyFrame_GetLasti(frame);
    if (last < 0) return false;
    const nb::object bytecode =
        checked(PyCode_GetCode(reinterpret_cast<PyCodeObject *>(code.ptr())));
    const Py_ssize_t size = PyBytes_GET_SIZE(bytecode.ptr());
    const auto *instructions =
        reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(bytecode.ptr()));
    return last < size && instructions[last] == yield_from_opcode();
}

// Coroutines are not iterable, except to `yield from` inside a
// generator-based coroutine (@types.coroutine), which CPython allows.
PyObject *coroutine_iter(PyObject *self) noexcept {
    return python_boundary([&]() -> nb::object {
        PyFrameObject *frame = PyEval_GetFrame();
        if (frame) {
            const nb::object code = nb::steal(reinterpret_cast<PyObject *>(PyFrame_GetCode(frame)));
            if (at_yield_from(frame, code)) {
                const int flags = reinterpret_cast<PyCodeObject *>(code.ptr())->co_flags;
                if (!(flags & (CO_COROUTINE | CO_ITERABLE_COROUTINE))) {
                    raise(PyExc_TypeError,
                          "cannot 'yield from' a coroutine object in a non-coroutine generator");
                }
                return checked(new_wrapper(self));
            }
        }
        raise(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(self)->tp_name);
    });
}

void coroutine_finalize(PyObject *self) noexcept {
    CoroutineState &state = state_of(self);
    if (state.phase == Phase::finished) return;
    const nb::object pending = PyErr_Occurred() ? take_error() : nb::object();
    if (state.phase == Phase::created) {
        warn_never_awaited(self);
    } else {
        const nb::object closed = nb::steal(close(state));
        if (!closed.is_valid() && PyErr_Occurred()) PyErr_WriteUnraisable(self);
    }
    if (pending.is_valid()) set_error(pending);
}

int coroutine_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    const CoroutineState &state = state_of(self);
    Py_VISIT(state.function.ptr());
    Py_VISIT(state.call.globals.ptr());
    Py_VISIT(state.call.kwargs.ptr());
    for (const nb::object &argument : state.call.args) Py_VISIT(argument.ptr());
    Py_VISIT(state.frame_object.ptr());
    if (state.frame) {
        const Async::promise_type &promise = state.frame->promise();
        Py_VISIT(promise.awaited.ptr());
        Py_VISIT(promise.sent.ptr());
        Py_VISIT(promise.thrown.ptr());
        Py_VISIT(promise.result.ptr());
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int coroutine_clear(PyObject *self) noexcept {
    CoroutineState &state = state_of(self);
    if (state.running) return 0;
    end(state);
    const Call released = std::move(state.call);
    const nb::object function = std::move(state.function);
    return 0;
}

void coroutine_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<CoroutineObject *>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    // A finished coroutine has nothing to finalize.
    if (state_of(self).phase != Phase::finished) {
        // Tracked again while the finalizer runs, since it may resurrect.
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
        PyObject_GC_UnTrack(self);
    }
    state_of(self).~CoroutineState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *coroutine_repr(PyObject *self) noexcept {
    const nb::object qualname =
        nb::steal(PyObject_GetAttrString(state_of(self).function.ptr(), "__qualname__"));
    if (!qualname.is_valid()) return nullptr;
    return PyUnicode_FromFormat("<%s object %S at %p>", Py_TYPE(self)->tp_name, qualname.ptr(),
                                self);
}

PyObject *get_function_attr(PyObject *self, void *name) noexcept {
    return PyObject_GetAttrString(state_of(self).function.ptr(), static_cast<const char *>(name));
}

PyObject *get_running(PyObject *self, void *) noexcept {
    return PyBool_FromLong(state_of(self).running);
}

PyObject *get_suspended(PyObject *self, void *) noexcept {
    const CoroutineState &state = state_of(self);
    return PyBool_FromLong(state.phase == Phase::suspended && !state.running);
}

PyObject *get_awaited(PyObject *self, void *) noexcept {
    const CoroutineState &state = state_of(self);
    if (state.phase == Phase::suspended && state.frame &&
        state.frame->promise().awaited.is_valid()) {
        return Py_NewRef(state.frame->promise().awaited.ptr());
    }
    Py_RETURN_NONE;
}

// A Python frame of the method's code object, for as long as the coroutine
// has not finished. It names the method and its module; a C++ frame has no
// Python line or locals to show, so it stays at the code's first line, with
// empty f_locals and no f_back.
PyObject *get_frame(PyObject *self, void *) noexcept {
    CoroutineState &state = state_of(self);
    if (state.phase == Phase::finished) Py_RETURN_NONE;
    if (!state.frame_object.is_valid()) {
        const nb::object code = nb::steal(PyObject_GetAttrString(state.function.ptr(), "__code__"));
        if (!code.is_valid()) return nullptr;
        if (!PyCode_Check(code.ptr())) {
            PyErr_SetString(PyExc_TypeError, "cr_frame: the function's __code__ is not code");
            return nullptr;
        }
        PyFrameObject *frame =
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.ptr()),
                        state.call.globals.ptr(), nullptr);
        if (!frame) return nullptr;
        state.frame_object = nb::steal(reinterpret_cast<PyObject *>(frame));
    }
    return Py_NewRef(state.frame_object.ptr());
}

// Where the coroutine was created is not recorded: origin tracking
// (sys.set_coroutine_origin_tracking_depth) has no public C API.
PyObject *get_origin(PyObject *, void *) noexcept { Py_RETURN_NONE; }

PyMethodDef coroutine_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(coroutine_send), METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(coroutine_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next "
     "iterated value or raise\nStopIteration."},
    {"close", reinterpret_cast<PyCFunction>(coroutine_close), METH_NOARGS,
     "close() -> raise GeneratorExit inside coroutine."},
    // METH_COEXIST: the method, not the am_await slot's wrapper, answers
    // `coro.__await__()`.
    {"__await__", reinterpret_cast<PyCFunction>(coroutine_await_method), METH_NOARGS | METH_COEXIST,
     "Return an iterator to be used in await expression."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_function_attr, nullptr, nullptr, const_cast<char *>("__name__")},
    {"__qualname__", get_function_attr, nullptr, nullptr, const_cast<char *>("__qualname__")},
    {"cr_code", get_function_attr, nullptr, nullptr, const_cast<char *>("__code__")},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_awaited, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(coroutine_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void *>(coroutine_finalize)},
    {Py_tp_traverse, reinterpret_cast<void *>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(coroutine_repr)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_tp_members, coroutine_members},
    {Py_am_await, reinterpret_cast<void *>(coroutine_am_await)},
    {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
    {0, nullptr},
};

// --- the iterator that __await__ returns --------------------------------------

CoroutineState &wrapped_state(PyObject *wrapper) { return state_of(coroutine_of(wrapper).ptr()); }

PyObject *wrapper_iternext(PyObject *self) noexcept {
    return next_result(send(wrapped_state(self), Py_None));
}

PySendResult wrapper_am_send(PyObject *self, PyObject *value, PyObject **result) noexcept {
    return coroutine_am_send(coroutine_of(self).ptr(), value, result);
}

PyObject *wrapper_send(PyObject *self, PyObject *value) noexcept {
    return method_result(send(wrapped_state(self), value));
}

PyObject *wrapper_throw(PyObject *self, PyObject *const *args, Py_ssize_t count) noexcept {
    return throw_method(wrapped_state(self), args, count);
}

PyObject *wrapper_close(PyObject *self, PyObject *) noexcept { return close(wrapped_state(self)); }

int wrapper_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(coroutine_of(self).ptr());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void wrapper_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    coroutine_of(self).~object();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef wrapper_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(wrapper_send), METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(wrapper_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next "
     "iterated value or raise\nStopIteration."},
    {"close", reinterpret_cast<PyCFunction>(wrapper_close), METH_NOARGS,
     "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(wrapper_traverse)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(wrapper_iternext)},
    {Py_tp_methods, wrapper_methods},
    {Py_am_send, reinterpret_cast<void *>(wrapper_am_send)},
    {0, nullptr},
};

// A type that messages name as CPython names its own ("'coroutine' object
// is not an iterator"), while its __module__ is this module.
PyTypeObject *make_type(PyType_Spec &spec, const char *short_name) {
    PyObject *type = PyType_FromSpec(&spec);
    if (!type) throw nb::python_error();
    auto *made = reinterpret_cast<PyTypeObject *>(type);
    made->tp_name = short_name;
    PyType_Modified(made);
    return made;
}

// Frames up to kLargestKeptFrame bytes are kept per 64-byte size class.
constexpr size_t kFrameSizeClass = 64;
constexpr size_t kLargestKeptFrame = 4096;
constexpr size_t kFramesKeptPerClass = 8;

struct KeptFrames {
    std::array<void *, kFramesKeptPerClass> frames{};
    size_t count = 0;
};

std::array<KeptFrames, kLargestKeptFrame / kFrameSizeClass> kept_frames;

size_t size_class(size_t size) { return ((size + kFrameSizeClass - 1) / kFrameSizeClass) - 1; }

}  // namespace

void *allocate_frame(size_t size) {
    if (size <= kLargestKeptFrame) {
        KeptFrames &kept = kept_frames[size_class(size)];
        if (kept.count > 0) return kept.frames[--kept.count];
        size = (size_class(size) + 1) * kFrameSizeClass;
    }
    void *frame = PyMem_Malloc(size);
    if (!frame) throw std::bad_alloc();
    return frame;
}

void free_frame(void *frame, size_t size) noexcept {
    if (size <= kLargestKeptFrame) {
        KeptFrames &kept = kept_frames[size_class(size)];
        if (kept.count < kFramesKeptPerClass) {
            kept.frames[kept.count++] = frame;
            return;
        }
    }
    PyMem_Free(frame);
}

nb::object awaited::await_resume() {
    if (promise_->thrown.is_valid()) {
        set_error(std::move(promise_->thrown));
        throw nb::python_error();
    }
    return std::move(promise_->sent);
}

nb::object await_iterator(nb::handle awaitable) {
    PyObject *object = awaitable.ptr();
    if (Py_TYPE(object) == coroutine_type) {
        // Driven directly, as CPython's own coroutines are.
        if (awaited_elsewhere(state_of(object))) raise_awaited_elsewhere();
        return nb::borrow(awaitable);
    }
    if (PyCoro_CheckExact(object)) {
        if (truthy(get_attr(awaitable, names::cr_suspended))) raise_awaited_elsewhere();
        return nb::borrow(awaitable);
    }
    if (PyGen_CheckExact(object)) {
        // Generator-based coroutines (types.coroutine) are awaitable as they are.
        const nb::object code = awaitable.attr("gi_code");
        const int flags = nb::cast<int>(code.attr("co_flags"));
        if (flags & CO_ITERABLE_COROUTINE) return nb::borrow(awaitable);
    }
    PyAsyncMethods *async = Py_TYPE(object)->tp_as_async;
    if (!async || !async->am_await) {
        raise(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(object)->tp_name);
    }
    nb::object iterator = checked(async->am_await(object));
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
    constexpr unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                    Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    static PyType_Spec wrapper_spec{"tarvik.tools.tool_creator.coroutine_wrapper",
                                    sizeof(WrapperObject), 0, flags, wrapper_slots};
    static PyType_Spec coroutine_spec{"tarvik.tools.tool_creator.coroutine",
                                      sizeof(CoroutineObject), 0, flags, coroutine_slots};
    wrapper_type = make_type(wrapper_spec, "coroutine_wrapper");
    coroutine_type = make_type(coroutine_spec, "coroutine");
    // Set after the type is made, so that no __iter__ appears in its
    // namespace: to hasattr(), the ABCs and iter() a coroutine is no
    // iterable; only `yield from` finds the slot.
    coroutine_type->tp_iter = coroutine_iter;
    PyType_Modified(coroutine_type);
    nb::module_::import_("collections.abc")
        .attr("Coroutine")
        .attr("register")(nb::handle(reinterpret_cast<PyObject *>(coroutine_type)));
}

nb::object make_coroutine(nb::handle function, const FunctionSpec &spec, Call &&call) {
    CoroutineObject *object = PyObject_GC_New(CoroutineObject, coroutine_type);
    if (!object) throw nb::python_error();
    object->weakrefs = nullptr;
    nb::object self = nb::steal(reinterpret_cast<PyObject *>(object));
    CoroutineState &state = *new (object->storage) CoroutineState{};
    state.function = nb::borrow(function);
    state.spec = &spec;
    state.call = std::move(call);
    try {
        // The frame refers to the call that this object owns, so it starts only now.
        state.frame.emplace(spec.async(state.call));
    } catch (...) {
        state.phase = Phase::finished;  // no frame: nothing to warn about when it goes
        PyObject_GC_Track(self.ptr());
        throw;
    }
    // Seen by the collector only once it is whole.
    PyObject_GC_Track(self.ptr());
    return self;
}

}  // namespace tarvik
