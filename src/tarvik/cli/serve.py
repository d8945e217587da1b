"""`tarvik serve`: run the MCP server over stdio."""

from __future__ import annotations

import argparse
import asyncio
from typing import Any

EXAMPLES = """\
examples:
  tarvik serve
      serve tool_creator to the MCP client that started this process
  tarvik serve --register-saved
      also offer every tool saved by earlier runs, as custom_<name>
  HOME=/tmp/agent-home tarvik serve
      keep the agent's tools in /tmp/agent-home/.tarvik/custom_tools

The client speaks JSON-RPC on stdin/stdout; logs go to stderr only."""


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
        action="store_true",
        help="register every tool saved in ~/.tarvik/custom_tools at start (by default only new ones are)",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from tarvik.server import serve_stdio

    asyncio.run(serve_stdio(register_saved=args.register_saved))
    return 0
