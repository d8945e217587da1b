"""What a declared package costs a tool: first use and cached runs, beside a tool that declares none.

    python bench/package_cost.py [--runs N] [--requirement SPEC [--module NAME]]

One pool of the real sandbox, one run, side by side: the run of a tool
without a ``# /// script`` block (the warm path), and for a tool that
declares one package: its check at creation with uv's cache empty (the
worker's check and uv installing it), its first run, its first run after a
host restart (the environment found on disk), and its later runs. Without
``--requirement`` the package is a small wheel this script builds, installed
offline from a folder; with it, uv's own configuration says where the
package comes from. Everything is kept in a temporary home folder.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import hashlib
import os
import statistics
import sys
import tempfile
import time
import zipfile
from pathlib import Path
from typing import Any

from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask

PLAIN_TOOL = "def main(args):\n    return {'sum': sum(args['numbers'])}\n"
DEPENDENT_TOOL = (
    "# /// script\n# dependencies = [{requirement!r}]\n# ///\nimport {module}\n\n"
    "def main(args):\n    return {{'sum': sum(args['numbers'])}}\n"
)
ARGS = {"numbers": [1, 2, 3]}


def build_wheel(folder: Path) -> None:
    name, version = "tarvik_bench_dep", "1.0"
    dist_info = f"{name}-{version}.dist-info"
    files = {
        f"{name}/__init__.py": "VALUE = 1\n",
        f"{dist_info}/METADATA": f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n",
        f"{dist_info}/WHEEL": "Wheel-Version: 1.0\nGenerator: bench\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = ""
    for path, text in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=")
        record += f"{path},sha256={digest.decode()},{len(text)}\n"
    files[f"{dist_info}/RECORD"] = record + f"{dist_info}/RECORD,,\n"
    with zipfile.ZipFile(folder / f"{name}-{version}-py3-none-any.whl", "w") as wheel:
        for path, text in files.items():
            wheel.writestr(path, text)


def task(action: str, value: str) -> SubprocessTask:
    if action == "validate":
        return SubprocessTask(worker_type="custom", command={"action": "validate", "code": value}, timeout=300)
    command = {"action": "run_function", "path": value, "function": "main", "args": ARGS}
    return SubprocessTask(worker_type="custom", command=command, timeout=30)


async def timed(manager: SubprocessManager, job: SubprocessTask) -> float:
    started = time.perf_counter()
    result = await manager.spawn(job)
    elapsed = time.perf_counter() - started
    if result.error or (isinstance(result.output, dict) and result.output.get("valid") is False):
        raise SystemExit(f"the call failed: {result.error or result.output}")
    return elapsed


async def measure(runs: int, plain: Path, dependent: Path) -> dict[str, Any]:
    figures: dict[str, Any] = {}
    manager = SubprocessManager()
    try:
        await manager.protections()  # the pool started, off the clock
        for _ in range(20):
            await timed(manager, task("run", str(plain)))
        figures["check at creation, uv's cache empty"] = await timed(
            manager, task("validate", dependent.read_text()))
        figures["first run"] = await timed(manager, task("run", str(dependent)))
        plain_runs, dependent_runs = [], []
        for _ in range(runs):  # interleaved, so both see the same machine
            plain_runs.append(await timed(manager, task("run", str(plain))))
            dependent_runs.append(await timed(manager, task("run", str(dependent))))
        figures["run without packages (p50)"] = statistics.median(plain_runs)
        figures["later runs (p50)"] = statistics.median(dependent_runs)
    finally:
        await manager.aclose()
    for name, script in (("without packages", plain), ("with the package", dependent)):
        restarted = SubprocessManager()
        try:
            await restarted.protections()
            figures[f"first run {name} after a restart"] = await timed(restarted, task("run", str(script)))
        finally:
            await restarted.aclose()
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--requirement", help="a real package, e.g. six (default: a wheel built here)")
    parser.add_argument("--module", help="what the tool imports of it (default: its name)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="tarvik-bench-") as temporary:
        folder = Path(temporary)
        os.environ["HOME"] = str(folder)
        os.environ["UV_CACHE_DIR"] = str(folder / "uv-cache")
        if options.requirement:
            requirement = options.requirement
            module = options.module or requirement.split("=")[0].split("<")[0].split(">")[0].strip()
        else:
            (folder / "wheels").mkdir()
            build_wheel(folder / "wheels")
            os.environ.update(UV_FIND_LINKS=str(folder / "wheels"), UV_NO_INDEX="1", UV_OFFLINE="1")
            requirement, module = "tarvik-bench-dep", "tarvik_bench_dep"
        plain, dependent = folder / "plain.py", folder / "dependent.py"
        plain.write_text(PLAIN_TOOL)
        dependent.write_text(DEPENDENT_TOOL.format(requirement=requirement, module=module))
        figures = asyncio.run(measure(options.runs, plain, dependent))
    print(f"one dependency: {requirement}; CPython {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    for name, seconds in figures.items():
        print(f"  {name:<46} {seconds * 1000:9.1f} ms")


if __name__ == "__main__":
    main()
