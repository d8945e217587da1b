"""Warm worlds: one tool's task kept between that tool's calls, within a budget.

A warm world is a task admitted to one version of one tool's script (its
path and the hash of its content), with the script loaded. It serves one
call at a time, so a tool has as many as it has calls in flight. All of a
manager's warm worlds together stay within a cap, least recently used
retired first; each is retired after a while idle, after a number of calls,
and as soon as its script is changed or deleted.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import os
import time
from collections.abc import Callable

from tarvik.runner.task import Task

# (script path, SHA-256 of its content)
Key = tuple[str, str]

IDLE_SECONDS = 300.0
MAX_CALLS = 1000
_MIN_WARM = 4
_MAX_WARM = 64
# Room in memory for one warm world of a typical tool, for the default cap.
_BUDGET_PER_WORLD = 256 << 20


def default_cap() -> int:
    """As many warm worlds as this machine's memory comfortably holds, within 4 to 64."""
    try:
        memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return _MIN_WARM
    return max(_MIN_WARM, min(_MAX_WARM, memory // _BUDGET_PER_WORLD))


class WarmWorld:
    """One warm task, with what the budget needs to know of it."""

    def __init__(self, key: Key, task: Task) -> None:
        self.key = key
        self.task = task
        self.calls = 0
        self.last_used = time.monotonic()


class WarmWorlds:
    """The warm worlds of one manager."""

    def __init__(self, loop: asyncio.AbstractEventLoop, *, cap: int,
                 still_current: Callable[[Key], bool], idle_seconds: float = IDLE_SECONDS,
                 max_calls: int = MAX_CALLS) -> None:
        self._loop = loop
        self.cap = cap
        self._still_current = still_current
        self.idle_seconds = idle_seconds
        self.max_calls = max_calls
        self._worlds: set[WarmWorld] = set()
        # Idle worlds, least recently used first; the check after a world's
        # last call may still be under way (its next call waits behind it).
        self._idle: collections.OrderedDict[WarmWorld, None] = collections.OrderedDict()
        self._sweeper: asyncio.Task[None] | None = None

    def __len__(self) -> int:
        return len(self._worlds)

    def take(self, key: Key) -> WarmWorld | None:
        """The most recently used idle world of ``key`` for one call; None when there is none."""
        for world in reversed(self._idle):
            if world.key != key:
                continue
            if (world.task.exited.done() or world.task.results.problem is not None
                    or world.task.unfit()):
                # It died idle, or wrote an answer nobody asked for after its last one.
                self._retire(world)
                return self.take(key)
            del self._idle[world]
            return world
        return None

    def make_room(self) -> bool:
        """Whether one more world fits, retiring the least recently used idle one if it must."""
        while len(self._worlds) >= self.cap:
            if not self._idle:
                return False
            world, _ = self._idle.popitem(last=False)
            self._retire(world)
        return True

    def add(self, world: WarmWorld) -> None:
        self._worlds.add(world)
        if self._sweeper is None or self._sweeper.done():
            self._sweeper = self._loop.create_task(self._sweep())

    def release(self, world: WarmWorld, reusable: bool, *,
                report: bool = False) -> asyncio.Future[str | None] | None:
        """A call of ``world`` is over: have it checked (``report``: and hear how it came out),
        and keep it for the next call."""
        world.calls += 1
        world.last_used = time.monotonic()
        if not reusable or world.calls > self.max_calls or not self._still_current(world.key):
            self._retire(world)
            return None
        rested = world.task.begin_rest(report=report)
        self._idle[world] = None
        return rested

    def retire_path(self, path: str, *, keep_digest: str | None = None) -> None:
        """Retire the idle worlds of the script at ``path`` but those of ``keep_digest``; busy
        ones are retired when their call ends (their script is no longer current)."""
        for world in [world for world in self._idle
                      if world.key[0] == path and world.key[1] != keep_digest]:
            self._retire(world)

    def discard(self, world: WarmWorld) -> None:
        """A world that went wrong during its call."""
        self._retire(world)

    def _retire(self, world: WarmWorld) -> None:
        self._idle.pop(world, None)
        self._worlds.discard(world)
        world.task.retire()

    async def _sweep(self) -> None:
        """Retire what has idled too long or whose script changed, for as long as any is kept."""
        period = max(0.05, min(5.0, self.idle_seconds / 4))
        while self._worlds:
            await asyncio.sleep(period)
            now = time.monotonic()
            for world in list(self._idle):
                if (now - world.last_used > self.idle_seconds or world.task.exited.done()
                        or not self._still_current(world.key)):
                    self._retire(world)

    async def aclose(self) -> None:
        worlds = list(self._worlds)
        for world in worlds:
            self._retire(world)
        if self._sweeper is not None:
            self._sweeper.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._sweeper
