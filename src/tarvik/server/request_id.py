"""The "id" of a JSON-RPC request, found while its body streams past and keeping nothing else of it.

The front hands a request's body on to the tenant's process as it arrives.
Should that process end before it answered, the front answers for it, and a
JSON-RPC error is only an answer with the request's id. Scanning stops at
the id: a top-level key outside the strings and the nested values, which are
skipped with one regular-expression search each, not a character at a time;
and it gives up after a fixed number of such steps, so a body built of
nothing but tiny strings costs the event loop no more than any other.
Clients write the id near the start, before the params.
"""

from __future__ import annotations

import json
import re

_IN_STRING = re.compile(rb'["\\]')
_OUTSIDE_STRING = re.compile(rb'["{}\[\],:]')
_WHITESPACE = b" \t\r\n"
# An id is a number or a short string; anything longer is not worth keeping.
_VALUE_LIMIT = 256
# Keys are kept only as long as they could still be "id".
_KEY_LIMIT = 3
# Searches per body: a few milliseconds at most.
_STEP_LIMIT = 4096


class RequestIdScanner:
    """Feed it a request body chunk by chunk; `request_id` is the id once `done`, or None."""

    def __init__(self) -> None:
        self.done = False
        self.request_id: int | str | None = None
        self._started = False
        self._depth = 0
        self._in_string = False
        self._escaped = False
        self._key: bytearray | None = None  # the top-level key being read
        self._last_key = b""
        self._expect_key = True
        self._value: bytearray | None = None  # the raw value of "id" being read
        self._value_from = 0
        self._steps = 0

    def feed(self, chunk: bytes) -> None:
        position = 0
        self._value_from = 0
        while position < len(chunk) and not self.done:
            position = self._step(chunk, position)
            self._steps += 1
            if self._steps > _STEP_LIMIT:
                self.done = True
                self._value = None
        if self._value is not None and not self.done:
            self._keep_value(chunk, len(chunk))

    def _step(self, chunk: bytes, position: int) -> int:
        if not self._started:
            while position < len(chunk) and chunk[position] in _WHITESPACE:
                position += 1
            if position < len(chunk):
                self._started = True
                if chunk[position] != ord("{"):
                    self.done = True  # not one request (a batch, or not JSON): no id to answer with
                self._depth = 1
                position += 1
            return position
        if self._escaped:
            self._escaped = False
            if self._key is not None:
                self._key = bytearray(b"\\" * (_KEY_LIMIT + 1))  # an escaped key is not read as "id"
            return position + 1
        if self._in_string:
            found = _IN_STRING.search(chunk, position)
            end = found.start() if found else len(chunk)
            if self._key is not None and len(self._key) <= _KEY_LIMIT:
                self._key += chunk[position:end][: _KEY_LIMIT + 1]
            if found is None:
                return len(chunk)
            if chunk[end] == ord("\\"):
                self._escaped = True
            else:
                self._in_string = False
                if self._key is not None:
                    self._last_key, self._key = bytes(self._key), None
            return end + 1
        found = _OUTSIDE_STRING.search(chunk, position)
        if found is None:
            return len(chunk)
        mark = chunk[found.start()]
        at_top = self._depth == 1
        if mark == ord('"'):
            self._in_string = True
            if at_top and self._expect_key:
                self._key = bytearray()
                self._expect_key = False
        elif mark in b"{[":
            self._depth += 1
        elif mark in b"}]":
            self._depth -= 1
            if self._depth == 0:
                self._end_value(chunk, found.start())
                self.done = True
        elif at_top and mark == ord(":") and self._last_key == b"id":
            self._value = bytearray()
            self._value_from = found.end()
        elif at_top and mark == ord(","):
            self._end_value(chunk, found.start())
            self._expect_key = True
            self._last_key = b""
        return found.end()

    def _keep_value(self, chunk: bytes, end: int) -> None:
        assert self._value is not None
        self._value += chunk[self._value_from:end]
        self._value_from = 0
        if len(self._value) > _VALUE_LIMIT:
            self.done = True
            self._value = None

    def _end_value(self, chunk: bytes, end: int) -> None:
        if self._value is None:
            return
        self._keep_value(chunk, end)
        if self._value is None:
            return
        try:
            value = json.loads(bytes(self._value))
        except ValueError:
            value = None
        if isinstance(value, int | str) and not isinstance(value, bool):
            self.request_id = value
        self._value = None
        self.done = True
