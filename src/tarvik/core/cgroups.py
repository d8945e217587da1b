"""Limits on all of a call's processes together: one cgroup per task.

cgroup v2 where this process's cgroup can hold a subtree of ours (the root
cgroup, or one delegated to us); otherwise the v1 memory and pids
hierarchies where we may write them (root on a machine still on v1). With
neither, the per-process limits are all a call gets, and the report says so.

Standard library only: the pool's zygote loads this file by path.
"""

from __future__ import annotations

import itertools
import os
from dataclasses import dataclass

CONTROLLERS = ("memory", "pids")
HOW_TO_GET = (
    "run the host as root, or in a cgroup v2 subtree delegated to its user "
    "(e.g. `systemd-run --user --scope -p Delegate=yes tarvik serve`)"
)


@dataclass(frozen=True)
class CallCgroup:
    """The folder of one call's cgroup in each hierarchy (one folder on v2)."""

    folders: tuple[str, ...]


class CallCgroups:
    """Makes, fills, reads and removes one cgroup per call below a folder of ours."""

    def __init__(self, version: int, bases: tuple[str, ...], memory: int, processes: int) -> None:
        self.version = version
        self._bases = bases
        self._memory = memory
        self._processes = processes
        self._numbers = itertools.count()

    @classmethod
    def open(cls, name: str, memory: int, processes: int) -> tuple[CallCgroups | None, str]:
        """Our subtree ``name`` beside our own cgroup, or None and why not (and how to get one)."""
        mounts = _cgroup_mounts()
        memberships = _memberships()
        problems = []
        if "" in memberships and "cgroup2" in mounts:
            own = os.path.join(mounts["cgroup2"], memberships[""].lstrip("/"))
            # Our own cgroup when it is delegated to us; for root, the top of
            # the hierarchy, which may hold subtrees beside processes.
            for folder in dict.fromkeys((own, mounts["cgroup2"])):
                try:
                    return cls(2, (_make_v2_base(folder, name),), memory, processes), ""
                except OSError as error:
                    problems.append(f"cgroup v2 at {folder}: {error.strerror or error}")
        try:
            bases = []
            for controller in CONTROLLERS:
                if controller not in mounts or controller not in memberships:
                    raise OSError(f"no v1 {controller} hierarchy")
                own = os.path.join(mounts[controller], memberships[controller].lstrip("/"))
                bases.append(os.path.join(own, name))
                os.mkdir(bases[-1])
            return cls(1, tuple(bases), memory, processes), ""
        except OSError as error:
            for base in bases:
                _remove(base)
            problems.append(f"cgroup v1: {error.strerror or error}")
        return None, "; ".join(problems) + f"; to get it, {HOW_TO_GET}"

    def describe(self) -> str:
        return f"cgroup v{self.version}"

    def new_call(self) -> CallCgroup:
        """A cgroup for the next call, its limits set; raises OSError when refused."""
        name = f"call-{next(self._numbers)}"
        folders = tuple(os.path.join(base, name) for base in self._bases)
        made = []
        try:
            for folder in folders:
                os.mkdir(folder)
                made.append(folder)
            if self.version == 2:
                (folder,) = folders
                _write(folder, "memory.max", self._memory)
                _write(folder, "memory.swap.max", 0, optional=True)
                _write(folder, "memory.oom.group", 1, optional=True)
                _write(folder, "pids.max", self._processes)
            else:
                memory, pids = folders
                _write(memory, "memory.limit_in_bytes", self._memory)
                _write(memory, "memory.memsw.limit_in_bytes", self._memory, optional=True)
                _write(pids, "pids.max", self._processes)
        except OSError:
            for folder in made:
                _remove(folder)
            raise
        return CallCgroup(folders)

    def join(self, call: CallCgroup) -> None:
        """Move the calling process into the call's cgroup (its children follow from then on)."""
        for folder in call.folders:
            _write(folder, "cgroup.procs", 0)

    def peek(self, call: CallCgroup) -> dict[str, bool]:
        """Which limits the call met: memory (a process was killed) and processes (a fork refused)."""
        if self.version == 2:
            (folder,) = call.folders
            memory_events = _counters(folder, "memory.events")
            pids_events = _counters(folder, "pids.events")
        else:
            memory_events = _counters(call.folders[0], "memory.oom_control")
            pids_events = _counters(call.folders[1], "pids.events")
        return {
            "oom": memory_events.get("oom_kill", 0) > 0,
            "pids_max": pids_events.get("max", 0) > 0,
        }

    def finish(self, call: CallCgroup) -> dict[str, bool]:
        """What ``peek`` says, then the cgroup removed: its processes are gone by now."""
        met = self.peek(call)
        for folder in call.folders:
            _remove(folder)
        return met

    def close(self) -> None:
        for base in self._bases:
            _remove(base)

    @classmethod
    def remove_orphaned_fresh(cls, prefix: str) -> None:
        """Remove the subtrees ``<prefix><pid>-...`` of hosts that are gone."""
        seen = set()
        for parent in _parents():
            try:
                names = os.listdir(parent)
            except OSError:
                continue
            for name in names:
                pid = name[len(prefix):].partition("-")[0]
                if name.startswith(prefix) and pid.isdigit() and not os.path.exists(f"/proc/{pid}"):
                    seen.add(name)
        for name in seen:
            cls.remove_abandoned(name)

    @staticmethod
    def remove_abandoned(name: str) -> None:
        """Remove the subtree ``name`` left by a pool whose host died; its calls are long gone."""
        for parent in _parents():
            base = os.path.join(parent, name)
            try:
                calls = [entry.path for entry in os.scandir(base) if entry.is_dir()]
            except OSError:
                continue
            for call in calls:
                _remove(call)
            _remove(base)


def _parents() -> list[str]:
    """Every folder ``open`` may make a subtree in."""
    memberships = _memberships()
    parents = []
    for key, mount in _cgroup_mounts().items():
        membership = memberships.get("" if key == "cgroup2" else key)
        if membership is not None:
            parents.append(os.path.join(mount, membership.lstrip("/")))
        if key == "cgroup2":
            parents.append(mount)
    return list(dict.fromkeys(parents))


def _make_v2_base(folder: str, name: str) -> str:
    with open(os.path.join(folder, "cgroup.controllers")) as available:
        missing = set(CONTROLLERS) - set(available.read().split())
    if missing:
        raise OSError(f"the {' and '.join(sorted(missing))} controller(s) are not delegated here")
    with open(os.path.join(folder, "cgroup.subtree_control")) as enabled:
        if not set(CONTROLLERS) <= set(enabled.read().split()):
            # Refused (EBUSY) while the folder holds processes, unless it is the root.
            _write(folder, "cgroup.subtree_control", " ".join(f"+{c}" for c in CONTROLLERS))
    base = os.path.join(folder, name)
    os.mkdir(base)
    try:
        _write(base, "cgroup.subtree_control", " ".join(f"+{c}" for c in CONTROLLERS))
    except OSError:
        _remove(base)
        raise
    return base


def _cgroup_mounts() -> dict[str, str]:
    """Mount point of the v2 hierarchy ("cgroup2") and of each v1 controller."""
    mounts: dict[str, str] = {}
    try:
        with open("/proc/self/mountinfo") as lines:
            for line in lines:
                before, _, after = line.partition(" - ")
                fields, (fstype, _, options) = before.split(), after.split()[:3]
                if fstype == "cgroup2":
                    mounts.setdefault("cgroup2", fields[4])
                elif fstype == "cgroup":
                    for controller in CONTROLLERS:
                        if controller in options.split(","):
                            mounts.setdefault(controller, fields[4])
    except (OSError, ValueError):
        pass
    return mounts


def _memberships() -> dict[str, str]:
    """This process's cgroup per v1 controller, and under "" its v2 cgroup."""
    found: dict[str, str] = {}
    try:
        with open("/proc/self/cgroup") as lines:
            for line in lines:
                _, controllers, path = line.rstrip("\n").split(":", 2)
                for controller in controllers.split(",") if controllers else [""]:
                    found[controller] = path
    except (OSError, ValueError):
        pass
    return found


def _write(folder: str, name: str, value: object, optional: bool = False) -> None:
    try:
        with open(os.path.join(folder, name), "w") as file:
            file.write(str(value))
    except FileNotFoundError:
        if not optional:
            raise


def _counters(folder: str, name: str) -> dict[str, int]:
    counters: dict[str, int] = {}
    try:
        with open(os.path.join(folder, name)) as lines:
            for line in lines:
                key, _, value = line.partition(" ")
                if value.strip().isdigit():
                    counters[key] = int(value)
    except OSError:
        pass
    return counters


def _remove(folder: str) -> None:
    try:
        os.rmdir(folder)
    except OSError:
        pass
