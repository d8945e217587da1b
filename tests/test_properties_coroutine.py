"""The native coroutine against CPython's own, step by step.

Both await the same kind of scripted awaitable: it yields a few times, then
returns or raises, and its `throw` and `close` are missing, fail, pass the
exception on or absorb it. Any sequence of send, throw, close, next(), a
second await, `yield from` and weak references must give the same answers
from both, with the same state as inspect and asyncio read it, and leave
neither in a state that crashes the next step; and both must end alike,
closed or dropped unfinished.
"""

from __future__ import annotations

import asyncio
import gc
import inspect
import os
import sys
import types
import warnings
import weakref
from dataclasses import dataclass
from typing import Any

import pytest
from conftest import FakeResult
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

settings.register_profile(
    "coroutine-ci", max_examples=300, deadline=None, database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
settings.register_profile("coroutine-long", settings.get_profile("coroutine-ci"), max_examples=20000)
PROFILE = settings.get_profile(
    os.environ.get("TARVIK_PROPERTY_PROFILE", "properties-ci").replace("properties", "coroutine"))


class Stop(BaseException):
    """Not an Exception, like cancellation and GeneratorExit."""


class OddStop(StopIteration):
    """A StopIteration whose `value` attribute cannot be read from Python."""

    @property
    def value(self) -> Any:
        raise RuntimeError("value read through the property")


@dataclass(frozen=True)
class Script:
    yields: int  # values yielded before the iterator finishes
    ends_by: str  # "return" or "raise"
    on_throw: str  # missing | lookup_fails | passes_on | yields | returns | stops_oddly | raises_other
    on_close: str  # missing | quiet | raises


class ScriptedIterator:
    """The iterator one awaitable hands to `await`, as its script says."""

    def __init__(self, script: Script) -> None:
        self.script = script
        self.step = 0
        self.closed = False

    def __iter__(self) -> ScriptedIterator:
        return self

    def __next__(self) -> Any:
        return self.send(None)

    def send(self, value: Any) -> Any:
        self.step += 1
        if self.step <= self.script.yields:
            return f"yield {self.step}"
        if self.script.ends_by == "raise":
            raise KeyError(f"ended at {self.step}")
        raise StopIteration(FakeResult(output={"step": self.step}))


def scripted_type(script: Script) -> type:
    """A ScriptedIterator subclass with the `throw` and `close` of `script`."""
    members: dict[str, Any] = {}
    if script.on_throw == "lookup_fails":
        members["throw"] = property(lambda self: (_ for _ in ()).throw(RuntimeError("no throw")))
    elif script.on_throw != "missing":
        def throw(self: ScriptedIterator, error: Any, *rest: Any) -> Any:
            # CPython passes on `throw(ValueError)` as the class, the native
            # coroutine as an instance; a generator takes both alike.
            name = error.__name__ if isinstance(error, type) else type(error).__name__
            if script.on_throw == "yields":
                return "absorbed"
            if script.on_throw == "returns":
                raise StopIteration(FakeResult(output={"absorbed": name}))
            if script.on_throw == "stops_oddly":
                raise OddStop(FakeResult(output={"absorbed oddly": name}))
            if script.on_throw == "raises_other":
                raise LookupError(f"instead of {name}")
            raise error
        members["throw"] = throw
    if script.on_close != "missing":
        def close(self: ScriptedIterator) -> None:
            self.closed = True
            if script.on_close == "raises":
                raise OSError("close failed")
        members["close"] = close
    return type("Scripted", (ScriptedIterator,), members)


class ScriptedAwaitable:
    def __init__(self, script: Script) -> None:
        self.iterator = scripted_type(script)(script)

    def __await__(self) -> Any:
        return self.iterator


class ScriptedManager:
    """Hands out one scripted awaitable per spawn."""

    def __init__(self, script: Script) -> None:
        self.script = script
        self.awaitables: list[ScriptedAwaitable] = []

    def spawn(self, task: Any) -> ScriptedAwaitable:
        self.awaitables.append(ScriptedAwaitable(self.script))
        return self.awaitables[-1]


async def reference_validate_code(manager: ScriptedManager, code: Any) -> Any:
    """`_validate_code` written in Python: the same awaits and checks."""
    result = await manager.spawn(code)
    if result.error:
        return {"valid": False, "message": result.error}
    if result.output:
        return result.output
    return {"valid": False, "message": "No validation result"}


scripts = st.builds(
    Script,
    yields=st.integers(0, 3),
    ends_by=st.sampled_from(["return", "raise"]),
    on_throw=st.sampled_from(["missing", "lookup_fails", "passes_on", "yields", "returns",
                              "stops_oddly", "raises_other"]),
    on_close=st.sampled_from(["missing", "quiet", "raises"]),
)
thrown = st.sampled_from([ValueError("thrown"), ValueError, asyncio.CancelledError(), Stop(),
                          GeneratorExit()])
steps = st.lists(
    st.one_of(
        st.tuples(st.just("send"), st.sampled_from([None, "value"])),
        st.tuples(st.just("throw"), thrown),
        st.tuples(st.just("close"), st.none()),
        # Another await, a `yield from` in a generator-based coroutine, and
        # next(), each taking one step of the coroutine if it may.
        st.tuples(st.sampled_from(["await elsewhere", "yield from", "next"]), st.none()),
    ),
    min_size=1, max_size=8,
)


async def awaiting(coroutine: Any) -> Any:
    return await coroutine


@types.coroutine
def yielding_from(coroutine: Any) -> Any:
    return (yield from coroutine)


class Driven:
    """A coroutine under test, with the awaits that other steps start on it."""

    def __init__(self, coroutine: Any, manager: ScriptedManager) -> None:
        self.coroutine = coroutine
        self.manager = manager
        self.awaiting: list[Any] = []  # kept until the end, as a task would keep them


def outcome(driven: Driven, step: str, argument: Any) -> tuple[Any, ...]:
    """What one step answered, and what the coroutine awaits afterwards."""
    coroutine = driven.coroutine
    try:
        if step == "send":
            answer: tuple[Any, ...] = ("yielded", coroutine.send(argument))
        elif step == "throw":
            answer = ("yielded", coroutine.throw(argument))
        elif step == "close":
            answer = ("closed", coroutine.close())
        elif step == "next":
            answer = ("yielded", next(coroutine))
        else:
            outer = (awaiting if step == "await elsewhere" else yielding_from)(coroutine)
            driven.awaiting.append(outer)
            answer = ("yielded", outer.send(None))
    except StopIteration as stop:
        answer = ("returned", stop.value)
    except BaseException as error:  # noqa: BLE001 - the exception is the answer
        answer = ("raised", type(error), str(error))
    awaits = coroutine.cr_await
    if awaits is not None and driven.manager.awaitables:
        awaits = "the iterator" if awaits is driven.manager.awaitables[-1].iterator else "other"
    return (*answer, awaits, coroutine.cr_running, coroutine.cr_suspended,
            inspect.getcoroutinestate(coroutine), coroutine.cr_frame is None,
            weakref.ref(coroutine)() is coroutine)


@pytest.fixture(scope="module", autouse=True)
def collections_see_one_example() -> Any:
    """Each example freezes what exists before it (see the test), so that a
    collection walks that example's objects only: a walk of the whole heap
    per step is what made this test slow, on a debug build above all."""
    yield
    gc.unfreeze()


def drop(driven: Driven) -> tuple[Any, ...]:
    """Lets the coroutine go unfinished: what was warned, what was reported
    as unraisable, and which iterators were closed."""
    qualname = driven.coroutine.__qualname__
    gc.collect()  # garbage of this example's steps is not this coroutine's to report
    unraisable: list[str] = []
    hook, sys.unraisablehook = sys.unraisablehook, lambda report: unraisable.append(
        type(report.exc_value).__name__)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            driven.awaiting.clear()
            driven.coroutine = None
            gc.collect()
    finally:
        sys.unraisablehook = hook
    warned = [str(warning.message).replace(qualname, "<name>") for warning in caught
              if warning.category is RuntimeWarning]
    return ("dropped", warned, unraisable, [a.iterator.closed for a in driven.manager.awaitables])


@PROFILE
@given(script=scripts, sequence=steps, ending=st.sampled_from(["close", "drop"]))
# The throw that cannot reach the iterator leaves the coroutine suspended on
# it, so the next send goes there (it once went to a null iterator).
@example(script=Script(1, "return", "lookup_fails", "missing"),
         sequence=[("send", None), ("throw", ValueError("thrown")), ("send", None)], ending="close")
# A finished coroutine refuses a throw as it refuses a send.
@example(script=Script(0, "return", "missing", "missing"),
         sequence=[("send", None), ("throw", ValueError("thrown"))], ending="close")
# The value a StopIteration subclass carries is read from the exception
# itself, not through its `value` attribute.
@example(script=Script(1, "return", "stops_oddly", "missing"),
         sequence=[("send", None), ("throw", ValueError("thrown")), ("send", None)], ending="close")
# A second await of a suspended coroutine is refused; the first goes on.
@example(script=Script(2, "return", "missing", "quiet"),
         sequence=[("send", None), ("await elsewhere", None), ("send", None)], ending="close")
# Dropped unstarted, it warns; dropped suspended, it closes its iterator.
@example(script=Script(1, "return", "missing", "quiet"), sequence=[("next", None)], ending="drop")
@example(script=Script(2, "return", "missing", "raises"),
         sequence=[("yield from", None)], ending="drop")
def test_the_native_coroutine_steps_like_cpythons(tc: Any, script: Script,
                                                  sequence: list[tuple[str, Any]],
                                                  ending: str) -> None:
    gc.collect()  # earlier garbage is not this example's to report
    gc.freeze()
    native_manager, reference_manager = ScriptedManager(script), ScriptedManager(script)
    creator = tc.ToolCreatorTool(native_manager, None)
    native = Driven(creator._validate_code("code"), native_manager)
    reference = Driven(reference_validate_code(reference_manager, "code"), reference_manager)
    for step, argument in sequence:
        expected = outcome(reference, step, argument)
        assert outcome(native, step, argument) == expected, (step, argument)
    # The end, closed or dropped unfinished, is one more step to compare.
    if ending == "close":
        assert outcome(native, "close", None) == outcome(reference, "close", None)
    assert drop(native) == drop(reference)
    assert len(native_manager.awaitables) == len(reference_manager.awaitables)
