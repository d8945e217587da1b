"""The agent host that `tarvik` runs: one worker manager, one registry, the tool creator."""

from __future__ import annotations

import asyncio
import inspect
import logging
from collections.abc import AsyncIterator, Mapping
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

from tarvik.calllog import CallLog, calls_db
from tarvik.calls import (
    ERROR_PREFIX,
    CallOutcome,
    InvalidArgumentsError,
    TaskRecordingManager,
    ToolCalls,
    UnknownToolError,
    result_text,
)
from tarvik.settings import Settings
from tarvik.store import SavedTool, find_saved_tools, store_root
from tarvik.tools.base import Tool
from tarvik.tools.registry import ToolRegistry

__all__ = [
    "ERROR_PREFIX",
    "CallOutcome",
    "Host",
    "HostUnavailable",
    "InvalidArgumentsError",
    "SavedTool",
    "UnknownToolError",
    "build_host",
    "call_tool",
    "find_saved_tools",
    "open_host",
    "result_text",
    "store_root",
]

logger = logging.getLogger("tarvik.host")


class HostUnavailable(RuntimeError):
    """The host's parts cannot be loaded, typically because the extension was never built."""


async def call_tool(registry: ToolRegistry, name: str, arguments: Mapping[str, Any]) -> str:
    """Check `arguments`, await the named tool with them and return its text."""
    return (await ToolCalls(registry).call(name, arguments)).text


class Host:
    """The worker manager, the registry and the tool creator, owned together."""

    def __init__(
        self, subprocess_manager: Any, registry: ToolRegistry, tool_creator: Tool, call_log: CallLog | None = None
    ) -> None:
        self.subprocess_manager = subprocess_manager
        self.registry = registry
        self.tool_creator = tool_creator
        self.call_log = call_log
        self.calls = ToolCalls(registry, log=call_log)

    async def call(self, name: str, arguments: Mapping[str, Any]) -> str:
        return (await self.calls.call(name, arguments)).text

    def register_saved(self, saved: list[SavedTool]) -> list[str]:
        """Register each saved tool as a dynamic tool; returns the names registered.

        A tool saved under a name the registry refuses stays reachable
        through `tool_creator` `run`; it is left out, and the log says why.
        """
        from tarvik.tools.tool_creator import DynamicTool

        registered: list[str] = []
        for entry in saved:
            tool = DynamicTool(entry.name, entry.description, entry.script_path, self.subprocess_manager)
            try:
                self.registry.register(tool)
            except ValueError as exc:
                # Its creation already said so; on every start it is news to no one.
                logger.info("Not offering the saved tool %r: %s", entry.name, exc)
                continue
            registered.append(tool.name)
        return registered

    async def aclose(self) -> None:
        try:
            closer = getattr(self.subprocess_manager, "aclose", None)
            if closer is None:
                return
            outcome = closer()
            if inspect.isawaitable(outcome):
                await outcome
        finally:
            if self.call_log is not None:
                # The rows of the last calls go in before the host is gone.
                await self.call_log.aclose()


def build_host(settings: Settings | None = None) -> Host:
    """One `SubprocessManager`, one `ToolRegistry`, one `ToolCreatorTool` registered in it.

    Must run on the event loop that will serve the host: the manager may tie
    itself to the running loop.
    """
    try:
        from tarvik.tools.tool_creator import ToolCreatorTool
    except ImportError as exc:
        raise HostUnavailable(
            f"cannot load the host ({exc}); install tarvik with pip so that its extension is built"
        ) from exc

    settings = settings or Settings()
    manager = TaskRecordingManager(settings.subprocess_manager())
    registry = ToolRegistry()
    creator = ToolCreatorTool(subprocess_manager=manager, tool_registry=registry)
    registry.register(creator)
    # Beside the store: HOME moves both. Switched off, the rows still reach the HTTP server's metrics.
    log = None
    if settings.call_log or settings.http is not None:
        path = calls_db(Path.home()) if settings.call_log else None
        log = CallLog(path, retention_days=settings.call_log_days)
    return Host(manager, registry, creator, log)


@asynccontextmanager
async def open_host(
    *, register_saved: bool | None = None, settings: Settings | None = None
) -> AsyncIterator[Host]:
    """A built host, closed again on exit; with the saved tools registered unless asked not to."""
    settings = settings or Settings()
    if register_saved is None:
        register_saved = settings.register_saved
    host = build_host(settings)
    try:
        if register_saved:
            saved = await asyncio.to_thread(find_saved_tools, store_root())
            names = host.register_saved(saved)
            logger.info("Registered %d saved tool(s): %s", len(names), ", ".join(names) or "none")
        yield host
    finally:
        await host.aclose()
