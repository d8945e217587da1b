"""The operator's choices for a host: the limits of every call, how strict the sandbox is, and
what tools are granted (packages, network hosts, environment variables).

`tarvik serve`, `tarvik call` and `tarvik sandbox` take them as options, and
read the same keys from a config file (``~/.tarvik/config.toml``, or
``--config FILE``); an option on the command line wins over the file. A bad
value, in either, is refused at start with the key, the value and what is
allowed.
"""

from __future__ import annotations

import argparse
import json
import logging
import math
import os
import re
import tomllib
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tarvik.core.network_proxy import HostRule
from tarvik.core.packages import DEFAULT_TIMEOUT, PackagePolicy
from tarvik.core.subprocess_manager import SubprocessManager, WorkerLimits, worker_environment

logger = logging.getLogger("tarvik.settings")

_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
_VARIABLE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
# Variables the sandbox sets itself, and those that change how the
# interpreter or the loader starts: no grant may replace them.
_RESERVED = {*worker_environment(""), "HTTP_PROXY", "HTTPS_PROXY", "http_proxy", "https_proxy"}
_RESERVED_PREFIXES = ("PYTHON", "LD_")


class SettingsError(ValueError):
    """A choice that cannot be taken: which key, which value, and what is allowed."""


def parse_size(text: str | int) -> int:
    """A size in bytes from "64M", "1G", "512K" or "1048576"."""
    if isinstance(text, int) and not isinstance(text, bool) and text >= 1:
        return text
    match = re.fullmatch(r"\s*(\d+)\s*([KMG]?)(?:i?B)?\s*", text, re.IGNORECASE) if isinstance(text, str) else None
    if not match or int(match.group(1)) < 1:
        raise ValueError("a size such as 64M, 1G or 1048576 is allowed")
    return int(match.group(1)) * _UNITS[match.group(2).upper()]


def _count(text: str | int) -> int:
    if isinstance(text, int) and not isinstance(text, bool) and text >= 1:
        return text
    if not isinstance(text, str) or not text.isdigit() or int(text) < 1:
        raise ValueError("a whole number of at least 1 is allowed")
    return int(text)


def _seconds(text: str | float) -> float:
    try:
        value = float(text) if not isinstance(text, bool) else math.nan
    except (TypeError, ValueError):
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise ValueError("a number of seconds above 0 is allowed")
    return value


def _switch(value: Any) -> bool:
    if not isinstance(value, bool):
        raise ValueError("true or false is allowed")
    return value


def _texts(value: Any) -> list[str]:
    """One text, or a list of texts: the file may give either where an option repeats."""
    items = [value] if isinstance(value, str) else value
    if not isinstance(items, list) or not all(isinstance(item, str) for item in items):
        raise ValueError("a text or a list of texts is allowed")
    return items


def _hosts(value: Any) -> tuple[str, ...]:
    hosts = _texts(value)
    for host in hosts:
        try:
            HostRule.parse(host)
        except ValueError as error:
            raise ValueError(f"{host!r} is {error}; such hosts are allowed") from None
    return tuple(hosts)


def _variables(value: Any) -> tuple[str, ...]:
    names = _texts(value)
    for name in names:
        if not _VARIABLE.fullmatch(name):
            raise ValueError(f"{name!r} is not a variable name; names such as OPENWEATHER_KEY are allowed")
        if name in _RESERVED or name.startswith(_RESERVED_PREFIXES):
            raise ValueError(
                f"{name!r} is set by the sandbox itself or changes how the interpreter starts; "
                f"any other name is allowed (not {', '.join(sorted(_RESERVED))}, nor PYTHON* or LD_*)"
            )
    return tuple(names)


def _packages(value: Any) -> PackagePolicy:
    try:
        return PackagePolicy.parse(value)
    except (ValueError, TypeError) as error:
        raise ValueError(
            f"{error}; allowed are allow, refuse, or the names of the only packages tools may "
            "declare (a list, or names separated by commas)"
        ) from None


@dataclass(frozen=True)
class Choice:
    """One key of the file and its option: how its value is read."""

    key: str
    read: Callable[[Any], Any]


CHOICES = {choice.key: choice for choice in (
    Choice("max-processes", _count),
    Choice("memory", parse_size),
    Choice("scratch", parse_size),
    Choice("cpu-seconds", _count),
    Choice("open-files", _count),
    Choice("require-sandbox", _switch),
    Choice("register-saved", _switch),
    Choice("allow-host", _hosts),
    Choice("tool-env", _variables),
    Choice("packages", _packages),
    Choice("package-timeout", _seconds),
)}


@dataclass(frozen=True)
class Settings:
    """What the operator decided; the defaults are what a host gets without a word."""

    limits: WorkerLimits = field(default_factory=WorkerLimits)
    # Run no tool at all while a wall of the sandbox is missing on this machine.
    require_sandbox: bool = False
    register_saved: bool = True
    # Hosts every tool may reach through the host's network proxy.
    allowed_hosts: tuple[str, ...] = ()
    # Variables of the host's environment every tool sees.
    tool_env: tuple[str, ...] = ()
    packages: PackagePolicy = field(default_factory=PackagePolicy)

    def tool_environment(self) -> dict[str, str]:
        granted = {}
        for name in self.tool_env:
            if name in os.environ:
                granted[name] = os.environ[name]
            else:
                logger.warning("--tool-env %s: the host has no such variable, so tools get none", name)
        return granted

    def as_arguments(self) -> list[str]:
        """The options that give another `tarvik` process these settings, and no config file's."""
        limits, policy = self.limits, self.packages
        packages = policy.mode if policy.mode != "only" else ",".join(sorted(policy.names))
        words = [
            "--config", os.devnull,
            "--max-processes", str(limits.processes), "--memory", str(limits.memory),
            "--scratch", str(limits.scratch), "--open-files", str(limits.open_files),
            "--packages", packages, "--package-timeout", str(policy.timeout),
        ]
        if limits.cpu_seconds is not None:
            words += ["--cpu-seconds", str(limits.cpu_seconds)]
        if self.require_sandbox:
            words.append("--require-sandbox")
        if not self.register_saved:
            words.append("--no-register-saved")
        for host in self.allowed_hosts:
            words += ["--allow-host", host]
        for name in self.tool_env:
            words += ["--tool-env", name]
        return words

    def subprocess_manager(self) -> SubprocessManager:
        return SubprocessManager(
            limits=self.limits, require_sandbox=self.require_sandbox, packages=self.packages,
            allowed_hosts=self.allowed_hosts, tool_environment=self.tool_environment(),
        )


def _option(read: Callable[[Any], Any]) -> Callable[[str], Any]:
    """``read`` as an argparse type, whose message argparse prefixes with the option."""

    def parse(text: str) -> Any:
        try:
            return read(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(f"{text!r}: {error}") from None

    return parse


def _each(read: Callable[[Any], Any]) -> Callable[[str], Any]:
    return _option(lambda text: read(text)[0])


def add_sandbox_options(parser: argparse.ArgumentParser) -> None:
    """The options of every command that runs tools; unset ones come from the config file."""
    defaults = WorkerLimits()
    parser.add_argument("--config", type=Path, metavar="FILE", default=None,
                        help="the operator's choices, with the options' names as keys "
                        "(default: ~/.tarvik/config.toml, when it exists)")
    group = parser.add_argument_group("the tool sandbox (each limit holds for a whole call)")
    group.add_argument("--max-processes", type=_option(_count), metavar="N", default=None,
                       help=f"processes and threads a call may have at once (default: {defaults.processes})")
    group.add_argument("--memory", type=_option(parse_size), metavar="SIZE", default=None,
                       help="memory of all of a call's processes together (default: 1G)")
    group.add_argument("--scratch", type=_option(parse_size), metavar="SIZE", default=None,
                       help="a call's scratch disk, its /tmp (default: 64M)")
    group.add_argument("--cpu-seconds", type=_option(_count), metavar="N", default=None,
                       help="CPU time of each process (default: the call's time limit, plus one)")
    group.add_argument("--open-files", type=_option(_count), metavar="N", default=None,
                       help=f"open files of each process (default: {defaults.open_files})")
    group.add_argument("--require-sandbox", action="store_true", default=None,
                       help="run no tool at all while a wall is missing here (see `tarvik sandbox`)")
    grants = parser.add_argument_group("what tools are granted (for every tool; no network and no "
                                       "variables by default)")
    grants.add_argument("--allow-host", type=_each(_hosts), action="append", metavar="HOST",
                        default=None, help="a host tools may reach over HTTP(S) through the host's "
                        "proxy: api.example.com, *.example.com, an address (10.0.0.5) or a network "
                        "(10.0.0.0/8), each with :port or not (without one: 80 and 443); only an "
                        "address or network grants an address of this machine or its networks, "
                        "which no name may lead to; repeat for more")
    grants.add_argument("--tool-env", type=_each(_variables), action="append", metavar="NAME",
                        default=None, help="a variable of this environment that tools see, such "
                        "as an API key; repeat for more")
    grants.add_argument("--packages", type=_option(_packages), metavar="POLICY", default=None,
                        help="packages a script may declare in a '# /// script' block: allow "
                        "(default), refuse, or only the names listed (numpy,python-dateutil)")
    grants.add_argument("--package-timeout", type=_option(_seconds), metavar="SECONDS",
                        default=None, help="time to install a script's packages "
                        f"(default: {DEFAULT_TIMEOUT:g})")


def config_path(args: argparse.Namespace) -> tuple[Path, bool]:
    """The config file, and whether the operator named it (then it must exist)."""
    named = getattr(args, "config", None)
    return (named, True) if named is not None else (Path.home() / ".tarvik" / "config.toml", False)


def read_config(path: Path, required: bool) -> dict[str, Any]:
    """The file's choices, each read as its option would be; {} when there is no file."""
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        if required:
            raise SettingsError(f"the config file {path} does not exist") from None
        return {}
    except (OSError, UnicodeDecodeError) as error:
        raise SettingsError(f"cannot read the config file {path}: {error}") from None
    try:
        raw = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise SettingsError(f"{path} is not valid TOML: {error}") from None
    chosen = {}
    for key, value in raw.items():
        choice = CHOICES.get(key)
        if choice is None:
            raise SettingsError(f"{path}: unknown key {key!r}; the keys are {', '.join(CHOICES)}")
        try:
            chosen[key] = choice.read(value)
        except (ValueError, TypeError) as error:
            shown = json.dumps(value, default=str)
            raise SettingsError(f"{path}: {key} = {shown}: {error}") from None
    return chosen


def settings_from(args: argparse.Namespace) -> Settings:
    """The options given, else the config file's, else the defaults."""
    chosen = read_config(*config_path(args))

    def pick(key: str, default: Any) -> Any:
        given = getattr(args, key.replace("-", "_"), None)
        if isinstance(given, list):  # a repeated option
            given = tuple(given)
        return given if given is not None else chosen.get(key, default)

    defaults = WorkerLimits()
    limits = WorkerLimits(
        processes=pick("max-processes", defaults.processes),
        memory=pick("memory", defaults.memory),
        scratch=pick("scratch", defaults.scratch),
        cpu_seconds=pick("cpu-seconds", defaults.cpu_seconds),
        open_files=pick("open-files", defaults.open_files),
    )
    policy = pick("packages", PackagePolicy())
    policy = PackagePolicy(policy.mode, policy.names, pick("package-timeout", DEFAULT_TIMEOUT))
    return Settings(
        limits=limits,
        require_sandbox=pick("require-sandbox", False),
        register_saved=pick("register-saved", True),
        allowed_hosts=pick("allow-host", ()),
        tool_env=pick("tool-env", ()),
        packages=policy,
    )
