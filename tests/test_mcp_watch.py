"""The registry watch: which changes of the tool table count as news for the client."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest

from tarvik.server.watch import RegistryWatch
from tarvik.tools.base import Tool
from tarvik.tools.registry import ToolRegistry


class NamedTool(Tool):
    def __init__(self, name: str) -> None:
        self._name = name

    @property
    def name(self) -> str:
        return self._name

    @property
    def description(self) -> str:
        return ""

    @property
    def parameters(self) -> dict[str, Any]:
        return {"type": "object", "properties": {}}

    async def execute(self, **kwargs: Any) -> Any:
        return ""


KEPT = NamedTool("kept")


def add_tool(registry: ToolRegistry) -> None:
    registry.register(NamedTool("custom_new"))


def pop_tool(registry: ToolRegistry) -> None:
    registry._tools.pop("kept", None)


def replace_tool(registry: ToolRegistry) -> None:
    registry.register(NamedTool("kept"))


def register_same_tool_again(registry: ToolRegistry) -> None:
    registry.register(KEPT)


def pop_missing_tool(registry: ToolRegistry) -> None:
    registry._tools.pop("custom_absent", None)


def pop_and_restore(registry: ToolRegistry) -> None:
    registry.register(registry._tools.pop("kept"))


@pytest.mark.parametrize(
    ("change", "is_news"),
    [
        (add_tool, True),
        (pop_tool, True),
        (replace_tool, True),
        (register_same_tool_again, False),
        (pop_missing_tool, False),
        (pop_and_restore, False),
    ],
)
def test_change_is_news_only_when_the_table_differs(change: Callable[[ToolRegistry], None], is_news: bool) -> None:
    registry = ToolRegistry()
    registry.register(KEPT)
    watch = RegistryWatch(registry)
    change(registry)
    news = watch.news()
    assert (news is not None) is is_news
    assert news is None or news == registry.snapshot()


def test_news_stays_news_until_announced() -> None:
    registry = ToolRegistry()
    watch = RegistryWatch(registry)
    add_tool(registry)
    first = watch.news()
    assert first is not None and watch.news() == first
    watch.announced(first)
    assert watch.news() is None


def test_a_change_during_the_announcement_is_still_news() -> None:
    registry = ToolRegistry()
    watch = RegistryWatch(registry)
    add_tool(registry)
    table = watch.news()
    assert table is not None
    registry.register(NamedTool("custom_meanwhile"))
    watch.announced(table)
    assert list(watch.news() or {}) == ["custom_new", "custom_meanwhile"]


def test_a_change_undone_before_anyone_asked_is_no_news() -> None:
    registry = ToolRegistry()
    watch = RegistryWatch(registry)
    add_tool(registry)
    registry._tools.pop("custom_new")
    assert watch.news() is None
