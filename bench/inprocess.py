"""In-process cost of each operation: the compiled module against the same steps in plain Python.

    python bench/inprocess.py [--number N] [--repeat N]

Both implementations answer through an instant fake worker (its ``spawn`` is a
coroutine that returns at once and never suspends), so a figure is the
module's own work: binding the arguments, the coroutines, the name and link
checks, the store's files and the JSON texts. The plain-Python tool creator
below takes the same steps as the compiled one, checks included, written the
way Python is usually written (pathlib, ``os.lstat`` for the link checks,
``tempfile``, ``os.replace`` and ``fcntl.flock`` for the durable writes).

Each operation runs ``number`` times per batch, batches of the two
implementations alternate ``repeat`` times in one process, and the table
shows microseconds per operation in the fastest batch of each, as timeit
reports: other work on the machine only ever adds time. A benchmark, not a
test.
"""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import json
import logging
import os
import platform
import shutil
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask
from tarvik.tools.base import Tool

CODE = "def main(args):\n    return {'success': True, 'result': args}\n"
ARGS = {"numbers": [1, 2, 3], "label": "caf\u00e9"}
LISTED_TOOLS = 20

logger = logging.getLogger("tarvik.tool_creator")


# --- the plain-Python tool creator -------------------------------------------


def _get_custom_tools_dir() -> Path:
    root = Path.home() / ".tarvik" / "custom_tools"
    root.mkdir(parents=True, exist_ok=True)
    return root


def _argument_type_error(name: str, expected: type, value: Any) -> TypeError:
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
                     f"got {type(value).__name__})")


def _checked_result(expected: type, value: Any) -> Any:
    if value is not None and type(value) is not expected:
        raise TypeError(f"Expected {expected.__name__}, got {type(value).__name__}")
    return value


def _exact_name(name: Any) -> str | None:
    """The name as one exact str, or None for a value that is no path text."""
    if type(name) is str:
        return name
    if isinstance(name, str):
        return str.__str__(name)
    if hasattr(type(name), "__fspath__"):
        text = os.fspath(name)
        if isinstance(text, str):
            return str.__str__(text)
    return None


def _unsafe_name_error(name: str) -> str | None:
    try:
        name.encode("utf-8")
        plain = (name not in (".", "..") and "/" not in name and "\\" not in name
                 and "\0" not in name and not (len(name) >= 2 and name[1] == ":" and name[0].isascii()
                                               and name[0].isalpha()))
    except UnicodeEncodeError:
        plain = False
    if plain:
        return None
    return (f"[ERROR] Invalid tool_name: {name!r}. A tool name is one plain folder name such as "
            "my_tool: not '.' or '..', and without '/', '\\', NUL characters or a drive prefix.")


def _leads_out_of(path: Path, folder: Path) -> bool:
    """True when something is at `path` that is a link not resolving into `folder`."""
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        return False
    if not stat.S_ISLNK(mode):
        return False
    return path.resolve().parent != folder.resolve()


@contextlib.contextmanager
def _locked(folder: Path) -> Iterator[None]:
    """The tool folder's flock, taken again on a folder that was replaced while waiting."""
    while True:
        descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX)
            if os.path.samestat(os.fstat(descriptor), os.stat(folder)):
                yield
                return
        finally:
            os.close(descriptor)
        folder.mkdir(parents=True, exist_ok=True)


def _replace_files(folder: Path, files: dict[str, bytes]) -> None:
    """Each file written to a temporary file beside it and flushed, all renamed into place, the folder synced."""
    temporaries: list[str] = []
    try:
        for name, content in files.items():
            descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
            temporaries.append(temporary)
            with open(descriptor, "wb") as file:
                file.write(content)
                os.fsync(file.fileno())
        for temporary, name in zip(temporaries, files, strict=True):
            os.replace(temporary, folder / name)
        temporaries.clear()
    finally:
        for temporary in temporaries:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


class PlainToolCreatorTool(Tool):
    def __init__(self, subprocess_manager: Any = None, tool_registry: Any = None) -> None:
        self._manager = subprocess_manager or SubprocessManager()
        self._registry = tool_registry
        self._custom_tools_dir = _get_custom_tools_dir()

    @property
    def name(self) -> str:
        return "tool_creator"

    @property
    def description(self) -> str:
        return "Create new tools at runtime."

    @property
    def parameters(self) -> dict[str, Any]:
        return {"type": "object", "properties": {}}

    async def execute(self, **kwargs: Any) -> Any:
        operation = kwargs.get("operation", "list")
        if operation == "create":
            return await self._create_tool(kwargs)
        if operation == "validate":
            return await self._validate_tool(kwargs)
        if operation == "list":
            return self._list_tools()
        if operation == "delete":
            return self._delete_tool(kwargs)
        if operation == "run":
            return await self._run_tool(kwargs)
        if operation == "info":
            return self._tool_info(kwargs)
        return f"[ERROR] Unknown operation: {operation}"

    async def _validate_code(self, code: str) -> dict:
        if type(code) is not str:
            raise _argument_type_error("code", str, code)
        task = SubprocessTask(worker_type="custom", command={"action": "validate", "code": code},
                              timeout=10.0)
        result = await self._manager.spawn(task)
        if result.error:
            return {"valid": False, "message": result.error}
        if result.output:
            return _checked_result(dict, result.output)
        return {"valid": False, "message": "No validation result"}

    async def _validate_tool(self, kwargs: dict) -> str:
        if type(kwargs) is not dict:
            raise _argument_type_error("kwargs", dict, kwargs)
        code = kwargs.get("code", "")
        if not code:
            return "[ERROR] code is required."
        report = await self._validate_code(code)
        return _checked_result(str, json.dumps(report, indent=2))

    async def _create_tool(self, kwargs: dict) -> str:
        if type(kwargs) is not dict:
            raise _argument_type_error("kwargs", dict, kwargs)
        given_name = kwargs.get("tool_name", "")
        description = kwargs.get("description", "")
        code = kwargs.get("code", "")
        register = kwargs.get("register", True)
        if not given_name:
            return "[ERROR] tool_name is required."
        if not code:
            return "[ERROR] code is required."
        tool_name = _exact_name(given_name)
        if tool_name is not None and (error := _unsafe_name_error(tool_name)):
            return error
        report = await self._validate_code(code)
        if not report.get("valid"):
            return f"[ERROR] Invalid code: {report.get('message', 'Unknown error')}"
        if tool_name is None:
            raise TypeError(f"expected str or os.PathLike object, not {type(given_name).__name__}")
        root = self._custom_tools_dir
        folder = root / tool_name
        if _leads_out_of(folder, root):
            return f"[ERROR] Tool folder leads outside the tool store: {tool_name}"
        for file_name in ("tool.py", "metadata.json"):
            if _leads_out_of(folder / file_name, folder):
                return f"[ERROR] Tool file leads outside the tool store: {folder / file_name}"
        folder.mkdir(parents=True, exist_ok=True)
        script = folder / "tool.py"
        code_bytes = code.encode("utf-8")
        metadata = {"name": tool_name, "description": description, "script": str(script),
                    "created_by": "agent"}
        metadata_bytes = json.dumps(metadata, indent=2).encode("utf-8")
        with _locked(folder):
            _replace_files(folder, {"tool.py": code_bytes, "metadata.json": metadata_bytes})
        if register and self._registry:
            try:
                tool = PlainDynamicTool(tool_name=tool_name, tool_description=description,
                                        script_path=str(script), subprocess_manager=self._manager)
                self._registry.register(tool)
                logger.info(f"Registered custom tool: {tool_name}")
            except Exception as error:  # noqa: BLE001 - the creator's one guarded step
                logger.warning(f"Failed to register tool {tool_name}: {error}")
                return (f"Tool saved to {script} but registration failed: {error}. "
                        "You can still run it with tool_creator run.")
        report = {"created": tool_name, "path": str(script), "registered": register,
                  "description": description}
        return _checked_result(str, json.dumps(report, indent=2))

    def _find_tool_folder(self, kwargs: dict) -> tuple[str, Path | None]:
        given_name = kwargs.get("tool_name", "")
        if not given_name:
            return "[ERROR] tool_name is required.", None
        tool_name = _exact_name(given_name)
        if tool_name is None:
            raise TypeError(f"expected str or os.PathLike object, not {type(given_name).__name__}")
        if error := _unsafe_name_error(tool_name):
            return error, None
        folder = self._custom_tools_dir / tool_name
        if not folder.exists():
            return f"[ERROR] Tool not found: {tool_name}", None
        if _leads_out_of(folder, self._custom_tools_dir):
            return f"[ERROR] Tool folder leads outside the tool store: {tool_name}", None
        return tool_name, folder

    def _list_tools(self) -> str:
        tools = []
        root = self._custom_tools_dir
        if root.exists():
            for folder in sorted(root.iterdir()):
                if not folder.is_dir():
                    continue
                metadata_file = folder / "metadata.json"
                if metadata_file.exists():
                    metadata = json.loads(metadata_file.read_text(encoding="utf-8"))
                    if type(metadata) is not dict:
                        raise ValueError(f"{metadata_file} does not hold a JSON object")
                    tools.append({"name": metadata.get("name", folder.name),
                                  "description": metadata.get("description", ""),
                                  "path": str(folder / "tool.py")})
                else:
                    tools.append({"name": folder.name, "description": "(no metadata)",
                                  "path": str(folder / "tool.py")})
        if not tools:
            return "No custom tools found. Use 'create' to make one."
        return _checked_result(str, json.dumps({"tools": tools, "count": len(tools)}, indent=2))

    def _tool_info(self, kwargs: dict) -> str:
        if type(kwargs) is not dict:
            raise _argument_type_error("kwargs", dict, kwargs)
        tool_name, folder = self._find_tool_folder(kwargs)
        if folder is None:
            return tool_name
        metadata_file = folder / "metadata.json"
        script = folder / "tool.py"
        for file in (metadata_file, script):
            if _leads_out_of(file, folder):
                return f"[ERROR] Tool file leads outside the tool store: {file}"
        info: dict[str, Any] = {"name": tool_name}
        if metadata_file.exists():
            metadata = json.loads(metadata_file.read_text(encoding="utf-8"))
            if type(metadata) is not dict:
                raise ValueError(f"{metadata_file} does not hold a JSON object")
            info.update(metadata)
        if script.exists():
            code = script.read_text(encoding="utf-8")
            lines = code.splitlines()
            info["code_lines"] = len(lines)
            info["code_size"] = len(code)
            info["code_preview"] = "\n".join(lines[:50])
        return _checked_result(str, json.dumps(info, indent=2))

    def _delete_tool(self, kwargs: dict) -> str:
        if type(kwargs) is not dict:
            raise _argument_type_error("kwargs", dict, kwargs)
        tool_name, folder = self._find_tool_folder(kwargs)
        if folder is None:
            return tool_name
        with _locked(folder):
            shutil.rmtree(folder)
        if self._registry:
            registered_name = f"custom_{tool_name}"
            if self._registry.get(registered_name) and hasattr(self._registry, "_tools"):
                self._registry._tools.pop(registered_name, None)
        return f"Deleted custom tool: {tool_name}"

    async def _run_tool(self, kwargs: dict) -> str:
        if type(kwargs) is not dict:
            raise _argument_type_error("kwargs", dict, kwargs)
        given_name = kwargs.get("tool_name", "")
        args = kwargs.get("args", {})
        if not given_name:
            return "[ERROR] tool_name is required."
        tool_name = _exact_name(given_name)
        if tool_name is None:
            raise TypeError(f"expected str or os.PathLike object, not {type(given_name).__name__}")
        if error := _unsafe_name_error(tool_name):
            return error
        root = self._custom_tools_dir
        folder = root / tool_name
        script = folder / "tool.py"
        if not script.exists():
            return f"[ERROR] Tool script not found: {script}"
        if _leads_out_of(folder, root) or _leads_out_of(script, folder):
            return f"[ERROR] Tool script is outside the tool store: {script}"
        task = SubprocessTask(worker_type="custom", command={
            "action": "run_function", "path": str(script), "function": "main", "args": args,
        }, timeout=60.0)
        result = await self._manager.spawn(task)
        if result.error:
            return f"[ERROR] {result.error}"
        return _checked_result(str, json.dumps(result.output, indent=2))


class PlainDynamicTool(Tool):
    def __init__(self, tool_name: str, tool_description: str, script_path: str,
                 subprocess_manager: Any) -> None:
        for argument, value in (("tool_name", tool_name), ("tool_description", tool_description),
                                ("script_path", script_path)):
            if type(value) is not str:
                raise _argument_type_error(argument, str, value)
        self._name = f"custom_{tool_name}"
        self._description = tool_description
        self._script_path = script_path
        self._manager = subprocess_manager

    @property
    def name(self) -> str:
        return self._name

    @property
    def description(self) -> str:
        return self._description

    @property
    def parameters(self) -> dict[str, Any]:
        return {"type": "object", "properties": {"args": {"type": "object"}}}

    async def execute(self, **kwargs: Any) -> Any:
        args = kwargs.get("args", {})
        task = SubprocessTask(worker_type="custom", command={
            "action": "run_function", "path": self._script_path, "function": "main", "args": args,
        }, timeout=60.0)
        result = await self._manager.spawn(task)
        if result.error:
            return f"[ERROR] {result.error}"
        return json.dumps(result.output, indent=2)


# --- the measurement ----------------------------------------------------------


@dataclass
class InstantResult:
    error: Any = None
    output: Any = None


class InstantManager:
    """A worker that answers at once: `spawn` never suspends."""

    def __init__(self) -> None:
        self.validation = InstantResult(output={"valid": True, "message": "ok"})
        self.run = InstantResult(output={"success": True, "result": ARGS})

    async def spawn(self, task: Any) -> InstantResult:
        return self.validation if task.command["action"] == "validate" else self.run


class Registry:
    def __init__(self) -> None:
        self._tools: dict[str, Any] = {}

    def register(self, tool: Any) -> None:
        self._tools[tool.name] = tool

    def get(self, name: str) -> Any:
        return self._tools.get(name)


def answer(coroutine: Any) -> Any:
    """Runs a coroutine that never suspends and returns its result."""
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("the instant worker suspended")


def operations(creator_class: type, dynamic_class: type, store: Path,
               create_store: Path) -> dict[str, Callable[[], Any]]:
    manager = InstantManager()
    creator = creator_class(manager, Registry())
    creator._custom_tools_dir = store
    creating = creator_class(manager, Registry())
    creating._custom_tools_dir = create_store
    dynamic = dynamic_class(tool_name="kept", tool_description="d",
                            script_path=str(store / "kept" / "tool.py"), subprocess_manager=manager)
    return {
        "unknown operation": lambda: answer(creator.execute(operation="nope")),
        "validate": lambda: answer(creator.execute(operation="validate", code=CODE)),
        "run": lambda: answer(creator.execute(operation="run", tool_name="kept", args=ARGS)),
        "registered tool execute": lambda: answer(dynamic.execute(args=ARGS)),
        "info": lambda: answer(creator.execute(operation="info", tool_name="kept")),
        f"list of {LISTED_TOOLS} tools": lambda: answer(creator.execute(operation="list")),
        "create": lambda: answer(creating.execute(operation="create", tool_name="made",
                                                  description="Caf\u00e9 tool", code=CODE)),
    }


def fill_store(store: Path) -> None:
    store.mkdir(parents=True, exist_ok=True)
    for index in range(LISTED_TOOLS):
        name = "kept" if index == 0 else f"tool_{index:02d}"
        folder = store / name
        folder.mkdir()
        (folder / "tool.py").write_text(CODE * 3, encoding="utf-8")
        metadata = {"name": name, "description": f"Tool number {index}", "script": str(folder / "tool.py"),
                    "created_by": "agent"}
        (folder / "metadata.json").write_text(json.dumps(metadata, indent=2), encoding="utf-8")


def per_call_us(call: Callable[[], Any], number: int) -> float:
    started = time.perf_counter_ns()
    for _ in range(number):
        call()
    return (time.perf_counter_ns() - started) / number / 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=2000, help="calls per batch")
    parser.add_argument("--repeat", type=int, default=9, help="batches of each implementation")
    arguments = parser.parse_args()

    home = Path(tempfile.mkdtemp(prefix="tarvik-inprocess-"))
    os.environ["HOME"] = str(home)  # both implementations build their store root under it
    import tarvik.tools.tool_creator as compiled

    store, create_store = home / "listed", home / "created"
    fill_store(store)
    create_store.mkdir()
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    implementations = {
        "compiled": operations(compiled.ToolCreatorTool, compiled.DynamicTool, store, create_store),
        "python": operations(PlainToolCreatorTool, PlainDynamicTool, store, create_store),
    }
    for name, call in implementations["compiled"].items():
        other = implementations["python"][name]()
        if call() != other:
            raise SystemExit(f"{name}: the two implementations answer differently:\n{call()}\n{other}")

    print(f"Python {platform.python_version()} ({sys.implementation.cache_tag}"
          f"{getattr(sys, 'abiflags', '')}), {os.cpu_count()} CPUs, Linux {platform.release()}; "
          f"fastest of {arguments.repeat} batches of {arguments.number} calls")
    print(f"{'operation':<26} {'compiled µs':>12} {'python µs':>10} {'ratio':>6}")
    try:
        for name in implementations["compiled"]:
            samples: dict[str, list[float]] = {"compiled": [], "python": []}
            for _ in range(arguments.repeat):
                for implementation, calls in implementations.items():
                    samples[implementation].append(per_call_us(calls[name], arguments.number))
            compiled_us = min(samples["compiled"])
            python_us = min(samples["python"])
            print(f"{name:<26} {compiled_us:>12.2f} {python_us:>10.2f} {compiled_us / python_us:>6.2f}",
                  flush=True)
    finally:
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
