"""One task world as the host holds it: its supervisor, its tool process, and their channels.

A task comes from the pool blank: forked by the zygote, its walls up, its
tool process waiting for an admission. The host admits it to one tool (the
tool's folder, its packages, the network proxy) and sends it messages; each
answer is one frame, numbered as the message it answers. A task run once
ends after its answer. A warm one rests between calls: its supervisor stops
the tool process and checks that nothing of the call is left, and lets the
next call start only once that check came out clean.
"""

from __future__ import annotations

import asyncio
import json
import socket
from dataclasses import dataclass
from typing import Any, Protocol

from tarvik.runner.channels import ControlChannel, FrameReader, MessageWriter, OutputTail
from tarvik.runner.process import describe_exit
from tarvik.worker import protocol

# How long to wait for the task's word once the tool process is known to be gone.
SETTLE_GRACE = 1.0


class Killer(Protocol):
    def kill(self, pid: int) -> None: ...


@dataclass(frozen=True)
class HostEnds:
    """The host's ends of one task's channels."""

    task: int
    result: int
    output: int
    control: socket.socket


@dataclass(frozen=True)
class Answer:
    """What one message got back: the tool's frame (None when there was none), and what the
    task printed meanwhile."""

    frame: dict[str, Any] | None
    printed: str


class Task:
    """A task's host side; created by the pool for each task the zygote forked."""

    def __init__(self, loop: asyncio.AbstractEventLoop, owner: Killer, pid: int, ends: HostEnds,
                 *, output_limit: int, reply_limit: int) -> None:
        self.pid = pid
        self._owner = owner
        self.messages = MessageWriter(loop, ends.task)
        self.results = FrameReader(loop, ends.result, reply_limit)
        self.output = OutputTail(loop, ends.output, output_limit)
        self.control = ControlChannel(loop, ends.control)
        # The supervisor's exit, as the zygote reports it, with the limits the task met.
        self.exited: asyncio.Future[int | None] = loop.create_future()
        self.limits_met: dict[str, bool] = {}
        self.lost_reason: str | None = None
        self._admission: tuple[str | None, str | None, str | None] | None = None
        self.retired = False
        self._sent = 0

    # --- the zygote's reports -------------------------------------------------

    def on_exit(self, code: int | None, reason: str | None = None,
                limits_met: dict[str, bool] | None = None) -> None:
        self.lost_reason = reason
        self.limits_met = limits_met or {}
        # Its last words may still wait in the channels, behind the zygote's report.
        self.results.finish()
        self.output.finish()
        self.control.finish()
        self.messages.close()
        if not self.exited.done() and not self.exited.get_loop().is_closed():
            self.exited.set_result(code)

    # --- what the host does with it ---------------------------------------------

    def admit(self, folder: str | None = None, packages: str | None = None,
              proxy: str | None = None) -> None:
        """Name what the task's world lets in; it is admitted with its first message."""
        self._admission = (folder, packages, proxy)

    async def ask(self, message: dict[str, Any], *, call: bytes | None = None,
                  cpu_seconds: int | None = None) -> Answer | None:
        """Send one message (with ``call``, the call's JSON, encoded once by the caller) and wait
        for its frame; None when the task was gone before it could read a byte (the caller may
        take another). Unbounded in time: the caller bounds it."""
        self._sent += 1
        body = json.dumps({**message, protocol.SEQ: self._sent}).encode()
        if call is not None:
            body = body[:-1] + b', "call": ' + call + b"}"
        data = protocol.FRAME_HEADER.pack(len(body)) + body
        answered = self.results.next_frame(self._sent)
        self.output.take()
        if self._admission is not None:
            word = protocol.admission(*self._admission, length=len(data))
            self._admission = None
        else:
            word = protocol.run_message(cpu_seconds, len(data))
        # The word first: the supervisor lets the bytes through as they come.
        if not self.control.send(word) or not await self.messages.write(data):
            answered.cancel()
            return None
        frame = await answered
        return Answer(frame, self.output.take())

    async def settle_single_use(self) -> int | None:
        """After the one answer of a task run once: end-of-file on the result channel (the tool
        process closes it right after answering), else its exit status; None when the answer
        counts, else the exit status that makes it not count."""
        ended = self.results.ended
        await asyncio.wait((ended, self.control.verdict, self.exited),
                           return_when=asyncio.FIRST_COMPLETED)
        if ended.done() and self.results.problem is None:
            return None
        code = await self.exit_code()
        return None if code == 0 and self.results.problem is None else code

    def begin_rest(self, *, report: bool = False) -> asyncio.Future[str | None] | None:
        """End a call of a warm task: its supervisor stops it and checks that nothing of the call
        is left. The next call may be sent at once: the supervisor lets it start only after a
        clean check, and ends the task itself after one that is not. With ``report`` the future
        says which it was (None: clean; else why not, and ``control.limits_met``)."""
        return self.control.rest(report=report)

    def unfit(self) -> bool:
        """Whether its supervisor found it unfit for another call (so one sent since never
        started)."""
        self.control.take_pending()
        return self.control.unfit is not None

    async def exit_code(self) -> int | None:
        """The tool process's exit status from its supervisor, once the task is over (briefly
        waited for); None when it never gave one."""
        verdict = self.control.verdict
        try:
            await asyncio.wait_for(asyncio.shield(asyncio.wait(
                (verdict, self.exited), return_when=asyncio.FIRST_COMPLETED)), SETTLE_GRACE)
        except TimeoutError:
            pass
        return verdict.result() if verdict.done() else None

    async def limits(self) -> dict[str, bool]:
        """The limits the task met, by its cgroup's counters, once it is gone."""
        self.retire()
        try:
            await asyncio.wait_for(asyncio.shield(self.exited), SETTLE_GRACE)
        except TimeoutError:
            return {}
        return self.limits_met

    def describe_end(self, code: int | None) -> str:
        """How the task ended, in words."""
        if code is None and self.lost_reason:
            return self.lost_reason
        return describe_exit(code)

    def retire(self) -> None:
        """End the task: its supervisor takes every process of it along."""
        if self.retired:
            return
        self.retired = True
        self.control.close()
        if not self.exited.done():
            self._owner.kill(self.pid)

    async def stop(self) -> int | None:
        self.retire()
        return await asyncio.shield(self.exited)
