"""Many agents at once over streamable HTTP: concurrent MCP clients calling one created tool on 127.0.0.1.

    python bench/http_load.py [--clients 50] [--calls 40] [--mode tokens,direct,stdio] [--time-limit 600]

Starts `tarvik serve --http 127.0.0.1:0` in a home folder of its own, either
behind the tokens front (`tokens`: the front checks the bearer token and
hands each request to the tenant's process) or serving that home directly
(`direct`, no tokens). One client creates a tool; then `--clients` clients,
each an MCP session of its own through the SDK's streamable HTTP client,
make `--calls` calls of it each, all at once. For comparison, `stdio` starts
`tarvik serve` as a stdio server and has as many callers make the same calls
at once over its one session. The counts are fixed and the whole run is
bounded by `--time-limit`; any error fails the run.

Prints p50, p99 and calls per second for each mode and writes the figures,
with the machine, to ``bench/results/http_load-<time>.json``.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import httpx2
from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.client.streamable_http import streamable_http_client

sys.path.insert(0, str(Path(__file__).resolve().parent))
from worker_latency import RESULTS, machine, percentile

TOOL_CODE = 'def main(args):\n    return {"success": True, "result": sum(args.get("numbers", []))}\n'
ARGS = {"numbers": [1, 2, 3]}


def tarvik_command() -> list[str]:
    script = Path(sys.executable).with_name("tarvik")
    return [str(script)] if script.exists() else [sys.executable, "-m", "tarvik.cli.main"]


async def start_server(home: Path, mode: str) -> tuple[asyncio.subprocess.Process, str, str | None]:
    options: list[str] = []
    token = None
    if mode == "tokens":
        from tarvik.tokens import add_token

        token = add_token(home / "tokens", "bench")
        options = ["--tokens", str(home / "tokens"), "--data-dir", str(home / "tenants")]
    process = await asyncio.create_subprocess_exec(
        *tarvik_command(), "serve", "--http", "127.0.0.1:0", "--calls-per-tenant", "16", *options,
        env={**os.environ, "HOME": str(home)}, stderr=asyncio.subprocess.PIPE,
    )
    assert process.stderr is not None
    while True:
        line = (await asyncio.wait_for(process.stderr.readline(), 60)).decode()
        if not line:
            raise RuntimeError("the server did not start")
        if line.startswith("tarvik: serving "):
            return process, line.split()[2], token


async def calls_of(session: ClientSession, calls: int, latencies: list[float], errors: list[str]) -> None:
    for _ in range(calls):
        started = time.perf_counter()
        result = await session.call_tool("custom_bench", {"args": ARGS})
        latencies.append((time.perf_counter() - started) * 1000)
        text = result.content[0].text if result.content else ""  # type: ignore[union-attr]
        if result.is_error or json.loads(text).get("result") != 6:
            errors.append(text[:200])


async def client(url: str, token: str | None, calls: int, latencies: list[float], errors: list[str]) -> None:
    headers = {"Authorization": f"Bearer {token}"} if token else None
    async with (
        httpx2.AsyncClient(headers=headers, timeout=httpx2.Timeout(60, read=120)) as http,
        streamable_http_client(url, http_client=http) as (read_stream, write_stream),
        ClientSession(read_stream, write_stream) as session,
    ):
        await session.initialize()
        await calls_of(session, calls, latencies, errors)


async def run_stdio(clients: int, calls: int) -> dict[str, Any]:
    with tempfile.TemporaryDirectory(prefix="tarvik-http-load-") as folder:
        command = tarvik_command()
        server = StdioServerParameters(
            command=command[0], args=[*command[1:], "serve"], env={**os.environ, "HOME": folder}
        )
        latencies: list[float] = []
        errors: list[str] = []
        with open(os.devnull, "w") as quiet:
            async with stdio_client(server, errlog=quiet) as (read_stream, write_stream):
                async with ClientSession(read_stream, write_stream) as session:
                    await session.initialize()
                    await session.call_tool(
                        "tool_creator", {"operation": "create", "tool_name": "bench", "code": TOOL_CODE}
                    )
                    started = time.perf_counter()
                    outcomes = await asyncio.gather(
                        *(calls_of(session, calls, latencies, errors) for _ in range(clients)),
                        return_exceptions=True,
                    )
                    elapsed = time.perf_counter() - started
        errors += [f"{type(outcome).__name__}: {outcome}" for outcome in outcomes if outcome is not None]
    return figures("stdio", clients, calls, latencies, errors, elapsed)


def figures(
    mode: str, clients: int, calls: int, latencies: list[float], errors: list[str], elapsed: float
) -> dict[str, Any]:
    return {
        "mode": mode,
        "clients": clients,
        "calls_per_client": calls,
        "calls": len(latencies),
        "errors": len(errors),
        "first_errors": errors[:5],
        "p50_ms": round(percentile(latencies, 0.50), 1) if latencies else None,
        "p99_ms": round(percentile(latencies, 0.99), 1) if latencies else None,
        "calls_per_s": round(len(latencies) / elapsed, 1),
        "seconds": round(elapsed, 2),
    }


async def run_mode(mode: str, clients: int, calls: int) -> dict[str, Any]:
    if mode == "stdio":
        return await run_stdio(clients, calls)
    with tempfile.TemporaryDirectory(prefix="tarvik-http-load-") as folder:
        process, url, token = await start_server(Path(folder), mode)
        draining = asyncio.ensure_future(process.stderr.read())  # type: ignore[union-attr]
        try:
            latencies: list[float] = []
            errors: list[str] = []
            headers = {"Authorization": f"Bearer {token}"} if token else None
            async with (
                httpx2.AsyncClient(headers=headers, timeout=60) as http,
                streamable_http_client(url, http_client=http) as (read_stream, write_stream),
                ClientSession(read_stream, write_stream) as session,
            ):
                await session.initialize()
                await session.call_tool(
                    "tool_creator", {"operation": "create", "tool_name": "bench", "code": TOOL_CODE}
                )
            # No warm-up: each client's first calls, and its session's set-up, count.
            started = time.perf_counter()
            outcomes = await asyncio.gather(
                *(client(url, token, calls, latencies, errors) for _ in range(clients)), return_exceptions=True
            )
            elapsed = time.perf_counter() - started
            errors += [f"{type(outcome).__name__}: {outcome}" for outcome in outcomes if outcome is not None]
        finally:
            process.terminate()
            await process.wait()
            await draining
    return figures(mode, clients, calls, latencies, errors, elapsed)


async def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--calls", type=int, default=40, help="calls per client")
    parser.add_argument("--mode", default="tokens,direct,stdio", help="tokens, direct, stdio, comma-separated")
    parser.add_argument("--time-limit", type=float, default=600.0, help="seconds for the whole run")
    args = parser.parse_args()
    rows = []
    async with asyncio.timeout(args.time_limit):
        for mode in args.mode.split(","):
            rows.append(await run_mode(mode, args.clients, args.calls))
    print(f"{'mode':<8} {'clients':>7} {'calls':>6} {'errors':>6} {'p50':>9} {'p99':>9} {'calls/s':>8}")
    for row in rows:
        print(f"{row['mode']:<8} {row['clients']:>7} {row['calls']:>6} {row['errors']:>6} "
              f"{row['p50_ms']:>6} ms {row['p99_ms']:>6} ms {row['calls_per_s']:>8}")
        for error in row["first_errors"]:
            print(f"  error: {error}")
    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / f"http_load-{time.strftime('%Y%m%d-%H%M%S')}.json"
    out.write_text(json.dumps({"machine": machine(), "rows": rows}, indent=2))
    print(f"figures written to {out}")
    return 0 if all(row["errors"] == 0 and row["calls"] == args.clients * args.calls for row in rows) else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
