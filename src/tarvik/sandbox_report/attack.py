"""A tool that attacks the walls it runs behind, for `tarvik sandbox` (`check.py`).

It runs as any agent-written tool does, through the real worker, and tries
what such a tool would: signal its parent, read the host's files, reach the
host over local IPC and the network, keep capabilities, write outside its
scratch, escape its namespaces, and go past the call's limits. ``main``
returns, per wall, whether it held and what was seen. The host adds what
only it can check (the result, and the traces left behind).

Standard library only, and nothing but this file runs in the tool's world.
"""

from __future__ import annotations

import ctypes
import os
import signal
import socket
import time
from collections.abc import Callable
from typing import Any

Finding = tuple[bool, str]


def main(args: dict[str, Any]) -> dict[str, Finding]:
    probes: dict[str, Callable[[dict[str, Any]], Finding]] = {
        "processes": _processes,
        "file system": _file_system,
        "ipc": _ipc,
        "network": _network,
        "user namespace": _user_namespace,
        "capabilities": _capabilities,
        "landlock": _landlock,
        "seccomp": _seccomp,
        "process limit": _process_limit,
        "memory limit": _memory_limit,
        "scratch disk": _scratch_disk,
    }
    findings = {}
    for wall, probe in probes.items():
        try:
            findings[wall] = probe(args)
        except Exception as error:  # noqa: BLE001 - a probe that breaks proves nothing
            findings[wall] = (False, f"the probe failed: {type(error).__name__}: {error}")
    return findings


def _processes(args: dict[str, Any]) -> Finding:
    pids = sorted(int(entry) for entry in os.listdir("/proc") if entry.isdigit())
    reached = []
    for pid in [os.getppid(), *args["host_pids"]]:
        try:
            os.kill(pid, 0)
            reached.append(pid)
        except OSError:
            pass
    if len(pids) > 3 or set(reached) - set(pids):
        return False, f"sees processes {pids[:8]}, reached {reached}"
    return True, f"sees only its own task ({len(pids)} processes); no other process reachable"


def _file_system(args: dict[str, Any]) -> Finding:
    found = [path for path in args["host_paths"] if os.path.exists(path)]
    if found:
        return False, f"reads the host's {', '.join(found)}"
    return True, "none of the host's files tried exists for it (" + ", ".join(args["host_paths"]) + ")"


def _ipc(args: dict[str, Any]) -> Finding:
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.shmget(args["shm_key"], 0, 0) != -1:
        return False, "attaches the host's System V shared memory"
    for address in (args["unix_socket"], args["abstract_socket"]):
        try:
            socket.socket(socket.AF_UNIX).connect(address)
            return False, f"connects to the host's unix socket {address!r}"
        except OSError:
            pass
    return True, "the host's shared memory and unix sockets (named and abstract) are out of reach"


def _network(args: dict[str, Any]) -> Finding:
    try:
        socket.create_connection(("127.0.0.1", args["tcp_port"]), timeout=2).close()
        return False, "connects to the host's TCP server on 127.0.0.1"
    except OSError as error:
        tcp = type(error).__name__
    try:
        socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"x", ("127.0.0.1", args["tcp_port"]))
        return False, "sends UDP"
    except OSError:
        pass
    if not os.environ.get("HTTP_PROXY"):
        return True, f"no connection to the host's server ({tcp}), no UDP"
    # With hosts granted: the proxy is open to the task, and must refuse the host's server.
    import urllib.error
    import urllib.request

    try:
        urllib.request.urlopen(f"http://127.0.0.1:{args['tcp_port']}/", timeout=5).close()
        return False, "reaches the host's server through the network proxy"
    except urllib.error.HTTPError as error:
        if error.code != 403:
            return False, f"reaches the host's server through the network proxy ({error.code})"
    except OSError as error:
        return False, f"the network proxy answered neither way: {error}"
    return True, (f"no connection to the host's server ({tcp}), no UDP; the network proxy "
                  "refuses every host the operator did not allow")


def _user_namespace(args: dict[str, Any]) -> Finding:
    with open("/proc/self/uid_map") as mapping:
        lines = mapping.read().split("\n")
    ids = [line.split() for line in lines if line.strip()]
    if len(ids) == 1 and ids[0][2] == "1":
        return True, f"one id mapped (uid {os.getuid()}), in a namespace of its own"
    return False, f"uid map {ids}"


def _status(field: str) -> str:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return line.split(":", 1)[1].strip()
    return ""


def _capabilities(args: dict[str, Any]) -> Finding:
    held = {name: _status(name) for name in ("CapEff", "CapPrm", "CapBnd", "CapAmb")}
    if any(int(value or "0", 16) for value in held.values()):
        return False, f"holds capabilities {held}"
    return True, "none held, none in its bounding set"


def _landlock(args: dict[str, Any]) -> Finding:
    for path in ("/tool/planted", "/proc/self/comm"):
        try:
            with open(path, "w") as file:
                file.write("x")
            return False, f"writes {path}"
        except OSError:
            pass
    try:
        os.kill(1, signal.SIGCONT)
        return False, "signals its supervisor"
    except PermissionError:
        pass
    return True, "writes nothing outside its scratch; signals nothing outside its task"


def _seccomp(args: dict[str, Any]) -> Finding:
    libc = ctypes.CDLL(None, use_errno=True)
    calls: tuple[tuple[str, Callable[[], int]], ...] = (
        ("unshare", lambda: libc.unshare(0x40000000)),
        ("mount", lambda: libc.mount(b"none", b"/tmp", b"tmpfs", 0, None)),
        ("ptrace", lambda: libc.ptrace(16, 1, 0, 0)),
    )
    refused = [name for name, call in calls if call() == -1 and ctypes.get_errno() == 1]
    if _status("Seccomp") != "2" or len(refused) < 3:
        return False, f"seccomp mode {_status('Seccomp')}, refused only {refused}"
    return True, "unshare, mount and ptrace refused"


def _process_limit(args: dict[str, Any]) -> Finding:
    children = []
    try:
        for _ in range(args["processes"] + 8):
            pid = os.fork()
            if pid == 0:
                time.sleep(60)
                os._exit(0)
            children.append(pid)
    except OSError:
        pass
    finally:
        for pid in children:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    if len(children) >= args["processes"]:
        return False, f"started {len(children)} processes"
    return True, f"the fork after {len(children)} more processes was refused"


def _memory_limit(args: dict[str, Any]) -> Finding:
    """Two processes each take 60% of the call's memory: together they may not."""
    share = args["memory"] * 6 // 10
    children = []
    for _ in range(2):
        pid = os.fork()
        if pid == 0:
            try:
                hoard = bytearray(share)
                for offset in range(0, share, 4096):
                    hoard[offset] = 1
                time.sleep(2)
            except MemoryError:
                os._exit(3)
            os._exit(0)
        children.append(pid)
    endings = [os.waitpid(pid, 0)[1] for pid in children]
    if not any(endings):
        return False, "two processes together held more than the call's memory"
    return True, "two processes could not together hold more than the call's memory"


def _scratch_disk(args: dict[str, Any]) -> Finding:
    written = 0
    try:
        with open("/tmp/probe-fill", "wb") as fill:
            while written <= args["scratch"]:
                fill.write(b"\0" * (1 << 20))
                written += 1 << 20
        return False, f"wrote {written >> 20} MiB to its scratch"
    except OSError:
        return True, f"its scratch filled up at {written >> 20} MiB"
    finally:
        os.unlink("/tmp/probe-fill")
