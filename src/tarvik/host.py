"""The agent host that `tarvik` runs: one worker manager, one registry, the tool creator."""

from __future__ import annotations

import asyncio
import inspect
import json
import logging
from collections.abc import AsyncIterator, Mapping
from contextlib import asynccontextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tarvik.tools.base import Tool
from tarvik.tools.registry import ToolRegistry

logger = logging.getLogger("tarvik.host")

ERROR_PREFIX = "[ERROR] "


class HostUnavailable(RuntimeError):
    """The host's parts cannot be loaded, typically because the extension was never built."""


class UnknownToolError(LookupError):
    """A call named a tool that the registry does not hold."""

    def __init__(self, name: str, available: list[str]) -> None:
        self.name = name
        self.available = available
        offered = ", ".join(available) if available else "none"
        super().__init__(f"Unknown tool {name!r}; registered tools: {offered}")


@dataclass(frozen=True, slots=True)
class SavedTool:
    """A tool folder of the store, as the dynamic tool that serves it needs it."""

    name: str
    description: str
    script_path: str


def store_root() -> Path:
    # Derived exactly as the extension derives its store, so HOME moves both.
    return Path.home() / ".tarvik" / "custom_tools"


def find_saved_tools(root: Path) -> list[SavedTool]:
    """Every tool folder of the store that holds a script, in path order.

    Blocking file-system work: async callers run it in a thread.
    """
    if not root.is_dir():
        return []
    resolved_root = root.resolve()
    found: list[SavedTool] = []
    for folder in sorted(root.iterdir()):
        script = folder / "tool.py"
        if not folder.is_dir() or not script.is_file():
            continue
        if not script.resolve().is_relative_to(resolved_root):
            # A link leading out of the store would let a saved "tool" run any
            # script on the machine; the store's own operations refuse it too.
            logger.warning("Not registering %s: its script lies outside the store", folder.name)
            continue
        found.append(SavedTool(folder.name, _saved_description(folder / "metadata.json"), str(script)))
    return found


def _saved_description(metadata_path: Path) -> str:
    try:
        metadata = json.loads(metadata_path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return ""
    except (OSError, ValueError) as exc:
        logger.warning("Ignoring unreadable %s: %s", metadata_path, exc)
        return ""
    description = metadata.get("description") if isinstance(metadata, dict) else None
    # The dynamic tool takes exactly `str`; metadata may hold any JSON value.
    return description if type(description) is str else ""


def result_text(result: Any) -> str:
    """The text a client sees for what a tool's `execute` returned."""
    if isinstance(result, str):
        return result
    try:
        return json.dumps(result, indent=2)
    except (TypeError, ValueError):
        return str(result)


async def call_tool(registry: ToolRegistry, name: str, arguments: Mapping[str, Any]) -> str:
    """Await the named tool with `arguments` as keywords and return its text.

    Raises `UnknownToolError` for a name the registry lacks; anything the tool
    raises passes through unchanged.
    """
    tool = registry.get(name)
    if tool is None:
        raise UnknownToolError(name, registry.names())
    return result_text(await tool.execute(**arguments))


class Host:
    """The worker manager, the registry and the tool creator, owned together."""

    def __init__(self, subprocess_manager: Any, registry: ToolRegistry, tool_creator: Tool) -> None:
        self.subprocess_manager = subprocess_manager
        self.registry = registry
        self.tool_creator = tool_creator

    async def call(self, name: str, arguments: Mapping[str, Any]) -> str:
        return await call_tool(self.registry, name, arguments)

    def register_saved(self, saved: list[SavedTool]) -> list[str]:
        """Register each saved tool as a dynamic tool; returns the names registered."""
        from tarvik.tools.tool_creator import DynamicTool

        registered: list[str] = []
        for entry in saved:
            tool = DynamicTool(entry.name, entry.description, entry.script_path, self.subprocess_manager)
            self.registry.register(tool)
            registered.append(tool.name)
        return registered

    async def aclose(self) -> None:
        closer = getattr(self.subprocess_manager, "aclose", None)
        if closer is None:
            return
        outcome = closer()
        if inspect.isawaitable(outcome):
            await outcome


def build_host() -> Host:
    """One `SubprocessManager`, one `ToolRegistry`, one `ToolCreatorTool` registered in it.

    Must run on the event loop that will serve the host: the manager may tie
    itself to the running loop.
    """
    try:
        from tarvik.core.subprocess_manager import SubprocessManager
        from tarvik.tools.tool_creator import ToolCreatorTool
    except ImportError as exc:
        raise HostUnavailable(
            f"cannot load the host ({exc}); install tarvik with pip so that its extension is built"
        ) from exc

    manager = SubprocessManager()
    registry = ToolRegistry()
    creator = ToolCreatorTool(subprocess_manager=manager, tool_registry=registry)
    registry.register(creator)
    return Host(manager, registry, creator)


@asynccontextmanager
async def open_host(*, register_saved: bool = False) -> AsyncIterator[Host]:
    """A built host, closed again on exit; optionally with the saved tools registered."""
    host = build_host()
    try:
        if register_saved:
            saved = await asyncio.to_thread(find_saved_tools, store_root())
            names = host.register_saved(saved)
            logger.info("Registered %d saved tool(s): %s", len(names), ", ".join(names) or "none")
        yield host
    finally:
        await host.aclose()
