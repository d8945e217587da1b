"""The host's ends of a task's channels: answers, prints, the supervisor's word, the task's messages.

All of them work on raw non-blocking descriptors through the loop's reader
and writer callbacks, so no read or write ever blocks the event loop, and
every bound is enforced as the bytes arrive.
"""

from __future__ import annotations

import asyncio
import errno
import fcntl
import json
import os
import socket
from typing import Any

from tarvik.worker import protocol

_READ_SIZE = 1 << 20
_PIPE_SIZE = 1 << 20


def widen_pipe(fd: int) -> None:
    """Fewer wake-ups for a chatty tool; refused sizes simply keep the default."""
    try:
        fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), _PIPE_SIZE)
    except OSError:
        pass


def _resolve(future: asyncio.Future[Any], value: Any) -> None:
    """Resolve ``future`` unless it is done, or its loop is gone (the interpreter is leaving)."""
    if not future.done() and not future.get_loop().is_closed():
        future.set_result(value)


def _read_chunk(fd: int) -> bytes | None:
    """One non-blocking read: None when nothing is waiting, b"" at the end.

    A read error counts as the end: the task's side is gone either way.
    """
    try:
        return os.read(fd, _READ_SIZE)
    except BlockingIOError:
        return None
    except OSError:
        return b""


class OutputTail:
    """Drains a capture pipe for as long as it is open, keeping the last bytes of each call."""

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int, limit: int) -> None:
        self._loop = loop
        self._fd: int | None = fd
        self._limit = limit
        self._buffer = bytearray()
        self._dropped = False
        self.closed: asyncio.Future[None] = loop.create_future()
        os.set_blocking(fd, False)
        loop.add_reader(fd, self._read_once)

    def _read_once(self) -> int:
        """Read one chunk; the count read, 0 when nothing was waiting or at the end."""
        if self._fd is None:
            return 0
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
        """Take in what is already in the pipe: the tool flushed it before answering."""
        while self._read_once():
            pass

    def take(self) -> str:
        """What was printed since the last take, as text; the tail starts afresh."""
        self.drain()
        text = self.text()
        self._buffer = bytearray()
        self._dropped = False
        return text

    async def wait_closed(self, grace: float) -> None:
        """Wait for the writers to go away, but never long: one may have escaped."""
        try:
            await asyncio.wait_for(asyncio.shield(self.closed), grace)
        except TimeoutError:
            pass

    def finish(self) -> None:
        """The task is gone: what it printed still counts, then the pipe is closed."""
        self.drain()
        self.close()

    def close(self) -> None:
        if self._fd is None:
            return
        self._loop.remove_reader(self._fd)
        os.close(self._fd)
        self._fd = None
        _resolve(self.closed, None)

    def text(self) -> str:
        text = self._buffer.decode("utf-8", errors="replace")
        if self._dropped:
            # The first line is most likely cut; say so rather than show half of it.
            text = "[...]" + text[text.find("\n") :] if "\n" in text else "[...]" + text
        return text


class FrameReader:
    """Reads a tool process's answers: one frame per message sent, parsed strictly.

    Tool code runs in the process that writes this pipe, so nothing on it is
    taken on trust: length-prefixed JSON objects of the documented shape, no
    NaN or Infinity, nothing past ``limit`` bytes, and nothing that was not
    asked for. A frame is handed to the one caller waiting (``next_frame``);
    anything that arrives while nobody waits, or any frame that breaks the
    rules, is ``problem`` for good.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int, limit: int) -> None:
        self._loop = loop
        self._fd: int | None = fd
        self._limit = limit
        self._buffer = bytearray()
        self._waiter: asyncio.Future[dict[str, Any] | None] | None = None
        self._expected = 0
        # Resolves at the pipe's end.
        self.ended: asyncio.Future[None] = loop.create_future()
        self.problem: str | None = None
        os.set_blocking(fd, False)
        loop.add_reader(fd, self._on_readable)

    def next_frame(self, seq: int) -> asyncio.Future[dict[str, Any] | None]:
        """The answer to message ``seq``: its frame, or None (``problem`` says why)."""
        waiter: asyncio.Future[dict[str, Any] | None] = self._loop.create_future()
        self._expected = seq
        if self.problem is not None or self._fd is None:
            waiter.set_result(None)
        else:
            self._waiter = waiter
        return waiter

    def _on_readable(self) -> bool:
        """Take in one chunk; False when nothing was waiting or the pipe ended."""
        if self._fd is None:
            return False
        data = _read_chunk(self._fd)
        if data is None:
            return False
        if not data:
            if self._buffer and self.problem is None:
                self.problem = "The tool's result was cut short"
            self.close()
            return False
        if self.problem is None:  # once refused: read on to the end, keep nothing
            self._buffer += data
            self._take_frames()
        return True

    def drain(self) -> None:
        """Take in what is in the pipe already; a frame nobody asked for is a problem."""
        while self._on_readable():
            pass

    def finish(self) -> None:
        """The task is gone: what it wrote still counts, then the pipe is closed."""
        self.drain()
        self.close()

    def _take_frames(self) -> None:
        header = protocol.FRAME_HEADER
        while self.problem is None and len(self._buffer) >= header.size:
            (length,) = header.unpack_from(self._buffer)
            if length > self._limit:
                self._refuse(f"The tool's result is too large: {length} bytes, the limit is {self._limit}")
                return
            end = header.size + length
            if len(self._buffer) < end:
                return
            body = bytes(self._buffer[header.size : end])
            del self._buffer[:end]
            if self._waiter is None or self._waiter.done():
                self._refuse("The tool's process wrote a result nobody asked for")
                return
            frame = self._decode(body)
            if frame is None:
                return
            waiter, self._waiter = self._waiter, None
            waiter.set_result(frame)

    def _decode(self, body: bytes) -> dict[str, Any] | None:
        try:
            frame = json.loads(body, parse_constant=_refuse_constant)
        except (ValueError, RecursionError) as error:
            self._refuse(f"The tool's result is not valid JSON: {error}")
            return None
        ok = frame.get(protocol.OK) if isinstance(frame, dict) else None
        keys = (set(frame) - {protocol.RETIRE, protocol.SEQ, protocol.LIMIT}
                if isinstance(frame, dict) else set())
        if (
            not isinstance(ok, bool)
            or (ok and keys != {protocol.OK, protocol.OUTPUT})
            or (not ok and (keys != {protocol.OK, protocol.ERROR}
                            or not isinstance(frame[protocol.ERROR], str)))
        ):
            self._refuse("The tool's result has the wrong shape")
            return None
        if frame.get(protocol.SEQ) != self._expected:
            self._refuse("The tool's process answered another message than the one it was sent")
            return None
        answer: dict[str, Any] = frame
        return answer

    def _refuse(self, problem: str) -> None:
        self.problem = problem
        self._buffer = bytearray()
        if self._waiter is not None:
            _resolve(self._waiter, None)
        self._waiter = None

    def close(self) -> None:
        if self._fd is not None:
            self._loop.remove_reader(self._fd)
            os.close(self._fd)
            self._fd = None
        self._buffer = bytearray()
        if self._waiter is not None:
            _resolve(self._waiter, None)
        self._waiter = None
        _resolve(self.ended, None)


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


class ControlChannel:
    """The host's side of a task's SEQPACKET control socket, to and from its supervisor.

    The supervisor runs no tool code: what it says is the task's word. Its
    verdict resolves ``verdict`` (the tool process's exit status, None when
    it never gave one); its answer to a rest, the waiting ``rested``.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, sock: socket.socket) -> None:
        self._loop = loop
        self._socket: socket.socket | None = sock
        sock.setblocking(False)
        self.verdict: asyncio.Future[int | None] = loop.create_future()
        self._rested: asyncio.Future[str | None] | None = None
        # Why its world may take no more calls, once its supervisor said so.
        self.unfit: str | None = None
        # The limits of its world the last call met, as its supervisor counted them.
        self.limits_met: dict[str, bool] = {}
        loop.add_reader(sock.fileno(), self._on_readable)

    def send(self, message: bytes) -> bool:
        """False when the supervisor is gone. A message is far below the socket's buffer."""
        if self._socket is None:
            return False
        try:
            self._socket.send(message)
        except OSError:
            return False
        return True

    def rest(self, *, report: bool) -> asyncio.Future[str | None] | None:
        """Ask for the end of a call. The supervisor says so only when the world is unfit
        (``unfit``), unless ``report``: then the future resolves to None when it is clean, else
        to why not."""
        if not report:
            self.send(protocol.REST + b" 0")
            return None
        rested: asyncio.Future[str | None] = self._loop.create_future()
        if not self.send(protocol.REST + b" 1"):
            rested.set_result("its supervisor is gone")
        else:
            self._rested = rested
        return rested

    def take_pending(self) -> None:
        """Read what the supervisor said and the loop has not yet handed over."""
        while self._on_readable():
            pass

    def _on_readable(self) -> bool:
        """Take in one message; False when none was waiting or the supervisor is gone."""
        if self._socket is None:
            return False
        try:
            data = self._socket.recv(4096)
        except BlockingIOError:
            return False
        except OSError:
            data = b""
        if not data:
            self.close()
            return False
        message = protocol.parse_control(data)
        if message is None:
            return True
        if "code" in message:
            _resolve(self.verdict, message["code"])
        else:
            met = message.get("met")
            if isinstance(met, list):
                self.limits_met = {str(name): True for name in met}
            if not message["rested"]:
                self.unfit = str(message.get("why", ""))
            if self._rested is not None:
                _resolve(self._rested, self.unfit)
        return True

    def finish(self) -> None:
        """The task is gone: what its supervisor said still counts, then the channel is closed."""
        self.take_pending()
        self.close()

    def close(self) -> None:
        """Let go of the supervisor, which then ends the task."""
        if self._socket is not None:
            self._loop.remove_reader(self._socket.fileno())
            self._socket.close()
            self._socket = None
        _resolve(self.verdict, None)
        if self._rested is not None:
            _resolve(self._rested, "its supervisor is gone")


class MessageWriter:
    """Writes framed messages to a task's task pipe without blocking; most fit at once."""

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int) -> None:
        self._loop = loop
        self._fd: int | None = fd
        os.set_blocking(fd, False)

    async def write(self, data: bytes) -> bool:
        """False when the tool process is gone (a broken pipe)."""
        view = memoryview(data)
        while view:
            if self._fd is None:
                return False
            try:
                written = os.write(self._fd, view)
            except BlockingIOError:
                await _writable(self._loop, self._fd)
                continue
            except OSError as error:
                if error.errno not in (errno.EPIPE, errno.EBADF):
                    raise
                return False
            view = view[written:]
        return True

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None


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

    def stop() -> None:
        loop.remove_reader(fd)
        os.close(fd)

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
        stop()
        if not done.done():
            done.set_result(b"".join(chunks))

    loop.add_reader(fd, on_readable)
    done.add_done_callback(lambda future: stop() if future.cancelled() else None)
    return done

