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
# What a call needs a cgroup for where each task has its own user namespace,
# in which the kernel counts its processes already: joining costs time.
MEMORY_ONLY = ("memory",)
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

    def __init__(self, version: int, controllers: tuple[str, ...], bases: tuple[str, ...],
                 memory: int, processes: int) -> None:
        self.version = version
        self.controllers = controllers
        self._bases = bases
        self._memory = memory
        self._processes = processes
        self._numbers = itertools.count()

    @classmethod
    def open(
        cls, name: str, memory: int, processes: int, controllers: tuple[str, ...] = CONTROLLERS
    ) -> tuple[CallCgroups | None, str]:
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
                    base = _make_v2_base(folder, name, controllers)
                    return cls(2, controllers, (base,), memory, processes), ""
                except OSError as error:
                    problems.append(f"cgroup v2 at {folder}: {error.strerror or error}")
        bases = []
        try:
            for controller in controllers:
                if controller not in mounts or controller not in memberships:
                    raise OSError(f"no v1 {controller} hierarchy")
                own = os.path.join(mounts[controller], memberships[controller].lstrip("/"))
                bases.append(os.path.join(own, name))
                os.mkdir(bases[-1])
            return cls(1, controllers, tuple(bases), memory, processes), ""
        except OSError as error:
            for base in bases:
                _remove(base)
            problems.append(f"cgroup v1: {error.strerror or error}")
        return None, "; ".join(problems) + f"; to get it, {HOW_TO_GET}"

    def describe(self) -> str:
        return f"cgroup v{self.version}: {', '.join(self.controllers)}"

    def new_call(self) -> CallCgroup:
        """A cgroup for the next call, its limits set; raises OSError when refused."""
        name = f"call-{next(self._numbers)}"
        made: list[str] = []
        try:
            for base, settings in self.recipe()[0]:
                folder = os.path.join(base, name)
                os.mkdir(folder)
                made.append(folder)
                for file, value, optional in settings:
                    _write(folder, file, value, optional)
        except OSError:
            for folder in made:
                _remove(folder)
            raise
        return CallCgroup(tuple(made))

    def peek(self, call: CallCgroup) -> dict[str, bool]:
        """Which limits the call met: memory (a process was killed) and processes (a fork refused)."""
        return {
            report: _counters(call.folders[index], file).get(key, 0) > 0
            for index, file, key, report in self.recipe()[1]
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

    def recipe(self) -> tuple[list[tuple[str, list[tuple[str, str, bool]]]],
                              list[tuple[int, str, str, str]]]:
        """What ``new_call`` and ``peek`` do, as data, for a loop that runs outside Python.

        The folders to make each call's cgroup in, with the files to write
        there (name, value, whether it may be missing); and the counters to
        read once the call is over (folder index, file, key, name reported).
        """
        settings: dict[str, list[tuple[str, str, bool]]] = {base: [] for base in self._bases}
        counters = []
        for controller, base in self._folders(self._bases):
            index = self._bases.index(base)
            if controller == "pids":
                settings[base].append(("pids.max", str(self._processes), False))
                counters.append((index, "pids.events", "max", "pids_max"))
            elif self.version == 2:
                settings[base] += [("memory.max", str(self._memory), False),
                                   ("memory.swap.max", "0", True),
                                   ("memory.oom.group", "1", True)]
                counters.append((index, "memory.events", "oom_kill", "oom"))
            else:
                settings[base] += [("memory.limit_in_bytes", str(self._memory), False),
                                   ("memory.memsw.limit_in_bytes", str(self._memory), True)]
                counters.append((index, "memory.oom_control", "oom_kill", "oom"))
        return list(settings.items()), counters

    def _folders(self, folders: tuple[str, ...]) -> list[tuple[str, str]]:
        """(controller, folder) pairs: one folder for all on v2, one per controller on v1."""
        if self.version == 2:
            return [(controller, folders[0]) for controller in self.controllers]
        return list(zip(self.controllers, folders, strict=True))

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


def _make_v2_base(folder: str, name: str, controllers: tuple[str, ...]) -> str:
    with open(os.path.join(folder, "cgroup.controllers")) as available:
        missing = set(controllers) - set(available.read().split())
    if missing:
        raise OSError(f"the {' and '.join(sorted(missing))} controller(s) are not delegated here")
    enable = " ".join(f"+{controller}" for controller in controllers)
    with open(os.path.join(folder, "cgroup.subtree_control")) as enabled:
        if not set(controllers) <= set(enabled.read().split()):
            # Refused (EBUSY) while the folder holds processes, unless it is the root.
            _write(folder, "cgroup.subtree_control", enable)
    base = os.path.join(folder, name)
    os.mkdir(base)
    try:
        _write(base, "cgroup.subtree_control", enable)
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
