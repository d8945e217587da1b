"""How long the host takes to find a script's ``# /// script`` block, beside the reference expression.

    python bench/script_block.py [--lines N]

Three scripts of about N lines: an ordinary one (a block, then code), one
whose comment lines run on without a closing line, and one of nothing but
opening lines, on which the reference expression backtracks over every
line from every opening line. Both readers must find the same blocks.
"""

from __future__ import annotations

import argparse
import re
import sys
import time

from tarvik.core.packages import script_blocks

REFERENCE = re.compile(r"(?m)^# /// (?P<type>[a-zA-Z0-9-]+)$\s(?P<content>(^#(| .*)$\s)+)^# ///$")


def timed(read: object, source: str) -> tuple[float, object]:
    started = time.perf_counter()
    found = read(source)  # type: ignore[operator]
    return time.perf_counter() - started, found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=6000)
    lines = parser.parse_args().lines
    scripts = {
        "ordinary": "# /// script\n# dependencies = ['six']\n# ///\n" + "x = 1\n" * lines,
        "comments, no end": "# /// script\n" + "# a comment\n" * lines,
        "opening lines only": "# /// script\n" * lines,
    }
    print(f"CPython {sys.version.split()[0]}")
    print(f"  {'script':<20}{'KB':>6}{'reference':>14}{'this reader':>14}{'ratio':>10}")
    for name, source in scripts.items():
        reference, expected = timed(
            lambda text: [(m["type"], m["content"]) for m in REFERENCE.finditer(text)], source)
        reader, found = timed(script_blocks, source)
        if found != expected:
            raise SystemExit(f"the readers disagree on the {name} script")
        print(f"  {name:<20}{len(source) / 1000:6.0f}{reference * 1e3:11.1f} ms"
              f"{reader * 1e3:11.1f} ms{reference / reader:9.1f}x")


if __name__ == "__main__":
    main()
