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

from tarvik.core.worker_io import OutputTail, ReplyReader, widen_pipe, write_task
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
    """Starts one worker process per task and returns its answer or a clear error."""

    def __init__(
        self,
        *,
        limits: WorkerLimits | None = None,
        output_limit: int = 64 * _KIB,
        reply_limit: int = 16 * _MIB,
        max_concurrent: int = 32,
        temp_root: str | os.PathLike[str] | None = None,
        python: str | None = None,
    ) -> None:
        if max_concurrent < 1:
            raise ValueError("max_concurrent must be at least 1")
        self.limits = limits or WorkerLimits()
        self.output_limit = output_limit
        self.reply_limit = reply_limit
        self.max_concurrent = max_concurrent
        self._temp_root = os.fspath(temp_root) if temp_root is not None else None
        self._python = python or sys.executable
        self._slots: asyncio.Semaphore | None = None

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
        if self._slots is None:
            self._slots = asyncio.Semaphore(self.max_concurrent)
        async with self._slots:
            return await self._run_fresh(task.command, timeout)

    async def _run_fresh(self, command: dict[str, Any], timeout: float) -> SubprocessResult:
        loop = asyncio.get_running_loop()
        if not self._python:
            return SubprocessResult(error="No Python interpreter to start a worker with")
        folder = tempfile.mkdtemp(prefix="tarvik-task-", dir=self._temp_root)
        try:
            task_read, task_write = os.pipe()
            reply_read, reply_write = os.pipe()
            output_read, output_write = os.pipe()
            widen_pipe(output_read)
            argv = [
                self._python,
                "-I",
                os.fspath(WORKER_SCRIPT),
                "--task-fd",
                str(TASK_FD),
                "--reply-fd",
                str(REPLY_FD),
            ]
            try:
                worker = SpawnedWorker.spawn(
                    loop, argv, worker_environment(folder), task_read, reply_write, output_write
                )
            except OSError as error:
                for fd in (task_write, reply_read, output_read):
                    os.close(fd)
                return SubprocessResult(error=f"Cannot start a worker: {error}")
            output = OutputTail(loop, output_read, self.output_limit)
            reply = ReplyReader(loop, reply_read, self.reply_limit)
            message = self._task_message(command, folder, timeout)
            return await self._exchange(worker, output, reply, task_write, message, timeout)
        finally:
            await asyncio.shield(asyncio.to_thread(remove_folder, folder))

    def _task_message(self, command: dict[str, Any], folder: str, timeout: float) -> bytes:
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
        }
        return json.dumps(message).encode()

    async def _exchange(
        self,
        worker: SpawnedWorker,
        output: OutputTail,
        reply: ReplyReader,
        task_write: int,
        message: bytes,
        timeout: float,
    ) -> SubprocessResult:
        loop = asyncio.get_running_loop()
        try:
            try:
                async with asyncio.timeout(timeout):
                    await write_task(loop, task_write, message)
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
            if answer is None:
                code = await worker.stop()
                await output.wait_closed(_SETTLE_GRACE)
                return failure(reply.problem or describe_exit(code), output.text())
            output.drain()
            if answer["ok"]:
                return SubprocessResult(output=answer.get("output"), printed=output.text())
            return failure(str(answer.get("error")), output.text())
        finally:
            reply.close()
            output.close()
            await worker.stop()


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
