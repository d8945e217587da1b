"""The cost of a tool call through ``spawn``: a warm world per tool, a fresh world per call, one
bare ``python -c`` per call, and (with ``--before``) another install of tarvik, side by side.

    python bench/worker_latency.py [--calls N] [--before PYTHON] [--only ROW,...]

Every wall is up. The rows:

* ``repeat``: one tool called again and again by one caller;
* ``slow import``: a tool whose module imports a helper that sleeps 0.25 s,
  and one that declares and imports ``numpy`` (installed once, beforehand,
  from the package index): its first call and the calls after;
* ``concurrent``: 8 callers at once, of one tool and of eight tools
  (calls/s and p99);
* ``fresh``: what always takes a fresh world: ``validate``, and the first
  call of a tool never called before, back to back, and ``spaced`` (20 ms
  between calls, untimed, so that the pool has prepared the next world);
* ``memory``: the proportional set size (PSS) of 16 idle warm worlds of
  small tools, and of the pool around them.

``--before PYTHON`` runs the same cells, interleaved with this one's, under
another interpreter that has another tarvik installed (the one before a
change, say), so that both are measured in one run on one machine. That
tarvik may predate isolation per tool: its default manager is then what it
measures. Prints a table and writes the figures, with the machine they came
from, to ``bench/results/worker_latency-<time>.json``.
"""

from __future__ import annotations

import argparse
import asyncio
import inspect
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask

RESULTS = Path(__file__).resolve().parent / "results"
TOOL_CODE = "def main(args):\n    return {'sum': sum(args.get('numbers', []))}\n"
SLOW_CODE = "import slow_helper\n" + TOOL_CODE
SLOW_HELPER = "import time\ntime.sleep(0.25)\n"
NUMPY_CODE = (
    "# /// script\n# dependencies = [\"numpy\"]\n# ///\n"
    "import numpy\ndef main(args):\n    return {'sum': int(numpy.sum(args.get('numbers', [])))}\n"
)
ARGS = {"numbers": [1, 2, 3]}

Call = Callable[[], Awaitable[Any]]

# What one unsandboxed process per call does: load the script, call main, print JSON.
BARE_RUN = (
    "import importlib.util, json, sys\n"
    "sys.path.insert(0, sys.argv[3])\n"
    "spec = importlib.util.spec_from_file_location('tool', sys.argv[1])\n"
    "module = importlib.util.module_from_spec(spec)\n"
    "spec.loader.exec_module(module)\n"
    "print(json.dumps(module.main(json.loads(sys.argv[2]))))\n"
)


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
    return {"nproc": os.cpu_count(), "cpu": model, "python": platform.python_version(),
            "kernel": platform.release()}


def percentile(samples: list[float], fraction: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, round(fraction * (len(ordered) - 1)))]


def run_task(path: Path) -> SubprocessTask:
    command = {"action": "run_function", "path": str(path), "function": "main", "args": ARGS}
    return SubprocessTask(worker_type="custom", command=command, timeout=60)


def check(result: Any) -> Any:
    """A benchmark of failing calls measures nothing: stop at the first one."""
    if getattr(result, "error", None):
        raise SystemExit(f"a benchmarked call failed: {result.error}")
    return result


async def measure(calls: list[Call], concurrency: int, gap: float = 0.0) -> dict[str, float]:
    """``calls`` made by ``concurrency`` callers at once, each waiting ``gap`` seconds (untimed)
    before each of its calls; latencies in milliseconds."""
    latencies: list[float] = []
    pending = list(reversed(calls))

    async def caller() -> None:
        while pending:
            call = pending.pop()
            if gap:
                await asyncio.sleep(gap)
            started = time.perf_counter()
            check(await call())
            latencies.append((time.perf_counter() - started) * 1000)

    started = time.perf_counter()
    await asyncio.gather(*(caller() for _ in range(concurrency)))
    elapsed = time.perf_counter() - started
    return {"p50_ms": statistics.median(latencies), "p99_ms": percentile(latencies, 0.99),
            "calls_per_s": len(latencies) / elapsed, "calls": len(latencies)}


def tool_in(folder: Path, name: str, code: str) -> Path:
    (folder / name).mkdir(parents=True, exist_ok=True)
    (folder / name / "slow_helper.py").write_text(SLOW_HELPER)
    path = folder / name / "tool.py"
    path.write_text(code)
    return path


class Cells:
    """The measured cells of one kind of manager (or of bare processes)."""

    def __init__(self, kind: str, work: Path, calls: int) -> None:
        self.kind = kind
        self.work = work / kind
        self.calls = calls
        self.manager: SubprocessManager | None = None
        if kind != "bare":
            options: dict[str, Any] = {}
            if "isolation" in inspect.signature(SubprocessManager).parameters:
                options["isolation"] = "call" if kind == "call" else "tool"
            self.manager = SubprocessManager(**options)
        self._made = 0

    def _one(self, path: Path) -> Call:
        if self.manager is None:
            argv = [sys.executable, "-c", BARE_RUN, str(path), json.dumps(ARGS), str(path.parent)]

            async def bare() -> Any:
                process = await asyncio.create_subprocess_exec(*argv, stdout=subprocess.PIPE)
                output, _ = await process.communicate()
                if process.returncode != 0:
                    raise SystemExit("the bare python -c call failed")
                return json.loads(output)

            return bare
        manager, task = self.manager, run_task(path)
        return lambda: manager.spawn(task)

    def _new_tool(self, code: str) -> Path:
        self._made += 1
        return tool_in(self.work, f"t{self._made}", code)

    async def cell(self, row: str) -> dict[str, Any]:
        if row == "repeat":
            call = self._one(self._new_tool(TOOL_CODE))
            for _ in range(5):
                check(await call())
            return await measure([call] * self.calls, 1)
        if row in ("slow import", "numpy import"):
            code = SLOW_CODE if row == "slow import" else NUMPY_CODE
            check(await self._one(self._new_tool(code))())  # what a manager pays once, untimed
            firsts = []
            for _ in range(3):
                call = self._one(self._new_tool(code))
                started = time.perf_counter()
                check(await call())
                firsts.append((time.perf_counter() - started) * 1000)
            after = await measure([call] * max(10, self.calls // 10), 1)
            return {"first_ms": statistics.median(firsts), **after}
        if row in ("concurrent, one tool", "concurrent, eight tools"):
            count = 1 if row.endswith("one tool") else 8
            calls = [self._one(self._new_tool(TOOL_CODE)) for _ in range(count)]
            await measure(calls * 4, 8)  # every world opened, not measured
            return await measure(calls * (self.calls // count), 8)
        gap = SPACING if row.startswith("spaced:") else 0.0
        if row.endswith(": first call"):
            calls = [self._one(self._new_tool(TOOL_CODE)) for _ in range(min(60, self.calls))]
            return await measure(calls, 1, gap)
        if row.endswith(": validate"):
            if self.manager is None:
                return await measure([self._one(self._new_tool(TOOL_CODE))] * 30, 1, gap)
            manager = self.manager
            task = SubprocessTask(worker_type="custom", timeout=30,
                                  command={"action": "validate", "code": TOOL_CODE})
            return await measure([lambda: manager.spawn(task)] * min(60, self.calls), 1, gap)
        if row == "memory":
            return await self.memory()
        raise SystemExit(f"unknown row {row!r}")

    async def memory(self) -> dict[str, Any]:
        """PSS of 16 idle warm worlds, of the blank tasks and zygote around them, in a manager
        of their own."""
        if self.manager is None or "isolation" not in inspect.signature(SubprocessManager).parameters:
            return {}
        await self.manager.aclose()
        self.manager = SubprocessManager(isolation="tool")
        await self.manager.protections()
        await asyncio.sleep(0.5)
        before = pool_pss(self.manager)
        for _ in range(16):
            check(await self._one(self._new_tool(TOOL_CODE))())
        await asyncio.sleep(0.5)
        after = pool_pss(self.manager)
        return {"pool_mib": before / (1 << 20), "with_16_mib": after / (1 << 20),
                "16_worlds_mib": (after - before) / (1 << 20)}

    async def aclose(self) -> None:
        if self.manager is not None:
            await self.manager.aclose()


def pool_pss(manager: SubprocessManager) -> int:
    """The PSS of every process below the pool's launcher, in bytes."""
    runners = getattr(manager, "_runners", None) or getattr(manager, "_pool", None)
    pool = getattr(runners, "pool", runners)
    root = getattr(pool, "zygote_pid", None)
    total, todo = 0, [root] if root else []
    while todo:
        pid = todo.pop()
        try:
            with open(f"/proc/{pid}/smaps_rollup") as rollup:
                for line in rollup:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1]) * 1024
            for thread in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{thread}/children") as children:
                    todo += [int(child) for child in children.read().split()]
        except OSError:
            continue
    return total


ROWS = ["repeat", "slow import", "numpy import", "concurrent, one tool", "concurrent, eight tools",
        "fresh: first call", "fresh: validate", "spaced: first call", "spaced: validate",
        "memory"]
# The pause before each call of a "spaced:" row: long enough for the pool to have prepared the
# next blank task, as for an agent's validate or first call, which come one at a time.
SPACING = 0.02


async def numpy_available() -> bool:
    """Whether numpy can be had for a tool here: installed now, so no cell pays for it."""
    from tarvik.core.packages import Environments, PackageError, PackagePolicy

    try:
        await Environments(PackagePolicy(), sys.executable).for_code(NUMPY_CODE)
    except PackageError as error:
        print(f"(numpy cannot be had here, its row is left out: {error})")
        return False
    return True


async def bench(arguments: argparse.Namespace) -> dict[str, Any]:
    work = Path(tempfile.mkdtemp(prefix="tarvik-bench-"))
    rows = [row for row in arguments.only or ROWS
            if row != "numpy import" or await numpy_available()]
    kinds = {kind: Cells(kind, work, arguments.calls) for kind in ("warm", "call", "bare")}
    protections = await kinds["warm"].manager.protections()  # type: ignore[union-attr]
    before = Before(arguments.before, arguments.calls) if arguments.before else None
    figures: list[dict[str, Any]] = []
    try:
        for row in rows:
            line: dict[str, Any] = {"row": row}
            for kind, cells in kinds.items():
                if row == "memory" and kind != "warm":
                    continue
                if (row.endswith(": validate") or row == "numpy import") and kind == "bare":
                    continue  # no check to make, and no environment to import from
                line[kind] = await cells.cell(row)
                await asyncio.sleep(0.3)  # let the pool refill before the next cell
            if before is not None:
                line["before"] = await before.cell(row)
            figures.append(line)
            print_row(line)
    finally:
        for cells in kinds.values():
            await cells.aclose()
        shutil.rmtree(work, ignore_errors=True)
    return {"machine": machine(), "protections": protections, "rows": figures}


class Before:
    """The same cells under another interpreter, each in a process of its own."""

    def __init__(self, python: str, calls: int) -> None:
        self.python = python
        self.calls = calls

    async def cell(self, row: str) -> dict[str, Any]:
        process = await asyncio.create_subprocess_exec(
            self.python, __file__, "--cell", row, "--calls", str(self.calls),
            stdout=subprocess.PIPE, cwd=tempfile.gettempdir(),
        )
        output, _ = await process.communicate()
        return json.loads(output) if process.returncode == 0 else {"error": "failed"}


async def one_cell(row: str, calls: int) -> dict[str, Any]:
    work = Path(tempfile.mkdtemp(prefix="tarvik-bench-"))
    cells = Cells("warm", work, calls)
    try:
        return await cells.cell(row)
    finally:
        await cells.aclose()
        shutil.rmtree(work, ignore_errors=True)


def print_row(line: dict[str, Any]) -> None:
    parts = [f"{line['row']:<24}"]
    for kind in ("warm", "call", "bare", "before"):
        cell = line.get(kind)
        if not cell:
            continue
        if "16_worlds_mib" in cell:
            parts.append(f"{kind}: 16 worlds {cell['16_worlds_mib']:.1f} MiB PSS "
                         f"(pool {cell['pool_mib']:.1f} MiB)")
            continue
        if "p50_ms" not in cell:
            parts.append(f"{kind}: {cell}")
            continue
        text = f"{kind}: p50 {cell['p50_ms']:.3f} ms p99 {cell['p99_ms']:.2f} {cell['calls_per_s']:.0f}/s"
        if "first_ms" in cell:
            text = f"{kind}: first {cell['first_ms']:.1f} ms, then p50 {cell['p50_ms']:.3f} ms"
        parts.append(text)
    warm, bare, before = line.get("warm", {}), line.get("bare", {}), line.get("before", {})
    if warm.get("p50_ms") and bare.get("p50_ms"):
        parts.append(f"bare/warm {bare['p50_ms'] / warm['p50_ms']:.0f}x")
    if warm.get("p50_ms") and before.get("p50_ms"):
        parts.append(f"before/warm {before['p50_ms'] / warm['p50_ms']:.1f}x")
    if warm.get("calls_per_s") and before.get("calls_per_s") and line["row"].startswith("conc"):
        parts.append(f"warm/before calls/s {warm['calls_per_s'] / before['calls_per_s']:.1f}x")
    print(" | ".join(parts), flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=400, help="calls per cell")
    parser.add_argument("--before", metavar="PYTHON", help="an interpreter with another tarvik")
    parser.add_argument("--only", type=lambda text: text.split(","), help="rows, comma-separated")
    parser.add_argument("--cell", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.cell:
        print(json.dumps(asyncio.run(one_cell(arguments.cell, arguments.calls))))
        return
    info = machine()
    print(f"{info['nproc']} CPUs, {info['cpu']}, Python {info['python']}, Linux {info['kernel']}")
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
