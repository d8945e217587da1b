"""Running agent-written tools in worker tasks the host can always take back.

Each tool runs in a task world of its own, walled in (see SECURITY.md): the
first process of its own PID namespace, with only the interpreter, the
tool's folder and a private scratch in its file system, its own user, IPC
and network namespaces, Landlock, seccomp, no capabilities, and limits on
its processes, memory and scratch. Its environment is scrubbed and stdin is
/dev/null; its prints go to a bounded capture and its answers come back on
a channel of their own.

By default a tool's world stays warm between its own calls, its imports
paid once (``isolation="tool"``): it serves one call at a time, and after
each its supervisor checks that nothing the call started is left, or the
world is ended. ``isolation="call"`` gives every call a fresh world. A
check of code (``validate``) always gets a fresh world. A time-out or a
cancelled caller ends the world, and everything it started with it.

What the operator grants reaches a task through its admission, and nothing
else does: the packages its script declares (``packages.py``), installed by
the host and bound read-only at ``/packages``; the network hosts allowed,
through the host's proxy (``network_proxy.py``) and a forwarder its
supervisor runs; and the host variables named for tools.

Only the ``"custom"`` worker type exists. ``spawn`` never raises for a
failure of the worker, the system or the tool: each comes back as a result
whose ``error`` says what went wrong, so callers handle one shape.
"""

from __future__ import annotations

import asyncio
import functools
import importlib.machinery
import json
import math
import os
import sys
from collections.abc import Awaitable, Callable, Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tarvik.core.network_proxy import PROXY_PORT, HostRule, NetworkProxy
from tarvik.core.packages import Environments, PackageError, PackagePolicy
from tarvik.core.sandbox import Launcher, missing_walls
from tarvik.runner.outcome import SubprocessResult, WorkerLimits, failure
from tarvik.runner.pool import PoolError, WorkerPool
from tarvik.runner.runs import Exchange, Grant, Job, OnceRunner, Runner, Settings, WarmRunner
from tarvik.runner.scripts import ScriptFiles
from tarvik.runner.warm import Key, WarmWorlds, default_cap

__all__ = [
    "ISOLATION_MODES",
    "SubprocessManager",
    "SubprocessResult",
    "SubprocessTask",
    "WorkerLimits",
    "failure",
    "worker_environment",
]

WORKER_FOLDER = Path(__file__).resolve().parent.parent / "worker"
WORKER_SCRIPT = WORKER_FOLDER / "worker.py"
WORKER_TYPES = ("custom",)
# "tool": a tool's world stays warm between its calls; "call": a fresh world for every call.
ISOLATION_MODES = ("tool", "call")

_KIB = 1 << 10
_MIB = 1 << 20


@dataclass(kw_only=True)
class SubprocessTask:
    """One command for a worker: ``command`` is JSON, ``timeout`` is in seconds."""

    worker_type: str
    command: dict[str, Any]
    timeout: float


class _Runners:
    """The pool of one event loop, and the runners and warm worlds that draw on it."""

    def __init__(self, pool: WorkerPool, settings: Settings, worlds: WarmWorlds,
                 grant_for: Callable[[Job], Awaitable[Grant | SubprocessResult]]) -> None:
        self.pool = pool
        self.exchange = Exchange(pool, settings, grant_for)
        self.once = OnceRunner(self.exchange)
        self.worlds = worlds
        self.warm = WarmRunner(self.exchange, worlds, self.once)

    async def aclose(self) -> None:
        await self.worlds.aclose()
        await self.pool.aclose()

    def close_now(self) -> None:
        self.pool.close_now()


class SubprocessManager:
    """Runs each call of a tool in a sandboxed task world and returns its answer or an error.

    ``pool_size`` blank tasks are kept forked and waiting, so a fresh world
    costs only its admission (0 forks each on demand). Tasks run inside the
    sandbox launcher when it is installed (``sandbox=False`` opts out);
    ``protections()`` reports every wall, and with ``require_sandbox=True``
    no tool runs while one is missing. ``aclose()`` ends every task; a
    manager never closed is cleaned up when the interpreter exits.

    The operator's grants: ``packages`` (the policy for the packages a script
    declares; any by default), ``allowed_hosts`` (network hosts every tool may
    reach through the host's proxy; none by default) and
    ``tool_environment`` (variables every tool sees).

    ``isolation`` is ``"tool"`` (a tool's world stays warm between its own
    calls) or ``"call"`` (a fresh world for every call); ``warm_tools`` caps
    the warm worlds kept (None: sized for the machine); ``time_limit`` caps
    every call's time limit below the one its task asks for.
    """

    def __init__(
        self,
        *,
        limits: WorkerLimits | None = None,
        pool_size: int = 4,
        sandbox: bool = True,
        launcher: str | os.PathLike[str] | None = None,
        output_limit: int = 64 * _KIB,
        reply_limit: int = 16 * _MIB,
        max_concurrent: int = 32,
        temp_root: str | os.PathLike[str] | None = None,
        python: str | None = None,
        require_sandbox: bool = False,
        packages: PackagePolicy | None = None,
        allowed_hosts: Iterable[str | HostRule] = (),
        tool_environment: Mapping[str, str] | None = None,
        isolation: str = "tool",
        warm_tools: int | None = None,
        time_limit: float | None = None,
    ) -> None:
        if isolation not in ISOLATION_MODES:
            raise ValueError(f"isolation must be one of {', '.join(ISOLATION_MODES)}, not {isolation!r}")
        if warm_tools is not None and warm_tools < 0:
            raise ValueError("warm_tools cannot be negative")
        if time_limit is not None and not (time_limit > 0 and math.isfinite(time_limit)):
            raise ValueError("time_limit must be a number of seconds above 0")
        if max_concurrent < 1:
            raise ValueError("max_concurrent must be at least 1")
        if pool_size < 0:
            raise ValueError("pool_size cannot be negative")
        self.isolation = isolation
        self.warm_tools = default_cap() if warm_tools is None else warm_tools
        self.time_limit = time_limit
        self.limits = limits or WorkerLimits()
        self.pool_size = pool_size
        self.output_limit = output_limit
        self.reply_limit = reply_limit
        self.max_concurrent = max_concurrent
        self._temp_root = os.fspath(temp_root) if temp_root is not None else None
        self._python = python or sys.executable
        self._launcher = Launcher.find(launcher) if sandbox else None
        self._launcher_wanted = sandbox
        self._launcher_path = launcher
        self._startup_problem: str | None = None
        self._checked = False
        self._slots: asyncio.Semaphore | None = None
        self._runners: _Runners | None = None
        self.require_sandbox = require_sandbox
        self._refusal: str | None = None
        self._environments = Environments(packages or PackagePolicy(), self._python)
        self._scripts = ScriptFiles()
        rules = [rule if isinstance(rule, HostRule) else HostRule.parse(rule) for rule in allowed_hosts]
        # Without the launcher there is no network wall to open a door in.
        self._proxy = NetworkProxy(rules, temp_root=self._temp_root) if rules and self._launcher else None
        self._world: dict[str, int] = self.limits.for_world()
        extra = dict(tool_environment or {})
        if self._proxy is not None:
            self._world["proxy_port"] = PROXY_PORT
            proxy_url = f"http://127.0.0.1:{PROXY_PORT}"
            for name in ("HTTP_PROXY", "HTTPS_PROXY", "http_proxy", "https_proxy"):
                extra[name] = proxy_url
        self._environment = functools.partial(worker_environment, extra=extra)

    # --- calls ----------------------------------------------------------------

    async def spawn(self, task: SubprocessTask) -> SubprocessResult:
        """Run ``task`` and return its answer; every failure comes back as ``error``.

        Cancelling the caller ends the task's world before the cancellation
        propagates.
        """
        try:
            return await self._spawn(task)
        except (OSError, PoolError) as error:
            return SubprocessResult(error=f"Cannot start a worker: {error}")

    async def _spawn(self, task: SubprocessTask) -> SubprocessResult:
        if task.worker_type not in WORKER_TYPES:
            known = ", ".join(repr(name) for name in WORKER_TYPES)
            return SubprocessResult(
                error=f"Unknown worker type {task.worker_type!r}; the known types are {known}"
            )
        try:
            timeout = float(task.timeout)
        except (TypeError, ValueError):
            timeout = math.nan
        if not timeout > 0:
            return SubprocessResult(error=f"The timeout must be positive, not {task.timeout!r}")
        if self.time_limit is not None:
            timeout = min(timeout, self.time_limit)
        problem = self._startup_check()
        if problem:
            return SubprocessResult(error=problem)
        if self.require_sandbox:
            refusal = await self._sandbox_refusal()
            if refusal:
                return SubprocessResult(error=refusal)
        command = task.command
        if not isinstance(command, dict):
            return SubprocessResult(error="The command must be a JSON object")
        action = command.get("action")
        if action == "validate":
            job = await self._validation(command, timeout)
        elif action == "run_function":
            job = await self._run(command, timeout)
        else:
            return SubprocessResult(error=f"Unknown action {action!r}")
        if isinstance(job, SubprocessResult):
            return job
        runners = self._current_runners()
        runner: Runner = runners.warm if job.key is not None else runners.once
        if self._slots is None:
            self._slots = asyncio.Semaphore(self.max_concurrent)
        async with self._slots:
            result = await runner.run(job)
        result.digest = job.digest
        return result

    async def _validation(self, command: dict[str, Any], timeout: float) -> Job | SubprocessResult:
        """Code about to be saved, checked and loaded as its runs will load it, with the packages
        it declares, in a fresh world."""
        code = command.get("code")
        if not isinstance(code, str):
            return SubprocessResult(error="validate needs 'code' as a string")
        try:
            packages = await self._environments.for_code(code)
        except PackageError as error:
            return SubprocessResult(output={"valid": False, "message": str(error)})
        grant = await self._grant(packages)
        if isinstance(grant, SubprocessResult):
            return grant
        return Job(
            load={"path": "tool.py", "source": code, "check": True}, call=None, timeout=timeout,
            grant=grant,
            timed_out=(f"The script did not finish loading within {timeout:g} s: its top level "
                       "must only define what main needs (imports, functions, constants), and "
                       "do its work inside main"),
        )

    async def _run(self, command: dict[str, Any], timeout: float) -> Job | SubprocessResult:
        path, function = command.get("path"), command.get("function", "main")
        if not isinstance(path, str) or not isinstance(function, str):
            return SubprocessResult(error="run_function needs 'path' and 'function' as strings")
        if "\0" in path:
            return SubprocessResult(error="The script's path holds a NUL character")
        # The worker runs in its own folder; a relative path means the host's.
        path = os.path.abspath(path)
        try:
            call = json.dumps({"function": function, "args": command.get("args")}).encode()
        except (TypeError, ValueError, RecursionError) as error:
            return SubprocessResult(error=f"The tool's arguments are not JSON-serialisable: {error}")
        try:
            script = await self._scripts.read(path)
        except FileNotFoundError:
            self._retire_worlds_of(path)
            return SubprocessResult(error=f"Tool file not found: {path}")
        except (OSError, ValueError) as error:
            return SubprocessResult(error=f"Loading the tool failed: {type(error).__name__}: {error}")
        warm = self.isolation == "tool" and self.warm_tools > 0
        return Job(
            load={"path": path, "source": script.source.decode("utf-8", "surrogateescape"),
                  "check": False},
            call=call, timeout=timeout, folder=script.folder,
            key=(path, script.digest) if warm else None, digest=script.digest,
        )

    async def _grant_for_run(self, job: Job) -> Grant | SubprocessResult:
        """What a run is granted, worked out only when a world is opened for it: the packages
        its script declares, and the network proxy."""
        try:
            packages = await self._environments.for_script(job.load["path"])
        except PackageError as error:
            return SubprocessResult(error=str(error))
        return await self._grant(packages)

    async def _grant(self, packages: str | None) -> Grant | SubprocessResult:
        """What a call is granted besides its world: its packages, and the network proxy."""
        proxy = None
        if self._proxy is not None:
            try:
                proxy = await self._proxy.start()
            except OSError as error:
                return SubprocessResult(error=f"The network proxy for tools could not start: {error}")
        return Grant(packages, proxy)

    def _startup_check(self) -> str | None:
        """Why no worker can start here at all (checked once)."""
        if not self._checked:
            self._checked = True
            if not (os.path.isfile(self._python) and os.access(self._python, os.X_OK)):
                self._startup_problem = f"Cannot start a worker: no Python interpreter at {self._python!r}"
            elif not any((WORKER_FOLDER / f"_walls{suffix}").exists()
                         for suffix in importlib.machinery.EXTENSION_SUFFIXES):
                self._startup_problem = ("Cannot start a worker: its native part (_walls) is not "
                                         "built; install tarvik with pip")
        return self._startup_problem

    def _retire_worlds_of(self, path: str) -> None:
        if self._runners is not None:
            self._runners.worlds.retire_path(path)
        self._scripts.forget(path)

    def _still_current(self, key: Key) -> bool:
        return self._scripts.current(key[0]) == key[1]

    # --- the walls --------------------------------------------------------------

    async def protections(self) -> dict[str, str]:
        """Each protection a task runs under, ``"active..."`` or ``"unavailable: why"``, and the
        isolation in force."""
        problem = self._startup_check()
        if problem:
            return {"pool": f"unavailable: {problem}"}
        pool = self._current_runners().pool
        try:
            await pool.start()
        except PoolError as error:
            return {"pool": f"unavailable: {error}"}
        report = dict(pool.protections)
        network = report.get("network", "")
        if self._proxy is not None and network.startswith("active"):
            report["network"] = (
                f"{network}; granted: each task's own namespace has a loopback whose one open "
                "port leads to the host's proxy, which reaches only the hosts the operator "
                f"allowed ({self._proxy.describe()}), over HTTP and HTTPS"
            )
        report["isolation"] = self.isolation_report()
        return report

    def isolation_report(self) -> str:
        if self.isolation == "tool" and self.warm_tools > 0:
            return (f"active: per tool (--isolation tool): a tool's world stays warm between its "
                    f"own calls, at most {self.warm_tools} at once; after each call nothing it "
                    "started is left, and nothing of one tool reaches another")
        return "active: per call (--isolation call): a fresh world for every call"

    async def _sandbox_refusal(self) -> str | None:
        """Why no tool may run here, when every wall is required and one is missing."""
        if self._refusal is None:
            missing = missing_walls(await self.protections())
            self._refusal = (
                "The tool sandbox is required but incomplete on this machine, so no tool runs "
                "(see `tarvik sandbox`): " + "; ".join(missing)
                if missing else ""
            )
        return self._refusal or None

    @property
    def warm_worlds(self) -> int:
        """How many warm worlds are kept now."""
        return len(self._runners.worlds) if self._runners is not None else 0

    # --- the pool ---------------------------------------------------------------

    def _current_runners(self) -> _Runners:
        loop = asyncio.get_running_loop()
        runners = self._runners
        if runners is not None and (runners.pool.loop is not loop or runners.pool.closed):
            # Another event loop took over (or the pool was closed): the old
            # loop can no longer watch those processes.
            runners.close_now()
            runners = self._runners = None
        if runners is None:
            pool = WorkerPool(
                loop,
                size=self.pool_size,
                python=self._python,
                worker_script=os.fspath(WORKER_SCRIPT),
                launcher=self._launcher,
                launcher_problem=self._launcher_problem(),
                world=self._world,
                temp_root=self._temp_root,
                environment=self._environment,
                output_limit=self.output_limit,
                reply_limit=self.reply_limit,
            )
            settings = Settings(self.limits, self.reply_limit, self._proxy is not None)
            worlds = WarmWorlds(loop, cap=self.warm_tools, still_current=self._still_current)
            runners = self._runners = _Runners(pool, settings, worlds, self._grant_for_run)
        return runners

    def _launcher_problem(self) -> str:
        if not self._launcher_wanted:
            return "switched off (sandbox=False)"
        if self._launcher_path is not None:
            return f"not found at {self._launcher_path}"
        return "tarvik-sandbox is not installed beside tarvik.worker"

    async def aclose(self) -> None:
        """End every task (the zygote kills and reaps them) and the network proxy."""
        runners, self._runners = self._runners, None
        if runners is not None and runners.pool.loop is asyncio.get_running_loop():
            await runners.aclose()
        elif runners is not None:
            runners.close_now()  # its loop is gone; nothing can be awaited there
        if self._proxy is not None:
            await self._proxy.aclose()


def worker_environment(folder: str, extra: Mapping[str, str] | None = None) -> dict[str, str]:
    """All a tool sees of the environment: nothing of the host's own variables but those the
    operator granted (``extra``)."""
    return {
        **(extra or {}),
        "PATH": "/usr/local/bin:/usr/bin:/bin",
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
        "HOME": folder,
        "TMPDIR": folder,
        "PYTHONDONTWRITEBYTECODE": "1",
        "PYTHONIOENCODING": "utf-8",
        "PYTHONUNBUFFERED": "1",
    }
