"""A tool's runs over time as an SVG drawn on the server: calls per interval as bars, p50 and p99 as lines."""

from __future__ import annotations

import math
import time
from collections.abc import Sequence
from html import escape

# Interval widths to choose from, so that the span shown has at most `_MOST_BARS` of them.
_STEPS = (60, 300, 900, 3600, 6 * 3600, 86400)
_MOST_BARS = 48
_FEWEST_BARS = 12
_WIDTH, _HEIGHT = 720, 190
_LEFT, _RIGHT, _TOP, _BOTTOM = 44, 60, 22, 30


def percentile(ordered: Sequence[float], fraction: float) -> float:
    """The nearest-rank percentile of an ordered, non-empty sequence."""
    rank = max(1, math.ceil(fraction * len(ordered)))
    return ordered[rank - 1]


def _clock(at: float, step: int) -> str:
    return time.strftime("%m-%d %H:%M" if step >= 3600 else "%H:%M", time.localtime(at))


def _ms(seconds: float) -> str:
    milliseconds = seconds * 1000
    return f"{milliseconds:.0f} ms" if milliseconds >= 10 else f"{milliseconds:.1f} ms"


def calls_chart(tool: str, calls: Sequence[tuple[float, float]], now: float | None = None) -> str:
    """`calls` as (started, seconds), oldest first, from the earliest to now."""
    now = time.time() if now is None else now
    label = escape(f"Calls of {tool} over time, with their p50 and p99 durations", quote=True)
    if not calls:
        return (f'<svg class="chart empty" role="img" aria-label="{label}" viewBox="0 0 {_WIDTH} 40" '
                f'width="{_WIDTH}" height="40"><text x="8" y="24">No runs in the log yet</text></svg>')
    span = max(now - calls[0][0], 1.0)
    step = next((step for step in _STEPS if span / step <= _MOST_BARS), _STEPS[-1])
    bars = min(_MOST_BARS, max(_FEWEST_BARS, math.ceil(span / step)))
    end = (math.floor(now / step) + 1) * step
    start = end - bars * step
    durations: list[list[float]] = [[] for _ in range(bars)]
    for at, seconds in calls:
        if at >= start:
            durations[min(bars - 1, int((at - start) // step))].append(seconds)
    for bucket in durations:
        bucket.sort()
    most = max(len(bucket) for bucket in durations) or 1
    p50 = [percentile(bucket, 0.5) if bucket else None for bucket in durations]
    p99 = [percentile(bucket, 0.99) if bucket else None for bucket in durations]
    slowest = max((value for value in p99 if value is not None), default=0.0) or 1e-3
    plot_width, plot_height = _WIDTH - _LEFT - _RIGHT, _HEIGHT - _TOP - _BOTTOM
    slot = plot_width / bars

    def y_of_count(count: int) -> float:
        return _TOP + plot_height * (1 - count / most)

    def y_of_seconds(seconds: float) -> float:
        return _TOP + plot_height * (1 - seconds / slowest)

    parts = [
        (f'<svg class="chart" role="img" aria-label="{label}" viewBox="0 0 {_WIDTH} {_HEIGHT}" '
         f'width="{_WIDTH}" height="{_HEIGHT}" xmlns="http://www.w3.org/2000/svg">'),
        f"<title>{label}</title>",
        f'<rect class="frame" x="{_LEFT}" y="{_TOP}" width="{plot_width}" height="{plot_height}"/>',
    ]
    for index, bucket in enumerate(durations):
        if bucket:
            top = y_of_count(len(bucket))
            parts.append(
                f'<rect class="bar" data-calls="{len(bucket)}" x="{_LEFT + index * slot + 1:.1f}" y="{top:.1f}" '
                f'width="{max(slot - 2, 1):.1f}" height="{_TOP + plot_height - top:.1f}">'
                f"<title>{_clock(start + index * step, step)}: {len(bucket)} call(s), p50 {_ms(p50[index] or 0)}, "
                f"p99 {_ms(p99[index] or 0)}</title></rect>"
            )
    for name, values in (("p50", p50), ("p99", p99)):
        points = [(_LEFT + (index + 0.5) * slot, y_of_seconds(value))
                  for index, value in enumerate(values) if value is not None]
        parts.append(f'<polyline class="{name}" points="{" ".join(f"{x:.1f},{y:.1f}" for x, y in points)}"/>')
        parts.extend(f'<circle class="{name}" cx="{x:.1f}" cy="{y:.1f}" r="2.5"/>' for x, y in points)
    parts += [
        f'<text class="axis" x="{_LEFT - 6}" y="{_TOP + 4}" text-anchor="end">{most}</text>',
        f'<text class="axis" x="{_LEFT - 6}" y="{_TOP + plot_height}" text-anchor="end">0</text>',
        f'<text class="axis" x="{_LEFT - 6}" y="{_TOP - 8}" text-anchor="end">calls</text>',
        f'<text class="axis" x="{_WIDTH - _RIGHT + 6}" y="{_TOP + 4}">{_ms(slowest)}</text>',
        f'<text class="axis" x="{_WIDTH - _RIGHT + 6}" y="{_TOP + plot_height}">0 ms</text>',
        f'<text class="axis" x="{_LEFT}" y="{_HEIGHT - 10}">{_clock(start, step)}</text>',
        f'<text class="axis" x="{_WIDTH - _RIGHT}" y="{_HEIGHT - 10}" text-anchor="end">{_clock(end, step)}</text>',
        (f'<text class="axis" x="{_LEFT + plot_width / 2:.0f}" y="{_HEIGHT - 10}" text-anchor="middle">'
         f"{_step_text(step)} per bar</text>"),
        (f'<g class="legend"><line class="p50" x1="{_LEFT + 8}" y1="{_TOP - 10}" x2="{_LEFT + 28}" y2="{_TOP - 10}"/>'
         f'<text x="{_LEFT + 32}" y="{_TOP - 6}">p50</text>'
         f'<line class="p99" x1="{_LEFT + 64}" y1="{_TOP - 10}" x2="{_LEFT + 84}" y2="{_TOP - 10}"/>'
         f'<text x="{_LEFT + 88}" y="{_TOP - 6}">p99</text></g>'),
        "</svg>",
    ]
    return "".join(parts)


def _step_text(step: int) -> str:
    if step >= 86400:
        return f"{step // 86400} day"
    if step >= 3600:
        return f"{step // 3600} h"
    return f"{step // 60} min"
