"""The native coroutine against CPython's own, step by step.

Both await the same kind of scripted awaitable: it yields a few times, then
returns or raises, and its `throw` and `close` are missing, fail, pass the
exception on or absorb it. Any sequence of send, throw and close must give
the same answers from both, and leave neither in a state that crashes the
next step.
"""

from __future__ import annotations

import asyncio
import os
from dataclasses import dataclass
from typing import Any

from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from conftest import FakeResult

settings.register_profile(
    "coroutine-ci", max_examples=300, deadline=None, database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
settings.register_profile("coroutine-long", settings.get_profile("coroutine-ci"), max_examples=20000)
PROFILE = settings.get_profile(
    os.environ.get("TARVIK_PROPERTY_PROFILE", "properties-ci").replace("properties", "coroutine"))


class Stop(BaseException):
    """Not an Exception, like cancellation and GeneratorExit."""


@dataclass(frozen=True)
class Script:
    yields: int  # values yielded before the iterator finishes
    ends_by: str  # "return" or "raise"
    on_throw: str  # missing | lookup_fails | passes_on | yields | returns | raises_other
    on_close: str  # missing | quiet | raises


class ScriptedIterator:
    """The iterator one awaitable hands to `await`, as its script says."""

    def __init__(self, script: Script) -> None:
        self.script = script
        self.step = 0

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
            if script.on_throw == "raises_other":
                raise LookupError(f"instead of {name}")
            raise error
        members["throw"] = throw
    if script.on_close == "quiet":
        members["close"] = lambda self: None
    elif script.on_close == "raises":
        def close(self: ScriptedIterator) -> None:
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
                              "raises_other"]),
    on_close=st.sampled_from(["missing", "quiet", "raises"]),
)
thrown = st.sampled_from([ValueError("thrown"), ValueError, asyncio.CancelledError(), Stop(),
                          GeneratorExit()])
steps = st.lists(
    st.one_of(
        st.tuples(st.just("send"), st.sampled_from([None, "value"])),
        st.tuples(st.just("throw"), thrown),
        st.tuples(st.just("close"), st.none()),
    ),
    min_size=1, max_size=8,
)


def outcome(coroutine: Any, step: str, argument: Any, manager: ScriptedManager) -> tuple[Any, ...]:
    """What one step answered, and what the coroutine awaits afterwards."""
    try:
        if step == "send":
            answer: tuple[Any, ...] = ("yielded", coroutine.send(argument))
        elif step == "throw":
            answer = ("yielded", coroutine.throw(argument))
        else:
            answer = ("closed", coroutine.close())
    except StopIteration as stop:
        answer = ("returned", stop.value)
    except BaseException as error:  # noqa: BLE001 - the exception is the answer
        answer = ("raised", type(error), str(error))
    awaits = coroutine.cr_await
    if awaits is not None:
        awaits = "the iterator" if awaits is manager.awaitables[-1].iterator else repr(awaits)
    return (*answer, awaits, coroutine.cr_running)


@PROFILE
@given(script=scripts, sequence=steps)
# The throw that cannot reach the iterator leaves the coroutine suspended on
# it, so the next send goes there (it once went to a null iterator).
@example(script=Script(1, "return", "lookup_fails", "missing"),
         sequence=[("send", None), ("throw", ValueError("thrown")), ("send", None)])
# A finished coroutine refuses a throw as it refuses a send.
@example(script=Script(0, "return", "missing", "missing"),
         sequence=[("send", None), ("throw", ValueError("thrown"))])
def test_the_native_coroutine_steps_like_cpythons(tc: Any, script: Script,
                                                  sequence: list[tuple[str, Any]]) -> None:
    native_manager, reference_manager = ScriptedManager(script), ScriptedManager(script)
    creator = tc.ToolCreatorTool(native_manager, None)
    native = creator._validate_code("code")
    reference = reference_validate_code(reference_manager, "code")
    # A last close, as a dropped coroutine gets, is one more step to compare.
    for step, argument in [*sequence, ("close", None)]:
        expected = outcome(reference, step, argument, reference_manager)
        assert outcome(native, step, argument, native_manager) == expected, (step, argument)
    assert len(native_manager.awaitables) == len(reference_manager.awaitables)
