"""The pool of pre-forked workers: single use, refills, recovery and shutdown."""

from __future__ import annotations

import asyncio
import contextlib
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tarvik.core.sandbox import WALLS
from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask

def children_of(pid: int) -> list[int]:
    found = []
    for entry in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{entry}/children") as listing:
                found += [int(child) for child in listing.read().split()]
        except OSError:
            pass
    return found


def command_line(pid: int) -> list[str]:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            return [part.decode() for part in cmdline.read().split(b"\0") if part]
    except OSError:
        return []


def zygotes_of(pid: int) -> list[int]:
    """The pool zygotes a host started: each the one child of its sandbox launcher, if any."""
    zygotes = []
    for child in children_of(pid):
        argv = command_line(child)
        if "--zygote" in argv:
            launched = argv[0].endswith("tarvik-sandbox")
            zygotes += children_of(child) if launched else [child]
    return zygotes


def run_task(path: Path, args: object, timeout: float = 20.0) -> SubprocessTask:
    command = {"action": "run_function", "path": str(path), "function": "main", "args": args}
    return SubprocessTask(worker_type="custom", command=command, timeout=timeout)


@pytest.fixture
def identity_tool(tmp_path: Path) -> Path:
    tool = tmp_path / "identity.py"
    # A process that served a task before would still carry the mark.
    tool.write_text(
        "import sys\n"
        "def main(args):\n"
        "    reused = hasattr(sys, 'served_before')\n"
        "    sys.served_before = True\n"
        "    return {'n': args['n'], 'reused': reused}\n"
    )
    return tool


@pytest.fixture
async def manager():
    manager = SubprocessManager(pool_size=3)
    yield manager
    await manager.aclose()


async def test_more_calls_than_workers_each_get_a_fresh_worker(manager, identity_tool) -> None:
    results = await asyncio.gather(
        *(manager.spawn(run_task(identity_tool, {"n": n})) for n in range(50))
    )
    assert [result.output["n"] for result in results] == list(range(50))
    assert not any(result.output["reused"] for result in results)


async def test_a_worker_serves_one_task_only(manager, identity_tool) -> None:
    first = await manager.spawn(run_task(identity_tool, {"n": 1}))
    [zygote] = zygotes_of(os.getpid())
    tasks = children_of(zygote)
    second = await manager.spawn(run_task(identity_tool, {"n": 2}))
    assert (first.output["reused"], second.output["reused"]) == (False, False)
    await manager.aclose()
    assert not any(os.path.exists(f"/proc/{pid}") for pid in [zygote, *tasks])


@pytest.mark.parametrize("victims", ["workers", "zygote"])
async def test_the_pool_recovers_after_its_processes_die(manager, identity_tool, victims) -> None:
    assert (await manager.spawn(run_task(identity_tool, {"n": 0}))).output["n"] == 0
    [zygote] = zygotes_of(os.getpid())
    targets = children_of(zygote) if victims == "workers" else [zygote]
    assert targets
    for pid in targets:
        # A worker may finish and exit between being listed and being killed.
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
    # Calls made while a victim is still dying may meet it mid-call, which is
    # a clear error of its own; recovery is about the calls that come after.
    for _ in range(200):
        if not any(os.path.exists(f"/proc/{pid}") for pid in targets):
            break
        await asyncio.sleep(0.01)
    results = await asyncio.gather(
        *(manager.spawn(run_task(identity_tool, {"n": n})) for n in range(1, 6))
    )
    assert [result.error for result in results] == [None] * 5
    assert [result.output["n"] for result in results] == [1, 2, 3, 4, 5]


async def test_aclose_leaves_no_process_and_the_manager_can_start_again(identity_tool) -> None:
    manager = SubprocessManager(pool_size=2)
    await manager.spawn(run_task(identity_tool, {"n": 0}))
    [zygote] = zygotes_of(os.getpid())
    workers = children_of(zygote)
    await manager.aclose()
    for pid in [zygote, *workers]:
        assert not os.path.exists(f"/proc/{pid}")
    again = await manager.spawn(run_task(identity_tool, {"n": 7}))
    assert again.output["n"] == 7
    await manager.aclose()
    assert zygotes_of(os.getpid()) == []


def test_a_manager_moves_with_its_callers_event_loop(identity_tool) -> None:
    manager = SubprocessManager(pool_size=2)
    outputs = [
        asyncio.run(manager.spawn(run_task(identity_tool, {"n": n}))).output["n"] for n in (1, 2)
    ]
    assert outputs == [1, 2]
    # The first loop's zygote was stopped when the second loop took over.
    assert len(zygotes_of(os.getpid())) == 1
    asyncio.run(manager.aclose())
    assert zygotes_of(os.getpid()) == []


HOST_SCRIPT = """
    import asyncio, os, sys
    from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask

    async def main():
        manager = SubprocessManager(pool_size=2)
        task = SubprocessTask(worker_type="custom", timeout=20,
                              command={"action": "validate", "code": "def main(a): pass"})
        result = await manager.spawn(task)
        assert result.output["valid"], result
        launcher = manager._pool.zygote_pid
        with open(f"/proc/{launcher}/task/{launcher}/children") as children:
            [zygote] = children.read().split()
        with open(f"/proc/{zygote}/task/{zygote}/children") as children:
            print(manager._pool.root, launcher, zygote, children.read(), flush=True)
        if sys.argv[1] == "die":
            os.kill(os.getpid(), 9)

    asyncio.run(main())
"""


@pytest.mark.parametrize("ending", ["exit", "die"])
def test_no_process_outlives_its_host(tmp_path, ending: str) -> None:
    script = tmp_path / "host.py"
    script.write_text(textwrap.dedent(HOST_SCRIPT))
    host = subprocess.run(
        [sys.executable, "-W", "error", str(script), ending],
        capture_output=True,
        text=True,
        timeout=60,
    )
    root, *pids = host.stdout.split()
    pids = [int(pid) for pid in pids]
    assert len(pids) >= 3, host.stderr
    if ending == "exit":
        assert host.returncode == 0
        assert "Warning" not in host.stderr and "Traceback" not in host.stderr
    else:
        assert host.returncode == -signal.SIGKILL

    def running(pid: int) -> bool:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                return stat.read().rsplit(")", 1)[1].split()[0] not in "ZX"
        except OSError:
            return False

    # A host that exits reaps everything; one killed leaves orphans to init,
    # which must at least not be running: the zygote sees its socket close.
    for _ in range(100):
        if not any(running(pid) for pid in pids):
            break
        subprocess.run(["sleep", "0.05"], check=True)
    assert not any(running(pid) for pid in pids)
    if ending == "exit":
        assert not any(os.path.exists(f"/proc/{pid}") for pid in pids)
        assert not os.path.exists(root)
    else:
        # Nobody cleaned up after the killed host: the next pool to start does
        # (once the claim is old enough not to be one being made right now).
        assert os.path.exists(root)
        os.utime(Path(root) / ".owner", (0, 0))
        manager = SubprocessManager(pool_size=1)
        asyncio.run(manager.protections())
        assert not os.path.exists(root)
        asyncio.run(manager.aclose())


async def test_protections_are_reported_never_assumed(manager) -> None:
    report = await manager.protections()
    assert list(report) == list(WALLS)
    for state in report.values():
        assert state.startswith(("active", "unavailable: "))
    without = SubprocessManager(pool_size=2, sandbox=False)
    try:
        report = await without.protections()
    finally:
        await without.aclose()
    assert report["launcher"].startswith("unavailable: switched off (sandbox=False)")
    assert report["network"].startswith("unavailable")
