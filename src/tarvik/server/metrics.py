"""`/metrics` of `tarvik serve --http`, in Prometheus' text format.

The counts live where the calls are made: each process that serves a store
(HOME's, or one tenant's) counts the rows of its call log as its writer
thread takes them (`CallMetrics.observe`, never on a call's path), and reads
its gauges when asked. A process serving HOME's store answers /metrics
itself. The front of `--tokens` runs no tool: it asks each tenant's running
process for its own metrics over its unix socket, and answers with all of
them merged, one family each. A tenant's process that ended and started
again counts from zero, as any restarted process does; `rate()` and
`increase()` take that in their stride.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from prometheus_client import CollectorRegistry, Counter, Histogram, generate_latest
from prometheus_client.core import GaugeMetricFamily, Metric
from prometheus_client.parser import text_string_to_metric_families
from prometheus_client.registry import Collector

from tarvik.calllog import CallRecord

logger = logging.getLogger("tarvik.server")

METRICS_PATH = "/metrics"
CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
# From a warm call (a millisecond or less) to a tool's own 60 s limit.
_BUCKETS = (0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0)
# "tenant" of HOME's store, served without tokens: as the access log writes it.
HOME_TENANT = "-"


def outcome_label(record: CallRecord) -> str:
    """How a call ended, as the counter's label: the log's outcome, and for a limit met, which."""
    return f"limit:{record.limit}" if record.outcome == "limit" else record.outcome


class _Gauges(Collector):
    """What is read at the moment of asking: the worker pool's and the server's own state."""

    def __init__(self, tenant: str, manager: Any, in_flight: Callable[[], int]) -> None:
        self._tenant = tenant
        self._manager = manager
        self._in_flight = in_flight

    def collect(self) -> Iterable[Metric]:
        gauges = (
            ("tarvik_warm_worlds", "Tools' worlds kept warm now", getattr(self._manager, "warm_worlds", 0)),
            ("tarvik_pool_size", "Blank tasks the worker pool keeps ready", getattr(self._manager, "pool_size", 0)),
            ("tarvik_requests_in_flight", "Requests being answered now, event streams aside", self._in_flight()),
        )
        for name, documentation, value in gauges:
            family = GaugeMetricFamily(name, documentation, labels=["tenant"])
            family.add_metric([self._tenant], float(value))
            yield family


class CallMetrics:
    """The metrics of one served store, in a registry of their own (never the process-wide default)."""

    def __init__(self, tenant: str, manager: Any, in_flight: Callable[[], int]) -> None:
        self.tenant = tenant
        self.registry = CollectorRegistry(auto_describe=True)
        self._calls = Counter(
            "tarvik_tool_calls", "Calls of custom tools and tool_creator operations, by how they ended",
            ["tenant", "tool", "outcome"], registry=self.registry,
        )
        self._seconds = Histogram(
            "tarvik_tool_call_seconds", "How long calls of custom tools and tool_creator operations took",
            ["tenant", "tool"], buckets=_BUCKETS, registry=self.registry,
        )
        self.registry.register(_Gauges(tenant, manager, in_flight))

    def observe(self, records: Sequence[CallRecord]) -> None:
        """Count a batch of the call log's rows (called from its writer thread)."""
        for record in records:
            self._calls.labels(self.tenant, record.tool, outcome_label(record)).inc()
            self._seconds.labels(self.tenant, record.tool).observe(record.seconds)

    def exposition(self) -> bytes:
        return generate_latest(self.registry)


class _Merged(Collector):
    def __init__(self, families: Iterable[Metric]) -> None:
        self._families = list(families)

    def collect(self) -> Iterable[Metric]:
        return self._families


def merged_exposition(texts: Iterable[str]) -> bytes:
    """Several processes' expositions as one, each family once, with every process's samples."""
    families: dict[str, Metric] = {}
    for text in texts:
        for family in text_string_to_metric_families(text):
            known = families.get(family.name)
            if known is None:
                families[family.name] = family
            else:
                known.samples.extend(family.samples)
    registry = CollectorRegistry(auto_describe=False)
    registry.register(_Merged(families.values()))
    return generate_latest(registry)


async def gathered(fetches: Iterable[asyncio.Future[str] | Any], timeout: float) -> list[str]:
    """The expositions that came back within `timeout`; a process that does not answer is left out."""
    waiting = [asyncio.ensure_future(fetch) for fetch in fetches]
    if not waiting:
        return []
    done, late = await asyncio.wait(waiting, timeout=timeout)
    for fetch in late:
        fetch.cancel()
    texts = []
    for fetch in done:
        error = fetch.exception()
        if error is None:
            texts.append(fetch.result())
        else:
            logger.warning("A tenant's process gave no metrics: %s", error)
    return texts
