"""Shared fixtures: a private home folder and a scriptable subprocess manager."""

from __future__ import annotations

import asyncio
import contextlib
import os
import subprocess
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

# Set by CI, where every wall must be up: a missing one fails the attack tests
# instead of skipping them.
WALLS_REQUIRED = os.environ.get("TARVIK_REQUIRE_WALLS") == "1"


def missing_wall(reason: str) -> None:
    """Skip the test for a wall this machine lacks; fail it where every wall is required."""
    if WALLS_REQUIRED:
        pytest.fail(f"a wall is missing: {reason}")
    pytest.skip(reason)


def needs_launcher() -> pytest.MarkDecorator:
    from tarvik.core.sandbox import Launcher

    return pytest.mark.skipif(Launcher.find() is None and not WALLS_REQUIRED,
                              reason="tarvik-sandbox is not installed")


@contextlib.contextmanager
def small_disk(folder: Path) -> Iterator[None]:
    """A 128 KiB tmpfs mounted over `folder` for the block: a disk that fills up."""
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=128k", "tarvik-test", str(folder)], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", str(folder)], check=True)


def fresh_scratch() -> list[str]:
    """What a task's /tmp holds before its tool writes there: the way to this
    interpreter's own folders, when they lie under /tmp (a checkout there)."""
    from tarvik.worker.world import read_only_paths

    entries = set()
    for path in read_only_paths():
        for candidate in (path, os.path.realpath(path)):
            parts = Path(candidate).parts
            if len(parts) > 2 and parts[1] == "tmp":
                entries.add(parts[2])
    return sorted(entries)


@dataclass
class FakeResult:
    error: Any = None
    output: Any = None


@dataclass
class FakeManager:
    """Answers every spawn with `result` after yielding once to the event loop."""

    result: Any = field(default_factory=lambda: FakeResult(output={"valid": True, "message": "ok"}))
    tasks: list[Any] = field(default_factory=list)

    async def spawn(self, task: Any) -> Any:
        self.tasks.append(task)
        await asyncio.sleep(0)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.fixture
def home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Path]:
    """A home folder of the test's own, so the store never touches the real one."""
    folder = tmp_path / "home"
    folder.mkdir()
    monkeypatch.setenv("HOME", str(folder))
    yield folder


@pytest.fixture
def store(home: Path) -> Path:
    return home / ".tarvik" / "custom_tools"


@pytest.fixture
def tc(home: Path) -> Any:
    import tarvik.tools.tool_creator as module

    return module


@pytest.fixture
def manager() -> FakeManager:
    return FakeManager()


@pytest.fixture(params=["tool", "call"])
async def make_manager(request: pytest.FixtureRequest) -> Any:
    """Real managers of both isolations, closed after the test: a warm world per tool, and a
    fresh world per call (with as many blank tasks kept as the module's POOL_SIZE, 4 by default)."""
    from tarvik.core.subprocess_manager import SubprocessManager

    pool_size = getattr(request.module, "POOL_SIZE", 4)
    made: list[SubprocessManager] = []

    def make(**options: Any) -> SubprocessManager:
        made.append(SubprocessManager(pool_size=pool_size, isolation=request.param, **options))
        return made[-1]

    yield make
    for manager in made:
        await manager.aclose()


@pytest.fixture
def registry() -> Any:
    from tarvik.tools.registry import ToolRegistry

    return ToolRegistry()


@pytest.fixture
def creator(tc: Any, manager: FakeManager, registry: Any) -> Any:
    return tc.ToolCreatorTool(manager, registry)
