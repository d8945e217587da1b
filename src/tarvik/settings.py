"""The operator's choices, in one model with one reader: the limits of every call, how strict the
sandbox is, what tools are granted, how their worlds are kept, the call log, how `tarvik serve --http`
listens and what it allows each request and each tenant, and where the operator's page listens.

Every choice has a key (`CHOICES`), which is its option's name and its key in the config file
(``~/.tarvik/config.toml``, or ``--config FILE``); an option on the command line wins over the
file. A bad value, in either, is refused at start with the key, the value and what is allowed.
The same keys, as JSON, carry a front's settings whole to each tenant's process
(`Settings.choices`, `settings_from_json`), read by the same readers.
"""

from __future__ import annotations

import argparse
import ipaddress
import json
import logging
import math
import os
import re
import tomllib
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

from tarvik.calllog import DEFAULT_RETENTION_DAYS
from tarvik.core.network_proxy import HostRule
from tarvik.core.packages import DEFAULT_TIMEOUT, PackagePolicy
from tarvik.core.subprocess_manager import ISOLATION_MODES, SubprocessManager, WorkerLimits, worker_environment

logger = logging.getLogger("tarvik.settings")

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8765
DEFAULT_UI_PORT = 8766
# What each tenant's store may hold when the operator names no quota.
DEFAULT_TENANT_QUOTA = 1 << 30

_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
_VARIABLE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
# Variables the sandbox sets itself, and those that change how the
# interpreter or the loader starts: no grant may replace them.
_RESERVED = {*worker_environment(""), "HTTP_PROXY", "HTTPS_PROXY", "http_proxy", "https_proxy"}
_RESERVED_PREFIXES = ("PYTHON", "LD_")


class SettingsError(ValueError):
    """A choice that cannot be taken: which key, which value, and what is allowed."""


# --- how each kind of value is read -------------------------------------------


def parse_size(text: str | int) -> int:
    """A size in bytes from "64M", "1G", "512K" or "1048576"."""
    if isinstance(text, int) and not isinstance(text, bool) and text >= 1:
        return text
    match = re.fullmatch(r"\s*(\d+)\s*([KMG]?)(?:i?B)?\s*", text, re.IGNORECASE) if isinstance(text, str) else None
    if not match or int(match.group(1)) < 1:
        raise ValueError("a size such as 64M, 1G or 1048576 is allowed")
    return int(match.group(1)) * _UNITS[match.group(2).upper()]


def parse_address(text: str | int, default_port: int = DEFAULT_PORT) -> tuple[str, int]:
    """HOST:PORT, [IPv6]:PORT, HOST, :PORT or a bare PORT as a host and a port number; what is left
    out is the default."""
    if isinstance(text, int) and not isinstance(text, bool):
        text = str(text)
    if not isinstance(text, str):
        raise ValueError("an address such as 127.0.0.1:8765, [::1]:8765 or 8765 is allowed")
    if text.isdigit():
        host, port, well_formed = "", text, True
    elif text.startswith("["):
        host, closed, rest = text[1:].partition("]")
        port = rest.removeprefix(":")
        well_formed = bool(closed) and (not rest or rest.startswith(":"))
    else:
        host, _, port = text.rpartition(":") if ":" in text else (text, "", "")
        well_formed = ":" not in host
    port = port or str(default_port)
    if not well_formed or not port.isdigit() or int(port) > 65535:
        raise ValueError(f"{text!r} is not an address such as 127.0.0.1:{default_port}, [::1]:{default_port} "
                         f"or {default_port}")
    return host or DEFAULT_HOST, int(port)


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _count(text: str | int) -> int:
    if isinstance(text, int) and not isinstance(text, bool) and text >= 1:
        return text
    if not isinstance(text, str) or not text.isdigit() or int(text) < 1:
        raise ValueError("a whole number of at least 1 is allowed")
    return int(text)


def _whole(text: str | int) -> int:
    if isinstance(text, int) and not isinstance(text, bool) and text >= 0:
        return text
    if not isinstance(text, str) or not text.isdigit():
        raise ValueError("a whole number (0 or more) is allowed")
    return int(text)


def _seconds(text: str | float) -> float:
    try:
        value = float(text) if not isinstance(text, bool) else math.nan
    except (TypeError, ValueError):
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise ValueError("a number of seconds above 0 is allowed")
    return value


def _ui_address(text: str | int) -> tuple[str, int]:
    return parse_address(text, DEFAULT_UI_PORT)


def _days(text: str | float) -> float:
    try:
        return _seconds(text)
    except ValueError:
        raise ValueError("a number of days above 0 is allowed") from None


def _switch(value: Any) -> bool:
    if not isinstance(value, bool):
        raise ValueError("true or false is allowed")
    return value


def _texts(value: Any) -> list[str]:
    """One text, or a list of texts: the file may give either where an option repeats."""
    items = [value] if isinstance(value, str) else value
    if not isinstance(items, list | tuple) or not all(isinstance(item, str) for item in items):
        raise ValueError("a text or a list of texts is allowed")
    return list(items)


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


def _isolation(value: Any) -> str:
    if value not in ISOLATION_MODES:
        raise ValueError(f"{' or '.join(ISOLATION_MODES)} is allowed")
    return str(value)


def _path(value: Any) -> Path:
    if isinstance(value, Path):
        return value
    if not isinstance(value, str) or not value or "\0" in value:
        raise ValueError("a path is allowed")
    return Path(value)


# --- the choices ---------------------------------------------------------------


@dataclass(frozen=True)
class Choice:
    """One key of the file and its option: how its value is read, and what the option says."""

    key: str
    read: Callable[[Any], Any]
    # Which commands take the option: "sandbox" (every command that runs tools), "tasks" (those
    # that keep a host), "serve" and "http" (`tarvik serve`). The file may hold every key.
    scope: str
    help: str
    # None: a switch, given without a value.
    metavar: str | None = None
    repeat: bool = False
    # A switch with a --no- form.
    negatable: bool = False
    # The value of an option given without one (`--http` alone).
    bare: Any = None


CHOICES: dict[str, Choice] = {choice.key: choice for choice in (
    Choice("max-processes", _count, "sandbox", "processes and threads a call may have at once (default: 64)", "N"),
    Choice("memory", parse_size, "sandbox", "memory of all of a call's processes together (default: 1G)", "SIZE"),
    Choice("scratch", parse_size, "sandbox", "a call's scratch disk, its /tmp (default: 64M)", "SIZE"),
    Choice("cpu-seconds", _count, "sandbox", "CPU time of each process (default: the call's time limit, plus one)",
           "N"),
    Choice("open-files", _count, "sandbox", "open files of each process (default: 256)", "N"),
    Choice("require-sandbox", _switch, "sandbox",
           "run no tool at all while a wall is missing here (see `tarvik sandbox`)"),
    Choice("allow-host", _hosts, "sandbox", "a host tools may reach over HTTP(S) through the host's proxy: "
           "api.example.com, *.example.com, an address (10.0.0.5) or a network (10.0.0.0/8), each with "
           ":port or not (without one: 80 and 443); only an address or network grants an address of "
           "this machine or its networks, which no name may lead to; repeat for more",
           "HOST", repeat=True),
    Choice("tool-env", _variables, "sandbox",
           "a variable of this environment that tools see, such as an API key; repeat for more", "NAME", repeat=True),
    Choice("packages", _packages, "sandbox", "packages a script may declare in a '# /// script' block: allow "
           "(default), refuse, or only the names listed (numpy,python-dateutil)", "POLICY"),
    Choice("package-timeout", _seconds, "sandbox",
           f"time to install a script's packages (default: {DEFAULT_TIMEOUT:g})", "SECONDS"),
    Choice("isolation", _isolation, "tasks", "tool: a tool's world stays warm between its calls (default); "
           "call: a fresh world for every call", "{tool,call}"),
    Choice("warm-tools", _whole, "tasks",
           "how many tools' worlds are kept warm at once (default: as many as suit this machine)", "N"),
    Choice("time-limit", _seconds, "tasks", "the most any call may run, below a tool's own 60 s (default: "
           "none); a client's own time-out may cut a call sooner", "SECONDS"),
    Choice("call-log", _switch, "log", "note every call of a custom tool and every tool_creator operation "
           "in ~/.tarvik/calls.db, which `tarvik ui` shows (default: on)", negatable=True),
    Choice("call-log-days", _days, "log",
           f"days the call log keeps a call's row (default: {DEFAULT_RETENTION_DAYS:g})", "DAYS"),
    Choice("register-saved", _switch, "serve",
           "offer every tool saved in ~/.tarvik/custom_tools at start (default: on)", negatable=True),
    Choice("store-quota", parse_size, "serve", "the most a store may hold, its tools and their package "
           "environments; a create beyond it is refused (default: 1G for each tenant of --tokens, none for "
           "HOME's store)", "SIZE"),
    Choice("http", parse_address, "http", f"serve MCP at http://HOST:PORT/mcp; a bare PORT is on {DEFAULT_HOST} "
           f"(default: {DEFAULT_HOST}:{DEFAULT_PORT})", "HOST:PORT", bare=(DEFAULT_HOST, DEFAULT_PORT)),
    Choice("tokens", _path, "http", "tenants and the SHA-256 of their bearer tokens (see `tarvik token add`); "
           "without it, --http serves HOME's store on loopback only", "FILE"),
    Choice("data-dir", _path, "http",
           "where each tenant's store lives, as DIR/TENANT (default: ~/.tarvik/tenants)", "DIR"),
    Choice("max-body", parse_size, "http", "largest request body accepted (default: 4M)", "SIZE"),
    Choice("request-timeout", _seconds, "http",
           "time limit of each request but the event stream (default: 90)", "SECONDS"),
    Choice("shutdown-grace", _seconds, "http", "how long SIGTERM lets calls in flight finish (default: 70)",
           "SECONDS"),
    Choice("calls-per-tenant", _count, "http", "tool calls one tenant may have in flight; more wait (default: 8)",
           "N"),
    Choice("requests-per-tenant", _count, "http",
           "requests one tenant may have in flight at the front, event streams aside; more wait (default: 16)", "N"),
    Choice("sessions-per-tenant", _count, "http",
           "open MCP sessions per tenant; at the cap the longest idle one is closed (default: 256)", "N"),
    Choice("session-idle-timeout", _seconds, "http",
           "a session with nothing in flight for this long is closed (default: 300)", "SECONDS"),
    Choice("header-timeout", _seconds, "http",
           "time a connection has to send a request's headers (default: 10)", "SECONDS"),
    Choice("max-connections", _count, "http", "open connections at once; at the cap the longest idle one is "
           "closed (default: 1000, and at most what the open-files limit allows)", "N"),
    Choice("operator-tokens", _path, "operator", "the operator's bearer tokens (`tarvik token add NAME --tokens "
           "FILE` makes them): a request for /metrics or the page that does not come from this machine's "
           "loopback must present one", "FILE"),
    Choice("ui-address", _ui_address, "ui", f"where `tarvik ui` serves its page; a bare PORT is on "
           f"{DEFAULT_HOST} (default: {DEFAULT_HOST}:{DEFAULT_UI_PORT})", "HOST:PORT"),
)}


@dataclass(frozen=True)
class HttpSettings:
    """How `tarvik serve --http` listens and what it allows each connection, request and tenant."""

    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    # Tenants and the SHA-256 of their tokens; None serves the one store of HOME, on loopback only.
    tokens: Path | None = None
    # Each tenant's home folder, `<data_dir>/<tenant>`, holds its store.
    data_dir: Path | None = None
    max_body: int = 4 << 20
    # Longer than a tool's own 60 s, so a call that runs to its limit still answers.
    request_timeout: float = 90.0
    # How long SIGTERM waits for calls in flight before the server stops anyway.
    shutdown_grace: float = 70.0
    calls_per_tenant: int = 8
    requests_per_tenant: int = 16
    sessions_per_tenant: int = 256
    session_idle_timeout: float = 300.0
    header_timeout: float = 10.0
    max_connections: int = 1000

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/mcp"

    def tenant_data_dir(self) -> Path:
        return self.data_dir if self.data_dir is not None else Path.home() / ".tarvik" / "tenants"


# The HTTP keys and the fields they set.
_HTTP_FIELDS = {
    "tokens": "tokens", "data-dir": "data_dir", "max-body": "max_body", "request-timeout": "request_timeout",
    "shutdown-grace": "shutdown_grace", "calls-per-tenant": "calls_per_tenant",
    "requests-per-tenant": "requests_per_tenant", "sessions-per-tenant": "sessions_per_tenant",
    "session-idle-timeout": "session_idle_timeout", "header-timeout": "header_timeout",
    "max-connections": "max_connections",
}


@dataclass(frozen=True)
class UiSettings:
    """Where `tarvik ui` listens, and whose stores it shows."""

    host: str = DEFAULT_HOST
    port: int = DEFAULT_UI_PORT
    # Every tenant of an HTTP server, as `<data_dir>/<tenant>`; None shows HOME's store.
    data_dir: Path | None = None

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/"


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
    isolation: str = "tool"
    # None: as many warm worlds as suit the machine.
    warm_tools: int | None = None
    # None: each call has the time limit its tool asks for.
    time_limit: float | None = None
    # None: no quota for HOME's store, DEFAULT_TENANT_QUOTA for each tenant's.
    store_quota: int | None = None
    # None serves stdio.
    http: HttpSettings | None = None
    # The call log, ~/.tarvik/calls.db, and how long it keeps a row.
    call_log: bool = True
    call_log_days: float = DEFAULT_RETENTION_DAYS
    # The operator's tokens, for /metrics and the page from anywhere but loopback.
    operator_tokens: Path | None = None
    ui: UiSettings = field(default_factory=UiSettings)

    def tool_environment(self) -> dict[str, str]:
        granted = {}
        for name in self.tool_env:
            if name in os.environ:
                granted[name] = os.environ[name]
            else:
                logger.warning("--tool-env %s: the host has no such variable, so tools get none", name)
        return granted

    def quota_for(self, *, tenant: bool) -> int | None:
        """What one store may hold: the operator's quota, else the default for a tenant's."""
        if self.store_quota is not None:
            return self.store_quota
        return DEFAULT_TENANT_QUOTA if tenant else None

    def subprocess_manager(self) -> SubprocessManager:
        return SubprocessManager(
            limits=self.limits, require_sandbox=self.require_sandbox, packages=self.packages,
            allowed_hosts=self.allowed_hosts, tool_environment=self.tool_environment(),
            isolation=self.isolation, warm_tools=self.warm_tools, time_limit=self.time_limit,
        )

    def choices(self) -> dict[str, Any]:
        """Every choice that differs from nothing, by key, as JSON values `settings_from_choices` reads back."""
        limits, policy = self.limits, self.packages
        chosen: dict[str, Any] = {
            "max-processes": limits.processes, "memory": limits.memory, "scratch": limits.scratch,
            "cpu-seconds": limits.cpu_seconds, "open-files": limits.open_files,
            "require-sandbox": self.require_sandbox, "register-saved": self.register_saved,
            "allow-host": list(self.allowed_hosts), "tool-env": list(self.tool_env),
            "packages": policy.mode if policy.mode != "only" else sorted(policy.names),
            "package-timeout": policy.timeout, "isolation": self.isolation, "warm-tools": self.warm_tools,
            "time-limit": self.time_limit, "store-quota": self.store_quota,
            "call-log": self.call_log, "call-log-days": self.call_log_days,
            "operator-tokens": str(self.operator_tokens) if self.operator_tokens is not None else None,
            "ui-address": (f"[{self.ui.host}]:{self.ui.port}" if ":" in self.ui.host
                           else f"{self.ui.host}:{self.ui.port}"),
        }
        if self.ui.data_dir is not None:
            chosen["data-dir"] = str(self.ui.data_dir)
        if self.http is not None:
            http = self.http
            chosen["http"] = f"[{http.host}]:{http.port}" if ":" in http.host else f"{http.host}:{http.port}"
            for key, name in _HTTP_FIELDS.items():
                value = getattr(http, name)
                chosen[key] = str(value) if isinstance(value, Path) else value
        return {key: value for key, value in chosen.items() if value is not None}


def settings_from_choices(chosen: Mapping[str, Any]) -> Settings:
    """Settings from choices already read (`read_choices`); a key left out takes its default."""
    defaults = WorkerLimits()
    limits = WorkerLimits(
        processes=chosen.get("max-processes", defaults.processes),
        memory=chosen.get("memory", defaults.memory),
        scratch=chosen.get("scratch", defaults.scratch),
        cpu_seconds=chosen.get("cpu-seconds", defaults.cpu_seconds),
        open_files=chosen.get("open-files", defaults.open_files),
    )
    policy = replace(chosen.get("packages", PackagePolicy()), timeout=chosen.get("package-timeout", DEFAULT_TIMEOUT))
    http = None
    if "http" in chosen:
        host, port = chosen["http"]
        http = HttpSettings(host=host, port=port, **{
            name: chosen[key] for key, name in _HTTP_FIELDS.items() if key in chosen
        })
    ui_host, ui_port = chosen.get("ui-address", (DEFAULT_HOST, DEFAULT_UI_PORT))
    return Settings(
        limits=limits,
        require_sandbox=chosen.get("require-sandbox", False),
        register_saved=chosen.get("register-saved", True),
        allowed_hosts=tuple(chosen.get("allow-host", ())),
        tool_env=tuple(chosen.get("tool-env", ())),
        packages=policy,
        isolation=chosen.get("isolation", "tool"),
        warm_tools=chosen.get("warm-tools"),
        time_limit=chosen.get("time-limit"),
        store_quota=chosen.get("store-quota"),
        http=http,
        call_log=chosen.get("call-log", True),
        call_log_days=chosen.get("call-log-days", DEFAULT_RETENTION_DAYS),
        operator_tokens=chosen.get("operator-tokens"),
        ui=UiSettings(host=ui_host, port=ui_port, data_dir=chosen.get("data-dir")),
    )


def read_choices(raw: Mapping[str, Any], source: str) -> dict[str, Any]:
    """Each choice of `raw` read as its option would be; `source` names where they came from."""
    chosen = {}
    for key, value in raw.items():
        choice = CHOICES.get(key)
        if choice is None:
            raise SettingsError(f"{source}: unknown key {key!r}; the keys are {', '.join(CHOICES)}")
        try:
            chosen[key] = choice.read(value)
        except (ValueError, TypeError) as error:
            shown = json.dumps(value, default=str)
            raise SettingsError(f"{source}: {key} = {shown}: {error}") from None
    return chosen


def settings_from_json(text: str, source: str) -> Settings:
    """Settings another `tarvik` process passed on as `json.dumps(settings.choices())`."""
    try:
        raw = json.loads(text)
    except ValueError as error:
        raise SettingsError(f"{source}: not JSON: {error}") from None
    if not isinstance(raw, dict):
        raise SettingsError(f"{source}: not a JSON object of choices")
    return settings_from_choices(read_choices(raw, source))


# --- options and the config file -------------------------------------------------


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


_GROUPS = {
    "sandbox": "the tool sandbox (each limit holds for a whole call) and what tools are granted "
    "(for every tool; no network and no variables by default)",
    "tasks": "how tools' worlds are kept",
    "log": "the call log",
    "serve": "the stores served",
    "http": "streamable HTTP (instead of stdio)",
    "operator": "the operator's access",
    "ui": "the page",
}


def add_options(
    parser: argparse.ArgumentParser, *scopes: str, also: Mapping[str, str] | None = None
) -> None:
    """The options of `scopes` (see `Choice.scope`), and --config; an unset one comes from the file.

    `also` adds single options of other scopes to a scope's group, with a help of their own
    (`tarvik ui --data-dir`)."""
    parser.add_argument("--config", type=Path, metavar="FILE", default=None,
                        help="the operator's choices, with the options' names as keys "
                        "(default: ~/.tarvik/config.toml, when it exists)")
    for scope in scopes:
        group = parser.add_argument_group(_GROUPS[scope])
        for choice in CHOICES.values():
            if choice.scope == scope:
                _add_option(group, choice, choice.help)
        for key, help_text in (also or {}).items():
            if scope == scopes[-1]:
                _add_option(group, CHOICES[key], help_text)


def _add_option(group: Any, choice: Choice, help_text: str) -> None:
    option = f"--{choice.key}"
    if choice.metavar is None:
        action: Any = argparse.BooleanOptionalAction if choice.negatable else "store_true"
        group.add_argument(option, action=action, default=None, help=help_text)
    elif choice.repeat:
        group.add_argument(option, type=_each(choice.read), action="append", metavar=choice.metavar,
                           default=None, help=help_text)
    elif choice.bare is not None:
        group.add_argument(option, type=_option(choice.read), nargs="?", const=choice.bare,
                           metavar=choice.metavar, default=None, help=help_text)
    else:
        group.add_argument(option, type=_option(choice.read), metavar=choice.metavar, default=None,
                           help=help_text)


def add_sandbox_options(parser: argparse.ArgumentParser) -> None:
    """The options of every command that runs tools through a host."""
    add_options(parser, "sandbox", "tasks", "log")


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
    return read_choices(raw, str(path))


def settings_from(args: argparse.Namespace) -> Settings:
    """The options given, else the config file's, else the defaults."""
    chosen = read_config(*config_path(args))
    for key in CHOICES:
        given = getattr(args, key.replace("-", "_"), None)
        if given is not None:
            chosen[key] = tuple(given) if isinstance(given, list) else given
    return settings_from_choices(chosen)
