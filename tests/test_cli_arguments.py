"""How `tarvik call` reads arguments from the command line."""

from __future__ import annotations

from typing import Any

import pytest

from tarvik.cli.arguments import ArgumentError, parse_arguments, parse_value
from tarvik.settings import parse_address


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ("3", 3),
        ("-2.5", -2.5),
        ("true", True),
        ("null", None),
        ("[1, 2]", [1, 2]),
        ('{"a": {"b": 1}}', {"a": {"b": 1}}),
        ('"007"', "007"),
        ("hello world", "hello world"),
        ("", ""),
        ('"{not json"', "{not json"),
        ("a=b", "a=b"),
    ],
)
def test_a_value_is_json_when_it_parses_and_text_otherwise(text: str, value: Any) -> None:
    assert parse_value(text) == value
    assert type(parse_value(text)) is type(value)


@pytest.mark.parametrize(
    ("json_text", "pairs", "arguments"),
    [
        (None, [], {}),
        (None, ["operation=list"], {"operation": "list"}),
        (
            None,
            ["tool_name=x", 'args={"n": 1}', "register=false"],
            {"tool_name": "x", "args": {"n": 1}, "register": False},
        ),
        (None, ["expr=a=b"], {"expr": "a=b"}),
        ('{"operation": "run", "args": [1]}', [], {"operation": "run", "args": [1]}),
    ],
)
def test_arguments_from_the_command_line(json_text: str | None, pairs: list[str], arguments: dict[str, Any]) -> None:
    assert parse_arguments(json_text, pairs) == arguments


@pytest.mark.parametrize(
    ("json_text", "pairs", "complaint"),
    [
        ('{"a": 1}', ["b=2"], "not both"),
        ("[1, 2]", [], "must be a JSON object"),
        ("{broken", [], "not valid JSON"),
        (None, ["operation"], "expected key=value"),
        (None, ["=value"], "expected key=value"),
        (None, ["a=1", "a=2"], "given twice"),
        # Meant as JSON, so not passed on as text: the parser's own words say what is wrong.
        (None, ['args={"a": 1,}'], r'args=\{"a": 1,\} is not valid JSON: \w.*: line 1 column \d+ '),
        (None, ["items=[1, 2"], r"items=\[1, 2 is not valid JSON: \w.*: line 1 column \d+ "),
    ],
)
def test_malformed_arguments_are_refused(json_text: str | None, pairs: list[str], complaint: str) -> None:
    with pytest.raises(ArgumentError, match=complaint):
        parse_arguments(json_text, pairs)


@pytest.mark.parametrize(
    ("text", "address"),
    [
        ("127.0.0.1:9000", ("127.0.0.1", 9000)),
        ("0.0.0.0:0", ("0.0.0.0", 0)),
        ("[::1]:9000", ("::1", 9000)),
        ("[::1]", ("::1", 8765)),
        ("localhost", ("localhost", 8765)),
        (":9000", ("127.0.0.1", 9000)),
        ("8767", ("127.0.0.1", 8767)),
    ],
)
def test_an_http_address_is_a_host_and_a_port_with_defaults(text: str, address: tuple[str, int]) -> None:
    assert parse_address(text) == address
