"""`tarvik call`: one tool call from the shell, through the same host as the server."""

from __future__ import annotations

import argparse
import asyncio
import sys
from typing import Any

from tarvik.cli.arguments import ArgumentError, parse_arguments
from tarvik.host import InvalidArgumentsError, UnknownToolError, open_host, store_root
from tarvik.settings import Settings, add_sandbox_options, settings_from

EXAMPLES = """\
examples:
  tarvik call tool_creator operation=create tool_name=shout description="Upper-case a text" \\
      code='def main(args): return {"success": True, "result": args["text"].upper()}'
  tarvik call tool_creator operation=list
  tarvik call tool_creator operation=run tool_name=shout 'args={"text": "hello"}'
  tarvik call tool_creator --json '{"operation": "info", "tool_name": "shout"}'
  tarvik call custom_shout 'args={"text": "hello"}'

A key=value value is read as JSON when it is valid JSON (3, true, null,
[1, 2], {"a": 1}, "quoted text") and as plain text otherwise (hello world);
one that starts with { or [ must be valid JSON. Quote it for the shell.
Arguments a tool does not take, and an args that does not match the tool's
schema, are refused before anything runs.

Typed tools: a script that declares its args, with a module-level
ARGS_SCHEMA = {...} JSON-schema dict literal or a TypedDict class annotating
main's parameter (def main(args: ShoutArgs) -> dict), has them checked here
and offered to MCP clients as the schema of args.

The result text goes to stdout, what the tool printed to stderr; the exit
status is 1 when the result starts with "[ERROR] " (a script whose main
returned {"success": false, ...}, or no dict with "success" and "result",
included) or the tool raised, 2 for a usage mistake."""

_NOT_FOUND = ("[ERROR] Tool not found: ", "[ERROR] Tool script not found: ")


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
        action=argparse.BooleanOptionalAction,
        default=None,
        help="offer the tools saved by earlier runs as custom_<name> (default: on)",
    )
    add_sandbox_options(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    try:
        arguments = parse_arguments(args.json, args.pairs)
    except ArgumentError as exc:
        print(f"tarvik call: error: {exc}", file=sys.stderr)
        return 2
    settings = settings_from(args)
    return asyncio.run(call_and_print(args.tool, arguments, settings=settings))


async def call_and_print(tool: str, arguments: dict[str, Any], *, settings: Settings) -> int:
    register_saved = settings.register_saved
    async with open_host(settings=settings) as host:
        try:
            outcome = await host.calls.call(tool, arguments)
        except UnknownToolError as exc:
            print(f"tarvik call: error: {exc}", file=sys.stderr)
            if tool.startswith("custom_"):
                print(unknown_custom_tool_hint(tool, register_saved), file=sys.stderr)
            return 2
        except InvalidArgumentsError as exc:
            print(f"tarvik call: error: {exc}", file=sys.stderr)
            return 2
        except Exception as exc:  # noqa: BLE001 - a tool's failure is the command's answer
            print(f"tarvik call: {tool} raised {type(exc).__name__}: {exc}", file=sys.stderr)
            return 1
    if outcome.printed:
        sys.stderr.write(outcome.printed if outcome.printed.endswith("\n") else outcome.printed + "\n")
    print(outcome.text)
    for note in outcome.notes:
        print(f"({note})", file=sys.stderr)
    if outcome.text.startswith(_NOT_FOUND):
        print("(tarvik call tool_creator operation=list shows the saved tools)", file=sys.stderr)
    return 1 if outcome.is_error else 0


def unknown_custom_tool_hint(tool: str, register_saved: bool) -> str:
    if not register_saved:
        return "(saved tools are offered only without --no-register-saved)"
    return (
        f"(no tool {tool.removeprefix('custom_')!r} is saved in {store_root()} under a usable name; "
        "tarvik call tool_creator operation=list shows the saved tools)"
    )
