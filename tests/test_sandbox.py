"""The native launcher's walls, seen from inside a tool; each skipped where the kernel refuses."""

from __future__ import annotations

import asyncio
import os
import shutil
import subprocess
import textwrap
from pathlib import Path

import pytest

from tarvik.core.sandbox import Launcher
from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask, WorkerLimits

LAUNCHER_SOURCE = Path(__file__).resolve().parents[1] / "launcher"


@pytest.fixture(scope="session")
def launcher(tmp_path_factory) -> str:
    """The installed launcher, or one built from the source tree for this run."""
    installed = Launcher.find()
    if installed is not None:
        return installed.path
    if not (LAUNCHER_SOURCE / "CMakeLists.txt").exists() or shutil.which("cmake") is None:
        pytest.skip("no tarvik-sandbox installed and no way to build one")
    build = tmp_path_factory.mktemp("launcher-build")
    steps = [
        ["cmake", "-S", str(LAUNCHER_SOURCE), "-B", str(build)],
        ["cmake", "--build", str(build)],
    ]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True, timeout=300)
        if done.returncode != 0:
            pytest.skip(f"building tarvik-sandbox failed: {done.stderr[-2000:]}")
    return str(build / "tarvik-sandbox")


@pytest.fixture(params=[2, 0], ids=["pool", "fresh"])
async def manager(request, launcher):
    manager = SubprocessManager(pool_size=request.param, launcher=launcher)
    yield manager
    await manager.aclose()


async def run(manager: SubprocessManager, folder: Path, body: str, args: object = None):
    tool = folder / "tool.py"
    tool.write_text(textwrap.dedent(body))
    command = {"action": "run_function", "path": str(tool), "function": "main", "args": args}
    return await manager.spawn(SubprocessTask(worker_type="custom", command=command, timeout=30))


async def require(manager: SubprocessManager, protection: str) -> str:
    state = (await manager.protections())[protection]
    if not state.startswith("active"):
        pytest.skip(f"{protection} is {state}")
    return state


async def test_every_protection_is_reported(manager) -> None:
    report = await manager.protections()
    assert report["launcher"] == "active"
    for name in ("network", "landlock", "seccomp", "capabilities", "parent death"):
        assert report[name].startswith(("active", "unavailable: ")), report


async def test_a_tool_cannot_reach_a_server_on_loopback(manager, tmp_path) -> None:
    report = await manager.protections()
    if not (report["network"].startswith("active") or "TCP" in report["landlock"]):
        pytest.skip(f"no network wall: {report['network']}")
    connections = []
    server = await asyncio.start_server(
        lambda reader, writer: (connections.append(1), writer.close()), "127.0.0.1", 0
    )
    port = server.sockets[0].getsockname()[1]
    try:
        result = await run(
            manager,
            tmp_path,
            """
            import socket
            def main(port):
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=5).close()
                except OSError as error:
                    return {"connected": False, "error": str(error)}
                return {"connected": True}
            """,
            port,
        )
    finally:
        server.close()
        await server.wait_closed()
    assert result.error is None
    assert result.output["connected"] is False
    assert connections == []


async def test_a_tool_can_write_only_in_its_own_folder(manager, tmp_path) -> None:
    await require(manager, "landlock")
    outside = tmp_path / "outside"
    outside.mkdir()
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
            neighbour = os.path.join(os.path.dirname(os.getcwd()), "planted")
            return {
                "own": attempt("mine.txt"),
                "outside": attempt(args["outside"] + "/planted"),
                "neighbour": attempt(neighbour),
                "home": attempt(os.path.expanduser("~/.profile")),
                "devnull": attempt(os.devnull),
            }
        """,
        {"outside": str(outside)},
    )
    assert result.error is None, result.error
    assert result.output["own"] == "written"
    assert result.output["home"] == "written"  # home is the task's folder
    assert result.output["devnull"] == "written"
    assert result.output["outside"] == "PermissionError"
    assert not (outside / "planted").exists()
    if manager.pool_size and (await manager.protections())["task folders"].startswith("active"):
        assert result.output["neighbour"] == "PermissionError"


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
                "ptrace": lambda: libc.ptrace(16, os.getppid(), 0, 0),  # PTRACE_ATTACH
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


async def test_a_tool_cannot_signal_the_host(manager, tmp_path) -> None:
    state = await require(manager, "landlock")
    if "signals" not in state:
        pytest.skip("this kernel's Landlock does not scope signals")
    result = await run(
        manager,
        tmp_path,
        """
        import os
        def main(host):
            try:
                os.kill(host, 0)
            except PermissionError:
                return "refused"
            return "reached"
        """,
        os.getpid(),
    )
    assert result.output == "refused"


async def test_allocating_far_past_the_limit_is_a_clear_error(launcher, tmp_path) -> None:
    manager = SubprocessManager(launcher=launcher, limits=WorkerLimits(address_space=256 << 20))
    try:
        hungry = "def main(args):\n    return len(bytearray(16 << 30))\n"
        result = await run(manager, tmp_path, hungry)
        after = await run(manager, tmp_path, "def main(args):\n    return 'still here'\n")
    finally:
        await manager.aclose()
    assert "MemoryError" in result.error
    assert after.output == "still here"


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ([], "no program to run"),
        (["--write"], "missing value after --write"),
        (["--report-fd", "x", "--", "/bin/true"], "--report-fd needs a descriptor"),
        (["--frobnicate", "1", "--", "/bin/true"], "unknown option --frobnicate"),
    ],
)
def test_the_launcher_refuses_a_bad_command_line(launcher, arguments, message) -> None:
    done = subprocess.run([launcher, *arguments], capture_output=True, text=True, timeout=30)
    assert done.returncode == 2
    assert message in done.stderr


def test_the_launcher_reports_then_runs_the_program(launcher, tmp_path) -> None:
    read_end, write_end = os.pipe()
    command = [launcher, "--report-fd", str(write_end), "--write", str(tmp_path), "--"]
    command += ["/bin/sh", "-c", "echo ran > ran.txt"]
    done = subprocess.run(
        command, cwd=tmp_path, pass_fds=(write_end,), capture_output=True, text=True, timeout=30
    )
    os.close(write_end)
    with os.fdopen(read_end, "rb") as report_pipe:
        report = Launcher.parse_report(report_pipe.read())
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "ran.txt").read_text() == "ran\n"
    assert report["launcher"] == "active"
    assert set(report) >= {"network", "landlock", "seccomp", "capabilities", "parent death"}


@pytest.mark.parametrize(
    ("raw", "expected_landlock"),
    [
        (b'{"landlock": "active: ABI 7"}', "active: ABI 7"),
        (b"", "unavailable: not reported by the launcher"),
        (b"not json", "unavailable: not reported by the launcher"),
        (b'["active"]', "unavailable: not reported by the launcher"),
    ],
)
def test_a_report_never_claims_what_was_not_reported(raw: bytes, expected_landlock: str) -> None:
    report = Launcher.parse_report(raw)
    assert report["landlock"] == expected_landlock
    assert report["seccomp"].startswith("unavailable") or b"seccomp" in raw


def test_a_missing_launcher_is_reported(tmp_path) -> None:
    missing = tmp_path / "tarvik-sandbox"
    manager = SubprocessManager(pool_size=0, launcher=missing)
    report = asyncio.run(manager.protections())
    assert report["launcher"] == f"unavailable: not found at {missing}"
    assert report["resource limits"] == "active"
