"""The MCP server over a registry of pure-Python tools, driven in-process by the SDK's client."""

from __future__ import annotations

import json
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import anyio
import mcp_types as types
import pytest
from mcp.client.session import ClientSession
from mcp.shared.exceptions import MCPError
from mcp.shared.jsonrpc_dispatcher import JSONRPCDispatcher
from mcp.shared.memory import create_client_server_memory_streams

from tarvik.server import build_server, serve_streams
from tarvik.tools.base import Tool
from tarvik.tools.registry import ToolRegistry


class EchoTool(Tool):
    def __init__(self, name: str = "echo", description: str = "Echo the arguments.") -> None:
        self._name = name
        self._description = description

    @property
    def name(self) -> str:
        return self._name

    @property
    def description(self) -> str:
        return self._description

    @property
    def parameters(self) -> dict[str, Any]:
        return {"type": "object", "properties": {"text": {"type": "string"}, "fail": {"type": "boolean"}}}

    async def execute(self, **kwargs: Any) -> Any:
        if kwargs.get("fail"):
            return "[ERROR] asked to fail"
        return json.dumps(kwargs, sort_keys=True)


class RaisingTool(EchoTool):
    async def execute(self, **kwargs: Any) -> Any:
        raise ValueError("the tool broke")


class MakerTool(EchoTool):
    """Changes the registry the way the tool creator does: `register`, and popping `_tools`."""

    def __init__(self, registry: ToolRegistry) -> None:
        super().__init__("maker", "Make or remove tools.")
        self._registry = registry

    @property
    def parameters(self) -> dict[str, Any]:
        keys = ("operation", "tool_name", "description", "then_raise")
        return {"type": "object", "properties": {key: {} for key in keys}}

    async def execute(self, **kwargs: Any) -> Any:
        name = f"custom_{kwargs['tool_name']}"
        if kwargs["operation"] == "create":
            self._registry.register(EchoTool(name, kwargs.get("description", "")))
            if kwargs.get("then_raise"):
                raise RuntimeError("registered, then failed")
            return f"created {name}"
        self._registry._tools.pop(name, None)
        return f"deleted {name}"


COUNTER_SCRIPT = """\
ARGS_SCHEMA = {
    "type": "object",
    "properties": {"n": {"type": "integer"}, "tags": {"type": "array", "items": {"type": "string"}}},
    "required": ["n"],
}
"""


class ScriptTool(EchoTool):
    """Stands in for a dynamic tool: it names the script it runs, which declares its args."""

    def __init__(self, script_path: str) -> None:
        super().__init__("custom_counter", "Count.")
        self._script_path = script_path
        self.calls = 0

    @property
    def parameters(self) -> dict[str, Any]:
        return {"type": "object", "properties": {"args": {"type": "object", "description": "For main()."}}}

    async def execute(self, **kwargs: Any) -> Any:
        self.calls += 1
        return json.dumps({"success": True, "result": kwargs})


@dataclass
class ChangeLog:
    """The tools/list_changed notifications a client received."""

    changes: list[str] = field(default_factory=list)
    changed: anyio.Event = field(default_factory=anyio.Event)

    async def record(self, message: Any) -> None:
        if isinstance(message, types.ToolListChangedNotification):
            self.changes.append(message.method)
            self.changed.set()

    async def wait(self) -> None:
        # A bound against a hang only; nothing here measures time.
        with anyio.fail_after(30):
            await self.changed.wait()
        self.changed = anyio.Event()


@dataclass
class Connection:
    session: ClientSession
    dispatcher: JSONRPCDispatcher[Any]
    log: ChangeLog

    async def tool_names(self) -> list[str]:
        return [tool.name for tool in (await self.session.list_tools()).tools]


@asynccontextmanager
async def connected(
    registry: ToolRegistry, mode: str = "legacy", tenant: str | None = None
) -> AsyncIterator[Connection]:
    tool_server = build_server(registry, tenant=tenant)
    async with create_client_server_memory_streams() as (client_streams, server_streams):
        async with anyio.create_task_group() as group:
            group.start_soon(serve_streams, tool_server, *server_streams)
            log = ChangeLog()
            dispatcher: JSONRPCDispatcher[Any] = JSONRPCDispatcher(*client_streams)
            session = ClientSession(dispatcher=dispatcher, message_handler=log.record)
            async with session:
                # "modern" speaks the 2026-07-28 protocol and opens no subscriptions/listen stream.
                await (session.discover() if mode == "modern" else session.initialize())
                yield Connection(session, dispatcher, log)
            group.cancel_scope.cancel()


def registry_of(*tools: Tool) -> ToolRegistry:
    registry = ToolRegistry()
    for tool in tools:
        registry.register(tool)
    return registry


async def test_list_offers_every_tool_with_its_description_and_schema() -> None:
    registry = registry_of(EchoTool(), EchoTool("second", "The second tool."))
    async with connected(registry) as connection:
        listed = (await connection.session.list_tools()).tools
    assert [(tool.name, tool.description, tool.input_schema) for tool in listed] == [
        (tool.name, tool.description, {**tool.parameters, "additionalProperties": False}) for tool in registry
    ]


async def test_server_declares_that_its_tool_list_changes() -> None:
    async with connected(registry_of(EchoTool())) as connection:
        capabilities = connection.session.server_capabilities
    assert capabilities is not None and capabilities.tools is not None
    assert capabilities.tools.list_changed is True


@pytest.mark.parametrize(
    ("arguments", "text", "is_error"),
    [
        ({"text": "hi"}, '{"text": "hi"}', False),
        (None, "{}", False),
        ({"fail": True}, "[ERROR] asked to fail", True),
    ],
)
async def test_call_returns_the_tool_text(arguments: dict[str, Any] | None, text: str, is_error: bool) -> None:
    async with connected(registry_of(EchoTool())) as connection:
        result = await connection.session.call_tool("echo", arguments)
    assert [content.text for content in result.content if isinstance(content, types.TextContent)] == [text]
    assert result.is_error is is_error


@pytest.mark.parametrize("mode", ["legacy", "modern"])
async def test_registry_changes_are_announced_and_listed(mode: str) -> None:
    registry = ToolRegistry()
    registry.register(MakerTool(registry))
    async with connected(registry, mode) as connection:
        await connection.session.call_tool("maker", {"operation": "create", "tool_name": "weather"})
        await connection.log.wait()
        assert await connection.tool_names() == ["maker", "custom_weather"]

        called = await connection.session.call_tool("custom_weather", {"text": "rain"})
        assert called.content[0].text == '{"text": "rain"}'  # type: ignore[union-attr]

        await connection.session.call_tool("maker", {"operation": "delete", "tool_name": "weather"})
        await connection.log.wait()
        assert await connection.tool_names() == ["maker"]
    assert connection.log.changes == ["notifications/tools/list_changed"] * 2


async def test_calls_that_change_nothing_announce_nothing() -> None:
    registry = ToolRegistry()
    registry.register(MakerTool(registry))
    async with connected(registry) as connection:
        # Deleting what does not exist leaves the registry as it was.
        await connection.session.call_tool("maker", {"operation": "delete", "tool_name": "absent"})
        await connection.session.list_tools()
        assert connection.log.changes == []


async def test_a_tool_replaced_under_its_name_is_announced() -> None:
    registry = ToolRegistry()
    registry.register(MakerTool(registry))
    registry.register(EchoTool("custom_weather", "old"))
    async with connected(registry) as connection:
        await connection.session.call_tool(
            "maker", {"operation": "create", "tool_name": "weather", "description": "new"}
        )
        await connection.log.wait()
        descriptions = {tool.name: tool.description for tool in (await connection.session.list_tools()).tools}
    assert descriptions["custom_weather"] == "new"


async def test_a_change_before_the_tool_raised_is_still_announced() -> None:
    registry = ToolRegistry()
    registry.register(MakerTool(registry))
    async with connected(registry) as connection:
        result = await connection.session.call_tool(
            "maker", {"operation": "create", "tool_name": "weather", "then_raise": True}
        )
        await connection.log.wait()
        assert "custom_weather" in await connection.tool_names()
    assert result.is_error is True
    assert result.content[0].text == "RuntimeError: registered, then failed"  # type: ignore[union-attr]


async def test_a_raising_tool_gives_an_error_result_and_the_server_goes_on() -> None:
    async with connected(registry_of(RaisingTool("broken"), EchoTool())) as connection:
        failed = await connection.session.call_tool("broken", {})
        after = await connection.session.call_tool("echo", {"text": "still here"})
    assert failed.is_error is True
    assert failed.content[0].text == "ValueError: the tool broke"  # type: ignore[union-attr]
    assert after.content[0].text == '{"text": "still here"}'  # type: ignore[union-attr]


@pytest.mark.parametrize("arguments", [{}, [1, 2]])
async def test_unknown_tool_is_a_clear_protocol_error_naming_the_tools_there_are(arguments: Any) -> None:
    async with connected(registry_of(EchoTool())) as connection:
        with pytest.raises(MCPError) as raised:
            await connection.dispatcher.send_raw_request("tools/call", {"name": "nope", "arguments": arguments})
        after = await connection.session.call_tool("echo", {})
    assert raised.value.error.code == types.INVALID_PARAMS
    assert raised.value.error.message == "Unknown tool 'nope'; registered tools: echo"
    assert after.is_error is False


@pytest.mark.parametrize(
    ("arguments", "described_as"),
    [([1, 2], "an array"), ("text", "a string"), (7, "a number"), (True, "a boolean")],
)
async def test_arguments_that_are_not_an_object_are_a_tool_error_the_model_reads(
    arguments: Any, described_as: str
) -> None:
    async with connected(registry_of(EchoTool())) as connection:
        # The typed client refuses to build such a request, so it goes out raw.
        raw = await connection.dispatcher.send_raw_request("tools/call", {"name": "echo", "arguments": arguments})
        after = await connection.session.call_tool("echo", {"text": "ok"})
    refused = types.CallToolResult.model_validate(raw)
    assert refused.is_error is True
    assert [content.text for content in refused.content] == [  # type: ignore[union-attr]
        f"tools/call arguments must be a JSON object mapping parameter names to values, not {described_as}"
    ]
    assert after.is_error is False


async def test_a_failed_announcement_is_made_after_the_next_call(monkeypatch: pytest.MonkeyPatch) -> None:
    from mcp.server.session import ServerSession

    real_send = ServerSession.send_tool_list_changed
    attempts: list[str] = []

    async def fail_first(session: ServerSession) -> None:
        attempts.append("send")
        if len(attempts) == 1:
            raise ConnectionError("write failed")
        await real_send(session)

    monkeypatch.setattr(ServerSession, "send_tool_list_changed", fail_first)
    registry = ToolRegistry()
    registry.register(MakerTool(registry))
    registry.register(EchoTool())
    async with connected(registry) as connection:
        created = await connection.session.call_tool("maker", {"operation": "create", "tool_name": "weather"})
        assert created.is_error is False
        assert connection.log.changes == []
        await connection.session.call_tool("echo", {})
        await connection.log.wait()
    assert attempts == ["send", "send"]
    assert connection.log.changes == ["notifications/tools/list_changed"]


@pytest.mark.parametrize(
    ("arguments", "refusal"),
    [
        ({"args": {"n": 1, "tags": ["a"]}}, None),
        ({"n": 1}, "custom_counter has no argument 'n' (its arguments: args); the tool's own arguments go inside"),
        ({"args": {"n": "1"}}, "Invalid arguments for custom_counter: args.n: '1' is not of type 'integer'"),
        ({"args": {"n": 1, "tags": ["a", 2]}}, "args.tags[1]: 2 is not of type 'string'"),
        ({"args": {"n": 1, "extra": 0}}, "args: Additional properties are not allowed ('extra' was unexpected)"),
        ({}, "args: 'n' is a required property"),
        ({"args": "hi"}, "args: 'hi' is not of type 'object'"),
    ],
)
async def test_a_typed_tool_is_offered_its_schema_and_refuses_other_arguments_unrun(
    tmp_path: Path, arguments: dict[str, Any], refusal: str | None
) -> None:
    script = tmp_path / "tool.py"
    script.write_text(COUNTER_SCRIPT, encoding="utf-8")
    tool = ScriptTool(str(script))
    async with connected(registry_of(tool)) as connection:
        (listed,) = (await connection.session.list_tools()).tools
        result = await connection.session.call_tool(tool.name, arguments)
        # A refusal is a tool error whose text the model reads and corrects, not a protocol error.
        assert result.is_error is (refusal is not None)
        if refusal is not None:
            (content,) = result.content
            assert isinstance(content, types.TextContent) and refusal in content.text
    assert listed.input_schema["required"] == ["args"]
    assert listed.input_schema["properties"]["args"] == {
        "type": "object",
        "properties": {"n": {"type": "integer"}, "tags": {"type": "array", "items": {"type": "string"}}},
        "required": ["n"],
        "additionalProperties": False,
        "description": "For main().",
    }
    assert tool.calls == (1 if refusal is None else 0)


def texts_of(result: types.CallToolResult) -> list[str]:
    return [content.text for content in result.content if isinstance(content, types.TextContent)]


def creator_registry(tc: Any) -> ToolRegistry:
    from conftest import FakeManager

    registry = ToolRegistry()
    registry.register(tc.ToolCreatorTool(FakeManager(), registry))
    return registry


CREATE_SHOUT = {
    "operation": "create",
    "tool_name": "shout",
    "description": "Shout.",
    "code": 'def main(args):\n    return {"success": True, "result": "HI"}\n',
}


async def test_a_create_that_replaced_a_tool_says_so_in_a_text_block_of_its_own(tc: Any) -> None:
    async with connected(creator_registry(tc)) as connection:
        first = texts_of(await connection.session.call_tool("tool_creator", CREATE_SHOUT))
        again = texts_of(await connection.session.call_tool("tool_creator", CREATE_SHOUT))
    assert len(first) == 2 and len(again) == 3
    assert json.loads(again[0])["created"] == "shout"
    assert again[1] == (
        "This create replaced the tool 'shout' that was saved before: its earlier code and description are gone."
    )
    # The hint cannot know a client's prefix (pydantic-ai offers tarvik_tool_creator), and says so.
    assert again[2] == first[1]
    assert "call it now through the tool_creator tool of this server (your client may show it with a prefix): " in (
        again[2]
    )


@pytest.mark.parametrize(("tenant", "folder"), [(None, "home"), ("alice", "alice"), ("alice", "d\u00e4ta/alice")])
async def test_a_tenant_sees_its_store_under_a_home_of_tilde(
    tc: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, tenant: str | None, folder: str
) -> None:
    # A name that JSON writes escaped (d\u00e4ta) is found in the JSON texts too.
    home = tmp_path / folder
    home.mkdir(parents=True, exist_ok=True)
    monkeypatch.setenv("HOME", str(home))
    shown = "~" if tenant else str(home)
    async with connected(creator_registry(tc), tenant=tenant) as connection:
        created = texts_of(await connection.session.call_tool("tool_creator", CREATE_SHOUT))
        info = texts_of(
            await connection.session.call_tool("tool_creator", {"operation": "info", "tool_name": "shout"})
        )
        listed = texts_of(await connection.session.call_tool("tool_creator", {"operation": "list"}))
    script = f"{shown}/.tarvik/custom_tools/shout/tool.py"
    assert json.loads(created[0])["path"] == json.loads(info[0])["script"] == script
    assert json.loads(listed[0])["tools"][0]["path"] == script
    if tenant:
        forms = (str(home), json.dumps(str(home))[1:-1])
        assert not any(form in text for text in [*created, *info, *listed] for form in forms)


def test_only_the_home_itself_is_shown_as_tilde() -> None:
    from tarvik.calls import home_as_tilde

    shown = home_as_tilde("/srv/tarvik/alice")
    assert shown("/srv/tarvik/alice '/srv/tarvik/alice/x' /srv/tarvik/alice2/x /srv/tarvik/alice.x") == (
        "~ '~/x' /srv/tarvik/alice2/x /srv/tarvik/alice.x"
    )
