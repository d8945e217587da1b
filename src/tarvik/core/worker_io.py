"""The host's ends of a worker's pipes: the task it sends, the reply and the capture.

All three work on raw non-blocking descriptors through the loop's reader and
writer callbacks, so no read or write ever blocks the event loop and the
bounds are enforced as the bytes arrive.
"""

from __future__ import annotations

import asyncio
import errno
import fcntl
import json
import os
import struct
from typing import Any

RESULT_HEADER = struct.Struct(">I")
TAKEN = b"T"
_READ_SIZE = 1 << 20
_PIPE_SIZE = 1 << 20


def widen_pipe(fd: int) -> None:
    """Fewer wake-ups for a chatty tool; refused sizes simply keep the default."""
    try:
        fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), _PIPE_SIZE)
    except OSError:
        pass


def _read_chunk(fd: int) -> bytes | None:
    """One non-blocking read: None when nothing is waiting, b"" at the end.

    A read error counts as the end: the worker's side is gone either way.
    """
    try:
        return os.read(fd, _READ_SIZE)
    except BlockingIOError:
        return None
    except OSError:
        return b""


class OutputTail:
    """Drains a capture pipe for as long as it is open, keeping only the last bytes."""

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int, limit: int) -> None:
        self._loop = loop
        self._fd: int | None = fd
        self._limit = limit
        self._buffer = bytearray()
        self._dropped = False
        self.closed: asyncio.Future[None] = loop.create_future()
        os.set_blocking(fd, False)
        loop.add_reader(fd, self._on_readable)

    def _on_readable(self) -> None:
        self._read_once()

    def _read_once(self) -> int:
        """Read one chunk; the count read, 0 when nothing was waiting or at the end."""
        assert self._fd is not None
        data = _read_chunk(self._fd)
        if data is None:
            return 0
        if not data:
            self.close()
            return 0
        self._buffer += data
        if len(self._buffer) > self._limit:
            del self._buffer[: len(self._buffer) - self._limit]
            self._dropped = True
        return len(data)

    def drain(self) -> None:
        """Take in what is already in the pipe: the worker flushed it before replying."""
        while self._fd is not None and self._read_once():
            pass

    async def wait_closed(self, grace: float) -> None:
        """Wait for the writers to go away, but never long: one may have escaped."""
        try:
            await asyncio.wait_for(asyncio.shield(self.closed), grace)
        except TimeoutError:
            pass

    def close(self) -> None:
        if self._fd is None:
            return
        self._loop.remove_reader(self._fd)
        os.close(self._fd)
        self._fd = None
        if not self.closed.done():
            self.closed.set_result(None)

    def text(self) -> str:
        text = self._buffer.decode("utf-8", errors="replace")
        if self._dropped:
            # The first line is most likely cut; say so rather than show half of it.
            text = "[...]" + text[text.find("\n") :] if "\n" in text else "[...]" + text
        return text


class ResultReader:
    """Reads a task process's result pipe to its end: exactly one frame, parsed strictly.

    Tool code runs in the process that writes this pipe, so nothing on it is
    taken on trust: one length-prefixed JSON object of the documented shape,
    no NaN or Infinity, nothing past ``limit`` bytes and nothing after it.
    Whether it counts is for the caller to decide, from how the process ended.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int, limit: int) -> None:
        self._loop = loop
        self._fd: int | None = fd
        self._limit = limit
        self._buffer = bytearray()
        self._expected: int | None = None
        self._frame: dict[str, Any] | None = None
        # Whether the worker confirmed it read the whole task.
        self.taken = False
        # Resolves at the pipe's end to the frame, or to None (``problem`` says why).
        self.done: asyncio.Future[dict[str, Any] | None] = loop.create_future()
        self.problem: str | None = None
        os.set_blocking(fd, False)
        loop.add_reader(fd, self._on_readable)

    def _on_readable(self) -> None:
        assert self._fd is not None
        data = _read_chunk(self._fd)
        if data is None:
            return
        if not data:
            if self._frame is None and self.problem is None and self._buffer:
                self.problem = "The tool's result was cut short"
            self._finish(self._frame)
            return
        if self.problem is not None:
            return  # already refused: read on to the end, keep nothing
        self._buffer += data
        if not self.taken:
            if self._buffer[:1] != TAKEN:
                self._refuse("The worker sent a result without taking the task")
                return
            self.taken = True
            del self._buffer[:1]
        if self._frame is not None:
            self._refuse("The tool's process wrote more than one result")
            return
        if self._expected is None and len(self._buffer) >= RESULT_HEADER.size:
            (self._expected,) = RESULT_HEADER.unpack_from(self._buffer)
            if self._expected > self._limit:
                self._refuse(
                    f"The tool's result is too large: {self._expected} bytes, "
                    f"the limit is {self._limit}"
                )
                return
        if self._expected is not None:
            end = RESULT_HEADER.size + self._expected
            if len(self._buffer) >= end:
                body, rest = bytes(self._buffer[RESULT_HEADER.size : end]), self._buffer[end:]
                self._buffer = bytearray()
                self._frame = self._decode(body)
                if rest:
                    self._refuse("The tool's process wrote more than one result")

    def _decode(self, body: bytes) -> dict[str, Any] | None:
        try:
            frame = json.loads(body, parse_constant=_refuse_constant)
        except (ValueError, RecursionError) as error:
            self.problem = f"The tool's result is not valid JSON: {error}"
            return None
        ok = frame.get("ok") if isinstance(frame, dict) else None
        if (
            not isinstance(ok, bool)
            or (ok and set(frame) != {"ok", "output"})
            or (not ok and (set(frame) != {"ok", "error"} or not isinstance(frame["error"], str)))
        ):
            self.problem = "The tool's result has the wrong shape"
            return None
        return frame

    def _refuse(self, problem: str) -> None:
        self.problem = problem
        self._frame = None
        self._buffer = bytearray()

    def _finish(self, frame: dict[str, Any] | None) -> None:
        if not self.done.done():
            self.done.set_result(frame if self.problem is None else None)
        self.close()

    def close(self) -> None:
        if self._fd is None:
            return
        self._loop.remove_reader(self._fd)
        os.close(self._fd)
        self._fd = None
        self._buffer = bytearray()
        if not self.done.done():
            self.done.set_result(self._frame if self.problem is None else None)


def read_verdict(loop: asyncio.AbstractEventLoop, fd: int) -> asyncio.Future[int | None]:
    """The tool process's exit status, as its task's supervisor reports it; None if it never did.

    The supervisor writes one short JSON object in a single write, then
    leaves: the first read holds all of it, and there is no need to wait
    for the pipe's end.
    """
    verdict: asyncio.Future[int | None] = loop.create_future()
    os.set_blocking(fd, False)

    def on_readable() -> None:
        data = _read_chunk(fd)
        if data is None:
            return
        _stop_reading(loop, fd)
        try:
            code = json.loads(data)["code"] if data else None
        except (ValueError, TypeError, KeyError):
            code = None
        if not verdict.done():
            verdict.set_result(code if isinstance(code, int) else None)

    loop.add_reader(fd, on_readable)
    _stop_reading_when_cancelled(loop, fd, verdict)
    return verdict


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


async def write_task(loop: asyncio.AbstractEventLoop, fd: int, data: bytes) -> bool:
    """Write the whole task, then close: end-of-file is what tells the worker to start.

    False when the worker was gone before it could read a byte (a broken
    pipe); its exit is reported through the process, which knows why.
    """
    view = memoryview(data)
    try:
        os.set_blocking(fd, False)
        while view:
            try:
                written = os.write(fd, view)
            except BlockingIOError:
                await _writable(loop, fd)
                continue
            view = view[written:]
    except OSError as error:
        if error.errno not in (errno.EPIPE, errno.EBADF):
            raise
        return len(view) < len(data)
    finally:
        os.close(fd)
    return True


async def _writable(loop: asyncio.AbstractEventLoop, fd: int) -> None:
    ready: asyncio.Future[None] = loop.create_future()

    def on_writable() -> None:
        if not ready.done():
            ready.set_result(None)

    loop.add_writer(fd, on_writable)
    try:
        await ready
    finally:
        loop.remove_writer(fd)


def read_to_end(loop: asyncio.AbstractEventLoop, fd: int) -> asyncio.Future[bytes]:
    """Collect a short report from a pipe without blocking the loop."""
    done: asyncio.Future[bytes] = loop.create_future()
    chunks: list[bytes] = []
    os.set_blocking(fd, False)

    def on_readable() -> None:
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if chunk and sum(map(len, chunks)) < 1 << 20:
            chunks.append(chunk)
            return
        _stop_reading(loop, fd)
        if not done.done():
            done.set_result(b"".join(chunks))

    loop.add_reader(fd, on_readable)
    _stop_reading_when_cancelled(loop, fd, done)
    return done


def _stop_reading(loop: asyncio.AbstractEventLoop, fd: int) -> None:
    loop.remove_reader(fd)
    os.close(fd)


def _stop_reading_when_cancelled(loop: asyncio.AbstractEventLoop, fd: int,
                                 future: asyncio.Future[Any]) -> None:
    """A caller that gives up on `future` leaves no reader and no descriptor behind."""

    def on_done(done: asyncio.Future[Any]) -> None:
        if done.cancelled():
            _stop_reading(loop, fd)

    future.add_done_callback(on_done)
