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
from mcp_types.version import MODERN_PROTOCOL_VERSIONS

from tarvik import __version__
from tarvik.calls import CallOutcome, InvalidArgumentsError, ToolCalls, UnknownToolError
from tarvik.server.watch import RegistryWatch
from tarvik.tools.registry import ToolRegistry

if TYPE_CHECKING:
    from mcp.shared._stream_protocols import ReadStream, WriteStream
    from mcp.shared.message import SessionMessage

logger = logging.getLogger("tarvik.server")

SERVER_NAME = "tarvik"

# tool_creator's own description and schema are fixed texts; the rest of what a
# model should know about writing tools for this host is said here.
INSTRUCTIONS = """\
Use tool_creator to write, validate, save and manage your own Python tools; a created tool \
appears in the tool list as custom_<name> (tool_name: 1 to 57 characters of A-Z a-z 0-9 _ -).
Declare a tool's arguments so they are offered and checked: either a module-level dict literal \
ARGS_SCHEMA = {"type": "object", "properties": {"text": {"type": "string"}}, "required": ["text"]}, \
or a TypedDict class as the annotation of main's parameter (def main(args: ShoutArgs) -> dict). \
Keys a schema does not list are refused unless it sets "additionalProperties".
Call custom_<name> with its arguments inside args: {"args": {"text": "hi"}}. If custom_<name> is not \
in your list yet, call tool_creator with {"operation": "run", "tool_name": "<name>", "args": {...}}."""

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


def _text_result(*texts: str, is_error: bool) -> types.CallToolResult:
    content = [types.TextContent(type="text", text=text) for text in texts]
    return types.CallToolResult(content=content, is_error=is_error)


def _outcome_result(outcome: CallOutcome) -> types.CallToolResult:
    texts = [outcome.text] if outcome.follow_up is None else [outcome.text, outcome.follow_up]
    return _text_result(*texts, is_error=outcome.is_error)


class ToolServer:
    """Serves the registry's tools and announces every change of them.

    A tool call may add or remove tools (the tool creator registers
    `custom_<name>` and deletes it again), so after each call the registry is
    compared with what the client was last told and, when it differs,
    `notifications/tools/list_changed` goes out to the client of that call
    and to every `subscriptions/listen` stream. On the 2026-07-28 protocol
    it rides the stream of the call itself: most clients never open a listen
    stream, and would otherwise keep a cached list without the new tool.
    """

    def __init__(self, registry: ToolRegistry) -> None:
        self._registry = registry
        self._calls = ToolCalls(registry)
        self._watch = RegistryWatch(registry)
        self._bus = InMemorySubscriptionBus()
        self.server: Server[Any] = Server(
            SERVER_NAME,
            version=__version__,
            instructions=INSTRUCTIONS,
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
                schema = await self._calls.parameters(tool)
                offered.append(types.Tool(name=tool.name, description=tool.description, input_schema=schema))
            except Exception:
                # One broken tool must not hide all the others from the client.
                logger.exception("Leaving a tool out of the list: its description or schema failed")
        return types.ListToolsResult(tools=offered)

    async def _call_tool(
        self, ctx: ServerRequestContext[Any, Any], params: types.CallToolRequestParams
    ) -> types.CallToolResult:
        try:
            outcome = await self._calls.call(params.name, params.arguments or {})
        except (UnknownToolError, InvalidArgumentsError) as exc:
            raise MCPError(code=types.INVALID_PARAMS, message=str(exc)) from None
        except Exception as exc:
            logger.exception("Tool %s raised", params.name)
            result = _text_result(f"{type(exc).__name__}: {exc}", is_error=True)
        else:
            result = _outcome_result(outcome)
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
            if ctx.session.protocol_version in MODERN_PROTOCOL_VERSIONS:
                await ctx.session.send_notification(
                    types.ToolListChangedNotification(), related_request_id=ctx.request_id
                )
            else:
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
