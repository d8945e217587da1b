"""`tarvik serve`: run the MCP server over stdio, or over streamable HTTP for one store or many tenants."""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import signal
import sys
from pathlib import Path
from typing import Any

from tarvik.settings import Settings, add_options, is_loopback, settings_from, settings_from_json

EXAMPLES = """\
examples:
  tarvik serve
      serve tool_creator, and every tool saved by earlier runs as custom_<name>,
      to the MCP client that started this process
  tarvik serve --no-register-saved
      start with tool_creator alone; only tools created in this run are added
  HOME=/tmp/agent-home tarvik serve
      keep the agent's tools in /tmp/agent-home/.tarvik/custom_tools
  tarvik serve --memory 512M --max-processes 16 --require-sandbox
      smaller calls, and no tool at all where a wall of the sandbox is missing
  tarvik serve --allow-host api.example.com --tool-env API_KEY --packages requests
      tools may reach one host over HTTP(S), see $API_KEY, and declare requests
      (the same keys in ~/.tarvik/config.toml, or --config FILE)
  tarvik serve --isolation call --time-limit 20
      a fresh world for every call, and no call longer than 20 s (a client
      may cut a call sooner: openai-agents waits 5 s unless told otherwise)
  tarvik serve --http
      streamable HTTP at http://127.0.0.1:8765/mcp (GET /healthz beside it) for
      HOME's store: without tokens, loopback only
  tarvik serve --http 8767 --log-level INFO
      the same on 127.0.0.1:8767, saying more
  tarvik token add alice --tokens tokens.txt
  tarvik serve --http 0.0.0.0:8765 --tokens tokens.txt --data-dir /srv/tarvik
      many agents, each presenting its tenant's bearer token, each tenant with
      its own store in /srv/tarvik/TENANT and its own worker processes

A tool whose script declares its args (a module-level ARGS_SCHEMA = {...}
JSON-schema dict literal, or a TypedDict class annotating main's parameter)
is offered with that schema for args, and calls that do not match it are
refused before it runs, as a tool error. The client speaks JSON-RPC on stdin/stdout;
logs go to stderr only, with one record at start on the sandbox's walls (INFO when
all are up, else a WARNING naming what is missing; `tarvik sandbox` attacks each).
Over HTTP every tool call also logs one access line on stderr (tenant, tool,
outcome, milliseconds); SIGTERM lets the calls in flight finish, then stops."""


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "serve",
        help="offer the tools to MCP clients over stdio or streamable HTTP",
        description="Serve tool_creator, and every tool it creates, as an MCP server on stdin/stdout "
        "or, with --http, over streamable HTTP.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_options(parser, "sandbox", "tasks", "log", "serve", "http", "operator")
    # How the front of `--tokens` starts the process of one tenant; its settings come on stdin.
    parser.add_argument("--socket", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--tenant", help=argparse.SUPPRESS)
    parser.set_defaults(run=run, parser=parser)


def run(args: argparse.Namespace) -> int:
    if args.socket is not None:
        return run_tenant(args.tenant, args.socket)
    settings = settings_from(args)
    http = settings.http
    if http is None:
        for option in ("tokens", "data_dir"):
            if getattr(args, option) is not None:
                args.parser.error(f"--{option.replace('_', '-')} goes with --http")
        asyncio.run(serve_until_stopped(settings=settings))
        return 0
    if http.tokens is None and not is_loopback(http.host):
        args.parser.error(
            f"without --tokens, --http listens on loopback only (127.0.0.1, ::1 or localhost), not on {http.host}; "
            "add tenants with `tarvik token add` and pass --tokens FILE to serve other machines"
        )
    return asyncio.run(serve_http_until_stopped(settings))


def run_tenant(tenant: str, socket_path: Path) -> int:
    """One tenant's process: the front's settings, whole, on the first line of stdin; then serve."""
    from tarvik.server.http import configure_access_log, serve_tenant

    settings = settings_from_json(read_first_line(0), "the settings the front passed on")
    configure_access_log()
    asyncio.run(serve_tenant(settings, tenant, socket_path))
    return 0


def read_first_line(descriptor: int) -> str:
    """One line, read a byte at a time: what follows it (the end of input) is left for the server."""
    line = bytearray()
    while not line.endswith(b"\n"):
        byte = os.read(descriptor, 1)
        if not byte:
            break
        line += byte
    return line.decode("utf-8", "replace")


async def serve_http_until_stopped(settings: Settings) -> int:
    from tarvik.server.http import configure_access_log, serve_http, stop_on_signals
    from tarvik.server.tenants import serve_tenants
    from tarvik.tokens import TokensFileError

    assert settings.http is not None
    configure_access_log()
    stop = asyncio.Event()
    undo = stop_on_signals(stop)
    try:
        if settings.http.tokens is None:
            await serve_http(settings, stop)
        else:
            await serve_tenants(settings, stop)
    except (OSError, TokensFileError) as exc:
        print(f"tarvik: error: {exc}", file=sys.stderr)
        return 1
    finally:
        undo()
    return 0


STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT)


async def serve_until_stopped(*, settings: Settings) -> None:
    """Serve until the client leaves, or until SIGTERM or SIGINT.

    A signal cancels the server so the host closes its worker processes, and
    the process then ends at once with the usual 128 + signal status: waiting
    for the transport's blocked stdin reader would keep it alive until the
    client closes the pipe.
    """
    from tarvik.server import serve_stdio

    loop = asyncio.get_running_loop()
    serving = asyncio.current_task()
    assert serving is not None
    received: list[int] = []

    def stop(signum: int) -> None:
        received.append(signum)
        serving.cancel()

    def host_closed() -> None:
        if received:
            logging.shutdown()
            os._exit(128 + received[0])

    for signum in STOP_SIGNALS:
        loop.add_signal_handler(signum, stop, signum)
    try:
        await serve_stdio(
            register_saved=settings.register_saved, host_closed=host_closed, settings=settings
        )
    finally:
        for signum in STOP_SIGNALS:
            loop.remove_signal_handler(signum)
