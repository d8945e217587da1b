"""`tarvik call`: one tool call from the shell, through the same host as the server."""

from __future__ import annotations

import argparse
import asyncio
import sys
from typing import Any

from tarvik.cli.arguments import ArgumentError, parse_arguments
from tarvik.host import ERROR_PREFIX, UnknownToolError, open_host

EXAMPLES = """\
examples:
  tarvik call tool_creator operation=list
  tarvik call tool_creator operation=create tool_name=shout description="Upper-case a text" \\
      code='def main(args): return {"success": True, "result": args["text"].upper()}'
  tarvik call tool_creator operation=run tool_name=shout 'args={"text": "hello"}'
  tarvik call tool_creator --json '{"operation": "info", "tool_name": "shout"}'
  tarvik call custom_shout --register-saved 'args={"text": "hello"}'

A key=value value is read as JSON when it is valid JSON (3, true, null,
[1, 2], {"a": 1}, "quoted text") and as plain text otherwise (hello world).
Quote it for the shell. The result text goes to stdout; the exit status is 1
when it starts with "[ERROR] " or the tool raised, 2 for a usage mistake."""


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "call",
        help="make one tool call from the shell",
        description="Call one tool of the host with the given arguments and print its result text.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("tool", metavar="TOOL", help="the tool's name, e.g. tool_creator or custom_<name>")
    parser.add_argument("pairs", metavar="key=value", nargs="*", help="one argument each")
    parser.add_argument("--json", metavar="ARGS", help="all arguments as one JSON object")
    parser.add_argument(
        "--register-saved",
        action="store_true",
        help="register the tools saved by earlier runs first, so custom_<name> can be called",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    try:
        arguments = parse_arguments(args.json, args.pairs)
    except ArgumentError as exc:
        print(f"tarvik call: error: {exc}", file=sys.stderr)
        return 2
    return asyncio.run(call_and_print(args.tool, arguments, register_saved=args.register_saved))


async def call_and_print(tool: str, arguments: dict[str, Any], *, register_saved: bool) -> int:
    async with open_host(register_saved=register_saved) as host:
        try:
            text = await host.call(tool, arguments)
        except UnknownToolError as exc:
            print(f"tarvik call: error: {exc}", file=sys.stderr)
            if tool.startswith("custom_") and not register_saved:
                print("(a tool saved earlier is only callable with --register-saved)", file=sys.stderr)
            return 2
        except Exception as exc:
            print(f"tarvik call: {tool} raised {type(exc).__name__}: {exc}", file=sys.stderr)
            return 1
    print(text)
    return 1 if text.startswith(ERROR_PREFIX) else 0
