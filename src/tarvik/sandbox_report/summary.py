"""The one record `tarvik serve` logs at start about the sandbox its tools run in.

It is read from the very manager the server's calls go through, so the limits
and the isolation it quotes are those in force. Every wall active is news the
operator should see, not a warning: an INFO record, which the default log level
shows (see `tarvik.cli.main`); a wall missing is a WARNING that names it.
"""

from __future__ import annotations

import logging
from typing import Any

from tarvik.core.sandbox import missing_walls, size_text

logger = logging.getLogger("tarvik.sandbox")

_ISOLATION = {
    "tool": "a tool's world stays warm between its calls",
    "call": "a fresh world for every call",
}


def _limits(manager: Any) -> str:
    limits = manager.limits
    return (
        f"{limits.processes} processes, {size_text(limits.memory)} of memory and "
        f"{size_text(limits.scratch)} of scratch per call"
    )


def _isolation(manager: Any) -> str:
    mode = getattr(manager, "isolation", "tool")
    return f"isolation {mode} ({_ISOLATION.get(mode, mode)})"


async def log_sandbox_summary(manager: Any) -> None:
    """Log what `manager`'s tools run under: one INFO record when every wall is up, else a WARNING."""
    if not hasattr(manager, "protections") or not hasattr(manager, "limits"):
        return  # a stand-in manager (the tests'), which runs nothing walled in
    try:
        report = await manager.protections()
    except Exception:
        logger.exception("The tool sandbox could not be checked")
        return
    missing = missing_walls(report)
    if not missing:
        logger.info(
            "Tool sandbox: all %d walls active; %s; %s", len(report), _limits(manager), _isolation(manager)
        )
        return
    consequence = (
        "no tool runs until they are (--require-sandbox)" if getattr(manager, "require_sandbox", False)
        else "tools run without them"
    )
    logger.warning(
        "Tool sandbox: %d of %d walls missing, %s (`tarvik sandbox` shows how to get each): %s; %s; %s",
        len(missing), len(report), consequence, "; ".join(missing), _limits(manager),
        _isolation(manager),
    )
