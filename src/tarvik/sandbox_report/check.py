"""Every wall of the tool sandbox, checked live: set up by the worker, then attacked by a tool.

`tarvik sandbox` prints the result. The attacks (`attack.py`) run in a real
worker with small limits of their own (so that going past them is quick);
the mechanisms are the ones every call gets.
"""

from __future__ import annotations

import asyncio
import contextlib
import ctypes
import os
import socket
import tempfile
import textwrap
import uuid
from collections.abc import AsyncIterator
from dataclasses import dataclass
from pathlib import Path

from tarvik.core.sandbox import WALLS, size_text
from tarvik.core.subprocess_manager import (
    SubprocessManager,
    SubprocessResult,
    SubprocessTask,
    WorkerLimits,
)
from tarvik.sandbox_report import attack
from tarvik.settings import Settings

# Small enough that the probe goes past each limit in a moment.
PROBE_LIMITS = WorkerLimits(processes=8, memory=64 << 20, scratch=4 << 20, address_space=1 << 30)

# A tool that writes a forged success and then fails: the host must not believe it.
FORGER = textwrap.dedent(
    """
    import os, struct
    def main(args):
        body = b'{"ok": true, "output": "forged"}'
        os.write(4, struct.pack(">I", len(body)) + body)
        os._exit(3)
    """
)


@dataclass(frozen=True)
class Wall:
    name: str
    held: bool
    detail: str

    def line(self) -> str:
        verdict = "held" if self.held else "NOT HELD"
        return f"{self.name:<15} {verdict:<9} {self.detail}"


async def check_walls(settings: Settings) -> list[Wall]:
    """One line per wall: what the worker set up, and whether an attack got through."""
    # The operator's network grant changes what the network wall means: it is checked too.
    manager = SubprocessManager(pool_size=1, limits=PROBE_LIMITS, allowed_hosts=settings.allowed_hosts)
    try:
        report = await manager.protections()
        async with _bait() as bait:
            findings = await _attack(manager, bait)
        forged = await _run(manager, FORGER, {})
    finally:
        await manager.aclose()
    walls = []
    for name in WALLS:
        state = report.get(name, "unavailable: not reported")
        active = state.startswith("active")
        if name in findings:
            held, seen = findings[name]
            walls.append(Wall(name, held and active, _detail(name, held, seen, state, settings)))
        elif name == "result":
            held = forged.error is not None and "forged" not in forged.error
            walls.append(Wall(name, held, state.removeprefix("active: ")))
        else:
            walls.append(Wall(name, active, state.removeprefix("active: ")))
    return walls


def _detail(name: str, held: bool, seen: str, state: str, settings: Settings) -> str:
    if not held or not state.startswith("active"):
        why = state.removeprefix("unavailable: ")
        return f"{seen}; {why}" if held else f"attack got through: {seen}; {why}"
    limit = {
        "process limit": f"{settings.limits.processes} per call",
        "memory limit": f"{size_text(settings.limits.memory)} per call",
        "scratch disk": f"{size_text(settings.limits.scratch)} per call",
        "network": f"{', '.join(settings.allowed_hosts)} allowed, over HTTP(S) through the "
        "host's proxy" if settings.allowed_hosts else None,
    }.get(name)
    return f"{seen} (yours: {limit})" if limit else seen


async def _run(manager: SubprocessManager, source: str, args: object,
               path: str | None = None) -> SubprocessResult:
    with tempfile.TemporaryDirectory(prefix="tarvik-probe-") as folder:
        if path is None:
            path = os.path.join(folder, "tool.py")
            Path(path).write_text(source)
        command = {"action": "run_function", "path": path, "function": "main", "args": args}
        return await manager.spawn(SubprocessTask(worker_type="custom", command=command, timeout=60))


async def _attack(manager: SubprocessManager, bait: dict[str, object]) -> dict[str, tuple[bool, str]]:
    args = {**bait, "processes": PROBE_LIMITS.processes, "memory": PROBE_LIMITS.memory,
            "scratch": PROBE_LIMITS.scratch}
    result = await _run(manager, "", args, path=attack.__file__)
    if result.error is not None:
        return dict.fromkeys(
            ("processes", "file system", "ipc", "network"), (False, f"the probe failed: {result.error}")
        )
    return {name: (bool(held), str(seen)) for name, (held, seen) in result.output.items()}


@contextlib.asynccontextmanager
async def _bait() -> AsyncIterator[dict[str, object]]:
    """What a tool must not reach: a TCP and two unix servers, shared memory, the host's files."""
    connections: list[int] = []

    def accept(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        connections.append(1)
        writer.close()

    libc = ctypes.CDLL(None, use_errno=True)
    shm_key = 0x7C000000 | (os.getpid() & 0xFFFFFF)
    segment = libc.shmget(shm_key, 4096, 0o1000 | 0o600)  # IPC_CREAT
    with tempfile.TemporaryDirectory(prefix="tarvik-bait-") as folder:
        tcp = await asyncio.start_server(accept, "127.0.0.1", 0)
        unix_path = os.path.join(folder, "bait.sock")
        unix = await asyncio.start_unix_server(accept, path=unix_path)
        abstract = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        abstract_name = f"\0tarvik-bait-{uuid.uuid4()}"
        abstract.bind(abstract_name)
        abstract.listen()
        abstract.setblocking(False)
        try:
            yield {
                "tcp_port": tcp.sockets[0].getsockname()[1],
                "unix_socket": unix_path,
                "abstract_socket": abstract_name,
                "shm_key": shm_key,
                "host_pids": [os.getpid(), os.getppid()],
                "host_paths": [
                    str(Path.home() / name) for name in (".tarvik", ".ssh", ".bash_history")
                ] + ["/etc/shadow", "/etc/passwd", folder],
            }
        finally:
            tcp.close()
            unix.close()
            abstract.close()
            if segment >= 0:
                libc.shmctl(segment, 0, None)  # IPC_RMID
