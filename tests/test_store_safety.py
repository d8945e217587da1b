"""Names and links that would reach outside the tool store, and writes that
a kill, a full disk or another process must not leave half done."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path, PurePosixPath
from typing import Any

import pytest
from conftest import FakeManager, small_disk

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


# --- whole files, one writer at a time ------------------------------------------

# Another process of the same store: the real module, with a worker that
# accepts every code at once. `create TAG [PADDING [FILE_SIZE_LIMIT]]` saves
# tool "t" whose code and description carry TAG; the limit makes the kernel
# kill the process (SIGXFSZ) at the first write that would pass it.
# `overwrite TAG` saves "t" again and again (TAG0, TAG1, ...) until its
# stdin closes; `delete` deletes "t". Each prints its last answer.
HELPER = r"""
import resource, select, signal, sys
import tarvik.tools.tool_creator as tc

class Valid:
    error = None
    output = {"valid": True}

class Manager:
    async def spawn(self, task):
        return Valid

def answer(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("the instant worker suspended")

def create(tag, padding=0):
    code = f"def main(args):\n    return {{'writer': {tag!r}}}\n" + "#" * padding
    kwargs = {"tool_name": "t", "description": tag, "code": code, "register": False}
    return answer(creator._create_tool(kwargs))

creator = tc.ToolCreatorTool(Manager())
command, *rest = sys.argv[1:]
if command == "create":
    tag, padding, limit = rest[0], int(rest[1]) if len(rest) > 1 else 0, rest[2:]
    if limit:
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)  # Python ignores it
        resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit[0]), int(limit[0])))
    print(create(tag, padding), end="")
elif command == "overwrite":
    count = 0
    while not select.select([sys.stdin], [], [], 0)[0]:
        last = create(f"{rest[0]}{count}")
        count += 1
    print(last, end="")
elif command == "delete":
    print(answer(creator.execute(operation="delete", tool_name="t")), end="")
"""


def helper(home: Path, *arguments: str | int, **options: Any) -> subprocess.Popen[str]:
    environment = {**os.environ, "HOME": str(home), "PYTHONDONTWRITEBYTECODE": "1"}
    return subprocess.Popen([sys.executable, "-c", HELPER, *map(str, arguments)], env=environment,
                            stdout=subprocess.PIPE, text=True, **options)


def run_helper(home: Path, *arguments: str | int) -> subprocess.CompletedProcess[str]:
    with helper(home, *arguments) as process:
        output, _ = process.communicate(timeout=120)
    return subprocess.CompletedProcess(process.args, process.returncode, output)


def tag_of(folder: Path) -> tuple[str, str]:
    """The writer's tag in tool.py and in metadata.json."""
    code = (folder / "tool.py").read_text()
    return code.split("'writer': '")[1].split("'")[0], json.loads((folder / "metadata.json").read_text())["description"]


def leftovers(folder: Path) -> list[str]:
    return sorted(set(os.listdir(folder)) - {"tool.py", "metadata.json"})


@pytest.mark.parametrize("killed_at", ["tool.py", "metadata.json"])
def test_a_kill_in_the_middle_of_a_write_loses_nothing(creator: Any, home: Path, store: Path, killed_at: str) -> None:
    assert run_helper(home, "create", "old").returncode == 0
    folder = store / "t"
    before = {name: (folder / name).read_bytes() for name in ("tool.py", "metadata.json")}
    # tool.py passes the limit with its padding; metadata.json, a few hundred bytes, passes 64.
    padding, limit = (8000, 4096) if killed_at == "tool.py" else (0, 64)
    killed = run_helper(home, "create", "new", padding, limit)
    assert killed.returncode == -signal.SIGXFSZ
    assert {name: (folder / name).read_bytes() for name in before} == before
    assert json.loads(creator._list_tools())["tools"][0]["description"] == "old"
    assert json.loads(creator._tool_info({"tool_name": "t"}))["description"] == "old"
    # What the killed writer left is hidden and temporary, and the next writer clears it.
    assert leftovers(folder) and all(name.startswith(".") and name.endswith(".tmp") for name in leftovers(folder))
    assert run_helper(home, "create", "next").returncode == 0
    assert tag_of(folder) == ("next", "next") and leftovers(folder) == []


@pytest.mark.parametrize("full_at", ["tool.py", "metadata.json"])
async def test_a_full_disk_leaves_the_previous_tool_whole(
    tc: Any, manager: FakeManager, home: Path, store: Path, full_at: str
) -> None:
    page = os.sysconf("SC_PAGE_SIZE")
    with small_disk(home):
        creator = tc.ToolCreatorTool(manager)
        await creator.execute(operation="create", tool_name="t", description="old", code="# old\n")
        folder = store / "t"
        before = {name: (folder / name).read_bytes() for name in ("tool.py", "metadata.json")}
        filler = home / "filler"
        with filler.open("wb", buffering=0) as fill, contextlib.suppress(OSError):
            while True:
                fill.write(b"\0" * page)
        # The new code takes three pages: with one free its own write fails,
        # with three that of metadata.json does.
        os.truncate(filler, filler.stat().st_size - page * (1 if full_at == "tool.py" else 3))
        with pytest.raises(OSError) as raised:
            await creator.execute(operation="create", tool_name="t", description="new", code="#" * (3 * page - 100))
        assert raised.value.errno == errno.ENOSPC and raised.value.filename == str(folder / full_at)
        assert {name: (folder / name).read_bytes() for name in before} == before
        assert leftovers(folder) == []
        assert json.loads(creator._list_tools())["tools"][0]["description"] == "old"


@contextlib.contextmanager
def overwriting(home: Path, *tags: str) -> Iterator[None]:
    """Processes saving tool "t" over and over, one per tag, until the block ends."""
    writers = [helper(home, "overwrite", tag, stdin=subprocess.PIPE) for tag in tags]
    try:
        yield
    finally:
        for writer in writers:
            writer.communicate(timeout=120)  # closing its stdin stops it
            assert writer.returncode == 0


def wait_for_tool(folder: Path) -> None:
    deadline = time.monotonic() + 60
    while not (folder / "metadata.json").exists():
        assert time.monotonic() < deadline, "the writers never saved the tool"
        time.sleep(0.01)


def test_two_processes_saving_one_tool_never_mix_it(home: Path, store: Path) -> None:
    folder = store / "t"
    seen: set[str] = set()
    samples = 0
    deadline = time.monotonic() + 60
    with overwriting(home, "A", "B"):
        wait_for_tool(folder)
        # Until both writers have been met, a hundred times at least.
        while samples < 100 or len(seen) < 2:
            assert time.monotonic() < deadline, f"only writers {seen} were seen"
            samples += 1
            # Whoever holds the folder's lock sees the pair one writer left.
            locked = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
            try:
                fcntl.flock(locked, fcntl.LOCK_SH)
                code_tag, description_tag = tag_of(folder)
            finally:
                os.close(locked)
            assert code_tag == description_tag
            seen.add(code_tag[0])
    assert tag_of(folder)[0] == tag_of(folder)[1] and leftovers(folder) == []


def test_list_and_info_during_overwrites_always_read_whole_files(creator: Any, home: Path, store: Path) -> None:
    descriptions: set[str] = set()
    deadline = time.monotonic() + 60
    with overwriting(home, "A"):
        wait_for_tool(store / "t")
        # Until twenty writes have been met.
        while len(descriptions) < 20:
            assert time.monotonic() < deadline, f"only {len(descriptions)} writes were met"
            listed = json.loads(creator._list_tools())["tools"]
            info = json.loads(creator._tool_info({"tool_name": "t"}))
            assert [tool["name"] for tool in listed] == ["t"] and info["created_by"] == "agent"
            descriptions.add(listed[0]["description"])


def wait_until_blocked_on_a_lock(process: subprocess.Popen[str]) -> None:
    deadline = time.monotonic() + 60
    waiting = f"-> FLOCK  ADVISORY  WRITE {process.pid} "
    while waiting not in Path("/proc/locks").read_text():
        assert process.poll() is None, "it finished without waiting for the lock"
        assert time.monotonic() < deadline, "it never waited for the lock"
        time.sleep(0.01)


@pytest.mark.parametrize("operation", ["create", "delete"])
def test_a_change_that_waited_for_a_removed_folder_still_lands_in_the_store(
    home: Path, store: Path, operation: str
) -> None:
    assert run_helper(home, "create", "old").returncode == 0
    folder = store / "t"
    held = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(held, fcntl.LOCK_EX)
        waiting = helper(home, *(["create", "new"] if operation == "create" else ["delete"]))
        wait_until_blocked_on_a_lock(waiting)
        shutil.rmtree(folder)  # as another process's delete does while holding the lock
    finally:
        os.close(held)
    output, _ = waiting.communicate(timeout=120)
    assert waiting.returncode == 0
    if operation == "create":
        assert '"created": "t"' in output and tag_of(folder) == ("new", "new")
    else:
        assert output == "[ERROR] Tool not found: t" and not folder.exists()
