"""The tokens file: which tenant a bearer token belongs to, kept as the SHA-256 of each token.

One tenant per line, `NAME SHA256-HEX`; blank lines and lines starting with
`#` are left alone. A tenant may have several lines (one per agent, or an old
and a new token while changing it); one token never names two tenants, and
only this user (or root) may be able to change the file. The tokens themselves are stored nowhere:
`add_token` prints one once, and the server hashes what a client presents.
"""

from __future__ import annotations

import asyncio
import contextlib
import fcntl
import hashlib
import hmac
import logging
import os
import re
import secrets
import stat
import time
from collections.abc import Iterator
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
    # digest -> (line, tenant): one token must never name two tenants.
    seen: dict[bytes, tuple[int, str]] = {}
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
        digest = bytes.fromhex(words[1])
        earlier = seen.setdefault(digest, (number, tenant))
        if earlier[1] != tenant:
            raise TokensFileError(
                f"{source}, lines {earlier[0]} and {number}: the same token's SHA-256 names tenant {earlier[1]} "
                f"and tenant {tenant}; a token belongs to one tenant (give one of them a new token)"
            )
        entries.append(TokenEntry(tenant, digest))
    return entries


def _check_trust(path: Path, status: os.stat_result) -> None:
    """Refuse a file (or a folder holding it) that anyone but this user and root can change:
    whoever can write it can add a tenant of their own."""
    if status.st_uid not in (os.geteuid(), 0):
        raise TokensFileError(f"the tokens file {path} belongs to uid {status.st_uid}, not to this user or root")
    if status.st_mode & 0o022:
        raise TokensFileError(f"others can write to the tokens file {path} (chmod 600 it)")
    folder = path.absolute().parent
    try:
        holder = folder.stat()
    except OSError as exc:
        raise TokensFileError(f"cannot read the folder of the tokens file {path}: {exc}") from None
    if holder.st_mode & 0o022 and not holder.st_mode & stat.S_ISVTX:
        raise TokensFileError(f"others can replace the tokens file {path}: its folder {folder} is writable by them")


def read_tokens(path: Path) -> list[TokenEntry]:
    """The file's entries, once it is known that only this user (or root) can change it."""
    try:
        with open(path, "rb") as tokens_file:
            _check_trust(path, os.fstat(tokens_file.fileno()))
            text = tokens_file.read().decode("utf-8")
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
    """A new random token for `tenant`, whose hash is added to the file (created readable by its owner only).

    The file is replaced whole (a copy written beside it, flushed, renamed
    over it), under a lock that a second `tarvik token add` waits for: a
    crash, a full disk or another writer leaves the old file or the new one,
    never a part.
    """
    check_tenant_name(tenant)
    token = secrets.token_urlsafe(32)
    line = f"{tenant} {token_digest(token).hex()}\n".encode()
    with _file_lock(path):
        try:
            current = path.read_bytes()
        except FileNotFoundError:
            current = b""
        else:
            read_tokens(path)  # never add to a file the server would refuse
        if current and not current.endswith(b"\n"):
            current += b"\n"
        _replace(path, current + line)
    return token


@contextlib.contextmanager
def _file_lock(path: Path) -> Iterator[None]:
    """An exclusive lock beside `path` (the file itself is replaced, so it cannot hold one)."""
    descriptor = os.open(path.with_name(f".{path.name}.lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        os.close(descriptor)


def _replace(path: Path, content: bytes) -> None:
    temporary = path.with_name(f".{path.name}.{secrets.token_hex(8)}.tmp")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        with os.fdopen(descriptor, "wb") as copy:
            copy.write(content)
            copy.flush()
            os.fsync(copy.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    folder = os.open(path.parent, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


class TokensFile:
    """The tokens file as a running server sees it: read again every second or so, so tenants come and go live.

    A file that turns unreadable, malformed, missing or changeable by others
    refuses every token until it is good again, and the log says why (once
    per problem): a line removed to take a token back must never stay valid
    because the edit that removed it also broke another line.
    """

    def __init__(self, path: Path) -> None:
        self.path = path
        self._entries = read_tokens(path)
        self._problem: str | None = None
        self._checked = time.monotonic()
        self._lock = asyncio.Lock()

    @property
    def tenants(self) -> list[str]:
        return sorted({entry.tenant for entry in self._entries})

    async def tenant_of(self, token: str) -> str | None:
        await self._refresh()
        return tenant_of(self._entries, token)

    async def _refresh(self) -> None:
        if time.monotonic() - self._checked < _RELOAD_INTERVAL:
            return
        async with self._lock:
            if time.monotonic() - self._checked < _RELOAD_INTERVAL:
                return
            try:
                entries = await asyncio.to_thread(read_tokens, self.path)
            except TokensFileError as exc:
                self._entries = []
                if str(exc) != self._problem:
                    logger.error("Refusing every token until the tokens file is good again: %s", exc)
                self._problem = str(exc)
            else:
                if self._problem is not None:
                    logger.warning("The tokens file is good again; accepting the tokens of its %d tenant(s)",
                                   len({entry.tenant for entry in entries}))
                elif entries != self._entries:
                    logger.info("Tokens file read again: %d tenant(s)", len({entry.tenant for entry in entries}))
                self._entries = entries
                self._problem = None
            self._checked = time.monotonic()
