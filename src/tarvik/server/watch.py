"""Notices when the registry's set of tools differs from what the client was told."""

from __future__ import annotations

from collections import OrderedDict

from tarvik.tools.base import Tool
from tarvik.tools.registry import ToolRegistry


class RegistryWatch:
    """Compares the registry with the table last announced to the client.

    The tool creator changes the registry from inside its own calls, through
    `register` and by popping `_tools` directly, so the server cannot rely on
    being told; it compares tables instead. The copies hold the tools
    themselves, so a tool replaced under the same name also counts as a
    change, and a comparison never confuses two tools that shared an address.
    """

    def __init__(self, registry: ToolRegistry) -> None:
        self._registry = registry
        self._announced: dict[str, Tool] = registry.snapshot()

    def news(self) -> dict[str, Tool] | None:
        """The current table if it differs from the one last announced, else None."""
        current = self._registry.snapshot()
        if current.keys() != self._announced.keys():
            return current
        if any(current[name] is not tool for name, tool in self._announced.items()):
            return current
        return None

    def announced(self, table: dict[str, Tool]) -> None:
        """Record `table` (a result of `news`) as what the client now knows.

        Called only once the announcement went out: a send that failed or was
        cancelled leaves the change to be announced after the next call, and a
        change made while the send was under way is still news afterwards.
        """
        self._announced = table


class SessionWatches:
    """One watch per client session, so each is told of the changes it has not heard of.

    Keyed by session id; None stands for a request outside any session, which
    gets a watch of its own that starts from the table as it is now. Sessions
    end without telling the server, so only the `limit` most recently active
    are remembered: one forgotten and back again starts from the present table.
    """

    def __init__(self, registry: ToolRegistry, limit: int = 10_000) -> None:
        self._registry = registry
        self._limit = limit
        self._watches: OrderedDict[str, RegistryWatch] = OrderedDict()

    def for_session(self, session: str | None) -> RegistryWatch:
        if session is None:
            return RegistryWatch(self._registry)
        watch = self._watches.get(session)
        if watch is None:
            watch = self._watches[session] = RegistryWatch(self._registry)
            if len(self._watches) > self._limit:
                self._watches.popitem(last=False)
        else:
            self._watches.move_to_end(session)
        return watch
