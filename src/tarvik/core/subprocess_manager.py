"""Running agent-written tools in worker processes the host can always take back.

Each task gets a process no earlier task touched, in a session of its own,
with a scrubbed environment, stdin on /dev/null, a fresh temporary folder as
its working directory and resource limits. The tool's prints go to a
bounded capture; its answer comes back on a pipe of its own. A timeout or a
cancelled caller kills the worker's whole process group and reaps it.

Only the ``"custom"`` worker type exists; any other ``worker_type`` is not
raised but returned as a result whose ``error`` says so, like every other
failure, so callers handle one shape.
"""

from __future__ import annotations

import asyncio
import json
import math
import os
import shutil
import stat
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tarvik.core.sandbox import Launcher
from tarvik.core.worker_io import OutputTail, ReplyReader, read_to_end, widen_pipe, write_task
from tarvik.core.worker_pool import PooledWorker, PoolError, WorkerPool
from tarvik.core.worker_process import REPLY_FD, TASK_FD, SpawnedWorker, describe_exit

WORKER_SCRIPT = Path(__file__).with_name("worker.py")
WORKER_TYPES = ("custom",)

_KIB = 1 << 10
_MIB = 1 << 20
_GIB = 1 << 30
# How long to wait for pipes to settle once the worker is already dead.
_SETTLE_GRACE = 1.0
# How much of the captured output an error message quotes.
_QUOTED_LINES = 20
_QUOTED_CHARS = 4000


@dataclass(frozen=True, kw_only=True)
class WorkerLimits:
    """Resource limits set on every worker; ``None`` leaves a limit as inherited."""

    address_space: int | None = 1 * _GIB
    # None: the task's timeout rounded up plus one second, so the wall clock
    # normally fires first and CPU time only catches a stuck timer.
    cpu_seconds: int | None = None
    file_size: int | None = 64 * _MIB
    open_files: int | None = 256
    core_size: int | None = 0

    def for_timeout(self, timeout: float) -> dict[str, int | None]:
        cpu = self.cpu_seconds
        if cpu is None:
            cpu = math.ceil(timeout) + 1 if math.isfinite(timeout) else None
        return {
            "address_space": self.address_space,
            "cpu_seconds": cpu,
            "file_size": self.file_size,
            "open_files": self.open_files,
            "core_size": self.core_size,
        }


@dataclass(kw_only=True)
class SubprocessTask:
    """One command for a worker: ``command`` is JSON, ``timeout`` is in seconds."""

    worker_type: str
    command: dict[str, Any]
    timeout: float


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
    is installed (``sandbox=False`` opts out); ``protections()`` reports what
    is in force. ``aclose()`` stops the pool; a manager never closed is
    cleaned up when the interpreter exits.
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
    ) -> None:
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
        self._fresh_protections: dict[str, str] | None = None
        self._settling: set[asyncio.Task[None]] = set()

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
        if not self._python_checked:
            if not (os.path.isfile(self._python) and os.access(self._python, os.X_OK)):
                return SubprocessResult(
                    error=f"Cannot start a worker: no Python interpreter at {self._python!r}"
                )
            self._python_checked = True
        if self.pool_size:
            return await self._run_pooled(task.command, timeout)
        if self._slots is None:
            self._slots = asyncio.Semaphore(self.max_concurrent)
        async with self._slots:
            return await self._run_fresh(task.command, timeout)

    async def protections(self) -> dict[str, str]:
        """Each protection a worker runs under, ``"active..."`` or ``"unavailable: why"``."""
        if self.pool_size:
            pool = self._current_pool()
            try:
                await pool.start()
            except PoolError as error:
                return {"pool": f"unavailable: {error}"}
            return dict(pool.protections)
        if self._fresh_protections is None:
            self._fresh_protections = await self._probe_protections()
        return dict(self._fresh_protections)

    async def aclose(self) -> None:
        """Stop the pool's zygote, which kills and reaps every worker it forked."""
        pool, self._pool = self._pool, None
        if pool is not None and pool.loop is asyncio.get_running_loop():
            await pool.aclose()
        elif pool is not None:
            pool.close_now()  # its loop is gone; nothing can be awaited there
        if self._settling:
            await asyncio.gather(*self._settling, return_exceptions=True)

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
                missing_launcher=self._missing_launcher_report(),
                temp_root=self._temp_root,
                environment=worker_environment,
            )
        return self._pool

    async def _run_pooled(self, command: dict[str, Any], timeout: float) -> SubprocessResult:
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
            except PoolError as error:
                if pool.closed:
                    return SubprocessResult(error=str(error))
                failure_text = str(error)  # its zygote died: the next try starts another
                continue
            assert pool.root is not None
            folder = tempfile.mkdtemp(prefix="task-", dir=pool.root)
            try:
                task_write, reply_read, output_read = worker.take_fds()
                output = OutputTail(loop, output_read, self.output_limit)
                reply = ReplyReader(loop, reply_read, self.reply_limit)
                message = self._task_message(command, folder, timeout, pool.confine_writes)
                remaining = max(deadline - loop.time(), 0.001)
                result = await self._exchange(
                    worker, output, reply, task_write, message, timeout, remaining
                )
            finally:
                if worker.exited.done():
                    await _remove_task_folder(folder)
                else:
                    # Answered: the caller need not wait for the worker's exit
                    # and the folder's removal, which aclose() still awaits.
                    self._settle_later(worker, folder)
            if result is not None:
                return result
        return SubprocessResult(error=failure_text)

    # --- a fresh process per task ----------------------------------------------

    async def _run_fresh(self, command: dict[str, Any], timeout: float) -> SubprocessResult:
        loop = asyncio.get_running_loop()
        folder = tempfile.mkdtemp(prefix="tarvik-task-", dir=self._temp_root)
        try:
            task_read, task_write = os.pipe()
            reply_read, reply_write = os.pipe()
            output_read, output_write = os.pipe()
            widen_pipe(output_read)
            argv = self._worker_argv(["--task-fd", str(TASK_FD), "--reply-fd", str(REPLY_FD)])
            if self._launcher is not None:
                argv = self._launcher.command([folder], None) + argv
            try:
                worker = SpawnedWorker.spawn(
                    loop,
                    argv,
                    worker_environment(folder),
                    {1: output_write, 2: output_write, TASK_FD: task_read, REPLY_FD: reply_write},
                )
            except OSError as error:
                for fd in (task_write, reply_read, output_read):
                    os.close(fd)
                return SubprocessResult(error=f"Cannot start a worker: {error}")
            output = OutputTail(loop, output_read, self.output_limit)
            reply = ReplyReader(loop, reply_read, self.reply_limit)
            message = self._task_message(command, folder, timeout, confine_writes=False)
            result = await self._exchange(
                worker, output, reply, task_write, message, timeout, timeout
            )
            return result or failure(describe_exit(await worker.stop()), output.text())
        finally:
            await _remove_task_folder(folder)

    async def _probe_protections(self) -> dict[str, str]:
        """Run the launcher once with a do-nothing command to learn what it can apply."""
        if self._launcher is None:
            return self._missing_launcher_report()
        loop = asyncio.get_running_loop()
        folder = tempfile.mkdtemp(prefix="tarvik-probe-", dir=self._temp_root)
        report_read, report_write = os.pipe()
        try:
            argv = self._launcher.command([folder], 4) + [self._python, "-I", "-c", ""]
            report = read_to_end(loop, report_read)
            probe = SpawnedWorker.spawn(loop, argv, worker_environment(folder), {4: report_write})
            raw = await asyncio.wait_for(report, 10.0)
            await probe.stop_gracefully(grace=10.0)
        finally:
            report.cancel()
            await _remove_task_folder(folder)
        report = {
            name: state.replace(folder, "the task's folder")
            for name, state in Launcher.parse_report(raw).items()
        }
        report["task folders"] = "active: each task has a folder and process of its own"
        return report

    def _missing_launcher_report(self) -> dict[str, str]:
        if not self._launcher_wanted:
            return Launcher.missing_report("switched off (sandbox=False)")
        if self._launcher_path is not None:
            return Launcher.missing_report(f"not found at {self._launcher_path}")
        return Launcher.missing_report()

    # --- both ------------------------------------------------------------------

    def _worker_argv(self, arguments: list[str]) -> list[str]:
        return [self._python, "-I", os.fspath(WORKER_SCRIPT), *arguments]

    def _task_message(
        self, command: dict[str, Any], folder: str, timeout: float, confine_writes: bool
    ) -> bytes:
        command = dict(command)
        path = command.get("path")
        if isinstance(path, str) and not os.path.isabs(path):
            # The worker runs in its own folder; a relative path means the host's.
            command["path"] = os.path.abspath(path)
        message = {
            "command": command,
            "folder": folder,
            "limits": self.limits.for_timeout(timeout),
            "reply_limit": self.reply_limit,
            "confine_writes": confine_writes,
        }
        return json.dumps(message).encode()

    async def _exchange(
        self,
        worker: SpawnedWorker | PooledWorker,
        output: OutputTail,
        reply: ReplyReader,
        task_write: int,
        message: bytes,
        timeout: float,
        remaining: float,
    ) -> SubprocessResult | None:
        """Hand over the task and wait for the answer; None when the worker never took it."""
        loop = asyncio.get_running_loop()
        answered = False
        try:
            try:
                async with asyncio.timeout(remaining):
                    if not await write_task(loop, task_write, message):
                        await worker.stop()
                        return None
                    await asyncio.wait(
                        (reply.done, worker.exited), return_when=asyncio.FIRST_COMPLETED
                    )
            except TimeoutError:
                await worker.stop()
                await output.wait_closed(_SETTLE_GRACE)
                return failure(f"Timed out after {timeout} s", output.text())
            if not reply.done.done():
                # It died first; a reply written just before the end may still be
                # in the pipe, and with the group gone the pipe closes promptly.
                await worker.stop()
                try:
                    await asyncio.wait_for(asyncio.shield(reply.done), _SETTLE_GRACE)
                except TimeoutError:
                    pass
            answer = reply.done.result() if reply.done.done() else None
            if answer is None and not reply.taken and isinstance(worker, PooledWorker):
                await worker.stop()
                return None  # it died idle: the task goes to another worker
            if answer is None:
                code = await worker.stop()
                await output.wait_closed(_SETTLE_GRACE)
                problem = reply.problem or _describe(worker, code)
                return failure(problem, output.text())
            output.drain()
            if answer["ok"]:
                answered = True
                return SubprocessResult(output=answer.get("output"), printed=output.text())
            return failure(str(answer.get("error")), output.text())
        finally:
            reply.close()
            output.close()
            worker.kill_group()
            if not (answered and isinstance(worker, PooledWorker)):
                await worker.stop()

    def _settle_later(self, worker: PooledWorker, folder: str) -> None:
        async def settle() -> None:
            await asyncio.shield(worker.exited)
            await _remove_task_folder(folder)

        task = asyncio.get_running_loop().create_task(settle())
        self._settling.add(task)
        task.add_done_callback(self._settling.discard)


def _describe(worker: SpawnedWorker | PooledWorker, code: int | None) -> str:
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


def worker_environment(folder: str) -> dict[str, str]:
    """All a tool sees of the environment: nothing of the host's own variables."""
    return {
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
