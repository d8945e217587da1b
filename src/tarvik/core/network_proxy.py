"""The host's network proxy: a tool's only way to a network, and only to the hosts the operator allowed.

A task reaches it through its supervisor's forwarder: ``127.0.0.1:PROXY_PORT``
inside the task's own network namespace, this proxy's unix socket outside
(the socket is never in the task's world). It speaks HTTP CONNECT (HTTPS, or
any protocol over TCP) and plain HTTP with an absolute URL, which is what
``HTTP_PROXY`` and ``HTTPS_PROXY`` make urllib, requests and httpx send. It
checks the host name the tool asked for before anything else, resolves it
itself (a task has no DNS), and does not follow a name that resolves to a
loopback, link-local or unspecified address (the host's own services, a
cloud's metadata) unless that address is allowed by itself.
"""

from __future__ import annotations

import asyncio
import atexit
import contextlib
import ipaddress
import os
import re
import shutil
import socket
import tempfile
import weakref
from collections.abc import Iterable
from dataclasses import dataclass
from urllib.parse import urlsplit

# Where a task's forwarder listens, inside the task's own network namespace.
PROXY_PORT = 3128
_DEFAULT_PORTS = (80, 443)
_HEAD_LIMIT = 64 << 10
_HEAD_TIMEOUT = 30.0
_CONNECT_TIMEOUT = 15.0
_CHUNK = 64 << 10
_LABEL = re.compile(r"(?!-)[a-z0-9-]{1,63}(?<!-)")
_HOP_HEADERS = (b"proxy-connection", b"proxy-authorization", b"connection", b"keep-alive")

IpAddress = ipaddress.IPv4Address | ipaddress.IPv6Address


def _address(text: str) -> IpAddress | None:
    try:
        return ipaddress.ip_address(text)
    except ValueError:
        return None


def _host_name(text: str) -> str | None:
    """The host as compared: lower-case, no final dot, no IPv6 brackets; None if malformed."""
    host = text.strip().lower().rstrip(".")
    if host.startswith("[") and host.endswith("]"):
        address = _address(host[1:-1])
        return str(address) if isinstance(address, ipaddress.IPv6Address) else None
    address = _address(host)
    if address is not None:
        return str(address)
    labels = host.split(".")
    if len(host) > 253 or not all(_LABEL.fullmatch(label) for label in labels):
        return None
    return host


def split_authority(text: str) -> tuple[str, int | None] | None:
    """``(host, port)`` of ``host``, ``host:port``, ``[v6]`` or ``[v6]:port``; None if malformed."""
    host, port = text, None
    if text.startswith("["):
        end = text.find("]")
        if end < 0 or end + 1 < len(text) and text[end + 1] != ":":
            return None
        host, rest = text[: end + 1], text[end + 1:]
        port_text = rest[1:] if rest else None
    elif text.count(":") == 1:
        host, port_text = text.split(":")
    else:
        port_text = None
    if port_text is not None:
        if not port_text.isdigit() or not 0 < int(port_text) < 65536:
            return None
        port = int(port_text)
    name = _host_name(host)
    return (name, port) if name else None


@dataclass(frozen=True)
class HostRule:
    """One host the operator allows: a name, ``*.`` and a domain, or an address; one port, or
    (when none is given) 80 and 443."""

    host: str
    port: int | None
    text: str

    @classmethod
    def parse(cls, text: str) -> HostRule:
        wildcard = text.strip().startswith("*.")
        parsed = split_authority(text.strip()[2:] if wildcard else text.strip())
        if parsed is None or (wildcard and _address(parsed[0]) is not None):
            raise ValueError(
                "not a host such as api.example.com, *.example.com, example.com:8443, "
                "127.0.0.1:8080 or [::1]:8080"
            )
        host, port = parsed
        return cls(f"*.{host}" if wildcard else host, port, text.strip())

    def matches(self, host: str, port: int) -> bool:
        if port not in ((self.port,) if self.port is not None else _DEFAULT_PORTS):
            return False
        if self.host.startswith("*."):
            return host.endswith(self.host[1:])
        return host == self.host


def suggested_rule(host: str, port: int) -> str:
    """What the operator would write to allow ``host:port``."""
    shown = f"[{host}]" if ":" in host else host
    return shown if port in _DEFAULT_PORTS else f"{shown}:{port}"


class Refusal(Exception):
    """Answered to the tool as an HTTP error whose reason phrase says why."""

    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status = status
        # One line of printable ASCII: it travels in a status line.
        self.reason = re.sub(r"[^\x20-\x7e]", "?", f"tarvik: {reason}")


class NetworkProxy:
    """The proxy of one host, bound to the event loop that started it."""

    def __init__(self, rules: Iterable[HostRule], *, temp_root: str | None = None) -> None:
        self.rules = tuple(rules)
        self._temp_root = temp_root
        self.socket_path: str | None = None
        self._folder: str | None = None
        self._listener: socket.socket | None = None
        self._server: asyncio.Server | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._connections: set[asyncio.Task[None]] = set()

    def allows(self, host: str, port: int) -> bool:
        return any(rule.matches(host, port) for rule in self.rules)

    def describe(self) -> str:
        return ", ".join(rule.text for rule in self.rules)

    async def start(self) -> str:
        """Listen (once per event loop); returns the socket's path."""
        loop = asyncio.get_running_loop()
        if self._server is not None and self._loop is loop and self.socket_path:
            return self.socket_path
        self.close_now()
        self._folder = tempfile.mkdtemp(prefix="tarvik-proxy-", dir=self._temp_root)
        path = os.path.join(self._folder, "proxy.sock")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(256)
        self._listener, self._loop, self.socket_path = listener, loop, path
        self._server = await asyncio.start_unix_server(self._serve, sock=listener, limit=_HEAD_LIMIT)
        _live_proxies.add(self)
        return path

    async def aclose(self) -> None:
        server, self._server = self._server, None
        if server is not None and self._loop is asyncio.get_running_loop():
            server.close()
            for connection in list(self._connections):
                connection.cancel()
            await asyncio.gather(*self._connections, return_exceptions=True)
        self.close_now()

    def close_now(self) -> None:
        """Stop listening without the loop (gone, or another's)."""
        self._server = None
        if self._listener is not None:
            self._listener.close()
            self._listener = None
        if self._folder is not None:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None
        self.socket_path = None
        _live_proxies.discard(self)

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        if task is not None:
            self._connections.add(task)
        try:
            await self._carry(reader, writer)
        except Refusal as refusal:
            body = (refusal.reason + "\n").encode()
            head = (f"HTTP/1.1 {refusal.status} {refusal.reason}\r\nContent-Type: text/plain\r\n"
                    f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n")
            with contextlib.suppress(OSError):
                writer.write(head.encode() + body)
                await writer.drain()
        except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, TimeoutError):
            pass
        finally:
            writer.close()
            if task is not None:
                self._connections.discard(task)

    async def _carry(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), _HEAD_TIMEOUT)
        request_line, _, header_block = head.partition(b"\r\n")
        try:
            method, target, version = request_line.decode("ascii").split(" ")
        except (UnicodeDecodeError, ValueError):
            raise Refusal(400, "not an HTTP proxy request") from None
        headers = [line for line in header_block.split(b"\r\n") if line]
        if method == "CONNECT":
            host, port = self._authority(target, None)
            upstream_reader, upstream_writer = await self._connect(host, port)
            writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        else:
            parts = urlsplit(target)
            if parts.scheme == "http" and parts.netloc:
                host, port = self._authority(parts.netloc.rpartition("@")[2], 80)
                path = parts.path or "/"
                if parts.query:
                    path += "?" + parts.query
            elif target.startswith("/"):
                host_header = next((line.split(b":", 1)[1] for line in headers
                                    if line.lower().startswith(b"host:")), b"")
                host, port = self._authority(host_header.decode("ascii", "replace").strip(), 80)
                path = target
            else:
                raise Refusal(400, f"cannot proxy {target[:100]!r}: only http:// URLs and CONNECT")
            upstream_reader, upstream_writer = await self._connect(host, port)
            kept = [line for line in headers if line.split(b":", 1)[0].strip().lower() not in _HOP_HEADERS]
            # One request per connection: what follows on it can only go to the same host.
            upstream_writer.write(
                f"{method} {path} {version}\r\n".encode() + b"".join(line + b"\r\n" for line in kept)
                + b"Connection: close\r\n\r\n"
            )
        await _relay(reader, writer, upstream_reader, upstream_writer)

    def _authority(self, text: str, default_port: int | None) -> tuple[str, int]:
        parsed = split_authority(text)
        if parsed is None or (parsed[1] is None and default_port is None):
            raise Refusal(400, f"{text[:100]!r} is not a host and port")
        host, port = parsed[0], parsed[1] or default_port
        assert port is not None
        if not self.allows(host, port):
            raise Refusal(
                403, f"{suggested_rule(host, port)} is not a host tools may reach; the operator "
                f"allows it with --allow-host {suggested_rule(host, port)}"
            )
        return host, port

    async def _connect(
        self, host: str, port: int
    ) -> tuple[asyncio.StreamReader, asyncio.StreamWriter]:
        loop = asyncio.get_running_loop()
        literal = _address(host) is not None
        try:
            found = await asyncio.wait_for(
                loop.getaddrinfo(host, port, type=socket.SOCK_STREAM), _CONNECT_TIMEOUT
            )
        except (OSError, TimeoutError) as error:
            raise Refusal(502, f"cannot resolve {host}: {error}") from None
        addresses = list(dict.fromkeys(str(info[4][0]) for info in found))
        if not literal:
            addresses = [address for address in addresses if _may_follow(address)]
            if not addresses:
                raise Refusal(
                    403, f"{host} resolves only to loopback or link-local addresses, which a "
                    "name may not lead to; allow the address itself with --allow-host"
                )
        failure: Exception | None = None
        for address in addresses:
            try:
                return await asyncio.wait_for(
                    asyncio.open_connection(address, port, limit=_CHUNK), _CONNECT_TIMEOUT
                )
            except (OSError, TimeoutError) as error:
                failure = error
        raise Refusal(502, f"cannot connect to {suggested_rule(host, port)}: {failure}")


def _may_follow(text: str) -> bool:
    address = _address(text)
    return address is not None and not (
        address.is_loopback or address.is_link_local or address.is_unspecified
        or address.is_multicast
    )


async def _relay(
    reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
    upstream_reader: asyncio.StreamReader, upstream_writer: asyncio.StreamWriter,
) -> None:
    """Both directions until both ended; each end-of-file passed on as a half-close."""

    async def copy(source: asyncio.StreamReader, target: asyncio.StreamWriter) -> None:
        try:
            while chunk := await source.read(_CHUNK):
                target.write(chunk)
                await target.drain()
            if target.can_write_eof():
                target.write_eof()
        except OSError:
            target.close()

    try:
        await asyncio.gather(copy(reader, upstream_writer), copy(upstream_reader, writer))
    finally:
        upstream_writer.close()


# Proxies still listening: their folders go when the interpreter exits.
_live_proxies: weakref.WeakSet[NetworkProxy] = weakref.WeakSet()


@atexit.register
def _close_live_proxies() -> None:
    for proxy in list(_live_proxies):
        proxy.close_now()
