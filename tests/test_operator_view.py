"""What the operator sees: the call log under concurrent, killed and refused writes, and the page in a real browser."""

from __future__ import annotations

import asyncio
import hashlib
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import closing, contextmanager, nullcontext
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import anyio
import pytest
from conftest import FakeManager

from tarvik.calllog import CallLog, CallRecord, calls_db, open_for_writing
from tarvik.calls import TaskRecordingManager, ToolCalls
from tarvik.host import InvalidArgumentsError, open_host
from tarvik.server.operator import OperatorAccess
from tarvik.settings import Settings
from tarvik.tokens import add_token

SHOUT = 'def main(args):\n    print("shouting")\n    return {"success": True, "result": args["text"].upper()}\n'
SLEEPER = 'import time\ndef main(args):\n    time.sleep(30)\n    return {"success": True, "result": 1}\n'
# Set by .ci/run, where the browser test must run: without Chromium it fails instead of skipping.
BROWSER_REQUIRED = os.environ.get("TARVIK_REQUIRE_BROWSER") == "1"
ARTIFACTS = Path(__file__).resolve().parents[1] / "artifacts"
# What an agent may write to have the operator's browser run it.
RETITLE = "<img src=x onerror=\"document.title='owned'\">"
BAIT = 'def main(args):\n    raise ValueError("<script>document.title = \'owned\'</script>")\n'


def rows(home: Path) -> list[sqlite3.Row]:
    with closing(sqlite3.connect(calls_db(home))) as connection:
        connection.row_factory = sqlite3.Row
        return connection.execute("SELECT * FROM calls ORDER BY id").fetchall()


def record(at: float, tool: str = "custom_t") -> CallRecord:
    return CallRecord(at, tool, None, "t", "ok", None, 0.001, "", None, None, None, None)


async def test_every_call_leaves_one_row_under_concurrent_calls(home: Path) -> None:
    async with open_host(settings=Settings(time_limit=2)) as host:
        creator = await host.calls.call(
            "tool_creator", {"operation": "create", "tool_name": "shout", "code": SHOUT, "description": "Shout."})
        await host.calls.call("tool_creator", {"operation": "create", "tool_name": "sleeper", "code": SLEEPER})
        first = await host.calls.call("custom_shout", {"args": {"text": "a"}})
        second = await host.calls.call("custom_shout", {"args": {"text": "b"}})
        calls = [host.calls.call("custom_shout", {"args": {"text": str(number)}}) for number in range(24)]
        calls += [host.calls.call("custom_shout", {"args": {}}) for _ in range(4)]
        calls += [host.calls.call("tool_creator", {"operation": "list"}) for _ in range(4)]
        answers = await asyncio.gather(*calls)
        with pytest.raises(InvalidArgumentsError):
            await host.calls.call("custom_shout", {"args": [1]})
        await host.calls.call("custom_sleeper", {})
    logged = rows(home)
    digest = hashlib.sha256(SHOUT.encode()).hexdigest()
    assert not creator.is_error
    assert (json.loads(first.text)["result"], json.loads(second.text)["result"]) == ("A", "B")
    assert [answer.is_error for answer in answers] == [False] * 24 + [True] * 4 + [False] * 4
    assert len(logged) == 2 + 2 + len(calls) + 2
    # A failure's text may quote what a tool printed: the log is its user's alone.
    assert calls_db(home).stat().st_mode & 0o777 == 0o600
    assert [(row["tool"], row["operation"], row["target"], row["outcome"], row["digest"], row["world"])
            for row in logged[:4]] == [
        ("tool_creator", "create", "shout", "ok", digest, "fresh"),
        ("tool_creator", "create", "sleeper", "ok", hashlib.sha256(SLEEPER.encode()).hexdigest(), "fresh"),
        ("custom_shout", None, "shout", "ok", digest, "fresh"),
        ("custom_shout", None, "shout", "ok", digest, "warm"),
    ]
    shouts = [row for row in logged[4:-2] if row["tool"] == "custom_shout"]
    assert sorted(row["outcome"] for row in shouts) == ["error"] * 4 + ["ok"] * 24
    assert all(row["printed_bytes"] == len("shouting\n") for row in shouts)
    assert all("KeyError: 'text'" in row["error"] for row in shouts if row["outcome"] == "error")
    assert [row["operation"] for row in logged[4:-2] if row["tool"] == "tool_creator"] == ["list"] * 4
    refused, timeout = logged[-2:]
    assert (refused["outcome"], refused["error"]) == (
        "refused", "Invalid arguments for custom_shout: args: [1] is not of type 'object'")
    assert (timeout["outcome"], timeout["limit_name"], timeout["target"]) == ("timeout", "time", "sleeper")
    assert 2 <= timeout["seconds"] < 30


@dataclass
class Reported:
    """A worker result as a manager gives it, with what the call log reads of it."""

    error: Any = None
    output: Any = None
    printed: str = ""
    world: str | None = "warm"
    limit: str | None = None
    digest: str | None = "ab" * 32


@pytest.mark.parametrize(
    ("result", "outcome", "limit"),
    [
        (Reported(output={"success": True, "result": 1}), "ok", None),
        (Reported(output={"success": False, "result": "no"}), "error", None),
        (Reported(error="The call used more than its 1 GiB of memory", limit="memory"), "limit", "memory"),
        (Reported(error="The tool had more than 64 processes", limit="processes"), "limit", "processes"),
        (Reported(error="The tool did not finish within 60 s", limit="time"), "timeout", "time"),
        (RuntimeError("the manager broke"), "raised", None),
    ],
)
async def test_a_row_says_how_the_call_ended_and_which_limit_it_met(
    tc: Any, store: Path, home: Path, registry: Any, result: Any, outcome: str, limit: str | None
) -> None:
    (store / "t").mkdir(parents=True)
    (store / "t" / "tool.py").write_text("def main(args):\n    return args\n")
    manager = FakeManager(result=result)
    registry.register(tc.DynamicTool("t", "", str(store / "t" / "tool.py"), TaskRecordingManager(manager)))
    log = CallLog(calls_db(home))
    try:
        await ToolCalls(registry, log=log).call("custom_t", {"args": {}})
    except RuntimeError:
        pass
    await log.aclose()
    (row,) = rows(home)
    assert (row["outcome"], row["limit_name"]) == (outcome, limit)
    assert (row["error"] is None) == (outcome == "ok")
    assert row["world"] == (None if outcome == "raised" else "warm")


@contextmanager
def read_only(path: Path) -> Iterator[None]:
    """`path` unwritable, also for root (as an immutable file), until the block ends."""
    if os.geteuid() != 0:
        path.chmod(0o444)
        try:
            yield
        finally:
            path.chmod(0o644)
        return
    if subprocess.run(["chattr", "+i", str(path)], capture_output=True, check=False).returncode != 0:
        pytest.skip("the file system here cannot make a file immutable")
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", str(path)], check=True)


def locked(path: Path) -> Callable[[], None]:
    holder = open_for_writing(path)
    holder.execute("BEGIN EXCLUSIVE")

    def release() -> None:
        holder.execute("ROLLBACK")
        holder.close()

    return release


@pytest.mark.parametrize("problem", ["locked", "read-only", "not a database", "a folder", "a later schema"])
async def test_calls_go_on_when_the_log_cannot_be_written(
    creator: Any, registry: Any, home: Path, caplog: pytest.LogCaptureFixture, problem: str
) -> None:
    path = calls_db(home)
    path.parent.mkdir(parents=True, exist_ok=True)
    release = None
    if problem == "locked":
        release = locked(path)
    elif problem == "read-only":
        open_for_writing(path).close()
    elif problem == "not a database":
        path.write_bytes(b"not a database " * 100)
    elif problem == "a folder":
        path.mkdir()
    else:
        with closing(sqlite3.connect(path)) as connection:
            connection.execute("PRAGMA user_version = 99")
    registry.register(creator)
    log = CallLog(path)
    calls = ToolCalls(registry, log=log)
    with read_only(path) if problem == "read-only" else nullcontext():
        answers = [await calls.call("tool_creator", {"operation": "list"}) for _ in range(3)]
        await log.settled()
        with anyio.fail_after(10):  # a bound against a hang only
            while not any("Cannot write the call log" in message for message in caplog.messages):
                await asyncio.sleep(0.05)
        if release is not None:
            release()
        await log.aclose()
    assert [answer.text for answer in answers] == ["No custom tools found. Use 'create' to make one."] * 3
    if problem == "locked":
        # Held back while the lock lasted, then written.
        assert len(rows(home)) == 3
        assert any("is written again (3 row(s) held back went in)" in message for message in caplog.messages)
    else:
        assert any("3 row(s) of the call log" in message for message in caplog.messages)


WRITER = """
import sys, time
from pathlib import Path
from tarvik.calllog import CallLog, CallRecord
log = CallLog(Path(sys.argv[1]))
number = 0
while True:
    number += 1
    log.record(CallRecord(time.time(), "custom_t", None, "t", "ok", None, 0.001, "x" * 200, None, None, None, None))
    if number == 2000:
        print("written", flush=True)
    time.sleep(0.0002)
"""


async def test_a_log_whose_host_was_killed_while_writing_opens_again(home: Path) -> None:
    path = calls_db(home)
    writer = await asyncio.create_subprocess_exec(sys.executable, "-c", WRITER, str(path),
                                                  stdout=asyncio.subprocess.PIPE)
    assert writer.stdout is not None
    with anyio.fail_after(60):  # a bound against a hang only
        assert await writer.stdout.readline() == b"written\n"
        # Killed in the middle of its batches, the last one half written.
        while len(rows(home)) < 2000:
            await asyncio.sleep(0.05)
    writer.send_signal(signal.SIGKILL)
    await writer.wait()
    before = len(rows(home))
    with closing(sqlite3.connect(path)) as connection:
        assert connection.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    log = CallLog(path)
    log.record(record(time.time(), "custom_after"))
    await log.aclose()
    after = rows(home)
    assert len(after) == before + 1 and after[-1]["tool"] == "custom_after"


async def test_rows_older_than_the_retention_are_pruned(home: Path) -> None:
    log = CallLog(calls_db(home), retention_days=30)
    now = time.time()
    for age in (31, 29, 0):
        log.record(record(now - age * 86400, f"custom_{age}"))
    await log.aclose()
    assert [row["tool"] for row in rows(home)] == ["custom_29", "custom_0"]


@pytest.mark.parametrize(
    ("client", "headers", "allowed"),
    [
        (("127.0.0.1", 5000), {"host": "127.0.0.1:8766"}, True),
        (("::1", 5000), {"host": "[::1]:8766"}, True),
        (("127.0.0.1", 5000), {"host": "localhost"}, True),
        (("10.0.0.5", 5000), {"host": "127.0.0.1:8766"}, False),
        # A web page under a name of its own that resolves to loopback.
        (("127.0.0.1", 5000), {"host": "evil.example.com:8766"}, False),
        # Through a proxy on this machine: the world behind it is not loopback.
        (("127.0.0.1", 5000), {"host": "127.0.0.1:8766", "x-forwarded-for": "203.0.113.9"}, False),
        (("127.0.0.1", 5000), {"host": "127.0.0.1:8766", "forwarded": "for=203.0.113.9"}, False),
        (("10.0.0.5", 5000), {"host": "tools.example.com", "authorization": "Bearer {operator}"}, True),
        (("10.0.0.5", 5000), {"host": "tools.example.com", "authorization": "Bearer {tenant}"}, False),
        (("10.0.0.5", 5000), {"host": "tools.example.com", "authorization": "Basic {operator}"}, False),
    ],
)
async def test_the_operators_view_is_for_loopback_or_an_operator_token(
    tmp_path: Path, client: tuple[str, int], headers: dict[str, str], allowed: bool
) -> None:
    tokens = {"operator": add_token(tmp_path / "operators", "ops"), "tenant": add_token(tmp_path / "tenants", "ops")}
    access = OperatorAccess(tmp_path / "operators")
    scope = {"type": "http", "client": client, "headers": [
        (name.encode(), value.format(**tokens).encode()) for name, value in headers.items()]}
    refused = await access.refusal(scope)
    assert (refused is None) == allowed
    if refused is not None:
        assert refused.status_code == 401 and refused.headers["www-authenticate"].startswith("Bearer ")


# --- the page, in a real browser ----------------------------------------------------


def browser() -> Any:
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if chromium is None or driver is None:
        if BROWSER_REQUIRED:
            pytest.fail("Chromium and its driver must be installed here (apt-get install chromium chromium-driver)")
        pytest.skip("Chromium and its driver are not installed (apt-get install chromium chromium-driver)")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1500"):
        options.add_argument(argument)
    # Not the sanitizer run's preloaded runtime: the browser is no part of what it checks.
    environment = {name: value for name, value in os.environ.items() if name not in ("LD_PRELOAD", "PYTHONMALLOC")}
    return webdriver.Chrome(service=Service(executable_path=driver, env=environment), options=options)


async def test_the_page_shows_a_tools_code_its_failed_call_and_its_chart(home: Path) -> None:
    driver = browser()
    try:
        async with open_host() as host:
            await host.calls.call("tool_creator", {"operation": "create", "tool_name": "shout", "code": SHOUT,
                                                   "description": "Upper-case a text."})
            for text in ("a", "b", "c"):
                await host.calls.call("custom_shout", {"args": {"text": text}})
            await host.calls.call("custom_shout", {"args": {"words": "no text"}})
            await host.calls.call("tool_creator", {"operation": "create", "tool_name": "bait", "code": BAIT,
                                                   "description": RETITLE})
            await host.calls.call("custom_bait", {})
        command = [str(Path(sys.executable).with_name("tarvik")), "ui", "--ui-address", "127.0.0.1:0"]
        if not Path(command[0]).exists():
            command[:1] = [sys.executable, "-m", "tarvik.cli.main"]
        ui = await asyncio.create_subprocess_exec(*command, stderr=asyncio.subprocess.PIPE,
                                                  env={**os.environ, "HOME": str(home)})
        try:
            assert ui.stderr is not None
            with anyio.fail_after(60):  # a bound against a hang only
                while "the operator's view" not in (announced := (await ui.stderr.readline()).decode()):
                    assert announced, "tarvik ui ended before it served"
            url = announced.rsplit(" at ", 1)[1].strip()
            page = await asyncio.to_thread(read_tool_page, driver, url)
        finally:
            ui.terminate()
            await ui.wait()
    finally:
        driver.quit()
    assert page["tools"] == ["custom_bait", "custom_shout"]
    # Shown, never run.
    assert RETITLE in page["descriptions"] and "<script>document.title = 'owned'</script>" in page["errors"]
    assert "owned" not in page["titles"]
    assert page["heading"] == "custom_shout" and page["description"] == "Upper-case a text."
    assert 'return {"success": True, "result": args["text"].upper()}' in page["code"]
    assert page["outcomes"] == ["error", "ok", "ok", "ok", "ok"]
    assert "KeyError: 'text'" in page["error"]
    # One bar for the four runs of the last minute (its create is no run), with the p50 and p99 drawn over it.
    assert page["bars"] == [4] and page["lines"] == 2


def read_tool_page(driver: Any, url: str) -> dict[str, Any]:
    """What a person looks for: the tool among the others, then on its page its code, its calls and its chart."""
    from selenium.webdriver.common.by import By

    driver.get(url)
    found: dict[str, Any] = {
        "tools": [link.text for link in driver.find_elements(By.CSS_SELECTOR, "table.tools tr.tool a")],
        "descriptions": [cell.text for cell in driver.find_elements(By.CSS_SELECTOR, "table.tools tr.tool td")],
        "errors": " ".join(error.text for error in driver.find_elements(By.CSS_SELECTOR, "pre.error")),
        "titles": driver.title,
    }
    driver.find_element(By.LINK_TEXT, "custom_shout").click()
    found["titles"] += driver.title
    found["heading"] = driver.find_element(By.CSS_SELECTOR, "h1.tool-name").text
    found["description"] = driver.find_element(By.CSS_SELECTOR, "p.description").text
    found["code"] = driver.find_element(By.CSS_SELECTOR, ".source .code").text
    calls = driver.find_elements(By.CSS_SELECTOR, "table.calls tr.call")
    found["outcomes"] = [call.find_element(By.CSS_SELECTOR, "td.outcome").text for call in calls]
    found["error"] = driver.find_element(By.CSS_SELECTOR, "table.calls pre.error").text
    chart = driver.find_element(By.CSS_SELECTOR, "svg.chart")
    found["bars"] = [int(bar.get_attribute("data-calls")) for bar in chart.find_elements(By.CSS_SELECTOR, "rect.bar")]
    found["lines"] = len(chart.find_elements(By.CSS_SELECTOR, "polyline"))
    ARTIFACTS.mkdir(exist_ok=True)
    driver.save_screenshot(str(ARTIFACTS / f"operator-view-{sys.version_info[0]}.{sys.version_info[1]}.png"))
    return found
