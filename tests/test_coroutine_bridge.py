"""The coroutine objects of the native async methods under asyncio.

A subclass overrides the manager's ``spawn`` with Python coroutines, so each
test controls what the native frame awaits.
"""

from __future__ import annotations

import asyncio
import collections.abc
import gc
import os
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path
from typing import Any

import pytest
from conftest import FakeManager, FakeResult


class Gate:
    """A spawn that waits for the test to open it, recording what happened."""

    def __init__(self) -> None:
        self.entered = asyncio.Event()
        self.release: asyncio.Future[Any] = asyncio.get_running_loop().create_future()
        self.cancelled = False

    async def spawn(self, task: Any) -> Any:
        self.entered.set()
        try:
            return await self.release
        except asyncio.CancelledError:
            self.cancelled = True
            raise


async def test_awaiting_a_native_coroutine_returns_its_result(creator: Any) -> None:
    coroutine = creator.execute(operation="validate", code="x = 1")
    assert isinstance(coroutine, collections.abc.Coroutine)
    assert '"valid": true' in await coroutine


async def test_create_task_and_gather_drive_native_coroutines(tc: Any, home: Any) -> None:
    gate = Gate()
    creator = tc.ToolCreatorTool(gate)
    tasks = [asyncio.create_task(creator._validate_code(f"code {i}")) for i in range(3)]
    await gate.entered.wait()
    gate.release.set_result(FakeResult(output={"valid": True, "n": 3}))
    assert await asyncio.gather(*tasks) == [{"valid": True, "n": 3}] * 3


def test_asyncio_run_takes_a_native_coroutine(creator: Any) -> None:
    assert asyncio.run(creator.execute(operation="nope")) == "[ERROR] Unknown operation: nope"


async def test_exception_from_the_awaited_object_reaches_the_caller(creator: Any, manager: FakeManager) -> None:
    manager.result = OSError("no worker")
    with pytest.raises(OSError, match="no worker"):
        await creator.execute(operation="validate", code="x")


async def test_cancelling_the_task_cancels_the_awaited_spawn(tc: Any, home: Any) -> None:
    gate = Gate()
    creator = tc.ToolCreatorTool(gate)
    task = asyncio.create_task(creator.execute(operation="validate", code="x"))
    await gate.entered.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert gate.cancelled and task.cancelled()


async def test_wait_for_timeout_cancels_through_nested_native_coroutines(tc: Any, home: Any) -> None:
    # execute awaits _create_tool, which awaits _validate_code, which awaits spawn.
    gate = Gate()
    creator = tc.ToolCreatorTool(gate)
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(creator.execute(operation="create", tool_name="t", code="c"), 0.05)
    assert gate.cancelled


async def test_cancellation_that_the_awaited_object_absorbs_resumes_the_frame(tc: Any, home: Any) -> None:
    class Stubborn:
        async def spawn(self, task: Any) -> Any:
            try:
                await asyncio.sleep(10)
            except asyncio.CancelledError:
                return FakeResult(error="stopped early")

    creator = tc.ToolCreatorTool(Stubborn())
    task = asyncio.create_task(creator.execute(operation="validate", code="x"))
    await asyncio.sleep(0.01)
    task.cancel()
    result = await task
    assert '"message": "stopped early"' in result


class YieldOnce:
    """An awaitable whose iterator yields a marker, then returns what it is sent."""

    def __init__(self) -> None:
        self.thrown: list[BaseException] = []
        self.closed = False

    def __await__(self) -> Any:
        try:
            sent = yield "marker"
        except GeneratorExit:
            self.closed = True
            raise
        except BaseException as error:
            self.thrown.append(error)
            raise
        return FakeResult(output={"valid": True, "sent": sent})


class ManualManager:
    def __init__(self) -> None:
        self.awaitable = YieldOnce()

    def spawn(self, task: Any) -> YieldOnce:
        return self.awaitable


def test_send_passes_yielded_values_out_and_sent_values_in(tc: Any, home: Any) -> None:
    manager = ManualManager()
    coroutine = tc.ToolCreatorTool(manager)._validate_code("x")
    assert coroutine.send(None) == "marker"
    assert coroutine.cr_await is not None
    with pytest.raises(StopIteration) as stop:
        coroutine.send("hello")
    assert stop.value.value == {"valid": True, "sent": "hello"}
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coroutine.send(None)


def test_throw_reaches_the_awaited_iterator_and_comes_back_out(tc: Any, home: Any) -> None:
    manager = ManualManager()
    coroutine = tc.ToolCreatorTool(manager)._validate_code("x")
    coroutine.send(None)
    with pytest.raises(KeyError, match="boom"):
        coroutine.throw(KeyError("boom"))
    assert [type(e) for e in manager.awaitable.thrown] == [KeyError]


def test_close_closes_the_awaited_iterator(tc: Any, home: Any) -> None:
    manager = ManualManager()
    coroutine = tc.ToolCreatorTool(manager)._validate_code("x")
    coroutine.send(None)
    assert coroutine.close() is None
    assert manager.awaitable.closed
    with pytest.raises(RuntimeError):
        coroutine.send(None)


@pytest.mark.parametrize(
    ("method", "args", "error"),
    [
        ("send", ("value",), TypeError),  # non-None into a fresh coroutine
        ("throw", (ValueError("early"),), ValueError),  # raised back, coroutine closed
    ],
)
def test_fresh_coroutine_protocol(creator: Any, method: str, args: tuple[Any, ...], error: type) -> None:
    coroutine = creator._validate_code("x")
    with pytest.raises(error):
        getattr(coroutine, method)(*args)
    coroutine.close()


@pytest.mark.filterwarnings("ignore:the \\(type, exc, tb\\) signature:DeprecationWarning")
def test_throw_accepts_the_legacy_type_and_value_form(tc: Any, home: Any) -> None:
    coroutine = tc.ToolCreatorTool(ManualManager())._validate_code("x")
    coroutine.send(None)
    with pytest.raises(ValueError, match="legacy"):
        coroutine.throw(ValueError, "legacy")
    fresh = tc.ToolCreatorTool(ManualManager())._validate_code("x")
    with pytest.raises(TypeError):
        fresh.throw(42)
    fresh.close()


def test_an_awaited_object_that_is_not_awaitable_raises_type_error(tc: Any, home: Any) -> None:
    class Broken:
        def spawn(self, task: Any) -> int:
            return 42

    with pytest.raises(TypeError, match="can't be awaited"):
        asyncio.run(tc.ToolCreatorTool(Broken())._validate_code("x"))


def test_stop_iteration_inside_the_body_becomes_runtime_error(tc: Any, home: Any) -> None:
    class Raising:
        async def spawn(self, task: Any) -> Any:
            return self

        @property
        def error(self) -> Any:
            raise StopIteration("leaked")

    with pytest.raises(RuntimeError, match="coroutine raised StopIteration"):
        asyncio.run(tc.ToolCreatorTool(Raising())._validate_code("x"))


def test_a_suspended_coroutine_in_a_reference_cycle_is_collected(tc: Any, home: Any) -> None:
    manager = ManualManager()
    creator = tc.ToolCreatorTool(manager)
    coroutine = creator._validate_code("x")
    coroutine.send(None)
    creator.cycle = coroutine  # instance -> coroutine -> instance
    probe = weakref.ref(creator)
    del creator, coroutine
    gc.collect()
    assert probe() is None
    assert manager.awaitable.closed  # the dropped frame released the awaited generator


@pytest.mark.parametrize("operation", ["validate", "create", "run"])
def test_an_abandoned_pending_call_is_collected(tc: Any, store: Path, operation: str) -> None:
    # task -> native coroutine -> spawn -> future -> task's wakeup: nothing
    # else holds them once the test lets go, so the collector must free them.
    (store / "t").mkdir(parents=True)
    (store / "t" / "tool.py").write_text("def main(args):\n    return {}\n")
    loop = asyncio.new_event_loop()
    reports: list[str] = []
    loop.set_exception_handler(lambda loop, context: reports.append(context["message"]))

    class Pending:
        async def spawn(self, task: Any) -> Any:
            return await loop.create_future()

    async def start() -> weakref.ref[Any]:
        call = tc.ToolCreatorTool(Pending()).execute(operation=operation, tool_name="t", code="x")
        task = asyncio.ensure_future(call)
        await asyncio.sleep(0)
        assert not task.done()
        return weakref.ref(call)

    try:
        probe = loop.run_until_complete(start())
        gc.collect()
        assert probe() is None
        assert reports == ["Task was destroyed but it is pending!"]
    finally:
        loop.close()


def test_coroutine_names_follow_the_method(creator: Any) -> None:
    coroutine = creator._validate_code("x")
    assert coroutine.__qualname__ == "ToolCreatorTool._validate_code"
    assert coroutine.__name__ == "_validate_code"
    assert coroutine.cr_running is False
    assert "ToolCreatorTool._validate_code" in repr(coroutine)
    coroutine.close()


async def test_a_pending_task_shows_where_its_native_coroutine_is(tc: Any, home: Any) -> None:
    gate = Gate()
    task = asyncio.create_task(tc.ToolCreatorTool(gate).execute(operation="validate", code="x"))
    await gate.entered.wait()
    assert "coro=<ToolCreatorTool.execute() running at " in repr(task)
    assert [frame.f_code.co_name for frame in task.get_stack()] == ["execute"]
    gate.release.set_result(FakeResult(output={"valid": True}))
    await task
    assert task.get_stack() == []


RECURSION = {
    # Each level awaits the next through the native coroutines, 100,000 deep.
    "nested arguments": """
        class Deep(tc.ToolCreatorTool):
            _validate_code = tc.ToolCreatorTool._validate_tool
        code = {}
        for _ in range(100_000):
            code = {"code": code}
        call = Deep(manager).execute(operation="validate", code=code)
    """,
    # A worker call that feeds back into validation, without end and
    # without a Python frame between the native ones.
    "spawn calling back": """
        class Feedback:
            def spawn(self, task):
                return creator._validate_code("x")
        creator = tc.ToolCreatorTool(Feedback())
        call = creator.execute(operation="validate", code="x")
    """,
}


@pytest.mark.parametrize("case", RECURSION)
def test_runaway_recursion_raises_recursion_error(home: Path, case: str) -> None:
    # In a child process: before the guard this ended the interpreter with SIGSEGV.
    code = textwrap.dedent("""
        import asyncio
        import tarvik.tools.tool_creator as tc
        from conftest import FakeManager
        manager = FakeManager()
    """) + textwrap.dedent(RECURSION[case]) + textwrap.dedent("""
        try:
            asyncio.run(call)
        except RecursionError:
            print("RecursionError")
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         cwd=Path(__file__).parent, env={**os.environ, "HOME": str(home)})
    assert (run.returncode, run.stdout.strip()) == (0, "RecursionError"), run.stderr[-2000:]
