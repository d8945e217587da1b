"""Whatever mapping the model sends, the tools answer with text or an ordinary
exception, and nothing outside the tool store changes.

The manager accepts every piece of code, so creations really write. Run with
TARVIK_PROPERTY_PROFILE=properties-long for a longer search than CI's, and
with --hypothesis-show-statistics to see how many examples ran.
"""

from __future__ import annotations

import asyncio
import json
import math
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from conftest import FakeManager, FakeResult
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

settings.register_profile(
    "properties-ci",
    max_examples=120,
    deadline=None,
    database=None,
    # One private home per test, not per example: each example checks the
    # folders around it itself, before and after.
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                           HealthCheck.data_too_large],
)
settings.register_profile("properties-long", settings.get_profile("properties-ci"), max_examples=5000)
PROFILE = settings.get_profile(os.environ.get("TARVIK_PROPERTY_PROFILE", "properties-ci"))

OPERATIONS = ["create", "validate", "list", "delete", "run", "info"]
CODE = "def main(args):\n    return {'success': True, 'result': args}\n"

# Any code point, lone surrogates and NUL included.
any_text = st.text(st.characters(exclude_categories=()), max_size=30)
huge_text = st.builds(
    lambda piece, count: piece * count,
    st.sampled_from(["x", "\0", "\ud800", "\u00e9", "/", "..", "\U0001f600"]),
    st.integers(10_000, 200_000),
)
texts = st.one_of(
    any_text,
    st.sampled_from(["", " ", "\0", ".", "..", "a/b", "a\\b", "C:x", "t", "weather", "\udcff"]),
    huge_text,
)
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | texts,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(texts, inner, max_size=4),
    max_leaves=12,
)


class Unprintable:
    """str(), repr() and bool() of it all raise."""

    def __str__(self) -> str:
        raise ValueError("no text")

    __repr__ = __str__

    def __bool__(self) -> bool:
        raise ValueError("no truth")


# Values no JSON decoder makes, where the tools expect strings or a dict.
odd_values = [
    st.binary(max_size=20),
    st.tuples(st.integers(), texts),
    st.frozensets(st.integers(), max_size=3),
    st.integers(min_value=2**64) | st.integers(max_value=-(2**64)),
    st.just(math.nan) | st.just(math.inf),
    st.dictionaries(st.one_of(st.integers(), st.none(), st.tuples(st.integers()), st.booleans()),
                    json_values, max_size=3),
    st.builds(object),
    st.builds(Unprintable),
]


def weighted(*choices: tuple[int, st.SearchStrategy[Any]]) -> st.SearchStrategy[Any]:
    """One of the strategies, each as often as its weight says."""
    pool = [strategy for weight, strategy in choices for _ in range(weight)]
    return st.sampled_from(pool).flatmap(lambda strategy: strategy)


# Each odd kind turns up about as often as JSON as a whole.
values = st.one_of(json_values, *odd_values)
# The operations and names that lead somewhere come up most, so that the
# paths behind them (writing, reading, deleting) get their share.
tool_names = weighted((2, st.sampled_from(["t", "weather", "v2:beta", "na\u00efve", " spaced "])),
                      (1, values))
codes = weighted((2, st.just(CODE)), (1, texts), (1, values))
operations = weighted((3, st.sampled_from(OPERATIONS)), (1, values))


MISSING = object()


def often(strategy: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    """`strategy`, or in one case of four the parameter is left out."""
    return weighted((3, strategy), (1, st.just(MISSING)))


def assemble(extras: dict[Any, Any], **known: Any) -> dict[Any, Any]:
    return {**extras, **{key: value for key, value in known.items() if value is not MISSING}}


def keyword_mappings(keys: st.SearchStrategy[Any]) -> st.SearchStrategy[dict[Any, Any]]:
    """The tool's own parameters, each mostly present, among keys of `keys`."""
    return st.builds(
        assemble, st.dictionaries(keys, values, max_size=3), operation=often(operations),
        tool_name=often(tool_names), description=often(values), code=often(codes),
        args=often(values), register=often(values),
    )


text_keyed = keyword_mappings(any_text)
any_keyed = keyword_mappings(st.one_of(any_text, st.integers(), st.none(), st.tuples(st.integers())))


def outside_the_store(root: Path, store: Path) -> dict[str, tuple[int, int, int]]:
    """Every entry under `root` but the store's contents, with its type, size
    and modification time (the store's own times change with its contents)."""
    found: dict[str, tuple[int, int, int]] = {}
    for folder, subfolders, files in os.walk(root):
        if Path(folder) == store:
            subfolders.clear()
            files = []
        for name in subfolders + files:
            path = os.path.join(folder, name)
            status = os.lstat(path)
            changes = (status.st_size, status.st_mtime_ns) if Path(path) != store else (0, 0)
            found[os.path.relpath(path, root)] = (status.st_mode, *changes)
    return found


def check_answer(call: Callable[[], Any], runner: asyncio.Runner, expected: type = str) -> None:
    """The answer is text (a report for `_validate_code`), or an exception any
    host already catches."""
    try:
        answer = call()
        if asyncio.iscoroutine(answer):  # the native coroutine is registered as one
            answer = runner.run(answer)
    except Exception as error:  # noqa: BLE001 - what is raised is the subject
        event(f"raised {type(error).__name__}")
        # SystemError means a C API call failed without an exception or was
        # misused; "internal error" means a C++ exception crossed the boundary.
        assert not isinstance(error, SystemError), repr(error)
        assert "tool_creator: " not in str(error), repr(error)
    else:
        # The statistics show which answers the search reached.
        event(f"answered {str(answer).partition(chr(10))[0][:24]!r}")
        assert type(answer) is expected


@pytest.fixture
def world(tmp_path: Path, home: Path, store: Path, creator: Any) -> Any:
    # A sibling of the store's home that names guessed from it could reach.
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "tool.py").write_text("def main(args):\n    return 'outside'\n")
    # Saved tools for info, run and delete to find: one whole, one bare.
    for name in ("t", "weather"):
        (store / name).mkdir()
        (store / name / "tool.py").write_text(CODE)
    (store / "t" / "metadata.json").write_text('{"name": "t", "description": "d"}')
    with asyncio.Runner() as runner:
        yield runner


# Each operation on its own, so the search spends its examples on that
# operation's paths; "as drawn" leaves the operation to the search too.
@pytest.mark.parametrize("operation", [*OPERATIONS, "as drawn"])
@PROFILE
@given(kwargs=text_keyed)
def test_execute_answers_text_and_stays_in_the_store(world: asyncio.Runner, tmp_path: Path,
                                                     store: Path, creator: Any, operation: str,
                                                     kwargs: dict[str, Any]) -> None:
    if operation != "as drawn":
        kwargs["operation"] = operation
    before = outside_the_store(tmp_path, store)
    check_answer(lambda: creator.execute(**kwargs), world)
    assert outside_the_store(tmp_path, store) == before


@pytest.mark.parametrize("operation", ["_create_tool", "_validate_tool", "_run_tool",
                                       "_delete_tool", "_tool_info"])
@PROFILE
@given(mapping=st.one_of(any_keyed, values))
def test_operations_take_any_mapping(world: asyncio.Runner, tmp_path: Path, store: Path,
                                     creator: Any, operation: str, mapping: Any) -> None:
    before = outside_the_store(tmp_path, store)
    check_answer(lambda: getattr(creator, operation)(mapping), world)
    assert outside_the_store(tmp_path, store) == before


@PROFILE
@given(kwargs=text_keyed, code=st.one_of(st.just(CODE), any_text, values))
def test_validation_of_any_code(world: asyncio.Runner, tmp_path: Path, store: Path,
                                creator: Any, kwargs: dict[str, Any], code: Any) -> None:
    before = outside_the_store(tmp_path, store)
    check_answer(lambda: creator._validate_code(code), world, expected=dict)
    check_answer(lambda: creator._validate_tool({**kwargs, "code": code}), world)
    assert outside_the_store(tmp_path, store) == before


@PROFILE
@given(kwargs=text_keyed, name=st.one_of(any_text, values), script=st.one_of(any_text, values))
def test_a_registered_tool_takes_any_arguments(world: asyncio.Runner, tc: Any,
                                               manager: FakeManager, kwargs: dict[str, Any],
                                               name: Any, script: Any) -> None:
    try:
        tool = tc.DynamicTool(name, "d", script, manager)
    except TypeError:
        assert type(name) is not str or type(script) is not str
        return
    assert (tool.name, tool.description) == (f"custom_{name}", "d")
    assert type(tool.parameters) is dict
    check_answer(lambda: tool.execute(**kwargs), world)


class Text(str):
    pass


class Number(int):
    pass


class Real(float):
    pass


class Mapping(dict):
    pass


class Sequence(list):
    pass


def nested(depth: int) -> list[Any]:
    value: list[Any] = []
    for _ in range(depth):
        value = [value]
    return value


CYCLE: list[Any] = [1]
CYCLE.append(CYCLE)

# What a worker might answer: JSON's own types, those json.dumps converts
# (tuples, keys that are numbers, None or booleans), subclasses, NaN,
# numbers too long to print, nesting around the writer's depth limit, and
# values json.dumps refuses.
# The characters whose escapes differ most, among any others.
output_text = st.one_of(any_text, st.lists(st.sampled_from(
    ["\x7f", "\x00", "\x1f", "\b", "\f", '"', "\\", "/", "~", "\u00e9", "\u2028", "\U0001f600",
     "\ud800", "\udfff"]), max_size=6).map("".join))
output_scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), output_text,
    st.builds(Text, output_text), st.builds(Number, st.integers()), st.builds(Real, st.floats()),
    st.just(5000).map(lambda digits: 10**digits), st.frozensets(st.integers(), max_size=2),
)
output_keys = st.one_of(output_text, st.integers(), st.floats(), st.booleans(), st.none(),
                        st.builds(Text, output_text), st.tuples(st.integers()))
outputs = st.one_of(
    st.recursive(
        output_scalars,
        lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
        | st.dictionaries(output_keys, inner, max_size=4)
        | st.builds(Mapping, st.dictionaries(output_keys, inner, max_size=3))
        | st.builds(Sequence, st.lists(inner, max_size=3)),
        max_leaves=12,
    ),
    st.integers(60, 70).map(nested),
)


def as_text_or_error(make: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("text", make())
    except Exception as error:  # noqa: BLE001 - the exception is the answer
        return ("raised", type(error), str(error))


@PROFILE
@given(output=outputs)
@example(output=CYCLE)
def test_an_output_comes_back_as_json_dumps_writes_it(world: asyncio.Runner, tc: Any,
                                                      manager: FakeManager, output: Any) -> None:
    manager.result = FakeResult(output=output)
    tool = tc.DynamicTool("t", "d", "/t/tool.py", manager)
    answer = as_text_or_error(lambda: world.run(tool.execute()))
    assert answer == as_text_or_error(lambda: json.dumps(output, indent=2))
