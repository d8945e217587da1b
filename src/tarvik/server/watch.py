"""Notices when the registry's set of tools differs from what the client was told."""

from __future__ import annotations

from tarvik.tools.base import Tool
from tarvik.tools.registry import ToolRegistry


class RegistryWatch:
    """Compares the registry with the table last announced to the client.

    The tool creator changes the registry from inside its own calls, through
    `register` and by popping `_tools` directly, so the server cannot rely on
    being told; it compares tables instead. The copy holds the tools
    themselves, so a tool replaced under the same name also counts as a
    change, and a comparison never confuses two tools that shared an address.
    """

    def __init__(self, registry: ToolRegistry) -> None:
        self._registry = registry
        self._announced: dict[str, Tool] = registry.snapshot()

    def take_change(self) -> bool:
        """Whether the tools changed since the last call; the current table becomes the baseline.

        Checking and taking the baseline happen without a suspension point, so
        two calls finishing together announce one change once.
        """
        current = self._registry.snapshot()
        previous, self._announced = self._announced, current
        if current.keys() != previous.keys():
            return True
        return any(current[name] is not tool for name, tool in previous.items())
