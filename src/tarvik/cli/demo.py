"""`tarvik demo`: a guided walk through the life of one agent-written tool."""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import shlex
import sys
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tarvik.host import ERROR_PREFIX, Host, open_host

EXAMPLES = """\
examples:
  tarvik demo
      run in a temporary home folder that is removed afterwards
  tarvik demo --home ./demo-home
      keep the store, and the tool the demo made, in ./demo-home/.tarvik/custom_tools
      to look at and call later (the last step, delete, is then left to you)

Each step prints the tool call the agent makes and the answer it gets back."""

TOOL_NAME = "word_stats"

TOOL_CODE = """\
def main(args: dict) -> dict:
    text = str(args.get("text", ""))
    words = text.split()
    longest = max(words, key=len, default="")
    return {"success": True, "result": {"words": len(words), "characters": len(text), "longest": longest}}
"""


@dataclass(frozen=True, slots=True)
class Step:
    why: str
    tool: str
    arguments: dict[str, Any]


DELETE = Step(
    "It deletes the tool: the files go and so does the registration.",
    "tool_creator",
    {"operation": "delete", "tool_name": TOOL_NAME},
)

STEPS = (
    Step(
        "The agent writes a tool; it is checked in a worker, saved and registered.",
        "tool_creator",
        {
            "operation": "create",
            "tool_name": TOOL_NAME,
            "description": "Count the words and characters of a text.",
            "code": TOOL_CODE,
        },
    ),
    Step("It lists the tools it has saved.", "tool_creator", {"operation": "list"}),
    Step("It looks at one of them.", "tool_creator", {"operation": "info", "tool_name": TOOL_NAME}),
    Step(
        "It runs the saved script directly.",
        "tool_creator",
        {"operation": "run", "tool_name": TOOL_NAME, "args": {"text": "tools that write tools"}},
    ),
    Step(
        "It calls the new tool by its registered name, like any other tool.",
        f"custom_{TOOL_NAME}",
        {"args": {"text": "an agent that extends itself"}},
    ),
    DELETE,
)


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "demo",
        help="walk through create, list, info, run, call and delete",
        description="Show, call by call, how an agent creates, uses and deletes a tool of its own.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--home", type=Path, help="home folder for the tool store, kept with the tool in it (default: a temporary one)"
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.home is not None:
        args.home.mkdir(parents=True, exist_ok=True)
        with home_folder(args.home.resolve()):
            return asyncio.run(walk(keep_tool=True))
    with tempfile.TemporaryDirectory(prefix="tarvik-demo-") as temporary, home_folder(Path(temporary)):
        return asyncio.run(walk(keep_tool=False))


@contextmanager
def home_folder(home: Path) -> Iterator[None]:
    """Point HOME, and so the tool store, at `home` for the duration."""
    previous = os.environ.get("HOME")
    os.environ["HOME"] = str(home)
    try:
        yield
    finally:
        if previous is None:
            del os.environ["HOME"]
        else:
            os.environ["HOME"] = previous


async def walk(*, keep_tool: bool) -> int:
    store = Path.home() / ".tarvik" / "custom_tools"
    print(f"tarvik demo: tools are stored in {store}")
    steps = [step for step in STEPS if not (keep_tool and step is DELETE)]
    failures = 0
    async with open_host() as host:
        print(f"registered tools: {', '.join(host.registry.names())}")
        for number, step in enumerate(steps, start=1):
            failures += await show_step(host, f"{number}/{len(steps)}", step)
    print()
    if keep_tool:
        command = f"HOME={shlex.quote(str(Path.home()))} {shlex.quote(tarvik_command())}"
        print(f"The tool stays in {store / TOOL_NAME}. Call it again, then delete it:")
        print(f"  {command} call custom_{TOOL_NAME} 'args={{\"text\": \"a second look\"}}'")
        print(f"  {command} call tool_creator operation=delete tool_name={TOOL_NAME}")
        print()
    print("demo finished" if not failures else f"demo finished with {failures} failed step(s)")
    return 1 if failures else 0


async def show_step(host: Host, position: str, step: Step) -> int:
    print()
    print(f"== {position}: {step.why}")
    print(f"call {step.tool}")
    for key, value in step.arguments.items():
        print(f"  {key}: {format_value(value)}")
    registered_before = host.registry.names()
    try:
        answer = await host.call(step.tool, step.arguments)
    except Exception as exc:  # noqa: BLE001 - the demo shows what a tool raised
        print(f"raised {type(exc).__name__}: {exc}")
        return 1
    print("answer:")
    print(indent(answer))
    if host.registry.names() != registered_before:
        print(f"registered tools now: {', '.join(host.registry.names())}")
    return 1 if answer.startswith(ERROR_PREFIX) else 0


def tarvik_command() -> str:
    """The command as a shell can run it, off PATH or not."""
    script = Path(sys.executable).with_name("tarvik")
    return str(script) if script.exists() else "tarvik"


def format_value(value: Any) -> str:
    if isinstance(value, str) and "\n" in value:
        return "|\n" + indent(value.rstrip("\n"), "    ")
    return json.dumps(value)


def indent(text: str, prefix: str = "  ") -> str:
    return "\n".join(prefix + line for line in text.splitlines())
