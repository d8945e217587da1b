"""Names and links that would reach outside the tool store."""

from __future__ import annotations

import os
from pathlib import Path, PurePosixPath
from typing import Any

import pytest

from conftest import FakeManager

UNSAFE_NAMES = ["..", ".", "../escape", "a/b", "/etc", "a\\b", "C:evil", "c:", "nul\0byte"]
OPERATIONS = ["create", "info", "delete", "run"]


@pytest.fixture
def outside(tmp_path: Path) -> Path:
    folder = tmp_path / "outside"
    folder.mkdir()
    (folder / "tool.py").write_text("def main(args):\n    return 'outside'\n")
    (folder / "metadata.json").write_text('{"secret": "outside"}')
    return folder


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("name", UNSAFE_NAMES)
async def test_unsafe_names_are_refused_before_anything_happens(
    creator: Any, manager: FakeManager, store: Path, home: Path, operation: str, name: str
) -> None:
    before = sorted(home.rglob("*"))
    answer = await creator.execute(operation=operation, tool_name=name, code="def main(a): return a")
    assert answer.startswith("[ERROR] Invalid tool_name: ")
    assert "one plain folder name" in answer
    assert manager.tasks == [] and sorted(home.rglob("*")) == before


@pytest.mark.parametrize("name", ["my_tool", "v2:beta", "na\u00efve", " spaced ", "..dots", "-x"])
async def test_plain_folder_names_keep_working(creator: Any, store: Path, name: str) -> None:
    await creator.execute(operation="create", tool_name=name, code="def main(a): return a")
    assert (store / name / "tool.py").exists()


async def test_linked_tool_folder_is_not_read_run_or_deleted(
    creator: Any, manager: FakeManager, store: Path, outside: Path
) -> None:
    (store / "evil").symlink_to(outside, target_is_directory=True)
    info = await creator.execute(operation="info", tool_name="evil")
    assert info == "[ERROR] Tool folder leads outside the tool store: evil"
    run = await creator.execute(operation="run", tool_name="evil")
    assert run.startswith("[ERROR] Tool script is outside the tool store: ")
    delete = await creator.execute(operation="delete", tool_name="evil")
    assert delete == "[ERROR] Tool folder leads outside the tool store: evil"
    assert manager.tasks == []
    assert (outside / "tool.py").exists() and (store / "evil").is_symlink()


async def test_a_linked_folder_inside_the_store_is_still_refused_by_rmtree(creator: Any, store: Path) -> None:
    await creator.execute(operation="create", tool_name="real", code="def main(a): return 1")
    (store / "alias").symlink_to(store / "real", target_is_directory=True)
    with pytest.raises(OSError):
        await creator.execute(operation="delete", tool_name="alias")
    assert (store / "real" / "tool.py").exists()


async def test_linked_files_inside_a_tool_folder(creator: Any, manager: FakeManager, store: Path, outside: Path) -> None:
    folder = store / "t"
    folder.mkdir()
    (folder / "tool.py").symlink_to(outside / "tool.py")
    info = await creator.execute(operation="info", tool_name="t")
    assert info == f"[ERROR] Tool file leads outside the tool store: {folder / 'tool.py'}"
    run = await creator.execute(operation="run", tool_name="t")
    assert run == f"[ERROR] Tool script is outside the tool store: {folder / 'tool.py'}"
    assert await creator.execute(operation="delete", tool_name="t") == "Deleted custom tool: t"
    assert manager.tasks == []
    assert (outside / "tool.py").exists() and not folder.exists()


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("name", [PurePosixPath("../escape"), PurePosixPath("a/b"), PurePosixPath("/etc")])
async def test_path_objects_are_held_to_the_same_rule(
    creator: Any, manager: FakeManager, home: Path, operation: str, name: PurePosixPath
) -> None:
    before = sorted(home.parent.rglob("*"))
    answer = await creator.execute(operation=operation, tool_name=name, code="def main(a): return a")
    assert answer.startswith("[ERROR] Invalid tool_name: ")
    assert manager.tasks == [] and sorted(home.parent.rglob("*")) == before


class Fickle(os.PathLike):
    """A path-like that names a plain folder once, then a way out."""

    def __init__(self) -> None:
        self.calls = 0

    def __fspath__(self) -> str:
        self.calls += 1
        return "fine" if self.calls == 1 else "../../victim"


class Lying(str):
    """A str of a plain folder name whose conversions name a way out."""

    def __str__(self) -> str:
        return "../../victim"

    def __fspath__(self) -> str:
        return "../../victim"


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("make_name", [Fickle, lambda: Lying("fine")], ids=["fickle path", "lying str"])
async def test_a_name_is_read_once_and_used_as_read(
    creator: Any, home: Path, store: Path, operation: str, make_name: Any
) -> None:
    victim = home / "victim"
    victim.mkdir()
    (victim / "keep.txt").write_text("mine")
    outside = sorted(path for path in home.rglob("*") if store not in path.parents)
    answer = await creator.execute(operation=operation, tool_name=make_name(), code="def main(a): return a")
    assert (victim / "keep.txt").read_text() == "mine"
    assert sorted(path for path in home.rglob("*") if store not in path.parents) == outside
    if operation == "create":
        assert (store / "fine" / "tool.py").exists() and '"created": "fine"' in answer


async def test_create_never_writes_through_a_linked_tool_folder(creator: Any, store: Path, outside: Path) -> None:
    (store / "evil").symlink_to(outside, target_is_directory=True)
    (store / "dangling").symlink_to(outside / "new_folder", target_is_directory=True)
    for name in ("evil", "dangling"):
        answer = await creator.execute(operation="create", tool_name=name, code="def main(a): return 1")
        assert answer == f"[ERROR] Tool folder leads outside the tool store: {name}"
    assert (outside / "tool.py").read_text() == "def main(args):\n    return 'outside'\n"
    assert not (outside / "new_folder").exists()


@pytest.mark.parametrize("file_name", ["tool.py", "metadata.json"])
async def test_create_never_writes_through_a_linked_file(creator: Any, store: Path, outside: Path, file_name: str) -> None:
    (store / "t").mkdir()
    (store / "t" / file_name).symlink_to(outside / "planted")  # dangling: a write would create it
    answer = await creator.execute(operation="create", tool_name="t", code="def main(a): return 1")
    assert answer == f"[ERROR] Tool file leads outside the tool store: {store / 't' / file_name}"
    assert not (outside / "planted").exists()
    assert not (store / "t" / "tool.py").is_file()


async def test_links_that_stay_in_the_store_are_fine(creator: Any, store: Path) -> None:
    await creator.execute(operation="create", tool_name="real", code="def main(a): return 1")
    (store / "alias").symlink_to(store / "real", target_is_directory=True)
    answer = await creator.execute(operation="create", tool_name="alias", code="def main(a): return 2")
    assert answer.startswith("{")
    assert (store / "real" / "tool.py").read_text() == "def main(a): return 2"
