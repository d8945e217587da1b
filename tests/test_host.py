"""The host `tarvik` runs: its parts, the saved tools it can bring back, and one call through it."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest
from conftest import FakeManager, FakeResult

from tarvik.calls import ToolCalls
from tarvik.host import (
    Host,
    InvalidArgumentsError,
    SavedTool,
    UnknownToolError,
    call_tool,
    find_saved_tools,
    open_host,
    result_text,
    store_root,
)
from tarvik.tools.registry import ToolRegistry

SCRIPT = 'def main(args):\n    return {"success": True, "result": args.get("n", 0) * 2}\n'


def save_tool(root: Path, name: str, metadata: str | None = None, script: str = SCRIPT) -> Path:
    folder = root / name
    folder.mkdir(parents=True)
    (folder / "tool.py").write_text(script, encoding="utf-8")
    if metadata is not None:
        (folder / "metadata.json").write_text(metadata, encoding="utf-8")
    return folder


@pytest.mark.parametrize(
    ("metadata", "description"),
    [
        (json.dumps({"name": "t", "description": "Doubles n.", "created_by": "agent"}), "Doubles n."),
        (json.dumps({"name": "t", "description": "caf\u00e9"}), "caf\u00e9"),
        (None, ""),
        ("{broken", ""),
        (json.dumps(["not", "an", "object"]), ""),
        (json.dumps({"description": 42}), ""),
        (json.dumps({"description": None}), ""),
        (json.dumps({"name": "t"}), ""),
    ],
)
def test_saved_tool_description_comes_from_metadata_or_is_empty(
    tmp_path: Path, metadata: str | None, description: str
) -> None:
    folder = save_tool(tmp_path, "t", metadata)
    assert find_saved_tools(tmp_path) == [SavedTool("t", description, str(folder / "tool.py"))]


def test_only_folders_holding_a_script_inside_the_store_count(tmp_path: Path) -> None:
    root = tmp_path / "store"
    save_tool(root, "b_tool")
    save_tool(root, "a_tool")
    (root / "no_script").mkdir()
    (root / "loose_file.py").write_text(SCRIPT, encoding="utf-8")
    outside = save_tool(tmp_path, "outside")
    linked = root / "linked_out"
    linked.mkdir()
    (linked / "tool.py").symlink_to(outside / "tool.py")
    (root / "linked_folder").symlink_to(root / "a_tool")
    assert [tool.name for tool in find_saved_tools(root)] == ["a_tool", "b_tool", "linked_folder"]


def test_a_missing_store_has_no_saved_tools(tmp_path: Path) -> None:
    assert find_saved_tools(tmp_path / "absent") == []


def test_store_root_follows_home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    assert store_root() == tmp_path / ".tarvik" / "custom_tools"


@pytest.mark.parametrize(
    ("result", "text"),
    [
        ("plain", "plain"),
        ("", ""),
        ({"a": [1, None]}, '{\n  "a": [\n    1,\n    null\n  ]\n}'),
        (None, "null"),
        ({3}, "{3}"),
    ],
)
def test_result_text(result: Any, text: str) -> None:
    assert result_text(result) == text


async def test_call_of_an_unknown_tool_names_the_tools_there_are() -> None:
    with pytest.raises(UnknownToolError, match=r"^Unknown tool 'nope'; registered tools: none$"):
        await call_tool(ToolRegistry(), "nope", {})


class SyncClosingManager:
    def __init__(self) -> None:
        self.closed = False

    def aclose(self) -> None:
        self.closed = True


class AsyncClosingManager(SyncClosingManager):
    async def aclose(self) -> None:  # type: ignore[override]
        self.closed = True


@pytest.mark.parametrize("manager_type", [SyncClosingManager, AsyncClosingManager])
async def test_closing_the_host_closes_its_manager(manager_type: type[SyncClosingManager]) -> None:
    manager = manager_type()
    await Host(manager, ToolRegistry(), tool_creator=None).aclose()  # type: ignore[arg-type]
    assert manager.closed


async def test_a_manager_without_aclose_is_left_alone() -> None:
    await Host(object(), ToolRegistry(), tool_creator=None).aclose()  # type: ignore[arg-type]


# The real host: the compiled extension, the real manager and worker.


async def test_host_holds_one_creator_registered_with_its_manager_and_registry(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    async with open_host() as host:
        assert host.registry.names() == ["tool_creator"]
        assert host.registry.get("tool_creator") is host.tool_creator
        assert host.tool_creator._manager is host.subprocess_manager
        assert host.tool_creator._registry is host.registry
    assert store_root().is_dir()


@pytest.mark.parametrize("register_saved", [False, True])
async def test_saved_tools_come_back_unless_switched_off(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, register_saved: bool
) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    save_tool(store_root(), "doubler", json.dumps({"name": "doubler", "description": "Doubles n."}))
    # Saved under a name no model accepts: left out, not a failed start.
    save_tool(store_root(), "My Tool")
    async with open_host(**({} if register_saved else {"register_saved": False})) as host:
        names = host.registry.names()
        if register_saved:
            tool = host.registry.get("custom_doubler")
            assert tool is not None and tool.description == "Doubles n."
            answer = json.loads(await host.call("custom_doubler", {"args": {"n": 21}}))
            assert answer == {"success": True, "result": 42}
    assert names == (["tool_creator", "custom_doubler"] if register_saved else ["tool_creator"])


CREATE = {"operation": "create", "description": "", "code": SCRIPT}


@pytest.mark.parametrize(
    ("tool_name", "refusal"),
    [
        ("x-y", None),
        ("CamelCase", None),
        ("a" * 57, None),
        ("My Tool", "create it again with a tool_name such as 'my_tool'"),
        ("\u00fcn\u00efcode", "such as 'unicode'"),
        ("a" * 58, "so a tool_name has at most 57"),
        ("x.y", "a name is 1 to 64 characters, each a letter A-Z or a-z, a digit, '_' or '-'"),
    ],
)
async def test_names_models_refuse_are_saved_but_not_registered(
    tc: Any, store: Path, tool_name: str, refusal: str | None
) -> None:
    registry = ToolRegistry()
    creator = tc.ToolCreatorTool(FakeManager(), registry)
    answer = await creator.execute(**CREATE, tool_name=tool_name)
    assert (store / tool_name / "tool.py").is_file()
    if refusal is None:
        assert json.loads(answer)["created"] == tool_name
        assert registry.names() == [f"custom_{tool_name}"]
    else:
        assert answer.startswith(f"Tool saved to {store / tool_name / 'tool.py'} but registration failed: ")
        assert refusal in answer and answer.endswith(". You can still run it with tool_creator run.")
        assert registry.names() == []


@pytest.mark.parametrize("operation", ["create", "run", "info", "delete"])
async def test_a_name_too_long_for_a_folder_is_an_invalid_tool_name_text(tc: Any, store: Path, operation: str) -> None:
    registry = ToolRegistry()
    manager = FakeManager()
    registry.register(tc.ToolCreatorTool(manager, registry))
    answer = await call_tool(registry, "tool_creator", {**CREATE, "operation": operation, "tool_name": "n" * 256})
    assert answer.startswith(f"[ERROR] Invalid tool_name: {'n' * 40!r}\u2026 (256 characters). It is too long")
    assert manager.tasks == [] and list(store.iterdir()) == []


SHOUT = """\
from typing import TypedDict
class ShoutArgs(TypedDict):
    text: str
def main(args: ShoutArgs) -> dict:
    return {"success": True, "result": args["text"].upper()}
"""


@pytest.mark.parametrize(
    ("tool", "arguments", "refusal"),
    [
        ("tool_creator", {"operation": "run", "tool_name": "shout", "args": {"text": 3}}, r"shout: args\.text: 3"),
        ("custom_shout", {"args": {}}, "custom_shout: args: 'text' is a required property"),
        ("custom_shout", {"text": "hi"}, "custom_shout has no argument 'text'"),
    ],
)
async def test_a_saved_tools_declared_args_are_enforced_before_a_worker_starts(
    tc: Any, tool: str, arguments: dict[str, Any], refusal: str
) -> None:
    registry = ToolRegistry()
    manager = FakeManager()
    registry.register(tc.ToolCreatorTool(manager, registry))
    await call_tool(registry, "tool_creator", {**CREATE, "tool_name": "shout", "code": SHOUT})
    started = len(manager.tasks)
    with pytest.raises(InvalidArgumentsError, match=refusal):
        await call_tool(registry, tool, arguments)
    assert len(manager.tasks) == started


BROKEN = "[ERROR] main must return a dict with 'success' and 'result'; it returned:\n"


@pytest.mark.parametrize(
    ("returned", "text"),
    [
        ("[1, 2]", BROKEN + "[\n  1,\n  2\n]"),
        ('"done"', BROKEN + '"done"'),
        ('{"result": 3}', BROKEN + '{\n  "result": 3\n}'),
        ('{"success": True}', BROKEN + '{\n  "success": true\n}'),
        (
            '{"success": False, "error": "no such city"}',
            '[ERROR] The tool reported a failure:\n{\n  "success": false,\n  "error": "no such city"\n}',
        ),
    ],
)
async def test_a_result_outside_the_script_contract_is_a_tool_error_showing_it(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, returned: str, text: str
) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    async with open_host() as host:
        code = f"def main(args):\n    return {returned}\n"
        await host.calls.call("tool_creator", {**CREATE, "tool_name": "t", "code": code})
        outcomes = [
            await host.calls.call("custom_t", {}),
            await host.calls.call("tool_creator", {"operation": "run", "tool_name": "t"}),
        ]
    assert [(outcome.text, outcome.is_error) for outcome in outcomes] == [(text, True)] * 2


async def test_a_create_that_replaced_a_saved_tool_says_so(tc: Any, store: Path) -> None:
    registry = ToolRegistry()
    manager = FakeManager()
    registry.register(tc.ToolCreatorTool(manager, registry))
    calls = ToolCalls(registry)
    first = await calls.call("tool_creator", {**CREATE, "tool_name": "shout"})
    manager.result = FakeResult(output={"valid": False, "message": "no main"})
    rejected = await calls.call("tool_creator", {**CREATE, "tool_name": "shout"})
    manager.result = FakeResult(output={"valid": True, "message": "ok"})
    again = await calls.call("tool_creator", {**CREATE, "tool_name": "shout", "register": False})
    assert (first.notes, rejected.notes) == ((), ())
    assert again.notes == ("This create replaced the tool 'shout' that was saved before: "
                           "its earlier code and description are gone.",)
