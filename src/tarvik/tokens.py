"""The tokens file: which tenant a bearer token belongs to, kept as the SHA-256 of each token.

One tenant per line, `NAME SHA256-HEX`; blank lines and lines starting with
`#` are left alone. A tenant may have several lines (one per agent, or an old
and a new token while changing it). The tokens themselves are stored nowhere:
`add_token` prints one once, and the server hashes what a client presents.
"""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import logging
import os
import re
import secrets
import time
from dataclasses import dataclass
from pathlib import Path

logger = logging.getLogger("tarvik.server")

# A tenant's name is the name of its folder under the data dir.
_TENANT_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")
_DIGEST = re.compile(r"[0-9a-fA-F]{64}")
# How often a running server looks whether the file changed.
_RELOAD_INTERVAL = 1.0


class TokensFileError(ValueError):
    """The tokens file cannot be read as tenants and token hashes."""


def check_tenant_name(name: str) -> str:
    if not _TENANT_NAME.fullmatch(name):
        raise ValueError(
            f"{name!r} is not a tenant name: 1 to 64 characters of A-Z a-z 0-9 _ . -, "
            "starting with a letter or a digit"
        )
    return name


def token_digest(token: str) -> bytes:
    return hashlib.sha256(token.encode("utf-8", "surrogatepass")).digest()


@dataclass(frozen=True, slots=True)
class TokenEntry:
    tenant: str
    digest: bytes


def parse_tokens(text: str, source: str = "tokens file") -> list[TokenEntry]:
    entries: list[TokenEntry] = []
    for number, line in enumerate(text.splitlines(), start=1):
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        if len(words) != 2 or not _DIGEST.fullmatch(words[1]):
            raise TokensFileError(f"{source}, line {number}: expected a tenant and a SHA-256 in hex, as written by "
                                  "`tarvik token add`")
        try:
            tenant = check_tenant_name(words[0])
        except ValueError as exc:
            raise TokensFileError(f"{source}, line {number}: {exc}") from None
        entries.append(TokenEntry(tenant, bytes.fromhex(words[1])))
    return entries


def read_tokens(path: Path) -> list[TokenEntry]:
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise TokensFileError(f"cannot read the tokens file {path}: {exc}") from None
    return parse_tokens(text, str(path))


def tenant_of(entries: list[TokenEntry], token: str) -> str | None:
    """The tenant whose token this is, or None; takes the same time whichever entry matches, if any."""
    digest = token_digest(token)
    found: str | None = None
    for entry in entries:
        if hmac.compare_digest(entry.digest, digest) and found is None:
            found = entry.tenant
    return found


def add_token(path: Path, tenant: str) -> str:
    """A new random token for `tenant`, whose hash is appended to the file (created readable by its owner only)."""
    check_tenant_name(tenant)
    if path.exists():
        read_tokens(path)  # never append to a file the server would refuse
    token = secrets.token_urlsafe(32)
    line = f"{tenant} {token_digest(token).hex()}\n"
    descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND, 0o600)
    with os.fdopen(descriptor, "a+b") as tokens_file:
        tokens_file.seek(0, os.SEEK_END)
        if tokens_file.tell():
            tokens_file.seek(-1, os.SEEK_END)
            if tokens_file.read(1) != b"\n":
                line = "\n" + line
        tokens_file.write(line.encode("utf-8"))
    return token


class TokensFile:
    """The tokens file as a running server sees it: read again once it changed, so tenants come and go live.

    A file that turns unreadable or malformed keeps the tenants last read, and
    the log says why, once per change.
    """

    def __init__(self, path: Path) -> None:
        self.path = path
        self._entries = read_tokens(path)
        self._stamp = self._stat()
        self._checked = time.monotonic()
        self._lock = asyncio.Lock()

    @property
    def tenants(self) -> list[str]:
        return sorted({entry.tenant for entry in self._entries})

    def _stat(self) -> tuple[int, int, int] | None:
        try:
            status = self.path.stat()
        except OSError:
            return None
        return status.st_ino, status.st_size, status.st_mtime_ns

    async def tenant_of(self, token: str) -> str | None:
        await self._refresh()
        return tenant_of(self._entries, token)

    async def _refresh(self) -> None:
        if time.monotonic() - self._checked < _RELOAD_INTERVAL:
            return
        async with self._lock:
            if time.monotonic() - self._checked < _RELOAD_INTERVAL:
                return
            stamp = await asyncio.to_thread(self._stat)
            if stamp != self._stamp:
                try:
                    self._entries = await asyncio.to_thread(read_tokens, self.path)
                    logger.info("Tokens file read again: %d tenant(s)", len(self.tenants))
                except TokensFileError as exc:
                    logger.warning("Keeping the tenants read before: %s", exc)
                self._stamp = stamp
            self._checked = time.monotonic()
