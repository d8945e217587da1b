"""The call log: one row per call of a custom tool and per tool_creator operation, in SQLite beside the store.

`~/.tarvik/calls.db` (so each tenant of an HTTP server, whose HOME is its
own, has its own) holds when each call started, which tool and operation,
how it ended, how long it took, how much it printed, the hash of the script
that ran and whether its world was warm or fresh. The operator's page
(`tarvik ui`) reads it.

A call never waits for the log: `CallLog.record` puts the row on a queue (a
microsecond or so) and one writer thread takes the rows from there, a batch
at a time, in WAL mode. A database that is locked, read-only, not a database
or not there at all is a warning in the host's log; the rows wait (up to a
bound) for it to be writable again, and the calls go on. Rows older than the
retention are pruned. The schema has a version (`PRAGMA user_version`) and
the migrations to reach it are below, each applied once, in a transaction.
"""

from __future__ import annotations

import asyncio
import hashlib
import logging
import os
import queue
import sqlite3
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any, NamedTuple

logger = logging.getLogger("tarvik.calllog")

DEFAULT_RETENTION_DAYS = 30.0
# How the call ended, as the log and the metrics name it.
OUTCOMES = ("ok", "error", "refused", "timeout", "limit", "raised", "cancelled")
# A failure's text is kept this long; the rest of it is in the call's answer.
ERROR_TEXT_LIMIT = 4000
# The writer gathers the rows of this long into one transaction, so a busy host wakes it a few
# times a second, not once per call.
_BATCH_WINDOW = 0.1
# How much lower than the host's the writer thread's CPU priority is (Linux: per thread).
_WRITER_NICENESS = 10
# Rows the writer makes before it lets the event loop's thread run again.
_ROWS_AT_A_TIME = 32
# Rows held back while the database cannot be written; past this the oldest go.
_PENDING_LIMIT = 20_000
# How soon a database that could not be opened or written is tried again.
_RETRY_INTERVAL = 5.0
_PRUNE_INTERVAL = 3600.0
# A writer of another process holding the database gets this long to finish.
_BUSY_TIMEOUT_MS = 250

# Each entry takes the schema from its index to the next version.
MIGRATIONS: tuple[tuple[str, ...], ...] = (
    (
        """CREATE TABLE calls (
            id INTEGER PRIMARY KEY,
            at REAL NOT NULL,
            tool TEXT NOT NULL,
            operation TEXT,
            target TEXT,
            outcome TEXT NOT NULL,
            limit_name TEXT,
            seconds REAL NOT NULL,
            printed_bytes INTEGER NOT NULL,
            digest TEXT,
            world TEXT,
            error TEXT
        )""",
        "CREATE INDEX calls_at ON calls (at)",
        "CREATE INDEX calls_target_at ON calls (target, at)",
    ),
)
SCHEMA_VERSION = len(MIGRATIONS)


class CallRecord(NamedTuple):
    """One call as the log keeps it (a tuple: made on the call's path, it must cost next to nothing)."""

    # Unix time the call started.
    at: float
    # The tool called: tool_creator, custom_<name>.
    tool: str
    # tool_creator's operation; None for a custom tool's call.
    operation: str | None
    # The saved tool the call concerns (custom_<name>'s name, or tool_creator's tool_name).
    target: str | None
    outcome: str
    # The limit a call that met one met: "memory", "processes", ...; "time" for a time-out.
    limit: str | None
    seconds: float
    # What the call's workers printed; the writer counts its bytes.
    printed: str
    # SHA-256 of the script that ran; for a create or validate, of the code given (`code`).
    digest: str | None
    code: str | None
    # "warm" or "fresh": the world the call's script ran in; None when it reached none.
    world: str | None
    # The text of a call that did not end well.
    error: str | None


def calls_db(home: Path) -> Path:
    """The call log of the store whose home is `home`."""
    return home / ".tarvik" / "calls.db"


def _row(record: CallRecord) -> tuple[object, ...]:
    digest = record.digest
    if digest is None and isinstance(record.code, str):
        digest = hashlib.sha256(record.code.encode("utf-8", "surrogatepass")).hexdigest()
    error = record.error[:ERROR_TEXT_LIMIT] if record.error is not None else None
    printed = len(record.printed.encode("utf-8", "surrogatepass")) if record.printed else 0
    return (record.at, record.tool, record.operation, record.target, record.outcome, record.limit,
            record.seconds, printed, digest, record.world, error)


def open_for_writing(path: Path) -> sqlite3.Connection:
    """The log at `path`, created or migrated to this schema; raises sqlite3.Error or OSError."""
    path.parent.mkdir(parents=True, exist_ok=True)
    # Readable by this user alone, as SQLite then makes its -wal and -shm: a failure's text may quote
    # what a tool printed.
    os.close(os.open(path, os.O_RDWR | os.O_CREAT, 0o600))
    connection = sqlite3.connect(path, timeout=_BUSY_TIMEOUT_MS / 1000, isolation_level=None,
                                 check_same_thread=False)
    try:
        mode = connection.execute("PRAGMA journal_mode=WAL").fetchone()
        if not mode or str(mode[0]).lower() != "wal":
            raise sqlite3.OperationalError(f"cannot switch {path} to WAL mode (it is in {mode and mode[0]} mode)")
        connection.execute("PRAGMA synchronous=NORMAL")
        migrate(connection)
    except BaseException:
        connection.close()
        raise
    return connection


def migrate(connection: sqlite3.Connection) -> None:
    """Bring the schema to SCHEMA_VERSION; a log written by a later tarvik is left as it is, and refused."""
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version == SCHEMA_VERSION:
        return
    # Re-read under the write lock: another process may be migrating the same file.
    connection.execute("BEGIN IMMEDIATE")
    try:
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise sqlite3.DatabaseError(
                f"its schema is version {version}, written by a later tarvik (this one writes {SCHEMA_VERSION})"
            )
        for statements in MIGRATIONS[version:]:
            for statement in statements:
                connection.execute(statement)
        connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        connection.execute("COMMIT")
    except BaseException:
        connection.execute("ROLLBACK")
        raise


def open_for_reading(path: Path) -> sqlite3.Connection | None:
    """The log at `path` read-only, or None when there is none (yet) or it is of another schema."""
    if not path.is_file():
        return None
    try:
        connection = sqlite3.connect(f"{path.resolve().as_uri()}?mode=ro", uri=True, timeout=1.0,
                                     check_same_thread=False)
        if connection.execute("PRAGMA user_version").fetchone()[0] != SCHEMA_VERSION:
            connection.close()
            return None
    except sqlite3.Error as error:
        logger.warning("Cannot read the call log %s: %s", path, error)
        return None
    return connection


class _Flushed(NamedTuple):
    """Put on the queue by `settled`: done once every row put before it has been counted."""

    loop: asyncio.AbstractEventLoop
    future: asyncio.Future[None]


_STOP = object()


class CallLog:
    """The rows of one store's calls, written to `path` by a thread of its own.

    `observers` see every batch of rows before it goes to the database (the
    HTTP server's metrics count them there), also when the database cannot
    be written or `path` is None (the log switched off).
    """

    def __init__(
        self, path: Path | None, *, retention_days: float = DEFAULT_RETENTION_DAYS,
        observers: Sequence[Callable[[Sequence[CallRecord]], None]] = (),
    ) -> None:
        self.path = path
        self.retention = retention_days * 86400.0
        self._observers = list(observers)
        self._queue: queue.SimpleQueue[object] = queue.SimpleQueue()
        self._pending: list[tuple[object, ...]] = []
        self._connection: sqlite3.Connection | None = None
        self._next_try = 0.0
        self._next_prune = 0.0
        self._problem: str | None = None
        self._dropped = 0
        self._closed = False
        self._thread = threading.Thread(target=self._run, name="tarvik-call-log", daemon=True)
        self._thread.start()

    def record(self, record: CallRecord) -> None:
        self._queue.put(record)

    def record_from(self, make: Callable[..., CallRecord], *inputs: Any) -> None:
        """The row `make(*inputs)` will give, made by the writer: all a call's path pays is the queue."""
        self._queue.put((make, inputs))

    def add_observer(self, observer: Callable[[Sequence[CallRecord]], None]) -> None:
        self._observers.append(observer)

    async def settled(self, timeout: float = 2.0) -> bool:
        """Wait until every row recorded so far has been seen by the observers; whether it was in time."""
        loop = asyncio.get_running_loop()
        future: asyncio.Future[None] = loop.create_future()
        self._queue.put(_Flushed(loop, future))
        try:
            await asyncio.wait_for(asyncio.shield(future), timeout)
        except TimeoutError:
            return False
        return True

    def close(self, timeout: float = 10.0) -> None:
        """Write what is queued (as far as the database allows) and end the writer."""
        if self._closed:
            return
        self._closed = True
        self._queue.put(_STOP)
        self._thread.join(timeout)

    async def aclose(self) -> None:
        await asyncio.to_thread(self.close)

    # --- the writer thread ---------------------------------------------------------

    def _run(self) -> None:
        try:
            # The log yields the CPU to the calls: the workers and the event loop come first.
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), _WRITER_NICENESS)
        except (OSError, AttributeError):
            pass
        stopping = False
        while not stopping:
            try:
                first = self._queue.get(timeout=_RETRY_INTERVAL if self._pending else None)
            except queue.Empty:
                self._write()
                continue
            time.sleep(0 if first is _STOP or isinstance(first, _Flushed) else _BATCH_WINDOW)
            batch = [first, *self._drain()]
            stopping = any(item is _STOP for item in batch)
            records = []
            for count, item in enumerate(batch, start=1):
                if (record := self._made(item)) is not None:
                    records.append(record)
                if count % _ROWS_AT_A_TIME == 0:
                    # Let the event loop's thread have the interpreter between short runs of rows.
                    time.sleep(0)
            if records:
                self._observe(records)
                if self.path is not None:
                    self._pending.extend(map(_row, records))
            for item in batch:
                if isinstance(item, _Flushed):
                    _resolve(item)
            self._write(force=stopping)
        if self._pending:
            logger.warning("%d row(s) of the call log %s could not be written", len(self._pending), self.path)
        if self._connection is not None:
            self._connection.close()

    @staticmethod
    def _made(item: object) -> CallRecord | None:
        if isinstance(item, CallRecord):
            return item
        if isinstance(item, tuple) and len(item) == 2 and callable(item[0]):
            try:
                made = item[0](*item[1])
            except Exception:
                logger.exception("A call's row could not be made")
                return None
            return made if isinstance(made, CallRecord) else None
        return None

    def _drain(self) -> Iterable[object]:
        while True:
            try:
                yield self._queue.get_nowait()
            except queue.Empty:
                return

    def _observe(self, records: Sequence[CallRecord]) -> None:
        for observer in self._observers:
            try:
                observer(records)
            except Exception:
                logger.exception("A call log observer failed")

    def _write(self, *, force: bool = False) -> None:
        if not self._pending:
            return
        if len(self._pending) > _PENDING_LIMIT:
            dropped = len(self._pending) - _PENDING_LIMIT
            del self._pending[:dropped]
            self._dropped += dropped
        now = time.monotonic()
        if self._connection is None and now < self._next_try and not force:
            return
        assert self.path is not None
        try:
            if self._connection is None:
                self._connection = open_for_writing(self.path)
            connection = self._connection
            connection.execute("BEGIN IMMEDIATE")
            try:
                connection.executemany(
                    "INSERT INTO calls (at, tool, operation, target, outcome, limit_name, seconds, printed_bytes, "
                    "digest, world, error) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", self._pending,
                )
                if now >= self._next_prune:
                    connection.execute("DELETE FROM calls WHERE at < ?", (time.time() - self.retention,))
                    self._next_prune = now + _PRUNE_INTERVAL
                connection.execute("COMMIT")
            except BaseException:
                if connection.in_transaction:
                    connection.execute("ROLLBACK")
                raise
        except (sqlite3.Error, OSError) as error:
            self._failed(error)
            return
        written = len(self._pending)
        self._pending.clear()
        if self._problem is not None:
            lost = f"; {self._dropped} row(s) were lost meanwhile" if self._dropped else ""
            logger.warning("The call log %s is written again (%d row(s) held back went in)%s", self.path,
                           written, lost)
            self._problem = None
            self._dropped = 0

    def _failed(self, error: BaseException) -> None:
        if self._connection is not None:
            try:
                self._connection.close()
            except sqlite3.Error:
                pass
            self._connection = None
        self._next_try = time.monotonic() + _RETRY_INTERVAL
        problem = f"{type(error).__name__}: {error}"
        if problem != self._problem:
            logger.warning(
                "Cannot write the call log %s (%s); calls go on, and their rows wait to be written "
                "(at most %d are kept)", self.path, problem, _PENDING_LIMIT,
            )
            self._problem = problem


def _resolve(flushed: _Flushed) -> None:
    def done() -> None:
        if not flushed.future.done():
            flushed.future.set_result(None)

    try:
        flushed.loop.call_soon_threadsafe(done)
    except RuntimeError:
        pass  # its event loop is closed: no one waits any more
