"""The worker: the pool's zygote, or a fresh process for one task.

    python -I worker.py --zygote --control-fd N --folder DIR --world JSON
    python -I worker.py --folder DIR --world JSON [--probe]   (pipes on fds 3 to 6)

The host starts this file as a script, through the sandbox launcher when it
is installed. Isolated mode keeps the host's import path away from tools, so
nothing is imported from ``tarvik``: the modules beside this file are loaded
by their paths. ``--world`` carries the walls every task gets
(``{"scratch": bytes, "memory": bytes, "processes": n}``, and ``"proxy_port":
n`` when the operator granted network hosts); ``DIR`` is an
empty folder of the host's where the template of the tasks' world is built.

A task process reads one task, runs it and exits. In the pool it is forked,
world and all, before its task arrives, by a zygote that never runs tool
code: the zygote reaps every task process, removes its cgroup and tells the
host how it ended, which is what the host's verdict rests on.
"""

from __future__ import annotations

import importlib.util
import json
import os
import sys
import traceback
from dataclasses import dataclass
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


worker_task = _load("worker_task")
task_world = _load("task_world")
cgroups = _load("cgroups")

# Where the tool process finds its pipes.
TASK_FD = 3
RESULT_FD = 4
ADMITTED_FD = 5
# Where a fresh task's supervisor finds its own.
VERDICT_FD = 5
ADMISSION_FD = 6


@dataclass(frozen=True)
class TaskEnds:
    """A task's ends of the host's pipes, as its supervisor receives them.

    ``task``, ``result`` and ``output`` (None: stdout and stderr as they are)
    are for the tool process; ``verdict`` and ``admission`` stay with the
    supervisor, which alone writes the verdict and alone learns, on the
    admission pipe, which script the task runs.
    """

    task: int
    result: int
    output: int | None
    verdict: int
    admission: int

    def pipes(self) -> tuple[int, int, int, int, int]:
        output = -1 if self.output is None else self.output
        return (self.task, self.result, output, self.verdict, self.admission)


def _probe(world: Any, report_fd: int, admitted_fd: int) -> NoReturn:
    """Put up every wall, be admitted to no task at all, and report what held."""
    report: dict[str, Any] = {"world": world.root is not None, "world_problem": world.problem}
    try:
        report["walls"] = world.seal()
        admitted = _read_all(admitted_fd)
        if admitted[:1] != b"S":
            report.update(world=False, world_problem=admitted[1:].decode(errors="replace"))
    except OSError as error:
        report.update(world=False, world_problem=f"a task's walls could not be put up: {error}")
    worker_task.write_all(report_fd, json.dumps(report).encode())
    os._exit(0)


def _read_all(fd: int) -> bytes:
    chunks = []
    while chunk := os.read(fd, 1 << 16):
        chunks.append(chunk)
    os.close(fd)
    return b"".join(chunks)


def start_task(
    world: Any,
    ends: TaskEnds,
    *,
    cgroups: list[str] = [],  # noqa: B006 - never changed
    lifeline: int = -1,
    folder: str | None = None,
    warm: bool = False,
    streams_ready: bool = False,
    probe: bool = False,
) -> NoReturn:
    """In a new task's first process: become its supervisor, and carry on as its tool process.

    The supervisor runs no tool code. Once the host names the task's
    script on the admission pipe, it lets the tool's folder into the world
    and the host's tree out, and tells the tool process to go on; then it
    waits, and alone holds the verdict pipe: how the tool process ended is
    what the host's answer rests on.
    """
    if world.walls is not None:
        admitted = world.supervise(ends.pipes(), cgroups, lifeline, folder)
    else:
        world.folder = folder
        admitted = _supervise_without_walls(ends, lifeline)
    become_tool_process(world, ends, admitted, warm=warm, streams_ready=streams_ready, probe=probe)


def become_tool_process(
    world: Any, ends: TaskEnds, admitted: int, *, warm: bool, streams_ready: bool, probe: bool
) -> NoReturn:
    """The tool process of a task: its walls up, then its one task."""
    try:
        if probe:
            _probe(world, ends.result, admitted)
        _become_tool_process(world, ends, admitted, warm=warm, streams_ready=streams_ready)
    except BaseException:  # noqa: BLE001 - a child must never return into its parent
        traceback.print_exc()
    os._exit(70)


def _supervise_without_walls(ends: TaskEnds, lifeline: int) -> int:
    """What ``_walls.supervise_task`` does, without a world: for a worker run from a source tree."""
    import select

    os.setsid()
    _die_with_parent(None)
    if lifeline >= 0 and select.select([lifeline], [], [], 0)[0]:
        os._exit(0)
    admitted_read, admitted_write = os.pipe()
    tool = os.fork()
    if tool == 0:
        for fd in (admitted_write, ends.verdict, ends.admission):
            os.close(fd)
        return admitted_read
    for fd in (ends.task, ends.result, ends.output, admitted_read):
        if fd is not None:
            os.close(fd)
    # Its packages and proxy fields concern only a world: here the host's tree is the tool's.
    script = _read_all(ends.admission).split(b"\0")[0].decode(errors="surrogateescape")
    source = b""
    if script:
        try:
            with open(script, "rb") as file:
                source = file.read()
        except OSError:
            pass  # it will fail to load with the usual text
    worker_task.write_all(admitted_write, b"S" + source)
    os.close(admitted_write)
    while True:
        pid, status = os.waitpid(-1, 0)
        if pid == tool:
            verdict = json.dumps({"code": os.waitstatus_to_exitcode(status)}).encode()
            worker_task.write_all(ends.verdict, verdict)
            os._exit(0)


def _become_tool_process(
    world: Any, ends: TaskEnds, admitted_fd: int, *, warm: bool, streams_ready: bool
) -> NoReturn:
    import fcntl
    import signal

    _die_with_parent(world.walls)
    # What the zygote set up for itself is not the tool's.
    signal.set_wakeup_fd(-1)
    for number in (signal.SIGCHLD, signal.SIGPIPE, signal.SIGXFSZ):
        signal.signal(number, signal.SIG_DFL if number == signal.SIGCHLD else signal.SIG_IGN)
    # Lift every descriptor clear of 0-5 before laying them out there.
    task_fd, result_fd, admitted_fd = (
        fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 6) for fd in (ends.task, ends.result, admitted_fd)
    )
    if ends.output is not None:
        output_fd = fcntl.fcntl(ends.output, fcntl.F_DUPFD_CLOEXEC, 6)
        os.dup2(output_fd, 1)
        os.dup2(output_fd, 2)
    os.dup2(task_fd, TASK_FD)
    os.dup2(result_fd, RESULT_FD)
    os.dup2(admitted_fd, ADMITTED_FD)
    worker_task.close_stray_fds((TASK_FD, RESULT_FD, ADMITTED_FD))
    os.set_inheritable(RESULT_FD, False)
    world.seal()
    if not streams_ready:
        worker_task.capture_output_streams()
    if warm:
        worker_task.warm_up()

    def enter(task: dict[str, Any]) -> Any:
        admitted = _read_all(ADMITTED_FD)
        if admitted[:1] != b"S":
            raise OSError(admitted[1:].decode(errors="replace") or "its supervisor is gone")
        return world.enter(task, admitted[1:])

    worker_task.serve_task(TASK_FD, RESULT_FD, enter)


class Zygote:
    """Forks tasks on request, from a process no task has touched.

    A task is two processes: its supervisor, the first process of its own PID
    namespace, forked here with the task's world prepared, and the tool
    process it forks in turn, which waits for the task. The host's requests
    come over a SEQPACKET socket, one per message: ``spawn ID WARM`` with the
    task's task, result, capture, verdict and admission descriptors attached,
    and ``kill PID``. The answers are JSON: ``{"spawned": ID, "pid": PID,
    "error": null}`` (``"pid": null`` and why, when the fork was refused),
    and ``{"exited": PID, "code": N, "oom": bool, "pids_max": bool}`` once a
    task and everything it started are gone, with the call limits it met.
    End-of-file on the socket means the host is gone: every task is killed
    and the zygote exits.

    With ``_walls`` the loop runs in C++ (``serve_zygote``): between forks the
    zygote then writes none of the pages it shares with the tasks it forked.
    """

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
        import gc
        import importlib.util  # noqa: F401
        import inspect  # noqa: F401

        _prctl(15, b"tarvik-zygote")  # PR_SET_NAME, as ps and top show it
        if self.world.build(os.path.join(self.folder, "world")):
            self.protections = self._probe_world()
        if self.world.walls is not None:
            # Where each task has a user namespace of its own, the kernel
            # counts its processes; a cgroup is then for its memory alone.
            own_user = self.protections.get("user namespace", "").startswith("active")
            self.cgroups, self.cgroups_problem = cgroups.CallCgroups.open(
                os.path.basename(self.folder), self.limits["memory"], self.limits["processes"],
                cgroups.MEMORY_ONLY if own_user else cgroups.CONTROLLERS,
            )
        worker_task.validate_code("def main(args):\n    return args\n")  # warms the parser
        try:
            # Set up here once, the streams serve every tool process: after the
            # fork they write to fds 1 and 2, which by then are the capture.
            for stream in (sys.stdout, sys.stderr):
                stream.flush()
                stream.reconfigure(encoding="utf-8", errors="backslashreplace", line_buffering=True)
            self.streams_ready = True
        except (OSError, ValueError, AttributeError):
            self.streams_ready = False
        gc.collect()
        # Keep the interpreter's own objects out of the collector's way, so the
        # forked workers do not copy pages merely to count references.
        gc.freeze()

    def _probe_world(self) -> dict[str, str]:
        """One task with no task to do: what its walls came to, as its tool process saw them."""
        report_read, report_write = os.pipe2(os.O_CLOEXEC)
        null_in = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
        null_out = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
        ends = TaskEnds(null_in, report_write, None, null_out, os.dup(null_in))
        try:
            pid, admitted = self.world.fork_task(ends.pipes(), [], -1, None)
        except OSError as error:
            pid, admitted = -1, -1
            self.world.root = None
            self.world.problem = f"no PID namespace for a task: {error}"
        if pid == 0:
            become_tool_process(self.world, ends, admitted, warm=False, streams_ready=False,
                                probe=True)
        for fd in (report_write, null_in, null_out, ends.admission):
            os.close(fd)
        if pid < 0:
            os.close(report_read)
            return {}
        chunks = []
        while chunk := os.read(report_read, 65536):
            chunks.append(chunk)
        os.close(report_read)
        os.waitpid(pid, 0)
        try:
            report = json.loads(b"".join(chunks))
        except ValueError:
            report = {"world": False, "world_problem": "the probe task died before reporting"}
        if not report["world"]:
            self.world.root = None
            self.world.problem = report["world_problem"]
        return report.get("walls", {})

    def serve(self) -> NoReturn:
        import socket

        control = socket.socket(fileno=os.dup(self.control_fd))
        control.send(json.dumps({
            "ready": os.getpid(),
            "world": self.world.root is not None,
            "world_problem": self.world.problem,
            "walls": self.protections,
            "cgroups": self.cgroups.describe() if self.cgroups else None,
            "cgroups_problem": self.cgroups_problem,
        }).encode())
        control.detach()
        if self.world.root is None:
            _serve_without_a_world(self.control_fd, self._lifeline_read, self.world, self.folder,
                                   self.streams_ready)
        folders, counters = self.cgroups.recipe() if self.cgroups is not None else ([], [])
        world = self.world
        *pipes, admitted, warm = world.walls.serve_zygote(
            self.control_fd, folders, counters, self._lifeline_read, *world.task_plan()
        )
        ends = TaskEnds(*pipes[:2], None if pipes[2] < 0 else pipes[2], *pipes[3:])
        become_tool_process(world, ends, admitted, warm=warm, streams_ready=self.streams_ready,
                            probe=False)


def _serve_without_a_world(
    control_fd: int, lifeline: int, world: Any, pool_folder: str, streams_ready: bool
) -> NoReturn:
    """The zygote's loop in Python, for tasks without a world of their own: each gets a host
    folder as its scratch, and what it leaves behind is killed by process group."""
    import selectors
    import signal
    import socket
    import tempfile

    control = socket.socket(fileno=control_fd)
    folder_of: dict[int, str] = {}
    wakeup_read, wakeup_write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    signal.set_wakeup_fd(wakeup_write, warn_on_full_buffer=False)
    signal.signal(signal.SIGCHLD, lambda *_: None)
    if os.getpid() != 1:
        _set_child_subreaper()

    def send(message: dict[str, Any]) -> None:
        try:
            control.send(json.dumps(message).encode())
        except OSError:
            shut_down()

    def shut_down() -> NoReturn:
        for pid in folder_of:
            _kill(pid, group=True)
        while True:
            for pid in _children():
                _kill(pid, group=False)
            try:
                pid, _ = os.waitpid(-1, 0)
            except ChildProcessError:
                break
            import shutil

            shutil.rmtree(folder_of.pop(pid, ""), ignore_errors=True)
        os._exit(0)

    def spawn(request_id: int, warm: bool, fds: list[int]) -> None:
        folder = tempfile.mkdtemp(prefix="task-", dir=pool_folder)
        try:
            pid = os.fork()
        except OSError as error:
            for fd in fds:
                os.close(fd)
            send({"spawned": request_id, "pid": None, "error": f"Cannot start a worker: {error}"})
            return
        if pid == 0:
            try:
                signal.set_wakeup_fd(-1)
                signal.signal(signal.SIGCHLD, signal.SIG_DFL)
                control.close()
                worker_task.close_stray_fds((*fds, lifeline))
                start_task(world, TaskEnds(*fds), lifeline=lifeline, folder=folder, warm=warm,
                           streams_ready=streams_ready)
            finally:
                os._exit(70)
        for fd in fds:
            os.close(fd)
        folder_of[pid] = folder
        send({"spawned": request_id, "pid": pid, "error": None})

    def reap() -> None:
        import shutil

        while os.read(wakeup_read, 256) if _readable(wakeup_read) else b"":
            pass
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if pid == 0:
                break
            if pid in folder_of:
                _kill(pid, group=True)  # what it left in its group
                send({"exited": pid, "code": os.waitstatus_to_exitcode(status)})
                shutil.rmtree(folder_of.pop(pid), ignore_errors=True)
        for pid in _children():
            if pid not in folder_of:
                _kill(pid, group=False)  # a tool's orphan: none may stay

    selector = selectors.DefaultSelector()
    selector.register(control, selectors.EVENT_READ)
    selector.register(wakeup_read, selectors.EVENT_READ)
    while True:
        for key, _ in selector.select():
            if key.fileobj is not control:
                reap()
                continue
            try:
                message, fds, _, _ = socket.recv_fds(control, 256, 5)
            except OSError:
                message, fds = b"", []
            if not message:
                shut_down()
            verb, number, *rest = message.decode().split()
            if verb == "spawn" and len(fds) == 5:
                spawn(int(number), rest == ["1"], fds)
                continue
            for fd in fds:
                os.close(fd)
            if verb == "spawn":
                send({"spawned": int(number), "pid": None, "error": "no descriptors"})
            elif verb == "kill" and int(number) in folder_of:
                _kill(int(number), group=True)


def _readable(fd: int) -> bool:
    import select

    return bool(select.select([fd], [], [], 0)[0])


def _children() -> list[int]:
    children = []
    for thread in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{thread}/children") as listing:
                children += [int(pid) for pid in listing.read().split()]
        except OSError:
            pass
    return children


def _kill(pid: int, *, group: bool) -> None:
    import signal

    try:
        if group:
            os.killpg(pid, signal.SIGKILL)
        else:
            os.kill(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def _prctl(option: int, value: int | bytes) -> None:
    import ctypes

    ctypes.CDLL(None, use_errno=True).prctl(option, value, 0, 0, 0)


def _die_with_parent(walls: ModuleType | None) -> None:
    import signal

    if walls is not None:
        walls.die_with_parent()
    else:
        _prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _set_child_subreaper() -> None:
    _prctl(36, 1)  # PR_SET_CHILD_SUBREAPER


def _argument(argv: list[str], name: str) -> str:
    try:
        return argv[argv.index(name) + 1]
    except (ValueError, IndexError):
        raise SystemExit(f"worker.py: missing {name} VALUE") from None


def _world(argv: list[str]) -> Any:
    """The walls the host asked for with ``--world``; without it, a plain worker."""
    if "--world" not in argv:
        return task_world.World(None, scratch_bytes=0, processes=None)
    settings = json.loads(_argument(argv, "--world"))
    return task_world.World(
        task_world.load_walls(), scratch_bytes=settings["scratch"], processes=settings["processes"],
        proxy_port=settings.get("proxy_port", 0),
    )


def run_fresh(argv: list[str]) -> NoReturn:
    """One task started for itself: this process is its supervisor, the first of its PID namespace."""
    ends = TaskEnds(TASK_FD, RESULT_FD, None, VERDICT_FD, ADMISSION_FD)
    folder = _argument(argv, "--folder")
    worker_task.close_stray_fds((TASK_FD, RESULT_FD, VERDICT_FD, ADMISSION_FD))
    world = _world(argv)
    # /proc is mounted for our PID namespace: only when we are its first process.
    if os.getpid() != 1 or not world.build(os.path.join(folder, "world")):
        world.root = None
        world.problem = world.problem or "no PID namespace of its own for the task"
    # Importing the tool must not leave __pycache__ folders in the tool store.
    sys.dont_write_bytecode = True
    start_task(world, ends, folder=folder, probe="--probe" in argv)


def run_zygote(argv: list[str]) -> NoReturn:
    control_fd = int(_argument(argv, "--control-fd"))
    worker_task.close_stray_fds((control_fd,))
    sys.dont_write_bytecode = True
    limits = json.loads(_argument(argv, "--world")) if "--world" in argv else {}
    zygote = Zygote(control_fd, _argument(argv, "--folder"), _world(argv), limits)
    zygote.prepare()
    zygote.serve()


if __name__ == "__main__":
    if "--zygote" in sys.argv:
        run_zygote(sys.argv[1:])
    run_fresh(sys.argv[1:])
