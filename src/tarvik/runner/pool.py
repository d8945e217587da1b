"""Blank tasks, forked ahead of need by one sandboxed zygote.

Starting Python costs tens of milliseconds; forking a prepared interpreter
costs about one. The zygote (``worker.py``, started once through the sandbox
launcher when there is one) forks tasks, each the first process of its own
PID namespace with its world already built and its walls up, that wait for
an admission. A caller takes one and admits it to one tool; it is never
given back. The pool keeps ``size`` tasks idle and refills in the
background, and a caller that finds none idle waits for a freshly forked one.

Tasks are the zygote's children, not ours: it reaps them (and with each,
everything it started), and reports each exit here, with the limits the
task met.
"""

from __future__ import annotations

import asyncio
import atexit
import collections
import fcntl
import itertools
import json
import os
import shutil
import socket
import tempfile
import time
import weakref
from collections.abc import Callable
from typing import Any

from tarvik.core.sandbox import Launcher, walls_report
from tarvik.runner.channels import read_to_end, widen_pipe
from tarvik.runner.process import SpawnedWorker, describe_exit
from tarvik.runner.task import HostEnds, Task
from tarvik.worker import protocol
from tarvik.worker.cgroups import CallCgroups

_ZYGOTE_CONTROL_FD = 3
_LAUNCHER_REPORT_FD = 4
_START_TIMEOUT = 30.0


def _outcome_retrieved(task: asyncio.Task[None]) -> None:
    if not task.cancelled():
        task.exception()


class PoolError(Exception):
    """The pool cannot provide workers; the message says why."""


class WorkerRefused(PoolError):
    """The zygote could not fork one task (out of processes or memory); the pool goes on."""


class WorkerPool:
    """A zygote and the blank tasks it forked, bound to one event loop."""

    def __init__(
        self,
        loop: asyncio.AbstractEventLoop,
        *,
        size: int,
        python: str,
        worker_script: str,
        launcher: Launcher | None,
        launcher_problem: str,
        world: dict[str, int],
        temp_root: str | None,
        environment: Callable[[str], dict[str, str]],
        output_limit: int,
        reply_limit: int,
    ) -> None:
        self.loop = loop
        self.size = size
        self._python = python
        self._worker_script = worker_script
        self._launcher = launcher
        self._launcher_problem = launcher_problem
        self._world = world
        self._temp_root = temp_root
        self._environment = environment
        self._output_limit = output_limit
        self._reply_limit = reply_limit
        self.root: str | None = None
        self._root_lock: int | None = None
        self.protections: dict[str, str] = {}
        self._zygote: SpawnedWorker | None = None
        self._control: socket.socket | None = None
        self._outbox: collections.deque[tuple[bytes, list[int]]] = collections.deque()
        self._ready: asyncio.Future[dict[str, Any]] | None = None
        self._starting: asyncio.Task[None] | None = None
        self._ids = itertools.count()
        self._pending: dict[int, HostEnds] = {}
        self._tasks: dict[int, Task] = {}
        self._idle: collections.deque[Task] = collections.deque()
        self._waiters: collections.deque[asyncio.Future[Task]] = collections.deque()
        self._failure: str | None = None
        self.closed = False
        _live_pools.add(self)

    # --- start and stop ------------------------------------------------------

    async def start(self) -> None:
        """Start the zygote once; concurrent callers share the one start."""
        if self.closed:
            raise PoolError("The worker pool is closed")
        if self._control is not None and self._ready is not None and self._ready.done():
            return
        if self._starting is None or self._starting.done():
            self._starting = self.loop.create_task(self._start())
            # Every caller may have given up (a client that left): a start the
            # pool's close then ends has no one to report to, and is no fault.
            self._starting.add_done_callback(_outcome_retrieved)
        await asyncio.shield(self._starting)

    async def _start(self) -> None:
        if self.root is None:
            self.root, self._root_lock = claim_pool_root(self._temp_root)
            await asyncio.to_thread(remove_abandoned_pool_roots, self._temp_root, self.root)
        host_end, zygote_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        host_end.setblocking(False)
        argv = [
            self._python,
            "-I",
            self._worker_script,
            "--control-fd",
            str(_ZYGOTE_CONTROL_FD),
            "--folder",
            self.root,
        ]
        child_fds = {
            1: os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC),
            2: _stderr_copy(),
            _ZYGOTE_CONTROL_FD: zygote_end.detach(),
        }
        report: asyncio.Future[bytes] | None = None
        if self._launcher is not None:
            report_read, report_write = os.pipe()
            child_fds[_LAUNCHER_REPORT_FD] = report_write
            argv = self._launcher.command(_LAUNCHER_REPORT_FD) + argv
            argv += ["--world", json.dumps(self._world)]
            report = read_to_end(self.loop, report_read)
        try:
            self._zygote = SpawnedWorker.spawn(
                self.loop, argv, self._environment(self.root), child_fds
            )
        except OSError as error:
            host_end.close()
            if report is not None:
                report.cancel()
            raise PoolError(f"Cannot start the worker pool: {error}") from None
        self._control = host_end
        self._ready = self.loop.create_future()
        self.loop.add_reader(host_end.fileno(), self._on_control)
        self._zygote.exited.add_done_callback(self._on_zygote_exit)
        try:
            async with asyncio.timeout(_START_TIMEOUT):
                hello = await asyncio.shield(self._ready)
                protections = await report if report is not None else b""
        except TimeoutError:
            self._lose("The worker pool's zygote did not start in time")
            raise PoolError("The worker pool's zygote did not start in time") from None
        except PoolError:
            raise
        self._record_protections(protections, hello)
        self._failure = None
        self._refill()

    def _record_protections(self, raw: bytes, hello: dict[str, Any]) -> None:
        launcher = Launcher.parse_report(raw) if self._launcher is not None else None
        self.protections = walls_report(launcher, self._launcher_problem, hello, self._world)

    async def aclose(self) -> None:
        """Stop the zygote (which kills and reaps every worker) and remove the folders."""
        if self.closed:
            return
        zygote = self._zygote
        self._shut(PoolError("The worker pool is closed"))
        if zygote is not None:
            await zygote.stop_gracefully(grace=5.0)
        if self.root is not None:
            await asyncio.to_thread(self._remove_root, self.root)
            self.root = None
        self._release_root_lock()

    def close_now(self) -> None:
        """The synchronous close: for another loop taking over, or the interpreter leaving."""
        if self.closed:
            return
        zygote = self._zygote
        self._shut(PoolError("The worker pool is closed"))
        if zygote is not None:
            zygote.reap_blocking(grace=2.0)
        if self.root is not None:
            self._remove_root(self.root)
            self.root = None
        self._release_root_lock()

    @staticmethod
    def _remove_root(root: str) -> None:
        """The pool's folder, and its cgroups: a zygote killed before it finished its own
        clean-up (or killed outright) leaves them."""
        shutil.rmtree(root, ignore_errors=True)
        CallCgroups.remove_abandoned(os.path.basename(root))

    def _release_root_lock(self) -> None:
        if self._root_lock is not None:
            os.close(self._root_lock)
            self._root_lock = None

    def _shut(self, error: PoolError) -> None:
        self.closed = True
        _live_pools.discard(self)
        self._drop_zygote("The worker pool was closed while the tool ran")
        for waiter in self._waiters:
            if not waiter.done():
                waiter.set_exception(error)
        self._waiters.clear()

    def _drop_zygote(self, reason: str) -> None:
        """Forget the zygote; closing the socket is what tells it to shut down."""
        if self._control is not None:
            try:
                self.loop.remove_reader(self._control.fileno())
                self.loop.remove_writer(self._control.fileno())
            except (RuntimeError, ValueError):
                pass  # the loop is already closed
            self._control.close()
            self._control = None
        self._outbox.clear()
        for ends in self._pending.values():
            _close_ends(ends)
        self._pending.clear()
        self._idle.clear()
        for task in self._tasks.values():
            task.on_exit(None, reason)
        self._tasks.clear()
        if self._ready is not None and not self._ready.done():
            self._ready.set_exception(PoolError(reason))
            self._ready.exception()  # retrieved: a start may not be waiting for it

    def _on_zygote_exit(self, exited: asyncio.Future[int | None]) -> None:
        if self.closed or self._zygote is None or exited is not self._zygote.exited:
            return
        code = exited.result()
        if self._ready is not None and not self._ready.done():
            self._lose(f"The worker pool could not start: its zygote exited with code {code}")
        else:
            self._lose(f"The worker pool's zygote exited ({describe_exit(code)})")

    def _lose(self, reason: str) -> None:
        """The zygote is gone: fail what depended on it; the next call starts another."""
        self._failure = reason
        zygote, self._zygote = self._zygote, None
        self._drop_zygote(reason)
        if zygote is not None:
            zygote.kill_group()
        waiters, self._waiters = self._waiters, collections.deque()
        for waiter in waiters:
            if not waiter.done():
                waiter.set_exception(PoolError(reason))

    # --- tasks -----------------------------------------------------------------

    async def acquire(self) -> Task:
        """A blank task of its own for the caller: idle now, or the next one forked."""
        await self.start()
        while self._idle:
            task = self._idle.popleft()
            if not task.exited.done():
                if self._idle:
                    # Forking its successor now would compete with its call for
                    # the CPU: wait until that call is over, while others idle.
                    task.exited.add_done_callback(lambda _: self._refill())
                else:
                    self._refill()
                return task
        waiter: asyncio.Future[Task] = self.loop.create_future()
        self._waiters.append(waiter)
        self._refill()
        try:
            return await waiter
        except asyncio.CancelledError:
            if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                # Handed over just as the caller gave up: still untouched, keep it.
                self._offer(waiter.result())
            else:
                try:
                    self._waiters.remove(waiter)
                except ValueError:
                    pass
            raise

    def kill(self, pid: int) -> None:
        if pid in self._tasks:
            self.send(f"{protocol.KILL} {pid}")

    def _refill(self) -> None:
        if self._control is None or self.closed:
            return
        wanted = self.size + len(self._waiters) - len(self._idle) - len(self._pending)
        # A task a caller already waits for would warm up on that caller's
        # time; only those meant to sit idle first do.
        waited_for = len(self._waiters) - len(self._pending)
        for index in range(wanted):
            self._request_task(warm=index >= waited_for)

    def _request_task(self, warm: bool) -> None:
        task_read, task_write = os.pipe2(os.O_CLOEXEC)
        result_read, result_write = os.pipe2(os.O_CLOEXEC)
        output_read, output_write = os.pipe2(os.O_CLOEXEC)
        host_end, task_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        widen_pipe(output_read)
        widen_pipe(task_write)
        request_id = next(self._ids)
        self._pending[request_id] = HostEnds(task_write, result_read, output_read, host_end)
        self.send(
            f"{protocol.SPAWN} {request_id} {int(warm)}",
            [task_read, result_write, output_write, task_end.detach()],
        )

    def _fail_one(self, error: str) -> None:
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_exception(WorkerRefused(error))
                return

    def _offer(self, task: Task) -> None:
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(task)
                return
        self._idle.append(task)

    # --- the control channel ---------------------------------------------------

    def send(self, message: str, fds: list[int] | None = None) -> None:
        """Queue a request to the zygote; descriptors passed along are closed once sent."""
        if self._control is None:
            for fd in fds or ():
                os.close(fd)
            return
        self._outbox.append((message.encode(), fds or []))
        if len(self._outbox) == 1:
            self._flush()

    def _flush(self) -> None:
        assert self._control is not None
        while self._outbox:
            data, fds = self._outbox[0]
            try:
                socket.send_fds(self._control, [data], fds)
            except BlockingIOError:
                self.loop.add_writer(self._control.fileno(), self._flush)
                return
            except OSError as error:
                self._lose(f"The worker pool's control channel failed: {error}")
                return
            self._outbox.popleft()
            for fd in fds:
                os.close(fd)
        self.loop.remove_writer(self._control.fileno())

    def _on_control(self) -> None:
        while self._control is not None:
            try:
                data = self._control.recv(4096)
            except BlockingIOError:
                return
            except OSError:
                data = b""
            if not data:
                if self._ready is not None and not self._ready.done():
                    self._lose(
                        "The worker pool could not start: its zygote exited before it was "
                        "ready (its own message is on the host's stderr)"
                    )
                else:
                    self._lose("The worker pool's zygote closed its control channel")
                return
            self._handle(json.loads(data))

    def _handle(self, message: dict[str, Any]) -> None:
        if "ready" in message:
            if self._ready is not None and not self._ready.done():
                self._ready.set_result(message)
        elif "spawned" in message:
            ends = self._pending.pop(message["spawned"], None)
            if ends is None:
                return
            if message.get("pid") is None:
                # Refused (out of processes or memory): one caller hears why,
                # and the pool goes on.
                _close_ends(ends)
                self._fail_one(str(message.get("error") or "Cannot start a worker"))
                return
            task = Task(self.loop, self, message["pid"], ends,
                        output_limit=self._output_limit, reply_limit=self._reply_limit)
            self._tasks[task.pid] = task
            self._offer(task)
        elif "exited" in message:
            exited = self._tasks.pop(message["exited"], None)
            if exited is None:
                return
            task = exited
            limits_met = {key: bool(message.get(key)) for key in ("oom", "pids_max")}
            task.on_exit(message.get("code"), limits_met=limits_met)
            if task in self._idle:
                self._idle.remove(task)
            self._refill()

    @property
    def zygote_pid(self) -> int | None:
        return self._zygote.pid if self._zygote is not None else None


_ROOT_PREFIX = "tarvik-pool-"
_OWNER_FILE = ".owner"
_CLAIM_GRACE = 10.0


def claim_pool_root(temp_root: str | None) -> tuple[str, int]:
    """A new pool folder and the lock that marks its host as alive."""
    root = tempfile.mkdtemp(prefix=_ROOT_PREFIX, dir=temp_root)
    lock = os.open(os.path.join(root, _OWNER_FILE), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    fcntl.flock(lock, fcntl.LOCK_EX)
    return root, lock


def remove_abandoned_pool_roots(temp_root: str | None, own_root: str) -> None:
    """Remove the folders of pools whose host died without cleaning up.

    A host killed outright (SIGKILL, or SIGTERM without a handler) never runs
    its clean-up; the kernel does release its lock, which is how a folder is
    known to be nobody's. A folder whose lock is held, or that has no lock
    file to judge by, is left alone.
    """
    parent = temp_root or tempfile.gettempdir()
    try:
        names = [name for name in os.listdir(parent) if name.startswith(_ROOT_PREFIX)]
    except OSError:
        return
    for name in names:
        root = os.path.join(parent, name)
        if root == own_root:
            continue
        try:
            lock = os.open(os.path.join(root, _OWNER_FILE), os.O_RDWR | os.O_CLOEXEC)
        except OSError:
            continue
        if time.time() - os.fstat(lock).st_mtime < _CLAIM_GRACE:
            os.close(lock)  # maybe claimed this instant and not locked yet
            continue
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(lock)
            continue
        shutil.rmtree(root, ignore_errors=True)
        CallCgroups.remove_abandoned(name)
        os.close(lock)


def _close_ends(ends: HostEnds) -> None:
    for fd in (ends.task, ends.result, ends.output):
        os.close(fd)
    ends.control.close()


def _stderr_copy() -> int:
    """The zygote reports its own troubles on the host's stderr, never on its stdout."""
    try:
        return os.dup(2)
    except OSError:
        return os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)


# Pools whose zygote may still run; at exit each is told to go and is reaped,
# so no zombie and no folder outlives the host even without aclose().
_live_pools: weakref.WeakSet[WorkerPool] = weakref.WeakSet()


@atexit.register
def _close_live_pools() -> None:
    for pool in list(_live_pools):
        pool.close_now()
