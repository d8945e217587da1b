"""The pool of blank tasks and the warm worlds drawn from it: reuse, retirement, recovery,
shutdown."""

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
        if any(part.endswith("worker/worker.py") for part in argv):
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


@pytest.mark.parametrize("isolation", ["tool", "call"])
async def test_more_calls_than_tasks_each_get_a_world_of_their_own(identity_tool, isolation) -> None:
    manager = SubprocessManager(pool_size=3, isolation=isolation)
    try:
        results = await asyncio.gather(
            *(manager.spawn(run_task(identity_tool, {"n": n})) for n in range(50))
        )
        assert [result.output["n"] for result in results] == list(range(50))
        # Calls in flight at once never share a world; a warm one is reused only after.
        assert not any(result.output["reused"] for result in results) or isolation == "tool"
        again = await manager.spawn(run_task(identity_tool, {"n": 50}))
        assert again.output["reused"] is (isolation == "tool")
        assert again.world == ("warm" if isolation == "tool" else "fresh")
    finally:
        await manager.aclose()


async def test_a_fresh_world_serves_one_call_only(identity_tool) -> None:
    manager = SubprocessManager(pool_size=3, isolation="call")
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
        launcher = manager._runners.pool.zygote_pid
        with open(f"/proc/{launcher}/task/{launcher}/children") as children:
            [zygote] = children.read().split()
        with open(f"/proc/{zygote}/task/{zygote}/children") as children:
            print(manager._runners.pool.root, launcher, zygote, children.read(), flush=True)
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


# --- warm worlds: what a call leaves, and what one tool leaves another ----------------


def tool_at(folder: Path, body: str) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / "tool.py"
    path.write_text(textwrap.dedent(body))
    return path


def host_pids_with(marker: str) -> list[int]:
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{entry}/cmdline", "rb") as cmdline:
            if marker.encode() in cmdline.read().split(b"\0"):
                found.append(int(entry))
    return found


@pytest.mark.parametrize("isolation", ["tool", "call"])
@pytest.mark.parametrize("leftover", ["thread", "process"])
async def test_nothing_a_call_started_runs_into_the_next_call(tmp_path, isolation, leftover) -> None:
    marker = f"leftover-{os.getpid()}-{leftover}-{isolation}"
    tool = tool_at(tmp_path, """
        import os, subprocess, sys, threading, time
        started = []
        def main(args):
            if args["start"] == "thread":
                threading.Thread(target=time.sleep, args=(600,), daemon=True).start()
            elif args["start"] == "process":
                subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)", args["marker"]])
            started.append(args["start"])
            return {"pid": os.getpid(), "threads": threading.active_count(), "earlier": started[:-1]}
        """)
    manager = SubprocessManager(pool_size=2, isolation=isolation)
    try:
        first = await manager.spawn(run_task(tool, {"start": leftover, "marker": marker}))
        second = await manager.spawn(run_task(tool, {"start": None, "marker": marker}))
        assert first.error is None and second.error is None, (first.error, second.error)
        # The world that held the leftover was ended: the next call started afresh.
        assert second.output == {"pid": second.output["pid"], "threads": 1, "earlier": []}
        assert host_pids_with(marker) == []
        third = await manager.spawn(run_task(tool, {"start": None, "marker": marker}))
        # A call that leaves nothing keeps its world warm (with isolation per tool).
        assert third.output["earlier"] == ([None] if isolation == "tool" else [])
    finally:
        await manager.aclose()


async def test_one_tools_world_never_reaches_another_tool(tmp_path) -> None:
    manager = SubprocessManager(pool_size=2)
    body = """
        import os
        SEEN = globals().setdefault("SEEN", [])
        def main(args):
            SEEN.append(args["name"])
            found = {"globals": list(SEEN), "env": os.environ.get("LEFT_BY"),
                     "files": sorted(name for name in os.listdir("/tmp") if name.startswith("left-"))}
            os.environ["LEFT_BY"] = args["name"]
            open(f"/tmp/left-{args['name']}", "w").close()
            return found
        """
    first, second = tool_at(tmp_path / "a", body), tool_at(tmp_path / "b", body)
    try:
        a1 = await manager.spawn(run_task(first, {"name": "a"}))
        b1 = await manager.spawn(run_task(second, {"name": "b"}))
        a2 = await manager.spawn(run_task(first, {"name": "a"}))
    finally:
        await manager.aclose()
    assert b1.output == {"globals": ["b"], "env": None, "files": []}
    # Its own warm world keeps what it left itself, and nothing of the other tool's.
    assert a1.output == {"globals": ["a"], "env": None, "files": []}
    assert a2.output == {"globals": ["a", "a"], "env": "a", "files": ["left-a"]}


async def test_a_changed_script_runs_its_new_code_on_the_very_next_call(tmp_path) -> None:
    manager = SubprocessManager(pool_size=2)
    tool = tool_at(tmp_path, "def main(args):\n    return 'old'\n")
    try:
        assert (await manager.spawn(run_task(tool, {}))).output == "old"
        assert (await manager.spawn(run_task(tool, {}))).world == "warm"
        tool.write_text("def main(args):\n    return 'new'\n")
        changed = await manager.spawn(run_task(tool, {}))
        assert (changed.output, changed.world) == ("new", "fresh")
        tool.unlink()
        gone = await manager.spawn(run_task(tool, {}))
        assert gone.error.startswith("Tool file not found")
        assert manager.warm_worlds == 0
    finally:
        await manager.aclose()


@pytest.mark.parametrize(
    ("trouble", "fragment"),
    [
        ("__import__('time').sleep(60)", "Timed out after 2.0 s"),
        ("blob = bytearray(1 << 30)", "memory limit"),
    ],
    ids=["time-out", "memory"],
)
async def test_after_a_limit_the_next_call_starts_clean(tmp_path, trouble, fragment) -> None:
    manager = SubprocessManager(pool_size=2)
    tool = tool_at(tmp_path, f"""
        import os
        CALLS = []
        def main(args):
            CALLS.append(1)
            if args.get("trouble"):
                {trouble}
            return {{"calls": len(CALLS), "pid": os.getpid()}}
        """)
    try:
        assert (await manager.spawn(run_task(tool, {}))).output["calls"] == 1
        failed = await manager.spawn(run_task(tool, {"trouble": True}, timeout=2))
        assert failed.output is None and fragment in failed.error
        after = await manager.spawn(run_task(tool, {}))
        assert after.output["calls"] == 1 and after.world == "fresh", after
    finally:
        await manager.aclose()


async def test_warm_worlds_stay_within_their_cap_least_recently_used_first(tmp_path) -> None:
    manager = SubprocessManager(pool_size=1, warm_tools=2)
    tools = [tool_at(tmp_path / name, "def main(args):\n    return 1\n") for name in "abc"]
    try:
        for tool in [*tools, tools[2], tools[1]]:
            assert (await manager.spawn(run_task(tool, {}))).output == 1
            assert manager.warm_worlds <= 2
        # a was least recently used when c came: retired; b and c are kept.
        worlds = [await manager.spawn(run_task(tool, {})) for tool in tools[1:]]
        assert [result.world for result in worlds] == ["warm", "warm"]
        assert (await manager.spawn(run_task(tools[0], {}))).world == "fresh"
    finally:
        await manager.aclose()
