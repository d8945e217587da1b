"""The tool sandbox, attacked as an agent-written tool would attack it, through the real worker.

Each test runs an attack as a tool, then checks that the wall held and that
nothing was left behind. A wall this machine cannot put up is skipped with
the reason the manager gives (`tarvik sandbox` prints the same), and fails the
test where every wall is required (CI sets TARVIK_REQUIRE_WALLS=1).
"""

from __future__ import annotations

import asyncio
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import textwrap
import uuid
import venv
from pathlib import Path

import pytest
from conftest import fresh_scratch, missing_wall, needs_launcher

from tarvik.core.sandbox import WALLS, Launcher
from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask, WorkerLimits

pytestmark = needs_launcher()

MIB = 1 << 20


POOL_SIZE = 2  # for conftest's make_manager


@pytest.fixture
def manager(make_manager) -> SubprocessManager:
    return make_manager()


async def run(manager: SubprocessManager, folder: Path, body: str, args: object = None,
              timeout: float = 30):
    folder.mkdir(parents=True, exist_ok=True)
    tool = folder / "tool.py"
    tool.write_text(textwrap.dedent(body))
    command = {"action": "run_function", "path": str(tool), "function": "main", "args": args}
    return await manager.spawn(SubprocessTask(worker_type="custom", command=command, timeout=timeout))


async def require(manager: SubprocessManager, *walls: str) -> None:
    report = await manager.protections()
    for wall in walls:
        if not report[wall].startswith("active"):
            missing_wall(f"{wall}: {report[wall]}")


def host_pids_with(marker: str) -> list[int]:
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if marker.encode() in cmdline.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def process_state(pid: int) -> str:
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0]


def children_of(pid: int) -> list[int]:
    with open(f"/proc/{pid}/task/{pid}/children") as listing:
        return [int(child) for child in listing.read().split()]


async def gone(pid: int) -> None:
    for _ in range(200):
        if not os.path.exists(f"/proc/{pid}"):
            return
        await asyncio.sleep(0.01)
    raise AssertionError(f"process {pid} is still there")


def pool_processes(manager: SubprocessManager) -> tuple[int, int]:
    """The pool's launcher and zygote, as the host sees them."""
    launcher = manager._runners.pool.zygote_pid
    [zygote] = children_of(launcher)
    return launcher, zygote


# --- 1. the pool survives any tool -------------------------------------------------


async def test_a_tool_cannot_stop_or_kill_the_pool_or_another_task(tmp_path) -> None:
    manager = SubprocessManager(pool_size=2)
    try:
        await require(manager, "processes", "landlock")
        neighbour = asyncio.ensure_future(
            run(manager, tmp_path / "slow", "import time\ndef main(a):\n    time.sleep(1)\n    return 'done'\n")
        )
        await asyncio.sleep(0.3)
        launcher, zygote = pool_processes(manager)
        targets = [os.getppid(), 1, launcher, zygote, *children_of(zygote)]
        attack = await run(
            manager,
            tmp_path / "attack",
            """
            import os, signal
            def main(targets):
                sent = []
                for pid in [os.getppid(), *targets]:
                    for number in (signal.SIGSTOP, signal.SIGKILL):
                        try:
                            os.kill(pid, number)
                            sent.append(pid)
                        except OSError:
                            pass
                return {"parent": os.getppid(), "sent": sent}
            """,
            targets,
        )
        # It may signal only its own task: its parent is the task's first process,
        # which the kernel keeps from its own namespace's signals.
        assert attack.error is None, attack.error
        assert attack.output["parent"] == 1 and set(attack.output["sent"]) <= {1, 2}
        assert process_state(zygote) not in "TtZX"
        assert (await neighbour).output == "done"
        again = await manager.spawn(
            SubprocessTask(worker_type="custom", command={"action": "validate", "code": "def main(a): pass"}, timeout=10)
        )
        assert again.output["valid"] is True
        # A zygote killed from outside is replaced by the next call (once the
        # host has seen it go: a call racing the kill may meet a dying worker).
        os.kill(zygote, signal.SIGKILL)
        await gone(launcher)
        after = await run(manager, tmp_path / "after", "def main(a):\n    return 'fine'\n")
        assert after.output == "fine", after.error
    finally:
        await manager.aclose()
    await gone(zygote)


# --- 2. nothing a tool starts outlives its call ---------------------------------------


async def test_nothing_a_tool_starts_outlives_its_call(manager, tmp_path) -> None:
    await require(manager, "processes")
    marker = f"survivor-{uuid.uuid4()}"
    result = await run(
        manager,
        tmp_path,
        """
        import os, subprocess, sys
        def main(marker):
            for _ in range(20):
                # Detached twice over: a new session, its parent gone at once.
                if os.fork() == 0:
                    os.setsid()
                    subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)", marker],
                                     start_new_session=True)
                    os._exit(0)
            held = open("/tmp/held", "wb")
            held.write(b"x" * (1 << 20))
            os.unlink("/tmp/held")  # a survivor would keep it on disk unseen
            try:
                os.kill(1, 9)  # and its supervisor, if it could
            except PermissionError:
                pass
            return "detached"
        """,
        marker,
    )
    assert result.output == "detached", result.error
    await asyncio.sleep(0.1)
    assert host_pids_with(marker) == []


# --- 3. reads are confined to the task's world ---------------------------------------


async def test_a_tool_reads_nothing_of_the_host(manager, tmp_path) -> None:
    await require(manager, "file system", "processes")
    secret = tmp_path / "home" / ".ssh" / "id_test"
    secret.parent.mkdir(parents=True)
    secret.write_text("PRIVATE KEY")
    other = tmp_path / "store" / "other" / "tool.py"
    other.parent.mkdir(parents=True)
    other.write_text("SECRET = 'another tool'\n")
    neighbour = asyncio.ensure_future(
        run(manager, tmp_path / "store" / "neighbour",
            "import time\ndef main(a):\n    open('/tmp/mine', 'w').write('x')\n    time.sleep(1)\n")
    )
    await asyncio.sleep(0.3)
    probe = """
        import os
        def main(paths):
            outcomes = {}
            for path in paths:
                try:
                    with open(path, "rb") as file:
                        outcomes[path] = file.read(16).decode(errors="replace")
                except OSError as error:
                    outcomes[path] = type(error).__name__
            return {"read": outcomes, "pids": sorted(p for p in os.listdir("/proc") if p.isdigit()),
                    "scratch": os.listdir("/tmp")}
        """
    paths = [str(secret), str(other), "/etc/shadow", "/etc/passwd", "/dev/pts/0"]
    result = await run(manager, tmp_path / "store" / "reader", probe, paths)
    await neighbour
    assert result.error is None, result.error
    assert result.output["read"] == dict.fromkeys(paths, "FileNotFoundError")
    assert set(result.output["pids"]) <= {"1", "2"}  # its supervisor and itself
    assert sorted(result.output["scratch"]) == fresh_scratch()  # not the neighbour's /tmp
    refused = await run(manager, tmp_path / "store" / "plain", "open('/etc/shadow')\n")
    assert "/etc/shadow is outside the tool sandbox" in refused.error


# --- 4. local IPC does not cross into the host or another task --------------------------


async def test_local_ipc_stays_inside_the_task(manager, tmp_path) -> None:
    await require(manager, "ipc", "file system", "landlock")
    connections: list[int] = []
    unix_path = tmp_path / "x.sock"
    server = await asyncio.start_unix_server(
        lambda reader, writer: (connections.append(1), writer.close()), path=str(unix_path)
    )
    abstract = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    abstract_name = f"\0tarvik-test-{uuid.uuid4()}"
    abstract.bind(abstract_name)
    abstract.listen()
    libc = ctypes.CDLL(None, use_errno=True)
    host_key, tool_key = 0x7A000000 + os.getpid() % 0x10000, 0x7B000000 + os.getpid() % 0x10000
    host_segment = libc.shmget(host_key, 4096, 0o1000 | 0o600)  # IPC_CREAT
    assert host_segment >= 0
    tool = """
        import ctypes, os, socket
        def main(args):
            libc = ctypes.CDLL(None, use_errno=True)
            outcomes = {"host segment": libc.shmget(args["host_key"], 0, 0)}
            for name, address in (("unix", args["unix"]), ("abstract", args["abstract"])):
                try:
                    socket.socket(socket.AF_UNIX).connect(address)
                    outcomes[name] = "connected"
                except OSError as error:
                    outcomes[name] = type(error).__name__
            if args["make"]:  # a large segment of its own, left behind on purpose
                outcomes["made"] = libc.shmget(args["tool_key"], 64 << 20, 0o1000 | 0o600)
            else:
                outcomes["found"] = libc.shmget(args["tool_key"], 0, 0)
            return outcomes
        """
    args = {"host_key": host_key, "tool_key": tool_key, "unix": str(unix_path),
            "abstract": abstract_name, "make": True}
    try:
        first = await run(manager, tmp_path / "one", tool, args)
        second = await run(manager, tmp_path / "two", tool, {**args, "make": False})
    finally:
        server.close()
        abstract.close()
        libc.shmctl(host_segment, 0, None)  # IPC_RMID
    assert first.error is None and second.error is None, (first.error, second.error)
    assert first.output["host segment"] == -1 and first.output["made"] >= 0
    assert first.output["unix"] == "FileNotFoundError"
    assert first.output["abstract"] in ("ConnectionRefusedError", "PermissionError")
    assert connections == []
    assert second.output["found"] == -1  # the next task sees nothing of it
    assert libc.shmget(tool_key, 0, 0) == -1  # and nothing of it is left on the host


# --- 5. limits hold for the whole call ------------------------------------------------


async def test_limits_hold_for_the_whole_call(make_manager, tmp_path) -> None:
    limits = WorkerLimits(processes=16, memory=256 * MIB, scratch=16 * MIB)
    manager = make_manager(limits=limits)
    await require(manager, "process limit", "memory limit", "scratch disk")
    forks = await run(
        manager,
        tmp_path / "forks",
        """
        import os, time
        def main(args):
            children = 0
            for _ in range(100):
                pid = os.fork()
                if pid == 0:
                    time.sleep(30)
                    os._exit(0)
                children += 1
        """,
    )
    assert "the call's process limit (16) was reached" in forks.error
    assert forks.limit == "processes"
    memory = await run(
        manager,
        tmp_path / "memory",
        """
        import os
        def main(args):
            children = [pid for pid in (os.fork() for _ in range(3)) if pid]
            hoard = bytearray(150 << 20)
            for offset in range(0, len(hoard), 4096):
                hoard[offset] = 1
            if len(children) < 3:
                os._exit(0)  # a child: done hoarding
            if any(os.waitpid(pid, 0)[1] for pid in children):
                raise RuntimeError("a child was killed")
        """,
    )
    assert "the call's memory limit (256 MiB) was reached" in memory.error
    assert memory.limit == "memory"
    disk = await run(
        manager,
        tmp_path / "disk",
        """
        def main(args):
            for number in range(8):
                with open(f"/tmp/blob-{number}", "wb") as blob:
                    blob.write(b"x" * (4 << 20))
        """,
    )
    assert "the call's scratch disk limit (16 MiB) was reached" in disk.error
    assert disk.limit == "scratch"
    after = await run(manager, tmp_path / "after", "def main(a):\n    return 'fine'\n")
    assert after.output == "fine", after.error


# --- 6. a tool is believed for no more than its main could return -------------------

# An answer in the tool's own name, written behind the worker's back.
FORGE = """
import os, struct
def forge():
    body = b'{"ok": true, "output": {"forged": true}}'
    os.write(4, struct.pack(">I", len(body)) + body)
"""


@pytest.mark.parametrize(
    ("body", "fragment"),
    [
        (FORGE + "forge()\ndef main(a):\n    return 'real'\n", ""),
        (FORGE + "def main(a):\n    forge()\n    raise RuntimeError('the real failure')\n", ""),
        (FORGE + "def main(a):\n    forge()\n    raise SystemExit(3)\n", ""),
        (FORGE + "def main(a):\n    forge()\n    os._exit(3)\n", "exited with code 3"),
        (
            "import json\njson.dumps = lambda *a, **k: '{\"ok\": true, \"output\": {\"patched\": Infinity}}'\n"
            "def main(a):\n    raise ValueError('the real failure')\n",
            "ValueError: the real failure",
        ),
        (
            "import os, struct\nbody = b'{\"ok\": true, \"output\": NaN}'\n"
            "def main(a):\n    os.write(4, struct.pack('>I', len(body)) + body)\n    os._exit(0)\n",
            "not valid JSON",
        ),
    ],
    ids=["forged-at-load", "forged-then-raised", "forged-then-exit", "forged-then-os-exit",
         "patched-encoder", "nan"],
)
async def test_a_forged_or_malformed_answer_is_never_believed(manager, tmp_path, body,
                                                               fragment) -> None:
    result = await run(manager, tmp_path, body)
    assert result.output is None
    assert result.error and fragment in result.error
    assert "forged" not in result.error and "patched" not in result.error
    # The world that was lied to is not the next call's.
    after = await run(manager, tmp_path, "def main(a):\n    return 'clean'\n")
    assert after.output == "clean", after.error


# --- the walls, one by one --------------------------------------------------------------


async def test_every_wall_is_reported(manager) -> None:
    report = await manager.protections()
    assert list(report) == list(WALLS)
    for state in report.values():
        assert state.startswith("active") or "; to get it, " in state or state.startswith("unavailable")


@pytest.mark.parametrize("granted", [(), ("127.0.0.1:9",)], ids=["no hosts", "a host granted"])
async def test_a_tool_cannot_reach_a_server_on_loopback(make_manager, tmp_path, granted) -> None:
    # A granted host opens the proxy, and nothing else: not the host's loopback.
    manager = make_manager(allowed_hosts=granted)
    await require(manager, "network")
    connections = []
    server = await asyncio.start_server(
        lambda reader, writer: (connections.append(1), writer.close()), "127.0.0.1", 0
    )
    port = server.sockets[0].getsockname()[1]
    try:
        result = await run(
            manager, tmp_path,
            "import socket\ndef main(port):\n    socket.create_connection(('127.0.0.1', port), timeout=5)\n",
            port,
        )
    finally:
        server.close()
        await server.wait_closed()
    assert "network access is blocked in the tool sandbox" in result.error
    assert connections == []


async def test_a_tool_can_write_only_its_scratch(manager, tmp_path) -> None:
    await require(manager, "file system", "landlock")
    result = await run(
        manager,
        tmp_path,
        """
        import os
        def attempt(path):
            try:
                with open(path, "w") as file:
                    file.write("x")
            except OSError as error:
                return type(error).__name__
            return "written"
        def main(args):
            return {path: attempt(path) for path in
                    ("mine.txt", os.path.expanduser("~/.profile"), os.devnull, "/tool/planted",
                     "/planted", "/proc/self/comm")}
        """,
    )
    assert result.error is None, result.error
    assert result.output["mine.txt"] == result.output["/tmp/.profile"] == "written"
    assert result.output[os.devnull] == "written"
    for path in ("/tool/planted", "/planted", "/proc/self/comm"):
        assert result.output[path] in ("PermissionError", "OSError"), path
    assert not (tmp_path / "planted").exists()


async def test_an_interpreter_under_the_scratch_mount_point_stays_reachable(make_manager,
                                                                            tmp_path) -> None:
    # A checkout or a virtual environment in /tmp, where each task's scratch is mounted.
    prefix = Path(tempfile.mkdtemp(prefix="tarvik-venv-", dir="/tmp"))
    prefix.chmod(0o755)  # as a checkout's: readable by the tool's user
    try:
        venv.create(prefix, symlinks=True)
        python = prefix / "bin" / "python"
        manager = make_manager(python=str(python))
        await require(manager, "file system")
        result = await run(
            manager,
            tmp_path,
            """
            import os, subprocess, sys
            def main(args):
                done = subprocess.run([sys.executable, "-c", "print(6 * 7)"],
                                      capture_output=True, text=True)
                with open("mine.txt", "w") as file:
                    file.write("x")
                return {"prefix": sys.prefix, "answer": done.stdout.strip(), "error": done.stderr,
                        "scratch": sorted(os.listdir("/tmp"))}
            """,
        )
    finally:
        shutil.rmtree(prefix)
    assert result.error is None, result.error
    assert result.output["prefix"] == str(prefix)
    assert result.output["answer"] == "42", result.output["error"]
    assert "mine.txt" in result.output["scratch"]


async def test_dangerous_system_calls_are_refused(manager, tmp_path) -> None:
    await require(manager, "seccomp")
    result = await run(
        manager,
        tmp_path,
        """
        import ctypes, os
        def main(args):
            libc = ctypes.CDLL(None, use_errno=True)
            outcomes = {}
            for name, call in {
                "ptrace": lambda: libc.ptrace(16, 1, 0, 0),  # PTRACE_ATTACH
                "unshare": lambda: libc.unshare(0x40000000),  # CLONE_NEWNET
                "mount": lambda: libc.mount(b"none", b".", b"tmpfs", 0, None),
            }.items():
                outcomes[name] = (call(), ctypes.get_errno())
            return outcomes
        """,
    )
    assert result.error is None, result.error
    for name, (returned, error_number) in result.output.items():
        assert (returned, error_number) == (-1, 1), name  # EPERM


async def test_a_tool_holds_no_capabilities(manager, tmp_path) -> None:
    await require(manager, "capabilities")
    result = await run(
        manager,
        tmp_path,
        """
        def main(args):
            with open("/proc/self/status") as status:
                lines = [line.split() for line in status if line.startswith("Cap")]
            return {fields[0].rstrip(":"): fields[1] for fields in lines}
        """,
    )
    assert result.error is None, result.error
    for name in ("CapEff", "CapPrm", "CapBnd", "CapAmb"):
        assert int(result.output[name], 16) == 0, name


async def test_required_walls_refuse_every_tool_where_one_is_missing(tmp_path) -> None:
    manager = SubprocessManager(pool_size=0, sandbox=False, require_sandbox=True)
    try:
        result = await run(manager, tmp_path, "def main(a):\n    return 1\n")
    finally:
        await manager.aclose()
    assert result.output is None
    assert result.error.startswith("The tool sandbox is required but incomplete")
    assert "launcher: unavailable: switched off" in result.error


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ([], "no program to run"),
        (["--cgroup"], "missing value after --cgroup"),
        (["--report-fd", "x", "--", "/bin/true"], "--report-fd needs a descriptor"),
        (["--frobnicate", "1", "--", "/bin/true"], "unknown option --frobnicate"),
    ],
)
def test_the_launcher_refuses_a_bad_command_line(arguments, message) -> None:
    done = subprocess.run([Launcher.find().path, *arguments], capture_output=True, text=True, timeout=30)
    assert done.returncode == 2
    assert message in done.stderr


@pytest.mark.parametrize("status", [0, 3])
def test_the_launcher_reports_then_runs_the_program_as_it_ended(tmp_path, status) -> None:
    read_end, write_end = os.pipe()
    command = [Launcher.find().path, "--report-fd", str(write_end), "--"]
    command += ["/bin/sh", "-c", f"echo $$ > pid.txt; exit {status}"]
    done = subprocess.run(command, cwd=tmp_path, pass_fds=(write_end,), timeout=30)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as report_pipe:
        report = Launcher.parse_report(report_pipe.read())
    assert done.returncode == status
    assert (tmp_path / "pid.txt").read_text() == "1\n"  # the first of its PID namespace
    assert set(report) == {"parent death", "network", "pid namespace", "seccomp"}


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (b'{"network": "active: own"}', {"network": "active: own"}),
        (b"", {}),
        (b"not json", {}),
        (b'["active"]', {}),
    ],
)
def test_a_report_never_claims_what_was_not_reported(raw: bytes, expected: dict) -> None:
    assert Launcher.parse_report(raw) == expected


def test_a_missing_launcher_is_reported(tmp_path) -> None:
    missing = tmp_path / "tarvik-sandbox"
    manager = SubprocessManager(pool_size=0, launcher=missing)

    async def protections() -> dict[str, str]:
        try:
            return await manager.protections()
        finally:
            await manager.aclose()

    report = asyncio.run(protections())
    assert report["launcher"].startswith(f"unavailable: not found at {missing}")
    assert all(state.startswith("unavailable") for name, state in report.items()
               if name not in ("result", "isolation"))
