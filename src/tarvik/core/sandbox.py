"""The tool sandbox from the host's side: the launcher, and the report of every wall.

``tarvik-sandbox`` is installed in ``tarvik/worker`` in a built wheel, beside
``_walls``, the module a worker puts up each task's walls with. The launcher
takes a worker away from the host (its own user and network namespaces, a
seccomp filter, death with the host) and reports on a descriptor of the
host's choosing one JSON object mapping a protection's name to
``"active..."`` or ``"unavailable: why"``. The worker then reports what its
tasks get. Nothing is assumed that was not confirmed, and every wall that is
missing says how to get it.

Without the launcher (``sandbox=False``) tasks run in the host's own tree
with the resource limits alone, and the report says so.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

LAUNCHER_NAME = "tarvik-sandbox"

# Every wall, in the order they are shown, with what to do when it is missing.
WALLS: dict[str, str] = {
    "launcher": "install tarvik with pip so that its native sandbox is built",
    "parent death": "needs the launcher",
    "network": "needs unprivileged user namespaces (sysctl kernel.unprivileged_userns_clone=1, "
    "or an AppArmor profile that allows them) or root",
    "processes": "needs the launcher and user namespaces",
    "file system": "needs the launcher and user namespaces, and a /proc that is not masked",
    "ipc": "needs the launcher and user namespaces",
    "user namespace": "needs unprivileged user namespaces",
    "capabilities": "needs the launcher",
    "landlock": "needs Linux 5.13 or newer with Landlock enabled (lsm=landlock,...)",
    "seccomp": "needs Linux with seccomp filters",
    "process limit": "needs user namespaces or a writable cgroup",
    "memory limit": "needs a writable cgroup",
    "scratch disk": "needs the file system wall",
    "result": "",
    "isolation": "",
}


@dataclass(frozen=True)
class Launcher:
    path: str

    @classmethod
    def find(cls, explicit: str | os.PathLike[str] | None = None) -> Launcher | None:
        """The launcher at ``explicit``, else the one installed beside the package."""
        candidate = explicit if explicit is not None else os.path.join(
            os.path.dirname(os.path.dirname(__file__)), "worker", LAUNCHER_NAME
        )
        candidate = os.fspath(candidate)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return cls(candidate)
        return None

    def command(self, report_fd: int | None, *, cgroups: Sequence[str] = ()) -> list[str]:
        """The argv prefix that runs what follows it away from the host.

        It runs as the first process of a PID namespace of its own, in
        ``cgroups`` (joined before anything else happens) when given.
        """
        argv = [self.path]
        if report_fd is not None:
            argv += ["--report-fd", str(report_fd)]
        for folder in cgroups:
            argv += ["--cgroup", folder]
        return [*argv, "--"]

    @staticmethod
    def parse_report(raw: bytes) -> dict[str, str]:
        """What the launcher said, its own words only; anything unreadable is nothing."""
        try:
            reported = json.loads(raw.decode("utf-8", "replace") or "{}")
        except ValueError:
            reported = {}
        if not isinstance(reported, dict):
            return {}
        return {str(name): str(state) for name, state in reported.items() if state}


def walls_report(
    launcher: Mapping[str, str] | None,
    launcher_problem: str,
    worker: Mapping[str, Any],
    limits: Mapping[str, int],
) -> dict[str, str]:
    """One line per wall: ``"active: ..."`` or ``"unavailable: why; how to get it"``.

    ``launcher`` is the launcher's own report (None without a launcher),
    ``worker`` what the worker found: whether tasks get a world of their own
    (``world``, ``world_problem``), the walls a task put up (``walls``) and
    the cgroups of its calls (``cgroups``, ``cgroups_problem``).
    """
    report: dict[str, str] = {}
    if launcher is None:
        report["launcher"] = f"unavailable: {launcher_problem}"
        launcher = {}
    else:
        report["launcher"] = "active: workers start through tarvik-sandbox, away from the host"
    for name in ("parent death", "network"):
        report[name] = launcher.get(name) or "unavailable: not reported by the launcher"
    world = bool(worker.get("world"))
    why_no_world = str(worker.get("world_problem") or "no world was built")
    if not launcher.get("pid namespace", "").startswith("active"):
        world = False
        why_no_world = launcher.get("pid namespace", why_no_world).removeprefix("unavailable: ")
    report["processes"] = (
        "active: own PID namespace per task; everything a task starts ends with it, and it "
        "sees and signals no other process" if world else f"unavailable: {why_no_world}"
    )
    report["file system"] = (
        "active: own mount namespace per task holding only the interpreter, its libraries and "
        "site-packages (read-only), the tool's folder (read-only) and a private /tmp"
        if world else f"unavailable: {why_no_world}"
    )
    report["ipc"] = (
        "active: own IPC namespace per task (System V shared memory, semaphores, queues)"
        if world else f"unavailable: {why_no_world}"
    )
    walls = worker.get("walls") or {}
    for name in ("user namespace", "capabilities", "landlock", "seccomp"):
        report[name] = walls.get(name) or "unavailable: not reported by the worker"
    cgroups = worker.get("cgroups")
    why_no_cgroup = str(worker.get("cgroups_problem") or "no cgroup")
    processes_limit = limits.get("processes")
    if cgroups:
        report["process limit"] = f"active: {processes_limit} per call ({cgroups})"
    elif report["user namespace"].startswith("active"):
        report["process limit"] = f"active: {processes_limit} per call (per-task user namespace)"
    else:
        report["process limit"] = f"unavailable: {why_no_cgroup}"
    memory = size_text(limits.get("memory", 0))
    report["memory limit"] = (
        f"active: {memory} per call ({cgroups})" if cgroups
        else f"unavailable: only {memory} of address space per process; {why_no_cgroup}"
    )
    report["scratch disk"] = (
        f"active: {size_text(limits.get('scratch', 0))} tmpfs per call" if world
        else "unavailable: tasks write to a host folder, limited per file only"
    )
    report["result"] = (
        "active: one answer per call, one frame of strict JSON, taken for no more than what the "
        "tool's main could have returned"
    )
    return {name: _with_remedy(name, state) for name, state in report.items()}


def _with_remedy(name: str, state: str) -> str:
    remedy = WALLS.get(name, "")
    if state.startswith("active") or not remedy or remedy in state:
        return state
    return f"{state}; to get it, {remedy}"


def missing_walls(report: Mapping[str, str]) -> list[str]:
    return [f"{name}: {state}" for name, state in report.items() if not state.startswith("active")]


def size_text(count: int) -> str:
    """1073741824 -> "1 GiB"."""
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if count >= 1 << shift and count % (1 << shift) == 0:
            return f"{count >> shift} {unit}"
    return f"{count} bytes"


def summary(report: Mapping[str, str], order: Sequence[str] = tuple(WALLS)) -> str:
    return "; ".join(f"{name}: {report[name]}" for name in order if name in report)
