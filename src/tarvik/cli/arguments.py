"""Turning `tarvik call`'s command-line words into a tool's arguments."""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any


class ArgumentError(ValueError):
    """The command line does not describe one JSON object of arguments."""


def parse_json_object(text: str) -> dict[str, Any]:
    try:
        value = json.loads(text)
    except ValueError as exc:
        raise ArgumentError(f"--json is not valid JSON: {exc}") from None
    if not isinstance(value, dict):
        raise ArgumentError(f"--json must be a JSON object, not {type(value).__name__}")
    return value


def parse_value(text: str, key: str = "value") -> Any:
    """JSON when the text is JSON (3, true, null, [1], {"a": 1}, "quoted"), else the text itself.

    A text that starts like an object or an array was meant as one: passing
    it on as a string would only fail later, inside the tool.
    """
    try:
        return json.loads(text)
    except ValueError as exc:
        if text.lstrip().startswith(("{", "[")):
            raise ArgumentError(
                f"{key}={text} is not valid JSON: {exc}; "
                f"to pass it as text, quote it as JSON: {key}={json.dumps(text)}"
            ) from None
        return text


def parse_pairs(words: Sequence[str]) -> dict[str, Any]:
    arguments: dict[str, Any] = {}
    for word in words:
        key, separator, value = word.partition("=")
        if not separator or not key:
            raise ArgumentError(f"expected key=value, got {word!r}")
        if key in arguments:
            raise ArgumentError(f"argument {key!r} given twice")
        arguments[key] = parse_value(value, key)
    return arguments


def parse_arguments(json_text: str | None, pairs: Sequence[str]) -> dict[str, Any]:
    if json_text is not None and pairs:
        raise ArgumentError("give the arguments either as --json or as key=value words, not both")
    if json_text is not None:
        return parse_json_object(json_text)
    return parse_pairs(pairs)
