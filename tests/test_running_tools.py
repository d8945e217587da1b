"""Running a saved tool: directly through `run` and through a DynamicTool."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest
from conftest import FakeManager, FakeResult


@pytest.fixture
def saved(store: Path) -> Path:
    (store / "t").mkdir(parents=True)
    script = store / "t" / "tool.py"
    script.write_text("def main(args):\n    return args\n")
    return script


@pytest.fixture
def dynamic(tc: Any, manager: FakeManager, saved: Path) -> Any:
    return tc.DynamicTool("t", "Does t", str(saved), manager)


async def run_both(creator: Any, dynamic: Any, **kwargs: Any) -> list[str]:
    return [await creator.execute(operation="run", tool_name="t", **kwargs), await dynamic.execute(**kwargs)]


@pytest.mark.parametrize(
    ("kwargs", "sent"),
    [({}, {}), ({"args": None}, None), ({"args": [1, "a"]}, [1, "a"]), ({"args": "s", "other": 1}, "s")],
)
async def test_task_sent_for_a_run(creator: Any, dynamic: Any, manager: FakeManager, saved: Path, kwargs: dict, sent: Any) -> None:
    manager.result = FakeResult(output=None)
    await run_both(creator, dynamic, **kwargs)
    for task in manager.tasks:
        assert (task.worker_type, task.timeout) == ("custom", 60.0)
        assert task.command == {"action": "run_function", "path": str(saved), "function": "main", "args": sent}
        assert list(task.command) == ["action", "path", "function", "args"]


async def test_args_object_is_passed_as_is(creator: Any, manager: FakeManager, saved: Path) -> None:
    args = {"deep": [1]}
    await creator.execute(operation="run", tool_name="t", args=args)
    assert manager.tasks[0].command["args"] is args


@pytest.mark.parametrize(
    ("result", "text"),
    [
        (FakeResult(error="disk full", output={"ignored": 1}), "[ERROR] disk full"),
        (FakeResult(error=3), "[ERROR] 3"),
        (FakeResult(error="", output="ok"), '"ok"'),
        (FakeResult(error=None, output=None), "null"),
        (FakeResult(output={}), "{}"),
        (FakeResult(output={"a": {"b": ["\u00e9"]}}), '{\n  "a": {\n    "b": [\n      "\\u00e9"\n    ]\n  }\n}'),
    ],
)
async def test_result_texts(creator: Any, dynamic: Any, manager: FakeManager, result: FakeResult, text: str) -> None:
    manager.result = result
    assert await run_both(creator, dynamic) == [text, text]


async def test_output_json_cannot_represent_raises(creator: Any, dynamic: Any, manager: FakeManager) -> None:
    manager.result = FakeResult(output={1, 2})
    for call in (creator.execute(operation="run", tool_name="t"), dynamic.execute()):
        with pytest.raises(TypeError):
            await call


@pytest.mark.parametrize("kwargs", [{}, {"tool_name": ""}, {"tool_name": []}])
async def test_run_requires_a_name(creator: Any, manager: FakeManager, kwargs: dict) -> None:
    assert await creator.execute(operation="run", **kwargs) == "[ERROR] tool_name is required."
    assert manager.tasks == []


async def test_run_without_a_script(creator: Any, manager: FakeManager, store: Path) -> None:
    (store / "empty").mkdir()
    for name in ("empty", "ghost"):
        answer = await creator.execute(operation="run", tool_name=name)
        assert answer == f"[ERROR] Tool script not found: {store / name / 'tool.py'}"
    assert manager.tasks == []


def test_dynamic_tool_identity(tc: Any, dynamic: Any, saved: Path, manager: FakeManager) -> None:
    assert (dynamic.name, dynamic.description) == ("custom_t", "Does t")
    assert (dynamic._script_path, dynamic._manager) == (str(saved), manager)
    assert tc.DynamicTool("x", "", "p", None).description == ""
    first = dynamic.parameters
    assert first == {"type": "object", "properties": {"args": {
        "type": "object", "description": "Arguments to pass to the tool's main() function."}}}
    first["properties"].clear()
    assert dynamic.parameters["properties"]


def test_dynamic_tool_refuses_before_setting_anything(tc: Any) -> None:
    tool = tc.DynamicTool.__new__(tc.DynamicTool)
    with pytest.raises(TypeError, match="'tool_name'"):
        tool.__init__(1, "d", "p", None)
    assert vars(tool) == {}
