"""The task protocol: how the host, the zygote, a task's supervisor and its tool process talk.

Standard library only: the worker loads this file by its path (so that
nothing of the host's import path reaches a tool), and the host imports it
as ``tarvik.worker.protocol``. Both sides take every number and shape from
here.

A task has four channels to the host, made by the host and handed to the
zygote with each ``spawn`` request, in the order of ``CHANNELS``:

* ``task`` (pipe, host -> tool process): one frame per message.
* ``result`` (pipe, tool process -> host): one frame per answer. A task run
  once closes it right after its one frame.
* ``output`` (pipe, tool process -> host): what the tool prints, raw.
* ``control`` (SEQPACKET socket, host <-> supervisor): the admission, the
  start and end of each call, and the verdict. The supervisor runs no tool
  code, so what arrives on it is the task's word, not the tool's.

A frame is a 4-byte big-endian length and that many bytes of JSON.
"""

from __future__ import annotations

import json
import struct
from typing import Any

# Where a tool process finds its channels.
TASK_FD = 3
RESULT_FD = 4
# The supervisor's "go" once the task is admitted: b"S", or b"E" and why not.
ADMITTED_FD = 5

CHANNELS = ("task", "result", "output", "control")

FRAME_HEADER = struct.Struct(">I")

# The host's messages on the control channel. ADMIT is followed by fields
# b"\0name=value": "folder" (bound read-only at /tool), "packages" (bound at
# /packages), "proxy" (the network proxy's socket, which only the supervisor
# ever holds) and "bytes" (the length of the first message). RUN carries the
# call's CPU seconds and the length of its message; REST is followed by " 1"
# when the host wants to hear how it came out even when clean (the
# supervisor always says when it was not, and then ends the task). The host
# writes each message to the task pipe, which the supervisor holds: it lets
# a message through to the tool process only once the check after the call
# before it came out clean.
ADMIT = b"admit"
RUN = b"run"
REST = b"rest"

# The zygote's requests, one per message: "spawn ID WARM" with the four
# channel ends attached, and "kill PID". Its answers are JSON objects:
# {"ready": PID, ...} once, {"spawned": ID, "pid": PID | None, "error": str |
# None}, and {"exited": PID, "code": N, "oom": bool, "pids_max": bool}.
SPAWN = "spawn"
KILL = "kill"

# Keys of a tool process's answer frame: {"ok": true, "output": ...} or
# {"ok": false, "error": str}, with "seq", the number of the message it
# answers; a failure may name the "limit" it met, and "retire": true when
# that limit would fail the next call of the same world too. Every host
# message carries its "seq".
OK = "ok"
OUTPUT = "output"
ERROR = "error"
SEQ = "seq"
LIMIT = "limit"
RETIRE = "retire"


def frame(message: Any, *, allow_nan: bool = False) -> bytes:
    """One message as a frame."""
    body = json.dumps(message, allow_nan=allow_nan).encode()
    return FRAME_HEADER.pack(len(body)) + body


def admission(folder: str | None = None, packages: str | None = None,
              proxy: str | None = None, length: int = 0) -> bytes:
    """The control message that admits a task: what its world may let in, and the length of
    its first message."""
    message = ADMIT
    for name, value in (("folder", folder), ("packages", packages), ("proxy", proxy),
                        ("bytes", str(length) if length else None)):
        if value:
            message += b"\0" + name.encode() + b"=" + value.encode("utf-8", "surrogateescape")
    return message


def run_message(cpu_seconds: int | None, length: int) -> bytes:
    return b"%s %d %d" % (RUN, cpu_seconds or 0, length)


def parse_control(data: bytes) -> dict[str, Any] | None:
    """A supervisor's message: {"rested": bool, "why": str} or {"code": int}; None if malformed."""
    try:
        message = json.loads(data)
    except ValueError:
        return None
    if not isinstance(message, dict):
        return None
    if isinstance(message.get("code"), int) or isinstance(message.get("rested"), bool):
        return message
    return None
