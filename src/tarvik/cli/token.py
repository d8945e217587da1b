"""`tarvik token add`: a new tenant, or a new token for one, in the tokens file of `tarvik serve --http`; or an
operator's token, for /metrics and `tarvik ui`, in a file of the same form."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from tarvik.tokens import TokensFileError, add_token

EXAMPLES = """\
examples:
  tarvik token add alice --tokens tokens.txt
      a new token for tenant alice; the file gets its SHA-256, created
      readable by you alone, and the token itself is printed once, on the
      last line of stdout, and kept nowhere
  TOKEN=$(tarvik token add alice --tokens tokens.txt)
      the same, with the token in a shell variable
  tarvik serve --http 0.0.0.0:8765 --tokens tokens.txt
      serve every tenant of the file; alice's agents send
      "Authorization: Bearer $TOKEN" and reach alice's store alone
  tarvik token add ops --tokens operators.txt
      an operator's token, in a file of its own: with --operator-tokens
      operators.txt, /metrics and `tarvik ui` answer other machines that send it

Adding a token to a tenant that has one gives it a second (one per agent,
or while changing tokens); deleting a line of the file takes that token back.
A running server reads the file again within a second or so; while the file
is malformed, missing, gives one token to two tenants or can be changed by
anyone but you (or root), it refuses every token."""


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "token",
        help="add tenants and their bearer tokens for `serve --http --tokens`",
        description="Manage the tokens file of `tarvik serve --http --tokens FILE`.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    actions = parser.add_subparsers(dest="action", metavar="ACTION", required=True)
    add = actions.add_parser(
        "add",
        help="make a new random token for a tenant",
        description="Make a new random token for tenant NAME and append its SHA-256 to FILE.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add.add_argument("name", metavar="NAME", help="the tenant: 1 to 64 characters of A-Z a-z 0-9 _ . -")
    add.add_argument("--tokens", type=Path, metavar="FILE", required=True, help="the tokens file (created 0600)")
    add.set_defaults(run=run_add)


def run_add(args: argparse.Namespace) -> int:
    try:
        token = add_token(args.tokens, args.name)
    except (ValueError, OSError) as exc:
        print(f"tarvik token: error: {exc}", file=sys.stderr)
        return 2 if isinstance(exc, ValueError) and not isinstance(exc, TokensFileError) else 1
    print(
        f"Added a token for tenant {args.name} to {args.tokens}. It is shown only now; the file keeps its SHA-256:",
        file=sys.stderr,
    )
    print(token)
    return 0
