"""What the operator's page shows of a store: its tools as they are on disk, and their calls from the call log.

Read-only throughout: the store's files are read, the call log is opened
read-only. Everything here blocks (files, SQLite): the page runs it in a thread.
"""

from __future__ import annotations

import ctypes
import hashlib
import json
import os
import sqlite3
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tarvik.calllog import calls_db, open_for_reading
from tarvik.core.packages import PackageError, read_requirements
from tarvik.store import saved_script
from tarvik.tokens import check_tenant_name
from tarvik.tools.registry import CUSTOM_PREFIX
from tarvik.tools.typed_args import read_declaration

# A script larger than this is shown cut.
CODE_SHOWN_LIMIT = 512 << 10
RECENT_CALLS = 50
# The chart reads at most this many of a tool's latest calls.
CHART_CALLS = 100_000


@dataclass(frozen=True)
class Store:
    """One store: HOME's (`tenant` None) or one tenant's of an HTTP server."""

    tenant: str | None
    home: Path

    @property
    def root(self) -> Path:
        return self.home / ".tarvik" / "custom_tools"

    @property
    def prefix(self) -> str:
        """Where its pages are."""
        return f"/tenants/{self.tenant}" if self.tenant is not None else ""

    @property
    def title(self) -> str:
        return f"tenant {self.tenant}" if self.tenant is not None else str(self.root)


@dataclass(frozen=True)
class CallRow:
    at: float
    tool: str
    operation: str | None
    target: str | None
    outcome: str
    limit: str | None
    seconds: float
    printed_bytes: int
    digest: str | None
    world: str | None
    error: str | None

    @property
    def outcome_text(self) -> str:
        return f"limit: {self.limit}" if self.outcome == "limit" and self.limit else self.outcome

    @property
    def what(self) -> str:
        return f"{self.tool} {self.operation}" if self.operation else self.tool


@dataclass(frozen=True)
class CallSummary:
    calls: int = 0
    failures: int = 0
    last: float | None = None
    p50: float | None = None


@dataclass(frozen=True)
class ToolView:
    """One saved tool as its folder holds it, and what the log says of its calls."""

    name: str
    description: str
    schema: str | None
    schema_problem: str | None
    packages: list[str]
    packages_problem: str | None
    created: float | None
    changed: float | None
    digest: str | None
    summary: CallSummary = field(default_factory=CallSummary)
    code: str | None = None
    code_cut: bool = False

    @property
    def registered_as(self) -> str:
        return f"{CUSTOM_PREFIX}{self.name}"


def stores(data_dir: Path | None) -> list[Store]:
    """Every tenant's store under `data_dir`, or HOME's alone."""
    if data_dir is None:
        return [Store(None, Path.home())]
    found = []
    try:
        entries = sorted(data_dir.iterdir())
    except OSError:
        return []
    for entry in entries:
        try:
            check_tenant_name(entry.name)
        except ValueError:
            continue
        if entry.is_dir():
            found.append(Store(entry.name, entry))
    return found


def find_store(data_dir: Path | None, tenant: str | None) -> Store | None:
    if (data_dir is None) != (tenant is None):
        return None
    if tenant is None:
        return Store(None, Path.home())
    try:
        check_tenant_name(tenant)
    except ValueError:
        return None
    home = data_dir / tenant  # type: ignore[operator]
    return Store(tenant, home) if home.is_dir() else None


@contextmanager
def call_log(store: Store) -> Iterator[sqlite3.Connection | None]:
    connection = open_for_reading(calls_db(store.home))
    try:
        yield connection
    finally:
        if connection is not None:
            connection.close()


def tool_names(store: Store) -> list[str]:
    try:
        folders = sorted(store.root.iterdir())
    except OSError:
        return []
    return [folder.name for folder in folders if saved_script(store.root, folder.name) is not None
            and (folder / "tool.py").is_file()]


def read_tool(store: Store, name: str, log: sqlite3.Connection | None, *, with_code: bool = False) -> ToolView | None:
    script = saved_script(store.root, name)
    if script is None or not script.is_file():
        return None
    try:
        source_bytes = script.read_bytes()
    except OSError:
        return None
    source = source_bytes.decode("utf-8", "replace")
    declaration = read_declaration(source)
    try:
        packages, packages_problem = read_requirements(source), None
    except PackageError as error:
        packages, packages_problem = [], str(error)
    folder = script.parent
    cut = with_code and len(source) > CODE_SHOWN_LIMIT
    return ToolView(
        name=name,
        description=_description(folder / "metadata.json"),
        schema=json.dumps(declaration.schema) if declaration.schema is not None else None,
        schema_problem=declaration.problem,
        packages=packages,
        packages_problem=packages_problem,
        created=_born(folder) or _first_created(log, name),
        changed=_modified(script),
        digest=hashlib.sha256(source_bytes).hexdigest(),
        summary=summary(log, name),
        code=(source[:CODE_SHOWN_LIMIT] if cut else source) if with_code else None,
        code_cut=cut,
    )


def _description(metadata: Path) -> str:
    try:
        value = json.loads(metadata.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return ""
    description = value.get("description") if isinstance(value, dict) else None
    return description if isinstance(description, str) else ""


def _modified(path: Path) -> float | None:
    try:
        return path.stat().st_mtime
    except OSError:
        return None


class _StatxTimestamp(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_int64), ("tv_nsec", ctypes.c_uint32), ("reserved", ctypes.c_int32)]


class _Statx(ctypes.Structure):
    _fields_ = [
        ("stx_mask", ctypes.c_uint32), ("stx_blksize", ctypes.c_uint32), ("stx_attributes", ctypes.c_uint64),
        ("stx_nlink", ctypes.c_uint32), ("stx_uid", ctypes.c_uint32), ("stx_gid", ctypes.c_uint32),
        ("stx_mode", ctypes.c_uint16), ("spare0", ctypes.c_uint16), ("stx_ino", ctypes.c_uint64),
        ("stx_size", ctypes.c_uint64), ("stx_blocks", ctypes.c_uint64),
        ("stx_attributes_mask", ctypes.c_uint64), ("stx_atime", _StatxTimestamp),
        ("stx_btime", _StatxTimestamp), ("stx_ctime", _StatxTimestamp), ("stx_mtime", _StatxTimestamp),
        # The kernel fills 256 bytes in all.
        ("spare", ctypes.c_uint64 * 16),
    ]


_STATX_BTIME = 0x800
_AT_FDCWD = -100
_libc: Any = None


def _born(path: Path) -> float | None:
    """When the tool's folder was made (a create that replaces a tool keeps its folder), where the file
    system keeps it; Python's own stat does not offer it on Linux."""
    global _libc
    if _libc is None:
        try:
            _libc = ctypes.CDLL(None, use_errno=True)
            _libc.statx.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_uint,
                                    ctypes.POINTER(_Statx)]
        except (OSError, AttributeError):
            _libc = False
    if not _libc:
        return None
    result = _Statx()
    if _libc.statx(_AT_FDCWD, os.fsencode(path), 0, _STATX_BTIME, ctypes.byref(result)) != 0:
        return None
    if not result.stx_mask & _STATX_BTIME:
        return None
    return float(result.stx_btime.tv_sec + result.stx_btime.tv_nsec / 1e9)


def _first_created(log: sqlite3.Connection | None, name: str) -> float | None:
    """The first create of `name` the log holds since its last delete, where the file system keeps no birth time."""
    if log is None:
        return None
    row = log.execute(
        "SELECT min(at) FROM calls WHERE target = ? AND operation = 'create' AND outcome = 'ok' AND at > "
        "coalesce((SELECT max(at) FROM calls WHERE target = ? AND operation = 'delete' AND outcome = 'ok'), 0)",
        (name, name),
    ).fetchone()
    return row[0] if row and row[0] is not None else None


_COLUMNS = "at, tool, operation, target, outcome, limit_name, seconds, printed_bytes, digest, world, error"
_FAILED = "outcome != 'ok'"
# The calls that ran a tool: its own, and tool_creator's run of it (not its create, info or delete).
_RUNS = "target = ? AND (operation IS NULL OR operation = 'run')"


def summary(log: sqlite3.Connection | None, target: str | None, since: float = 0.0) -> CallSummary:
    """How often the tool ran (or, with `target` None, anything of the store was called) since `since`."""
    if log is None:
        return CallSummary()
    where, params = (f"{_RUNS} AND at >= ?", (target, since)) if target is not None else ("at >= ?", (since,))
    calls, failures, last = log.execute(
        f"SELECT count(*), sum({_FAILED}), max(at) FROM calls WHERE {where}", params
    ).fetchone()
    if not calls:
        return CallSummary()
    middle = log.execute(
        f"SELECT seconds FROM calls WHERE {where} ORDER BY seconds LIMIT 1 OFFSET ?", (*params, (calls - 1) // 2)
    ).fetchone()
    return CallSummary(calls, failures or 0, last, middle[0] if middle else None)


def recent_calls(log: sqlite3.Connection | None, target: str | None, limit: int = RECENT_CALLS) -> list[CallRow]:
    if log is None:
        return []
    if target is None:
        rows = log.execute(f"SELECT {_COLUMNS} FROM calls ORDER BY at DESC, id DESC LIMIT ?", (limit,))
    else:
        rows = log.execute(
            f"SELECT {_COLUMNS} FROM calls WHERE target = ? ORDER BY at DESC, id DESC LIMIT ?", (target, limit)
        )
    return [CallRow(*row) for row in rows]


def call_times(log: sqlite3.Connection | None, target: str) -> list[tuple[float, float]]:
    """(started, seconds) of the tool's latest runs, oldest first, for its chart."""
    if log is None:
        return []
    rows = log.execute(
        f"SELECT at, seconds FROM calls WHERE {_RUNS} ORDER BY at DESC LIMIT ?", (target, CHART_CALLS)
    ).fetchall()
    rows.reverse()
    return rows


def day_ago() -> float:
    return time.time() - 86400.0
