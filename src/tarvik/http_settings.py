"""The operator's choices for `tarvik serve --http`: where to listen, who may call, and how much a request may take."""

from __future__ import annotations

import argparse
import ipaddress
from dataclasses import dataclass
from pathlib import Path

from tarvik.settings import parse_size

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8765


def parse_address(text: str) -> tuple[str, int]:
    """HOST:PORT, [IPv6]:PORT, HOST or :PORT as a host and a port number; what is left out is the default."""
    if text.startswith("["):
        host, closed, rest = text[1:].partition("]")
        port = rest.removeprefix(":")
        well_formed = bool(closed) and (not rest or rest.startswith(":"))
    else:
        host, _, port = text.rpartition(":") if ":" in text else (text, "", "")
        well_formed = ":" not in host
    port = port or str(DEFAULT_PORT)
    if not well_formed or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not an address such as 127.0.0.1:8765 or [::1]:8765")
    return host or DEFAULT_HOST, int(port)


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds above 0")
    return value


def _count(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least 1")
    return int(text)


@dataclass(frozen=True)
class HttpSettings:
    """How `tarvik serve --http` listens and what it allows each request and each tenant."""

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
    sessions_per_tenant: int = 256

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/mcp"

    def tenant_data_dir(self) -> Path:
        return self.data_dir if self.data_dir is not None else Path.home() / ".tarvik" / "tenants"


def add_http_options(parser: argparse.ArgumentParser) -> None:
    defaults = HttpSettings()
    group = parser.add_argument_group("streamable HTTP (instead of stdio)")
    group.add_argument("--http", type=parse_address, metavar="HOST:PORT", nargs="?", const=(DEFAULT_HOST, DEFAULT_PORT),
                       help=f"serve MCP at http://HOST:PORT/mcp (default: {DEFAULT_HOST}:{DEFAULT_PORT})")
    group.add_argument("--tokens", type=Path, metavar="FILE",
                       help="tenants and the SHA-256 of their bearer tokens (see `tarvik token add`); "
                            "without it, --http serves HOME's store on loopback only")
    group.add_argument("--data-dir", type=Path, metavar="DIR",
                       help="where each tenant's store lives, as DIR/TENANT (default: ~/.tarvik/tenants)")
    group.add_argument("--max-body", type=parse_size, metavar="SIZE", default=defaults.max_body,
                       help="largest request body accepted (default: 4M)")
    group.add_argument("--request-timeout", type=_seconds, metavar="SECONDS", default=defaults.request_timeout,
                       help=f"time limit of each request but the event stream (default: {defaults.request_timeout:g})")
    group.add_argument("--shutdown-grace", type=_seconds, metavar="SECONDS", default=defaults.shutdown_grace,
                       help="how long SIGTERM lets calls in flight finish "
                            f"(default: {defaults.shutdown_grace:g})")
    group.add_argument("--calls-per-tenant", type=_count, metavar="N", default=defaults.calls_per_tenant,
                       help=f"tool calls one tenant may have in flight; more wait (default: {defaults.calls_per_tenant})")
    group.add_argument("--sessions-per-tenant", type=_count, metavar="N", default=defaults.sessions_per_tenant,
                       help=f"open MCP sessions per tenant (default: {defaults.sessions_per_tenant})")


def http_settings_from(args: argparse.Namespace) -> HttpSettings | None:
    """The HTTP settings the command line asks for, or None to serve stdio."""
    # A tenant's process serves HTTP on the socket its front gave it.
    if args.http is None and getattr(args, "socket", None) is None:
        return None
    host, port = args.http or (DEFAULT_HOST, DEFAULT_PORT)
    return HttpSettings(
        host=host,
        port=port,
        tokens=args.tokens,
        data_dir=args.data_dir,
        max_body=args.max_body,
        request_timeout=args.request_timeout,
        shutdown_grace=args.shutdown_grace,
        calls_per_tenant=args.calls_per_tenant,
        sessions_per_tenant=args.sessions_per_tenant,
    )
