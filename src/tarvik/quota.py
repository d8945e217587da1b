"""How much one store may hold: its tools' folders and the environments of the packages they declare.

A served store's creations pass through here (`ToolCalls`): a `create` that
would take the store past its quota is refused with an "[ERROR] " text that
says the quota and what is used, before its code is checked or anything is
written. What the store holds is counted off the event loop, and again only
after a call of the tool creator may have changed it. Package environments
never change once installed, so each is counted once; a tool's folder is two
small files. Bytes are counted by size, each file once (uv links files from
its cache, which lies elsewhere and is not counted).

A check cannot know what a script's packages will take until uv installed
them, so one creation may take the store past its quota; the next is refused.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tarvik.calls import ERROR_PREFIX
from tarvik.core.packages import BLOCK_MARK, packages_root
from tarvik.core.sandbox import size_text
from tarvik.store import store_root


def folder_size(folder: Path, seen: set[tuple[int, int]]) -> int:
    """The bytes of every file below `folder`, each file (by device and inode) counted once, links not followed."""
    total = 0
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return 0
    for entry in entries:
        try:
            status = entry.stat(follow_symlinks=False)
        except OSError:
            continue
        if entry.is_dir(follow_symlinks=False):
            total += folder_size(Path(entry.path), seen)
        elif (status.st_dev, status.st_ino) not in seen:
            seen.add((status.st_dev, status.st_ino))
            total += status.st_size
    return total


def _shown(count: int) -> str:
    if count >= 1 << 20:
        return f"{count / (1 << 20):.1f} MiB"
    if count >= 1 << 10:
        return f"{count / (1 << 10):.1f} KiB"
    return f"{count} bytes"


@dataclass
class QuotaHold:
    """One call of the tool creator under the quota: its refusal, or the bytes it may add, held until it ends."""

    quota: StoreQuota
    refusal: str | None
    held: int = 0

    def release(self) -> None:
        self.quota._reserved -= self.held
        self.held = 0
        self.quota._stale = True


@dataclass
class StoreQuota:
    limit: int
    tools: Path = field(default_factory=store_root)
    packages: Path = field(default_factory=packages_root)
    _reserved: int = 0
    _stale: bool = True
    _used: int = 0
    # Each environment's folder (by path and inode) and its bytes: an installed one never changes.
    _environments: dict[tuple[str, int], int] = field(default_factory=dict)
    _lock: asyncio.Lock = field(default_factory=asyncio.Lock)

    async def used(self) -> int:
        """What the store holds now, counted again (off the event loop) if a call may have changed it."""
        async with self._lock:
            if self._stale:
                self._stale = False
                self._used = await asyncio.to_thread(self._count)
        return self._used

    def _count(self) -> int:
        seen: set[tuple[int, int]] = set()
        total = folder_size(self.tools, seen)
        known: dict[tuple[str, int], int] = {}
        try:
            entries = list(os.scandir(self.packages))
        except OSError:
            entries = []
        for entry in entries:
            if entry.name != "envs":
                if entry.is_dir(follow_symlinks=False):
                    total += folder_size(Path(entry.path), seen)
                else:
                    total += entry.stat(follow_symlinks=False).st_size
                continue
            for environment in os.scandir(entry.path):
                key = (environment.path, environment.inode())
                size = self._environments.get(key)
                if size is None:
                    size = folder_size(Path(environment.path), seen)
                known[key] = size
                total += size
        self._environments = known
        return total

    async def hold(self, arguments: Mapping[str, Any]) -> QuotaHold:
        """Whether a call of the tool creator with `arguments` may go ahead under the quota."""
        operation = arguments.get("operation", "list")
        code = arguments.get("code")
        if operation not in ("create", "validate") or not isinstance(code, str):
            return QuotaHold(self, None)
        if operation == "validate" and BLOCK_MARK not in code:
            return QuotaHold(self, None)  # checks the code only; installs nothing, saves nothing
        description = arguments.get("description")
        adding = len(code.encode("utf-8", "surrogatepass")) if operation == "create" else 0
        if isinstance(description, str):
            adding += len(description.encode("utf-8", "surrogatepass"))
        used = await self.used() + self._reserved
        if used + adding > self.limit or used >= self.limit:
            what = "this tool" if operation == "create" else "installing this script's packages"
            return QuotaHold(self, (
                f"{ERROR_PREFIX}Store quota reached: this store holds {_shown(used)} of tools and package "
                f"environments, and its quota is {size_text(self.limit)}; {what} would take it past. Delete "
                "tools it no longer needs (tool_creator operation delete) to make room."
            ))
        self._reserved += adding
        return QuotaHold(self, None, adding)
