"""The validate operation and the code check that creation shares."""

from __future__ import annotations

from typing import Any

import pytest
from conftest import FakeManager, FakeResult


@pytest.mark.parametrize("kwargs", [{}, {"code": ""}, {"code": None}, {"code": 0}])
async def test_missing_code_starts_no_worker(creator: Any, manager: FakeManager, kwargs: dict) -> None:
    assert await creator.execute(operation="validate", **kwargs) == "[ERROR] code is required."
    assert manager.tasks == []


async def test_task_sent_to_the_worker(creator: Any, manager: FakeManager) -> None:
    from tarvik.core.subprocess_manager import SubprocessTask

    await creator.execute(operation="validate", code="   ")
    (task,) = manager.tasks
    assert type(task) is SubprocessTask
    assert (task.worker_type, task.command, task.timeout) == (
        "custom", {"action": "validate", "code": "   "}, 10.0)
    assert list(task.command) == ["action", "code"] and type(task.timeout) is float


@pytest.mark.parametrize(
    ("result", "text"),
    [
        (FakeResult(error="worker \u00e9clat\u00e9"),
         '{\n  "valid": false,\n  "message": "worker \\u00e9clat\\u00e9"\n}'),
        (FakeResult(error="", output=None),
         '{\n  "valid": false,\n  "message": "No validation result"\n}'),
        (FakeResult(output={}), '{\n  "valid": false,\n  "message": "No validation result"\n}'),
        (FakeResult(output={"valid": False, "message": "bad", "line": 3, "extra": [1]}),
         '{\n  "valid": false,\n  "message": "bad",\n  "line": 3,\n  "extra": [\n    1\n  ]\n}'),
    ],
)
async def test_report_is_shown_whole_as_pretty_json(creator: Any, manager: FakeManager, result: FakeResult, text: str) -> None:
    manager.result = result
    assert await creator.execute(operation="validate", code="x") == text


async def test_error_is_passed_unconverted_into_the_report(creator: Any, manager: FakeManager) -> None:
    manager.result = FakeResult(error=3)
    assert await creator._validate_code("x") == {"valid": False, "message": 3}


@pytest.mark.parametrize("output", ["text", ["list"], type("D", (dict,), {})(a=1)])
async def test_output_that_is_not_exactly_a_dict_is_refused(creator: Any, manager: FakeManager, output: Any) -> None:
    manager.result = FakeResult(output=output)
    with pytest.raises(TypeError, match=f"Expected dict, got {type(output).__name__}"):
        await creator._validate_code("x")


async def test_code_of_another_type_raises_before_any_worker(creator: Any, manager: FakeManager) -> None:
    with pytest.raises(TypeError, match="Argument 'code' has incorrect type"):
        await creator.execute(operation="validate", code=12)
    assert manager.tasks == []
