"""Runs every operation of the tool creator, each answer text and each
exception path, thousands of times, and fails if anything grows.

    python tests/leakcheck/leak_loop.py [--iterations N] [--warmup N] [--only NAME]

Each scenario runs `warmup` times to fill the interpreter's caches, then
`iterations` times between two samples of: live objects (gc.get_objects),
the reference counts of the objects every call touches, bytes traced by
tracemalloc, bytes in use by malloc (C++ allocations included, which
tracemalloc does not see) and the process's resident memory. The manager is
the test suite's in-process FakeManager, so no worker process starts, and
HOME is a temporary folder. Under valgrind (--no-measure) the samples are
skipped: valgrind's leak report is the measure there.
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import gc
import logging
import os
import shutil
import sys
import tempfile
import tracemalloc
import types
import warnings
import weakref
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
HOME = Path(tempfile.mkdtemp(prefix="tarvik-leak-"))
os.environ["HOME"] = str(HOME)  # before the import: the store is created under it

from conftest import FakeManager, FakeResult  # noqa: E402

import tarvik.tools.tool_creator as tc  # noqa: E402
from tarvik.tools.registry import ToolRegistry  # noqa: E402

STORE = HOME / ".tarvik" / "custom_tools"
OUTSIDE = HOME / "outside"
CODE = "def main(args):\n    return {'success': True, 'result': args}\n"
VALID = FakeResult(output={"valid": True, "message": "ok"})

# Growth that is noise rather than a leak, over all iterations of one
# scenario. One leaked object or one leaked 16-byte block per iteration is
# already far above each of these.
OBJECT_SLACK = 20
TRACED_SLACK = 8 * 1024
HEAP_SLACK = 24 * 1024
RSS_SLACK = 1024 * 1024


class Blocked:
    """A spawn that waits until cancelled."""

    async def spawn(self, task: Any) -> Any:
        await asyncio.get_running_loop().create_future()


class Yielding:
    """A spawn whose awaitable yields once, for driving coroutines by hand."""

    def spawn(self, task: Any) -> Any:
        return asyncio.sleep(0, VALID)


class Misbehaving:
    """A spawn that answers with `answer`, raised if it is an exception."""

    def __init__(self, answer: Any) -> None:
        self.answer = answer

    def spawn(self, task: Any) -> Any:
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


class FailingRegistry(ToolRegistry):
    def register(self, tool: Any) -> None:
        raise RuntimeError("registry is full")


class Unprintable(Exception):
    def __str__(self) -> str:
        raise LookupError("no text")


class UnprintableRegistry(ToolRegistry):
    def register(self, tool: Any) -> None:
        raise Unprintable()


class Falsy:
    """A name whose truth value cannot be taken.

    One class for every call: a class made per call would grow object's
    table of subclasses, which never shrinks, and read as a leak."""

    def __bool__(self) -> bool:
        raise ZeroDivisionError


class Feedback:
    """A spawn that feeds back into validation without end."""

    def __init__(self) -> None:
        self.creator: Any = None

    def spawn(self, task: Any) -> Any:
        return self.creator._validate_code("x")


class Fickle(os.PathLike):
    """A path-like that names a plain folder once, then a way out."""

    def __init__(self) -> None:
        self.calls = 0

    def __fspath__(self) -> str:
        self.calls += 1
        return "fickle" if self.calls == 1 else "../../outside"


class World:
    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.manager = FakeManager()
        self.registry = ToolRegistry()
        self.creator = tc.ToolCreatorTool(self.manager, self.registry)
        self.unregistered = tc.ToolCreatorTool(self.manager, None)
        self.failing = tc.ToolCreatorTool(self.manager, FailingRegistry())
        self.blocked = tc.ToolCreatorTool(Blocked(), None)
        self.yielding = tc.ToolCreatorTool(Yielding(), None)
        self.unprintable = tc.ToolCreatorTool(self.manager, UnprintableRegistry())
        self.feedback = Feedback()
        self.feedback.creator = tc.ToolCreatorTool(self.feedback, None)
        self.dynamic = tc.DynamicTool("kept", "d", str(STORE / "kept" / "tool.py"), self.manager)

    def misbehaving(self, answer: Any) -> Any:
        return tc.ToolCreatorTool(Misbehaving(answer), None)

    def watched(self) -> list[Any]:
        """Objects every iteration passes through the native code."""
        return [self.creator, self.manager, self.registry, self.unregistered, self.failing,
                self.blocked, self.yielding, self.unprintable, self.feedback, self.dynamic, VALID,
                CODE, tc.ToolCreatorTool, tc.DynamicTool, tc.__dict__, STORE, FakeResult,
                tc.__dict__["json"]]


def prepare_store() -> None:
    shutil.rmtree(STORE, ignore_errors=True)
    STORE.mkdir(parents=True)
    OUTSIDE.mkdir(exist_ok=True)
    (OUTSIDE / "tool.py").write_text(CODE)
    for name in ("kept", "bare"):
        (STORE / name).mkdir()
        (STORE / name / "tool.py").write_text(CODE)
    (STORE / "kept" / "metadata.json").write_text('{"name": "kept", "description": "d"}')
    (STORE / "linked").symlink_to(OUTSIDE, target_is_directory=True)
    (STORE / "alias").symlink_to(STORE / "kept", target_is_directory=True)
    (STORE / "leaky").mkdir()
    (STORE / "leaky" / "tool.py").symlink_to(OUTSIDE / "tool.py")


# --- scenarios: each is one iteration, returning what it answered ----------

Scenario = Callable[[World], Awaitable[Any]]
SCENARIOS: dict[str, Scenario] = {}


def scenario(name: str) -> Callable[[Scenario], Scenario]:
    def register(function: Scenario) -> Scenario:
        SCENARIOS[name] = function
        return function
    return register


def execute(name: str, **kwargs: Any) -> None:
    """A scenario that awaits creator.execute(**kwargs)."""
    async def run(world: World) -> Any:
        return await world.creator.execute(**kwargs)
    SCENARIOS[name] = run


def raises(name: str, error: type[BaseException], call: Callable[[World], Any]) -> None:
    """A scenario whose call (awaited when it gives a coroutine) must raise `error`."""
    async def run(world: World) -> Any:
        try:
            answer = call(world)
            if hasattr(answer, "__await__"):
                await answer
        except error as caught:
            return caught
        raise AssertionError(f"{name}: {error.__name__} was not raised")
    SCENARIOS[name] = run


execute("unknown operation", operation="nope")
execute("unknown non-text operation", operation=["x"])
execute("default operation lists", tool_name="ignored")
execute("create without name", operation="create", code=CODE)
execute("create without code", operation="create", tool_name="t")
execute("create with unsafe name", operation="create", tool_name="../x", code=CODE)
execute("create with NUL in name", operation="create", tool_name="a\0b", code=CODE)
execute("create with surrogate name", operation="create", tool_name="\udc80", code=CODE)
execute("validate without code", operation="validate")
execute("validate", operation="validate", code=CODE)
execute("info without name", operation="info")
execute("info of unsafe name", operation="info", tool_name="a/b")
execute("info of missing tool", operation="info", tool_name="missing")
execute("info of saved tool", operation="info", tool_name="kept")
execute("info of tool without metadata", operation="info", tool_name="bare")
execute("info of linked folder", operation="info", tool_name="linked")
execute("info of linked script", operation="info", tool_name="leaky")
execute("delete without name", operation="delete")
execute("delete of missing tool", operation="delete", tool_name="missing")
execute("run without name", operation="run")
execute("run of unsafe name", operation="run", tool_name="..")
execute("run of missing tool", operation="run", tool_name="missing")
execute("run of linked script", operation="run", tool_name="leaky")
execute("run of saved tool", operation="run", tool_name="kept", args={"x": [1, 2]})
execute("list", operation="list")
execute("delete of linked folder", operation="delete", tool_name="linked")
execute("info of a name that changes when read again", operation="info", tool_name=Fickle())


@scenario("create, registered")
async def create_registered(world: World) -> Any:
    return await world.creator.execute(operation="create", tool_name="made", description="d",
                                       code=CODE, args={"a": 1})


@scenario("create, not registered")
async def create_unregistered(world: World) -> Any:
    return await world.unregistered.execute(operation="create", tool_name="made", code=CODE,
                                            register=False)


@scenario("create, registration fails")
async def create_failing(world: World) -> Any:
    return await world.failing.execute(operation="create", tool_name="made", code=CODE)


@scenario("create, code rejected")
async def create_rejected(world: World) -> Any:
    world.manager.result = FakeResult(output={"valid": False, "message": "Syntax error"})
    try:
        return await world.creator.execute(operation="create", tool_name="made", code=CODE)
    finally:
        world.manager.result = VALID


@scenario("create, validator error")
async def create_validator_error(world: World) -> Any:
    world.manager.result = FakeResult(error="Timed out")
    try:
        return await world.creator.execute(operation="create", tool_name="made", code=CODE)
    finally:
        world.manager.result = VALID


@scenario("create, no validation result")
async def create_no_result(world: World) -> Any:
    world.manager.result = FakeResult()
    try:
        return await world.creator.execute(operation="validate", code=CODE)
    finally:
        world.manager.result = VALID


@scenario("create then delete, registered")
async def create_then_delete(world: World) -> Any:
    await world.creator.execute(operation="create", tool_name="gone", code=CODE)
    return await world.creator.execute(operation="delete", tool_name="gone")


@scenario("run with worker error")
async def run_error(world: World) -> Any:
    world.manager.result = FakeResult(error="Tool crashed")
    try:
        return await world.creator.execute(operation="run", tool_name="kept")
    finally:
        world.manager.result = VALID


@scenario("registered tool runs")
async def dynamic_runs(world: World) -> Any:
    return await world.dynamic.execute(args={"n": 1})


@scenario("registered tool, worker error")
async def dynamic_error(world: World) -> Any:
    world.manager.result = FakeResult(error="boom")
    try:
        return await world.dynamic.execute()
    finally:
        world.manager.result = VALID


@scenario("properties and schemas")
async def properties(world: World) -> Any:
    return [(tool.name, tool.description, tool.parameters) for tool in (world.creator, world.dynamic)]


raises("create, code not writable", UnicodeEncodeError,
       lambda w: w.creator.execute(operation="create", tool_name="made", code="\ud800"))
raises("spawn raises", OSError, lambda w: w.misbehaving(OSError("no worker"))._validate_code("x"))
raises("spawn raises StopIteration", RuntimeError,
       lambda w: w.misbehaving(StopIteration("x"))._validate_code("x"))
raises("spawn answers a non-awaitable", TypeError, lambda w: w.misbehaving(42)._validate_code("x"))
raises("validation output of the wrong type", TypeError,
       lambda w: w.misbehaving(asyncio.sleep(0, FakeResult(output=[1])))._validate_code("x"))
raises("output not JSON", TypeError,
       lambda w: w.misbehaving(asyncio.sleep(0, FakeResult(output={1j})))._run_tool(
           {"tool_name": "kept"}))
raises("operation argument of the wrong type", TypeError, lambda w: w.creator._create_tool("x"))
raises("unexpected keyword", TypeError, lambda w: w.creator._list_tools(extra=1))
raises("too many arguments", TypeError, lambda w: w.creator.execute(1))
raises("missing arguments", TypeError, lambda w: tc.DynamicTool("only name"))
raises("non-text name for a registered tool", TypeError,
       lambda w: tc.DynamicTool(1, "d", "p", w.manager))
raises("unsafe name of the wrong type", TypeError,
       lambda w: w.creator.execute(operation="info", tool_name=3.5))
raises("bool() of an argument raises", ZeroDivisionError,
       lambda w: w.creator.execute(operation="create", tool_name=Falsy(), code=CODE))
raises("rmtree of a folder linked inside the store", OSError,
       lambda w: w.creator.execute(operation="delete", tool_name="alias"))
raises("registration failure whose text raises", LookupError,
       lambda w: w.unprintable.execute(operation="create", tool_name="made", code=CODE))
raises("runaway recursion", RecursionError,
       lambda w: w.feedback.creator.execute(operation="validate", code="x"))
raises("JSON of a value json.dumps refuses", ValueError,
       lambda w: w.misbehaving(asyncio.sleep(0, FakeResult(output={"n": 10**5000})))._run_tool(
           {"tool_name": "kept"}))


async def _cancelled_outcome(task: asyncio.Future[Any]) -> str:
    try:
        await task
    except asyncio.CancelledError:
        return "cancelled"
    raise AssertionError("the task was not cancelled")


@scenario("cancelled while the worker runs")
async def cancelled(world: World) -> Any:
    task = asyncio.ensure_future(world.blocked.execute(operation="validate", code=CODE))
    for _ in range(3):
        await asyncio.sleep(0)
    task.cancel()
    return await _cancelled_outcome(task)


@scenario("cancelled before it starts")
async def cancelled_early(world: World) -> Any:
    task = asyncio.ensure_future(world.creator.execute(operation="list"))
    task.cancel()
    return await _cancelled_outcome(task)


@scenario("timed out by wait_for")
async def timed_out(world: World) -> Any:
    try:
        await asyncio.wait_for(world.blocked.execute(operation="run", tool_name="kept"), 0)
    except TimeoutError:
        return "timed out"
    raise AssertionError("wait_for did not time out")


@scenario("driven by hand: send, throw, close, drop")
async def by_hand(world: World) -> Any:
    answers = []
    suspended = world.yielding._validate_code("x")
    answers.append(suspended.send(None))
    try:
        suspended.throw(ValueError("thrown in"))
    except ValueError as error:
        answers.append(error)
    try:
        suspended.send(None)
    except RuntimeError as error:  # already finished
        answers.append(error)
    closing = world.yielding.execute(operation="validate", code="x")
    answers.append(closing.send(None))
    answers.append(closing.close())
    dropped = world.yielding.execute(operation="create", tool_name="t", code="x")
    answers.append(dropped.send(None))
    del dropped  # suspended: its frame is destroyed without a close
    never_started = world.creator.execute(operation="list")
    del never_started
    fresh = world.creator._validate_code("x")
    try:
        fresh.send("not None")
    except TypeError as error:
        answers.append(error)
    fresh.close()
    return answers


@scenario("lifecycle: a second await, yield from, the frame, weak references")
async def lifecycle(world: World) -> Any:
    answers: list[Any] = []
    suspended = world.yielding._validate_code("x")
    answers.append(suspended.send(None))
    answers += [suspended.cr_frame.f_code.co_name, suspended.cr_suspended,
                weakref.ref(suspended)() is suspended]

    async def intruder() -> Any:
        return await suspended

    try:
        intruder().send(None)
    except RuntimeError as error:  # being awaited already
        answers.append(error)

    @types.coroutine
    def delegating() -> Any:
        return (yield from world.yielding._validate_code("x"))

    answers.append(await delegating())
    try:
        next(suspended)
    except TypeError as error:
        answers.append(error)
    suspended.close()
    return answers


@scenario("fresh coroutine in a cycle through its arguments")
async def fresh_cycle(world: World) -> Any:
    arguments: dict[str, Any] = {"tool_name": "t", "code": CODE}
    arguments["self"] = world.yielding._create_tool(arguments)
    return "left for the collector"


# Not run by default (--only runs it): a cycle that passes through a value a
# suspended C++ frame holds in a local is never collected, because the
# collector cannot see references held in a C++ frame. The frames hold
# strong references on purpose: a borrowed one would dangle if the caller
# emptied the mapping during the await. Only a caller that puts the
# coroutine into its own arguments makes such a cycle; JSON never can.
KNOWN_UNCOLLECTABLE: dict[str, Scenario] = {}


async def suspended_cycle(world: World) -> Any:
    description: list[Any] = []
    arguments = {"tool_name": "t", "code": CODE, "description": description}
    coroutine = world.yielding._create_tool(arguments)
    description.append(coroutine)
    return coroutine.send(None)


KNOWN_UNCOLLECTABLE["suspended coroutine in a cycle through a frame's local"] = suspended_cycle


# --- measuring ---------------------------------------------------------------


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_mallinfo2 = ctypes.CDLL(None).mallinfo2
_mallinfo2.restype = MallInfo2


def heap_in_use() -> int:
    """Bytes malloc has handed out and not had back (glibc's mallinfo2)."""
    info = _mallinfo2()
    return int(info.uordblks + info.hblkhd)


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@dataclass
class Sample:
    objects: int
    traced: int
    heap: int
    rss: int
    refcounts: list[int]


def sample(world: World) -> Sample:
    world.manager.tasks.clear()
    # The type attribute cache keeps a reference to each attribute name it
    # saw, up to 4096 of them, and names made from C strings are new objects
    # on every lookup: bounded, but it looks like growth. Empty it.
    sys._clear_type_cache()
    gc.collect()
    gc.collect()
    watched = world.watched()
    refcounts = [sys.getrefcount(item) for item in watched]
    del watched
    objects = len(gc.get_objects())
    return Sample(objects, tracemalloc.get_traced_memory()[0], heap_in_use(), resident_bytes(),
                  refcounts)


def iterate(world: World, body: Scenario, count: int) -> None:
    for _ in range(count):
        world.loop.run_until_complete(body(world))
        world.manager.tasks.clear()


def growth_problems(before: Sample, after: Sample) -> list[str]:
    problems = []
    if after.objects - before.objects > OBJECT_SLACK:
        problems.append(f"{after.objects - before.objects} more live objects")
    if after.traced - before.traced > TRACED_SLACK:
        problems.append(f"{after.traced - before.traced} more bytes traced")
    if after.heap - before.heap > HEAP_SLACK:
        problems.append(f"{after.heap - before.heap} more bytes in use by malloc")
    if after.rss - before.rss > RSS_SLACK:
        problems.append(f"{after.rss - before.rss} more resident bytes")
    if after.refcounts != before.refcounts:
        problems.append(f"reference counts went from {before.refcounts} to {after.refcounts}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=2000)
    parser.add_argument("--warmup", type=int, default=200)
    parser.add_argument("--only", action="append", help="run only this scenario (repeatable)")
    parser.add_argument("--no-measure", action="store_true", help="for valgrind: just run")
    options = parser.parse_args()
    everything = {**SCENARIOS, **KNOWN_UNCOLLECTABLE}
    names = options.only or list(SCENARIOS)

    prepare_store()
    # Registration failures are logged as warnings: thousands of them.
    logging.getLogger("tarvik.tool_creator").addHandler(logging.NullHandler())
    # Dropping coroutines never started is part of the scenarios.
    warnings.filterwarnings("ignore", "coroutine .* was never awaited", RuntimeWarning)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    world = World(loop)
    if not options.no_measure:
        tracemalloc.start()
    failures = 0
    first: Sample | None = None
    last: Sample | None = None
    print(f"{'scenario':55} {'objects':>15} {'traced bytes':>21} {'malloc bytes':>23}")
    for name in names:
        body = everything[name]
        iterate(world, body, options.warmup)
        if options.no_measure:
            iterate(world, body, options.iterations)
            print(f"{name:55} ran {options.warmup + options.iterations} times")
            continue
        before = sample(world)
        iterate(world, body, options.iterations)
        after = sample(world)
        first = first or before
        last = after
        problems = growth_problems(before, after)
        failures += bool(problems)
        print(f"{name:55} {before.objects:>7}>{after.objects:<7} {before.traced:>10}>{after.traced:<10} "
              f"{before.heap:>11}>{after.heap:<11}{'  LEAK: ' + '; '.join(problems) if problems else ''}")
    loop.close()
    shutil.rmtree(HOME, ignore_errors=True)
    if first and last:
        print(f"all scenarios, {options.iterations} iterations each after {options.warmup} warm-up: "
              f"live objects {first.objects} -> {last.objects}, traced bytes {first.traced} -> "
              f"{last.traced}, malloc bytes {first.heap} -> {last.heap}, "
              f"RSS {first.rss // 1024} KiB -> {last.rss // 1024} KiB")
    if options.no_measure:
        print(f"{len(names)} scenarios run, not measured")
    else:
        print(f"{len(names)} scenarios, {failures} leaking")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
