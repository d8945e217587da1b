"""The whole road through the real host: registry, subprocess manager and worker."""

from __future__ import annotations

import asyncio
import json
from pathlib import Path
from typing import Any

import pytest

from tarvik.core.subprocess_manager import SubprocessManager
from tarvik.tools.registry import ToolRegistry

GREETER = """
def main(args):
    print("noise on stdout that must not reach the reply")
    return {"success": True, "result": "Hello, " + args.get("who", "world") + "!"}
"""


@pytest.fixture
async def host(tc: Any) -> Any:
    registry = ToolRegistry()
    manager = SubprocessManager()
    creator = tc.ToolCreatorTool(manager, registry)
    registry.register(creator)
    yield creator, registry
    await manager.aclose()


async def test_created_tool_is_registered_and_runs_in_a_worker(host: tuple[Any, ToolRegistry], store: Path) -> None:
    creator, registry = host
    created = json.loads(await creator.execute(
        operation="create", tool_name="greeter", description="Greets", code=GREETER))
    assert created["path"] == str(store / "greeter" / "tool.py")
    tool = registry.get("custom_greeter")
    assert tool is not None and tool.description == "Greets"
    assert json.loads(await tool.execute(args={"who": "Ada"})) == {"success": True, "result": "Hello, Ada!"}
    direct = await creator.execute(operation="run", tool_name="greeter", args={"who": "Bob"})
    assert json.loads(direct)["result"] == "Hello, Bob!"
    assert json.loads(creator._tool_info({"tool_name": "greeter"}))["code_lines"] == 4
    assert await creator.execute(operation="delete", tool_name="greeter") == "Deleted custom tool: greeter"
    assert "custom_greeter" not in registry.names()


@pytest.mark.parametrize(
    ("code", "message"),
    [
        ("def main(args):\n    return (\n", "line"),
        ("def helper(args):\n    return args\n", "main"),
        ("def main():\n    return {}\n", "argument"),
    ],
)
async def test_worker_rejects_bad_code(host: tuple[Any, ToolRegistry], store: Path, code: str, message: str) -> None:
    creator, registry = host
    answer = await creator.execute(operation="create", tool_name="bad", code=code)
    assert answer.startswith("[ERROR] Invalid code: ") and message in answer
    report = json.loads(await creator.execute(operation="validate", code=code))
    assert report["valid"] is False
    assert not (store / "bad").exists() and "custom_bad" not in registry.names()


async def test_tool_that_raises_gives_its_exception(host: tuple[Any, ToolRegistry]) -> None:
    creator, registry = host
    code = "def main(args):\n    raise ValueError('no such city: ' + args['city'])\n"
    await creator.execute(operation="create", tool_name="raiser", code=code)
    answer = await registry.get("custom_raiser").execute(args={"city": "Atlantis"})
    assert answer.startswith("[ERROR] ")
    assert "ValueError" in answer and "no such city: Atlantis" in answer


async def test_endless_tool_is_stopped_and_the_host_goes_on(
    tc: Any, host: tuple[Any, ToolRegistry], monkeypatch: pytest.MonkeyPatch
) -> None:
    creator, registry = host
    code = "def main(args):\n    while True:\n        pass\n"
    await creator.execute(operation="create", tool_name="spin", code=code)
    real_task = tc.SubprocessTask

    def short_task(*, worker_type: str, command: dict, timeout: float) -> Any:
        # The module reads SubprocessTask at each call, so the run's 60 s limit
        # can be shortened to something a test can wait for.
        return real_task(worker_type=worker_type, command=command, timeout=0.5)

    monkeypatch.setattr(tc, "SubprocessTask", short_task)
    spinning, listed = await asyncio.gather(
        registry.get("custom_spin").execute(), creator.execute(operation="list"))
    assert spinning.startswith("[ERROR] ") and "0.5" in spinning
    assert json.loads(listed)["count"] == 1
    report = json.loads(await creator.execute(operation="validate", code="def main(a):\n    return a\n"))
    assert report["valid"] is True
