"""One call at a time over HTTP against the same over stdio: what the HTTP front adds to a call.

    python bench/http_latency.py [--calls 300] [--warmup 30]

Starts three servers, each in a home folder of its own: `tarvik serve` over
stdio, `tarvik serve --http` serving that home directly (`direct`), and
`tarvik serve --http --tokens` (`front`: the bearer token checked, the
request handed to the tenant's process over its unix socket). Each gets one
client: the SDK's over stdio, and over HTTP one connection kept open with
each request written at once, as curl and most clients other than
Python's do; and `tool_creator` `list` is called on each in turn,
one call at a time, so that whatever else the machine does weighs on all
three alike. The call runs no worker: what is timed is the protocol and the
transport.

Prints p50 and p99 per mode, each HTTP mode's p50 against stdio's, and
whether the front is within 1.5 x stdio + 1 ms; writes the figures, with the
machine, to ``bench/results/http_latency-<time>.json``.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import tempfile
import time
from collections.abc import AsyncIterator
from contextlib import AsyncExitStack, asynccontextmanager
from pathlib import Path
from types import SimpleNamespace
from typing import Any

from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client

sys.path.insert(0, str(Path(__file__).resolve().parent))
from http_load import tarvik_command
from worker_latency import RESULTS, machine, percentile

MODES = ("stdio", "direct", "front")
LIST = {"operation": "list"}


class KeepAliveClient:
    """MCP over one HTTP/1.1 connection kept open, each request written at once, as curl does."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, headers: dict[str, str]) -> None:
        self._reader, self._writer, self._headers = reader, writer, headers
        self._next_id = 0

    async def post(self, message: dict[str, Any]) -> tuple[dict[str, str], bytes]:
        body = json.dumps(message).encode()
        lines = ["POST /mcp HTTP/1.1", "Accept: application/json, text/event-stream",
                 "Content-Type: application/json", f"Content-Length: {len(body)}",
                 *(f"{name}: {value}" for name, value in self._headers.items())]
        self._writer.write(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
        await self._writer.drain()
        head = (await self._reader.readuntil(b"\r\n\r\n")).decode("latin-1").split("\r\n")
        headers = {name.lower(): value for name, _, value in (line.partition(": ") for line in head[1:] if line)}
        if "content-length" in headers:
            return headers, await self._reader.readexactly(int(headers["content-length"]))
        content = b""
        while size := int((await self._reader.readline()).strip(), 16):
            content += (await self._reader.readexactly(size + 2))[:-2]
        await self._reader.readline()
        return headers, content

    async def request(self, method: str, params: dict[str, Any]) -> dict[str, Any]:
        self._next_id += 1
        headers, content = await self.post({"jsonrpc": "2.0", "id": self._next_id, "method": method, "params": params})
        if "mcp-session-id" in headers:
            self._headers["Mcp-Session-Id"] = headers["mcp-session-id"]
        text = content.decode()
        if headers.get("content-type", "").startswith("text/event-stream"):
            text = "".join(line[5:] for line in text.splitlines() if line.startswith("data:"))
        answer = json.loads(text)
        if "result" not in answer:
            raise RuntimeError(f"{method} failed: {answer}")
        return answer["result"]

    async def call_tool(self, name: str, arguments: dict[str, Any]) -> Any:
        result = await self.request("tools/call", {"name": name, "arguments": arguments})
        return SimpleNamespace(is_error=result.get("isError", False), content=result.get("content"))


@asynccontextmanager
async def http_session(home: Path, tokens: bool) -> AsyncIterator[KeepAliveClient]:
    options: list[str] = []
    headers: dict[str, str] = {}
    if tokens:
        from tarvik.tokens import add_token

        headers["Authorization"] = f"Bearer {add_token(home / 'tokens', 'bench')}"
        options = ["--tokens", str(home / "tokens"), "--data-dir", str(home / "tenants")]
    process = await asyncio.create_subprocess_exec(
        *tarvik_command(), "serve", "--http", "127.0.0.1:0", *options,
        env={**os.environ, "HOME": str(home)}, stderr=asyncio.subprocess.PIPE,
    )
    assert process.stderr is not None
    while not (line := (await asyncio.wait_for(process.stderr.readline(), 60)).decode()).startswith("tarvik: serving"):
        if not line:
            raise RuntimeError("the server did not start")
    draining = asyncio.ensure_future(process.stderr.read())
    port = int(line.split()[2].rsplit(":", 1)[1].split("/")[0])
    headers["Host"] = f"127.0.0.1:{port}"
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        client = KeepAliveClient(reader, writer, headers)
        await client.request("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                            "clientInfo": {"name": "bench", "version": "0"}})
        client._headers["Mcp-Protocol-Version"] = "2025-06-18"
        await client.post({"jsonrpc": "2.0", "method": "notifications/initialized"})
        yield client
    finally:
        writer.close()
        process.terminate()
        await process.wait()
        await draining


@asynccontextmanager
async def stdio_session(home: Path) -> AsyncIterator[ClientSession]:
    command = tarvik_command()
    server = StdioServerParameters(
        command=command[0], args=[*command[1:], "serve"], env={**os.environ, "HOME": str(home)}
    )
    with open(os.devnull, "w") as quiet:
        async with (
            stdio_client(server, errlog=quiet) as (read_stream, write_stream),
            ClientSession(read_stream, write_stream) as session,
        ):
            await session.initialize()
            yield session


async def timed_call(session: ClientSession | KeepAliveClient) -> float:
    started = time.perf_counter()
    result = await session.call_tool("tool_creator", LIST)
    elapsed = (time.perf_counter() - started) * 1000
    if result.is_error:
        raise RuntimeError(f"the call failed: {result.content}")
    return elapsed


async def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=300, help="timed calls per mode")
    parser.add_argument("--warmup", type=int, default=30, help="untimed calls per mode first")
    args = parser.parse_args()
    latencies: dict[str, list[float]] = {mode: [] for mode in MODES}
    with tempfile.TemporaryDirectory(prefix="tarvik-http-latency-") as folder:
        homes = {mode: Path(folder) / mode for mode in MODES}
        for home in homes.values():
            home.mkdir()
        async with AsyncExitStack() as stack:
            sessions = {
                "stdio": await stack.enter_async_context(stdio_session(homes["stdio"])),
                "direct": await stack.enter_async_context(http_session(homes["direct"], tokens=False)),
                "front": await stack.enter_async_context(http_session(homes["front"], tokens=True)),
            }
            for _ in range(args.warmup):
                for session in sessions.values():
                    await timed_call(session)
            for _ in range(args.calls):
                for mode, session in sessions.items():
                    latencies[mode].append(await timed_call(session))
    rows = []
    stdio_p50 = percentile(latencies["stdio"], 0.50)
    for mode in MODES:
        p50 = percentile(latencies[mode], 0.50)
        rows.append({"mode": mode, "calls": len(latencies[mode]), "p50_ms": round(p50, 2),
                     "p99_ms": round(percentile(latencies[mode], 0.99), 2), "x_stdio": round(p50 / stdio_p50, 2)})
    goal = 1.5 * stdio_p50 + 1.0
    front_p50 = rows[-1]["p50_ms"]
    print(f"{'mode':<7} {'calls':>6} {'p50':>10} {'p99':>10} {'x stdio':>8}")
    for row in rows:
        print(f"{row['mode']:<7} {row['calls']:>6} {row['p50_ms']:>7.2f} ms {row['p99_ms']:>7.2f} ms "
              f"{row['x_stdio']:>8.2f}")
    verdict = "within" if front_p50 <= goal else "NOT within"
    print(f"front p50 {front_p50:.2f} ms is {verdict} 1.5 x stdio + 1 ms = {goal:.2f} ms")
    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / f"http_latency-{time.strftime('%Y%m%d-%H%M%S')}.json"
    out.write_text(json.dumps({"machine": machine(), "rows": rows, "goal_ms": round(goal, 2)}, indent=2))
    print(f"figures written to {out}")
    return 0 if front_p50 <= goal else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
