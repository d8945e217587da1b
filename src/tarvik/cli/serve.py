"""`tarvik serve`: run the MCP server over stdio."""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import signal
from typing import Any

from tarvik.settings import Settings, add_sandbox_options, settings_from

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

A tool whose script declares its args (a module-level ARGS_SCHEMA = {...}
JSON-schema dict literal, or a TypedDict class annotating main's parameter)
is offered with that schema for args, and calls that do not match it are
refused (-32602) before it runs. The client speaks JSON-RPC on stdin/stdout;
logs go to stderr only, the sandbox's walls among them, one line each, at start."""


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "serve",
        help="offer the tools to an MCP client over stdio",
        description="Serve tool_creator, and every tool it creates, as an MCP server on stdin/stdout.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--register-saved",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="offer every tool saved in ~/.tarvik/custom_tools at start (default: on)",
    )
    add_sandbox_options(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    asyncio.run(serve_until_stopped(settings=settings_from(args)))
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
