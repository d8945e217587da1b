"""Tool scripts as the host reads them for a run: their bytes and a hash of them, read again
only once the file changed."""

from __future__ import annotations

import asyncio
import hashlib
import os
import stat
from dataclasses import dataclass

# Bigger scripts are read off the event loop.
_READ_ON_LOOP = 256 << 10


@dataclass(frozen=True)
class Script:
    """One version of a tool's script."""

    path: str
    source: bytes
    # SHA-256 of the source: what a warm world of the tool is keyed by.
    digest: str
    signature: tuple[int, ...]

    @property
    def folder(self) -> str:
        return os.path.dirname(self.path)


class ScriptFiles:
    """The scripts runs asked for, each kept until its file changes (one ``stat`` a call)."""

    def __init__(self) -> None:
        self._known: dict[str, Script] = {}

    async def read(self, path: str) -> Script:
        """The script at ``path``, as it is now; raises OSError (FileNotFoundError included)."""
        info = os.stat(path)
        if not stat.S_ISREG(info.st_mode):
            raise IsADirectoryError(f"{path} is not a file")
        signature = (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)
        known = self._known.get(path)
        if known is not None and known.signature == signature:
            return known
        if info.st_size > _READ_ON_LOOP:
            source = await asyncio.to_thread(_read_bytes, path)
        else:
            source = _read_bytes(path)
        script = Script(path, source, hashlib.sha256(source).hexdigest(), signature)
        self._known[path] = script
        return script

    def current(self, path: str) -> str | None:
        """The digest of the script at ``path`` as last read, if it still has that file."""
        known = self._known.get(path)
        if known is None:
            return None
        try:
            info = os.stat(path)
        except OSError:
            self._known.pop(path, None)
            return None
        signature = (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)
        return known.digest if signature == known.signature else None

    def forget(self, path: str) -> None:
        self._known.pop(path, None)


def _read_bytes(path: str) -> bytes:
    with open(path, "rb") as script:
        return script.read()
