"""Entry point of the `tarvik` command: parses the command line and runs one subcommand."""

from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
from collections.abc import Sequence

from tarvik import __version__
from tarvik.cli import call, demo, packages, sandbox, serve, token, ui
from tarvik.host import HostUnavailable
from tarvik.settings import SettingsError

DESCRIPTION = "Let an AI agent write, check, save and call its own tools."

EXAMPLES = """\
examples:
  tarvik demo                                   see an agent create, use and delete a tool
  tarvik serve                                  be the MCP server of a client (stdio)
  tarvik serve --http                           the same over streamable HTTP, on 127.0.0.1:8765
  tarvik token add alice --tokens tokens.txt    a tenant for `serve --http --tokens tokens.txt`
  tarvik call tool_creator operation=list       one call from the shell
  tarvik sandbox                                check every wall of the tool sandbox here
  tarvik packages show NAME                     the packages a saved tool declares, as installed
  tarvik ui                                     a web page of the tools agents made and their calls

A tool's script may declare its args, as a module-level ARGS_SCHEMA = {...}
JSON-schema dict literal or as a TypedDict class annotating main's parameter;
they are then offered to the model and checked before the tool runs.
Run `tarvik COMMAND --help` for each command's examples."""


LOG_LEVELS = ["DEBUG", "INFO", "WARNING", "ERROR"]
LOG_LEVEL_HELP = "how much to log on stderr (default: WARNING, and the sandbox's summary at start)"


def _take_log_level_everywhere(parser: argparse.ArgumentParser) -> None:
    """--log-level after a command too (`tarvik serve --log-level INFO`): given there, it wins."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for command in action.choices.values():
                command.add_argument(
                    "--log-level", default=argparse.SUPPRESS, choices=LOG_LEVELS, help=LOG_LEVEL_HELP
                )
                _take_log_level_everywhere(command)


def configure_logging(level: str | None) -> None:
    """Records go to stderr: stdout belongs to results (and, under `serve`, to the protocol).

    Without a level named, WARNING and worse, and the sandbox's summary at
    start, which is an INFO record when every wall is up.
    """
    logging.basicConfig(
        stream=sys.stderr, level=level or "WARNING", format="%(asctime)s %(levelname)s %(name)s: %(message)s"
    )
    if level is None:
        logging.getLogger("tarvik.sandbox").setLevel(logging.INFO)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarvik",
        description=DESCRIPTION,
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"tarvik {__version__}")
    parser.add_argument("--log-level", default=None, choices=LOG_LEVELS, help=LOG_LEVEL_HELP)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in (serve, call, demo, sandbox, packages, token, ui):
        command.add_parser(commands)
    _take_log_level_everywhere(parser)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:
        # argparse cannot match key=value words that follow an option once the
        # positionals were taken (`call TOOL --register-saved a=1`); hand them
        # to a command that takes such words, refuse anything else.
        if not hasattr(args, "pairs") or any(word.startswith("-") for word in extra):
            parser.error(f"unrecognized arguments: {' '.join(extra)}")
        args.pairs = [*args.pairs, *extra]
    configure_logging(args.log_level)
    try:
        status: int = args.run(args)
    except HostUnavailable as exc:
        print(f"tarvik: error: {exc}", file=sys.stderr)
        return 1
    except SettingsError as exc:
        print(f"tarvik: error: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader of our output left (`tarvik call ... | head`): end as a process that
        # SIGPIPE ended would, without a traceback, and without a second error at exit's flush.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + int(signal.SIGPIPE)
    return status


if __name__ == "__main__":
    sys.exit(main())
