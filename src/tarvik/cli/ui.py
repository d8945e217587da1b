"""`tarvik ui`: the operator's read-only page of the tools agents made, their calls, and the sandbox's walls."""

from __future__ import annotations

import argparse
import asyncio
import sys
from typing import Any

from tarvik.settings import Settings, add_options, is_loopback, settings_from

EXAMPLES = """\
examples:
  tarvik ui
      the tools of HOME's store, their code, their calls and the sandbox's
      walls, at http://127.0.0.1:8766/ for this machine alone
  tarvik ui --data-dir /srv/tarvik
      every tenant of `tarvik serve --http --tokens ... --data-dir /srv/tarvik`
  tarvik token add ops --tokens operators.txt
  tarvik ui --ui-address 0.0.0.0:8766 --operator-tokens operators.txt
      also for other machines, each request with "Authorization: Bearer TOKEN"
  ssh -L 8766:127.0.0.1:8766 server
      or reach a server's page from your own machine, as loopback

The page only reads: the store's files, and the call log beside it
(~/.tarvik/calls.db, one row per call of a custom tool and per tool_creator
operation, kept 30 days; `serve --call-log-days`, `--no-call-log`). Requests
from this machine's loopback need no token; any other, or one through a
proxy (a Forwarded or X-Forwarded-For header), needs an operator's token.
`tarvik serve --http` answers /metrics under the same rule."""


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "ui",
        help="a read-only web page of the tools agents made, their calls and the sandbox's walls",
        description="Serve a read-only web page of the tools agents made: their code, schema and "
        "packages, their recent calls with outcome, duration and errors, a chart of calls and p50/p99 "
        "over time for each, and the sandbox's walls as `tarvik sandbox` reports them.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_options(parser, "operator", "ui", also={
        "data-dir": "show every tenant of `tarvik serve --http --tokens` whose stores are under DIR/TENANT "
        "(default: HOME's store alone)",
    })
    parser.set_defaults(run=run, parser=parser)


def run(args: argparse.Namespace) -> int:
    settings = settings_from(args)
    if not is_loopback(settings.ui.host) and settings.operator_tokens is None:
        args.parser.error(
            f"without --operator-tokens the page listens on loopback only (127.0.0.1, ::1 or localhost), not on "
            f"{settings.ui.host}; make a token with `tarvik token add NAME --tokens FILE` and pass "
            "--operator-tokens FILE"
        )
    return asyncio.run(serve_ui(settings))


async def serve_ui(settings: Settings) -> int:
    from tarvik.server.connections import ConnectionLimits, connection_cap
    from tarvik.server.http import (
        RequestGuard,
        run_until_stopped,
        stop_on_signals,
        tcp_listener,
    )
    from tarvik.server.operator import OperatorAccess
    from tarvik.tokens import TokensFileError
    from tarvik.ui.app import WallsCheck, ui_app

    ui = settings.ui
    try:
        access = await asyncio.to_thread(OperatorAccess, settings.operator_tokens)
        listener = tcp_listener(ui.host, ui.port)
    except (OSError, TokensFileError) as exc:
        print(f"tarvik: error: {exc}", file=sys.stderr)
        return 1
    walls = WallsCheck(settings)
    guard = RequestGuard(request_timeout=30.0)
    guard.app = ui_app(settings, access, walls)
    shown = f"http://[{ui.host}]:{listener.getsockname()[1]}/" if ":" in ui.host else (
        f"http://{ui.host}:{listener.getsockname()[1]}/")
    whose = f"every tenant under {ui.data_dir}" if ui.data_dir is not None else "HOME's store"
    print(f"tarvik: the operator's view of {whose} at {shown}", file=sys.stderr, flush=True)
    stop = asyncio.Event()
    undo = stop_on_signals(stop)
    checking = asyncio.ensure_future(walls.run())
    try:
        await run_until_stopped(guard, listener, 2.0, stop, ConnectionLimits(10.0, connection_cap(256)))
    finally:
        checking.cancel()
        undo()
    return 0
