"""Coverage-guided fuzzing of the tool creator's `execute`, for long runs by
hand (CI runs the hypothesis properties instead).

    python fuzz/fuzz_execute.py [libFuzzer options] [CORPUS_DIR]

Each input becomes a keyword mapping (operation, tool name, code, args and
any other keys, of any JSON-like or odd type) and a way to drive the call:
to the end, cancelled at its first suspension, closed or thrown into. A
crash, an answer that is not text, an exception that is not an ordinary
Exception (or is SystemError, or reports a C++ exception that crossed the
boundary), or any change outside the tool store stops the run with the
input that caused it. The manager accepts all code, so creations write.
"""

from __future__ import annotations

import asyncio
import logging
import os
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Any

import atheris

ROOT = Path(tempfile.mkdtemp(prefix="tarvik-fuzz-"))
HOME = ROOT / "home"
HOME.mkdir()
os.environ["HOME"] = str(HOME)  # before the import: the store is created under it

with atheris.instrument_imports():
    import tarvik.tools.tool_creator as tc
    from tarvik.tools.registry import ToolRegistry

STORE = HOME / ".tarvik" / "custom_tools"
OPERATIONS = ["create", "validate", "list", "delete", "run", "info"]
NAMES = ["t", "weather", "..", ".", "a/b", "a\\b", "C:x", "nul\0", "\udc80", " x "]
KEYS = ["operation", "tool_name", "description", "code", "args", "register"]
CLEAN_EVERY = 500


class Result:
    def __init__(self, output: Any = None, error: Any = None) -> None:
        self.output = output
        self.error = error


class Manager:
    """Accepts all code and answers runs, after one pass through the loop."""

    async def spawn(self, task: Any) -> Result:
        await asyncio.sleep(0)
        return Result(output={"valid": True, "message": "ok", "ran": True})


class Unprintable:
    def __str__(self) -> str:
        raise ValueError("no text")

    def __bool__(self) -> bool:
        raise ValueError("no truth")


def value(data: atheris.FuzzedDataProvider, depth: int = 0) -> Any:
    kind = data.ConsumeIntInRange(0, 13 if depth < 3 else 8)
    if kind == 0:
        return None
    if kind == 1:
        return data.ConsumeBool()
    if kind == 2:
        return data.ConsumeInt(9)
    if kind == 3:
        return data.ConsumeFloat()
    if kind == 4:
        return data.ConsumeUnicode(40)  # any code point, surrogates included
    if kind == 5:
        return data.ConsumeUnicode(1) * data.ConsumeIntInRange(0, 300_000)
    if kind == 6:
        return data.ConsumeBytes(20)
    if kind == 7:
        return data.PickValueInList(NAMES)
    if kind == 8:
        return data.PickValueInList([object(), Unprintable(), float("nan"), 2**70, (1, "x")])
    size = data.ConsumeIntInRange(0, 4)
    if kind in (9, 10):
        return [value(data, depth + 1) for _ in range(size)]
    if kind == 11:
        return {data.ConsumeUnicode(8): value(data, depth + 1) for _ in range(size)}
    if kind == 12:
        # Keys that are not strings; values at depth 3 are all hashable.
        return {value(data, 3): value(data, depth + 1) for _ in range(size)}
    return frozenset(data.ConsumeIntListInRange(size, 0, 9))


def mapping(data: atheris.FuzzedDataProvider) -> dict[str, Any]:
    kwargs: dict[str, Any] = {}
    for key in KEYS:
        if data.ConsumeIntInRange(0, 3):
            kwargs[key] = value(data)
    if data.ConsumeBool():
        kwargs["operation"] = data.PickValueInList(OPERATIONS)
    if data.ConsumeBool():
        kwargs["tool_name"] = data.PickValueInList(NAMES)
    for _ in range(data.ConsumeIntInRange(0, 2)):
        kwargs[data.ConsumeUnicode(10)] = value(data)
    return kwargs


def outside_the_store() -> list[tuple[str, int, int]]:
    found = []
    for folder, subfolders, files in os.walk(ROOT):
        if Path(folder) == STORE:
            subfolders.clear()
            continue
        for name in subfolders + files:
            status = os.lstat(os.path.join(folder, name))
            if os.path.join(folder, name) != str(STORE):
                found.append((os.path.join(folder, name), status.st_mode, status.st_size))
    return sorted(found)


# Failed registrations are logged as warnings: thousands of them.
logging.getLogger("tarvik.tool_creator").addHandler(logging.NullHandler())
loop = asyncio.new_event_loop()
creator = tc.ToolCreatorTool(Manager(), ToolRegistry())
BEFORE = outside_the_store()
runs = 0


async def drive(coroutine: Any, how: int) -> Any:
    if how == 0:
        return await coroutine
    if how == 1:
        task = asyncio.ensure_future(coroutine)
        await asyncio.sleep(0)
        task.cancel()
        try:
            return await task
        except asyncio.CancelledError:
            return "cancelled"
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    if how == 2:
        coroutine.close()
        return "closed"
    try:
        coroutine.throw(KeyError("thrown in"))
    except KeyError:
        return "thrown"
    except StopIteration as stop:
        return stop.value
    return "thrown"


def TestOneInput(raw: bytes) -> None:
    global runs
    data = atheris.FuzzedDataProvider(raw)
    kwargs = mapping(data)
    how = data.ConsumeIntInRange(0, 3)
    try:
        answer = loop.run_until_complete(drive(creator.execute(**kwargs), how))
    except Exception as error:
        if isinstance(error, SystemError) or "tool_creator: " in str(error):
            raise
    else:
        if how == 0 and type(answer) is not str:
            raise AssertionError(f"answer of type {type(answer).__name__}: {answer!r}")
    if outside_the_store() != BEFORE:
        raise AssertionError(f"something outside the store changed for {kwargs!r}")
    runs += 1
    if runs % CLEAN_EVERY == 0:
        shutil.rmtree(STORE, ignore_errors=True)
        STORE.mkdir()


def main() -> None:
    atheris.Setup(sys.argv, TestOneInput)
    try:
        atheris.Fuzz()
    finally:
        shutil.rmtree(ROOT, ignore_errors=True)


if __name__ == "__main__":
    main()
