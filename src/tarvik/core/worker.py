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
* reply (worker -> host): a 4-byte big-endian length, then that many bytes:
  ``{"ok": true, "output": ...}`` or ``{"ok": false, "error": str}``.

Whatever the tool prints goes to fds 1 and 2, which the host points at a
capture pipe of its own; the reply never shares a channel with the tool.
"""

from __future__ import annotations

import ast
import json
import os
import resource
import struct
import sys
import traceback
from typing import Any, NoReturn

REPLY_HEADER = struct.Struct(">I")
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
    """Line-buffered UTF-8 prints, so a crash still leaves the last lines behind."""
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.reconfigure(encoding="utf-8", errors="backslashreplace", line_buffering=True)


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


def serve_task(task_fd: int, reply_fd: int) -> NoReturn:
    """Read one task, do it, send the reply and exit without running atexit hooks."""
    raw = read_task(task_fd)
    if not raw:
        os._exit(0)
    task = json.loads(raw)
    reply_limit = int(task.get("reply_limit", 16 << 20))
    try:
        enter_folder(task["folder"])
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


def _fd_argument(argv: list[str], name: str) -> int:
    try:
        return int(argv[argv.index(name) + 1])
    except (ValueError, IndexError):
        raise SystemExit(f"worker.py: missing {name} N") from None


def main(argv: list[str]) -> NoReturn:
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
