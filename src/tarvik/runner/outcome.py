"""What a call comes to: the limits it ran under, and the result the manager returns for it."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

_MIB = 1 << 20
_GIB = 1 << 30
# How much of the captured output an error message quotes.
_QUOTED_LINES = 20
_QUOTED_CHARS = 4000


@dataclass(frozen=True, kw_only=True)
class WorkerLimits:
    """The limits of every call; ``None`` leaves a per-process limit as inherited.

    ``processes``, ``memory`` and ``scratch`` hold for all of a call's
    processes together (where the kernel allows; the sandbox report says
    so), and for a tool's warm world across its calls; the others hold for
    each process. CPU seconds count per call.
    """

    processes: int = 64
    memory: int = 1 * _GIB
    scratch: int = 64 * _MIB
    # None: as much address space per process as the call has memory.
    address_space: int | None = None
    # None: the task's timeout rounded up plus one second, so the wall clock
    # normally fires first and CPU time only catches a stuck timer.
    cpu_seconds: int | None = None
    file_size: int | None = 64 * _MIB
    open_files: int | None = 256
    core_size: int | None = 0

    def __post_init__(self) -> None:
        for name in ("processes", "memory", "scratch"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be at least 1")

    def cpu_budget(self, timeout: float) -> int | None:
        """The CPU seconds of one call with this time limit."""
        if self.cpu_seconds is not None:
            return self.cpu_seconds
        return math.ceil(timeout) + 1 if math.isfinite(timeout) else None

    def for_timeout(self, timeout: float, *, calls: int = 1) -> dict[str, int | None]:
        """The per-process limits of a world that serves up to ``calls`` calls of this time limit:
        the CPU time of one call (raised by as much before each later call), and at most that of
        all of them (``cpu_hard``)."""
        cpu = self.cpu_budget(timeout)
        return {
            "address_space": self.address_space or self.memory,
            "cpu_seconds": cpu,
            "cpu_hard": cpu * calls + 1 if cpu is not None and calls > 1 else None,
            "file_size": self.file_size,
            "open_files": self.open_files,
            "processes": self.processes,
            "core_size": self.core_size,
        }

    def for_world(self) -> dict[str, int]:
        """What every task's world is built with, before its task is known."""
        return {"scratch": self.scratch, "memory": self.memory, "processes": self.processes}

    def described(self) -> dict[str, int | None]:
        """What a task's error texts may quote about its limits."""
        return {
            "memory": self.memory,
            "processes": self.processes,
            "scratch": self.scratch,
            "open_files": self.open_files,
            "file_size": self.file_size,
        }


@dataclass(kw_only=True)
class SubprocessResult:
    """A worker's answer: ``error`` is None on success, else says what went wrong."""

    output: Any = None
    error: str | None = None
    # The tail of what the tool printed on stdout and stderr.
    printed: str = field(default="", repr=False)
    # "warm": a world kept from an earlier call of the same tool; "fresh": a
    # world made for this call; None: no world was reached.
    world: str | None = field(default=None, repr=False)
    # The limit the call met, by name: "time", "memory", "processes",
    # "scratch", "cpu", "file size", "open files"; None when it met none.
    limit: str | None = field(default=None, repr=False)
    # SHA-256 of the script that ran; None for code that was validated.
    digest: str | None = field(default=None, repr=False)


def failure(error: str, printed: str = "", world: str | None = None,
            limit: str | None = None) -> SubprocessResult:
    """An error result that quotes the last lines the tool printed."""
    quoted = printed.rstrip()
    if quoted:
        lines = quoted.splitlines()[-_QUOTED_LINES:]
        quoted = "\n".join(lines)[-_QUOTED_CHARS:]
        error = f"{error}\n--- last output ---\n{quoted}"
    return SubprocessResult(error=error, printed=printed, world=world, limit=limit)
