"""The host's table of tools that the model may call."""

from __future__ import annotations

import re
import unicodedata
from collections.abc import Iterator
from typing import Any

from tarvik.tools.base import Tool

# What common model APIs accept as a function name; MCP's own rule is wider,
# but one name outside this set in the list can make every later request of
# a session fail.
TOOL_NAME_PATTERN = re.compile(r"[a-zA-Z0-9_-]{1,64}")
TOOL_NAME_RULE = "1 to 64 characters, each a letter A-Z or a-z, a digit, '_' or '-'"
CUSTOM_PREFIX = "custom_"


def suggest_tool_name(name: str, limit: int = 64) -> str:
    """A valid name close to `name`: accents dropped, other characters turned into '_', in snake_case."""
    ascii_text = unicodedata.normalize("NFKD", name).encode("ascii", "ignore").decode("ascii")
    snake = re.sub(r"[^a-z0-9_-]+", "_", ascii_text.lower()).strip("_-")
    return snake[:limit].rstrip("_-") or "my_tool"


def tool_name_problem(name: object) -> str | None:
    """Why `name` cannot be offered to a model as a tool name, or None when it can."""
    if isinstance(name, str) and TOOL_NAME_PATTERN.fullmatch(name):
        return None
    if not isinstance(name, str):
        return f"a tool name must be text, not {type(name).__name__}"
    problem = f"{name!r} is not a valid tool name for language models: a name is {TOOL_NAME_RULE}"
    if name.startswith(CUSTOM_PREFIX):
        # Said to the agent that chose the tool_name, through tool_creator's answer.
        room = 64 - len(CUSTOM_PREFIX)
        example = suggest_tool_name(name[len(CUSTOM_PREFIX) :], room)
        return (
            f"{problem}, the {CUSTOM_PREFIX!r} prefix included, so a tool_name has at most {room}; "
            f"create it again with a tool_name such as {example!r}"
        )
    return f"{problem}; for example {suggest_tool_name(name)!r}"


class ToolRegistry:
    """Tools filed under their ``name``; registering a name again replaces it."""

    def __init__(self) -> None:
        self._tools: dict[str, Tool] = {}

    def register(self, tool: Tool) -> None:
        """File `tool` under its name; raises ValueError for a name models would refuse."""
        name = tool.name
        problem = tool_name_problem(name)
        if problem is not None:
            raise ValueError(problem)
        self._tools[name] = tool

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
