"""`tarvik serve --http`: the host's tools over the SDK's streamable HTTP transport, at /mcp.

One process serves one store. Without tokens it listens on loopback for
HOME's store; with tokens, the front process (`tarvik.server.tenants`) runs
one of these per tenant on a unix socket and hands it that tenant's requests.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import signal
import socket
import sys
from collections.abc import Awaitable, Callable, Iterator
from pathlib import Path

import anyio
import uvicorn
from mcp.server.streamable_http_manager import StreamableHTTPASGIApp
from mcp.server.transport_security import TransportSecuritySettings
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from tarvik.host import Host, open_host
from tarvik.quota import StoreQuota
from tarvik.sandbox_report.summary import log_sandbox_summary
from tarvik.server.app import ToolServer, build_server
from tarvik.server.connections import ConnectionLimits, connection_cap, guarded_protocol
from tarvik.server.events import SessionManager
from tarvik.server.metrics import CONTENT_TYPE, HOME_TENANT, METRICS_PATH, CallMetrics
from tarvik.server.operator import OperatorAccess
from tarvik.settings import HttpSettings, Settings, is_loopback
from tarvik.store import store_root

logger = logging.getLogger("tarvik.server")

MCP_PATH = "/mcp"
HEALTH_PATH = "/healthz"
# What is left once the calls in flight are done or out of time: event
# streams, which the clients open again elsewhere.
_STREAMS_GRACE = 2


def json_error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"jsonrpc": "2.0", "id": None, "error": {"code": -32000, "message": message}}, status)


class RequestGuard:
    """Holds each request to the server's time limit, and counts those in flight so a stop can wait for them.

    A GET is the session's event stream, open for as long as the client
    wants: it carries notices, not calls, so it has no time limit and a stop
    does not wait for it. Everything else (a call, a list, the end of a
    session) is a message and must be answered in time.
    """

    def __init__(self, request_timeout: float) -> None:
        # Set once the app is built: its /healthz route asks the guard whether the server is stopping.
        self.app: ASGIApp | None = None
        self.request_timeout = request_timeout
        self.stopping = False
        self._in_flight = 0
        self._idle = asyncio.Event()
        self._idle.set()

    @property
    def in_flight(self) -> int:
        return self._in_flight

    def health_route(self) -> Route:
        async def healthz(request: Request) -> JSONResponse:
            if self.stopping:
                return JSONResponse({"status": "stopping"}, 503)
            return JSONResponse({"status": "ok"})

        return Route(HEALTH_PATH, healthz, methods=["GET"])

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        assert self.app is not None
        if scope["type"] != "http" or scope["path"] == HEALTH_PATH:
            await self.app(scope, receive, send)
            return
        if self.stopping:
            await json_error(503, "The server is shutting down")(scope, receive, send)
            return
        if scope["method"] == "GET":
            await self.app(scope, receive, send)
            return
        self._in_flight += 1
        self._idle.clear()
        try:
            await self._answer_in_time(scope, receive, send)
        finally:
            self._in_flight -= 1
            if not self._in_flight:
                self._idle.set()

    async def _answer_in_time(self, scope: Scope, receive: Receive, send: Send) -> None:
        started = finished = False

        async def watched_send(message: Message) -> None:
            nonlocal started, finished
            started = started or message["type"] == "http.response.start"
            finished = finished or (message["type"] == "http.response.body" and not message.get("more_body"))
            await send(message)

        assert self.app is not None
        with anyio.move_on_after(self.request_timeout) as limit:
            await self.app(scope, receive, watched_send)
        if not limit.cancelled_caught or finished:
            return
        logger.warning("A %s request ran out of its %g s and was cut", scope["method"], self.request_timeout)
        if started:
            await send({"type": "http.response.body", "body": b"", "more_body": False})
        else:
            message = f"The request took longer than the server's limit of {self.request_timeout:g} s"
            await json_error(504, message)(scope, receive, send)

    async def drain(self, grace: float) -> bool:
        """Refuse new requests and wait up to `grace` seconds for those in flight; whether they all ended."""
        self.stopping = True
        with anyio.move_on_after(grace):
            await self._idle.wait()
            return True
        return False


def metrics_route(answer: Callable[[], Awaitable[bytes]], access: OperatorAccess | None) -> Route:
    """/metrics, for the operator alone (see `OperatorAccess`); `access` None: for whoever reaches the socket."""

    async def metrics(request: Request) -> Response:
        if access is not None and (refused := await access.refusal(request.scope)) is not None:
            return refused
        return Response(await answer(), media_type=CONTENT_TYPE)

    return Route(METRICS_PATH, metrics, methods=["GET"])


def store_metrics(host: Host, guard: RequestGuard, tenant: str) -> Callable[[], Awaitable[bytes]] | None:
    """The metrics of the store `host` serves, counted from its call log's rows; None without a log."""
    log = host.call_log
    if log is None:
        return None
    metrics = CallMetrics(tenant, host.subprocess_manager, lambda: guard.in_flight)
    log.add_observer(metrics.observe)

    async def answer() -> bytes:
        # The calls answered so far are all counted.
        await log.settled()
        return metrics.exposition()

    return answer


def mcp_app(
    tool_server: ToolServer, http: HttpSettings, *, behind_front: bool, host: Host | None = None,
    tenant: str = HOME_TENANT, access: OperatorAccess | None = None,
) -> RequestGuard:
    """The SDK's streamable HTTP endpoint for `tool_server` at /mcp, /healthz beside it, within the guard;
    with `host`, its metrics at /metrics."""
    if behind_front:
        # The front checked the token; the Host it passes on is its own business.
        security = TransportSecuritySettings(enable_dns_rebinding_protection=False)
    else:
        # Without tokens a web page the user opens could call a loopback server; only local names pass.
        hosts = {"127.0.0.1", "localhost", "[::1]", f"[{http.host}]" if ":" in http.host else http.host}
        security = TransportSecuritySettings(
            enable_dns_rebinding_protection=True,
            allowed_hosts=[f"{host}:*" for host in sorted(hosts)],
            allowed_origins=[f"http://{host}:*" for host in sorted(hosts)],
        )
    manager = SessionManager(
        app=tool_server.server,
        security_settings=security,
        max_request_body_size=http.max_body,
        max_sessions=http.sessions_per_tenant,
        session_idle_timeout=http.session_idle_timeout,
    )
    guard = RequestGuard(http.request_timeout)
    routes = [Route(MCP_PATH, StreamableHTTPASGIApp(manager)), guard.health_route()]
    answer = store_metrics(host, guard, tenant) if host is not None else None
    if answer is not None:
        routes.append(metrics_route(answer, access))
    guard.app = Starlette(routes=routes, lifespan=lambda app: manager.run())
    return guard


class _Uvicorn(uvicorn.Server):
    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        # The command stops the server itself: after the calls in flight, and
        # before the host closes its workers.
        yield


async def serve_announced(
    guard: RequestGuard, listener: socket.socket, http: HttpSettings, stop: asyncio.Event, what: str,
    summary: Awaitable[None],
) -> None:
    """Say what is served where, log the sandbox's summary meanwhile, and serve until stopped."""
    bound = HttpSettings(host=http.host, port=listener.getsockname()[1])
    print(f"tarvik: serving {bound.url} {what}", file=sys.stderr, flush=True)
    # Told while the first clients connect; no answer waits for it.
    telling = asyncio.ensure_future(summary)
    limits = ConnectionLimits(http.header_timeout, connection_cap(http.max_connections))
    try:
        await run_until_stopped(guard, listener, http.shutdown_grace, stop, limits)
    finally:
        telling.cancel()


async def run_until_stopped(
    guard: RequestGuard, listener: socket.socket, grace: float, stop: asyncio.Event,
    limits: ConnectionLimits | None = None,
) -> None:
    """Serve `guard`'s app on `listener` until `stop` is set, then let the calls in flight finish (up to `grace`).

    `limits` hold each connection of a listener that others reach; the unix
    socket of a tenant's process has the front alone at its other end.
    """
    config = uvicorn.Config(
        guard, log_config=None, access_log=False, lifespan="on", timeout_graceful_shutdown=_STREAMS_GRACE,
        http=guarded_protocol(limits) if limits is not None else "h11",
    )
    server = _Uvicorn(config)
    serving = asyncio.ensure_future(server.serve(sockets=[listener]))
    stopping = asyncio.ensure_future(stop.wait())
    try:
        await asyncio.wait({serving, stopping}, return_when=asyncio.FIRST_COMPLETED)
        if stopping.done() and not serving.done():
            if await guard.drain(grace):
                logger.info("Calls in flight finished; stopping")
            else:
                logger.warning("Stopping with calls still in flight after %g s", grace)
            server.should_exit = True
        await serving
    finally:
        stopping.cancel()


def stop_on_signals(stop: asyncio.Event) -> Callable[[], None]:
    """SIGTERM or SIGINT sets `stop`; a second one ends the process at once. Returns the undo."""
    loop = asyncio.get_running_loop()
    signals = (signal.SIGTERM, signal.SIGINT)

    def received(signum: int) -> None:
        if stop.is_set():
            logging.shutdown()
            os._exit(128 + signum)
        logger.info("Received %s: finishing the calls in flight", signal.Signals(signum).name)
        stop.set()

    def undo() -> None:
        for signum in signals:
            loop.remove_signal_handler(signum)

    for signum in signals:
        loop.add_signal_handler(signum, received, signum)
    return undo


def tcp_listener(host: str, port: int) -> socket.socket:
    """A listening TCP socket whose connections send each answer at once.

    Made with IPPROTO_TCP named, not 0 as `socket.create_server` makes it:
    asyncio sets TCP_NODELAY on an accepted connection only then, and
    without it the last segment of an answer waits for the client's delayed
    ACK (about 40 ms a call for a client that keeps its connection open).
    """
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if family == socket.AF_INET6:
            listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        listener.bind((host, port))
        listener.listen(1024)
    except BaseException:
        listener.close()
        raise
    return listener


def unix_listener(path: Path) -> socket.socket:
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(str(path))
    os.chmod(path, 0o600)
    listener.listen(1024)
    return listener


def configure_access_log() -> None:
    """One line per call on stderr, whatever the log level: who called what, how it ended, in how long."""
    access = logging.getLogger("tarvik.access")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s access %(message)s"))
    access.addHandler(handler)
    access.setLevel(logging.INFO)
    access.propagate = False


def store_quota(settings: Settings, *, tenant: bool) -> StoreQuota | None:
    limit = settings.quota_for(tenant=tenant)
    return StoreQuota(limit) if limit is not None else None


async def serve_http(settings: Settings, stop: asyncio.Event) -> None:
    """Serve HOME's store on loopback, without tokens, until `stop` is set."""
    http = settings.http
    assert http is not None
    if not is_loopback(http.host):
        raise ValueError(f"without --tokens, --http listens on loopback only, not on {http.host}")
    access = await asyncio.to_thread(OperatorAccess, settings.operator_tokens)
    listener = tcp_listener(http.host, http.port)
    async with open_host(settings=settings) as host:
        tool_server = build_server(
            host.registry, max_calls=http.calls_per_tenant, quota=store_quota(settings, tenant=False),
            log=host.call_log,
        )
        what = (
            "without --tokens, so on loopback only, for every local user and process; "
            f"the tools are those of {store_root()}"
        )
        guard = mcp_app(tool_server, http, behind_front=False, host=host, access=access)
        await serve_announced(guard, listener, http, stop, what, log_sandbox_summary(host.subprocess_manager))


async def serve_tenant(settings: Settings, tenant: str, path: Path) -> None:
    """Serve one tenant's store (HOME) on the unix socket `path` for the front, until it goes or says stop.

    The front holds the other end of stdin: its end of file, on purpose or
    because the front died, stops this process as SIGTERM does.
    """
    http = settings.http
    assert http is not None
    stop = asyncio.Event()
    undo = stop_on_signals(stop)
    loop = asyncio.get_running_loop()
    transport, _ = await loop.connect_read_pipe(lambda: _EndOfInput(stop), os.fdopen(0, "rb", closefd=False))
    try:
        listener = unix_listener(path)
        async with open_host(settings=settings) as host:
            tool_server = build_server(
                host.registry, tenant=tenant, max_calls=http.calls_per_tenant,
                quota=store_quota(settings, tenant=True), log=host.call_log,
            )
            # Its /metrics is for the front, the one other end of its socket.
            guard = mcp_app(tool_server, http, behind_front=True, host=host, tenant=tenant)
            print("ready", flush=True)
            await run_until_stopped(guard, listener, http.shutdown_grace, stop)
    finally:
        transport.close()
        undo()


class _EndOfInput(asyncio.Protocol):
    def __init__(self, stop: asyncio.Event) -> None:
        self._stop = stop

    def connection_lost(self, exc: Exception | None) -> None:
        self._stop.set()
