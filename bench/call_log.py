"""What the call log adds to a call: the same warm calls with the log on and off, side by side in one run.

    python bench/call_log.py [--calls N] [--repeat N]

A home folder of its own, one tool created through the tool creator, then
its calls through `ToolCalls.call` (the path every server and `tarvik call`
takes), in batches of ``calls`` that alternate between a `ToolCalls` with
the call log and one without, ``repeat`` times each, every call timed on
its own. ``warm`` calls go through the real worker pool, each in the tool's
warm world; ``instant`` calls go to a manager that answers at once, so the
difference there is the log's own cost on a call's path, in microseconds.
Prints a table and writes the figures, with the machine, to
``bench/results/call_log-<time>.json``. A benchmark, not a test.
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
from pathlib import Path
from typing import Any

RESULTS = Path(__file__).resolve().parent / "results"
CODE = 'def main(args):\n    return {"success": True, "result": sum(args["numbers"])}\n'
ARGUMENTS = {"args": {"numbers": [1, 2, 3]}}


class InstantResult:
    def __init__(self) -> None:
        self.error = None
        self.output = {"success": True, "result": 6}
        self.printed = ""
        self.world = "warm"
        self.limit = None
        self.digest = "0" * 64


class InstantManager:
    async def spawn(self, task: Any) -> Any:
        if task.command.get("action") == "validate":
            return type("Valid", (), {"error": None, "output": {"valid": True, "message": "ok"}})()
        return InstantResult()


def percentile(ordered: list[float], fraction: float) -> float:
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


async def measure(kind: str, calls: int, repeat: int) -> dict[str, Any]:
    from tarvik.calllog import CallLog, calls_db
    from tarvik.calls import TaskRecordingManager, ToolCalls
    from tarvik.core.subprocess_manager import SubprocessManager
    from tarvik.tools.registry import ToolRegistry
    from tarvik.tools.tool_creator import ToolCreatorTool

    wrapped: Any = SubprocessManager() if kind == "warm" else InstantManager()
    manager = TaskRecordingManager(wrapped)
    registry = ToolRegistry()
    registry.register(ToolCreatorTool(subprocess_manager=manager, tool_registry=registry))
    log = CallLog(calls_db(Path.home()))
    with_log, without = ToolCalls(registry, log=log), ToolCalls(registry)
    try:
        created = await without.call("tool_creator", {"operation": "create", "tool_name": "adder", "code": CODE})
        assert not created.is_error, created.text
        timings: dict[str, list[float]] = {"off": [], "on": []}
        for calls_of in (without, with_log):  # warm up both: the world, the schema, the validator
            for _ in range(50):
                await calls_of.call("custom_adder", ARGUMENTS)
        for round_number in range(repeat):
            order = (("off", without), ("on", with_log)) if round_number % 2 == 0 else (
                ("on", with_log), ("off", without))
            for mode, calls_of in order:
                for _ in range(calls):
                    started = time.perf_counter()
                    outcome = await calls_of.call("custom_adder", ARGUMENTS)
                    timings[mode].append(time.perf_counter() - started)
                    assert not outcome.is_error, outcome.text
    finally:
        await log.aclose()
        if kind == "warm":
            await wrapped.aclose()
    figures: dict[str, Any] = {}
    for mode, values in timings.items():
        values.sort()
        figures[mode] = {"calls": len(values), "p50_us": statistics.median(values) * 1e6,
                         "p99_us": percentile(values, 0.99) * 1e6}
    figures["p50_ratio"] = figures["on"]["p50_us"] / figures["off"]["p50_us"]
    figures["p50_added_us"] = figures["on"]["p50_us"] - figures["off"]["p50_us"]
    return figures


def machine() -> dict[str, Any]:
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), model)
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "cpu": model, "python": platform.python_version(),
            "kernel": platform.release()}


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    # Short batches, many times over: whatever else the machine does falls on both alike.
    parser.add_argument("--calls", type=int, default=50, help="calls per batch (default: 50)")
    parser.add_argument("--repeat", type=int, default=300, help="batches of each, alternating (default: 300)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="tarvik-bench-log-") as home:
        os.environ["HOME"] = home
        results = {kind: await measure(kind, options.calls, options.repeat) for kind in ("instant", "warm")}
    print(f"{'calls':<8} {'log off p50':>12} {'log on p50':>12} {'added':>9} {'on / off':>9} "
          f"{'log off p99':>12} {'log on p99':>12}")
    for kind, figures in results.items():
        print(f"{kind:<8} {figures['off']['p50_us']:>10.1f}us {figures['on']['p50_us']:>10.1f}us "
              f"{figures['p50_added_us']:>7.1f}us {figures['p50_ratio']:>9.3f} "
              f"{figures['off']['p99_us']:>10.1f}us {figures['on']['p99_us']:>10.1f}us")
    RESULTS.mkdir(exist_ok=True)
    target = RESULTS / f"call_log-{time.strftime('%Y%m%d-%H%M%S')}.json"
    target.write_text(json.dumps({"machine": machine(), "argv": sys.argv[1:], "results": results}, indent=2))
    print(f"written to {target}")


if __name__ == "__main__":
    asyncio.run(main())
