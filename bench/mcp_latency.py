"""An agent's tool call over MCP: `custom_<name>` through `tarvik serve` against a bare SDK server.

    python bench/mcp_latency.py [--calls N] [--warm-up N]

Starts two stdio servers with the SDK's own client, side by side in one run:
a bare low-level SDK server whose one tool echoes its arguments in-process,
and `tarvik serve`, in which a one-line tool is created once and then called
as `custom_bench`, each call run in the sandbox by a pre-started worker. Both
are warmed up, then timed call by call; the script prints p50/p90/p99 of
each, the ratio of the p50s and what the sandboxed run adds on top of the
protocol, and writes the figures to ``bench/results/mcp_latency-<time>.json``.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import tempfile
import textwrap
import time
from pathlib import Path
from typing import Any

from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client

RESULTS = Path(__file__).resolve().parent / "results"
TOOL_CODE = "def main(args):\n    return {'success': True, 'result': args.get('text', '')}\n"

# The floor: the same protocol, the same SDK, a tool that answers at once.
BARE_SERVER = textwrap.dedent(
    """
    import anyio
    import mcp_types as types
    from mcp.server.lowlevel import Server
    from mcp.server.stdio import stdio_server

    async def list_tools(ctx, params):
        schema = {"type": "object", "properties": {"args": {"type": "object"}}}
        return types.ListToolsResult(tools=[types.Tool(name="echo", input_schema=schema)])

    async def call_tool(ctx, params):
        text = str((params.arguments or {}).get("args"))
        return types.CallToolResult(content=[types.TextContent(type="text", text=text)])

    server = Server("bare-echo", on_list_tools=list_tools, on_call_tool=call_tool)

    async def main():
        async with stdio_server() as (read_stream, write_stream):
            await server.run(read_stream, write_stream, server.create_initialization_options())

    anyio.run(main)
    """
)


def tarvik_command() -> tuple[str, list[str]]:
    script = Path(sys.executable).with_name("tarvik")
    return (str(script), []) if script.exists() else (sys.executable, ["-m", "tarvik.cli.main"])


def percentile(samples: list[float], fraction: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, round(fraction * (len(ordered) - 1)))]


async def time_calls(session: ClientSession, tool: str, calls: int, warm_up: int) -> list[float]:
    arguments = {"args": {"text": "hi"}}
    for _ in range(warm_up):
        await session.call_tool(tool, arguments)
    latencies = []
    for _ in range(calls):
        started = time.perf_counter()
        result = await session.call_tool(tool, arguments)
        latencies.append((time.perf_counter() - started) * 1000)
        if result.is_error:
            raise SystemExit(f"a benchmarked call failed: {result.content}")
    return latencies


async def measure_bare(calls: int, warm_up: int) -> list[float]:
    server = StdioServerParameters(command=sys.executable, args=["-c", BARE_SERVER])
    async with stdio_client(server) as (read, write), ClientSession(read, write) as session:
        await session.initialize()
        return await time_calls(session, "echo", calls, warm_up)


async def measure_tarvik(calls: int, warm_up: int, home: str) -> list[float]:
    command, args = tarvik_command()
    server = StdioServerParameters(
        command=command, args=[*args, "serve"], env={"HOME": home}
    )
    async with stdio_client(server) as (read, write), ClientSession(read, write) as session:
        await session.initialize()
        created = await session.call_tool(
            "tool_creator",
            {"operation": "create", "tool_name": "bench", "description": "Echo.", "code": TOOL_CODE},
        )
        if created.is_error:
            raise SystemExit(f"creating the benchmarked tool failed: {created.content}")
        return await time_calls(session, "custom_bench", calls, warm_up)


def summary(latencies: list[float]) -> dict[str, float]:
    return {
        "p50_ms": statistics.median(latencies),
        "p90_ms": percentile(latencies, 0.90),
        "p99_ms": percentile(latencies, 0.99),
        "calls": len(latencies),
    }


async def bench(arguments: argparse.Namespace) -> dict[str, Any]:
    with tempfile.TemporaryDirectory(prefix="tarvik-bench-home-") as home:
        bare = summary(await measure_bare(arguments.calls, arguments.warm_up))
        tarvik = summary(await measure_tarvik(arguments.calls, arguments.warm_up, home))
    return {"bare SDK echo": bare, "tarvik custom_<name>": tarvik}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=500, help="timed calls per server")
    parser.add_argument("--warm-up", type=int, default=50, help="untimed calls first")
    arguments = parser.parse_args()
    figures = asyncio.run(bench(arguments))
    bare, tarvik = figures["bare SDK echo"], figures["tarvik custom_<name>"]
    for name, row in figures.items():
        print(f"{name:<22} p50 {row['p50_ms']:6.2f} ms  p90 {row['p90_ms']:6.2f} ms  "
              f"p99 {row['p99_ms']:6.2f} ms  ({row['calls']} calls)")
    ratio = tarvik["p50_ms"] / bare["p50_ms"]
    print(f"p50 ratio {ratio:.2f}x: the sandboxed run adds {tarvik['p50_ms'] - bare['p50_ms']:.2f} ms "
          f"to the {bare['p50_ms']:.2f} ms the protocol costs")
    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / f"mcp_latency-{time.strftime('%Y%m%d-%H%M%S')}.json"
    machine = {"nproc": os.cpu_count(), "python": sys.version.split()[0], "kernel": os.uname().release}
    out.write_text(json.dumps({"machine": machine, "ratio": ratio, **figures}, indent=2) + "\n")
    print(f"figures written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
