"""What the host's network proxy costs one HTTP request, beside an older proxy if given.

    python bench/proxy_latency.py [--requests N] [--against OLD_network_proxy.py]

A local HTTP server on 127.0.0.1 answers a small body; clients reach it
through the proxy's unix socket as a task's forwarder does, one request at
a time: a plain request with an absolute URL, and a CONNECT tunnel with one
request inside. With ``--against`` the same requests go, interleaved,
through the proxy in that file too (for example the one of an earlier
commit: ``git show REV:src/tarvik/core/network_proxy.py > /tmp/old.py``),
so both see the same machine. Nothing leaves this machine.
"""

from __future__ import annotations

import argparse
import asyncio
import importlib.util
import os
import statistics
import sys
import tempfile
import time
from types import ModuleType
from typing import Any

from tarvik.core import network_proxy

BODY = b"x" * 512


async def answer(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    try:
        await reader.readuntil(b"\r\n\r\n")
        writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
                     % (len(BODY), BODY))
        await writer.drain()
    finally:
        writer.close()


async def one_request(socket_path: str, port: int, tunnel: bool) -> float:
    started = time.perf_counter()
    reader, writer = await asyncio.open_unix_connection(socket_path)
    try:
        if tunnel:
            writer.write(f"CONNECT 127.0.0.1:{port} HTTP/1.1\r\n\r\n".encode())
            head = await reader.readuntil(b"\r\n\r\n")
            if not head.startswith(b"HTTP/1.1 200"):
                raise SystemExit(f"the proxy refused the tunnel: {head!r}")
            writer.write(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        else:
            writer.write(f"GET http://127.0.0.1:{port}/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        response = await reader.read()
        if not response.startswith(b"HTTP/1.1 200") or not response.endswith(BODY):
            raise SystemExit(f"the request failed: {response[:200]!r}")
    finally:
        writer.close()
    return time.perf_counter() - started


def load(path: str) -> ModuleType:
    spec = importlib.util.spec_from_file_location("older_network_proxy", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


async def measure(requests: int, modules: dict[str, ModuleType]) -> dict[str, dict[str, float]]:
    server = await asyncio.start_server(answer, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    temporary = tempfile.mkdtemp(prefix="tarvik-bench-")
    proxies: dict[str, Any] = {}
    try:
        for name, module in modules.items():
            proxy = module.NetworkProxy([module.HostRule.parse(f"127.0.0.1:{port}")],
                                        temp_root=temporary)
            proxies[name] = (proxy, await proxy.start())
        times: dict[tuple[str, bool], list[float]] = {
            (name, tunnel): [] for name in proxies for tunnel in (False, True)
        }
        for round_ in range(requests + 20):  # the first 20 warm up
            for (name, tunnel), found in times.items():
                elapsed = await one_request(proxies[name][1], port, tunnel)
                if round_ >= 20:
                    found.append(elapsed)
    finally:
        for proxy, _ in proxies.values():
            await proxy.aclose()
        server.close()
        os.rmdir(temporary)
    figures: dict[str, dict[str, float]] = {}
    for (name, tunnel), found in times.items():
        found.sort()
        figures.setdefault(name, {})[("CONNECT" if tunnel else "plain GET") + " p50"] = (
            statistics.median(found))
        figures[name][("CONNECT" if tunnel else "plain GET") + " p99"] = found[
            min(len(found) - 1, int(len(found) * 0.99))]
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=1000)
    parser.add_argument("--against", metavar="FILE", help="an older network_proxy.py to time beside")
    options = parser.parse_args()
    modules = {"this proxy": network_proxy}
    if options.against:
        modules["older proxy"] = load(options.against)
    figures = asyncio.run(measure(options.requests, modules))
    print(f"{options.requests} requests each, one at a time; CPython {sys.version.split()[0]}, "
          f"{os.cpu_count()} CPUs")
    names = list(figures)
    print("  " + " " * 16 + "".join(f"{name:>14}" for name in names)
          + ("        ratio" if len(names) == 2 else ""))
    for row in figures[names[0]]:
        values = [figures[name][row] for name in names]
        line = f"  {row:<16}" + "".join(f"{value * 1e3:11.3f} ms" for value in values)
        if len(values) == 2:
            line += f"  {values[0] / values[1]:10.2f}x"
        print(line)


if __name__ == "__main__":
    main()
