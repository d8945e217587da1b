"""A task's tool process: it loads one tool's script, then answers that tool's calls.

Standard library only: the worker loads this file by its path, without the
``tarvik`` package, so that nothing of the host's import path reaches a tool.

The first message on the task channel says what to load and whether the
world stays warm: ``{"load": {"path": ..., "source": ..., "check": bool},
"call": {"function": ..., "args": ...}?, "keep": bool, "limits": {...},
"walls": {...}, "result_limit": n}``. ``check`` loads code that is being
validated: its syntax and ``main`` first, then the module, and the answer is
the validation report. A world that is kept then takes ``{"call": {...}}``
messages, one at a time, until the host closes the channel; one that is not
kept closes its result channel right after its one answer and exits.

Tool code runs in this very process, so everything here is the tool's to
change once its script has loaded; the host takes an answer for no more than
what the tool's own ``main`` could have returned, and the walls that matter
(the world, the supervisor's checks between calls) are outside this process.
"""

from __future__ import annotations

import ast
import errno
import json
import os
import resource
import sys
import traceback
from collections.abc import Callable
from types import ModuleType
from typing import Any, NoReturn

if __package__:  # imported by the host, as tarvik.worker.tool_process
    from . import protocol
else:  # loaded by its path in the worker, after the protocol beside it
    protocol = sys.modules["_tarvik_protocol"]

TRACEBACK_LINES = 15
# Limits that hold for a world rather than for one call.
WORLD_LIMITS = ("memory", "scratch")
MODULE_NAME = "tarvik_tool"

# Bound before any tool code runs, so a tool that replaces json.dumps or
# os._exit in its own process cannot change how its failure is reported.
_encode = json.JSONEncoder(allow_nan=False).encode
_exit = os._exit
_write = os.write
_read = os.read


class ToolError(Exception):
    """A failure to report to the host as the call's error text."""

    def __init__(self, message: str, *, limit: str | None = None) -> None:
        super().__init__(message)
        # The limit the call met, by name ("memory", "processes", "scratch",
        # "file size", "open files"), if any.
        self.limit = limit

    @property
    def retire(self) -> bool:
        """Whether the limit met is the world's, which its next call would meet too."""
        return self.limit in WORLD_LIMITS


# --- checking code ------------------------------------------------------------


def validate_code(code: str) -> dict[str, Any]:
    """Check a tool's source without running any of it: its syntax, and a ``main(args)``."""
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
        for arg, default in zip(arguments.kwonlyargs, arguments.kw_defaults, strict=True)
        if default is None
    ]
    if missing_keywords:
        return f", but it also requires keyword arguments: {', '.join(missing_keywords)}"
    return None


def check_and_load(code: str, path: str, walls: Walls) -> dict[str, Any]:
    """The validation report of code about to be saved: checked, then loaded as its runs load it."""
    report = validate_code(code)
    if not report["valid"]:
        return report
    try:
        load_module(path, code.encode("utf-8", "surrogateescape"), walls)
    except ToolError as error:
        return {"valid": False, "message": str(error)}
    return report


# --- loading and calling a tool -----------------------------------------------


def read_script(path: str, walls: Walls | None = None) -> bytes:
    try:
        with open(path, "rb") as script:
            return script.read()
    except FileNotFoundError:
        raise ToolError(f"Tool file not found: {path}") from None
    except OSError as error:
        raise ToolError(describe_exception("Loading the tool failed:", error, walls)) from None


def load_module(path: str, source: bytes, walls: Walls | None = None) -> ModuleType:
    """Run the tool's source as a fresh module named as its runs name it."""
    import importlib.machinery
    import linecache
    import types

    walls = walls or Walls({})
    # Tracebacks quote the tool's lines even where its user may not read the file.
    lines = source.decode("utf-8", "replace").splitlines(keepends=True)
    linecache.cache[path] = (len(source), None, lines, path)
    # A tool may import helper modules kept beside it.
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    module = types.ModuleType(MODULE_NAME)
    module.__file__ = path
    module.__spec__ = importlib.machinery.ModuleSpec(MODULE_NAME, None, origin=path)
    # Registered so dataclasses, pickle and typing can find the module by name.
    sys.modules[MODULE_NAME] = module
    walls.watch_network()
    try:
        exec(compile(source, path, "exec"), module.__dict__)
    except BaseException as error:  # noqa: BLE001 - everything the tool raises is reported
        raise walls.failure("Loading the tool failed:", error) from None
    return module


def call_function(module: ModuleType, function: str, args: Any, walls: Walls | None = None) -> Any:
    """``function(args)`` of a loaded tool; a coroutine it returns is run to its end."""
    import inspect

    walls = walls or Walls({})
    name = os.path.basename(module.__file__ or "tool.py")
    target = getattr(module, function, None)
    if target is None:
        raise ToolError(f"Function {function!r} not found in {name}")
    if not callable(target):
        raise ToolError(f"{function!r} in {name} is not callable")
    try:
        result = target(args)
        if inspect.isawaitable(result):
            import asyncio

            result = asyncio.run(_await(result))
    except BaseException as error:  # noqa: BLE001
        raise walls.failure("Tool raised", error) from None
    return result


def run_function(path: str, function: str, args: Any, walls: Walls | None = None) -> Any:
    """Load the tool at ``path`` and call ``function(args)``: one call, start to end."""
    return call_function(load_module(path, read_script(path, walls), walls), function, args, walls)


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
    if prefix.startswith("Loading") and tool_frames and tool_frames[-1].lineno:
        headline += f" (at line {tool_frames[-1].lineno})"
    hint = (walls or Walls({})).explain(error)[0]
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
        self._watching = False

    def watch_network(self) -> None:
        """Note any network use, to tell a blocked connection from a broken one."""
        if self._watching:
            return
        self._watching = True
        events = {"socket.connect", "socket.getaddrinfo", "socket.bind", "socket.sendto",
                  "socket.sendmsg", "socket.gethostbyname", "socket.__new__"}

        def hook(event: str, arguments: tuple[Any, ...]) -> None:
            if event in events and not self.network_tried:
                family = getattr(arguments[0], "family", None) if arguments else None
                if event != "socket.__new__" or family != 1:  # AF_UNIX is allowed
                    self.network_tried = True

        sys.addaudithook(hook)

    def failure(self, prefix: str, error: BaseException) -> ToolError:
        """The ToolError that reports ``error``, marked when the world itself ran out of room."""
        return ToolError(describe_exception(prefix, error, self), limit=self.explain(error)[1])

    def explain(self, error: BaseException) -> tuple[str, str | None]:
        """Which wall stopped the tool ("" when none did, with what to do about it), and the
        name of the limit it met, if it was one."""
        if isinstance(error, MemoryError):
            if not self.memory:
                return "", "memory"
            return (f"the call's memory limit ({_size(self.memory)}) was reached; the tool cannot "
                    "raise it, so work on less data at a time"), "memory"
        if isinstance(error, ModuleNotFoundError):
            return ("a tool can import the standard library, the packages installed with the "
                    "host's Python, modules kept beside its script, and the packages its script "
                    "declares in a '# /// script' block with 'dependencies = [...]'"), None
        if not isinstance(error, OSError):
            return "", None
        number = error.errno
        if self.network_tried and (
            type(error).__name__ == "gaierror"
            or number in (errno.EACCES, errno.EPERM, errno.ENETUNREACH, errno.EHOSTUNREACH,
                          errno.ECONNREFUSED)
        ):
            if self.proxy:
                return ("network access is blocked in the tool sandbox but for HTTP and HTTPS "
                        "through the proxy in HTTP_PROXY, to the hosts the operator allowed"), None
            return ("network access is blocked in the tool sandbox: the network is closed to "
                    "tools unless the operator grants hosts with --allow-host"), None
        if number == errno.EAGAIN and self.processes and error.filename is None:
            return f"the call's process limit ({self.processes}) was reached", "processes"
        if number in (errno.ENOSPC, errno.EDQUOT) and self.scratch:
            return f"the call's scratch disk limit ({_size(self.scratch)}) was reached", "scratch"
        if number == errno.EFBIG and self.file_size:
            return f"the file size limit ({_size(self.file_size)}) was reached", "file size"
        if number in (errno.EMFILE, errno.ENFILE) and self.open_files:
            return f"the open files limit ({self.open_files}) was reached", "open files"
        path = error.filename if isinstance(error.filename, str) else None
        if path is None or self.visible is None:
            return "", None
        path = os.path.normpath(os.path.join(os.getcwd(), path))
        if not any(path == root or path.startswith(root.rstrip("/") + "/") for root in self.visible):
            return f"{path} is outside the tool sandbox", None
        if number in (errno.EROFS, errno.EACCES, errno.EPERM):
            return f"{path} is read-only in the tool sandbox", None
        return "", None


def _size(count: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if count >= 1 << shift and count % (1 << shift) == 0:
            return f"{count >> shift} {unit}"
    return f"{count} bytes"


# --- answers --------------------------------------------------------------------


def encode_result(result: dict[str, Any], limit: int, seq: int = 0) -> tuple[bytes, bool]:
    """The framed answer to message ``seq``, and whether it still says success once encoded."""
    try:
        body = _encode({**result, protocol.SEQ: seq}).encode()
    except (TypeError, ValueError, RecursionError) as error:
        return _error_frame(f"The tool's result is not JSON-serialisable: {error}", seq=seq), False
    if len(body) > limit:
        return _error_frame(
            f"The tool's result is too large: {len(body)} bytes as JSON, more than the limit "
            f"of {limit} ({_size(limit)}). Return less, such as a summary or one page of it.",
            seq=seq,
        ), False
    return protocol.FRAME_HEADER.pack(len(body)) + body, bool(result.get(protocol.OK))


def _error_frame(message: str, limit: str | None = None, seq: int = 0) -> bytes:
    answer: dict[str, Any] = {protocol.OK: False, protocol.ERROR: message, protocol.SEQ: seq}
    if limit is not None:
        answer[protocol.LIMIT] = limit
        if limit in WORLD_LIMITS:
            answer[protocol.RETIRE] = True
    body = _encode(answer).encode()
    return protocol.FRAME_HEADER.pack(len(body)) + body


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        written = _write(fd, view)
        view = view[written:]


def read_exactly(fd: int, count: int) -> bytes | None:
    """``count`` bytes, or None at end-of-file."""
    chunks = []
    while count:
        chunk = _read(fd, min(count, 1 << 20))
        if not chunk:
            return None
        chunks.append(chunk)
        count -= len(chunk)
    return b"".join(chunks)


def read_message(fd: int) -> dict[str, Any] | None:
    """The host's next message, or None once it closed the channel."""
    header = read_exactly(fd, protocol.FRAME_HEADER.size)
    if header is None:
        return None
    (length,) = protocol.FRAME_HEADER.unpack(header)
    body = read_exactly(fd, length)
    if body is None:
        return None
    message = json.loads(body)
    return message if isinstance(message, dict) else None


def read_all(fd: int) -> bytes:
    chunks = []
    while chunk := _read(fd, 1 << 16):
        chunks.append(chunk)
    os.close(fd)
    return b"".join(chunks)


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


def _flush_streams() -> None:
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:  # noqa: BLE001 - the tool may have closed or replaced it
            pass


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
    """Do, while nobody waits, the work that makes a forked process copy its pages.

    Right after the fork every page is shared with the zygote, and the first
    write to each (a reference count is enough) copies it. Touching the
    paths a task takes now keeps those copies off the caller's time.
    """
    source = "def main(args):\n    return {'args': args}\n"
    message = json.loads(protocol.frame({"load": {"check": True, "source": source}})[4:])
    validate_code(message["load"]["source"])
    namespace: dict[str, Any] = {}
    exec(compile(source.encode(), "/tool/tool.py", "exec"), namespace)
    output = call_function(_Module(namespace), "main", message)
    encode_result({protocol.OK: True, protocol.OUTPUT: output}, 1 << 20)


class _Module(ModuleType):
    """A module of a warm-up's own, never entered in sys.modules."""

    def __init__(self, namespace: dict[str, Any]) -> None:
        super().__init__("warm_up")
        self.__dict__.update(namespace)
        self.__file__ = "/tool/tool.py"


# --- serving ---------------------------------------------------------------------


# Lets the task's world in once it is admitted: called with the first message,
# it returns the path of the script as the tool's world sees it.
EnterWorld = Callable[[dict[str, Any]], str]


class ToolProcess:
    """What this process serves: one tool, loaded once."""

    def __init__(self, first: dict[str, Any], path: str) -> None:
        self.walls = Walls(first.get("walls") or {})
        self.result_limit = int(first.get("result_limit", 16 << 20))
        self.path = path
        self.module: ModuleType | None = None

    def answer(self, message: dict[str, Any]) -> tuple[bytes, bool, bool]:
        """The framed answer to one message, whether it says success, and whether the world
        must go after it (a load that failed, or a limit of the world met)."""
        seq = message.get(protocol.SEQ, 0)
        try:
            output = self._perform(message)
        except ToolError as error:
            failed_load = "load" in message and self.module is None
            return (_error_frame(str(error), error.limit, seq), False,
                    error.retire or failed_load)
        except MemoryError:
            return _error_frame("The worker ran out of memory", "memory", seq), False, True
        payload, succeeded = encode_result({protocol.OK: True, protocol.OUTPUT: output},
                                           self.result_limit, seq)
        return payload, succeeded, False

    def _perform(self, message: dict[str, Any]) -> Any:
        load = message.get("load")
        if isinstance(load, dict):
            source = load.get("source")
            if not isinstance(source, str):
                raise ToolError("The task carries no script")
            if load.get("check"):
                return check_and_load(source, self.path, self.walls)
            self.module = load_module(self.path, source.encode("utf-8", "surrogateescape"),
                                      self.walls)
        call = message.get("call")
        if not isinstance(call, dict):
            return None
        if self.module is None:
            raise ToolError("No tool is loaded in this world")
        function = call.get("function", "main")
        if not isinstance(function, str):
            raise ToolError("run_function needs 'function' as a string")
        return call_function(self.module, function, call.get("args"), self.walls)


def serve(enter_world: EnterWorld) -> NoReturn:
    """Answer the host's messages until it closes the task channel; never returns.

    The exit status of a world run once is 0 only after a successful answer.
    """
    first = read_message(protocol.TASK_FD)
    if first is None:
        _exit(0)
    try:
        path = enter_world(first)
    except OSError as error:
        _answer_and_exit(_error_frame(f"The tool sandbox could not be set up: {error}",
                                      seq=first.get(protocol.SEQ, 0)), 1)
    process = ToolProcess(first, path)
    payload, succeeded, retire = process.answer(first)
    _flush_streams()
    if not first.get("keep") or retire:
        _answer_and_exit(payload, 0 if succeeded else 1)
    write_all(protocol.RESULT_FD, payload)
    while (message := read_message(protocol.TASK_FD)) is not None:
        payload, _, _ = process.answer(message)
        _flush_streams()
        write_all(protocol.RESULT_FD, payload)
    _exit(0)


def _answer_and_exit(payload: bytes, code: int) -> NoReturn:
    # What is left (an exit that unmaps the whole interpreter) must not keep
    # the host, woken by the answer, off a shared CPU.
    try:
        os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))
    except OSError:
        pass
    write_all(protocol.RESULT_FD, payload)
    # End-of-file right after the one answer: the host need not wait for the exit.
    os.close(protocol.RESULT_FD)
    # Threads the tool left running must not keep the process alive.
    _exit(code)
