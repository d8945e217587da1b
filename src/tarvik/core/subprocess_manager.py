"""Running agent-written tools in worker processes the host can always take back.

Each task gets a process no earlier task touched, walled in (see
``sandbox.py`` and SECURITY.md): the first process of its own PID namespace,
in a world of its own with only the interpreter, the tool's folder and a
private scratch, its own user, IPC and network namespaces, Landlock,
seccomp, no capabilities, and limits per call (processes, memory, scratch)
as well as per process. Its environment is scrubbed and stdin is /dev/null.
The tool's prints go to a bounded capture; its result comes back on a pipe
of its own, and counts only if the process then exits cleanly. A timeout or
a cancelled caller kills the task, and everything it started ends with it.

What the operator grants reaches a task through its admission, and nothing
else does: the packages its script declares (``packages.py``), installed by
the host and bound read-only at ``/packages``; the network hosts allowed,
through the host's proxy (``network_proxy.py``) and a forwarder its
supervisor runs; and the host variables named for tools.

Only the ``"custom"`` worker type exists; any other ``worker_type`` is not
raised but returned as a result whose ``error`` says so, like every other
failure, so callers handle one shape.
"""

from __future__ import annotations

import asyncio
import functools
import json
import math
import os
import shutil
import stat
import sys
import tempfile
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tarvik.core.cgroups import CallCgroups
from tarvik.core.network_proxy import PROXY_PORT, HostRule, NetworkProxy
from tarvik.core.packages import BLOCK_MARK, Environments, PackageError, PackagePolicy
from tarvik.core.sandbox import Launcher, missing_walls, size_text, walls_report
from tarvik.core.worker_io import (
    OutputTail,
    ResultReader,
    read_to_end,
    read_verdict,
    widen_pipe,
    write_task,
)
from tarvik.core.worker_pool import PooledWorker, PoolError, WorkerPool, WorkerRefused
from tarvik.core.worker_process import (
    ADMISSION_FD,
    RESULT_FD,
    TASK_FD,
    VERDICT_FD,
    SpawnedWorker,
    describe_exit,
)

WORKER_SCRIPT = Path(__file__).with_name("worker.py")
WORKER_TYPES = ("custom",)
# "tool": a tool's world stays warm between its calls; "call": a fresh world for every call.
ISOLATION_MODES = ("tool", "call")

_KIB = 1 << 10
_MIB = 1 << 20
_GIB = 1 << 30
# The cgroups of fresh workers: the host's pid tells whose they are.
_FRESH_CGROUP_PREFIX = "tarvik-fresh-"
# Where a probe's launcher writes its report: clear of the worker's pipes.
_PROBE_REPORT_FD = 7
# How long to wait for pipes to settle once the worker is already dead.
_SETTLE_GRACE = 1.0
# How much of the captured output an error message quotes.
_QUOTED_LINES = 20
_QUOTED_CHARS = 4000


@dataclass(frozen=True, kw_only=True)
class WorkerLimits:
    """The limits of every call; ``None`` leaves a per-process limit as inherited.

    ``processes``, ``memory`` and ``scratch`` hold for all of a call's
    processes together (where the kernel allows; the sandbox report says
    so); the others hold for each process.
    """

    processes: int = 64
    memory: int = 1 * _GIB
    scratch: int = 64 * _MIB
    # None: as much address space per process as the call has memory.
    address_space: int | None = None
    # None: the task's timeout rounded up plus one second, so the wall clock
    # normally fires first and CPU time only catches a stuck timer.
    cpu_seconds: int | None = None
    file_size: int | None = 64 * _MIB
    open_files: int | None = 256
    core_size: int | None = 0

    def __post_init__(self) -> None:
        for name in ("processes", "memory", "scratch"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be at least 1")

    def for_timeout(self, timeout: float) -> dict[str, int | None]:
        cpu = self.cpu_seconds
        if cpu is None:
            cpu = math.ceil(timeout) + 1 if math.isfinite(timeout) else None
        return {
            "address_space": self.address_space or self.memory,
            "cpu_seconds": cpu,
            "file_size": self.file_size,
            "open_files": self.open_files,
            "processes": self.processes,
            "core_size": self.core_size,
        }

    def for_world(self) -> dict[str, int]:
        """What every task's world is built with, before its task is known."""
        return {"scratch": self.scratch, "memory": self.memory, "processes": self.processes}

    def described(self) -> dict[str, int | None]:
        """What a task's error texts may quote about its limits."""
        return {
            "memory": self.memory,
            "processes": self.processes,
            "scratch": self.scratch,
            "open_files": self.open_files,
            "file_size": self.file_size,
        }


@dataclass(kw_only=True)
class SubprocessTask:
    """One command for a worker: ``command`` is JSON, ``timeout`` is in seconds."""

    worker_type: str
    command: dict[str, Any]
    timeout: float


@dataclass(frozen=True)
class TaskGrant:
    """What one run is granted beyond every task's world: the host's folder of its packages,
    and the network proxy's socket."""

    packages: str | None = None
    proxy: str | None = None

    def admission(self) -> bytes:
        """The fields the task's supervisor reads after the script's path."""
        fields = b""
        if self.packages:
            fields += b"\0packages=" + os.fsencode(self.packages)
        if self.proxy:
            fields += b"\0proxy=" + os.fsencode(self.proxy)
        return fields


@dataclass(kw_only=True)
class SubprocessResult:
    """A worker's answer: ``error`` is None on success, else says what went wrong."""

    output: Any = None
    error: str | None = None
    # The tail of what the tool printed on stdout and stderr.
    printed: str = field(default="", repr=False)


class SubprocessManager:
    """Runs each task in a worker process of its own and returns its answer or an error.

    By default ``pool_size`` workers are kept forked and waiting, so a call
    costs only the hand-over; ``pool_size=0`` starts a fresh interpreter for
    every task instead. Each worker runs inside the sandbox launcher when it
    is installed (``sandbox=False`` opts out); ``protections()`` reports
    every wall, and with ``require_sandbox=True`` no tool runs while one is
    missing. ``aclose()`` stops the pool; a manager never closed is cleaned
    up when the interpreter exits.

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
        self.isolation = isolation
        self.warm_tools = warm_tools
        self.time_limit = time_limit
        if max_concurrent < 1:
            raise ValueError("max_concurrent must be at least 1")
        if pool_size < 0:
            raise ValueError("pool_size cannot be negative")
        self.limits = limits or WorkerLimits()
        self.pool_size = pool_size
        self.output_limit = output_limit
        self.reply_limit = reply_limit
        self.max_concurrent = max_concurrent
        self._temp_root = os.fspath(temp_root) if temp_root is not None else None
        self._python = python or sys.executable
        self._python_checked = False
        self._launcher = Launcher.find(launcher) if sandbox else None
        self._launcher_wanted = sandbox
        self._launcher_path = launcher
        self._slots: asyncio.Semaphore | None = None
        self._pool: WorkerPool | None = None
        self.require_sandbox = require_sandbox
        self._fresh_protections: dict[str, str] | None = None
        self._fresh_cgroups: CallCgroups | None = None
        self._fresh_cgroups_problem = ""
        self._refusal: str | None = None
        self._settling: set[asyncio.Task[None]] = set()
        self._environments = Environments(packages or PackagePolicy(), self._python)
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

    async def spawn(self, task: SubprocessTask) -> SubprocessResult:
        """Run ``task`` in a fresh worker; failures come back as ``error``, never raised.

        Cancelling the caller kills and reaps the worker before the
        cancellation propagates.
        """
        if task.worker_type not in WORKER_TYPES:
            known = ", ".join(repr(name) for name in WORKER_TYPES)
            return SubprocessResult(
                error=f"Unknown worker type {task.worker_type!r}; the known types are {known}"
            )
        timeout = float(task.timeout)
        if not timeout > 0:
            return SubprocessResult(error=f"The timeout must be positive, not {task.timeout!r}")
        if self.time_limit is not None:
            timeout = min(timeout, self.time_limit)
        if not self._python_checked:
            if not (os.path.isfile(self._python) and os.access(self._python, os.X_OK)):
                return SubprocessResult(
                    error=f"Cannot start a worker: no Python interpreter at {self._python!r}"
                )
            self._python_checked = True
        if self.require_sandbox:
            refusal = await self._sandbox_refusal()
            if refusal:
                return SubprocessResult(error=refusal)
        command = self._command(task.command)
        action = command.get("action") if isinstance(command, dict) else None
        grant = None
        if action == "run_function":
            if "\0" in str(command.get("path")):
                # The supervisor reads what the run is granted after a NUL.
                return SubprocessResult(error="The script's path holds a NUL character")
            try:
                grant = await self._grant_for(command)
            except (PackageError, OSError) as error:
                return SubprocessResult(error=str(error))
        if self.pool_size:
            result = await self._run_pooled(command, timeout, grant)
        else:
            if self._slots is None:
                self._slots = asyncio.Semaphore(self.max_concurrent)
            async with self._slots:
                result = await self._run_fresh(command, timeout, grant)
        if action == "validate":
            return await self._with_packages_checked(command, result)
        return result

    async def _grant_for(self, command: dict[str, Any]) -> TaskGrant | None:
        """What a run is granted; None (the common case) when nothing but its world."""
        path = command.get("path")
        packages = await self._environments.for_script(path) if isinstance(path, str) else None
        proxy = None
        if self._proxy is not None:
            try:
                proxy = await self._proxy.start()
            except OSError as error:
                raise OSError(f"The network proxy for tools could not start: {error}") from None
        if packages is None and proxy is None:
            return None
        return TaskGrant(packages, proxy)

    async def _with_packages_checked(
        self, command: dict[str, Any], result: SubprocessResult
    ) -> SubprocessResult:
        """Code the worker accepted is valid only once the packages it declares are installed;
        which package failed, and why, is the report's message."""
        code = command.get("code")
        output = result.output
        if not (isinstance(code, str) and BLOCK_MARK in code and isinstance(output, dict)
                and output.get("valid")):
            return result
        try:
            await self._environments.for_code(code)
        except PackageError as error:
            return SubprocessResult(output={"valid": False, "message": str(error)},
                                    printed=result.printed)
        return result

    async def protections(self) -> dict[str, str]:
        """Each protection a worker runs under, ``"active..."`` or ``"unavailable: why"``."""
        if self.pool_size:
            pool = self._current_pool()
            try:
                await pool.start()
            except PoolError as error:
                return {"pool": f"unavailable: {error}"}
            return self._with_grants(pool.protections)
        if self._fresh_protections is None:
            self._fresh_protections = await self._probe_protections()
        return self._with_grants(self._fresh_protections)

    def _with_grants(self, report: Mapping[str, str]) -> dict[str, str]:
        """The report, its network line saying what the operator opened."""
        report = dict(report)
        network = report.get("network", "")
        if self._proxy is not None and network.startswith("active"):
            report["network"] = (
                f"{network}; granted: each task's own namespace has a loopback whose one open "
                "port leads to the host's proxy, which reaches only the hosts the operator "
                f"allowed ({self._proxy.describe()}), over HTTP and HTTPS"
            )
        return report

    async def aclose(self) -> None:
        """Stop the pool's zygote, which kills and reaps every worker it forked."""
        pool, self._pool = self._pool, None
        if pool is not None and pool.loop is asyncio.get_running_loop():
            await pool.aclose()
        elif pool is not None:
            pool.close_now()  # its loop is gone; nothing can be awaited there
        if self._proxy is not None:
            await self._proxy.aclose()
        if self._settling:
            await asyncio.gather(*self._settling, return_exceptions=True)
        if self._fresh_cgroups is not None:
            self._fresh_cgroups.close()

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

    # --- the pool ------------------------------------------------------------

    def _current_pool(self) -> WorkerPool:
        loop = asyncio.get_running_loop()
        if self._pool is not None and (self._pool.loop is not loop or self._pool.closed):
            # Another event loop took over (or the pool was closed): the old
            # loop can no longer watch those processes.
            self._pool.close_now()
            self._pool = None
        if self._pool is None:
            self._pool = WorkerPool(
                loop,
                size=self.pool_size,
                python=self._python,
                worker_script=os.fspath(WORKER_SCRIPT),
                launcher=self._launcher,
                launcher_problem=self._launcher_problem(),
                world=self._world,
                temp_root=self._temp_root,
                environment=self._environment,
            )
        return self._pool

    async def _run_pooled(
        self, command: dict[str, Any], timeout: float, grant: TaskGrant | None
    ) -> SubprocessResult:
        loop = asyncio.get_running_loop()
        pool = self._current_pool()
        deadline = loop.time() + timeout
        # A worker that died idle (killed from outside) refuses its task; the
        # next one gets it. More than a few such deaths in a row is a real fault.
        failure_text = "Workers kept dying before they could take the task"
        for _ in range(3):
            try:
                async with asyncio.timeout_at(deadline):
                    worker = await pool.acquire()
            except TimeoutError:
                return SubprocessResult(error=f"Timed out after {timeout} s waiting for a worker")
            except WorkerRefused as error:
                return SubprocessResult(error=str(error))
            except PoolError as error:
                if pool.closed:
                    return SubprocessResult(error=str(error))
                failure_text = str(error)  # its zygote died: the next try starts another
                continue
            pipes = TaskPipes(loop, *worker.take_fds(), self.output_limit, self.reply_limit)
            remaining = max(deadline - loop.time(), 0.001)
            answer = await self._exchange(worker, pipes, command, timeout, remaining, grant)
            if answer is not None:
                return answer
        return SubprocessResult(error=failure_text)

    # --- a fresh process per task ----------------------------------------------

    async def _run_fresh(
        self, command: dict[str, Any], timeout: float, grant: TaskGrant | None
    ) -> SubprocessResult:
        loop = asyncio.get_running_loop()
        folder = tempfile.mkdtemp(prefix="tarvik-task-", dir=self._temp_root)
        cgroup = None
        try:
            if self._fresh_cgroups is None and not self._fresh_cgroups_problem:
                self._open_fresh_cgroups()
            if self._fresh_cgroups is not None:
                cgroup = self._fresh_cgroups.new_call()
            ends = [os.pipe() for _ in range(5)]
            (task_read, task_write), (result_read, result_write) = ends[0], ends[1]
            (output_read, output_write), (verdict_read, verdict_write) = ends[2], ends[3]
            admission_read, admission_write = ends[4]
            widen_pipe(output_read)
            argv = self._fresh_argv(folder, cgroup=cgroup)
            child_fds = {1: output_write, 2: output_write, TASK_FD: task_read,
                         RESULT_FD: result_write, VERDICT_FD: verdict_write,
                         ADMISSION_FD: admission_read}
            try:
                worker = SpawnedWorker.spawn(loop, argv, self._environment(folder), child_fds)
            except OSError as error:
                for fd in (task_write, result_read, output_read, verdict_read, admission_write):
                    os.close(fd)
                return SubprocessResult(error=f"Cannot start a worker: {error}")
        except BaseException:
            self._settle_later(None, folder, cgroup)
            raise
        pipes = TaskPipes(loop, task_write, result_read, output_read, verdict_read,
                          admission_write, self.output_limit, self.reply_limit)
        try:
            answer = await self._exchange(worker, pipes, command, timeout, timeout, grant, cgroup)
            return answer or failure(describe_exit(await worker.stop()), pipes.output.text())
        finally:
            # Answered: the caller need not wait for the launcher to leave and
            # its folder and cgroup to go, which aclose() still awaits.
            self._settle_later(worker, folder, cgroup)

    def _settle_later(self, worker: SpawnedWorker | None, folder: str, cgroup: Any) -> None:
        async def settle() -> None:
            if worker is not None:
                await asyncio.shield(worker.exited)
            if cgroup is not None and self._fresh_cgroups is not None:
                self._fresh_cgroups.finish(cgroup)
            await _remove_task_folder(folder)

        task = asyncio.get_running_loop().create_task(settle())
        self._settling.add(task)
        task.add_done_callback(self._settling.discard)

    def _open_fresh_cgroups(self) -> None:
        if self._launcher is None:
            self._fresh_cgroups_problem = "needs the launcher"
            return
        CallCgroups.remove_orphaned_fresh(_FRESH_CGROUP_PREFIX)
        name = f"{_FRESH_CGROUP_PREFIX}{os.getpid()}-{id(self):x}"
        self._fresh_cgroups, problem = CallCgroups.open(
            name, self.limits.memory, self.limits.processes
        )
        self._fresh_cgroups_problem = problem

    def _fresh_argv(self, folder: str, *extra: str, cgroup: Any = None,
                    report_fd: int | None = None) -> list[str]:
        argv = [self._python, "-I", os.fspath(WORKER_SCRIPT), "--folder", folder, *extra]
        if self._launcher is not None:
            cgroups = cgroup.folders if cgroup is not None else ()
            argv = self._launcher.command(report_fd, cgroups=cgroups) + argv
            argv += ["--world", json.dumps(self._world)]
        return argv

    async def _probe_protections(self) -> dict[str, str]:
        """Run one fresh worker with no task, to learn what a task's walls come to."""
        limits = self.limits.for_world()
        if self._launcher is None:
            return walls_report(None, self._launcher_problem(), {}, limits)
        loop = asyncio.get_running_loop()
        folder = tempfile.mkdtemp(prefix="tarvik-probe-", dir=self._temp_root)
        report_read, report_write = os.pipe()
        worker_read, worker_write = os.pipe()
        launcher_report = read_to_end(loop, report_read)
        worker_report = read_to_end(loop, worker_read)
        try:
            probe = SpawnedWorker.spawn(
                loop, self._fresh_argv(folder, "--probe", report_fd=_PROBE_REPORT_FD),
                self._environment(folder),
                {_PROBE_REPORT_FD: report_write, TASK_FD: os.open(os.devnull, os.O_RDONLY),
                 RESULT_FD: worker_write, VERDICT_FD: os.open(os.devnull, os.O_WRONLY),
                 ADMISSION_FD: os.open(os.devnull, os.O_RDONLY)},
            )
            raw_launcher = await asyncio.wait_for(launcher_report, 10.0)
            raw_worker = await asyncio.wait_for(worker_report, 10.0)
            await probe.stop_gracefully(grace=10.0)
        finally:
            launcher_report.cancel()
            worker_report.cancel()
            await _remove_task_folder(folder)
        try:
            worker = json.loads(raw_worker)
        except ValueError:
            worker = {"world_problem": "the probe worker did not report"}
        if self._fresh_cgroups is None and not self._fresh_cgroups_problem:
            self._open_fresh_cgroups()
        worker["cgroups"] = self._fresh_cgroups.describe() if self._fresh_cgroups else None
        worker["cgroups_problem"] = self._fresh_cgroups_problem
        return walls_report(Launcher.parse_report(raw_launcher), "", worker, limits)

    def _launcher_problem(self) -> str:
        if not self._launcher_wanted:
            return "switched off (sandbox=False)"
        if self._launcher_path is not None:
            return f"not found at {self._launcher_path}"
        return "tarvik-sandbox is not installed beside tarvik.core"

    # --- both ------------------------------------------------------------------

    @staticmethod
    def _command(command: dict[str, Any]) -> dict[str, Any]:
        path = command.get("path")
        if isinstance(path, str) and not os.path.isabs(path):
            # The worker runs in its own folder; a relative path means the host's.
            return {**command, "path": os.path.abspath(path)}
        return command

    def _task_message(self, command: dict[str, Any], timeout: float,
                      grant: TaskGrant | None) -> bytes:
        message = {
            "command": command,
            "limits": self.limits.for_timeout(timeout),
            "result_limit": self.reply_limit,
            "walls": self.limits.described(),
        }
        if grant is not None:
            if grant.packages:
                message["packages"] = grant.packages
            if grant.proxy:
                message["walls"]["network"] = "proxy"
        return json.dumps(message).encode()

    async def _exchange(
        self,
        worker: SpawnedWorker | PooledWorker,
        pipes: TaskPipes,
        command: dict[str, Any],
        timeout: float,
        remaining: float,
        grant: TaskGrant | None,
        cgroup: Any = None,
    ) -> SubprocessResult | None:
        """Hand over the task and wait for its verdict; None when the worker never took it.

        The answer rests on the supervisor's verdict (how the tool process
        ended) as much as on what the tool wrote: the result pipe is the
        tool's to write, the verdict pipe is not.
        """
        loop = asyncio.get_running_loop()
        message = self._task_message(command, timeout, grant)
        answered = False
        try:
            try:
                async with asyncio.timeout(remaining):
                    if not await pipes.hand_over(loop, command, message, grant):
                        return None
                    await asyncio.wait(
                        (pipes.verdict, worker.exited), return_when=asyncio.FIRST_COMPLETED
                    )
            except TimeoutError:
                await worker.stop()
                await pipes.output.wait_closed(_SETTLE_GRACE)
                return failure(
                    f"Timed out after {timeout} s: the tool did not finish within its time "
                    "limit and was stopped, with everything it started. The limit cannot be "
                    "raised from the tool; make it do less in one call.",
                    pipes.output.text(),
                )
            code = pipes.verdict.result() if pipes.verdict.done() else None
            # The result pipe ends with the tool process, or with its task.
            try:
                frame = await asyncio.wait_for(asyncio.shield(pipes.result.done), _SETTLE_GRACE)
            except TimeoutError:
                pipes.result.close()
                frame = pipes.result.done.result()
            if code is None and not pipes.result.taken and isinstance(worker, PooledWorker):
                return None  # it died idle: the task goes to another worker
            if frame is not None and frame["ok"] and code == 0:
                pipes.output.drain()
                answered = True
                return SubprocessResult(output=frame["output"], printed=pipes.output.text())
            await pipes.output.wait_closed(_SETTLE_GRACE)
            if code is None:
                await worker.stop()  # its supervisor died: how it ended is all there is
            limits_met = await self._limits_met(worker, cgroup)
            return self._failure(worker, code, frame, pipes, limits_met)
        finally:
            pipes.close()
            if not answered:
                await worker.stop()

    def _failure(
        self,
        worker: SpawnedWorker | PooledWorker,
        code: int | None,
        frame: dict[str, Any] | None,
        pipes: TaskPipes,
        limits_met: dict[str, bool],
    ) -> SubprocessResult:
        if frame is not None and not frame["ok"]:
            error = frame["error"]
        elif code is None:
            error = pipes.result.problem or _describe(worker, worker.exited.result())
        elif frame is not None or code != 0:
            error = describe_exit(code)
            if frame is not None:
                error += "; a result counts only from a tool that then exits cleanly"
        else:
            error = pipes.result.problem or "The tool's process exited without a result"
        if limits_met.get("oom") and "memory limit" not in error:
            error += f" (the call's memory limit ({size_text(self.limits.memory)}) was reached)"
        if limits_met.get("pids_max") and "process limit" not in error:
            error += f" (the call's process limit ({self.limits.processes}) was reached)"
        return failure(error, pipes.output.text())

    async def _limits_met(self, worker: SpawnedWorker | PooledWorker, cgroup: Any) -> dict[str, bool]:
        """The call's limits it met, by its cgroup's count (once its processes are gone)."""
        if isinstance(worker, PooledWorker):
            try:
                await asyncio.wait_for(asyncio.shield(worker.exited), _SETTLE_GRACE)
            except TimeoutError:
                return {}
            return worker.limits_met
        if cgroup is not None and self._fresh_cgroups is not None:
            return self._fresh_cgroups.peek(cgroup)
        return {}


class TaskPipes:
    """The host's ends of one task's pipes, each read or written without blocking the loop."""

    def __init__(
        self, loop: asyncio.AbstractEventLoop, task_write: int, result_read: int,
        output_read: int, verdict_read: int, admission_write: int, output_limit: int,
        result_limit: int,
    ) -> None:
        self.task_write = task_write
        self.admission_write = admission_write
        self.output = OutputTail(loop, output_read, output_limit)
        self.result = ResultReader(loop, result_read, result_limit)
        self.verdict = read_verdict(loop, verdict_read)

    async def hand_over(self, loop: asyncio.AbstractEventLoop, command: dict[str, Any],
                        message: bytes, grant: TaskGrant | None = None) -> bool:
        """Name the script (and what the run is granted) to the task's supervisor, give the
        tool process its task.

        False when the tool process was gone before it could read a byte.
        """
        path = command.get("path") if command.get("action") == "run_function" else None
        admission = os.fsencode(path) if isinstance(path, str) else b""
        if grant is not None:
            admission += grant.admission()
        try:
            os.write(self.admission_write, admission)  # a path: far below a pipe's capacity
        except OSError:
            pass  # its supervisor is gone: the verdict pipe says so
        finally:
            os.close(self.admission_write)
            self.admission_write = -1
        return await write_task(loop, self.task_write, message)

    def close(self) -> None:
        if self.admission_write >= 0:
            os.close(self.admission_write)
            self.admission_write = -1
        self.result.close()
        self.output.close()
        self.verdict.cancel()


def _describe(worker: SpawnedWorker | PooledWorker, code: int | None) -> str:
    """How the task process ended, in words."""
    if isinstance(worker, PooledWorker):
        return worker.describe_exit(code)
    return describe_exit(code)


async def _remove_task_folder(folder: str) -> None:
    try:
        # Usually empty: then this is one quick system call on the loop.
        os.rmdir(folder)
    except FileNotFoundError:
        pass
    except OSError:
        await asyncio.shield(asyncio.to_thread(remove_folder, folder))


def failure(error: str, printed: str) -> SubprocessResult:
    """An error result that quotes the last lines the tool printed."""
    quoted = printed.rstrip()
    if quoted:
        lines = quoted.splitlines()[-_QUOTED_LINES:]
        quoted = "\n".join(lines)[-_QUOTED_CHARS:]
        error = f"{error}\n--- last output ---\n{quoted}"
    return SubprocessResult(error=error, printed=printed)


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


def remove_folder(folder: str) -> None:
    """Remove a task folder even where the tool took away its own write permission."""

    def make_writable_and_retry(function: Any, path: str, _: Any) -> None:
        if os.path.commonpath((folder, path)) != folder or path == folder:
            return  # never touch the permissions of anything outside the folder
        try:
            os.chmod(os.path.dirname(path), stat.S_IRWXU)
            if os.path.isdir(path) and not os.path.islink(path):
                os.chmod(path, stat.S_IRWXU)
            function(path)
        except OSError:
            pass

    if sys.version_info >= (3, 12):
        shutil.rmtree(folder, onexc=make_writable_and_retry)
    else:
        shutil.rmtree(folder, onerror=make_writable_and_retry)
