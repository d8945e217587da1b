"""The tool process's own logic, called in-process: checking code, encoding answers, errors."""

from __future__ import annotations

import json
import math

import pytest

from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask
from tarvik.worker import protocol
from tarvik.worker import tool_process as worker


@pytest.mark.parametrize(
    ("code", "message"),
    [
        ("x = 1\ny = 2\ndef main(args:\n    pass\n", "Syntax error at line 3:"),
        ("def main(args):\n  return 1\n   return 2\n", "Syntax error at line 3:"),
        ("x = 1\n", "No top-level function 'main' defined"),
        ("class Tool:\n    def main(self, args):\n        pass\n", "No top-level function 'main'"),
        ("def outer():\n    def main(args):\n        pass\n", "No top-level function 'main'"),
        ("main = lambda args: args\n", "No top-level function 'main'"),
        ("def main():\n    return {}\n", "main() must accept one argument (args)"),
        ("def main(*, args):\n    return {}\n", "main() must accept one argument (args)"),
        ("def main(a, b):\n    return {}\n", "one argument (args), but it requires 2"),
        ("def main(args, *, flag):\n    pass\n", "keyword arguments: flag"),
        ("def main(args):\n    pass\ndef main():\n    pass\n", "main() must accept one argument"),
        ("x = 'a\x00b'\n", "Syntax error"),
    ],
)
def test_validate_rejects(code: str, message: str) -> None:
    outcome = worker.validate_code(code)
    assert outcome["valid"] is False
    assert message in outcome["message"]


@pytest.mark.parametrize(
    "code",
    [
        "def main(args):\n    return args\n",
        "async def main(args):\n    return args\n",
        "def main(*args):\n    return {}\n",
        "def main(args, extra=None, *, flag=False):\n    return {}\n",
        "def main(args, /):\n    return {}\n",
        "def main():\n    pass\ndef main(args):\n    pass\n",
    ],
)
def test_validate_accepts(code: str) -> None:
    assert worker.validate_code(code) == {"valid": True, "message": "Code is valid"}


def test_validate_never_runs_the_code(tmp_path) -> None:
    marker = tmp_path / "ran"
    code = f"open({str(marker)!r}, 'w').close()\ndef main(args):\n    return {{}}\n"
    assert worker.validate_code(code)["valid"] is True
    assert not marker.exists()


def _decode(encoded: tuple[bytes, bool]) -> dict:
    frame, succeeded = encoded
    (length,) = protocol.FRAME_HEADER.unpack_from(frame)
    assert length == len(frame) - protocol.FRAME_HEADER.size
    result = json.loads(frame[protocol.FRAME_HEADER.size :])
    assert succeeded is result["ok"]
    return result


@pytest.mark.parametrize(
    ("output", "fragment"),
    [({1, 2}, "not JSON-serialisable"), (math.nan, "not JSON-serialisable"), (object(), "object")],
)
def test_unserialisable_output_becomes_an_error(output: object, fragment: str) -> None:
    reply = _decode(worker.encode_result({"ok": True, "output": output}, 1 << 20))
    assert reply["ok"] is False
    assert fragment in reply["error"]


def test_oversized_output_becomes_an_error() -> None:
    reply = _decode(worker.encode_result({"ok": True, "output": "x" * 5000}, 1000))
    assert reply == {"ok": False, "error": reply["error"], "seq": 0}
    assert "too large" in reply["error"] and "1000" in reply["error"]


def test_output_within_the_bound_survives_the_round_trip() -> None:
    output = {"text": "é\udcff", "items": [1, 2.5, None, True]}
    assert _decode(worker.encode_result({"ok": True, "output": output}, 1 << 20))["output"] == output


@pytest.mark.parametrize(
    ("command", "fragment"),
    [
        ({"action": "explode"}, "Unknown action 'explode'"),
        ({"action": "validate"}, "needs 'code'"),
        ({"action": "run_function", "path": 3}, "needs 'path'"),
        ({"action": "run_function", "path": "/x/tool.py", "args": {1j}}, "not JSON-serialisable"),
        ("validate", "must be a JSON object"),
    ],
)
async def test_malformed_commands_are_refused_before_any_task(command: object, fragment: str) -> None:
    manager = SubprocessManager()
    result = await manager.spawn(SubprocessTask(worker_type="custom", command=command, timeout=5))
    assert result.output is None and fragment in result.error
    assert manager._runners is None  # no pool was started for it
    await manager.aclose()


def test_tool_exception_names_type_message_and_tool_line(tmp_path) -> None:
    tool = tmp_path / "tool.py"
    tool.write_text(
        "def helper():\n    raise KeyError('missing')\n\ndef main(args):\n    helper()\n"
    )
    with pytest.raises(worker.ToolError) as caught:
        worker.run_function(str(tool), "main", {})
    text = str(caught.value)
    assert text.startswith("Tool raised KeyError: 'missing'")
    assert 'tool.py", line 2, in helper' in text
    assert worker.__file__ not in text


@pytest.mark.parametrize(
    ("source", "function", "fragment"),
    [
        ("def main(args):\n    return 1\n", "other", "Function 'other' not found in tool.py"),
        ("main = 3\n", "main", "'main' in tool.py is not callable"),
        ("import no_such_module_here\n", "main", "Loading the tool failed: ModuleNotFoundError"),
        ("raise SystemExit(4)\n", "main", "exit(4)"),
    ],
)
def test_tool_loading_failures(tmp_path, source: str, function: str, fragment: str) -> None:
    tool = tmp_path / "tool.py"
    tool.write_text(source)
    with pytest.raises(worker.ToolError, match=fragment.replace("(", r"\(").replace(")", r"\)")):
        worker.run_function(str(tool), function, {})


def test_coroutine_tools_are_awaited_and_helpers_beside_them_import(tmp_path) -> None:
    (tmp_path / "helper_mod.py").write_text("FACTOR = 3\n")
    tool = tmp_path / "tool.py"
    tool.write_text(
        "import asyncio, helper_mod\n"
        "async def main(args):\n"
        "    await asyncio.sleep(0)\n"
        "    return {'value': args['n'] * helper_mod.FACTOR, 'name': __name__}\n"
    )
    result = worker.run_function(str(tool), "main", {"n": 7})
    assert result["value"] == 21
    assert result["name"] != "__main__"


def test_close_stray_fds_keeps_only_what_is_asked(tmp_path) -> None:
    import os

    kept_read, kept_write = os.pipe()
    stray_read, stray_write = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child reports which of the four survived, by exit code
        worker.close_stray_fds((kept_read, kept_write))
        alive = 0
        for bit, fd in enumerate((kept_read, kept_write, stray_read, stray_write)):
            try:
                os.fstat(fd)
                alive |= 1 << bit
            except OSError:
                pass
        os._exit(alive)
    _, status = os.waitpid(pid, 0)
    for fd in (kept_read, kept_write, stray_read, stray_write):
        os.close(fd)
    assert os.waitstatus_to_exitcode(status) == 0b0011
