"""Creating a tool: checks, validation, the files written and registration."""

from __future__ import annotations

import json
import logging
from pathlib import Path
from typing import Any

import pytest
from conftest import FakeManager, FakeResult

CODE = "def main(args):\n    return {'success': True, 'result': args}\n"


async def create(creator: Any, **kwargs: Any) -> str:
    return await creator.execute(operation="create", **kwargs)


@pytest.mark.parametrize(
    ("kwargs", "answer"),
    [
        ({}, "[ERROR] tool_name is required."),
        ({"code": CODE}, "[ERROR] tool_name is required."),
        ({"tool_name": 0, "code": CODE}, "[ERROR] tool_name is required."),
        ({"tool_name": "t"}, "[ERROR] code is required."),
        ({"tool_name": "t", "code": ""}, "[ERROR] code is required."),
    ],
)
async def test_missing_arguments(creator: Any, manager: FakeManager, store: Path, kwargs: dict, answer: str) -> None:
    assert await create(creator, **kwargs) == answer
    assert manager.tasks == [] and list(store.iterdir()) == []


@pytest.mark.parametrize(
    ("result", "answer"),
    [
        (FakeResult(output={"valid": False, "message": "Syntax error at line 2"}),
         "[ERROR] Invalid code: Syntax error at line 2"),
        (FakeResult(output={"valid": False}), "[ERROR] Invalid code: Unknown error"),
        (FakeResult(output={"valid": 0, "message": 7}), "[ERROR] Invalid code: 7"),
        (FakeResult(error="Timed out"), "[ERROR] Invalid code: Timed out"),
        (FakeResult(), "[ERROR] Invalid code: No validation result"),
    ],
)
async def test_rejected_code_writes_nothing(creator: Any, manager: FakeManager, store: Path, result: FakeResult, answer: str) -> None:
    (store / "t").mkdir()
    (store / "t" / "tool.py").write_text("old")
    manager.result = result
    assert await create(creator, tool_name="t", code=CODE) == answer
    assert (store / "t" / "tool.py").read_text() == "old"
    assert sorted(p.name for p in store.iterdir()) == ["t"]


async def test_successful_creation_writes_both_files_and_registers(creator: Any, registry: Any, store: Path, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.INFO, logger="tarvik.tool_creator")
    answer = await create(creator, tool_name="weather", description="Caf\u00e9 forecast", code=CODE, args={"x": 1})
    script = store / "weather" / "tool.py"
    assert answer == (
        "{\n"
        '  "created": "weather",\n'
        f'  "path": "{script}",\n'
        '  "registered": true,\n'
        '  "description": "Caf\\u00e9 forecast"\n'
        "}"
    )
    assert script.read_bytes() == CODE.encode()
    metadata = (store / "weather" / "metadata.json").read_bytes()
    assert metadata == (
        b'{\n  "name": "weather",\n  "description": "Caf\\u00e9 forecast",\n'
        b'  "script": "' + str(script).encode() + b'",\n  "created_by": "agent"\n}'
    )
    tool = registry.get("custom_weather")
    assert (tool.name, tool.description, tool._script_path) == ("custom_weather", "Caf\u00e9 forecast", str(script))
    assert tool._manager is creator._manager
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("INFO", "Registered custom tool: weather")]


@pytest.mark.parametrize(
    ("register", "has_registry", "shown", "registered"),
    [
        (False, True, "false", False),
        (None, True, "null", False),
        ("no", True, '"no"', True),  # any non-empty string tests true
        (True, False, "true", False),  # the report echoes the request
    ],
)
async def test_register_flag(tc: Any, registry: Any, store: Path, caplog: pytest.LogCaptureFixture,
                             register: Any, has_registry: bool, shown: str, registered: bool) -> None:
    caplog.set_level(logging.INFO, logger="tarvik.tool_creator")
    creator = tc.ToolCreatorTool(FakeManager(), registry if has_registry else None)
    answer = await create(creator, tool_name="t", code=CODE, register=register)
    assert f'"registered": {shown},' in answer
    assert ("custom_t" in registry) is registered
    assert bool(caplog.records) is registered
    assert (store / "t" / "metadata.json").exists()


async def test_without_description_stores_empty_text_and_other_json_unchanged(creator: Any, store: Path) -> None:
    await create(creator, tool_name="a", code=CODE)
    await create(creator, tool_name="b", code=CODE, description=[1, None], register=False)
    assert json.loads((store / "a" / "metadata.json").read_text())["description"] == ""
    assert json.loads((store / "b" / "metadata.json").read_text())["description"] == [1, None]


async def test_creating_again_replaces_files_and_keeps_others(creator: Any, registry: Any, store: Path) -> None:
    await create(creator, tool_name="t", code="def main(a): return 1")
    first = registry.get("custom_t")
    (store / "t" / "notes.txt").write_text("mine")
    await create(creator, tool_name="t", code=CODE, description="second")
    assert (store / "t" / "tool.py").read_text() == CODE
    assert json.loads((store / "t" / "metadata.json").read_text())["description"] == "second"
    assert (store / "t" / "notes.txt").read_text() == "mine"
    assert registry.get("custom_t") is not first


async def test_store_root_removed_while_running_is_recreated(creator: Any, store: Path) -> None:
    store.rmdir()
    await create(creator, tool_name="t", code=CODE)
    assert (store / "t" / "tool.py").exists()


@pytest.mark.parametrize(
    ("registry_error", "text"),
    [(ValueError("name taken"), "name taken"), (RuntimeError(), "")],
)
async def test_failed_registration_keeps_files_and_warns(tc: Any, store: Path, caplog: pytest.LogCaptureFixture,
                                                        registry_error: Exception, text: str) -> None:
    class Refusing:
        def register(self, tool: Any) -> None:
            raise registry_error

    creator = tc.ToolCreatorTool(FakeManager(), Refusing())
    answer = await create(creator, tool_name="t", code=CODE)
    script = store / "t" / "tool.py"
    assert answer == (f"Tool saved to {script} but registration failed: {text}. "
                      "You can still run it with tool_creator run.")
    assert script.exists() and (store / "t" / "metadata.json").exists()
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("WARNING", f"Failed to register tool t: {text}")]


async def test_an_error_while_reporting_a_failed_registration_is_chained_to_it(tc: Any, store: Path) -> None:
    class Unprintable(Exception):
        def __str__(self) -> str:
            raise LookupError("no text")

    class Refusing:
        def register(self, tool: Any) -> None:
            raise Unprintable()

    with pytest.raises(LookupError) as raised:
        await create(tc.ToolCreatorTool(FakeManager(), Refusing()), tool_name="t", code=CODE)
    assert type(raised.value.__context__) is Unprintable


async def test_description_that_is_not_text_fails_registration(creator: Any, registry: Any) -> None:
    answer = await create(creator, tool_name="t", code=CODE, description=5)
    assert "but registration failed: Argument 'tool_description' has incorrect type" in answer
    assert "custom_t" not in registry


async def test_base_exceptions_from_register_are_not_swallowed(tc: Any, store: Path) -> None:
    class Exiting:
        def register(self, tool: Any) -> None:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        await create(tc.ToolCreatorTool(FakeManager(), Exiting()), tool_name="t", code=CODE)


async def test_name_that_is_not_text_fails_after_validation(creator: Any, manager: FakeManager) -> None:
    with pytest.raises(TypeError):
        await create(creator, tool_name=42, code=CODE)
    assert len(manager.tasks) == 1


async def test_unencodable_code_fails_after_the_folder(creator: Any, store: Path) -> None:
    with pytest.raises(UnicodeEncodeError):
        await create(creator, tool_name="t", code="x = '\ud800'")
    assert (store / "t").is_dir() and not (store / "t" / "metadata.json").exists()
