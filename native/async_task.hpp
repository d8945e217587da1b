// C++20 coroutines that await Python awaitables.
//
// A method body written as `Async body(const Call &)` may `co_await
// awaited(obj)` on any Python awaitable. The body never talks to the event
// loop itself: when it suspends, the awaited object's iterator is parked in
// the promise, and the Python coroutine object that owns the frame
// (coroutine.cpp) drives that iterator exactly as `await` would, resuming
// the body with its result or its exception.
#pragma once

#include "common.hpp"

#include <coroutine>
#include <exception>
#include <utility>

namespace tarvik {

// Memory for the frames of Async bodies, from Python's allocator, beside the
// objects the bodies work with. Frames of finished bodies are kept, a few of
// each size, for the next calls. The GIL serialises every use.
void *allocate_frame(size_t size);
void free_frame(void *frame, size_t size) noexcept;

class Async {
public:
    struct promise_type {
        nb::object awaited;        // iterator being delegated to while suspended
        nb::object sent;           // what it returned, handed to the body on resume
        nb::object thrown;         // or the Python exception it raised
        nb::object result;         // the body's co_return value
        std::exception_ptr error;  // or the exception that ended the body

        Async get_return_object() noexcept {
            return Async(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(nb::object value) noexcept { result = std::move(value); }
        void unhandled_exception() noexcept { error = std::current_exception(); }

        static void *operator new(size_t size) { return allocate_frame(size); }
        static void operator delete(void *frame, size_t size) noexcept { free_frame(frame, size); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Async(Async &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Async &operator=(Async &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Async(const Async &) = delete;
    Async &operator=(const Async &) = delete;
    ~Async() { reset(); }

    bool done() const noexcept { return handle_.done(); }
    void resume() const { handle_.resume(); }
    promise_type &promise() const noexcept { return handle_.promise(); }

private:
    explicit Async(Handle handle) noexcept : handle_(handle) {}
    void reset() noexcept {
        if (handle_) std::exchange(handle_, {}).destroy();
    }

    Handle handle_;
};

// The iterator that `await value` would drive: a coroutine itself, or what
// its __await__ returns. Raises TypeError for anything not awaitable, and
// RuntimeError for a coroutine that another await is already driving.
nb::object await_iterator(nb::handle awaitable);

// `co_await awaited(x)` inside an Async body behaves like `await x`.
//
// It takes `x` over and lets it go at once, as `await` drops its operand
// for the iterator: a temporary or a local left holding it would live in
// the frame across the suspension, where the collector cannot see it, and
// an abandoned call (task -> future -> task) would be a cycle it never frees.
class awaited {
public:
    explicit awaited(nb::object &&awaitable)
        : iterator_(await_iterator(nb::object(std::move(awaitable)))) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(Async::Handle handle) noexcept {
        promise_ = &handle.promise();
        promise_->awaited = std::move(iterator_);
    }
    nb::object await_resume();

private:
    nb::object iterator_;
    Async::promise_type *promise_ = nullptr;
};

}  // namespace tarvik
