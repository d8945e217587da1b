"""One call through a task: in a fresh world made for it, or in its tool's warm world.

Both runners take the same ``Job`` and give a ``SubprocessResult``; every
failure, time-outs and dead tasks included, is a result, never raised.
"""

from __future__ import annotations

import asyncio
import signal
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any, Protocol

from tarvik.core.sandbox import size_text
from tarvik.runner.outcome import SubprocessResult, WorkerLimits, failure
from tarvik.runner.pool import PoolError, WorkerPool, WorkerRefused
from tarvik.runner.process import describe_exit
from tarvik.runner.task import Answer, Task
from tarvik.runner.warm import Key, WarmWorld, WarmWorlds
from tarvik.worker import protocol

# A task that dies before it takes its message is replaced; more than a few
# such deaths in a row is a real fault.
_ATTEMPTS = 3
_DIED_EARLY = "Workers kept dying before they could take the task"
# The limits whose signal ended a tool process.
_SIGNAL_LIMITS = {-int(signal.SIGXCPU): "cpu", -int(signal.SIGXFSZ): "file size"}
# How long to wait for a world to be gone once it was ended.
_LEAVE_GRACE = 2.0


@dataclass(frozen=True)
class Grant:
    """What one call is granted beyond every task's world: the host's folder of its packages,
    and the network proxy's socket."""

    packages: str | None = None
    proxy: str | None = None


@dataclass(frozen=True)
class Job:
    """One call as a task takes it."""

    # {"path": the script's host path, "source": its text, "check": whether to validate it}
    load: dict[str, Any]
    # {"function": ..., "args": ...} as JSON; None for a validation, which loads only.
    call: bytes | None
    timeout: float
    # The host folder bound at /tool; None for code not saved yet.
    folder: str | None = None
    # What the call is granted; None: worked out when a world is opened for it.
    grant: Grant | None = None
    # What a warm world of the tool is keyed by; None: never warm.
    key: Key | None = None
    # SHA-256 of the script; None for code being validated.
    digest: str | None = None
    # What a time-out says.
    timed_out: str = ""


@dataclass
class Settings:
    """What both runners need of the manager."""

    limits: WorkerLimits
    reply_limit: int
    proxy_granted: bool


class Runner(Protocol):
    async def run(self, job: Job) -> SubprocessResult: ...


class Exchange:
    """The parts both runners share: taking a task, its first message, reading what came back."""

    def __init__(self, pool: WorkerPool, settings: Settings,
                 grant_for: Callable[[Job], Awaitable[Grant | SubprocessResult]]) -> None:
        self.pool = pool
        self.settings = settings
        self._grant_for = grant_for

    async def open_task(self, job: Job, deadline: float) -> tuple[Task, Grant] | SubprocessResult:
        """A blank task admitted to the job's tool, with what the job is granted."""
        grant = job.grant if job.grant is not None else await self._grant_for(job)
        if isinstance(grant, SubprocessResult):
            return grant
        task = await self.take_task(deadline, job.timeout)
        if isinstance(task, SubprocessResult):
            return task
        task.admit(job.folder, grant.packages, grant.proxy)
        return task, grant

    async def take_task(self, deadline: float, timeout: float) -> Task | SubprocessResult:
        """A blank task, or the result that says why there is none."""
        problem = "The worker pool could not start"
        for _ in range(_ATTEMPTS):
            try:
                async with asyncio.timeout_at(deadline):
                    return await self.pool.acquire()
            except TimeoutError:
                return SubprocessResult(error=f"Timed out after {timeout} s waiting for a worker")
            except WorkerRefused as error:
                return SubprocessResult(error=str(error))
            except PoolError as error:
                if self.pool.closed:
                    return SubprocessResult(error=str(error))
                problem = str(error)  # its zygote died: the next try starts another
        return SubprocessResult(error=problem)

    def first_message(self, job: Job, grant: Grant, *, keep: bool,
                      calls: int = 1) -> dict[str, Any]:
        limits = self.settings.limits
        walls: dict[str, Any] = dict(limits.described())
        if grant.proxy:
            walls["network"] = "proxy"
        message: dict[str, Any] = {
            "load": job.load,
            "keep": keep,
            "limits": limits.for_timeout(job.timeout, calls=calls),
            "result_limit": self.settings.reply_limit,
            "walls": walls,
        }
        if grant.packages:
            message["packages"] = grant.packages
        return message

    async def timed_out(self, job: Job, task: Task, printed: str) -> SubprocessResult:
        """The world is ended, and gone with everything it started, before the caller hears."""
        await end(task)
        text = job.timed_out or (
            f"Timed out after {job.timeout} s: the tool did not finish within its time limit and "
            "was stopped, with everything it started. The limit cannot be raised from the tool; "
            "make it do less in one call.")
        return failure(text, printed, limit="time")

    async def result_of(self, task: Task, answer: Answer, *, world: str, single_use: bool,
                        refused_code: int | None = None) -> SubprocessResult:
        """The result of one answer, or of its absence."""
        frame = answer.frame
        if frame is not None and not frame[protocol.OK]:
            # The tool's own failure; a limit its world met meanwhile is said too.
            met = await task.limits() if single_use else task.control.limits_met
            error, limit = self.with_limits(frame[protocol.ERROR], met)
            return failure(error, answer.printed, world, limit or frame.get(protocol.LIMIT))
        if frame is not None and refused_code is None:
            return SubprocessResult(output=frame[protocol.OUTPUT], printed=answer.printed,
                                    world=world)
        # No answer that counts: how the task ended says why.
        code = refused_code if refused_code is not None else await task.exit_code()
        limits_met = await task.limits()
        if frame is not None:
            error = describe_exit(code) + "; a result counts only from a tool that then exits cleanly"
        elif code is None:
            error = task.results.problem or task.describe_end(
                task.exited.result() if task.exited.done() else None)
        elif code != 0:
            error = describe_exit(code)
        else:
            error = task.results.problem or "The tool's process exited without a result"
        error, limit = self.with_limits(error, limits_met)
        return failure(error, answer.printed + task.output.take(), world,
                       limit or (_SIGNAL_LIMITS.get(code) if code is not None else None))

    def with_limits(self, error: str, limits_met: dict[str, bool]) -> tuple[str, str | None]:
        """``error``, with the call's limits it met unless it names them already; and the
        name of the limit."""
        limits, limit = self.settings.limits, None
        if limits_met.get("pids_max"):
            limit = "processes"
            if "process limit" not in error:
                error += f" (the call's process limit ({limits.processes}) was reached)"
        if limits_met.get("oom"):
            limit = "memory"
            if "memory limit" not in error:
                error += f" (the call's memory limit ({size_text(limits.memory)}) was reached)"
        return error, limit

async def end(task: Task) -> None:
    """End a task and wait until it is gone, however the caller is interrupted meanwhile."""
    try:
        await asyncio.wait_for(asyncio.shield(task.stop()), _LEAVE_GRACE)
    except TimeoutError:
        pass


class OnceRunner:
    """A fresh world for one call: validations, ``isolation="call"``, calls beyond the warm cap."""

    def __init__(self, exchange: Exchange) -> None:
        self._exchange = exchange

    async def run(self, job: Job) -> SubprocessResult:
        exchange = self._exchange
        loop = asyncio.get_running_loop()
        deadline = loop.time() + job.timeout
        for _ in range(_ATTEMPTS):
            opened = await exchange.open_task(job, deadline)
            if isinstance(opened, SubprocessResult):
                return opened
            task, grant = opened
            refused_code = None
            try:
                async with asyncio.timeout_at(deadline):
                    answer = await task.ask(exchange.first_message(job, grant, keep=False),
                                            call=job.call)
                    if answer is None:
                        task.retire()
                        continue
                    if answer.frame is not None:
                        refused_code = await task.settle_single_use()
            except TimeoutError:
                return await exchange.timed_out(job, task, task.output.take())
            except BaseException:
                await end(task)
                raise
            result = await exchange.result_of(task, answer, world="fresh", single_use=True,
                                              refused_code=refused_code)
            # Answered: what the call left, the task's end takes along now.
            task.retire()
            return result
        return SubprocessResult(error=_DIED_EARLY)


class WarmRunner:
    """The call in its tool's warm world, opened for it when there is none idle."""

    def __init__(self, exchange: Exchange, worlds: WarmWorlds, once: OnceRunner) -> None:
        self._exchange = exchange
        self._worlds = worlds
        self._once = once

    async def run(self, job: Job) -> SubprocessResult:
        assert job.key is not None and job.call is not None
        loop = asyncio.get_running_loop()
        deadline = loop.time() + job.timeout
        self._worlds.retire_path(job.key[0], keep_digest=job.key[1])
        for _ in range(_ATTEMPTS):
            world = self._worlds.take(job.key)
            kind, printed = "warm", ""
            if world is None:
                if not self._worlds.make_room():
                    return await self._once.run(job)
                opened = await self._open(job, deadline)
                if isinstance(opened, SubprocessResult):
                    return opened
                if opened is None:
                    continue
                world, printed = opened
                kind = "fresh"
            result = await self._call(world, job, deadline, kind, printed)
            if result is not None:
                return result
            if kind == "fresh":
                # Its script leaves a process or a thread behind as it loads:
                # it cannot stay warm, so each of its calls gets a world of its own.
                return await self._once.run(job)
        return SubprocessResult(error=_DIED_EARLY)

    async def _open(self, job: Job, deadline: float) -> tuple[WarmWorld, str] | SubprocessResult | None:
        """A new warm world with the tool's script loaded and its first check asked for (the
        threads it has then are its own); the result when loading failed; None when it died
        first."""
        exchange = self._exchange
        opened = await exchange.open_task(job, deadline)
        if isinstance(opened, SubprocessResult):
            return opened
        task, grant = opened
        calls = self._worlds.max_calls
        try:
            async with asyncio.timeout_at(deadline):
                answer = await task.ask(exchange.first_message(job, grant, keep=True, calls=calls))
        except TimeoutError:
            return await exchange.timed_out(job, task, task.output.take())
        except BaseException:
            await end(task)
            raise
        if answer is None:
            task.retire()
            return None
        if answer.frame is None or not answer.frame[protocol.OK]:
            result = await exchange.result_of(task, answer, world="fresh", single_use=True)
            task.retire()
            return result
        world = WarmWorld(job.key, task)  # type: ignore[arg-type]
        self._worlds.add(world)
        task.begin_rest()  # the threads it has then are its own
        return world, answer.printed

    async def _call(self, world: WarmWorld, job: Job, deadline: float, kind: str,
                    printed: str) -> SubprocessResult | None:
        """One call in ``world``; None when the world was found dead before it took the call."""
        task = world.task
        budget = self._exchange.settings.limits.cpu_budget(job.timeout)
        try:
            async with asyncio.timeout_at(deadline):
                answer = await task.ask({}, call=job.call, cpu_seconds=budget or 0)
        except TimeoutError:
            self._worlds.discard(world)
            return await self._exchange.timed_out(job, task, printed + task.output.take())
        except BaseException:
            self._worlds.discard(world)
            await end(task)
            raise
        if answer is None or (answer.frame is None and task.unfit()):
            # The check after its last call found it unfit, so this call never started there.
            self._worlds.discard(world)
            return None
        answer = Answer(answer.frame, printed + answer.printed)
        if answer.frame is None:
            # Read how it ended before letting go of it.
            result = await self._exchange.result_of(task, answer, world=kind, single_use=True)
            self._worlds.discard(world)
            return result
        failed = not answer.frame[protocol.OK]
        rested = self._worlds.release(world, reusable=not answer.frame.get(protocol.RETIRE),
                                      report=failed)
        if rested is not None:
            # A failure is told once the check after it says which limits it met.
            try:
                await asyncio.wait_for(asyncio.shield(rested), _LEAVE_GRACE)
            except TimeoutError:
                pass
        return await self._exchange.result_of(task, answer, world=kind, single_use=False)

