"""`tarvik serve --http`, with and without tokens: the SDK's streamable HTTP client against a server on 127.0.0.1."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import socket
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import anyio
import httpx2
import mcp_types as types
import pytest
from mcp.client.session import ClientSession
from mcp.client.streamable_http import streamable_http_client
from mcp.shared.exceptions import MCPError
from test_mcp_stdio import SUM_CODE, ChangeCounter, tarvik_command, text_of

from tarvik.cli.main import main
from tarvik.server.events import SessionEvents
from tarvik.server.http import tcp_listener
from tarvik.server.request_id import RequestIdScanner
from tarvik.tokens import TokensFileError, add_token, parse_tokens, tenant_of

SLOW_CODE = 'import time\ndef main(args):\n    time.sleep(args.get("seconds", 2))\n    return {"success": True, "result": "slept"}\n'


INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
    "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "raw", "version": "0"}}}


@dataclass
class Running:
    url: str
    process: asyncio.subprocess.Process
    log: list[str]

    async def line_with(self, text: str) -> str:
        with anyio.fail_after(60):  # a bound against a hang only
            while not (found := [line for line in self.log if text in line]):
                await asyncio.sleep(0.05)
        return found[-1]

    async def tenant_pid(self, tenant: str) -> int:
        line = await self.line_with(f"Started the process of tenant {tenant} (pid ")
        return int(line.rsplit("(pid ", 1)[1].rstrip(")\n"))


@asynccontextmanager
async def http_server(
    home: Path, *options: str, log_level: str | None = "INFO", env: dict[str, str] | None = None
) -> AsyncIterator[Running]:
    command, args = tarvik_command()
    level = ["--log-level", log_level] if log_level else []
    process = await asyncio.create_subprocess_exec(
        command, *args, *level, "serve", "--http", "127.0.0.1:0", *options,
        env={**os.environ, "HOME": str(home), **(env or {})}, stderr=asyncio.subprocess.PIPE,
    )
    assert process.stderr is not None
    log: list[str] = []
    with anyio.fail_after(60):  # a bound against a hang only
        while not log or "tarvik: serving" not in log[-1]:
            log.append((await process.stderr.readline()).decode())
            assert log[-1], "".join(log)
    url = log[-1].split()[2]

    async def keep_reading() -> None:
        while line := await process.stderr.readline():  # type: ignore[union-attr]
            log.append(line.decode())

    reading = asyncio.ensure_future(keep_reading())
    try:
        yield Running(url, process, log)
    finally:
        if process.returncode is None:
            process.terminate()
        await process.wait()
        await reading


@asynccontextmanager
async def connect(
    url: str, token: str | None = None, mode: str = "legacy", **client: Any
) -> AsyncIterator[tuple[ClientSession, ChangeCounter]]:
    headers = {"Authorization": f"Bearer {token}"} if token else None
    changes = ChangeCounter()
    async with (
        httpx2.AsyncClient(headers=headers, timeout=httpx2.Timeout(30, read=120), **client) as http,
        streamable_http_client(url, http_client=http) as (read_stream, write_stream),
        ClientSession(read_stream, write_stream, message_handler=changes.record) as session,
    ):
        # "modern" speaks the 2026-07-28 protocol: no session, a notice on the call's own stream.
        await (session.discover() if mode == "modern" else session.initialize())
        yield session, changes


async def tool_names(session: ClientSession) -> list[str]:
    return [tool.name for tool in (await session.list_tools()).tools]


@pytest.fixture
def tenants(tmp_path: Path) -> dict[str, str]:
    return {name: add_token(tmp_path / "tokens", name) for name in ("alice", "bob")}


@pytest.mark.parametrize("mode", ["legacy", "modern"])
async def test_a_tool_is_created_announced_and_called_over_http(tmp_path: Path, mode: str) -> None:
    async with http_server(tmp_path) as server, connect(server.url, mode=mode) as (session, changes):
        created = await session.call_tool(
            "tool_creator", {"operation": "create", "tool_name": "adder", "code": SUM_CODE}
        )
        with anyio.fail_after(30):
            await changes.changed.wait()
        names = await tool_names(session)
        called = await session.call_tool("custom_adder", {"args": {"numbers": [1, 2, 39]}})
    assert json.loads(text_of(created))["registered"] is True
    assert names == ["tool_creator", "custom_adder"]
    assert json.loads(text_of(called))["result"] == 42
    assert (tmp_path / ".tarvik" / "custom_tools" / "adder" / "tool.py").exists()
    assert any("access tenant=- tool=custom_adder outcome=ok ms=" in line for line in server.log)


async def test_a_request_without_a_valid_token_is_refused_and_touches_nothing(
    tmp_path: Path, tenants: dict[str, str]
) -> None:
    one_letter_off = tenants["bob"][:-1] + ("A" if tenants["bob"][-1] != "A" else "B")
    authorizations = [None, "Bearer not-a-token", "Basic YWxpY2U6eA==", "Bearer", f"Bearer {one_letter_off}"]
    call = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
            "params": {"name": "tool_creator", "arguments": {"operation": "list"}}}
    data = tmp_path / "data"
    async with http_server(tmp_path, "--tokens", str(tmp_path / "tokens"), "--data-dir", str(data)) as server:
        async with httpx2.AsyncClient() as http:
            refusals = [
                await http.post(server.url, json=call, headers={
                    "Accept": "application/json, text/event-stream", **({"Authorization": value} if value else {})})
                for value in authorizations
            ]
    assert [refused.status_code for refused in refusals] == [401] * len(authorizations)
    assert all(refused.headers["WWW-Authenticate"].startswith("Bearer ") for refused in refusals)
    assert list(data.iterdir()) == []
    assert not any("Started the process of tenant" in line for line in server.log)


async def test_a_tenant_cannot_see_run_or_delete_another_tenants_tool(tmp_path: Path, tenants: dict[str, str]) -> None:
    data = tmp_path / "data"
    bob_store = data / "bob" / ".tarvik" / "custom_tools"
    session_ids: set[str] = set()

    async def note_session(response: httpx2.Response) -> None:
        session_ids.add(response.headers.get("mcp-session-id", ""))

    async with http_server(tmp_path, "--tokens", str(tmp_path / "tokens"), "--data-dir", str(data)) as server:
        async with connect(server.url, tenants["bob"], event_hooks={"response": [note_session]}) as (bob, _):
            await bob.call_tool("tool_creator", {"operation": "create", "tool_name": "secret", "code": SUM_CODE})
            async with connect(server.url, tenants["alice"]) as (alice, _):
                assert await tool_names(alice) == ["tool_creator"]
                with pytest.raises(MCPError, match="Unknown tool 'custom_secret'"):
                    await alice.call_tool("custom_secret", {"args": {"numbers": [1]}})
                listed = text_of(await alice.call_tool("tool_creator", {"operation": "list"}))
                answers = [
                    text_of(await alice.call_tool("tool_creator", {"operation": operation, "tool_name": name}))
                    for name in ("secret", "../../bob/.tarvik/custom_tools/secret", str(bob_store / "secret"))
                    for operation in ("info", "run", "delete")
                ]
            # Bob's session id, presented with alice's token, names no session of hers.
            (session_id,) = session_ids - {""}
            ping = {"jsonrpc": "2.0", "id": 9, "method": "ping"}
            async with httpx2.AsyncClient(headers={"Authorization": f"Bearer {tenants['alice']}"}) as http:
                borrowed = await http.post(server.url, json=ping, headers={
                    "Mcp-Session-Id": session_id, "Accept": "application/json, text/event-stream"})
            still_there = await bob.call_tool("custom_secret", {"args": {"numbers": [2, 3]}})
    assert "secret" not in listed
    assert all(answer.startswith("[ERROR] ") for answer in answers), answers
    assert borrowed.status_code == 404
    assert json.loads(text_of(still_there))["result"] == 5
    assert (bob_store / "secret" / "tool.py").exists()


async def test_sigterm_lets_the_call_in_flight_finish(tmp_path: Path, tenants: dict[str, str]) -> None:
    in_flight = asyncio.Event()

    async def note_call(response: httpx2.Response) -> None:
        # The server answers a call's POST with its event stream at once, well before the result.
        if b'"custom_slow"' in response.request.content:
            in_flight.set()

    async with http_server(tmp_path, "--tokens", str(tmp_path / "tokens")) as server:
        async with connect(server.url, tenants["alice"], event_hooks={"response": [note_call]}) as (session, _):
            await session.call_tool("tool_creator", {"operation": "create", "tool_name": "slow", "code": SLOW_CODE})
            calling = asyncio.ensure_future(session.call_tool("custom_slow", {}))
            with anyio.fail_after(30):
                await in_flight.wait()
            server.process.send_signal(signal.SIGTERM)
            result = await calling
        with anyio.fail_after(60):
            status = await server.process.wait()
    assert json.loads(text_of(result))["result"] == "slept"
    assert status == 0
    assert any("access tenant=alice tool=custom_slow outcome=ok" in line for line in server.log)


async def test_an_oversized_body_and_an_overlong_call_are_cut_and_the_server_goes_on(tmp_path: Path) -> None:
    async with http_server(tmp_path, "--max-body", "64K", "--request-timeout", "3") as server:
        async with connect(server.url) as (session, _):
            await session.call_tool("tool_creator", {"operation": "create", "tool_name": "slow", "code": SLOW_CODE})
        headers = {"Accept": "application/json, text/event-stream"}
        call = {"jsonrpc": "2.0", "id": 2, "method": "tools/call",
                "params": {"name": "custom_slow", "arguments": {"args": {"seconds": 60}}}}
        async with httpx2.AsyncClient(timeout=60) as http, connect(server.url) as (session, _):
            oversized = await http.post(server.url, content=b"[" + b" " * (65 << 10) + b"]", headers=headers)
            headers["Mcp-Session-Id"] = (await http.post(server.url, json=INITIALIZE, headers=headers)).headers[
                "Mcp-Session-Id"]
            cut = await http.post(server.url, json=call, headers=headers)
            health = await http.get(server.url.replace("/mcp", "/healthz"))
            still_serving = await session.call_tool("tool_creator", {"operation": "list"})
    assert oversized.status_code == 413
    assert cut.status_code == 200 and '"result"' not in cut.text and '"error"' not in cut.text, cut.text
    assert health.json() == {"status": "ok"}
    assert "slow" in text_of(still_serving)
    assert any("ran out of its 3 s and was cut" in line for line in server.log)


async def test_the_start_summary_is_one_record_the_default_level_shows_with_the_limits_in_force(
    tmp_path: Path,
) -> None:
    options = ("--memory", "512M", "--max-processes", "16", "--isolation", "call")
    async with http_server(tmp_path, *options, log_level=None) as server:
        summary = await server.line_with("tarvik.sandbox: Tool sandbox:")
    records = [line for line in server.log if "tarvik.sandbox:" in line]
    assert records == [summary]
    assert (" INFO " in summary) == ("missing" not in summary) == (" WARNING " not in summary), summary
    assert "16 processes, 512 MiB of memory" in summary and "isolation call" in summary


@pytest.mark.parametrize("front", [False, True])
async def test_metrics_count_each_tenants_calls_by_tool_and_outcome_for_the_operator_alone(
    tmp_path: Path, tenants: dict[str, str], front: bool
) -> None:
    from prometheus_client.parser import text_string_to_metric_families

    operator = add_token(tmp_path / "operators", "ops")
    options = ["--operator-tokens", str(tmp_path / "operators")]
    callers: list[str | None] = ["alice", "bob"] if front else [None]
    if front:
        options += ["--tokens", str(tmp_path / "tokens")]
    async with http_server(tmp_path, *options) as server:
        for extra, caller in enumerate(callers):
            async with connect(server.url, tenants[caller] if caller else None) as (session, _):
                await session.call_tool("tool_creator", {"operation": "create", "tool_name": "adder", "code": SUM_CODE})
                for _ in range(3 + extra):
                    await session.call_tool("custom_adder", {"args": {"numbers": [1, 2]}})
                await session.call_tool("custom_adder", {"args": {"numbers": "x"}})
                await session.call_tool("custom_adder", {"args": [1]})
        url = server.url.replace("/mcp", "/metrics")
        proxied = {"X-Forwarded-For": "203.0.113.9"}
        async with httpx2.AsyncClient(timeout=30) as http:
            local = await http.get(url)
            refused = [(await http.get(url, headers={**proxied, **extra})).status_code for extra in (
                {}, {"Authorization": f"Bearer {tenants['alice']}"}, {"Host": "evil.example.com"})]
            with_token = await http.get(url, headers={**proxied, "Authorization": f"Bearer {operator}"})
    families = {family.name: family for family in text_string_to_metric_families(local.text)}
    counted = {(sample.labels["tenant"], sample.labels["tool"], sample.labels["outcome"]): sample.value
               for sample in families["tarvik_tool_calls"].samples if sample.name == "tarvik_tool_calls_total"}
    timed = {(sample.labels["tenant"], sample.labels["tool"]): sample.value
             for sample in families["tarvik_tool_call_seconds"].samples if sample.name.endswith("_count")}
    expected: dict[tuple[str, ...], float] = {}
    for extra, caller in enumerate(callers):
        tenant = caller or "-"
        expected |= {(tenant, "tool_creator", "ok"): 1, (tenant, "custom_adder", "ok"): 3 + extra,
                     (tenant, "custom_adder", "error"): 1, (tenant, "custom_adder", "refused"): 1}
    assert local.status_code == 200 and counted == expected
    assert timed == {key[:2]: sum(value for other, value in expected.items() if other[:2] == key[:2])
                     for key in expected}
    gauges = {name: {sample.labels["tenant"]: sample.value for sample in families[name].samples}
              for name in ("tarvik_warm_worlds", "tarvik_pool_size", "tarvik_requests_in_flight")}
    tenant_names = {caller or "-" for caller in callers}
    assert all(set(values) == tenant_names for values in gauges.values())
    assert all(value >= 1 for value in gauges["tarvik_warm_worlds"].values())
    assert set(gauges["tarvik_pool_size"].values()) == {4.0}
    assert ("tarvik_front_requests_in_flight" in families) == front
    assert refused == [401, 401, 401]
    assert with_token.status_code == 200


@pytest.mark.parametrize("edit", ["malformed line", "duplicate digest", "writable by others", "deleted"])
async def test_a_tokens_file_that_turns_bad_refuses_every_token_until_it_is_good_again(
    tmp_path: Path, tenants: dict[str, str], edit: str
) -> None:
    tokens = tmp_path / "tokens"
    _, bob_line = tokens.read_text().splitlines()
    bad = {"malformed line": f"{bob_line}\nmallory\n", "writable by others": f"{bob_line}\n",
           "duplicate digest": f"{bob_line}\nmallory {bob_line.split()[1]}\n"}

    async def status(http: httpx2.AsyncClient, tenant: str) -> int:
        response = await http.post(server.url, json=INITIALIZE, headers={
            "Accept": "application/json, text/event-stream", "Authorization": f"Bearer {tenants[tenant]}"})
        return response.status_code

    async def until(tenant: str, accepted: bool) -> None:
        with anyio.fail_after(30):  # the server reads the file again within a second or so
            while (await status(http, tenant) != 401) != accepted:
                await asyncio.sleep(0.2)

    async with http_server(tmp_path, "--tokens", str(tokens)) as server, httpx2.AsyncClient(timeout=60) as http:
        await until("alice", accepted=True)
        if edit == "deleted":
            tokens.unlink()
        else:
            tokens.write_text(bad[edit])
            tokens.chmod(0o666 if edit == "writable by others" else 0o600)
        await until("bob", accepted=False)
        refused_alice = await status(http, "alice")
        tokens.write_text(f"{bob_line}\n")
        tokens.chmod(0o600)
        await until("bob", accepted=True)
        still_refused = await status(http, "alice")
    assert (refused_alice, still_refused) == (401, 401)
    assert any("Refusing every token until the tokens file is good again" in line for line in server.log)
    assert any("The tokens file is good again" in line for line in server.log)


@pytest.mark.parametrize("problem", ["duplicate digest", "writable by others"])
def test_a_tokens_file_the_server_cannot_trust_stops_it_at_start(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], problem: str
) -> None:
    tokens = tmp_path / "tokens"
    add_token(tokens, "alice")
    if problem == "duplicate digest":
        tokens.write_text(tokens.read_text() + f"bob {tokens.read_text().split()[1]}\n")
    else:
        tokens.chmod(0o620)
    assert main(["serve", "--http", "127.0.0.1:0", "--tokens", str(tokens)]) == 1
    complaint = capsys.readouterr().err
    expected = "lines 1 and 2: the same token's SHA-256 names tenant alice and tenant bob" if problem.startswith(
        "duplicate") else "others can write to the tokens file"
    assert expected in complaint, complaint


TIMED_CODE = (
    "import time\ndef main(args):\n    started = time.time()\n    time.sleep(1)\n"
    '    return {"success": True, "result": [started, time.time()]}\n'
)


def peak_memory(pid: int) -> int:
    status = Path(f"/proc/{pid}/status").read_text()
    return int(next(line for line in status.splitlines() if line.startswith("VmHWM:")).split()[1]) << 10


async def test_a_tenant_has_at_most_its_requests_under_way_and_the_front_holds_no_body_whole(
    tmp_path: Path, tenants: dict[str, str]
) -> None:
    padding = "x" * (3500 << 10)
    async with http_server(tmp_path, "--tokens", str(tmp_path / "tokens"), "--requests-per-tenant", "4") as server:
        async with connect(server.url, tenants["alice"]) as (session, _):
            await session.call_tool("tool_creator", {"operation": "create", "tool_name": "timed", "code": TIMED_CODE})
            await session.call_tool("custom_timed", {"args": {"padding": padding}})
            before = peak_memory(server.process.pid)
            results = await asyncio.gather(*(
                session.call_tool("custom_timed", {"args": {"padding": padding}}) for _ in range(8)))
            grown = peak_memory(server.process.pid) - before
    spans = [json.loads(text_of(result))["result"] for result in results]
    edges = sorted([(started, 1) for started, _ in spans] + [(ended, -1) for _, ended in spans])
    under_way = [sum(step for _, step in edges[: index + 1]) for index in range(len(edges))]
    assert max(under_way) <= 4
    # Eight bodies of 3.5 MiB, four at a time: held whole in the front, they grow it by some 18 MiB.
    assert grown < 8 << 20, grown


async def test_a_tenants_store_is_held_to_its_quota(tmp_path: Path, tenants: dict[str, str]) -> None:
    code = f'FILLER = "{"x" * (20 << 10)}"\ndef main(args):\n    return {{"success": True, "result": 1}}\n'
    data = tmp_path / "data"
    store = data / "alice" / ".tarvik" / "custom_tools"
    options = ("--tokens", str(tmp_path / "tokens"), "--data-dir", str(data), "--store-quota", "64K")
    async with http_server(tmp_path, *options) as server, connect(server.url, tenants["alice"]) as (session, _):
        answers = []
        for number in range(6):
            created = await session.call_tool(
                "tool_creator", {"operation": "create", "tool_name": f"filler{number}", "code": code})
            answers.append(text_of(created))
        held = sum(path.stat().st_size for path in store.rglob("*") if path.is_file())
        await session.call_tool("tool_creator", {"operation": "delete", "tool_name": "filler0"})
        again = text_of(await session.call_tool(
            "tool_creator", {"operation": "create", "tool_name": "filler9", "code": code}))
    refused = [answer for answer in answers if answer.startswith("[ERROR] ")]
    assert len(refused) == 6 - 3 and all(
        "Store quota reached" in answer and "its quota is 64 KiB" in answer for answer in refused), answers
    assert sorted(path.name for path in store.iterdir()) == ["filler1", "filler2", "filler9"]
    assert held <= (64 << 10) + (1 << 10)
    assert json.loads(again)["registered"] is True


async def raw_session(http: httpx2.AsyncClient, url: str) -> str:
    opened = await http.post(url, json=INITIALIZE, headers={"Accept": "application/json, text/event-stream"})
    assert opened.status_code == 200, opened.text
    return opened.headers["Mcp-Session-Id"]


async def ping(http: httpx2.AsyncClient, url: str, session_id: str) -> int:
    headers = {"Accept": "application/json, text/event-stream", "Mcp-Session-Id": session_id,
               "Mcp-Protocol-Version": "2025-06-18"}
    return (await http.post(url, json={"jsonrpc": "2.0", "id": 5, "method": "ping"}, headers=headers)).status_code


async def test_abandoned_sessions_make_room_for_new_ones_and_idle_out(tmp_path: Path) -> None:
    options = ("--sessions-per-tenant", "2", "--session-idle-timeout", "1")
    async with http_server(tmp_path, *options) as server, httpx2.AsyncClient(timeout=30) as http:
        first, second = [await raw_session(http, server.url) for _ in range(2)]
        await ping(http, server.url, second)  # the first is now idle for longest
        third = await raw_session(http, server.url)
        at_the_cap = [await ping(http, server.url, session) for session in (first, second, third)]
        await asyncio.sleep(3)  # three times the idle time-out
        idled_out = await ping(http, server.url, third)
    assert at_the_cap == [404, 200, 200]
    assert idled_out == 404


async def test_half_sent_and_idle_connections_cannot_take_the_server(tmp_path: Path) -> None:
    async with http_server(tmp_path, "--max-connections", "8", "--header-timeout", "1") as server:
        pid = server.process.pid
        await server.line_with("Tool sandbox:")  # the workers' pipes are open by then
        descriptors = len(os.listdir(f"/proc/{pid}/fd"))
        port = int(server.url.rsplit(":", 1)[1].split("/")[0])
        connections = [await asyncio.open_connection("127.0.0.1", port) for _ in range(30)]
        for _, writer in connections[::2]:
            writer.write(b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: appl")
            await writer.drain()
        async with httpx2.AsyncClient(timeout=30) as http:
            health = await http.get(server.url.replace("/mcp", "/healthz"))
        held = len(os.listdir(f"/proc/{pid}/fd")) - descriptors
        with anyio.fail_after(30):  # a bound against a hang only
            ends = [await closed_by_the_server(reader) for reader, _ in connections]
        for _, writer in connections:
            writer.close()
    assert health.json() == {"status": "ok"}
    assert held <= 8, held
    assert ends == [True] * len(connections)


async def closed_by_the_server(reader: asyncio.StreamReader) -> bool:
    try:
        return await reader.read() == b""
    except ConnectionResetError:  # closed with the half-sent request unread
        return True


async def test_a_tenant_killed_mid_call_answers_an_error_and_the_session_goes_on(
    tmp_path: Path, tenants: dict[str, str]
) -> None:
    in_flight = asyncio.Event()

    async def note_call(response: httpx2.Response) -> None:
        if b'"custom_slow"' in response.request.content:
            in_flight.set()

    async with http_server(tmp_path, "--tokens", str(tmp_path / "tokens")) as server:
        async with connect(server.url, tenants["alice"], event_hooks={"response": [note_call]}) as (session, _):
            await session.call_tool("tool_creator", {"operation": "create", "tool_name": "slow", "code": SLOW_CODE})
            calling = asyncio.ensure_future(session.call_tool("custom_slow", {"args": {"seconds": 30}}))
            with anyio.fail_after(30):
                await in_flight.wait()
            killed = await server.tenant_pid("alice")
            os.kill(killed, signal.SIGKILL)
            with pytest.raises(MCPError, match="The tenant's process ended before it answered"):
                await calling
            listed = text_of(await session.call_tool("tool_creator", {"operation": "list"}))
            restarted = await server.tenant_pid("alice")
    assert "slow" in listed
    assert restarted != killed
    with pytest.raises(ProcessLookupError):
        os.kill(killed, 0)


async def test_a_tenants_process_gets_only_what_it_needs_of_the_environment(
    tmp_path: Path, tenants: dict[str, str]
) -> None:
    data = tmp_path / "data"
    env = {"FRONT_SECRET": "not for tenants", "GRANTED_KEY": "for tools", "LC_TIME": "C.UTF-8", "UV_OFFLINE": "1"}
    options = ("--tokens", str(tmp_path / "tokens"), "--data-dir", str(data), "--tool-env", "GRANTED_KEY",
               "--memory", "512M")
    async with http_server(tmp_path, *options, env=env) as server, connect(server.url, tenants["alice"]):
        pid = await server.tenant_pid("alice")
        environ = Path(f"/proc/{pid}/environ").read_bytes()
        command = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
    variables = dict(entry.decode().split("=", 1) for entry in environ.split(b"\0") if entry)
    needed = {"PATH", "HOME", "LANG", "TZ", "TMPDIR", "SSL_CERT_FILE", "SSL_CERT_DIR", "GRANTED_KEY",
              *(name for name in variables if name.startswith(("LC_", "UV_")) or name.lower().endswith("_proxy"))}
    assert set(variables) <= needed, set(variables) - needed
    assert (variables["HOME"], variables["GRANTED_KEY"], variables["LC_TIME"]) == (
        str(data / "alice"), "for tools", "C.UTF-8")
    assert b"--memory" not in command and b"512M" not in command


async def test_a_connection_the_server_accepts_sends_each_answer_at_once() -> None:
    # Without TCP_NODELAY a client that keeps its connection open waits ~40 ms an answer for its delayed ACK.
    listener = tcp_listener("127.0.0.1", 0)
    accepted: asyncio.Future[asyncio.StreamWriter] = asyncio.get_running_loop().create_future()
    server = await asyncio.start_server(lambda _, writer: accepted.set_result(writer), sock=listener)
    _, client = await asyncio.open_connection(*listener.getsockname())
    served = await accepted
    assert served.get_extra_info("socket").getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)
    for writer in (client, served):
        writer.close()
    server.close()
    await server.wait_closed()


@pytest.mark.parametrize(
    ("body", "request_id"),
    [
        (b'{"jsonrpc": "2.0", "id": 7, "method": "tools/call"}', 7),
        (b'{"params": {"id": 3, "s": "\\"id\\": 4", "l": [{"id": 9}]}, "id" : "call-1"}', "call-1"),
        (b'[{"jsonrpc": "2.0", "id": 1}]', None),
        (b'{"jsonrpc": "2.0", "method": "notifications/initialized"}', None),
    ],
)
@pytest.mark.parametrize("chunk", [1, 1 << 16])
def test_a_requests_id_is_found_as_its_body_streams_past(body: bytes, request_id: object, chunk: int) -> None:
    scanner = RequestIdScanner()
    for start in range(0, len(body), chunk):
        scanner.feed(body[start:start + chunk])
    assert scanner.request_id == request_id


@pytest.mark.parametrize(
    ("text", "problem"),
    [
        ("alice\n", "line 1: expected a tenant and a SHA-256"),
        (f"# tenants\n\nalice {'ab' * 32}\nbob abcd\n", "line 4: expected a tenant and a SHA-256"),
        (f"../alice {'ab' * 32}\n", "line 1: '../alice' is not a tenant name"),
    ],
)
def test_a_malformed_tokens_file_is_refused_with_the_line(text: str, problem: str) -> None:
    with pytest.raises(TokensFileError, match=problem):
        parse_tokens(text)


def test_a_token_belongs_to_the_tenant_of_its_hash_only(tmp_path: Path) -> None:
    tokens = tmp_path / "tokens"
    alice, bob = add_token(tokens, "alice"), add_token(tokens, "bob")
    entries = parse_tokens(tokens.read_text())
    assert [tenant_of(entries, token) for token in (alice, bob, alice + "x", "")] == ["alice", "bob", None, None]


@pytest.mark.parametrize("byte_limit", [1 << 20, 100])
async def test_a_resumed_stream_gets_what_came_after_on_that_stream_alone(byte_limit: int) -> None:
    events = SessionEvents(limit=4, byte_limit=byte_limit)
    sent: list[tuple[str | None, Any]] = []

    async def send(event: Any) -> None:
        sent.append((event.event_id, event.message))

    messages = [types.JSONRPCNotification(jsonrpc="2.0", method=f"note/{n}") for n in range(4)]
    first = await events.store_event("1", None)
    await events.store_event("1", messages[0])
    await events.store_event("_GET_stream", messages[1])
    await events.store_event("1", messages[2])
    replayed = await events.replay_events_after(first, send)
    await events.store_event("1", messages[3])  # the first event is forgotten
    assert (replayed, sent) == (("1", [("2", messages[0]), ("4", messages[2])]) if byte_limit > 100 else (None, []))
    assert await events.replay_events_after(first, send) is None
