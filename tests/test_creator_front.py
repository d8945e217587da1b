"""The tool creator's construction, identity, schema and dispatch."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest
from conftest import FakeManager, FakeResult

OPERATION_DESCRIPTION = "\n".join([
    "The operation to perform:",
    "- create: Create and save a new custom tool",
    "- validate: Check if tool code is valid",
    "- list: List all custom tools",
    "- delete: Delete a custom tool",
    "- run: Execute a custom tool directly",
    "- info: Get details about a custom tool",
])


def test_identity_and_schema(creator: Any) -> None:
    assert creator.name == "tool_creator"
    assert creator.description.startswith("Create new tools at runtime. Write Python code")
    assert creator.description.endswith("Use this when you need a specialized tool that doesn't exist yet.")
    schema = creator.parameters
    assert list(schema) == ["type", "properties", "required"]
    assert schema["required"] == ["operation"]
    properties = schema["properties"]
    assert list(properties) == ["operation", "tool_name", "description", "code", "args", "register"]
    assert list(properties["operation"]) == ["type", "enum", "description"]
    assert properties["operation"]["enum"] == ["create", "validate", "list", "delete", "run", "info"]
    assert properties["operation"]["description"] == OPERATION_DESCRIPTION
    assert {k: v["type"] for k, v in properties.items()} == {
        "operation": "string", "tool_name": "string", "description": "string",
        "code": "string", "args": "object", "register": "boolean",
    }
    assert properties["register"]["description"] == "Whether to register the tool for LLM use (default: true)."


def test_parameters_is_fresh_on_every_read(creator: Any) -> None:
    first = creator.parameters
    first["properties"]["operation"]["enum"].append("explode")
    first["extra"] = 1
    assert creator.parameters != first
    assert creator.parameters == creator.parameters
    assert creator.parameters is not creator.parameters


def test_construction_creates_the_store_and_keeps_its_contents(tc: Any, store: Path) -> None:
    first = tc.ToolCreatorTool(FakeManager())
    assert first._custom_tools_dir == store and store.is_dir()
    (store / "kept").mkdir()
    second = tc.ToolCreatorTool(FakeManager())
    assert second._custom_tools_dir == store and (store / "kept").is_dir()
    assert list(vars(second)) == ["_manager", "_registry", "_custom_tools_dir"]


def test_false_manager_is_replaced_and_registry_kept_as_given(tc: Any, home: Path) -> None:
    from tarvik.core.subprocess_manager import SubprocessManager

    class Falsy:
        def __bool__(self) -> bool:
            return False

    registry = Falsy()
    creator = tc.ToolCreatorTool(Falsy(), tool_registry=registry)
    assert type(creator._manager) is SubprocessManager
    assert creator._registry is registry
    assert tc.ToolCreatorTool()._registry is None
    creator.set_registry(None)
    assert creator._registry is None


@pytest.mark.parametrize(
    ("operation", "answer"),
    [
        (None, "[ERROR] Unknown operation: None"),
        ("Create", "[ERROR] Unknown operation: Create"),
        (" list", "[ERROR] Unknown operation:  list"),
        ("", "[ERROR] Unknown operation: "),
        (5, "[ERROR] Unknown operation: 5"),
        ([], "[ERROR] Unknown operation: []"),
    ],
)
async def test_unknown_operations(creator: Any, operation: Any, answer: str) -> None:
    assert await creator.execute(operation=operation) == answer


async def test_default_operation_is_list(creator: Any) -> None:
    empty = "No custom tools found. Use 'create' to make one."
    assert await creator.execute() == empty
    assert await creator.execute(operation="list", tool_name="whatever") == empty


@pytest.mark.parametrize(
    ("operation", "method", "is_async"),
    [
        ("create", "_create_tool", True), ("validate", "_validate_tool", True),
        ("list", "_list_tools", False), ("delete", "_delete_tool", False),
        ("run", "_run_tool", True), ("info", "_tool_info", False),
    ],
)
async def test_dispatch_goes_through_the_instance(tc: Any, home: Path, operation: str, method: str, is_async: bool) -> None:
    seen: list[Any] = []

    def record(self: Any, *args: Any) -> str:
        seen.append(args)
        return f"from {method}"

    async def record_async(self: Any, *args: Any) -> str:
        return record(self, *args)

    Creator = type("Creator", (tc.ToolCreatorTool,), {method: record_async if is_async else record})
    answer = await Creator(FakeManager()).execute(operation=operation, extra={"x": 1})
    assert answer == f"from {method}"
    expected = () if operation == "list" else ({"operation": operation, "extra": {"x": 1}},)
    assert seen == [expected]


async def test_creation_uses_an_overridden_validator(tc: Any, home: Path, store: Path) -> None:
    class Strict(tc.ToolCreatorTool):
        async def _validate_code(self, code: str) -> dict:
            return {"valid": False, "message": "house rules"}

    answer = await Strict(FakeManager()).execute(operation="create", tool_name="t", code="x")
    assert answer == "[ERROR] Invalid code: house rules"
    assert not (store / "t").exists()


async def test_module_globals_are_read_at_each_call(tc: Any, creator: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    class LoudJson:
        @staticmethod
        def dumps(value: Any, indent: int) -> str:
            return "LOUD " + json.dumps(value)

    monkeypatch.setattr(tc, "json", LoudJson)
    assert await creator.execute(operation="validate", code="x") == 'LOUD {"valid": true, "message": "ok"}'
    monkeypatch.delattr(tc, "SubprocessTask")
    with pytest.raises(NameError, match="SubprocessTask"):
        await creator.execute(operation="validate", code="x")


async def test_exceptions_from_operations_reach_the_caller(creator: Any, manager: FakeManager) -> None:
    manager.result = FakeResult(error=None, output={1, 2})  # not a dict
    with pytest.raises(TypeError, match="Expected dict, got set"):
        await creator.execute(operation="validate", code="x")
