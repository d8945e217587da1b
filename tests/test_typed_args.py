"""Reading the `args` a tool's script declares, from its source alone."""

from __future__ import annotations

from typing import Any

import pytest

from tarvik.tools.typed_args import read_declaration

TYPED_DICTS = '''\
from typing import Annotated, Literal, NotRequired, Optional, TypedDict

class Point(TypedDict):
    x: float
    y: float

class Base(TypedDict, total=False):
    verbose: bool

class ShapeArgs(Base):
    """Where and what to draw."""
    kind: Literal["dot", "line"]
    points: list[Point]
    label: Annotated[Optional[str], "shown beside it"]
    weights: NotRequired[dict[str, int | float]]
    ref: "Point"

def main(args: "ShapeArgs") -> dict:
    return {"success": True, "result": args}
'''

POINT = {
    "type": "object",
    "properties": {"x": {"type": "number"}, "y": {"type": "number"}},
    "required": ["x", "y"],
    "additionalProperties": False,
}

SHAPE = {
    "type": "object",
    "description": "Where and what to draw.",
    "properties": {
        "verbose": {"type": "boolean"},
        "kind": {"enum": ["dot", "line"]},
        "points": {"type": "array", "items": POINT},
        "label": {"type": ["string", "null"], "description": "shown beside it"},
        "weights": {"type": "object", "additionalProperties": {"type": ["integer", "number"]}},
        "ref": POINT,
    },
    "required": ["kind", "points", "label", "ref"],
    "additionalProperties": False,
}


@pytest.mark.parametrize(
    ("source", "schema"),
    [
        (TYPED_DICTS, SHAPE),
        # A literal schema is taken as written, closed where it lists properties and says nothing else.
        (
            'ARGS_SCHEMA = {"type": "object", "properties": {"q": {"type": "object", "properties": {}}}}\n',
            {
                "type": "object",
                "properties": {"q": {"type": "object", "properties": {}, "additionalProperties": False}},
                "additionalProperties": False,
            },
        ),
        (
            'ARGS_SCHEMA = {"type": "object", "properties": {}, "additionalProperties": True}\n',
            {"type": "object", "properties": {}, "additionalProperties": True},
        ),
        # Both forms: the literal wins.
        (TYPED_DICTS + 'ARGS_SCHEMA = {"type": "array"}\n', {"type": "array"}),
        ("def main(args: dict) -> dict:\n    return args\n", None),
        ("class A(TypedDict):\n    n: int\ndef main(args):\n    return args\n", None),
        ("def main(args:\n", None),
    ],
)
def test_declared_args_become_a_json_schema(source: str, schema: dict[str, Any] | None) -> None:
    declaration = read_declaration(source)
    assert (declaration.schema, declaration.problem) == (schema, None)


@pytest.mark.parametrize(
    ("assignment", "problem"),
    [
        ("ARGS_SCHEMA = make_schema()", "must be written out as a dict literal of JSON values"),
        ("ARGS_SCHEMA = [1]", "must be a dict, not list"),
        ('ARGS_SCHEMA = {"enum": (1, 2)}', "must hold JSON values only"),
        ('ARGS_SCHEMA = {"type": "text"}', "is not a valid JSON schema: 'text' is not valid under any of the given"),
        ('ARGS_SCHEMA = {"$ref": "https://example.invalid/s.json"}', "may only refer within itself"),
    ],
)
def test_an_unusable_declaration_is_ignored_with_the_reason(assignment: str, problem: str) -> None:
    declaration = read_declaration(assignment + "\ndef main(args):\n    return args\n")
    assert declaration.schema is None
    assert declaration.problem is not None and problem in declaration.problem
