"""What a connection may take of an HTTP server on TCP: a time limit on its request's headers, and a
place among a capped number of connections.

Without them a client can hold the server's descriptors with connections that
send nothing or half a request: they stay open for good, and once the
descriptors are gone nothing, `/healthz` included, is answered. Here a
connection has `header_timeout` seconds, from its start or its last answer,
to send a request's headers; and at `max_connections` the connection idle for
longest (no request under way: waiting between requests, or still sending
headers) is closed to make room for the new one. Only when every connection
has a request under way is the new one answered 503 and closed.
"""

from __future__ import annotations

import asyncio
import json
import logging
import resource
import time
from dataclasses import dataclass
from typing import ClassVar

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

logger = logging.getLogger("tarvik.server")

# Descriptors kept for everything but client connections (logs, pipes, the tenants' sockets and workers).
_RESERVED_DESCRIPTORS = 128
# A connection at the front holds one descriptor of its own and, while a request is under way, one to a tenant.
_DESCRIPTORS_PER_CONNECTION = 2
_FULL = json.dumps({"jsonrpc": "2.0", "id": None, "error": {
    "code": -32000, "message": "The server has as many connections as it takes, each with a request under way"}})
_FULL_ANSWER = (
    "HTTP/1.1 503 Service Unavailable\r\ncontent-type: application/json\r\nconnection: close\r\n"
    f"content-length: {len(_FULL)}\r\n\r\n{_FULL}"
).encode()


@dataclass(frozen=True)
class ConnectionLimits:
    header_timeout: float
    max_connections: int


def connection_cap(wanted: int) -> int:
    """`wanted`, or fewer where the open-files limit would run out first."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return wanted
    allowed = max(16, (soft - _RESERVED_DESCRIPTORS) // _DESCRIPTORS_PER_CONNECTION)
    if wanted > allowed:
        logger.warning(
            "--max-connections %d is more than the open-files limit (%d) leaves room for; taking %d "
            "(raise it with ulimit -n)", wanted, soft, allowed,
        )
        return allowed
    return wanted


def guarded_protocol(limits: ConnectionLimits) -> type[H11Protocol]:
    """uvicorn's HTTP/1.1 protocol, held to `limits`."""
    return type("GuardedProtocol", (_GuardedProtocol,), {"limits": limits})


class _GuardedProtocol(H11Protocol):
    limits: ClassVar[ConnectionLimits]
    # When the server last said it was full, so a flood says so once a minute, not once a connection.
    _full_said: ClassVar[float] = 0.0

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self._idle_since = time.monotonic()
        self._headers_due: asyncio.TimerHandle | None = None
        self._expect_headers()
        if len(self.connections) > self.limits.max_connections:
            self._make_room()

    def handle_events(self) -> None:
        super().handle_events()
        if self._under_way() and self._headers_due is not None:
            self._headers_due.cancel()
            self._headers_due = None

    def on_response_complete(self) -> None:
        # Before the base class looks at what the client already sent, which
        # may be the next request (its headers then end this new wait).
        self._idle_since = time.monotonic()
        self._expect_headers()
        super().on_response_complete()

    def connection_lost(self, exc: Exception | None) -> None:
        if self._headers_due is not None:
            self._headers_due.cancel()
            self._headers_due = None
        super().connection_lost(exc)

    def _under_way(self) -> bool:
        return self.cycle is not None and not self.cycle.response_complete

    def _expect_headers(self) -> None:
        if self._headers_due is not None:
            self._headers_due.cancel()
        self._headers_due = self.loop.call_later(self.limits.header_timeout, self._headers_overdue)

    def _headers_overdue(self) -> None:
        self._headers_due = None
        if not self._under_way():
            self._close()

    def _make_room(self) -> None:
        idle = [
            connection for connection in self.connections
            if isinstance(connection, _GuardedProtocol) and connection is not self
            and not connection._under_way() and not connection.transport.is_closing()
        ]
        if idle:
            min(idle, key=lambda connection: connection._idle_since)._close()
            return
        now = time.monotonic()
        if now - _GuardedProtocol._full_said > 60:
            _GuardedProtocol._full_said = now
            logger.warning("Refusing connections: all %d have a request under way", self.limits.max_connections)
        self.transport.write(_FULL_ANSWER)
        self._close()

    def _close(self) -> None:
        if self.transport.is_closing():
            return
        try:
            self.conn.send(h11.ConnectionClosed())
        except h11.LocalProtocolError:
            pass  # in the middle of a request: the connection just goes
        self.transport.close()

