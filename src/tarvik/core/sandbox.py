"""The native sandbox launcher: where it is, how to call it and what it reports.

``tarvik-sandbox`` is installed next to this file in a built wheel. It puts
up whichever walls the kernel allows (no network, a read-only file system
outside the writable folders, a system-call filter, no capabilities) and
then executes the worker. It detects each protection as it starts and
reports what it applied on a descriptor of the host's choosing, one JSON
object mapping a protection's name to ``"active..."`` or
``"unavailable: why"``; nothing is assumed that was not confirmed.

From a source tree there is no launcher; workers then run with the resource
limits alone, and the report says so.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from pathlib import Path

LAUNCHER_NAME = "tarvik-sandbox"
# What the launcher covers; any it leaves out of its report did not happen.
PROTECTIONS = ("network", "landlock", "seccomp", "capabilities", "parent death")


@dataclass(frozen=True)
class Launcher:
    path: str

    @classmethod
    def find(cls, explicit: str | os.PathLike[str] | None = None) -> Launcher | None:
        """The launcher at ``explicit``, else the one installed beside the package."""
        candidate = Path(explicit) if explicit is not None else Path(__file__).with_name(
            LAUNCHER_NAME
        )
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return cls(os.fspath(candidate))
        return None

    def command(self, writable: list[str], report_fd: int | None) -> list[str]:
        """The argv prefix that runs what follows it inside the walls."""
        argv = [self.path]
        if report_fd is not None:
            argv += ["--report-fd", str(report_fd)]
        for folder in writable:
            argv += ["--write", folder]
        return argv + ["--"]

    @staticmethod
    def parse_report(raw: bytes) -> dict[str, str]:
        try:
            reported = json.loads(raw.decode("utf-8", "replace") or "{}")
        except ValueError:
            reported = {}
        if not isinstance(reported, dict):
            reported = {}
        report = {"launcher": "active"}
        for name in PROTECTIONS:
            state = reported.get(name)
            report[name] = str(state) if state else "unavailable: not reported by the launcher"
        report["resource limits"] = "active"
        return report

    @staticmethod
    def missing_report(reason: str = "") -> dict[str, str]:
        why = reason or f"{LAUNCHER_NAME} is not installed beside tarvik.core"
        report = {"launcher": f"unavailable: {why}"}
        for name in PROTECTIONS:
            report[name] = "unavailable: needs the launcher"
        report["resource limits"] = "active"
        return report
