"""`tarvik serve --http --tokens FILE`: the front that many agents reach, a process of its own for each tenant.

The tool store's place is process-wide (HOME), so each tenant gets a process
of its own, started on its first request: HOME is `<data-dir>/<tenant>`, and
it has its own host, registry, tool creator, worker pool and cap on calls in
flight. It serves MCP on a unix socket in a folder only this user can enter.
The front checks the bearer token (the SDK's token-verifier hook, which an
OAuth authorization server can take over later) and hands the request, as
it came, to the process of the tenant the token belongs to. Nothing a client
sends but its token chooses the process: a name, a path or a session id of
another tenant's means nothing in this tenant's store.

What the front holds of a tenant's requests is bounded: at most
`requests_per_tenant` of them (event streams aside) are under way at once,
the others wait unread, and a body goes on to the tenant's process as it
arrives, never whole in the front. A tenant's process gets the operator's
settings whole, as JSON on its standard input, and of the front's
environment only what it needs (`tenant_environment`).

Should a tenant's process end (killed, or out of memory), the request under
way is answered with a JSON-RPC error that says so, the process is started
again on the next request, and a session opened before is opened again in the
new process with the request that first opened it, so the client goes on with
its session id as if nothing happened.
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import shutil
import site
import sys
import tempfile
from collections import OrderedDict
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path

import anyio
import httpx2
import mcp_types as types
from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser, BearerAuthBackend, RequireAuthMiddleware
from mcp.server.auth.provider import AccessToken
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.authentication import AuthenticationMiddleware
from starlette.responses import JSONResponse
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

import tarvik
from tarvik.sandbox_report.summary import log_sandbox_summary
from tarvik.server.http import MCP_PATH, RequestGuard, json_error, metrics_route, serve_announced, tcp_listener
from tarvik.server.metrics import METRICS_PATH, gathered, merged_exposition
from tarvik.server.operator import OperatorAccess
from tarvik.server.request_id import RequestIdScanner
from tarvik.settings import HttpSettings, Settings
from tarvik.tokens import TokensFile

logger = logging.getLogger("tarvik.server")

# A tenant's process imports the host and prepares its workers before it answers.
_START_TIMEOUT = 120.0
# How long a request that could not reach a tenant's process waits to learn whether it ended.
_ENDED_WAIT = 2.0
SESSION_HEADER = b"mcp-session-id"
# Hop-by-hop headers, those the front alone speaks for, and the session id, which it passes on itself.
_NOT_PASSED_ON = frozenset(
    {b"authorization", b"connection", b"host", b"keep-alive", b"proxy-authorization", b"te", b"trailer",
     b"transfer-encoding", b"upgrade", SESSION_HEADER}
)
# The answer's length is the front's to say (it may add an error of its own to a stream that broke off),
# and so are its date and server.
_NOT_PASSED_BACK = _NOT_PASSED_ON | {b"content-length", b"date", b"server"}
# How long the front waits for a tenant's process to say its metrics.
_METRICS_WAIT = 5.0
# An initialize request, kept to open its session again in a new process, is small.
_OPENING_LIMIT = 64 << 10
# Variables of the front's environment a tenant's process gets, besides those granted to tools:
# where programs are, the locale and time zone, its temporary folder, and how uv reaches and
# trusts the package index.
_TENANT_VARIABLES = frozenset({
    "PATH", "LANG", "TZ", "TMPDIR", "SSL_CERT_FILE", "SSL_CERT_DIR",
    "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "no_proxy", "all_proxy",
})
_TENANT_PREFIXES = ("LC_", "UV_")
ENDED = "The tenant's process ended before it answered this request; it is started again for the next one"


def tenant_environment(home: Path, settings: Settings) -> dict[str, str]:
    """What a tenant's process sees of the front's environment (see `_TENANT_VARIABLES`), its HOME its own."""
    environment = {
        name: value for name, value in os.environ.items()
        if name in _TENANT_VARIABLES or name.startswith(_TENANT_PREFIXES) or name in settings.tool_env
    }
    environment["HOME"] = str(home)
    # The same tarvik as the front's, also when it runs from a folder the interpreter does not look in.
    package_root = Path(tarvik.__file__).resolve().parent.parent
    if package_root not in {Path(folder).resolve() for folder in site.getsitepackages()}:
        environment["PYTHONPATH"] = str(package_root)
    return environment


class TenantTokenVerifier:
    """The SDK's token verifier over the tokens file: a token's client is its tenant."""

    def __init__(self, tokens: TokensFile) -> None:
        self._tokens = tokens

    async def verify_token(self, token: str) -> AccessToken | None:
        tenant = await self._tokens.tenant_of(token)
        if tenant is None:
            return None
        return AccessToken(token=token, client_id=tenant, scopes=[])


class TenantUnavailable(RuntimeError):
    """A tenant's process could not be started, or a session not opened again in it."""


class TenantProcess:
    """One tenant's `tarvik serve` on a unix socket, and the HTTP client that reaches it."""

    def __init__(self, tenant: str, home: Path, socket_path: Path, command: list[str], settings: Settings,
                 generation: int) -> None:
        self.tenant = tenant
        # Counts the processes the tenant had: a session belongs to the one that opened it.
        self.generation = generation
        self._home = home
        self._socket_path = socket_path
        self._command = command
        self._settings = settings
        self._process: asyncio.subprocess.Process | None = None
        self._output: asyncio.Future[bytes] | None = None
        self.client = httpx2.AsyncClient(
            transport=httpx2.AsyncHTTPTransport(uds=str(socket_path)),
            base_url="http://tenant",
            # The front's own guard limits each request; an event stream may stay quiet for long.
            timeout=httpx2.Timeout(None, connect=30.0),
            limits=httpx2.Limits(max_connections=None, max_keepalive_connections=64),
        )

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.returncode is None

    @property
    def pid(self) -> int | None:
        return self._process.pid if self._process is not None else None

    async def start(self) -> None:
        await asyncio.to_thread(self._home.mkdir, mode=0o700, parents=True, exist_ok=True)
        self._socket_path.unlink(missing_ok=True)
        self._process = await asyncio.create_subprocess_exec(
            *self._command,
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            env=tenant_environment(self._home, self._settings),
        )
        assert self._process.stdin is not None and self._process.stdout is not None
        try:
            # The settings, whole, on one line; the end of input later tells it to stop.
            self._process.stdin.write(json.dumps(self._settings.choices()).encode() + b"\n")
            await self._process.stdin.drain()
            line = await asyncio.wait_for(self._process.stdout.readline(), _START_TIMEOUT)
        except (TimeoutError, ConnectionError):
            line = b""
        except BaseException:
            # The request that started it was cancelled: nothing may be left running unseen.
            self._process.kill()
            raise
        if line != b"ready\n":
            await self.stop(0.0)
            raise TenantUnavailable(f"the process of tenant {self.tenant} did not start; its log says why")
        # Read whatever else it prints, so a full pipe can never block it.
        self._output = asyncio.ensure_future(self._process.stdout.read())
        logger.info("Started the process of tenant %s (pid %d)", self.tenant, self._process.pid)

    async def ended(self, wait: float) -> bool:
        """Whether the process has ended, or does within `wait` seconds."""
        if self._process is None:
            return True
        try:
            await asyncio.wait_for(asyncio.shield(self._process.wait()), wait)
        except TimeoutError:
            return False
        return True

    async def stop(self, grace: float) -> None:
        """End of input tells the process to finish its calls and go; past `grace` (and a little) it is killed."""
        process = self._process
        if process is not None and process.returncode is None:
            assert process.stdin is not None
            process.stdin.close()
            try:
                await asyncio.wait_for(process.wait(), grace + 10.0)
            except TimeoutError:
                logger.warning("The process of tenant %s did not stop in time; killing it", self.tenant)
                process.kill()
                await process.wait()
        if self._output is not None:
            # Its worker processes may hold the pipe a moment longer; nothing more is wanted from it.
            self._output.cancel()
        await self.client.aclose()


@dataclass
class TenantSession:
    """A session a client opened through the front: how to open it again should its process end."""

    opening: bytes
    generation: int
    current_id: str
    lock: asyncio.Lock = field(default_factory=asyncio.Lock)


@dataclass
class Tenant:
    """What the front keeps of one tenant: its process, its cap on requests, and its sessions."""

    name: str
    requests: asyncio.Semaphore
    session_limit: int
    process: TenantProcess | None = None
    generations: int = 0
    lock: asyncio.Lock = field(default_factory=asyncio.Lock)
    # By the id its client knows, oldest first.
    sessions: OrderedDict[str, TenantSession] = field(default_factory=OrderedDict)

    def remember(self, session_id: str, opening: bytes, generation: int) -> None:
        self.sessions[session_id] = TenantSession(opening, generation, session_id)
        while len(self.sessions) > self.session_limit:
            self.sessions.popitem(last=False)

    def session(self, session_id: str | None) -> TenantSession | None:
        found = self.sessions.get(session_id) if session_id is not None else None
        if found is not None:
            self.sessions.move_to_end(session_id)  # type: ignore[arg-type]
        return found


class Tenants:
    """The tenants' processes, each started on its tenant's first request and again should it have died."""

    def __init__(self, settings: Settings, sockets: Path) -> None:
        assert settings.http is not None
        self._settings = settings
        self.http: HttpSettings = settings.http
        self._sockets = sockets
        self._tenants: dict[str, Tenant] = {}
        self.stopping = False

    def tenant(self, name: str) -> Tenant:
        tenant = self._tenants.get(name)
        if tenant is None:
            # The tenant's process forgets sessions idle for long; so do the sessions kept here, past twice its cap.
            tenant = Tenant(name, asyncio.Semaphore(self.http.requests_per_tenant), 2 * self.http.sessions_per_tenant)
            self._tenants[name] = tenant
        return tenant

    def _command(self, tenant: str, socket_path: Path) -> list[str]:
        level = logging.getLevelName(logging.getLogger().getEffectiveLevel())
        return [
            sys.executable, "-m", "tarvik.cli.main", "--log-level", str(level), "serve",
            "--socket", str(socket_path), "--tenant", tenant,
        ]

    async def process_of(self, tenant: Tenant) -> TenantProcess:
        async with tenant.lock:
            if self.stopping:
                raise TenantUnavailable("the server is shutting down")
            process = tenant.process
            if process is not None and process.running:
                return process
            if process is not None:
                logger.warning("The process of tenant %s had ended; starting it again", tenant.name)
                await process.stop(0.0)
            socket_path = self._sockets / f"{tenant.name}.sock"
            home = self.http.tenant_data_dir() / tenant.name
            tenant.generations += 1
            process = TenantProcess(
                tenant.name, home, socket_path, self._command(tenant.name, socket_path), self._settings,
                tenant.generations,
            )
            tenant.process = process
            await process.start()
            return process

    def running(self) -> list[TenantProcess]:
        return [tenant.process for tenant in self._tenants.values()
                if tenant.process is not None and tenant.process.running]

    async def metrics(self, front: RequestGuard) -> bytes:
        """Every running tenant's metrics, merged, and the front's own requests in flight."""

        async def fetch(process: TenantProcess) -> str:
            answer = await process.client.get(METRICS_PATH)
            answer.raise_for_status()
            return answer.text

        texts = await gathered(map(fetch, self.running()), _METRICS_WAIT)
        own = (
            "# HELP tarvik_front_requests_in_flight Requests the front is answering now, event streams aside\n"
            "# TYPE tarvik_front_requests_in_flight gauge\n"
            f"tarvik_front_requests_in_flight {front.in_flight}\n"
        )
        return await asyncio.to_thread(merged_exposition, [*texts, own])

    async def aclose(self) -> None:
        self.stopping = True
        await asyncio.gather(*(
            tenant.process.stop(self.http.shutdown_grace) for tenant in self._tenants.values()
            if tenant.process is not None
        ))


class _BodyRefused(Exception):
    """The client's body went past the limit, or the client left while sending it."""


class RequestBody:
    """A request's body as it arrives, handed on chunk by chunk and counted against the limit.

    On the way it notes the request's id and, for a request that may open a
    session, keeps its (small) body to open the session again later.
    """

    def __init__(self, receive: Receive, limit: int, *, keep_opening: bool) -> None:
        self._receive = receive
        self._limit = limit
        self.request_id = RequestIdScanner()
        self.opening: bytearray | None = bytearray() if keep_opening else None
        self.started = False
        self.too_large = False
        # Set once every message of the body was received: what comes next is the client leaving.
        self.received = anyio.Event()

    async def chunks(self) -> AsyncIterator[bytes]:
        self.started = True
        size = 0
        try:
            while True:
                message = await self._receive()
                if message["type"] != "http.request":
                    raise _BodyRefused("the client left")
                chunk = message.get("body", b"")
                size += len(chunk)
                if size > self._limit:
                    self.too_large = True
                    raise _BodyRefused("the body is too large")
                if not self.request_id.done:
                    self.request_id.feed(chunk)
                if self.opening is not None:
                    self.opening = self.opening + chunk if len(self.opening) + len(chunk) <= _OPENING_LIMIT else None
                if chunk:
                    yield chunk
                if not message.get("more_body"):
                    return
        finally:
            self.received.set()

    async def whole(self) -> bytes:
        """The body at once, for the requests whose bodies are empty or small (GET, DELETE)."""
        return b"".join([chunk async for chunk in self.chunks()])


def _error_event(request_id: int | str, message: str) -> bytes:
    error = {"jsonrpc": "2.0", "id": request_id, "error": {"code": types.INTERNAL_ERROR, "message": message}}
    return f"event: message\ndata: {json.dumps(error)}\n\n".encode()


def _error_answer(status: int, request_id: int | str | None, message: str) -> JSONResponse:
    error = {"jsonrpc": "2.0", "id": request_id, "error": {"code": types.INTERNAL_ERROR, "message": message}}
    return JSONResponse(error, status)


def _protocol_version(answer: httpx2.Response) -> str | None:
    """The version an initialize answer agreed on, from its JSON or its event stream."""
    text = answer.text
    if answer.headers.get("content-type", "").startswith("text/event-stream"):
        text = "".join(line[5:] for line in text.splitlines() if line.startswith("data:"))
    try:
        version = json.loads(text)["result"]["protocolVersion"]
    except (ValueError, KeyError, TypeError):
        return None
    return version if isinstance(version, str) else None


class TenantProxy:
    """Hands an authenticated request to its tenant's process and streams the answer back as it comes."""

    def __init__(self, tenants: Tenants) -> None:
        self._tenants = tenants

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        user = scope["user"]
        assert isinstance(user, AuthenticatedUser)  # RequireAuthMiddleware let nothing else through
        tenant = self._tenants.tenant(user.access_token.client_id)
        if scope["method"] == "GET":
            # An event stream carries notices for as long as the client likes; it is no request under way.
            await self._serve(tenant, scope, receive, send)
            return
        async with tenant.requests:
            await self._serve(tenant, scope, receive, send)

    async def _serve(self, tenant: Tenant, scope: Scope, receive: Receive, send: Send) -> None:
        headers = dict(scope["headers"])
        limit = self._tenants.http.max_body
        declared = headers.get(b"content-length", b"")
        if declared.isdigit() and int(declared) > limit:
            await json_error(413, "Request body too large")(scope, receive, send)
            return
        client_session = headers[SESSION_HEADER].decode("latin-1") if SESSION_HEADER in headers else None
        body = RequestBody(
            receive, limit, keep_opening=scope["method"] == "POST" and client_session is None
        )
        async with anyio.create_task_group() as group:

            async def end_when_client_leaves() -> None:
                await body.received.wait()
                while (await receive())["type"] != "http.disconnect":
                    pass
                group.cancel_scope.cancel()

            group.start_soon(end_when_client_leaves)
            await self._answer(tenant, body, client_session, scope, receive, send)
            group.cancel_scope.cancel()

    async def _answer(
        self, tenant: Tenant, body: RequestBody, client_session: str | None, scope: Scope, receive: Receive,
        send: Send,
    ) -> None:
        content: bytes | AsyncIterator[bytes]
        content = await body.whole() if scope["method"] in ("GET", "DELETE") else body.chunks()
        passed = [(name, value) for name, value in scope["headers"] if name not in _NOT_PASSED_ON]
        # A second try only for a request that never reached a process that had just ended.
        for attempt in (1, 2):
            try:
                process = await self._tenants.process_of(tenant)
                session = tenant.session(client_session)
                if session is not None:
                    await self._open_again(session, process, scope)
            except (TenantUnavailable, httpx2.TransportError) as exc:
                await json_error(503, f"Cannot serve this tenant now: {exc}")(scope, receive, send)
                return
            session_id = session.current_id if session is not None else client_session
            headers = passed + ([(SESSION_HEADER, session_id.encode("latin-1"))] if session_id else [])
            request = process.client.build_request(
                scope["method"], MCP_PATH, params=scope["query_string"].decode("latin-1"), headers=headers,
                content=content,
            )
            try:
                response = await process.client.send(request, stream=True)
            except _BodyRefused:
                if body.too_large:
                    await json_error(413, "Request body too large")(scope, receive, send)
                return
            except httpx2.TransportError as exc:
                resendable = isinstance(content, bytes) or not body.started
                if attempt == 1 and resendable and await process.ended(_ENDED_WAIT):
                    continue
                logger.warning("Cannot reach the process of tenant %s: %s", tenant.name, exc)
                message = ENDED if await process.ended(0.0) else "The tenant's server cannot be reached"
                await _error_answer(502, body.request_id.request_id, message)(scope, receive, send)
                return
            await self._relay(tenant, process, response, body, client_session, session, send)
            return

    async def _open_again(self, session: TenantSession, process: TenantProcess, scope: Scope) -> None:
        """Open `session` in `process` with the request that first opened it, if that process does not hold it."""
        async with session.lock:
            if session.generation == process.generation:
                return
            headers = {"content-type": "application/json", "accept": "application/json, text/event-stream"}
            opened = await process.client.post(MCP_PATH, content=session.opening, headers=headers)
            new_id = opened.headers.get("mcp-session-id")
            if opened.status_code >= 400 or not new_id:
                raise TenantUnavailable("the session could not be opened again; open a new one")
            headers["mcp-session-id"] = new_id
            version = dict(scope["headers"]).get(b"mcp-protocol-version", b"").decode("latin-1")
            version = version or _protocol_version(opened) or ""
            if version:
                headers["mcp-protocol-version"] = version
            notice = {"jsonrpc": "2.0", "method": "notifications/initialized"}
            await process.client.post(MCP_PATH, json=notice, headers=headers)
            session.current_id, session.generation = new_id, process.generation
            logger.info("Opened a session of tenant %s again in its new process", process.tenant)

    async def _relay(
        self, tenant: Tenant, process: TenantProcess, response: httpx2.Response, body: RequestBody,
        client_session: str | None, session: TenantSession | None, send: Send,
    ) -> None:
        try:
            status = response.status_code
            headers = [(name, value) for name, value in response.headers.raw if name.lower() not in _NOT_PASSED_BACK]
            opened = response.headers.get("mcp-session-id")
            if session is not None:
                assert client_session is not None
                # The client keeps the id it was first given, whichever process holds the session now.
                headers.append((SESSION_HEADER, client_session.encode("latin-1")))
                if status == 404 or (response.request.method == "DELETE" and status < 300):
                    tenant.sessions.pop(client_session, None)
            elif opened:
                headers.append((SESSION_HEADER, opened.encode("latin-1")))
                if client_session is None and status < 300 and body.opening is not None:
                    tenant.remember(opened, bytes(body.opening), process.generation)
            streaming = response.headers.get("content-type", "").startswith("text/event-stream")
            await send({"type": "http.response.start", "status": status, "headers": headers})
            try:
                async for chunk in response.aiter_raw():
                    await send({"type": "http.response.body", "body": chunk, "more_body": True})
            except httpx2.TransportError as exc:
                # Mid-stream the status is gone; an event can still say the request failed, and why.
                logger.warning("The process of tenant %s broke off an answer: %s", process.tenant, exc)
                request_id = body.request_id.request_id
                if streaming and request_id is not None:
                    message = ENDED if await process.ended(_ENDED_WAIT) else f"The tenant's answer broke off: {exc}"
                    await send({"type": "http.response.body", "body": _error_event(request_id, message),
                                "more_body": True})
            await send({"type": "http.response.body", "body": b"", "more_body": False})
        finally:
            # Also when the client left or the time ran out, so the connection goes back whole.
            with anyio.CancelScope(shield=True):
                await response.aclose()


def front_app(tokens: TokensFile, tenants: Tenants, http: HttpSettings, access: OperatorAccess) -> RequestGuard:
    verifier = TenantTokenVerifier(tokens)
    # Refused or not, a request without a valid token never reaches a tenant's process or store.
    endpoint = RequireAuthMiddleware(TenantProxy(tenants), [])
    guard = RequestGuard(http.request_timeout)
    # A tenant's token is no operator's: /metrics checks its own.
    metrics = metrics_route(lambda: tenants.metrics(guard), access)
    guard.app = Starlette(
        routes=[Route(MCP_PATH, endpoint, methods=["GET", "POST", "DELETE"]), guard.health_route(), metrics],
        middleware=[Middleware(AuthenticationMiddleware, backend=BearerAuthBackend(verifier))],
    )
    return guard


@asynccontextmanager
async def socket_folder() -> AsyncIterator[Path]:
    folder = Path(await asyncio.to_thread(tempfile.mkdtemp, prefix="tarvik-tenants-"))
    try:
        yield folder
    finally:
        await asyncio.to_thread(shutil.rmtree, folder, True)


async def _summary_of(settings: Settings) -> None:
    """The sandbox's summary, from a manager made as each tenant's is: the front itself runs no tool."""
    manager = settings.subprocess_manager()
    try:
        await log_sandbox_summary(manager)
    finally:
        await manager.aclose()


async def serve_tenants(settings: Settings, stop: asyncio.Event) -> None:
    """Serve every tenant of the tokens file on the settings' address until `stop` is set."""
    http = settings.http
    assert http is not None and http.tokens is not None
    tokens = await asyncio.to_thread(TokensFile, http.tokens)
    access = await asyncio.to_thread(OperatorAccess, settings.operator_tokens)
    listener = tcp_listener(http.host, http.port)
    data_dir = http.tenant_data_dir()
    await asyncio.to_thread(data_dir.mkdir, mode=0o700, parents=True, exist_ok=True)
    async with socket_folder() as sockets:
        tenants = Tenants(settings, sockets)
        what = f"to {len(tokens.tenants)} tenant(s) of {http.tokens}, each with its store under {data_dir}/TENANT"
        try:
            await serve_announced(
                front_app(tokens, tenants, http, access), listener, http, stop, what, _summary_of(settings)
            )
        finally:
            await tenants.aclose()

