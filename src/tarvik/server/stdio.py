"""`tarvik serve`: the host's tools over MCP on standard input and output."""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Callable

from mcp.server.stdio import stdio_server

from tarvik.host import open_host
from tarvik.quota import StoreQuota
from tarvik.sandbox_report.summary import log_sandbox_summary
from tarvik.server.app import build_server, serve_streams
from tarvik.settings import Settings

logger = logging.getLogger("tarvik.server")


async def serve_stdio(
    *,
    register_saved: bool = True,
    host_closed: Callable[[], None] | None = None,
    settings: Settings | None = None,
) -> None:
    """Serve one client on stdin/stdout until it closes its end.

    `host_closed` runs once the host has shut its workers down, also when
    serving was cancelled: the transport's stdin reader is a thread that only
    ends at end of input, so a caller stopping on a signal needs this moment.
    """
    # The transport points fds 0 and 1 away from the protocol pipes while it
    # serves; entering it before the host exists means no worker process the
    # manager starts can inherit them and corrupt the stream.
    settings = settings or Settings()
    quota = settings.quota_for(tenant=False)
    async with stdio_server() as (read_stream, write_stream):
        try:
            async with open_host(register_saved=register_saved, settings=settings) as host:
                tool_server = build_server(
                    host.registry, quota=StoreQuota(quota) if quota else None, log=host.call_log
                )
                logger.info("Serving %s over stdio", ", ".join(host.registry.names()))
                # Told while the client starts up; the answer to its first
                # request does not wait for it.
                probing = asyncio.get_running_loop().create_task(
                    log_sandbox_summary(host.subprocess_manager)
                )
                try:
                    await serve_streams(tool_server, read_stream, write_stream)
                finally:
                    probing.cancel()
        finally:
            if host_closed is not None:
                host_closed()
