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
    """The ``_walls`` extension installed beside this file, or None (a source tree)."""
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
    """Builds task worlds with ``_walls``; without it, tasks run in a host folder."""

    def __init__(self, walls: ModuleType | None, *, scratch_bytes: int, processes: int | None,
                 proxy_port: int = 0) -> None:
        self.walls = walls
        self.scratch_bytes = scratch_bytes
        self.processes = processes
        # Nonzero when the operator granted network hosts: the one TCP port a
        # tool may connect to, where its supervisor forwards to the host's proxy.
        self.proxy_port = proxy_port if walls is not None else 0
        self.root: str | None = None
        self.problem = "the _walls module is not installed beside the worker" if walls is None else ""
        self.uid, self.gid, self.inside_uid, self.inside_gid = tool_ids()
        self.read_only: list[str] = []
        # Without Landlock's IPC scoping, abstract sockets are kept apart by a
        # network namespace per task instead.
        # A forwarder needs one too: its port must be the task's alone.
        self.private_network = walls is not None and (
            not walls.landlock_scopes_ipc() or bool(self.proxy_port)
        )
        self.folder: str | None = None

    def build(self, root: str) -> bool:
        """Build the template on the empty folder ``root``; False (and why) when refused."""
        if self.walls is None:
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

    def supervise(self, pipes: tuple[int, int, int, int, int], cgroups: list[str],
                  lifeline: int, folder: str | None) -> int:
        """Become the task's supervisor (see ``_walls.supervise_task``); returns in the tool process.

        ``pipes``: the task's task, result, capture (-1: stdout and stderr as
        they are), verdict and admission pipes. ``folder`` is its scratch when
        there is no world. Without ``_walls`` the worker supervises in Python.
        """
        self.folder = None if self.root is not None else folder
        return self.walls.supervise_task(*self._plan(pipes, cgroups, lifeline))

    def fork_task(self, pipes: tuple[int, int, int, int, int], cgroups: list[str],
                  lifeline: int, folder: str | None) -> tuple[int, int]:
        """``supervise`` for a task forked from here: (its supervisor's pid, -1) in the
        forking process, (0, the admission descriptor) in the task's tool process."""
        self.folder = None if self.root is not None else folder
        return self.walls.fork_task(*self._plan(pipes, cgroups, lifeline))

    def _plan(self, pipes: tuple[int, ...], cgroups: list[str], lifeline: int) -> tuple[Any, ...]:
        return (cgroups, lifeline, *self.task_plan(), list(pipes))

    def task_plan(self) -> tuple[Any, ...]:
        """The world every task is prepared with: (root, scratch bytes and inodes, the tool's
        uid and gid, whether each task needs a network namespace of its own, the port its
        supervisor forwards to the network proxy or 0)."""
        inodes = max(1024, self.scratch_bytes // 4096)
        return (self.root, self.scratch_bytes, inodes, self.uid, self.gid, self.private_network,
                self.proxy_port)

    def seal(self) -> dict[str, str]:
        """In the tool process, before its task: the walls no tool can lift, and each one's state."""
        scratch = SCRATCH if self.root is not None else self.folder
        if self.walls is None or scratch is None:
            return {}
        return self.walls.seal_task(
            scratch, self.uid, self.gid, self.inside_uid, self.inside_gid,
            self.processes or 0, [self.proxy_port] if self.proxy_port else [],
        )

    def describe(self, limits: dict[str, Any]) -> dict[str, Any]:
        """What the task's error texts may say about its walls."""
        visible = None
        if self.root is not None:
            visible = [*WORLD_ROOTS, *self.read_only]
        return {**limits, "visible": visible}

    def enter(self, task: dict[str, Any], source: bytes) -> Any:
        """In the tool process, its task known and admitted: the command as its world sees it."""
        import resource

        for which, soft, hard in rlimits(task.get("limits", {})):
            resource.setrlimit(which, (soft, hard))
        command = task.get("command")
        if source and isinstance(command, dict):
            path = str(command.get("path"))
            if self.root is not None:
                path = f"{TOOL_FOLDER}/{os.path.basename(path)}"
            command = {**command, "path": path, "source": source}
        packages = task.get("packages")
        if isinstance(packages, str):
            add_packages(PACKAGES if self.root is not None else packages)
        scratch = SCRATCH if self.root is not None else self.folder
        if scratch is not None:
            os.chdir(scratch)
            os.environ["HOME"] = os.environ["TMPDIR"] = scratch
        task["walls"] = self.describe(task.get("walls", {}))
        return command


def add_packages(folder: str) -> None:
    """The packages the script declares, ahead of the interpreter's own site-packages (so
    that the versions it asked for win) but behind the standard library."""
    index = next((at for at, entry in enumerate(sys.path)
                  if os.path.basename(entry) in ("site-packages", "dist-packages")), len(sys.path))
    sys.path.insert(index, folder)


def rlimits(limits: dict[str, int | None]) -> list[tuple[int, int, int]]:
    """(resource, soft, hard) for each per-process limit, never above what the process has.

    The process limit is not among them: it is set with the task's own user
    namespace, where the kernel counts the task's processes apart.
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
        if hard != resource.RLIM_INFINITY:
            value = min(value, hard)
        # SIGXCPU at the soft CPU limit; the kernel's SIGKILL a second later
        # catches a tool that ignores it.
        chosen.append((which, value, value + 1 if which == resource.RLIMIT_CPU else value))
    return chosen
