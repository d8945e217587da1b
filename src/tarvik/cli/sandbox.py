"""`tarvik sandbox`: check every wall of the tool sandbox on this machine, live."""

from __future__ import annotations

import argparse
import asyncio
from typing import Any

from tarvik.settings import add_options, settings_from

EXAMPLES = """\
examples:
  tarvik sandbox
      one line per wall: held, or not held here, why, and how to get it
  tarvik sandbox --memory 512M
      the same, quoting the limits a host started with these options would have

Each wall is first set up by a real worker, then attacked by a tool that
runs like any agent-written tool: it signals its parent, reads the host's
files, reaches for the host's sockets and shared memory, writes outside its
scratch, escapes its namespaces and goes past its limits. The exit status
is 0 when every wall held, 1 otherwise. `tarvik serve` logs at start which
walls its workers have (one INFO record when all are up, a WARNING naming
those missing), and `--require-sandbox` refuses to run tools while one is
missing."""


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "sandbox",
        help="check every wall of the tool sandbox on this machine",
        description="Set up the tool sandbox in a real worker, attack each wall from inside, "
        "and say which held.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_options(parser, "sandbox")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from tarvik.sandbox_report.check import check_walls

    walls = asyncio.run(check_walls(settings_from(args)))
    for wall in walls:
        print(wall.line())
    return 0 if all(wall.held for wall in walls) else 1
