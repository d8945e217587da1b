"""The world a task runs in, from the side of the worker that builds it.

A task is the first process of a PID namespace of its own, with its own
mount and IPC namespaces, and, once its task arrives, its own user
namespace. Its file system is a read-only template holding only what the
interpreter needs (its prefixes, its import path, the libraries it loaded,
three devices), a fresh /proc, a size-capped scratch tmpfs at /tmp (also its
home and working folder) and, for a run, the tool's own folder at /tool and
the packages its script declares at /packages.
The native ``_walls`` module beside this file does the system calls.

Standard library only, loaded by path like the rest of the worker.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import struct
import sys
from types import ModuleType
from typing import Any

SCRATCH = "/tmp"
NOBODY = 65534
TOOL_FOLDER = "/tool"
PACKAGES = "/packages"
# What a tool can see besides the read-only template content.
WORLD_ROOTS = (SCRATCH, TOOL_FOLDER, PACKAGES, "/proc", "/dev")


def load_walls() -> ModuleType | None:
    """The ``_walls`` extension installed beside this file, or None (a tree never built)."""
    folder = os.path.dirname(os.path.abspath(__file__))
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(folder, "_walls" + suffix)
        if os.path.exists(path):
            # Never entered in sys.modules: a tool has no name to import it by.
            loader = importlib.machinery.ExtensionFileLoader("_walls", path)
            spec = importlib.util.spec_from_file_location("_walls", path, loader=loader)
            assert spec is not None
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)
            return module
    return None


def read_only_paths() -> list[str]:
    """The host paths this interpreter needs, as the tool will see them: read-only.

    Its prefixes and import path (the standard library and the site-packages
    it was given), the folders of every library it has loaded (the C library
    and its neighbours, which later extension modules load from), the
    dynamic loader by the path the executable names, and the loader's cache.
    """
    wanted = [sys.prefix, sys.base_prefix, sys.exec_prefix, sys.base_exec_prefix]
    wanted += [entry for entry in sys.path if entry]
    wanted += _loaded_library_folders()
    interpreter = _program_interpreter(os.path.realpath(sys.executable))
    if interpreter:
        wanted.append(interpreter)
    wanted += [sys.executable, "/etc/ld.so.cache"]
    return [path for path in dict.fromkeys(map(os.path.abspath, wanted)) if os.path.exists(path)]


def bind_plan(paths: list[str]) -> tuple[list[str], list[str]]:
    """Which paths to bind, and which only to reach (through links) inside those."""
    by_target = sorted({os.path.realpath(path) for path in paths}, key=len)
    binds: list[str] = []
    for target in by_target:
        if target == "/":
            continue  # never the whole host
        if not any(_within(target, folder) for folder in binds):
            binds.append(target)
    links = [path for path in paths if path != os.path.realpath(path)]
    return binds, links


def _within(path: str, folder: str) -> bool:
    return path == folder or path.startswith(folder.rstrip("/") + "/")


def _loaded_library_folders() -> list[str]:
    folders: set[str] = set()
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split(maxsplit=5)
                if len(fields) == 6 and fields[5].startswith("/") and ".so" in fields[5]:
                    folders.add(os.path.dirname(fields[5].rstrip("\n")))
    except OSError:
        pass
    return sorted(folders)


def _program_interpreter(executable: str) -> str | None:
    """The dynamic loader an ELF executable asks for (PT_INTERP), if any."""
    try:
        with open(executable, "rb") as program:
            header = program.read(64)
            if header[:4] != b"\x7fELF" or header[4] != 2:  # 64-bit only
                return None
            order = "<" if header[5] == 1 else ">"
            (table, ) = struct.unpack_from(order + "Q", header, 0x20)
            entry_size, count = struct.unpack_from(order + "HH", header, 0x36)
            program.seek(table)
            entries = program.read(entry_size * count)
            for index in range(count):
                kind, _, offset, _, _, size = struct.unpack_from(
                    order + "IIQQQQ", entries, index * entry_size
                )
                if kind == 3:  # PT_INTERP
                    program.seek(offset)
                    return program.read(size).rstrip(b"\0").decode()
    except (OSError, struct.error, UnicodeDecodeError):
        return None
    return None


def tool_ids() -> tuple[int, int, int, int]:
    """(uid, gid) a tool runs as here, and the ids the host knows them by.

    When the host is root (and its nobody is mapped here), tools run as
    nobody: the kernel exempts root from the per-user process limit, and
    root owns what the world shows of the host. Otherwise they keep the
    host's own user.
    """
    uid, gid = os.geteuid(), os.getegid()
    if uid == 0 and _outside("/proc/self/uid_map", NOBODY) == NOBODY == _outside(
        "/proc/self/gid_map", NOBODY
    ) and _outside("/proc/self/uid_map", 0) == 0:
        uid = gid = NOBODY
    inside_uid = _outside("/proc/self/uid_map", uid)
    inside_gid = _outside("/proc/self/gid_map", gid)
    return uid, gid, uid if inside_uid is None else inside_uid, gid if inside_gid is None else inside_gid


def _outside(path: str, inside_id: int) -> int | None:
    """What ``inside_id`` is in the parent namespace, None when it is not mapped."""
    try:
        with open(path) as lines:
            for line in lines:
                inside, outside, count = map(int, line.split())
                if inside <= inside_id < inside + count:
                    return outside + inside_id - inside
    except (OSError, ValueError):
        pass
    return None


class World:
    """Builds task worlds with ``_walls``; ``enabled=False`` runs tasks in the host's own tree
    (no launcher, so no user namespace to build a world in)."""

    def __init__(self, walls: ModuleType, *, enabled: bool, scratch_bytes: int,
                 processes: int | None, proxy_port: int = 0) -> None:
        self.walls = walls
        self.enabled = enabled
        self.scratch_bytes = scratch_bytes
        self.processes = processes
        # Nonzero when the operator granted network hosts: the one TCP port a
        # tool may connect to, where its supervisor forwards to the host's proxy.
        self.proxy_port = proxy_port if enabled else 0
        self.root: str | None = None
        self.problem = "" if enabled else "the worker runs without the sandbox launcher"
        self.uid, self.gid, self.inside_uid, self.inside_gid = tool_ids()
        self.read_only: list[str] = []
        # Without Landlock's IPC scoping, abstract sockets are kept apart by a
        # network namespace per task instead.
        # A forwarder needs one too: its port must be the task's alone.
        self.private_network = enabled and (not walls.landlock_scopes_ipc() or bool(self.proxy_port))
        # Without a world, a task's scratch is a folder of the host's.
        self.folder: str | None = None

    def build(self, root: str) -> bool:
        """Build the template on the empty folder ``root``; False (and why) when refused."""
        if not self.enabled:
            return False
        try:
            os.makedirs(root, exist_ok=True)
            self.walls.enter_private_mount_namespace()
            paths = read_only_paths()
            binds, links = bind_plan(paths)
            self.walls.build_template(root, binds, links)
        except OSError as error:
            self.problem = f"the task's world could not be built: {error}"
            return False
        self.root = root
        self.read_only = binds
        return True

    def fork_task(self, channels: list[int], cgroups: list[str], lifeline: int) -> tuple[int, int]:
        """A task: (its supervisor's pid, -1) here, (0, the admission descriptor) in its tool
        process. ``channels``: its task, result, capture (-1: stdout and stderr as they are)
        and control ends, in the protocol's order."""
        forked: tuple[int, int] = self.walls.fork_task(cgroups, lifeline, *self.task_plan(),
                                                      list(channels))
        return forked

    def task_plan(self) -> tuple[Any, ...]:
        """The world every task is prepared with: (root, scratch bytes and inodes, the tool's
        uid and gid, whether each task needs a network namespace of its own, the port its
        supervisor forwards to the network proxy or 0)."""
        inodes = max(1024, self.scratch_bytes // 4096)
        return (self.root, self.scratch_bytes, inodes, self.uid, self.gid, self.private_network,
                self.proxy_port)

    def scratch(self) -> str | None:
        return SCRATCH if self.root is not None else self.folder

    def seal(self) -> dict[str, str]:
        """In the tool process, before its task: the walls no tool can lift, and each one's state."""
        scratch = self.scratch()
        if not self.enabled or scratch is None:
            return {}
        walls: dict[str, str] = self.walls.seal_task(
            scratch, self.uid, self.gid, self.inside_uid, self.inside_gid,
            self.processes or 0, [self.proxy_port] if self.proxy_port else [],
        )
        return walls

    def describe(self, limits: dict[str, Any]) -> dict[str, Any]:
        """What the task's error texts may say about its walls."""
        visible = None
        if self.root is not None:
            visible = [*WORLD_ROOTS, *self.read_only]
        return {**limits, "visible": visible}

    def enter(self, task: dict[str, Any]) -> str:
        """In the tool process, its task admitted: its limits, scratch and packages in force;
        returns the script's path as its world sees it."""
        import resource

        for which, soft, hard in rlimits(task.get("limits", {})):
            resource.setrlimit(which, (soft, hard))
        load = task.get("load") or {}
        path = str(load.get("path") or "tool.py")
        if self.root is not None:
            path = f"{TOOL_FOLDER}/{os.path.basename(path)}"
        packages = task.get("packages")
        if isinstance(packages, str):
            add_packages(PACKAGES if self.root is not None else packages)
        scratch = self.scratch()
        if scratch is not None:
            os.chdir(scratch)
            os.environ["HOME"] = os.environ["TMPDIR"] = scratch
        task["walls"] = self.describe(task.get("walls", {}))
        return path


def add_packages(folder: str) -> None:
    """The packages the script declares, ahead of the interpreter's own site-packages (so
    that the versions it asked for win) but behind the standard library."""
    index = next((at for at, entry in enumerate(sys.path)
                  if os.path.basename(entry) in ("site-packages", "dist-packages")), len(sys.path))
    sys.path.insert(index, folder)


def rlimits(limits: dict[str, int | None]) -> list[tuple[int, int, int]]:
    """(resource, soft, hard) for each per-process limit, never above what the process has.

    The process limit is not among them: it is set with the task's own user
    namespace, where the kernel counts the task's processes apart. CPU time
    has a soft limit for the call (SIGXCPU; the supervisor raises it by one
    call's budget before each later call of a warm world) and a hard one
    (SIGKILL) for the whole world: ``cpu_hard``, or a second past the soft.
    """
    import resource

    chosen = []
    for name, which in (("address_space", resource.RLIMIT_AS), ("cpu_seconds", resource.RLIMIT_CPU),
                        ("file_size", resource.RLIMIT_FSIZE), ("open_files", resource.RLIMIT_NOFILE),
                        ("core_size", resource.RLIMIT_CORE)):
        value = limits.get(name)
        if value is None:
            continue
        _, hard = resource.getrlimit(which)
        ceiling = value
        if which == resource.RLIMIT_CPU:
            ceiling = limits.get("cpu_hard") or value + 1
        if hard != resource.RLIM_INFINITY:
            value, ceiling = min(value, hard), min(ceiling, hard)
        chosen.append((which, value, ceiling))
    return chosen
