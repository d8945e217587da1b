"""The HTTP sessions of one store: what each sent, kept so a client that lost a stream can pick it up
where it left off, and room for a new session even when the cap is reached."""

from __future__ import annotations

import logging
import math
from collections import OrderedDict
from typing import Any

from mcp.server.auth.middleware.bearer_auth import AuthorizationContext
from mcp.server.streamable_http import (
    EventCallback,
    EventId,
    EventMessage,
    EventStore,
    StreamableHTTPServerTransport,
    StreamId,
)
from mcp.server.streamable_http_manager import StreamableHTTPSessionManager
from mcp_types import JSONRPCMessage

logger = logging.getLogger("tarvik.server")

# Enough for the notices and results of the calls a client has under way;
# the bytes bound what a session holds however large its results.
EVENTS_PER_SESSION = 256
BYTES_PER_SESSION = 1 << 20


class SessionEvents(EventStore):
    """The last events of one session, by stream; a client resuming with an older id has lost what came before."""

    def __init__(self, limit: int = EVENTS_PER_SESSION, byte_limit: int = BYTES_PER_SESSION) -> None:
        self._limit = limit
        self._byte_limit = byte_limit
        self._events: OrderedDict[int, tuple[StreamId, JSONRPCMessage | None, int]] = OrderedDict()
        self._bytes = 0
        self._last_id = 0

    async def store_event(self, stream_id: StreamId, message: JSONRPCMessage | None) -> EventId:
        size = 0 if message is None else len(message.model_dump_json(by_alias=True, exclude_unset=True))
        self._last_id += 1
        self._events[self._last_id] = (stream_id, message, size)
        self._bytes += size
        # The newest event stays, however large: it may be the one a client comes back for.
        while len(self._events) > 1 and (len(self._events) > self._limit or self._bytes > self._byte_limit):
            self._bytes -= self._events.popitem(last=False)[1][2]
        return str(self._last_id)

    async def replay_events_after(self, last_event_id: EventId, send_callback: EventCallback) -> StreamId | None:
        if not last_event_id.isdigit() or int(last_event_id) not in self._events:
            return None
        after = int(last_event_id)
        stream_id = self._events[after][0]
        for event_id, (stream, message, _) in list(self._events.items()):
            if event_id > after and stream == stream_id and message is not None:
                await send_callback(EventMessage(message, str(event_id)))
        return stream_id


class SessionManager(StreamableHTTPSessionManager):
    """The SDK's session manager, with a store of events for each session, that makes room at its cap.

    The SDK hands every session the one store it was given, while the ids of
    the streams (the request ids, and one name for every event stream) repeat
    from session to session: a client resuming in one session could be
    replayed another's messages. The manager reads `event_store` once for
    each new session, so answering it with a new store gives each its own.

    At the cap on sessions the SDK refuses a new one until one ends or idles
    out, so clients that go away without ending theirs lock the store out.
    Here the session idle for longest is closed instead, to make room; only
    when every session has a request in flight is the new one refused.
    """

    def _admit_session(self, requestor: AuthorizationContext | None) -> StreamableHTTPServerTransport | None:
        if self.max_sessions is not None and len(self._server_instances) >= self.max_sessions:
            self._close_longest_idle()
        return super()._admit_session(requestor)

    def _close_longest_idle(self) -> None:
        # An idle session's scope has a deadline (its last request's end plus
        # the idle time-out); one with a request in flight has none.
        idle = [
            (transport.idle_scope.deadline, session_id, transport)
            for session_id, transport in self._server_instances.items()
            if transport.idle_scope is not None and math.isfinite(transport.idle_scope.deadline)
        ]
        if not idle:
            return
        _, session_id, transport = min(idle, key=lambda entry: entry[0])
        # Forgotten now, so its id answers 404 and the new session has its
        # place; its server task ends with the scope and terminates it.
        self._server_instances.pop(session_id, None)
        self._session_owners.pop(session_id, None)
        assert transport.idle_scope is not None
        transport.idle_scope.cancel()
        logger.info("Closed the session idle for longest to make room for a new one (%d open)", self.max_sessions)

    @property
    def event_store(self) -> EventStore:
        return SessionEvents()

    @event_store.setter
    def event_store(self, value: Any) -> None:
        # The base class stores the one it was given; sessions never share one here.
        pass
