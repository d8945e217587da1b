"""Latency and throughput of worker calls: the pre-forked pool against a fresh process per call.

    python bench/worker_latency.py [--calls N] [--fresh-calls N] [--concurrency 1,8,32]

Each row runs the same calls through ``SubprocessManager()`` (the pool),
through ``SubprocessManager(pool_size=0)`` (one sandboxed interpreter started
per call) and, as the floor any per-call process pays, one bare ``python -c``
per call with no sandbox at all (it imports json, loads the script, calls
``main`` and prints JSON; for a check, it parses the code), side by side in
one run. When the compiled ``tarvik.tools.tool_creator`` is importable, the
rows for ``validate``, ``run`` and a registered tool's ``execute`` go through
the public ToolCreatorTool as the agent calls them.

Prints a table and writes the figures, with the machine they came from, to
``bench/results/worker_latency-<time>.json``.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import platform
import statistics
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask

RESULTS = Path(__file__).resolve().parent / "results"
TOOL_CODE = "def main(args):\n    return {'sum': sum(args.get('numbers', []))}\n"
ARGS = {"numbers": [1, 2, 3]}

Call = Callable[[], Awaitable[Any]]

# What one unsandboxed process per call does for a run, and for a check.
BARE_RUN = (
    "import importlib.util, json, sys\n"
    "spec = importlib.util.spec_from_file_location('tool', sys.argv[1])\n"
    "module = importlib.util.module_from_spec(spec)\n"
    "spec.loader.exec_module(module)\n"
    "print(json.dumps(module.main(json.loads(sys.argv[2]))))\n"
)
BARE_VALIDATE = "import ast, json, sys\nast.parse(sys.argv[1])\nprint(json.dumps({'valid': True}))\n"


async def bare_python(script: str, *arguments: str) -> Any:
    process = await asyncio.create_subprocess_exec(
        sys.executable, "-c", script, *arguments, stdout=asyncio.subprocess.PIPE
    )
    output, _ = await process.communicate()
    if process.returncode != 0:
        raise SystemExit(f"the bare python -c call failed with code {process.returncode}")
    return json.loads(output)


def machine() -> dict[str, Any]:
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "nproc": os.cpu_count(),
        "cpu": model,
        "python": platform.python_version(),
        "kernel": platform.release(),
    }


def percentile(samples: list[float], fraction: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, round(fraction * (len(ordered) - 1)))]


async def measure(call: Call, calls: int, concurrency: int) -> dict[str, float]:
    """``calls`` calls from ``concurrency`` callers at once; latencies in milliseconds."""
    latencies: list[float] = []
    remaining = calls

    async def caller() -> None:
        nonlocal remaining
        while remaining > 0:
            remaining -= 1
            started = time.perf_counter()
            result = await call()
            latencies.append((time.perf_counter() - started) * 1000)
            check(result)

    started = time.perf_counter()
    await asyncio.gather(*(caller() for _ in range(concurrency)))
    elapsed = time.perf_counter() - started
    return {
        "p50_ms": statistics.median(latencies),
        "p99_ms": percentile(latencies, 0.99),
        "calls_per_s": len(latencies) / elapsed,
        "calls": len(latencies),
    }


def check(result: Any) -> None:
    """A benchmark of failing calls measures nothing: stop at the first one."""
    error = getattr(result, "error", None)
    if error or (isinstance(result, str) and result.startswith("[ERROR]")):
        raise SystemExit(f"a benchmarked call failed: {error or result}")


class Operations:
    """The calls measured, bound to one manager."""

    def __init__(self, manager: SubprocessManager, tool_path: str, tool_name: str) -> None:
        self.manager = manager
        self.tool_path = tool_path
        self.tool_name = tool_name
        self.creator: Any = None
        self.registered: Any = None

    async def prepare_public_tool(self) -> bool:
        try:
            from tarvik.tools.registry import ToolRegistry
            from tarvik.tools.tool_creator import ToolCreatorTool
        except ImportError:
            return False
        registry = ToolRegistry()
        self.creator = ToolCreatorTool(self.manager, registry)
        answer = await self.creator.execute(
            operation="create", tool_name=self.tool_name, description="Adds", code=TOOL_CODE
        )
        check(answer)
        self.registered = registry.get(f"custom_{self.tool_name}")
        return self.registered is not None

    def bare_calls(self) -> dict[str, Call]:
        """The same calls, each as one bare ``python -c``: no pool, no sandbox."""
        validate: Call = lambda: bare_python(BARE_VALIDATE, TOOL_CODE)  # noqa: E731
        run: Call = lambda: bare_python(BARE_RUN, self.tool_path, json.dumps(ARGS))  # noqa: E731
        return {
            "spawn validate": validate,
            "spawn run_function": run,
            "tool_creator validate": validate,
            "tool_creator run": run,
            "registered tool execute": run,
        }

    def calls(self) -> dict[str, Call]:
        validate = SubprocessTask(
            worker_type="custom", command={"action": "validate", "code": TOOL_CODE}, timeout=30
        )
        run = SubprocessTask(
            worker_type="custom",
            command={
                "action": "run_function",
                "path": self.tool_path,
                "function": "main",
                "args": ARGS,
            },
            timeout=30,
        )
        calls: dict[str, Call] = {
            "spawn validate": lambda: self.manager.spawn(validate),
            "spawn run_function": lambda: self.manager.spawn(run),
        }
        if self.creator is not None:
            calls["tool_creator validate"] = lambda: self.creator.execute(
                operation="validate", code=TOOL_CODE
            )
            calls["tool_creator run"] = lambda: self.creator.execute(
                operation="run", tool_name=self.tool_name, args=ARGS
            )
            calls["registered tool execute"] = lambda: self.registered.execute(args=ARGS)
        return calls


async def bench(arguments: argparse.Namespace) -> dict[str, Any]:
    work = Path(tempfile.mkdtemp(prefix="tarvik-bench-"))
    tool_path = work / "tool.py"
    tool_path.write_text(TOOL_CODE)
    # The tool store lives under HOME; keep the benchmark's out of the real one.
    os.environ["HOME"] = str(work)
    modes = {"pool": SubprocessManager(), "fresh": SubprocessManager(pool_size=0)}
    rows: list[dict[str, Any]] = []
    protections: dict[str, str] = {}
    try:
        operations = {
            mode: Operations(manager, str(tool_path), f"bench_{mode}")
            for mode, manager in modes.items()
        }
        public = [await ops.prepare_public_tool() for ops in operations.values()]
        protections = await modes["pool"].protections()
        call_sets = {mode: ops.calls() for mode, ops in operations.items()}
        call_sets["bare"] = operations["pool"].bare_calls()
        for name in call_sets["pool"]:
            for concurrency in arguments.concurrency:
                row: dict[str, Any] = {"operation": name, "concurrency": concurrency}
                for mode, calls in call_sets.items():
                    count = arguments.calls if mode == "pool" else arguments.fresh_calls
                    count = max(count, 3 * concurrency)
                    for _ in range(min(concurrency, 4)):  # warm-up, not measured
                        check(await calls[name]())
                    row[mode] = await measure(calls[name], count, concurrency)
                    await asyncio.sleep(0.2)  # let the pool refill before the next cell
                row["p50_speedup"] = row["fresh"]["p50_ms"] / row["pool"]["p50_ms"]
                row["p50_vs_bare"] = row["bare"]["p50_ms"] / row["pool"]["p50_ms"]
                rows.append(row)
                print_row(row)
        if not all(public):
            print("(tarvik.tools.tool_creator not importable: public-tool rows skipped)")
    finally:
        for manager in modes.values():
            await manager.aclose()
    return {"machine": machine(), "protections": protections, "pool_size": 4, "rows": rows}


def print_header() -> None:
    print(
        f"{'operation':<26} {'conc':>4} | {'pool p50':>9} {'p99':>8} {'calls/s':>8} | "
        f"{'fresh p50':>9} {'calls/s':>8} | {'bare p50':>9} {'calls/s':>8} | "
        f"{'x fresh':>7} {'x bare':>7}"
    )
    print("-" * 124)


def print_row(row: dict[str, Any]) -> None:
    pool, fresh, bare = row["pool"], row["fresh"], row["bare"]
    print(
        f"{row['operation']:<26} {row['concurrency']:>4} | "
        f"{pool['p50_ms']:>7.2f}ms {pool['p99_ms']:>6.1f}ms {pool['calls_per_s']:>8.0f} | "
        f"{fresh['p50_ms']:>7.1f}ms {fresh['calls_per_s']:>8.1f} | "
        f"{bare['p50_ms']:>7.1f}ms {bare['calls_per_s']:>8.1f} | "
        f"{row['p50_speedup']:>6.1f}x {row['p50_vs_bare']:>6.1f}x",
        flush=True,
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300, help="calls per pool cell")
    parser.add_argument(
        "--fresh-calls", type=int, default=60, help="calls per fresh-process and bare cell"
    )
    parser.add_argument(
        "--concurrency",
        type=lambda text: [int(part) for part in text.split(",")],
        default=[1, 8, 32],
        help="comma-separated numbers of concurrent callers",
    )
    arguments = parser.parse_args()
    info = machine()
    print(f"{info['nproc']} CPUs, {info['cpu']}, Python {info['python']}, Linux {info['kernel']}")
    print_header()
    figures = asyncio.run(bench(arguments))
    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / f"worker_latency-{time.strftime('%Y%m%d-%H%M%S')}.json"
    out.write_text(json.dumps(figures, indent=2) + "\n")
    inactive = {k: v for k, v in figures["protections"].items() if not v.startswith("active")}
    if inactive:
        print("protections not in force:", json.dumps(inactive))
    print(f"figures written to {out}")


if __name__ == "__main__":
    sys.exit(main())
