"""The host's table of tools that the model may call."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from tarvik.tools.base import Tool


class ToolRegistry:
    """Tools filed under their ``name``; registering a name again replaces it."""

    def __init__(self) -> None:
        self._tools: dict[str, Tool] = {}

    def register(self, tool: Tool) -> None:
        self._tools[tool.name] = tool

    def get(self, name: str) -> Tool | None:
        return self._tools.get(name)

    def unregister(self, name: str) -> Tool | None:
        return self._tools.pop(name, None)

    def names(self) -> list[str]:
        return list(self._tools)

    def snapshot(self) -> dict[str, Tool]:
        """A copy of the name-to-tool table, for comparing before and after a change."""
        return dict(self._tools)

    def __contains__(self, name: object) -> bool:
        return name in self._tools

    def __iter__(self) -> Iterator[Tool]:
        return iter(list(self._tools.values()))

    def __bool__(self) -> bool:
        # An empty registry is still a registry: callers truth-test it to see
        # whether one is attached at all.
        return True

    def schemas(self) -> list[dict[str, Any]]:
        """What a host offers the model: each tool's name, description and schema."""
        return [
            {"name": tool.name, "description": tool.description, "parameters": tool.parameters}
            for tool in self._tools.values()
        ]
