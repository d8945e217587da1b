"""The worker process that checks and runs agent-written tools for the host.

The host starts this file as a script (``python -I worker.py --task-fd N
--reply-fd M``), so it imports nothing from ``tarvik``: isolated mode keeps
the package and the host's ``sys.path`` out of reach of the tool. One worker
handles exactly one task and then exits.

Wire format, both directions JSON in UTF-8:

* task (host -> worker): the whole task, terminated by end-of-file on the
  task pipe. End-of-file with no data means "no task" and the worker exits;
  that is how a pre-started worker notices that its host went away.
  ``{"command": {...}, "folder": str, "limits": {...}, "reply_limit": int}``
* reply (worker -> host): the byte ``T`` as soon as the whole task is read,
  then a 4-byte big-endian length and that many bytes:
  ``{"ok": true, "output": ...}`` or ``{"ok": false, "error": str}``.

Whatever the tool prints goes to fds 1 and 2, which the host points at a
capture pipe of its own; the reply never shares a channel with the tool.
"""

from __future__ import annotations

import ast
import fcntl
import json
import os
import resource
import struct
import sys
import traceback
from typing import Any, NoReturn

REPLY_HEADER = struct.Struct(">I")
TAKEN = b"T"
TRACEBACK_LINES = 15

# The rlimit each task limit maps to. Values are bytes or seconds.
_RLIMITS = {
    "address_space": resource.RLIMIT_AS,
    "cpu_seconds": resource.RLIMIT_CPU,
    "file_size": resource.RLIMIT_FSIZE,
    "open_files": resource.RLIMIT_NOFILE,
    "core_size": resource.RLIMIT_CORE,
}


class ToolError(Exception):
    """A failure to report to the host as the task's error text."""


# --- validate -------------------------------------------------------------


def validate_code(code: str) -> dict[str, Any]:
    """Check a tool's source without running any of it."""
    try:
        tree = ast.parse(code, filename="<tool>")
    except SyntaxError as error:
        where = f" at line {error.lineno}" if error.lineno else ""
        return {"valid": False, "message": f"Syntax error{where}: {error.msg}"}
    except (ValueError, RecursionError, MemoryError) as error:
        # Null bytes, nesting too deep for the parser, or a huge source.
        return {"valid": False, "message": f"Syntax error: {error}"}

    main_def = None
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and node.name == "main":
            main_def = node  # the last definition is the one that stays bound
    if main_def is None:
        return {"valid": False, "message": "No top-level function 'main' defined"}
    problem = _single_argument_problem(main_def.args)
    if problem is not None:
        return {"valid": False, "message": f"main() must accept one argument (args){problem}"}
    return {"valid": True, "message": "Code is valid"}


def _single_argument_problem(arguments: ast.arguments) -> str | None:
    """Why ``main(args)`` would fail to bind, or None when it binds."""
    positional = len(arguments.posonlyargs) + len(arguments.args)
    if positional == 0 and arguments.vararg is None:
        return ""
    required = positional - len(arguments.defaults)
    if required > 1:
        return f", but it requires {required}"
    missing_keywords = [
        arg.arg
        for arg, default in zip(arguments.kwonlyargs, arguments.kw_defaults)
        if default is None
    ]
    if missing_keywords:
        return f", but it also requires keyword arguments: {', '.join(missing_keywords)}"
    return None


# --- run_function ---------------------------------------------------------


def run_function(path: str, function: str, args: Any) -> Any:
    """Load the tool at ``path`` as a fresh module and call ``function(args)``."""
    import importlib.util
    import inspect

    folder = os.path.dirname(os.path.abspath(path))
    # A tool may import helper modules kept beside it.
    sys.path.insert(0, folder)
    spec = importlib.util.spec_from_file_location("tarvik_tool", path)
    if spec is None or spec.loader is None:
        raise ToolError(f"Cannot load tool from {path!r}")
    module = importlib.util.module_from_spec(spec)
    # Registered so dataclasses, pickle and typing can find the module by name.
    sys.modules["tarvik_tool"] = module
    try:
        spec.loader.exec_module(module)
    except FileNotFoundError as error:
        if error.filename == path:
            raise ToolError(f"Tool file not found: {path}") from None
        raise ToolError(_describe_exception("Loading the tool failed", error)) from None
    except BaseException as error:  # noqa: BLE001 - everything the tool raises is reported
        raise ToolError(_describe_exception("Loading the tool failed", error)) from None

    target = getattr(module, function, None)
    if target is None:
        raise ToolError(f"Function {function!r} not found in {os.path.basename(path)}")
    if not callable(target):
        raise ToolError(f"{function!r} in {os.path.basename(path)} is not callable")
    try:
        result = target(args)
        if inspect.isawaitable(result):
            import asyncio

            result = asyncio.run(_await(result))
    except BaseException as error:  # noqa: BLE001
        raise ToolError(_describe_exception("Tool raised", error)) from None
    return result


async def _await(awaitable: Any) -> Any:
    return await awaitable


def _describe_exception(prefix: str, error: BaseException) -> str:
    """The exception's type and message, then the tool's own traceback tail."""
    if isinstance(error, SystemExit):
        return f"{prefix} SystemExit: the tool called exit({error.code!r})"
    frames = traceback.extract_tb(error.__traceback__)
    # This file's frames say nothing about the tool; drop them.
    tool_frames = [frame for frame in frames if frame.filename != __file__]
    headline = f"{prefix} {type(error).__name__}: {error}"
    try:
        details = traceback.format_list(tool_frames)
        details += traceback.format_exception_only(type(error), error)
    except Exception:  # noqa: BLE001 - a broken __str__ must not hide the failure
        details = []
    lines = "".join(details).splitlines()[-TRACEBACK_LINES:]
    if not lines:
        return headline
    return headline + "\nTraceback (most recent call last):\n" + "\n".join(lines)


# --- the task -------------------------------------------------------------


def perform(command: Any) -> Any:
    """Carry out one command and return its output; failures raise ToolError."""
    if not isinstance(command, dict):
        raise ToolError("The command must be a JSON object")
    action = command.get("action")
    if action == "validate":
        code = command.get("code")
        if not isinstance(code, str):
            raise ToolError("validate needs 'code' as a string")
        return validate_code(code)
    if action == "run_function":
        path = command.get("path")
        function = command.get("function", "main")
        if not isinstance(path, str) or not isinstance(function, str):
            raise ToolError("run_function needs 'path' and 'function' as strings")
        return run_function(path, function, command.get("args"))
    raise ToolError(f"Unknown action {action!r}")


def apply_limits(limits: dict[str, int | None]) -> None:
    """Set each limit as both soft and hard so the tool cannot raise it back."""
    for name, value in limits.items():
        which = _RLIMITS.get(name)
        if which is None or value is None:
            continue
        _, hard = resource.getrlimit(which)
        if hard != resource.RLIM_INFINITY:
            value = min(value, hard)
        soft = value
        if which == resource.RLIMIT_CPU:
            # SIGXCPU at the soft limit; the kernel's SIGKILL one second later
            # catches a tool that ignores it.
            hard = value + 1
        else:
            hard = value
        resource.setrlimit(which, (soft, hard))


def enter_folder(folder: str) -> None:
    os.chdir(folder)
    os.environ["HOME"] = folder
    os.environ["TMPDIR"] = folder


def encode_reply(reply: dict[str, Any], limit: int) -> bytes:
    try:
        body = json.dumps(reply, allow_nan=False).encode()
    except (TypeError, ValueError, RecursionError) as error:
        body = _error_body(f"The tool's result is not JSON-serialisable: {error}")
    if len(body) > limit:
        body = _error_body(
            f"The tool's result is too large: {len(body)} bytes encoded, the limit is {limit}"
        )
    return REPLY_HEADER.pack(len(body)) + body


def _error_body(message: str) -> bytes:
    return json.dumps({"ok": False, "error": message}).encode()


def read_task(task_fd: int) -> bytes:
    chunks = []
    while chunk := os.read(task_fd, 1 << 20):
        chunks.append(chunk)
    os.close(task_fd)
    return b"".join(chunks)


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        written = os.write(fd, view)
        view = view[written:]


def capture_output_streams() -> None:
    """Line-buffered UTF-8 prints, so a crash still leaves the last lines behind.

    New stream objects rather than reconfigured ones: in a forked worker the
    inherited ones still believe they write to the zygote's /dev/null.
    """
    for fd, name in ((1, "stdout"), (2, "stderr")):
        stream = open(  # noqa: SIM115 - lives as long as the process
            fd, "w", buffering=1, encoding="utf-8", errors="backslashreplace",
            closefd=False,
        )
        setattr(sys, name, stream)
        setattr(sys, f"__{name}__", stream)


def close_stray_fds(keep: tuple[int, ...]) -> None:
    """Drop any descriptor the host let slip through; the tool gets only these."""
    highest = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    if highest == resource.RLIM_INFINITY or highest > 1 << 16:
        highest = 1 << 16
    start = 3
    for fd in sorted(keep):
        if fd >= start:
            os.closerange(start, fd)
            start = fd + 1
    os.closerange(start, highest)


def warm_up() -> None:
    """Do, while nobody waits, the work that makes a forked worker copy its pages.

    Right after the fork every page is shared with the zygote, and the first
    write to each (a reference count is enough) copies it. Touching the
    paths a task takes now keeps those copies off the caller's time.
    """
    sample = {"command": {"action": "validate", "code": "def main(args):\n    return args\n"}}
    task = json.loads(json.dumps(sample))
    encode_reply({"ok": True, "output": perform(task["command"])}, 1 << 20)


def serve_task(task_fd: int, reply_fd: int) -> NoReturn:
    """Read one task, do it, send the reply and exit without running atexit hooks."""
    raw = read_task(task_fd)
    if not raw:
        os._exit(0)
    # Tells the host the task was taken: a worker that dies before this
    # point never had it, and the host gives the task to another.
    write_all(reply_fd, TAKEN)
    task = json.loads(raw)
    reply_limit = int(task.get("reply_limit", 16 << 20))
    try:
        enter_folder(task["folder"])
        if task.get("confine_writes"):
            confine_writes(task["folder"])
        apply_limits(task.get("limits", {}))
        reply = {"ok": True, "output": perform(task["command"])}
    except ToolError as error:
        reply = {"ok": False, "error": str(error)}
    except MemoryError:
        reply = {"ok": False, "error": "The worker ran out of memory"}
    payload = encode_reply(reply, reply_limit)
    reply = {}
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:  # noqa: BLE001 - the tool may have closed or replaced it
            pass
    write_all(reply_fd, payload)
    # Threads the tool left running must not keep the worker alive.
    os._exit(0)


# --- kernel facilities through libc -----------------------------------------

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
PR_GET_NO_NEW_PRIVS = 39

# The Landlock system calls have one number on every architecture.
_LANDLOCK_CREATE_RULESET = 444
_LANDLOCK_ADD_RULE = 445
_LANDLOCK_RESTRICT_SELF = 446
_LANDLOCK_CREATE_RULESET_VERSION = 1
_LANDLOCK_RULE_PATH_BENEATH = 1
# Every right that changes the file system, by the ABI version that brought it.
_LANDLOCK_WRITE_RIGHTS = {
    1: 0b1_1111_1111_0010,  # write_file, remove_*, make_*
    2: 1 << 13,  # refer
    3: 1 << 14,  # truncate
}
_LANDLOCK_FILE_WRITE_RIGHTS = (1 << 1) | (1 << 14)
# Device files a tool may write although they sit outside its folder.
_WRITABLE_DEVICES = ("/dev/null", "/dev/zero", "/dev/full")


_loaded_libc: Any = None


def _libc() -> Any:
    """The C library through ctypes, loaded once (in the zygote, before any fork)."""
    global _loaded_libc
    if _loaded_libc is None:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.syscall.restype = ctypes.c_long
        libc.prctl.restype = ctypes.c_int
        libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong,
                               ctypes.c_ulong]
        _loaded_libc = libc
    return _loaded_libc


def prctl(option: int, value: int) -> int:
    return int(_libc().prctl(option, value, 0, 0, 0))


def landlock_abi() -> int:
    """The Landlock ABI version, 0 when the kernel has none or refuses it."""
    import ctypes

    version = _libc().syscall(
        _LANDLOCK_CREATE_RULESET, ctypes.c_void_p(None), ctypes.c_size_t(0),
        ctypes.c_uint32(_LANDLOCK_CREATE_RULESET_VERSION),
    )
    return max(int(version), 0)


_landlock_structs: Any = None


def _landlock_types() -> Any:
    """The two Landlock structures as ctypes types, made once before any fork."""
    global _landlock_structs
    if _landlock_structs is None:
        import ctypes

        class RulesetAttr(ctypes.Structure):
            _fields_ = [("handled_access_fs", ctypes.c_uint64)]

        # The kernel's structure is packed to 12 bytes; the natural one here
        # has the same first 12 bytes and 4 of padding the kernel never reads.
        class PathBeneathAttr(ctypes.Structure):
            _fields_ = [("allowed_access", ctypes.c_uint64), ("parent_fd", ctypes.c_int32)]

        _landlock_structs = (RulesetAttr, PathBeneathAttr)
    return _landlock_structs


def confine_writes(folder: str) -> None:
    """Add a Landlock layer under which only ``folder`` can be changed.

    The launcher's layer already keeps the whole pool's root as the only
    writable place; this one keeps a task out of its neighbours' folders.
    Layers only ever narrow, so a tool cannot undo it.
    """
    import ctypes

    abi = landlock_abi()
    if abi < 1:
        raise ToolError("The worker could not confine its writes: Landlock is unavailable")
    handled = 0
    for version, rights in _LANDLOCK_WRITE_RIGHTS.items():
        if abi >= version:
            handled |= rights

    RulesetAttr, PathBeneathAttr = _landlock_types()
    libc = _libc()
    attr = RulesetAttr(handled)
    ruleset = libc.syscall(
        _LANDLOCK_CREATE_RULESET, ctypes.byref(attr), ctypes.c_size_t(ctypes.sizeof(attr)),
        ctypes.c_uint32(0),
    )
    if ruleset < 0:
        raise ToolError(f"landlock_create_ruleset failed: {os.strerror(ctypes.get_errno())}")
    try:
        rules = [(folder, handled)]
        rules += [(device, handled & _LANDLOCK_FILE_WRITE_RIGHTS) for device in _WRITABLE_DEVICES]
        for path, rights in rules:
            try:
                path_fd = os.open(path, os.O_PATH | os.O_CLOEXEC)
            except OSError:
                continue
            try:
                rule = PathBeneathAttr(rights, path_fd)
                added = libc.syscall(
                    _LANDLOCK_ADD_RULE,
                    ctypes.c_int(ruleset),
                    ctypes.c_int(_LANDLOCK_RULE_PATH_BENEATH),
                    ctypes.byref(rule),
                    ctypes.c_uint32(0),
                )
                if added < 0:
                    why = os.strerror(ctypes.get_errno())
                    raise ToolError(f"landlock_add_rule({path}) failed: {why}")
            finally:
                os.close(path_fd)
        if libc.syscall(_LANDLOCK_RESTRICT_SELF, ctypes.c_int(ruleset), ctypes.c_uint32(0)) < 0:
            raise ToolError(f"landlock_restrict_self failed: {os.strerror(ctypes.get_errno())}")
    finally:
        os.close(ruleset)


# --- the pool's zygote --------------------------------------------------------


class Zygote:
    """Forks single-use workers on request, from a process no task has touched.

    Its children are workers in sessions of their own; as a child subreaper it
    also adopts whatever a tool's processes leave behind, so every process of
    every task is reaped here. Control messages are JSON over a SEQPACKET
    socket: ``{"spawn": id, "warm": bool}`` with the task, reply and capture
    descriptors attached, answered by ``{"spawned": id, "pid": n}``; ``{"kill": pid}``;
    and from here ``{"exited": pid, "code": n}``. End-of-file on the socket
    means the host is gone: every worker's group is killed and the zygote exits.
    """

    def __init__(self, control_fd: int) -> None:
        import selectors
        import signal
        import socket

        self.control = socket.socket(fileno=control_fd)
        self.control.setblocking(True)
        self.workers: set[int] = set()
        # Workers reaped whose group still has members: pid -> exit code.
        self._dying: dict[int, int] = {}
        self.pid = os.getpid()
        self.confine_writes = False
        self.streams_ready = False
        self._selector = selectors.DefaultSelector()
        self._wakeup_read, self._wakeup_write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        signal.set_wakeup_fd(self._wakeup_write, warn_on_full_buffer=False)
        signal.signal(signal.SIGCHLD, lambda *_: None)
        self._selector.register(self.control, selectors.EVENT_READ, self._on_control)
        self._selector.register(self._wakeup_read, selectors.EVENT_READ, self._on_signal)

    def prepare(self) -> None:
        """Import now what tasks will need, so a fork hands it over already loaded.

        Not asyncio: with ssl it doubles the zygote's memory, and every fork
        and exit would pay for those pages; the tools that want it import it.
        """
        import gc
        import importlib.util  # noqa: F401
        import inspect  # noqa: F401

        prctl(PR_SET_CHILD_SUBREAPER, 1)
        try:
            self.confine_writes = prctl(PR_GET_NO_NEW_PRIVS, 0) == 1 and landlock_abi() >= 1
        except OSError:
            self.confine_writes = False
        if self.confine_writes:
            _landlock_types()
        validate_code("def main(args):\n    return args\n")  # warms the parser
        try:
            # Set up here once, the streams serve every worker: after the fork
            # they write to fds 1 and 2, which by then are the task's capture.
            for stream in (sys.stdout, sys.stderr):
                stream.flush()
                stream.reconfigure(
                    encoding="utf-8", errors="backslashreplace", line_buffering=True
                )
            self.streams_ready = True
        except (OSError, ValueError, AttributeError):
            self.streams_ready = False
        gc.collect()
        # Keep the interpreter's own objects out of the collector's way, so the
        # forked workers do not copy pages merely to count references.
        gc.freeze()

    def send(self, message: dict[str, Any]) -> None:
        try:
            self.control.send(json.dumps(message).encode())
        except OSError:
            self.shut_down()  # the host is gone

    def serve(self) -> NoReturn:
        self.send({"ready": os.getpid(), "confine_writes": self.confine_writes})
        while True:
            for key, _ in self._selector.select():
                key.data()

    def _on_control(self) -> None:
        import socket

        try:
            message, fds, _, _ = socket.recv_fds(self.control, 4096, 3)
        except OSError:
            message, fds = b"", []
        if not message:
            self.shut_down()
        request = json.loads(message)
        if "spawn" in request and len(fds) == 3:
            pid = self._fork_worker(*fds, warm=bool(request.get("warm", True)))
            self.send({"spawned": request["spawn"], "pid": pid})
            return
        for fd in fds:
            os.close(fd)
        if "spawn" in request:
            self.send({"spawned": request["spawn"], "pid": None})
        elif request.get("kill") in self.workers:
            _kill_group(request["kill"])

    def _fork_worker(self, task_fd: int, reply_fd: int, output_fd: int, warm: bool) -> int:
        pid = os.fork()
        if pid == 0:
            try:
                self._become_worker(task_fd, reply_fd, output_fd, warm)
            except BaseException:  # noqa: BLE001 - a child must never return into the zygote
                traceback.print_exc()
            os._exit(70)
        for fd in (task_fd, reply_fd, output_fd):
            os.close(fd)
        self.workers.add(pid)
        return pid

    def _become_worker(self, task_fd: int, reply_fd: int, output_fd: int, warm: bool) -> NoReturn:
        import signal

        os.setsid()
        prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getppid() != self.pid:
            os._exit(0)  # the zygote died while forking us
        signal.set_wakeup_fd(-1)
        for number in (signal.SIGCHLD, signal.SIGPIPE, signal.SIGXFSZ):
            signal.signal(number, signal.SIG_DFL if number == signal.SIGCHLD else signal.SIG_IGN)
        self._selector.close()
        self.control.close()
        # Lift every descriptor clear of 0-4 before laying them out there.
        task_fd, reply_fd, output_fd = (
            fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 5) for fd in (task_fd, reply_fd, output_fd)
        )
        os.dup2(output_fd, 1)
        os.dup2(output_fd, 2)
        os.dup2(task_fd, 3)
        os.dup2(reply_fd, 4)
        close_stray_fds((3, 4))
        os.set_inheritable(4, False)
        if not self.streams_ready:
            capture_output_streams()
        if warm:
            warm_up()
        serve_task(3, 4)

    def _on_signal(self) -> None:
        try:
            while os.read(self._wakeup_read, 256):
                pass
        except BlockingIOError:
            pass
        while True:
            try:
                info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            except ChildProcessError:
                break
            if info is None:
                break
            pid = info.si_pid
            if pid in self.workers:
                # Still a zombie: its group id cannot have been reused yet.
                _kill_group(pid)
            _, status = os.waitpid(pid, 0)
            if pid in self.workers:
                self.workers.discard(pid)
                self._dying[pid] = os.waitstatus_to_exitcode(status)
        self._sweep()

    def _children(self) -> list[int]:
        children = []
        for thread in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{thread}/children") as listing:
                    children += [int(pid) for pid in listing.read().split()]
            except OSError:
                pass
        return children

    def _sweep(self) -> None:
        """Kill what no running task owns; report a worker only once its group is empty.

        A tool's processes are adopted here when their parents die: the rest
        of a finished worker's group, and anything that left its group
        (setsid) to outlive the task. None of them may stay. A worker's exit
        is reported once the last of its group is reaped, so the host knows
        that the task's processes are all gone.
        """
        import signal

        remaining: set[int] = set()
        for pid in self._children():
            if pid in self.workers:
                continue
            try:
                with open(f"/proc/{pid}/stat") as stat:
                    group = int(stat.read().rsplit(")", 1)[1].split()[2])
            except (OSError, ValueError, IndexError):
                continue
            if group in self.workers:
                continue  # a running task's own process
            if group in self._dying:
                remaining.add(group)
            try:
                # A child of ours, not yet reaped: the pid is still its own.
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for pid, code in list(self._dying.items()):
            if pid not in remaining:
                del self._dying[pid]
                self.send({"exited": pid, "code": code})

    def shut_down(self) -> NoReturn:
        import signal

        for pid in list(self.workers):
            _kill_group(pid)
        self.workers.clear()
        # Reap the workers and everything adopted, then leave.
        while True:
            for pid in self._children():
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                os.waitpid(-1, 0)
            except ChildProcessError:
                break
        os._exit(0)


def _kill_group(pid: int) -> None:
    import signal

    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def _fd_argument(argv: list[str], name: str) -> int:
    try:
        return int(argv[argv.index(name) + 1])
    except (ValueError, IndexError):
        raise SystemExit(f"worker.py: missing {name} N") from None


def main(argv: list[str]) -> NoReturn:
    if "--zygote" in argv:
        control_fd = _fd_argument(argv, "--control-fd")
        close_stray_fds((control_fd,))
        sys.dont_write_bytecode = True
        zygote = Zygote(control_fd)
        zygote.prepare()
        zygote.serve()
    task_fd = _fd_argument(argv, "--task-fd")
    reply_fd = _fd_argument(argv, "--reply-fd")
    close_stray_fds((task_fd, reply_fd))
    os.set_inheritable(reply_fd, False)
    capture_output_streams()
    # Importing the tool must not leave __pycache__ folders in the tool store.
    sys.dont_write_bytecode = True
    serve_task(task_fd, reply_fd)


if __name__ == "__main__":
    main(sys.argv[1:])
