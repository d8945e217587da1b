"""The host `tarvik` runs: its parts, the saved tools it can bring back, and one call through it."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest

from tarvik.host import (
    Host,
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
async def test_saved_tools_come_back_only_when_asked(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, register_saved: bool
) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    save_tool(store_root(), "doubler", json.dumps({"name": "doubler", "description": "Doubles n."}))
    async with open_host(register_saved=register_saved) as host:
        names = host.registry.names()
        if register_saved:
            tool = host.registry.get("custom_doubler")
            assert tool is not None and tool.description == "Doubles n."
            answer = json.loads(await host.call("custom_doubler", {"args": {"n": 21}}))
            assert answer == {"success": True, "result": 42}
    assert names == (["tool_creator", "custom_doubler"] if register_saved else ["tool_creator"])
