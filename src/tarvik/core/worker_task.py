"""One task in a worker: checking a tool's code, or calling its ``main(args)``.

Standard library only: the worker loads this file by its path, without the
``tarvik`` package, so that nothing of the host's import path reaches a tool.

Wire format, both directions JSON in UTF-8:

* task (host -> worker): the whole task, ended by end-of-file on the task
  pipe; end-of-file with no data means "no task" and the worker exits.
  ``{"command": {...}, "limits": {...}, "result_limit": int, "walls": {...}}``
* result (worker -> host): the byte ``T`` as soon as the whole task is read,
  then a 4-byte big-endian length and that many bytes:
  ``{"ok": true, "output": ...}`` or ``{"ok": false, "error": str}``.

The result is the tool process's word, and tool code runs in that process,
so the host takes it for exactly what it is: one frame, parsed strictly,
accepted as a success only when the process then exits with status 0.
Whatever the tool prints goes to fds 1 and 2, a capture pipe of the host's.
"""

from __future__ import annotations

import ast
import errno
import json
import os
import resource
import struct
import sys
import traceback
from collections.abc import Callable
from typing import Any, NoReturn

RESULT_HEADER = struct.Struct(">I")
TAKEN = b"T"
TRACEBACK_LINES = 15

# Bound before any tool code runs, so a tool that replaces json.dumps or
# os._exit in its own process cannot change how its failure is reported.
_encode = json.JSONEncoder(allow_nan=False).encode
_exit = os._exit
_write = os.write

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


def run_function(
    path: str, function: str, args: Any, walls: Walls | None = None, source: bytes | None = None
) -> Any:
    """Run the tool at ``path`` (read already when ``source`` is given) as a fresh module,
    then call ``function(args)``."""
    import importlib.machinery
    import inspect
    import types

    walls = walls or Walls({})
    if source is None:
        try:
            with open(path, "rb") as script:
                source = script.read()
        except FileNotFoundError:
            raise ToolError(f"Tool file not found: {path}") from None
        except OSError as error:
            raise ToolError(describe_exception("Loading the tool failed:", error, walls)) from None
    # Tracebacks quote the tool's lines even where its user may not read the file.
    import linecache

    lines = source.decode("utf-8", "replace").splitlines(keepends=True)
    linecache.cache[path] = (len(source), None, lines, path)
    # A tool may import helper modules kept beside it.
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    module = types.ModuleType("tarvik_tool")
    module.__file__ = path
    module.__spec__ = importlib.machinery.ModuleSpec("tarvik_tool", None, origin=path)
    # Registered so dataclasses, pickle and typing can find the module by name.
    sys.modules["tarvik_tool"] = module
    walls.watch_network()
    try:
        exec(compile(source, path, "exec"), module.__dict__)  # noqa: S102 - running it is the job
    except BaseException as error:  # noqa: BLE001 - everything the tool raises is reported
        raise ToolError(describe_exception("Loading the tool failed:", error, walls)) from None

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
        raise ToolError(describe_exception("Tool raised", error, walls)) from None
    return result


async def _await(awaitable: Any) -> Any:
    return await awaitable


def describe_exception(prefix: str, error: BaseException, walls: Walls | None = None) -> str:
    """The exception's type and message, the wall it met, then the tool's traceback tail."""
    if isinstance(error, SystemExit):
        return f"{prefix} SystemExit: the tool called exit({error.code!r})"
    frames = traceback.extract_tb(error.__traceback__)
    # The worker's own frames say nothing about the tool; drop them.
    tool_frames = [frame for frame in frames if frame.filename != __file__]
    headline = f"{prefix} {type(error).__name__}: {_text_of(error)}"
    hint = (walls or Walls({})).explain(error)
    if hint:
        headline += f" ({hint})" if str(error) else hint
    try:
        details = traceback.format_list(tool_frames)
        details += traceback.format_exception_only(type(error), error)
    except Exception:  # noqa: BLE001 - a broken __str__ must not hide the failure
        details = []
    lines = "".join(details).splitlines()[-TRACEBACK_LINES:]
    if not lines:
        return headline
    return headline + "\nTraceback (most recent call last):\n" + "\n".join(lines)


def _text_of(error: BaseException) -> str:
    try:
        return str(error)
    except Exception:  # noqa: BLE001
        return "<the exception's message could not be read>"


class Walls:
    """What the task's sandbox allows, so that a refusal can name the wall it met."""

    def __init__(self, described: dict[str, Any]) -> None:
        self.memory = described.get("memory")
        self.processes = described.get("processes")
        self.scratch = described.get("scratch")
        self.open_files = described.get("open_files")
        self.file_size = described.get("file_size")
        # Absolute paths the tool can see; None when it sees the host's tree.
        visible = described.get("visible")
        self.visible: tuple[str, ...] | None = tuple(visible) if visible is not None else None
        # Whether the operator granted network hosts, reached through the proxy.
        self.proxy = described.get("network") == "proxy"
        self.network_tried = False

    def watch_network(self) -> None:
        """Note any network use, to tell a blocked connection from a broken one."""
        events = {"socket.connect", "socket.getaddrinfo", "socket.bind", "socket.sendto",
                  "socket.sendmsg", "socket.gethostbyname", "socket.__new__"}

        def hook(event: str, arguments: tuple[Any, ...]) -> None:
            if event in events and not self.network_tried:
                family = getattr(arguments[0], "family", None) if arguments else None
                if event != "socket.__new__" or family != 1:  # AF_UNIX is allowed
                    self.network_tried = True

        sys.addaudithook(hook)

    def explain(self, error: BaseException) -> str:
        """Which wall stopped the tool, or "" when none did; with what to do about it."""
        if isinstance(error, MemoryError):
            if not self.memory:
                return ""
            return (f"the call's memory limit ({_size(self.memory)}) was reached; the tool cannot "
                    "raise it, so work on less data at a time")
        if isinstance(error, ModuleNotFoundError):
            return ("a tool can import the standard library, the packages installed with the "
                    "host's Python, modules kept beside its script, and the packages its script "
                    "declares in a '# /// script' block with 'dependencies = [...]'")
        if not isinstance(error, OSError):
            return ""
        number = error.errno
        if self.network_tried and (
            type(error).__name__ == "gaierror"
            or number in (errno.EACCES, errno.EPERM, errno.ENETUNREACH, errno.EHOSTUNREACH)
        ):
            if self.proxy:
                return ("network access is blocked in the tool sandbox but for HTTP and HTTPS "
                        "through the proxy in HTTP_PROXY, to the hosts the operator allowed")
            return "network access is blocked in the tool sandbox"
        if number == errno.EAGAIN and self.processes and error.filename is None:
            return f"the call's process limit ({self.processes}) was reached"
        if number in (errno.ENOSPC, errno.EDQUOT) and self.scratch:
            return f"the call's scratch disk limit ({_size(self.scratch)}) was reached"
        if number == errno.EFBIG and self.file_size:
            return f"the file size limit ({_size(self.file_size)}) was reached"
        if number in (errno.EMFILE, errno.ENFILE) and self.open_files:
            return f"the open files limit ({self.open_files}) was reached"
        path = error.filename if isinstance(error.filename, str) else None
        if path is None or self.visible is None:
            return ""
        path = os.path.normpath(os.path.join(os.getcwd(), path))
        if not any(path == root or path.startswith(root.rstrip("/") + "/") for root in self.visible):
            return f"{path} is outside the tool sandbox"
        if number in (errno.EROFS, errno.EACCES, errno.EPERM):
            return f"{path} is read-only in the tool sandbox"
        return ""


def _size(count: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if count >= 1 << shift and count % (1 << shift) == 0:
            return f"{count >> shift} {unit}"
    return f"{count} bytes"


# --- the task -------------------------------------------------------------


def perform(command: Any, walls: Walls | None = None) -> Any:
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
        source = command.get("source")
        return run_function(path, function, command.get("args"), walls,
                            source if isinstance(source, bytes) else None)
    raise ToolError(f"Unknown action {action!r}")


def encode_result(result: dict[str, Any], limit: int) -> tuple[bytes, bool]:
    """The framed result, and whether it still says success once encoded."""
    try:
        body = _encode(result).encode()
    except (TypeError, ValueError, RecursionError) as error:
        return _error_frame(f"The tool's result is not JSON-serialisable: {error}"), False
    if len(body) > limit:
        return _error_frame(
            f"The tool's result is too large: {len(body)} bytes as JSON, more than the limit "
            f"of {limit} ({_size(limit)}). Return less, such as a summary or one page of it."
        ), False
    return RESULT_HEADER.pack(len(body)) + body, bool(result.get("ok"))


def _error_frame(message: str) -> bytes:
    body = _encode({"ok": False, "error": message}).encode()
    return RESULT_HEADER.pack(len(body)) + body


def read_task(task_fd: int) -> bytes:
    chunks = []
    while chunk := os.read(task_fd, 1 << 20):
        chunks.append(chunk)
    os.close(task_fd)
    return b"".join(chunks)


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        written = _write(fd, view)
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
    encode_result({"ok": True, "output": perform(task["command"])}, 1 << 20)


# Puts up the task's walls once the task is known: called with the task's
# message, it returns the command as the tool's world sees it.
EnterWorld = Callable[[dict[str, Any]], Any]


def serve_task(task_fd: int, result_fd: int, enter_world: EnterWorld) -> NoReturn:
    """Read one task, do it, send the result and exit without running atexit hooks.

    The exit status is part of the answer: 0 only after a successful result.
    """
    raw = read_task(task_fd)
    if not raw:
        _exit(0)
    # Tells the host the task was taken: a worker that dies before this
    # point never had it, and the host gives the task to another.
    write_all(result_fd, TAKEN)
    task = json.loads(raw)
    result_limit = int(task.get("result_limit", 16 << 20))
    try:
        try:
            command = enter_world(task)
        except OSError as error:
            raise ToolError(f"The tool sandbox could not be set up: {error}") from None
        result = {"ok": True, "output": perform(command, Walls(task.get("walls", {})))}
    except ToolError as error:
        result = {"ok": False, "error": str(error)}
    except MemoryError:
        result = {"ok": False, "error": "The worker ran out of memory"}
    payload, succeeded = encode_result(result, result_limit)
    result = {}
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:  # noqa: BLE001 - the tool may have closed or replaced it
            pass
    write_all(result_fd, payload)
    # Threads the tool left running must not keep the worker alive.
    _exit(0 if succeeded else 1)
