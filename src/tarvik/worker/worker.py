"""The worker pool's zygote: it builds the tasks' world once, then forks tasks for the host.

    python -I worker.py --control-fd N --folder DIR [--world JSON]

The host starts this file as a script, through the sandbox launcher when it
is installed. Isolated mode keeps the host's import path away from tools, so
nothing is imported from ``tarvik``: the modules beside this file are loaded
by their paths. ``--world`` carries the walls every task gets
(``{"scratch": bytes, "memory": bytes, "processes": n}``, and ``"proxy_port":
n`` when the operator granted network hosts); without it, tasks run in the
host's own tree. ``DIR`` is an empty folder of the host's where the template
of the tasks' world is built.

The zygote's loop, each task's supervisor and the walls are C++ (``_walls``):
the zygote never runs tool code, and between forks writes none of the pages
it shares with the tasks it forked. Python runs here only to prepare, and,
in each task, as its tool process (``tool_process.py``).
"""

from __future__ import annotations

import importlib.util
import json
import os
import sys
import traceback
from types import ModuleType
from typing import Any, NoReturn

_HERE = os.path.dirname(os.path.abspath(__file__))


def _load(name: str) -> ModuleType:
    """A module beside this file, under a name no tool module can clash with."""
    spec = importlib.util.spec_from_file_location(f"_tarvik_{name}", os.path.join(_HERE, f"{name}.py"))
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up by name
    spec.loader.exec_module(module)
    return module


protocol = _load("protocol")
tool_process = _load("tool_process")
task_world = _load("world")
cgroups = _load("cgroups")


def become_tool_process(world: Any, channels: list[int], admitted: int, *, warm: bool,
                        streams_ready: bool, probe: bool = False) -> NoReturn:
    """A task's tool process: its channels laid out, its walls up, then its tool."""
    try:
        _lay_out(world, channels, admitted)
        if probe:
            _probe(world)
        world.seal()
        if not streams_ready:
            tool_process.capture_output_streams()
        if warm:
            tool_process.warm_up()
        tool_process.serve(lambda first: _enter(world, first))
    except BaseException:  # noqa: BLE001 - a child must never return into its parent
        traceback.print_exc()
    os._exit(70)


def _lay_out(world: Any, channels: list[int], admitted: int) -> None:
    import fcntl
    import signal

    world.walls.die_with_parent()
    # What the zygote set up for itself is not the tool's.
    signal.set_wakeup_fd(-1)
    for number in (signal.SIGCHLD, signal.SIGPIPE, signal.SIGXFSZ):
        signal.signal(number, signal.SIG_DFL if number == signal.SIGCHLD else signal.SIG_IGN)
    task, result, output = channels[:3]
    # Lift every descriptor clear of 0-5 before laying them out there.
    task, result, admitted = (fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 6) for fd in (task, result, admitted))
    if output >= 0:
        output = fcntl.fcntl(output, fcntl.F_DUPFD_CLOEXEC, 6)
        os.dup2(output, 1)
        os.dup2(output, 2)
    os.dup2(task, protocol.TASK_FD)
    os.dup2(result, protocol.RESULT_FD)
    os.dup2(admitted, protocol.ADMITTED_FD)
    keep = (protocol.TASK_FD, protocol.RESULT_FD, protocol.ADMITTED_FD)
    tool_process.close_stray_fds(keep)
    for fd in keep:
        os.set_inheritable(fd, False)


def _enter(world: Any, first: dict[str, Any]) -> str:
    """Wait for the supervisor's word that the task is admitted, then let its world in."""
    admitted = tool_process.read_all(protocol.ADMITTED_FD)
    if admitted[:1] != b"S":
        raise OSError(admitted[1:].decode(errors="replace") or "its supervisor is gone")
    path: str = world.enter(first)
    return path


def _probe(world: Any) -> NoReturn:
    """Put up every wall, be admitted to no task at all, and report what held on the result
    channel."""
    report: dict[str, Any] = {"world": world.root is not None, "world_problem": world.problem}
    try:
        report["walls"] = world.seal()
        admitted = tool_process.read_all(protocol.ADMITTED_FD)
        if admitted[:1] != b"S":
            report.update(world=False, world_problem=admitted[1:].decode(errors="replace"))
    except OSError as error:
        report.update(world=False, world_problem=f"a task's walls could not be put up: {error}")
    tool_process.write_all(protocol.RESULT_FD, json.dumps(report).encode())
    os._exit(0)


class Zygote:
    """Forks tasks on the host's requests (see the protocol), from a process no task touched."""

    def __init__(self, control_fd: int, folder: str, world: Any, limits: dict[str, Any]) -> None:
        self.control_fd = control_fd
        self.folder = folder
        self.world = world
        self.limits = limits
        self.cgroups: Any = None
        self.cgroups_problem = "needs the launcher"
        self.protections: dict[str, str] = {}
        self.streams_ready = False
        # Held open only here: a task that finds it closed knows its zygote
        # died before the parent-death signal was armed.
        self._lifeline_read, self._lifeline_write = os.pipe2(os.O_CLOEXEC)

    def prepare(self) -> None:
        """Build the tasks' world, test it once, and import what tasks need before forking.

        Not asyncio: with ssl it doubles the zygote's memory, and every fork
        and exit would pay for those pages; the tools that want it import it.
        """
        import fcntl  # noqa: F401 - every tool process lays out its channels with them
        import gc
        import importlib.machinery  # noqa: F401 - every load uses it
        import inspect  # noqa: F401 - every call uses it
        import linecache  # noqa: F401
        import signal  # noqa: F401 - its enums alone cost a fresh process 2 ms

        self.world.walls.set_process_name("tarvik-zygote")
        if self.world.build(os.path.join(self.folder, "world")):
            self.protections = self._probe_world()
        if self.world.enabled:
            # Where each task has a user namespace of its own, the kernel
            # counts its processes; a cgroup is then for its memory alone.
            own_user = self.protections.get("user namespace", "").startswith("active")
            self.cgroups, self.cgroups_problem = cgroups.CallCgroups.open(
                os.path.basename(self.folder), self.limits["memory"], self.limits["processes"],
                cgroups.MEMORY_ONLY if own_user else cgroups.CONTROLLERS,
            )
        tool_process.warm_up()  # warms the parser and the encoder
        try:
            # Set up here once, the streams serve every tool process: after the
            # fork they write to fds 1 and 2, which by then are the capture.
            for stream in (sys.stdout, sys.stderr):
                stream.flush()
                stream.reconfigure(  # type: ignore[union-attr]  # the interpreter's own TextIOWrapper
                    encoding="utf-8", errors="backslashreplace", line_buffering=True)
            self.streams_ready = True
        except (OSError, ValueError, AttributeError):
            self.streams_ready = False
        gc.collect()
        # Keep the interpreter's own objects out of the collector's way, so the
        # forked tasks do not copy pages merely to count references.
        gc.freeze()

    def _probe_world(self) -> dict[str, str]:
        """One task with no task to do: what its walls came to, as its tool process saw them."""
        report_read, report_write = os.pipe2(os.O_CLOEXEC)
        null_in = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
        import socket

        host_end, task_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        channels = [null_in, report_write, -1, task_end.fileno()]
        try:
            pid, admitted = self.world.fork_task(channels, [], -1)
        except OSError as error:
            pid, admitted = -1, -1
            self.world.root = None
            self.world.problem = f"no PID namespace for a task: {error}"
        if pid == 0:
            become_tool_process(self.world, channels, admitted, warm=False, streams_ready=False,
                                probe=True)
        for fd in (report_write, null_in):
            os.close(fd)
        task_end.close()
        if pid < 0:
            os.close(report_read)
            host_end.close()
            return {}
        host_end.send(protocol.admission())
        raw = tool_process.read_all(report_read)
        host_end.close()
        os.waitpid(pid, 0)
        try:
            report = json.loads(raw)
        except ValueError:
            report = {"world": False, "world_problem": "the probe task died before reporting"}
        if not report["world"]:
            self.world.root = None
            self.world.problem = report["world_problem"]
        walls: dict[str, str] = report.get("walls", {})
        return walls

    def serve(self) -> NoReturn:
        import socket

        control = socket.socket(fileno=os.dup(self.control_fd))
        try:
            control.send(json.dumps({
                "ready": os.getpid(),
                "world": self.world.root is not None,
                "world_problem": self.world.problem,
                "walls": self.protections,
                "cgroups": self.cgroups.describe() if self.cgroups else None,
                "cgroups_problem": self.cgroups_problem,
            }).encode())
        except OSError:
            os._exit(0)  # the host left before the pool was ready: nothing to serve
        finally:
            control.close()
        folders, counters = self.cgroups.recipe() if self.cgroups is not None else ([], [])
        *channels, admitted, warm = self.world.walls.serve_zygote(
            self.control_fd, folders, counters, self._lifeline_read, *self.world.task_plan()
        )
        become_tool_process(self.world, channels, admitted, warm=warm,
                            streams_ready=self.streams_ready)


def _argument(argv: list[str], name: str) -> str:
    try:
        return argv[argv.index(name) + 1]
    except (ValueError, IndexError):
        raise SystemExit(f"worker.py: missing {name} VALUE") from None


def main(argv: list[str]) -> NoReturn:
    control_fd = int(_argument(argv, "--control-fd"))
    tool_process.close_stray_fds((control_fd,))
    # Importing a tool must not leave __pycache__ folders in the tool store.
    sys.dont_write_bytecode = True
    walls = task_world.load_walls()
    if walls is None:
        raise SystemExit("worker.py: the _walls module is not installed beside the worker")
    settings = json.loads(_argument(argv, "--world")) if "--world" in argv else {}
    world = task_world.World(
        walls, enabled=bool(settings), scratch_bytes=settings.get("scratch", 0),
        processes=settings.get("processes"), proxy_port=settings.get("proxy_port", 0),
    )
    zygote = Zygote(control_fd, _argument(argv, "--folder"), world, settings)
    zygote.prepare()
    zygote.serve()


if __name__ == "__main__":
    main(sys.argv[1:])
