"""The low-level MCP server over a tool registry whose tools come and go."""

from __future__ import annotations

import asyncio
import logging
import time
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import mcp_types as types
from mcp.server.context import CallNext, HandlerResult, ServerRequestContext
from mcp.server.lowlevel import NotificationOptions, Server
from mcp.server.models import InitializationOptions
from mcp.server.subscriptions import InMemorySubscriptionBus, ListenHandler, ToolsListChanged
from mcp.shared.exceptions import MCPError
from mcp_types.version import MODERN_PROTOCOL_VERSIONS

from tarvik import __version__
from tarvik.calllog import CallLog
from tarvik.calls import CallOutcome, InvalidArgumentsError, ToolCalls, UnknownToolError, home_as_tilde
from tarvik.server.watch import RegistryWatch, SessionWatches
from tarvik.tools.registry import ToolRegistry

if TYPE_CHECKING:
    from mcp.shared._stream_protocols import ReadStream, WriteStream
    from mcp.shared.message import SessionMessage

logger = logging.getLogger("tarvik.server")
# One line per tool call: who, what, how it ended, how long it took.
access_log = logging.getLogger("tarvik.access")

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


def _not_an_object_text(arguments: object) -> str:
    return (
        "tools/call arguments must be a JSON object mapping parameter names to values, "
        f"not {_json_type_name(arguments)}"
    )


class _ChangingToolsServer(Server[Any]):
    """A server whose tool list changes, whichever transport asks for its options.

    The HTTP session manager builds each session's options itself, from the
    defaults, which would deny the client the change notices.
    """

    def create_initialization_options(
        self,
        notification_options: NotificationOptions | None = None,
        experimental_capabilities: dict[str, dict[str, Any]] | None = None,
        extensions: dict[str, dict[str, Any]] | None = None,
    ) -> InitializationOptions:
        return super().create_initialization_options(
            notification_options or NotificationOptions(tools_changed=True), experimental_capabilities, extensions
        )


def _text_result(*texts: str, is_error: bool) -> types.CallToolResult:
    content: list[types.ContentBlock] = [types.TextContent(type="text", text=text) for text in texts]
    return types.CallToolResult(content=content, is_error=is_error)


def _outcome_result(outcome: CallOutcome) -> types.CallToolResult:
    texts = [outcome.text, *outcome.notes]
    if outcome.follow_up is not None:
        texts.append(outcome.follow_up)
    return _text_result(*texts, is_error=outcome.is_error)


class ToolServer:
    """Serves the registry's tools and announces every change of them.

    A tool call may add or remove tools (the tool creator registers
    `custom_<name>` and deletes it again), so after each call the registry is
    compared with what the client of that call was last told and, when it
    differs, `notifications/tools/list_changed` goes out to that client and to
    every `subscriptions/listen` stream. Each HTTP session keeps its own
    account, so a session also hears, after its next call, of the tools
    another session of the same store added. Over HTTP and on the 2026-07-28
    protocol the notice rides the stream of the call itself: most clients
    never open a listen stream, and would otherwise keep a cached list
    without the new tool.
    """

    def __init__(
        self, registry: ToolRegistry, *, tenant: str | None = None, max_calls: int | None = None, quota: Any = None,
        log: CallLog | None = None,
    ) -> None:
        self._registry = registry
        # A tenant's store is its process's HOME, a folder of the server's
        # data; the tenant sees it as ~ in every text it is answered with.
        self._calls = ToolCalls(registry, shown=home_as_tilde(str(Path.home())) if tenant else None,
                                quota=quota, log=log)
        self._watches = SessionWatches(registry)
        self._bus = InMemorySubscriptionBus()
        self._tenant = tenant or "-"
        # Calls beyond the cap wait their turn: one client of a busy tenant
        # cannot take every worker the host prepared.
        self._call_slots = asyncio.Semaphore(max_calls) if max_calls else None
        self.server: Server[Any] = _ChangingToolsServer(
            SERVER_NAME,
            version=__version__,
            instructions=INSTRUCTIONS,
            on_list_tools=self._list_tools,
            on_call_tool=self._call_tool,
            on_subscriptions_listen=ListenHandler(self._bus),
        )
        self.server.middleware.append(self._require_object_arguments)

    def initialization_options(self) -> InitializationOptions:
        return self.server.create_initialization_options(NotificationOptions(tools_changed=True))

    async def _list_tools(
        self, ctx: ServerRequestContext[Any, Any], params: types.PaginatedRequestParams | None
    ) -> types.ListToolsResult:
        # A session first seen here has its news measured from the table it is shown now.
        self._watches.for_session(_session_of(ctx))
        offered: list[types.Tool] = []
        for tool in self._registry:
            try:
                schema = await self._calls.parameters(tool)
                offered.append(types.Tool(name=tool.name, description=tool.description, input_schema=schema))
            except Exception:
                # One broken tool must not hide all the others from the client.
                logger.exception("Leaving a tool out of the list: its description or schema failed")
        return types.ListToolsResult(tools=offered)

    async def _require_object_arguments(
        self, ctx: ServerRequestContext[Any, Any], call_next: CallNext
    ) -> HandlerResult:
        """Answer a tools/call whose arguments are not a JSON object with a tool error that says so.

        Runs ahead of the SDK's own params validation, whose report for this
        mistake is a generic validation dump, and a protocol error the model
        never reads. A tool that does not exist is still a protocol error.
        """
        if ctx.method != "tools/call" or not isinstance(ctx.params, Mapping):
            return await call_next(ctx)
        name, arguments = ctx.params.get("name"), ctx.params.get("arguments")
        if not isinstance(name, str) or arguments is None or isinstance(arguments, Mapping):
            return await call_next(ctx)
        if self._registry.get(name) is None:
            raise MCPError(code=types.INVALID_PARAMS, message=str(UnknownToolError(name, self._registry.names())))
        self._log_call(name, "refused", time.monotonic())
        self._calls.refused(name, _not_an_object_text(arguments))
        return _text_result(_not_an_object_text(arguments), is_error=True)

    async def _call_tool(
        self, ctx: ServerRequestContext[Any, Any], params: types.CallToolRequestParams
    ) -> types.CallToolResult:
        watch = self._watches.for_session(_session_of(ctx))
        started = time.monotonic()
        outcome_name = "cancelled"
        try:
            if self._call_slots is None:
                outcome = await self._calls.call(params.name, params.arguments or {})
            else:
                async with self._call_slots:
                    outcome = await self._calls.call(params.name, params.arguments or {})
        except UnknownToolError as exc:
            outcome_name = "refused"
            raise MCPError(code=types.INVALID_PARAMS, message=str(exc)) from None
        except InvalidArgumentsError as exc:
            # A tool error, not a protocol one: the model reads why and calls again.
            outcome_name = "refused"
            result = _text_result(str(exc), is_error=True)
        except Exception as exc:
            outcome_name = "raised"
            logger.exception("Tool %s raised", params.name)
            result = _text_result(self._calls.shown(f"{type(exc).__name__}: {exc}"), is_error=True)
        else:
            outcome_name = "error" if outcome.is_error else "ok"
            result = _outcome_result(outcome)
        finally:
            self._log_call(params.name, outcome_name, started)
            # Also after a failure: a tool may have changed the registry before raising.
            await self._announce_changes(ctx, watch)
        return result

    def _log_call(self, name: str, outcome: str, started: float) -> None:
        access_log.info(
            "tenant=%s tool=%s outcome=%s ms=%.1f",
            self._tenant,
            _loggable(name),
            outcome,
            (time.monotonic() - started) * 1000,
        )

    async def _announce_changes(self, ctx: ServerRequestContext[Any, Any], watch: RegistryWatch) -> None:
        table = watch.news()
        if table is None:
            return
        logger.info("Tool list changed: %s", ", ".join(table))
        try:
            # Over HTTP a notice on the call's own response stream reaches the
            # client for sure; its standalone stream may not be open (yet).
            if ctx.request is not None or ctx.session.protocol_version in MODERN_PROTOCOL_VERSIONS:
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
        watch.announced(table)


def _session_of(ctx: ServerRequestContext[Any, Any]) -> str | None:
    """The HTTP session a request belongs to; "" for the one client of a stdio server.

    None is an HTTP request outside any session (the 2026-07-28 protocol, or
    a stateless client): it is told of the changes its own call made.
    """
    headers = getattr(ctx.request, "headers", None)
    if headers is None:
        return ""
    session: str | None = headers.get("mcp-session-id")
    return session


def _loggable(name: str) -> str:
    # A tool name comes from the client: one line per call, whatever it sent.
    return name[:80].encode("unicode_escape").decode("ascii").replace(" ", "\\x20") or '""'


def build_server(
    registry: ToolRegistry, *, tenant: str | None = None, max_calls: int | None = None, quota: Any = None,
    log: CallLog | None = None,
) -> ToolServer:
    return ToolServer(registry, tenant=tenant, max_calls=max_calls, quota=quota, log=log)


async def serve_streams(
    tool_server: ToolServer,
    read_stream: ReadStream[SessionMessage | Exception],
    write_stream: WriteStream[SessionMessage],
) -> None:
    """Serve one client over a pair of message streams until it disconnects."""
    await tool_server.server.run(read_stream, write_stream, tool_server.initialization_options())
