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

from tarvik.server.events import SessionEvents
from tarvik.server.http import tcp_listener
from tarvik.tokens import TokensFileError, add_token, parse_tokens, tenant_of

SLOW_CODE = 'import time\ndef main(args):\n    time.sleep(args.get("seconds", 2))\n    return {"success": True, "result": "slept"}\n'


INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
    "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "raw", "version": "0"}}}


@dataclass
class Running:
    url: str
    process: asyncio.subprocess.Process
    log: list[str]


@asynccontextmanager
async def http_server(home: Path, *options: str) -> AsyncIterator[Running]:
    command, args = tarvik_command()
    process = await asyncio.create_subprocess_exec(
        command, *args, "--log-level", "INFO", "serve", "--http", "127.0.0.1:0", *options,
        env={**os.environ, "HOME": str(home)}, stderr=asyncio.subprocess.PIPE,
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
