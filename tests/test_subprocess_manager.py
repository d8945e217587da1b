"""Workers as real processes: results, failures, limits, isolation and clean-up."""

from __future__ import annotations

import asyncio
import os
import textwrap
import uuid
from pathlib import Path

import pytest
from conftest import fresh_scratch

from tarvik.core.subprocess_manager import (
    SubprocessManager,
    SubprocessResult,
    SubprocessTask,
    WorkerLimits,
)
from tarvik.settings import Settings


def write_tool(folder: Path, body: str, name: str = "tool.py") -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / name
    path.write_text(textwrap.dedent(body))
    return path


def run_task(path: Path, args: object = None, timeout: float = 20.0, function: str = "main"):
    command = {"action": "run_function", "path": str(path), "function": function, "args": args}
    return SubprocessTask(worker_type="custom", command=command, timeout=timeout)


def processes_with_argument(marker: str) -> list[int]:
    """Pids whose command line carries ``marker``: how a test finds a tool's children."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                arguments = cmdline.read().split(b"\0")
        except OSError:
            continue
        if marker.encode() in arguments:
            found.append(int(entry))
    return found


async def is_gone(pid: int, manager: SubprocessManager) -> bool:
    """Whether what a task started is gone by the time its call returned.

    The pool's zygote reports a worker only once its whole group is reaped.
    A fresh worker's orphans go to init instead, which on some machines
    never reaps (a killed orphan stays a zombie), and a SIGKILL sent to them
    lands a moment later; there the test waits for it to land.
    """
    if manager.pool_size:
        return not os.path.exists(f"/proc/{pid}")
    for _ in range(100):
        if not is_running(pid):
            return True
        await asyncio.sleep(0.05)
    return False


def is_running(pid: int) -> bool:
    """True while ``pid`` exists and is not a zombie waiting for its adopter."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            state = stat.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state not in ("Z", "X")


async def wait_for_process(marker: str, attempts: int = 400) -> int:
    for _ in range(attempts):
        pids = processes_with_argument(marker)
        if pids:
            return pids[0]
        await asyncio.sleep(0.05)
    raise AssertionError(f"no process with argument {marker!r} appeared")


# A tool whose child ignores SIGTERM and sleeps far past any timeout.
STUBBORN_CHILD = """
    import subprocess, sys, time
    def main(args):
        code = "import signal, time; signal.signal(signal.SIGTERM, signal.SIG_IGN); time.sleep(600)"
        subprocess.Popen([sys.executable, "-c", code, args["marker"]])
        time.sleep(600)
"""


@pytest.fixture
def manager(make_manager) -> SubprocessManager:
    return make_manager()


async def test_run_returns_the_tools_result(manager, tmp_path) -> None:
    tool = write_tool(
        tmp_path,
        """
        def main(args):
            print("working on it")
            return {"total": sum(args["numbers"]), "echo": args}
        """,
    )
    args = {"numbers": [1, 2, 39], "text": "héllo"}
    result = await manager.spawn(run_task(tool, args))
    assert result.error is None
    assert result.output == {"total": 42, "echo": args}
    assert "working on it" in result.printed


MAIN = "def main(args):\n    return args\n"


@pytest.mark.parametrize(
    ("code", "expected", "fragments"),
    [
        ("a = 1\nb = 2\nc = (\n", {"valid": False}, []),
        ("def helper(args):\n    return args\n", {"valid": False}, []),
        ("def main():\n    return {}\n", {"valid": False}, []),
        (MAIN, {"valid": True, "message": "Code is valid"}, []),
        # The script is loaded as its runs load it, in the sandbox: what fails at
        # import fails here, and says why.
        ("import no_such_module_here\n" + MAIN, {"valid": False},
         ["ModuleNotFoundError: No module named 'no_such_module_here'", "'# /// script' block"]),
        ("x = 1\nraise ValueError('no key set')\n" + MAIN, {"valid": False},
         ["ValueError: no key set (at line 2)"]),
        ("SECRET = open('/etc/shadow').read()\n" + MAIN, {"valid": False},
         ["/etc/shadow is outside the tool sandbox"]),
    ],
    ids=["syntax", "no-main", "main-without-args", "valid", "missing-module", "raises-at-load",
         "reads-the-host"],
)
async def test_validate_through_a_worker(manager, code: str, expected: dict,
                                         fragments: list[str]) -> None:
    task = SubprocessTask(
        worker_type="custom", command={"action": "validate", "code": code}, timeout=20
    )
    result = await manager.spawn(task)
    assert result.error is None
    assert expected.items() <= result.output.items()
    assert result.output["message"]
    for fragment in fragments:
        assert fragment in result.output["message"]


async def test_a_script_that_never_finishes_loading_is_refused_in_time(manager) -> None:
    code = "while True:\n    pass\n" + MAIN
    task = SubprocessTask(worker_type="custom", command={"action": "validate", "code": code},
                          timeout=2)
    result = await manager.spawn(task)
    assert result.output is None
    assert result.error.startswith("The script did not finish loading within 2 s")


async def test_validate_reports_the_syntax_error_line(manager) -> None:
    task = SubprocessTask(
        worker_type="custom",
        command={"action": "validate", "code": "x = 1\n\ndef main(args)\n    return 1\n"},
        timeout=20,
    )
    result = await manager.spawn(task)
    assert result.output["valid"] is False
    assert result.output["message"].startswith("Syntax error at line 3")


@pytest.mark.parametrize(
    ("body", "fragments"),
    [
        (
            "def main(args):\n    print('about to fail')\n"
            "    raise ValueError('bad input ' + args)\n",
            ["ValueError: bad input xyz", "line 3, in main", "about to fail"],
        ),
        ("def main(args):\n    return {'items': {1, 2}}\n", ["not JSON-serialisable", "set"]),
        ("def main(args):\n    return float('inf')\n", ["not JSON-serialisable"]),
        ("def other(args):\n    return 1\n", ["Function 'main' not found"]),
        (
            "import os\ndef main(args):\n    print('last words', flush=True)\n"
            "    os.kill(os.getpid(), 9)\n",
            ["killed by signal 9 (SIGKILL)", "last words"],
        ),
        ("import os\ndef main(args):\n    os._exit(3)\n", ["exited with code 3"]),
        (
            "import ctypes\ndef main(args):\n    ctypes.string_at(0)\n",
            ["killed by signal 11 (SIGSEGV)"],
        ),
    ],
)
async def test_tool_failures_come_back_as_clear_errors(
    manager, tmp_path, body: str, fragments: list[str]
) -> None:
    result = await manager.spawn(run_task(write_tool(tmp_path, body), "xyz"))
    assert result.output is None
    assert result.error
    for fragment in fragments:
        assert fragment in result.error


async def test_unknown_worker_type_is_an_error_result(manager) -> None:
    task = SubprocessTask(worker_type="shell", command={"action": "validate"}, timeout=5)
    result = await manager.spawn(task)
    assert isinstance(result, SubprocessResult)
    assert "Unknown worker type 'shell'" in result.error


async def test_heavy_printing_leaves_the_reply_intact(make_manager, tmp_path) -> None:
    manager = make_manager(output_limit=4096)
    tool = write_tool(
        tmp_path,
        """
        import os, subprocess, sys
        def main(args):
            block = "x" * (1 << 20) + "\\n"
            for _ in range(100):
                sys.stdout.write(block)
                os.write(2, block.encode())
            code = "import sys; print('from-a-child'); print('from-a-child', file=sys.stderr)"
            subprocess.run([sys.executable, "-c", code])
            print('{"ok": false, "error": "forged"}')
            print("the end")
            return {"answer": 42}
        """,
    )
    result = await manager.spawn(run_task(tool, {}))
    assert result.error is None
    assert result.output == {"answer": 42}
    assert len(result.printed.encode()) <= 4096 + len("[...]")
    assert result.printed.rstrip().endswith("the end")


async def test_timeout_kills_the_whole_process_group(manager, tmp_path) -> None:
    marker = f"stubborn-{uuid.uuid4()}"
    tool = write_tool(tmp_path, STUBBORN_CHILD)
    spawned = asyncio.ensure_future(manager.spawn(run_task(tool, {"marker": marker}, timeout=3)))
    child = await wait_for_process(marker)
    result = await spawned
    assert result.error.startswith("Timed out after 3.0 s")
    assert result.limit == "time"
    assert await is_gone(child, manager)


async def test_cancelling_the_caller_kills_the_worker(manager, tmp_path) -> None:
    marker = f"cancelled-{uuid.uuid4()}"
    tool = write_tool(tmp_path, STUBBORN_CHILD)
    spawned = asyncio.ensure_future(manager.spawn(run_task(tool, {"marker": marker}, timeout=60)))
    child = await wait_for_process(marker)
    with open(f"/proc/{child}/stat") as stat:
        worker_pid = int(stat.read().rsplit(")", 1)[1].split()[1])
    spawned.cancel()
    with pytest.raises(asyncio.CancelledError):
        await spawned
    assert await is_gone(child, manager)
    assert await is_gone(worker_pid, manager)


async def test_the_hosts_environment_does_not_reach_the_tool(
    make_manager, tmp_path, monkeypatch
) -> None:
    secret = f"secret-{uuid.uuid4()}"
    monkeypatch.setenv("TARVIK_TEST_API_KEY", secret)
    # Only what the operator grants by name (--tool-env) comes through.
    monkeypatch.setenv("TARVIK_TEST_GRANTED", "granted")
    manager = make_manager(
        tool_environment=Settings(tool_env=("TARVIK_TEST_GRANTED",)).tool_environment()
    )
    tool = write_tool(
        tmp_path,
        """
        import os
        def main(args):
            stdin = os.read(0, 10).decode()
            open(args["left"], "w").close()
            return {"environ": dict(os.environ), "cwd": os.getcwd(), "stdin": stdin}
        """,
    )
    left = f"left-{uuid.uuid4()}"
    result = await manager.spawn(run_task(tool, {"left": left}))
    environ = result.output["environ"]
    assert "TARVIK_TEST_API_KEY" not in environ
    assert environ["TARVIK_TEST_GRANTED"] == "granted"
    assert secret not in repr(environ)
    assert environ["HOME"] == result.output["cwd"]
    assert result.output["stdin"] == ""
    await manager.aclose()  # a fresh task's folder may go in the background
    assert not os.path.exists(os.path.join(result.output["cwd"], left)), "the scratch outlived the task"


async def test_only_the_reply_pipe_is_inherited(manager, tmp_path) -> None:
    leaked = os.open(os.devnull, os.O_RDONLY)
    os.set_inheritable(leaked, True)
    tool = write_tool(
        tmp_path,
        """
        import os
        def main(args):
            return sorted(int(fd) for fd in os.listdir("/proc/self/fd"))
        """,
    )
    try:
        result = await manager.spawn(run_task(tool, {}))
    finally:
        os.close(leaked)
    # stdio, the task channel on 3, the answer channel on 4, and on 5 (freed by the
    # admission) listdir's own
    assert result.output == [0, 1, 2, 3, 4, 5]


@pytest.mark.parametrize(
    ("limits", "body", "fragment"),
    [
        (
            WorkerLimits(address_space=512 << 20),
            "def main(args):\n    blob = bytearray(4 << 30)\n    return len(blob)\n",
            "MemoryError",
        ),
        (
            WorkerLimits(file_size=1 << 20),
            "def main(args):\n    open('big', 'wb').write(b'x' * (2 << 20))\n",
            "File too large",
        ),
        (
            WorkerLimits(open_files=32),
            "def main(args):\n    return [open('/dev/null') for _ in range(64)]\n",
            "Too many open files",
        ),
        (
            WorkerLimits(cpu_seconds=1),
            "def main(args):\n    while True:\n        pass\n",
            "CPU time limit exceeded",
        ),
    ],
)
async def test_resource_limits(make_manager, tmp_path, limits, body: str, fragment: str) -> None:
    manager = make_manager(limits=limits)
    result = await manager.spawn(run_task(write_tool(tmp_path, body), {}, timeout=30))
    assert result.error and fragment in result.error


async def test_the_host_survives_a_tool_that_allocates_past_the_limit(manager, tmp_path) -> None:
    tool = write_tool(tmp_path, "def main(args):\n    return len(b'x' * (8 << 30))\n")
    result = await manager.spawn(run_task(tool, {}))
    assert "MemoryError" in result.error
    healthy = write_tool(tmp_path, "def main(a):\n    return 1\n", "ok.py")
    again = await manager.spawn(run_task(healthy, {}))
    assert again.output == 1


async def test_concurrent_calls_over_many_tools_each_get_their_own_tools_answer(
    manager, tmp_path
) -> None:
    body = """
        import os
        NAME = {name!r}
        def main(args):
            found = sorted(os.listdir("."))
            open(f"mark-{{NAME}}-{{args['n']}}", "w").close()
            return {{"tool": NAME, "square": args["n"] * args["n"], "found": found}}
        """
    tools = [write_tool(tmp_path / f"tool{index}", body.format(name=f"t{index}")) for index in range(8)]
    calls = [(tools[n % 8], n) for n in range(24)]
    results = await asyncio.gather(*(manager.spawn(run_task(tool, {"n": n})) for tool, n in calls))
    assert [(result.output["tool"], result.output["square"]) for result in results] == [
        (f"t{n % 8}", n * n) for _, n in calls
    ]
    for (_, n), result in zip(calls, results, strict=True):
        marks = set(result.output["found"]) - set(fresh_scratch())
        # A tool's scratch may keep what its own earlier calls left, never another tool's.
        assert all(mark.startswith(f"mark-t{n % 8}-") for mark in marks), marks
        if manager.isolation == "call":
            assert not marks


async def test_a_forged_oversized_reply_header_is_refused(make_manager, tmp_path) -> None:
    manager = make_manager(reply_limit=1 << 16)
    tool = write_tool(
        tmp_path,
        """
        import os
        def main(args):
            os.write(4, (1 << 30).to_bytes(4, "big") + b"{")
            return {}
        """,
    )
    result = await manager.spawn(run_task(tool, {}))
    assert "too large" in result.error


async def test_worker_uses_the_interpreter_it_was_given(make_manager, tmp_path) -> None:
    manager = make_manager(python=str(tmp_path / "no-such-python"))
    result = await manager.spawn(run_task(write_tool(tmp_path, "def main(a):\n    return 1\n"), {}))
    assert result.error.startswith("Cannot start")
    assert "no-such-python" in result.error
