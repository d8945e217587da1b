"""The operator's choices for a host: the limits of every call and how strict the sandbox is.

`tarvik serve`, `tarvik call` and `tarvik sandbox` take them as options;
the same names serve any other way of setting them.
"""

from __future__ import annotations

import argparse
import re
from dataclasses import dataclass, field

from tarvik.core.subprocess_manager import SubprocessManager, WorkerLimits

_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def parse_size(text: str) -> int:
    """A size in bytes from "64M", "1G", "512K" or "1048576"."""
    match = re.fullmatch(r"\s*(\d+)\s*([KMG]?)(?:i?B)?\s*", text, re.IGNORECASE)
    if not match or int(match.group(1)) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size such as 64M, 1G or 1048576")
    return int(match.group(1)) * _UNITS[match.group(2).upper()]


def _count(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least 1")
    return int(text)


@dataclass(frozen=True)
class Settings:
    """What the operator decided; the defaults are what a host gets without a word."""

    limits: WorkerLimits = field(default_factory=WorkerLimits)
    # Run no tool at all while a wall of the sandbox is missing on this machine.
    require_sandbox: bool = False
    register_saved: bool = True

    def subprocess_manager(self) -> SubprocessManager:
        return SubprocessManager(limits=self.limits, require_sandbox=self.require_sandbox)


def add_sandbox_options(parser: argparse.ArgumentParser) -> None:
    """The options of every command that runs tools."""
    defaults = WorkerLimits()
    group = parser.add_argument_group("the tool sandbox (each limit holds for a whole call)")
    group.add_argument("--max-processes", type=_count, metavar="N", default=defaults.processes,
                       help=f"processes and threads a call may have at once (default: {defaults.processes})")
    group.add_argument("--memory", type=parse_size, metavar="SIZE", default=defaults.memory,
                       help="memory of all of a call's processes together (default: 1G)")
    group.add_argument("--scratch", type=parse_size, metavar="SIZE", default=defaults.scratch,
                       help="a call's scratch disk, its /tmp (default: 64M)")
    group.add_argument("--cpu-seconds", type=_count, metavar="N", default=None,
                       help="CPU time of each process (default: the call's time limit, plus one)")
    group.add_argument("--open-files", type=_count, metavar="N", default=defaults.open_files,
                       help=f"open files of each process (default: {defaults.open_files})")
    group.add_argument("--require-sandbox", action="store_true",
                       help="run no tool at all while a wall is missing here (see `tarvik sandbox`)")


def settings_from(args: argparse.Namespace) -> Settings:
    limits = WorkerLimits(
        processes=args.max_processes,
        memory=args.memory,
        scratch=args.scratch,
        cpu_seconds=args.cpu_seconds,
        open_files=args.open_files,
    )
    return Settings(
        limits=limits,
        require_sandbox=args.require_sandbox,
        register_saved=getattr(args, "register_saved", True),
    )
