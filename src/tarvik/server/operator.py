"""Who may see the operator's view (`/metrics`, the page of `tarvik ui`): this machine, or a holder of an
operator token.

A request from this machine's loopback, that names a loopback host and came
through no proxy, is the operator's own (or a process of theirs). Anything
else needs `Authorization: Bearer TOKEN` with a token of the operator tokens
file (the tenants' format, made by `tarvik token add NAME --tokens FILE`,
read again as it changes). The Host check keeps a web page the operator
visits from reaching a loopback server under a name of its own (DNS
rebinding); the check for forwarding headers keeps a TLS proxy on this very
machine from making every client of the world look local.
"""

from __future__ import annotations

import ipaddress
from pathlib import Path

from starlette.responses import PlainTextResponse, Response
from starlette.types import Scope

from tarvik.settings import is_loopback
from tarvik.tokens import TokensFile

# A request carrying one of these came through a proxy, whatever address it comes from.
_FORWARDED = frozenset({b"forwarded", b"x-forwarded-for", b"x-forwarded-host", b"x-real-ip"})


def _host_name(header: bytes) -> str:
    host = header.decode("latin-1").strip().lower()
    if host.startswith("["):
        return host[1:].partition("]")[0]
    return host.rpartition(":")[0] if host.count(":") == 1 else host


def _loopback_address(address: str) -> bool:
    try:
        return ipaddress.ip_address(address).is_loopback
    except ValueError:
        return False


def is_local(scope: Scope) -> bool:
    """Whether a request comes from this machine's loopback, to a loopback name, straight (no proxy)."""
    client = scope.get("client")
    if not client or not _loopback_address(str(client[0])):
        return False
    headers = dict(scope.get("headers") or [])
    if any(name in _FORWARDED for name in headers):
        return False
    host = headers.get(b"host")
    return host is not None and is_loopback(_host_name(host))


class OperatorAccess:
    """Lets a request of the operator's view through, or says why not."""

    def __init__(self, tokens_path: Path | None) -> None:
        self._tokens = TokensFile(tokens_path) if tokens_path is not None else None

    @property
    def has_tokens(self) -> bool:
        return self._tokens is not None

    async def refusal(self, scope: Scope) -> Response | None:
        """None when the request may have the view; else the answer it gets."""
        if is_local(scope):
            return None
        if self._tokens is not None:
            authorization = dict(scope.get("headers") or []).get(b"authorization", b"").decode("latin-1")
            scheme, _, token = authorization.partition(" ")
            if scheme.lower() == "bearer" and token.strip() and await self._tokens.tenant_of(token.strip()):
                return None
        return PlainTextResponse(
            "The operator's view answers requests from this machine's loopback, or with an operator's "
            "bearer token (`tarvik token add NAME --tokens FILE`, then --operator-tokens FILE)\n",
            401, headers={"WWW-Authenticate": 'Bearer realm="tarvik operator"'},
        )
