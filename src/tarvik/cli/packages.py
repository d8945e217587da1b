"""`tarvik packages`: the environments the host installed for the packages tools declare."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from tarvik.core.packages import PackageError, describe_tool, packages_root, prune
from tarvik.store import find_saved_tools, saved_script, store_root

EXAMPLES = """\
examples:
  tarvik packages show weather
      the packages the saved tool weather declares, and the environment installed for them
  tarvik packages prune
      remove every cached environment that no saved tool declares any more

A script declares its packages in a block at its top, which the host
installs with uv (wheels only) when the tool is created and binds read-only
into each run:

  # /// script
  # dependencies = ["python-dateutil>=2.9"]
  # ///

Environments live in ~/.tarvik/packages; tools with the same resolved set
share one. `tarvik serve --packages refuse` (or a list of names) limits what
scripts may declare."""


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "packages",
        help="show a tool's package environment, or remove unused ones",
        description="Show the packages a saved tool declares and the environment installed for "
        "them, or remove the cached environments no saved tool uses.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    actions = parser.add_subparsers(dest="action", metavar="ACTION", required=True)
    show = actions.add_parser("show", help="a saved tool's packages and their environment")
    show.add_argument("tool_name", metavar="NAME", help="the tool's name, as tool_creator knows it")
    actions.add_parser("prune", help="remove the environments no saved tool uses")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.action == "prune":
        pruned = prune(Path(tool.script_path) for tool in find_saved_tools(store_root()))
        for folder in pruned.removed:
            print(f"removed {folder}")
        for folder, why in pruned.failed:
            print(f"tarvik packages: error: cannot remove {folder}: {why}", file=sys.stderr)
        print(f"{len(pruned.removed)} unused environment(s) removed from {packages_root() / 'envs'}"
              + (f"; {len(pruned.failed)} could not be removed" if pruned.failed else ""))
        return 1 if pruned.failed else 0
    script = saved_script(store_root(), args.tool_name)
    if script is None or not script.is_file():
        print(f"tarvik packages: error: no saved tool {args.tool_name!r} in {store_root()}",
              file=sys.stderr)
        return 2
    try:
        environment = describe_tool(script, sys.executable)
    except PackageError as exc:
        print(f"tarvik packages: error: {exc}", file=sys.stderr)
        return 1
    if not environment.requirements:
        print(f"{args.tool_name} declares no packages")
        return 0
    print(f"{args.tool_name} declares: {', '.join(environment.requirements)}")
    if environment.folder is None:
        print("environment: not installed yet (it is installed when the tool is next checked or run)")
        return 0
    print(f"environment: {environment.folder}")
    for installed in environment.installed:
        print(f"  {installed}")
    return 0
