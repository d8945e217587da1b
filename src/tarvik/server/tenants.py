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
"""

from __future__ import annotations

import asyncio
import logging
import os
import shutil
import sys
import tempfile
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from pathlib import Path

import anyio
import httpx2
from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser, BearerAuthBackend, RequireAuthMiddleware
from mcp.server.auth.provider import AccessToken
from mcp.server.transport_security import RequestBodyLimitMiddleware
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.authentication import AuthenticationMiddleware
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

from tarvik.http_settings import HttpSettings
from tarvik.server.http import MCP_PATH, RequestGuard, json_error, serve_announced, tcp_listener
from tarvik.settings import Settings
from tarvik.tokens import TokensFile

logger = logging.getLogger("tarvik.server")

# A tenant's process imports the host and prepares its workers before it answers.
_START_TIMEOUT = 120.0
# Hop-by-hop headers, and those the front alone speaks for.
_NOT_PASSED_ON = frozenset(
    {b"authorization", b"connection", b"content-length", b"host", b"keep-alive", b"proxy-authorization",
     b"te", b"trailer", b"transfer-encoding", b"upgrade"}
)


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
    """A tenant's process could not be started."""


def settings_arguments(settings: Settings, http: HttpSettings) -> list[str]:
    """The command-line options that give a tenant's process the operator's settings.

    All of them, and no config file: a tenant's HOME is its own, and what
    the operator chose must not depend on what lies there.
    """
    return [
        *settings.as_arguments(), "--max-body", str(http.max_body),
        "--request-timeout", str(http.request_timeout), "--shutdown-grace", str(http.shutdown_grace),
        "--calls-per-tenant", str(http.calls_per_tenant), "--sessions-per-tenant", str(http.sessions_per_tenant),
    ]


class TenantProcess:
    """One tenant's `tarvik serve` on a unix socket, and the HTTP client that reaches it."""

    def __init__(self, tenant: str, home: Path, socket_path: Path, command: list[str]) -> None:
        self.tenant = tenant
        self._home = home
        self._socket_path = socket_path
        self._command = command
        self._process: asyncio.subprocess.Process | None = None
        self._output: asyncio.Task[None] | None = None
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

    async def start(self) -> None:
        await asyncio.to_thread(self._home.mkdir, mode=0o700, parents=True, exist_ok=True)
        self._socket_path.unlink(missing_ok=True)
        self._process = await asyncio.create_subprocess_exec(
            *self._command,
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            env={**os.environ, "HOME": str(self._home)},
        )
        assert self._process.stdout is not None
        try:
            line = await asyncio.wait_for(self._process.stdout.readline(), _START_TIMEOUT)
        except TimeoutError:
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


class Tenants:
    """The tenants' processes, each started on its tenant's first request and again should it have died."""

    def __init__(self, settings: Settings, http: HttpSettings, sockets: Path) -> None:
        self._settings = settings
        self._http = http
        self._sockets = sockets
        self._processes: dict[str, TenantProcess] = {}
        self._locks: dict[str, asyncio.Lock] = {}
        self.stopping = False

    def _command(self, tenant: str, socket_path: Path) -> list[str]:
        level = logging.getLevelName(logging.getLogger().getEffectiveLevel())
        return [
            sys.executable, "-m", "tarvik.cli.main", "--log-level", str(level), "serve",
            "--socket", str(socket_path), "--tenant", tenant, *settings_arguments(self._settings, self._http),
        ]

    async def process_of(self, tenant: str) -> TenantProcess:
        async with self._locks.setdefault(tenant, asyncio.Lock()):
            if self.stopping:
                raise TenantUnavailable("the server is shutting down")
            process = self._processes.get(tenant)
            if process is not None and process.running:
                return process
            if process is not None:
                logger.warning("The process of tenant %s had ended; starting it again", tenant)
                await process.stop(0.0)
            socket_path = self._sockets / f"{tenant}.sock"
            home = self._http.tenant_data_dir() / tenant
            process = TenantProcess(tenant, home, socket_path, self._command(tenant, socket_path))
            self._processes[tenant] = process
            await process.start()
            return process

    async def aclose(self) -> None:
        self.stopping = True
        await asyncio.gather(*(process.stop(self._http.shutdown_grace) for process in self._processes.values()))


class TenantProxy:
    """Hands an authenticated request to its tenant's process and streams the answer back as it comes."""

    def __init__(self, tenants: Tenants) -> None:
        self._tenants = tenants

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        user = scope["user"]
        assert isinstance(user, AuthenticatedUser)  # RequireAuthMiddleware let nothing else through
        try:
            process = await self._tenants.process_of(user.access_token.client_id)
        except TenantUnavailable as exc:
            await json_error(503, f"Cannot serve this tenant now: {exc}")(scope, receive, send)
            return
        body = bytearray()
        while True:
            message = await receive()
            if message["type"] != "http.request":
                return  # the client left
            body += message.get("body", b"")
            if not message.get("more_body"):
                break
        headers = [(name, value) for name, value in scope["headers"] if name not in _NOT_PASSED_ON]
        request = process.client.build_request(
            scope["method"], MCP_PATH, params=scope["query_string"].decode("latin-1"), headers=headers,
            content=bytes(body),
        )
        async with anyio.create_task_group() as group:

            async def end_when_client_leaves() -> None:
                while (await receive())["type"] != "http.disconnect":
                    pass
                group.cancel_scope.cancel()

            group.start_soon(end_when_client_leaves)
            await self._relay(process, request, scope, receive, send)
            group.cancel_scope.cancel()

    async def _relay(
        self, process: TenantProcess, request: httpx2.Request, scope: Scope, receive: Receive, send: Send
    ) -> None:
        try:
            response = await process.client.send(request, stream=True)
        except httpx2.TransportError as exc:
            logger.warning("Cannot reach the process of tenant %s: %s", process.tenant, exc)
            await json_error(502, "The tenant's server cannot be reached")(scope, receive, send)
            return
        try:
            headers = [(name, value) for name, value in response.headers.raw if name.lower() not in _NOT_PASSED_ON]
            await send({"type": "http.response.start", "status": response.status_code, "headers": headers})
            async for chunk in response.aiter_raw():
                await send({"type": "http.response.body", "body": chunk, "more_body": True})
            await send({"type": "http.response.body", "body": b"", "more_body": False})
        except httpx2.TransportError as exc:
            # Mid-stream the status is gone: ending the body is all that is left to say.
            logger.warning("The process of tenant %s broke off an answer: %s", process.tenant, exc)
            await send({"type": "http.response.body", "body": b"", "more_body": False})
        finally:
            # Also when the client left or the time ran out, so the connection goes back whole.
            with anyio.CancelScope(shield=True):
                await response.aclose()


def front_app(tokens: TokensFile, tenants: Tenants, http: HttpSettings) -> RequestGuard:
    verifier = TenantTokenVerifier(tokens)
    # Refused or not, a request without a valid token never reaches a tenant's process or store.
    endpoint = RequireAuthMiddleware(RequestBodyLimitMiddleware(TenantProxy(tenants), http.max_body), [])
    guard = RequestGuard(http.request_timeout)
    guard.app = Starlette(
        routes=[Route(MCP_PATH, endpoint, methods=["GET", "POST", "DELETE"]), guard.health_route()],
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


async def serve_tenants(settings: Settings, http: HttpSettings, stop: asyncio.Event) -> None:
    """Serve every tenant of the tokens file on `http`'s address until `stop` is set."""
    assert http.tokens is not None
    tokens = await asyncio.to_thread(TokensFile, http.tokens)
    if (await asyncio.to_thread(http.tokens.stat)).st_mode & 0o022:
        logger.warning("Others can write to %s: they could add tenants of their own (chmod 600 it)", http.tokens)
    listener = tcp_listener(http.host, http.port)
    data_dir = http.tenant_data_dir()
    await asyncio.to_thread(data_dir.mkdir, mode=0o700, parents=True, exist_ok=True)
    async with socket_folder() as sockets:
        tenants = Tenants(settings, http, sockets)
        what = f"to {len(tokens.tenants)} tenant(s) of {http.tokens}, each with its store under {data_dir}/TENANT"
        try:
            await serve_announced(front_app(tokens, tenants, http), listener, settings, http, stop, what)
        finally:
            await tenants.aclose()
