"""One process started directly by the host (the pool's zygote): spawning, exit, group kill
and reaping.

The process is watched through a pidfd rather than asyncio's child watchers
because the group must be killed while the leader is still an unreaped
zombie: until it is reaped its pid, and therefore its process-group id,
cannot be handed to anyone else, so ``killpg`` can only reach what the tool
left behind. With pid_max as low as 32768 that ordering is not academic.
"""

from __future__ import annotations

import asyncio
import fcntl
import os
import signal
import threading
import time
from collections.abc import Mapping, Sequence
from typing import Any

# Python ignores SIGPIPE and SIGXFSZ, and ignored signals survive exec; the
# tool's own children should meet the usual defaults.
_DEFAULT_SIGNALS = (signal.SIGPIPE, signal.SIGXFSZ, signal.SIGINT, signal.SIGTERM, signal.SIGCHLD)


def _clear_of(fd: int, reserved: int) -> int:
    """Move ``fd`` above ``reserved`` so the spawn's dup2 steps cannot overwrite it."""
    if fd > reserved:
        return fd
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, reserved + 1)
    os.close(fd)
    return moved


def describe_exit(code: int | None) -> str:
    if code is None:
        return "The tool's process ended and its status was lost"
    if code >= 0:
        return f"The tool's process exited with code {code}"
    try:
        name = signal.Signals(-code).name
    except ValueError:
        name = "unknown signal"
    text = f"The tool's process was killed by signal {-code} ({name})"
    if -code == signal.SIGXCPU:
        text += ": CPU time limit exceeded"
    elif -code == signal.SIGXFSZ:
        text += ": file size limit exceeded"
    return text


class SpawnedWorker:
    """A worker process in a session of its own, watched until it is reaped."""

    def __init__(self, loop: asyncio.AbstractEventLoop, pid: int) -> None:
        self._loop = loop
        self.pid = pid
        self._reaped = False
        # The exit code as subprocess reports it (negative for a signal).
        self.exited: asyncio.Future[int | None] = loop.create_future()
        self._pidfd: int | None = None
        try:
            self._pidfd = os.pidfd_open(pid)
        except (AttributeError, OSError):
            # No pidfds: a thread waits for the exit without reaping (WNOWAIT).
            threading.Thread(target=self._wait_in_thread, daemon=True).start()
        else:
            loop.add_reader(self._pidfd, self._on_exit)

    @classmethod
    def spawn(
        cls,
        loop: asyncio.AbstractEventLoop,
        argv: Sequence[str],
        env: Mapping[str, str],
        child_fds: Mapping[int, int],
    ) -> SpawnedWorker:
        """Start ``argv`` in a new session, stdin on /dev/null, the rest per ``child_fds``.

        ``child_fds`` maps the child's descriptor numbers to the host's; the
        host's descriptors are closed here whether or not the spawn worked.
        Descriptors not named there are not inherited (the worker closes any
        that were made inheritable by someone else).
        """
        reserved = max(child_fds, default=2)
        moved = {fd: _clear_of(fd, reserved) for fd in set(child_fds.values())}
        sources = {target: moved[fd] for target, fd in child_fds.items()}
        file_actions: list[tuple[Any, ...]] = [
            (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0)
        ]
        file_actions += [(os.POSIX_SPAWN_DUP2, fd, target) for target, fd in sources.items()]
        try:
            pid = os.posix_spawn(
                argv[0],
                list(argv),
                dict(env),
                file_actions=file_actions,
                setsid=True,
                setsigdef=_DEFAULT_SIGNALS,
                setsigmask=(),
            )
        finally:
            for fd in moved.values():
                os.close(fd)
        return cls(loop, pid)

    def _wait_in_thread(self) -> None:
        try:
            os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOWAIT)
        except ChildProcessError:
            pass
        try:
            self._loop.call_soon_threadsafe(self._on_exit)
        except RuntimeError:
            pass  # the loop closed; the interpreter is going away

    def _on_exit(self) -> None:
        if self._reaped:
            return
        self._forget_pidfd()
        # A zombie now: killing its group reaches exactly the tool's leftovers.
        self.kill_group()
        code: int | None
        try:
            _, status = os.waitpid(self.pid, os.WNOHANG)
            code = os.waitstatus_to_exitcode(status)
        except ChildProcessError:
            code = None  # someone else in the host reaped it
        self._reaped = True
        if not self.exited.done():
            self.exited.set_result(code)

    def kill_group(self) -> None:
        if self._reaped:
            return
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    async def stop_gracefully(self, grace: float) -> int | None:
        """Give the process ``grace`` seconds to leave by itself, then kill its group."""
        try:
            return await asyncio.wait_for(asyncio.shield(self.exited), grace)
        except TimeoutError:
            return await self.stop()

    def reap_blocking(self, grace: float) -> None:
        """Wait for the exit without a loop, as at interpreter exit; kill after ``grace``."""
        if self._reaped:
            return
        self._forget_pidfd()
        deadline = time.monotonic() + grace
        while time.monotonic() < deadline:
            try:
                pid, _ = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                self._reaped = True
                return
            if pid:
                self._reaped = True
                return
            time.sleep(0.005)
        self.kill_group()
        try:
            os.waitpid(self.pid, 0)
        except ChildProcessError:
            pass
        self._reaped = True

    def _forget_pidfd(self) -> None:
        if self._pidfd is None:
            return
        try:
            self._loop.remove_reader(self._pidfd)
        except (RuntimeError, ValueError):
            pass  # the loop is closed, and its selector with it
        os.close(self._pidfd)
        self._pidfd = None

    async def stop(self) -> int | None:
        """Kill the worker and everything it started, and wait until it is reaped."""
        self.kill_group()
        return await asyncio.shield(self.exited)
