"""`tarvik ui`: a read-only page of the tools agents made, their code, their calls, and the sandbox's walls.

Plain HTML from Jinja2 templates, code highlighted by Pygments, charts drawn
as SVG on the server; no script runs in the browser (the page's content
security policy allows none). The store and its call log are read in a
thread, never on the event loop, and never written. Who may see it is
`OperatorAccess`'s to decide: this machine's loopback, or an operator's
bearer token.
"""

from __future__ import annotations

import asyncio
import logging
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from jinja2 import Environment, FileSystemLoader, select_autoescape
from markupsafe import Markup
from pygments import highlight
from pygments.formatters import HtmlFormatter
from pygments.lexers import PythonLexer
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import HTMLResponse, Response
from starlette.routing import Route
from starlette.types import ASGIApp, Receive, Scope, Send

from tarvik.sandbox_report.check import Wall, check_walls
from tarvik.server.operator import OperatorAccess
from tarvik.settings import Settings
from tarvik.ui import stores
from tarvik.ui.chart import calls_chart

logger = logging.getLogger("tarvik.ui")

_TEMPLATES = Path(__file__).resolve().parent / "templates"
# Nothing but the page's own inline styles and the SVG it carries: no script, no frame, nothing fetched.
_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; style-src 'unsafe-inline'; img-src data:; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}
_FORMATTER = HtmlFormatter(linenos="table", cssclass="code", wrapcode=True)


@dataclass
class WallsCheck:
    """`tarvik sandbox`'s check of every wall, made once when the page starts and shown when it is done."""

    settings: Settings
    walls: list[Wall] | None = None
    problem: str | None = None
    checked: float | None = None
    done: asyncio.Event = field(default_factory=asyncio.Event)

    async def run(self) -> None:
        try:
            self.walls = await check_walls(self.settings)
        except Exception as error:
            logger.exception("The sandbox's walls could not be checked")
            self.problem = f"{type(error).__name__}: {error}"
        self.checked = time.time()
        self.done.set()


def _when(at: float | None) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(at)) if at else "\u2013"


def _ms(seconds: float | None) -> str:
    if seconds is None:
        return "\u2013"
    milliseconds = seconds * 1000
    return f"{milliseconds:.0f}" if milliseconds >= 100 else f"{milliseconds:.1f}" if milliseconds >= 1 else (
        f"{milliseconds:.2f}")


def templates() -> Environment:
    environment = Environment(loader=FileSystemLoader(_TEMPLATES), autoescape=select_autoescape(default=True))
    environment.filters.update(when=_when, ms=_ms, short=lambda digest: (digest or "\u2013")[:12])
    environment.globals["code_style"] = Markup(_FORMATTER.get_style_defs(".code"))  # type: ignore[no-untyped-call]
    return environment


class OperatorGate:
    """Every request of the page goes through `OperatorAccess` first."""

    def __init__(self, app: ASGIApp, access: OperatorAccess) -> None:
        self._app = app
        self._access = access

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            refused = await self._access.refusal(scope)
            if refused is not None:
                await refused(scope, receive, send)
                return
        await self._app(scope, receive, send)


class Pages:
    """The page's routes over the stores of one HOME, or of every tenant under a data folder."""

    def __init__(self, data_dir: Path | None, walls: WallsCheck) -> None:
        self._data_dir = data_dir
        self._walls = walls
        self._templates = templates()

    def routes(self) -> list[Route]:
        routes = [Route("/", self.index)]
        if self._data_dir is None:
            routes.append(Route("/tools/{tool}", self.tool))
        else:
            routes += [Route("/tenants/{tenant}", self.store), Route("/tenants/{tenant}/tools/{tool}", self.tool)]
        return routes

    async def _page(self, render: Callable[[], str | None]) -> Response:
        page = await asyncio.to_thread(render)
        if page is None:
            return HTMLResponse(self._render("missing.html"), 404, headers=_HEADERS)
        return HTMLResponse(page, headers=_HEADERS)

    def _render(self, template: str, **values: Any) -> str:
        return self._templates.get_template(template).render(
            walls=self._walls, tenants_mode=self._data_dir is not None, **values
        )

    async def index(self, request: Request) -> Response:
        if self._data_dir is None:
            return await self._page(lambda: self._store_page(stores.Store(None, Path.home())))
        return await self._page(self._tenants_page)

    async def store(self, request: Request) -> Response:
        tenant = request.path_params["tenant"]
        return await self._page(lambda: self._found_store_page(tenant))

    async def tool(self, request: Request) -> Response:
        tenant, name = request.path_params.get("tenant"), request.path_params["tool"]
        return await self._page(lambda: self._tool_page(tenant, name))

    # --- in a thread ---------------------------------------------------------------

    def _tenants_page(self) -> str:
        rows = []
        since = stores.day_ago()
        for store in stores.stores(self._data_dir):
            with stores.call_log(store) as log:
                rows.append((store, len(stores.tool_names(store)), stores.summary(log, None, since)))
        return self._render("tenants.html", data_dir=self._data_dir, rows=rows)

    def _found_store_page(self, tenant: str) -> str | None:
        store = stores.find_store(self._data_dir, tenant)
        return self._store_page(store) if store is not None else None

    def _store_page(self, store: stores.Store) -> str:
        with stores.call_log(store) as log:
            tools = [tool for name in stores.tool_names(store) if (tool := stores.read_tool(store, name, log))]
            recent = stores.recent_calls(log, None, 30)
            logged = log is not None
        return self._render("store.html", store=store, tools=tools, recent=recent, logged=logged)

    def _tool_page(self, tenant: str | None, name: str) -> str | None:
        store = stores.find_store(self._data_dir, tenant)
        if store is None:
            return None
        with stores.call_log(store) as log:
            tool = stores.read_tool(store, name, log, with_code=True)
            if tool is None:
                return None
            recent = stores.recent_calls(log, name)
            chart = calls_chart(tool.registered_as, stores.call_times(log, name))
        code = Markup(highlight(tool.code or "", PythonLexer(), _FORMATTER))
        return self._render("tool.html", store=store, tool=tool, code=code, recent=recent, chart=Markup(chart))


def ui_app(settings: Settings, access: OperatorAccess, walls: WallsCheck) -> ASGIApp:
    pages = Pages(settings.ui.data_dir, walls)
    return OperatorGate(Starlette(routes=pages.routes()), access)
