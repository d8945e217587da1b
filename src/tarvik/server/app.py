"""The low-level MCP server over a tool registry whose tools come and go."""

from __future__ import annotations

import logging
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import mcp_types as types
from mcp.server.context import CallNext, HandlerResult, ServerRequestContext
from mcp.server.lowlevel import NotificationOptions, Server
from mcp.server.models import InitializationOptions
from mcp.server.subscriptions import InMemorySubscriptionBus, ListenHandler, ToolsListChanged
from mcp.shared.exceptions import MCPError

from tarvik import __version__
from tarvik.host import ERROR_PREFIX, UnknownToolError, call_tool
from tarvik.server.watch import RegistryWatch
from tarvik.tools.registry import ToolRegistry

if TYPE_CHECKING:
    from mcp.shared._stream_protocols import ReadStream, WriteStream
    from mcp.shared.message import SessionMessage

logger = logging.getLogger("tarvik.server")

SERVER_NAME = "tarvik"

_JSON_TYPE_NAMES: dict[type, str] = {
    list: "an array",
    str: "a string",
    bool: "a boolean",
    int: "a number",
    float: "a number",
}


def _json_type_name(value: object) -> str:
    return _JSON_TYPE_NAMES.get(type(value), type(value).__name__)


async def require_object_arguments(ctx: ServerRequestContext[Any, Any], call_next: CallNext) -> HandlerResult:
    """Refuse a tools/call whose arguments are not a JSON object, saying so plainly.

    Runs ahead of the SDK's own params validation, whose report for this
    mistake is a generic validation dump.
    """
    if ctx.method == "tools/call" and isinstance(ctx.params, Mapping):
        arguments = ctx.params.get("arguments")
        if arguments is not None and not isinstance(arguments, Mapping):
            raise MCPError(
                code=types.INVALID_PARAMS,
                message=(
                    "tools/call arguments must be a JSON object mapping parameter names to values, "
                    f"not {_json_type_name(arguments)}"
                ),
            )
    return await call_next(ctx)


def _text_result(text: str, *, is_error: bool) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(type="text", text=text)], is_error=is_error)


class ToolServer:
    """Serves the registry's tools and announces every change of them.

    A tool call may add or remove tools (the tool creator registers
    `custom_<name>` and deletes it again), so after each call the registry is
    compared with what the client was last told and, when it differs,
    `notifications/tools/list_changed` goes out on the session of that call
    (handshake-era clients) and to every `subscriptions/listen` stream
    (2026-era clients).
    """

    def __init__(self, registry: ToolRegistry) -> None:
        self._registry = registry
        self._watch = RegistryWatch(registry)
        self._bus = InMemorySubscriptionBus()
        self.server: Server[Any] = Server(
            SERVER_NAME,
            version=__version__,
            instructions=(
                "Use tool_creator to write, validate, save and manage your own Python tools; "
                "a created tool appears in the tool list as custom_<name>."
            ),
            on_list_tools=self._list_tools,
            on_call_tool=self._call_tool,
            on_subscriptions_listen=ListenHandler(self._bus),
        )
        self.server.middleware.append(require_object_arguments)

    def initialization_options(self) -> InitializationOptions:
        return self.server.create_initialization_options(NotificationOptions(tools_changed=True))

    async def _list_tools(
        self, ctx: ServerRequestContext[Any, Any], params: types.PaginatedRequestParams | None
    ) -> types.ListToolsResult:
        offered: list[types.Tool] = []
        for tool in self._registry:
            try:
                offered.append(types.Tool(name=tool.name, description=tool.description, input_schema=tool.parameters))
            except Exception:
                # One broken tool must not hide all the others from the client.
                logger.exception("Leaving a tool out of the list: its description or schema failed")
        return types.ListToolsResult(tools=offered)

    async def _call_tool(
        self, ctx: ServerRequestContext[Any, Any], params: types.CallToolRequestParams
    ) -> types.CallToolResult:
        try:
            text = await call_tool(self._registry, params.name, params.arguments or {})
        except UnknownToolError as exc:
            raise MCPError(code=types.INVALID_PARAMS, message=str(exc)) from None
        except Exception as exc:
            logger.exception("Tool %s raised", params.name)
            result = _text_result(f"{type(exc).__name__}: {exc}", is_error=True)
        else:
            result = _text_result(text, is_error=text.startswith(ERROR_PREFIX))
        finally:
            # Also after a failure: a tool may have changed the registry before raising.
            await self._announce_changes(ctx)
        return result

    async def _announce_changes(self, ctx: ServerRequestContext[Any, Any]) -> None:
        table = self._watch.news()
        if table is None:
            return
        logger.info("Tool list changed: %s", ", ".join(table))
        try:
            await ctx.session.send_tool_list_changed()
            await self._bus.publish(ToolsListChanged())
        except Exception:
            # The call itself succeeded; a client gone away must not turn it into an error.
            logger.exception("Could not announce the tool list change")
            return
        self._watch.announced(table)


def build_server(registry: ToolRegistry) -> ToolServer:
    return ToolServer(registry)


async def serve_streams(
    tool_server: ToolServer,
    read_stream: ReadStream[SessionMessage | Exception],
    write_stream: WriteStream[SessionMessage],
) -> None:
    """Serve one client over a pair of message streams until it disconnects."""
    await tool_server.server.run(read_stream, write_stream, tool_server.initialization_options())
