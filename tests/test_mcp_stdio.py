"""`tarvik serve` end to end: the SDK's stdio client against the real extension and worker."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import sys
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import anyio
import mcp_types as types
import pytest
from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.shared.exceptions import MCPError
from mcp.shared.jsonrpc_dispatcher import JSONRPCDispatcher

SUM_CODE = (
    "import os\n"
    "def main(args: dict) -> dict:\n"
    '    print("noise that must not reach the protocol")\n'
    '    os.write(1, b"raw noise\\n")\n'
    '    return {"success": True, "result": sum(args["numbers"])}\n'
)
# The same tool with its args declared.
TYPED_SUM_CODE = (
    "from typing import TypedDict\n"
    "class SumArgs(TypedDict):\n"
    "    numbers: list[int]\n"
) + SUM_CODE.replace("args: dict", "args: SumArgs")


def tarvik_command() -> tuple[str, list[str]]:
    # The console script of this very install, as an MCP client would start it.
    script = Path(sys.executable).with_name("tarvik")
    if script.exists():
        return str(script), []
    return sys.executable, ["-m", "tarvik.cli.main"]


@dataclass
class ChangeCounter:
    """Counts the tools/list_changed notifications the client receives."""

    count: int = 0
    changed: anyio.Event = field(default_factory=anyio.Event)

    async def record(self, message: Any) -> None:
        if isinstance(message, types.ToolListChangedNotification):
            self.count += 1
            self.changed.set()


@dataclass
class Served:
    session: ClientSession
    dispatcher: JSONRPCDispatcher[Any]
    changes: ChangeCounter

    async def wait_for_change(self) -> None:
        # A bound against a hang only; nothing here measures time.
        with anyio.fail_after(60):
            await self.changes.changed.wait()
        self.changes.changed = anyio.Event()

    async def tools(self) -> dict[str, types.Tool]:
        return {tool.name: tool for tool in (await self.session.list_tools()).tools}

    async def creator(self, **arguments: Any) -> types.CallToolResult:
        return await self.session.call_tool("tool_creator", arguments)


def text_of(result: types.CallToolResult) -> str:
    return texts_of(result)[0]


def texts_of(result: types.CallToolResult) -> list[str]:
    assert all(isinstance(content, types.TextContent) for content in result.content)
    return [content.text for content in result.content]  # type: ignore[union-attr]


@asynccontextmanager
async def serve(home: Path, errlog_path: Path, *extra_args: str, mode: str = "legacy") -> AsyncIterator[Served]:
    command, args = tarvik_command()
    parameters = StdioServerParameters(
        command=command, args=[*args, "--log-level", "INFO", "serve", *extra_args], env={"HOME": str(home)}
    )
    with errlog_path.open("w") as errlog:
        async with stdio_client(parameters, errlog=errlog) as (read_stream, write_stream):
            dispatcher: JSONRPCDispatcher[Any] = JSONRPCDispatcher(read_stream, write_stream)
            changes = ChangeCounter()
            session = ClientSession(dispatcher=dispatcher, message_handler=changes.record)
            async with session:
                # "modern" speaks the 2026-07-28 protocol and opens no subscriptions/listen stream.
                await (session.discover() if mode == "modern" else session.initialize())
                yield Served(session, dispatcher, changes)


@pytest.fixture
def home(tmp_path: Path) -> Path:
    folder = tmp_path / "home"
    folder.mkdir()
    return folder


@pytest.mark.parametrize("mode", ["legacy", "modern"])
async def test_a_tool_is_created_announced_called_and_deleted(home: Path, tmp_path: Path, mode: str) -> None:
    errlog = tmp_path / "stderr.txt"
    async with serve(home, errlog, mode=mode) as served:
        capabilities = served.session.server_capabilities
        assert capabilities is not None and capabilities.tools is not None and capabilities.tools.list_changed
        before = await served.tools()
        assert list(before) == ["tool_creator"]
        assert before["tool_creator"].input_schema["required"] == ["operation"]

        created = await served.creator(
            operation="create", tool_name="adder", description="Add up numbers.", code=TYPED_SUM_CODE
        )
        report, follow_up = texts_of(created)
        assert json.loads(report)["registered"] is True
        assert '{"operation": "run", "tool_name": "adder"' in follow_up
        assert "the tool_creator tool of this server (your client may show it with a prefix)" in follow_up
        await served.wait_for_change()
        after_create = await served.tools()
        assert list(after_create) == ["tool_creator", "custom_adder"]
        assert after_create["custom_adder"].description == "Add up numbers."
        numbers = after_create["custom_adder"].input_schema["properties"]["args"]["properties"]["numbers"]
        assert numbers == {"type": "array", "items": {"type": "integer"}}

        called = await served.session.call_tool("custom_adder", {"args": {"numbers": [1, 2, 39]}})
        assert called.is_error is False
        assert json.loads(text_of(called)) == {"success": True, "result": 42}

        deleted = await served.creator(operation="delete", tool_name="adder")
        assert text_of(deleted) == "Deleted custom tool: adder"
        await served.wait_for_change()
        assert list(await served.tools()) == ["tool_creator"]
        with pytest.raises(MCPError, match="Unknown tool 'custom_adder'"):
            await served.session.call_tool("custom_adder", {"args": {"numbers": [1]}})
        assert served.changes.count == 2
    assert not (home / ".tarvik" / "custom_tools" / "adder").exists()
    log = errlog.read_text()
    assert "Serving tool_creator over stdio" in log
    assert "Tool list changed: tool_creator, custom_adder" in log


async def test_bad_calls_give_clear_errors_and_the_server_goes_on(home: Path, tmp_path: Path) -> None:
    async with serve(home, tmp_path / "stderr.txt") as served:
        with pytest.raises(MCPError) as unknown:
            await served.session.call_tool("no_such_tool", {})
        assert unknown.value.error.message == "Unknown tool 'no_such_tool'; registered tools: tool_creator"

        # Arguments the tool cannot take are a tool error, for the model to read and correct.
        not_object = types.CallToolResult.model_validate(
            await served.dispatcher.send_raw_request(
                "tools/call", {"name": "tool_creator", "arguments": ["operation", "list"]}
            )
        )
        assert not_object.is_error is True
        assert "must be a JSON object" in text_of(not_object)
        off_schema = await served.creator(operation="list", verbose=True)
        assert off_schema.is_error is True
        assert text_of(off_schema).startswith("tool_creator has no argument 'verbose' (its arguments: operation, ")

        await served.creator(operation="create", tool_name="adder", code=SUM_CODE)
        # A metadata file that is not JSON makes the tool creator raise, not answer.
        (home / ".tarvik" / "custom_tools" / "adder" / "metadata.json").write_text("{", encoding="utf-8")
        raised = await served.creator(operation="info", tool_name="adder")
        assert raised.is_error is True
        assert text_of(raised).startswith("JSONDecodeError: ")

        failed = await served.session.call_tool("custom_adder", {"args": {}})
        assert failed.is_error is True
        assert text_of(failed).startswith("[ERROR] ") and "KeyError" in text_of(failed)
        # What the tool printed before it failed ends the error, for the model to read.
        assert text_of(failed).rstrip().endswith("raw noise")

        still_serving = await served.session.call_tool("custom_adder", {"args": {"numbers": [2, 3]}})
        assert json.loads(text_of(still_serving))["result"] == 5


@pytest.mark.parametrize("register_saved", [False, True])
async def test_saved_tools_are_offered_after_a_restart_unless_switched_off(
    home: Path, tmp_path: Path, register_saved: bool
) -> None:
    async with serve(home, tmp_path / "first.txt") as served:
        await served.creator(operation="create", tool_name="adder", description="Add up numbers.", code=SUM_CODE)
    extra = [] if register_saved else ["--no-register-saved"]
    async with serve(home, tmp_path / "second.txt", *extra) as served:
        tools = await served.tools()
        if register_saved:
            called = await served.session.call_tool("custom_adder", {"args": {"numbers": [4, 5]}})
            assert json.loads(text_of(called))["result"] == 9
    expected = ["tool_creator", "custom_adder"] if register_saved else ["tool_creator"]
    assert list(tools) == expected


async def start_serve(home: Path, *, stderr: int) -> asyncio.subprocess.Process:
    """`tarvik serve` over pipes of this test's own, sent the client's `initialize`."""
    command, args = tarvik_command()
    process = await asyncio.create_subprocess_exec(
        command, *args, "serve", stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE, stderr=stderr,
        env={**os.environ, "HOME": str(home)},
    )
    assert process.stdin is not None
    initialize = {
        "jsonrpc": "2.0",
        "id": 1,
        "method": "initialize",
        "params": {"protocolVersion": "2025-11-25", "capabilities": {}, "clientInfo": {"name": "t", "version": "0"}},
    }
    process.stdin.write(json.dumps(initialize).encode() + b"\n")
    await process.stdin.drain()
    return process


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
async def test_a_stop_signal_ends_the_server_while_its_input_is_still_open(home: Path, signum: int) -> None:
    process = await start_serve(home, stderr=asyncio.subprocess.DEVNULL)
    assert process.stdin is not None and process.stdout is not None
    # Once it has answered, the server is serving; the input stays open.
    answer = json.loads(await process.stdout.readline())
    assert answer["result"]["serverInfo"]["name"] == "tarvik"
    process.send_signal(signum)
    with anyio.fail_after(60):
        status = await process.wait()
    process.stdin.close()
    assert status == 128 + signum


async def test_a_client_that_leaves_at_once_is_let_go_quietly(home: Path) -> None:
    process = await start_serve(home, stderr=asyncio.subprocess.PIPE)
    assert process.stdin is not None and process.stdout is not None
    create = {
        "jsonrpc": "2.0",
        "id": 2,
        "method": "tools/call",
        "params": {
            "name": "tool_creator",
            "arguments": {"operation": "create", "tool_name": "adder", "code": SUM_CODE},
        },
    }
    await process.stdout.readline()
    # A call under way while the workers still start, and the client gone.
    process.stdin.write(json.dumps({"jsonrpc": "2.0", "method": "notifications/initialized"}).encode() + b"\n")
    process.stdin.write(json.dumps(create).encode() + b"\n")
    process.stdin.close()
    with anyio.fail_after(60):
        _, stderr = await process.communicate()
    log = stderr.decode()
    assert process.returncode == 0, log
    assert "PoolError" not in log and "never retrieved" not in log and "Traceback" not in log, log
