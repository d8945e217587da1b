"""The host's network proxy: a tool's only way to a network, and only to the hosts the operator allowed.

A task reaches it through its supervisor's forwarder: ``127.0.0.1:PROXY_PORT``
inside the task's own network namespace, this proxy's unix socket outside
(the socket is never in the task's world). It speaks HTTP CONNECT (HTTPS, or
any protocol over TCP) and plain HTTP with an absolute URL, which is what
``HTTP_PROXY`` and ``HTTPS_PROXY`` make urllib, requests and httpx send. It
checks the host name the tool asked for before anything else, resolves it
itself (a task has no DNS), and connects only to an address it checked: one
outside this machine and its networks (loopback, private, shared, link-local
with a cloud's metadata, unique-local, multicast, the machine's own
addresses), unless the operator allowed that address or its network by
itself. An IPv6 address that carries an IPv4 one (mapped, compatible, NAT64)
is checked, and connected to, as that IPv4 address, so the check does not
depend on what this Python's ``ipaddress`` sees through.

A tunnel ends when the task's side of it closes, and after a time without a
byte either way.
"""

from __future__ import annotations

import asyncio
import atexit
import contextlib
import ipaddress
import os
import re
import select
import shutil
import socket
import struct
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
# A tunnel that carries no byte either way for this long is closed.
DEFAULT_IDLE_TIMEOUT = 60.0
# How often a tunnel whose task side was shut for writing looks whether that
# side is gone altogether.
_HANG_UP_CHECK = 0.25
# The machine's own addresses are read again after this long.
_OWN_ADDRESSES_TTL = 2.0
_LABEL = re.compile(r"(?!-)[a-z0-9-]{1,63}(?<!-)")
# A last label the resolver would read as a number: 127.1, 2130706433, 0x7f.1.
_NUMERIC_LABEL = re.compile(r"[0-9]+|0x[0-9a-f]*")
_HOP_HEADERS = (b"proxy-connection", b"proxy-authorization", b"connection", b"keep-alive")

IpAddress = ipaddress.IPv4Address | ipaddress.IPv6Address
IpNetwork = ipaddress.IPv4Network | ipaddress.IPv6Network

_NAT64 = ipaddress.IPv6Network("64:ff9b::/96")
# What no name may lead to unless the operator allows the address itself:
# this machine, its networks, and addresses that are no single remote host.
INTERNAL_NETWORKS: tuple[IpNetwork, ...] = tuple(ipaddress.ip_network(network) for network in (
    "0.0.0.0/8",  # "this network", 0.0.0.0 included: Linux connects it to the machine itself
    "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16",  # private
    "100.64.0.0/10",  # shared (carrier-grade NAT)
    "127.0.0.0/8",  # loopback
    "169.254.0.0/16",  # link-local, a cloud's metadata service among them
    "224.0.0.0/4",  # multicast
    "240.0.0.0/4",  # reserved, and the broadcast address 255.255.255.255
    "::/128", "::1/128",  # unspecified, loopback
    "fe80::/10", "fec0::/10",  # link-local, site-local
    "fc00::/7",  # unique-local
    "ff00::/8",  # multicast
))


def plain_address(address: IpAddress) -> IpAddress:
    """The IPv4 address an IPv6 one carries (mapped ``::ffff:a.b.c.d``, compatible ``::a.b.c.d``,
    NAT64 ``64:ff9b::a.b.c.d``), else the address itself.

    Older ``ipaddress`` versions do not see through these forms (``::ffff:127.0.0.1`` is not
    loopback on 3.11), and a connect to one reaches the IPv4 host all the same.
    """
    if not isinstance(address, ipaddress.IPv6Address):
        return address
    if address.ipv4_mapped is not None:
        return address.ipv4_mapped
    value = int(address)
    if value >> 32 == 0 and value > 1:  # :: and ::1 are IPv6's own
        return ipaddress.IPv4Address(value)
    if address in _NAT64:
        return ipaddress.IPv4Address(value & 0xFFFFFFFF)
    return address


def _address(text: str) -> IpAddress | None:
    """The address ``text`` spells, in its plain form; None if it is not one."""
    try:
        return plain_address(ipaddress.ip_address(text))
    except ValueError:
        return None


def is_internal(address: IpAddress) -> bool:
    address = plain_address(address)
    return any(address in network for network in INTERNAL_NETWORKS)


def _host_name(text: str) -> str | None:
    """The host as compared: lower-case, no final dot, no IPv6 brackets, an address in its plain
    form; None if malformed."""
    host = text.strip().lower().rstrip(".")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
        if ":" not in host:
            return None
    address = _address(host)
    if address is not None:
        return str(address)
    labels = host.split(".")
    if (
        len(host) > 253
        or not all(_LABEL.fullmatch(label) for label in labels)
        # The resolver takes these for addresses, which only an address rule may grant.
        or _NUMERIC_LABEL.fullmatch(labels[-1])
    ):
        return None
    return host


def _split_port(text: str) -> tuple[str, int | None] | None:
    """The host as written and the port of ``host``, ``host:port``, ``[v6]`` or ``[v6]:port``
    (an unbracketed IPv6 address has no port); None if the port is malformed."""
    host, port_text = text, None
    if text.startswith("["):
        end = text.find("]")
        if end < 0 or (end + 1 < len(text) and text[end + 1] != ":"):
            return None
        host, rest = text[: end + 1], text[end + 1:]
        port_text = rest[1:] if rest else None
    elif text.count(":") == 1:
        host, port_text = text.split(":")
    if port_text is None:
        return host, None
    if not port_text.isdigit() or not 0 < int(port_text) < 65536:
        return None
    return host, int(port_text)


def split_authority(text: str) -> tuple[str, int | None] | None:
    """``(host, port)`` of ``host``, ``host:port``, ``[v6]`` or ``[v6]:port``; None if malformed."""
    parsed = _split_port(text)
    name = _host_name(parsed[0]) if parsed is not None else None
    return (name, parsed[1]) if parsed is not None and name else None


def _network(text: str) -> IpNetwork | None:
    """``10.0.0.0/8``, ``fd00::/8`` or ``[fd00::/8]`` (host bits zero); None if not one."""
    host = text.lower()
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if "/" not in host:
        return None
    try:
        return ipaddress.ip_network(host, strict=True)
    except ValueError:
        return None


@dataclass(frozen=True)
class HostRule:
    """One host the operator allows: a name, ``*.`` and a domain, an address, or a network
    (``10.0.0.0/8``); one port, or (when none is given) 80 and 443.

    Only an address or network rule lets a tool reach an internal address, whether it asks
    for the address or for a name that resolves to it.
    """

    host: str
    port: int | None
    text: str
    # What an address or network rule allows; None for a name.
    network: IpNetwork | None = None

    @classmethod
    def parse(cls, text: str) -> HostRule:
        text = text.strip()
        wildcard = text.startswith("*.")
        parsed = split_authority(text[2:] if wildcard else text)
        network = None
        if parsed is None and not wildcard:
            written = _split_port(text)
            network = _network(written[0]) if written is not None else None
            if network is not None and written is not None:
                parsed = (str(network), written[1])
        if parsed is None or (wildcard and _address(parsed[0]) is not None):
            raise ValueError(
                "not a host such as api.example.com, *.example.com, example.com:8443, "
                "127.0.0.1:8080, [::1]:8080 or 10.0.0.0/8"
            )
        host, port = parsed
        address = _address(host)
        if address is not None:
            network = ipaddress.ip_network(address)
        return cls(f"*.{host}" if wildcard else host, port, text, network)

    def _port_matches(self, port: int) -> bool:
        return port in ((self.port,) if self.port is not None else _DEFAULT_PORTS)

    def matches(self, host: str, port: int) -> bool:
        """Whether a tool may ask for ``host:port`` (``host`` as `split_authority` gives it)."""
        address = _address(host)
        if address is not None:  # a wildcard or a name never matches an address
            return self.grants(address, port)
        if self.network is not None or not self._port_matches(port):
            return False
        if self.host.startswith("*."):
            return host.endswith(self.host[1:])
        return host == self.host

    def grants(self, address: IpAddress, port: int) -> bool:
        """Whether this rule allows a connection to ``address:port`` itself."""
        return (
            self.network is not None
            and self._port_matches(port)
            and plain_address(address) in self.network
        )


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

    def __init__(
        self, rules: Iterable[HostRule], *, temp_root: str | None = None,
        idle_timeout: float = DEFAULT_IDLE_TIMEOUT,
    ) -> None:
        if not idle_timeout > 0:
            raise ValueError("idle_timeout must be a number of seconds above 0")
        self.rules = tuple(rules)
        self.idle_timeout = idle_timeout
        self._temp_root = temp_root
        self._own: tuple[float, frozenset[IpAddress]] | None = None
        self.socket_path: str | None = None
        self._folder: str | None = None
        self._listener: socket.socket | None = None
        self._server: asyncio.Server | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._connections: set[asyncio.Task[None]] = set()

    def allows(self, host: str, port: int) -> bool:
        return any(rule.matches(host, port) for rule in self.rules)

    def grants(self, address: IpAddress, port: int) -> bool:
        """Whether the operator allowed ``address:port`` by its address or network."""
        return any(rule.grants(address, port) for rule in self.rules)

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
        await self._relay(reader, writer, upstream_reader, upstream_writer)

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
        try:
            own = await self._own_addresses()
        except OSError as error:
            raise Refusal(502, f"cannot check {host}: {error}") from None
        try:
            # An address asked for is itself: no trip to the resolver's thread.
            found = [host] if _address(host) is not None else await asyncio.wait_for(
                self._resolve(host, port), _CONNECT_TIMEOUT
            )
        except (OSError, TimeoutError) as error:
            raise Refusal(502, f"cannot resolve {host}: {error}") from None
        # Checked in plain form, and connected to in the form checked.
        resolved = list(dict.fromkeys(address for address in map(_address, found) if address))
        addresses = [
            address for address in resolved
            if not (is_internal(address) or address in own) or self.grants(address, port)
        ]
        if not addresses:
            shown = ", ".join(map(str, resolved[:4])) or "nothing"
            raise Refusal(
                403, f"{host} resolves only to addresses of this machine or its networks "
                f"({shown}), which tools may not reach; the operator allows one with --allow-host "
                f"{suggested_rule(str(resolved[0]), port) if resolved else 'ADDRESS'}"
            )
        failure: Exception | None = None
        for address in addresses:
            try:
                return await asyncio.wait_for(self._open(str(address), port), _CONNECT_TIMEOUT)
            except (OSError, TimeoutError) as error:
                failure = error
        raise Refusal(502, f"cannot connect to {suggested_rule(host, port)}: {failure}")

    async def _resolve(self, host: str, port: int) -> list[str]:
        """The addresses of ``host``, as the system's resolver gives them."""
        found = await asyncio.get_running_loop().getaddrinfo(host, port, type=socket.SOCK_STREAM)
        return [str(info[4][0]) for info in found]

    async def _open(
        self, address: str, port: int
    ) -> tuple[asyncio.StreamReader, asyncio.StreamWriter]:
        return await asyncio.open_connection(address, port, limit=_CHUNK)

    async def _own_addresses(self) -> frozenset[IpAddress]:
        now = asyncio.get_running_loop().time()
        if self._own is None or now - self._own[0] > _OWN_ADDRESSES_TTL:
            try:
                addresses = await asyncio.to_thread(host_addresses)
            except OSError as error:
                raise OSError(f"the addresses of this machine cannot be read: {error}") from None
            self._own = (now, addresses)
        return self._own[1]

    async def _relay(
        self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
        upstream_reader: asyncio.StreamReader, upstream_writer: asyncio.StreamWriter,
    ) -> None:
        """Both directions until both ended, the task's side closed, or neither carried a byte
        for ``idle_timeout`` seconds. An end-of-file is passed on as a half-close, but once the
        task's side is gone altogether the upstream connection goes with it: a silent server
        holds nothing of the host after the call."""
        loop = asyncio.get_running_loop()
        last_byte = loop.time()
        task_side = writer.get_extra_info("socket")

        async def copy(source: asyncio.StreamReader, target: asyncio.StreamWriter) -> None:
            nonlocal last_byte
            try:
                while chunk := await source.read(_CHUNK):
                    last_byte = loop.time()
                    target.write(chunk)
                    await target.drain()
                if target.can_write_eof():
                    target.write_eof()
            except OSError:
                target.close()

        upward = asyncio.ensure_future(copy(reader, upstream_writer))
        downward = asyncio.ensure_future(copy(upstream_reader, writer))
        pending = {upward, downward}
        try:
            while pending:
                idle_left = last_byte + self.idle_timeout - loop.time()
                if idle_left <= 0:
                    break
                # Once the task's side is shut for writing, look now and then whether it is
                # gone: its end-of-file alone does not say.
                wait = min(idle_left, _HANG_UP_CHECK) if upward.done() else idle_left
                _, pending = await asyncio.wait(
                    pending, timeout=wait, return_when=asyncio.FIRST_COMPLETED
                )
                if upward.done() and _hung_up(task_side):
                    break
        finally:
            for copying in pending:
                copying.cancel()
            upstream_writer.close()
            await asyncio.gather(*pending, return_exceptions=True)


def _hung_up(sock: socket.socket | None) -> bool:
    """Whether the peer of ``sock`` closed it altogether (not just shut it for writing)."""
    if sock is None:
        return True
    try:
        poller = select.poll()
        poller.register(sock.fileno(), 0)  # a hang-up or an error is always reported
        return any(events & (select.POLLHUP | select.POLLERR) for _, events in poller.poll(0))
    except (OSError, ValueError):
        return True


# The kernel's interface to its addresses (linux/netlink.h, linux/rtnetlink.h, linux/if_addr.h).
_RTM_NEWADDR, _RTM_GETADDR = 20, 22
_NLMSG_ERROR, _NLMSG_DONE = 2, 3
_NLM_F_REQUEST, _NLM_F_DUMP = 0x1, 0x300
_IFA_ADDRESS, _IFA_LOCAL = 1, 2
_HEADER = struct.Struct("=IHHII")  # nlmsghdr: length, type, flags, sequence, port
_ADDRESS_MESSAGE = struct.Struct("=BBBBI")  # ifaddrmsg: family, prefix length, flags, scope, index
_ATTRIBUTE = struct.Struct("=HH")  # rtattr: length, type


def host_addresses() -> frozenset[IpAddress]:
    """Every address of this machine's interfaces (and the far end of a point-to-point link),
    in plain form, as the kernel lists them: all of them, not just each interface's first."""
    found: set[IpAddress] = set()
    with socket.socket(socket.AF_NETLINK, socket.SOCK_RAW | socket.SOCK_CLOEXEC,
                       socket.NETLINK_ROUTE) as sock:
        sock.bind((0, 0))
        body = _ADDRESS_MESSAGE.pack(socket.AF_UNSPEC, 0, 0, 0, 0)
        sock.send(_HEADER.pack(_HEADER.size + len(body), _RTM_GETADDR,
                               _NLM_F_REQUEST | _NLM_F_DUMP, 1, 0) + body)
        while True:
            data = sock.recv(1 << 16)
            if not data:
                raise OSError("the kernel's address list ended early")
            offset = 0
            while offset + _HEADER.size <= len(data):
                length, kind, _, _, _ = _HEADER.unpack_from(data, offset)
                if length < _HEADER.size:
                    raise OSError("a malformed answer from the kernel's address list")
                if kind == _NLMSG_DONE:
                    return frozenset(found)
                if kind == _NLMSG_ERROR:
                    (code,) = struct.unpack_from("=i", data, offset + _HEADER.size)
                    raise OSError(-code, os.strerror(-code))
                if kind == _RTM_NEWADDR:
                    found.update(_message_addresses(data, offset + _HEADER.size, offset + length))
                offset += (length + 3) & ~3


def _message_addresses(data: bytes, start: int, end: int) -> list[IpAddress]:
    family = data[start]
    size = {int(socket.AF_INET): 4, int(socket.AF_INET6): 16}.get(family)
    found = []
    attribute = start + _ADDRESS_MESSAGE.size
    while size is not None and attribute + _ATTRIBUTE.size <= end:
        length, kind = _ATTRIBUTE.unpack_from(data, attribute)
        if length < _ATTRIBUTE.size:
            break
        value = data[attribute + _ATTRIBUTE.size: attribute + length]
        if kind in (_IFA_ADDRESS, _IFA_LOCAL) and len(value) == size:
            found.append(plain_address(ipaddress.ip_address(value)))
        attribute += (length + 3) & ~3
    return found


# Proxies still listening: their folders go when the interpreter exits.
_live_proxies: weakref.WeakSet[NetworkProxy] = weakref.WeakSet()


@atexit.register
def _close_live_proxies() -> None:
    for proxy in list(_live_proxies):
        proxy.close_now()
