"""One tool call as the host makes it: arguments checked against what the tool offers, then the call.

Shared by `tarvik serve`, `tarvik call` and `tarvik demo`, so a model over MCP
and a person at the shell meet the same rules: keys a tool does not declare
are refused, `args` must match its schema (the one a script declares, see
`tarvik.tools.typed_args`), and nothing runs until both hold. What a script's
`main` returned is read against the contract the model was given.
"""

from __future__ import annotations

import asyncio
import copy
import json
import os
import re
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tarvik.calllog import CallLog, CallRecord
from tarvik.store import name_too_long, read_script_declaration, saved_script, store_root
from tarvik.tools.base import Tool
from tarvik.tools.registry import CUSTOM_PREFIX, ToolRegistry
from tarvik.tools.typed_args import SCHEMA_NAME, UNDECLARED, ArgsDeclaration

ERROR_PREFIX = "[ERROR] "
CREATOR_NAME = "tool_creator"
CREATOR_AS_OFFERED = "the tool_creator tool of this server (your client may show it with a prefix)"
# Operations of the tool creator that turn tool_name into a folder of the store.
_STORE_OPERATIONS = ("create", "run", "info", "delete")
# A refusal quotes the offending value; a 200 kB string must not come back whole.
_MESSAGE_LIMIT = 300


class UnknownToolError(LookupError):
    """A call named a tool that the registry does not hold."""

    def __init__(self, name: str, available: list[str]) -> None:
        self.name = name
        self.available = available
        offered = ", ".join(available) if available else "none"
        super().__init__(f"Unknown tool {name!r}; registered tools: {offered}")


class InvalidArgumentsError(ValueError):
    """The arguments do not fit the schema the tool is offered with; nothing was run."""


@dataclass(frozen=True, slots=True)
class CallOutcome:
    """What one call gave: the tool's text, what its workers printed, and what else its reader should know.

    `notes` say what the call did beyond its text (a create that replaced a
    saved tool); `follow_up` is for a model whose tool list may lag behind.
    """

    text: str
    printed: str = ""
    follow_up: str | None = None
    notes: tuple[str, ...] = ()

    @property
    def is_error(self) -> bool:
        return self.text.startswith(ERROR_PREFIX)


# The script contract the tool creator gives the model: main returns {"success": ..., "result": ...}.
CONTRACT_BROKEN = "main must return a dict with 'success' and 'result'"


def result_text(result: Any) -> str:
    """The text a client sees for what a tool's `execute` returned."""
    if isinstance(result, str):
        return result
    try:
        return json.dumps(result, indent=2)
    except (TypeError, ValueError):
        return str(result)


# What the worker tasks of the call under way came back with; see TaskRecordingManager.
_results: ContextVar[list[Any] | None] = ContextVar("tarvik_task_results", default=None)


@contextmanager
def collecting_results() -> Iterator[list[Any]]:
    """Collect, for the code run inside, the result of each worker task it awaited."""
    collected: list[Any] = []
    token = _results.set(collected)
    try:
        yield collected
    finally:
        _results.reset(token)


class TaskRecordingManager:
    """The subprocess manager as the host hands it to its tools, noting each task's result for its call.

    The tools read only `error` and `output` of a worker's result; what the
    script printed, the world it ran in, the limit it met and the hash of
    the script would be lost, so the result is passed to the call that is
    collecting it (each call runs in a task of its own, with its own context).
    """

    def __init__(self, manager: Any) -> None:
        self.wrapped = manager

    async def spawn(self, task: Any) -> Any:
        result = await self.wrapped.spawn(task)
        collected = _results.get()
        if collected is not None:
            collected.append(result)
        return result

    def __getattr__(self, name: str) -> Any:
        return getattr(self.wrapped, name)


def printed_by(results: Iterable[Any]) -> str:
    return "".join(printed for result in results if isinstance(printed := getattr(result, "printed", ""), str))


def _last(results: list[Any], name: str) -> Any:
    for result in reversed(results):
        value = getattr(result, name, None)
        if value is not None:
            return value
    return None


def script_of(tool: Tool) -> str | None:
    """The saved script a dynamic tool runs, or None for any other tool."""
    script = getattr(tool, "_script_path", None)
    return script if isinstance(script, str) else None


def offered_parameters(parameters: Mapping[str, Any], declaration: ArgsDeclaration) -> dict[str, Any]:
    """A tool's own schema with its declared `args` in place, refusing undeclared keys unless it allows them."""
    offered = copy.deepcopy(dict(parameters))
    properties = offered.get("properties")
    if declaration.schema is not None and isinstance(properties, dict) and "args" in properties:
        declared = copy.deepcopy(declaration.schema)
        described = properties["args"].get("description") if isinstance(properties["args"], dict) else None
        if described and "description" not in declared:
            declared["description"] = described
        properties["args"] = declared
        if declared.get("required") and "args" not in offered.get("required", []):
            offered["required"] = [*offered.get("required", []), "args"]
    offered.setdefault("additionalProperties", False)
    return offered


# Validators of the schemas calls are checked against, by the schema object
# (which the call layer keeps for as long as its tool is registered).
_validators: dict[int, tuple[Any, Any]] = {}
_VALIDATORS_KEPT = 256


def first_mismatch(schema: Any, value: Any, root: str) -> str | None:
    """Where `value` first fails `schema` and why, as "args.items[2]: 'x' is not of type 'integer'"."""
    # Imported at the first check, not at start: jsonschema takes longer to
    # import than the rest of the server, and `initialize` would wait for it.
    from jsonschema import Draft202012Validator
    from jsonschema.exceptions import best_match

    cached = _validators.get(id(schema))
    if cached is None or cached[0] is not schema:
        if len(_validators) >= _VALIDATORS_KEPT:
            _validators.clear()
        cached = _validators[id(schema)] = (schema, Draft202012Validator(schema))
    try:
        error = best_match(cached[1].iter_errors(value))
    except RecursionError:
        return f"{root}: nested too deeply to check"
    if error is None:
        return None
    message = error.message
    if len(message) > _MESSAGE_LIMIT:
        message = message[: _MESSAGE_LIMIT - 1] + "…"
    return f"{_json_path(root, error.absolute_path)}: {message}"


def _json_path(root: str, parts: Iterable[str | int]) -> str:
    path = root
    for part in parts:
        if isinstance(part, int):
            path += f"[{part}]"
        elif part.isidentifier():
            path += f".{part}"
        else:
            path += f"[{json.dumps(part)}]"
    return path


def check_arguments(name: str, parameters: Mapping[str, Any], arguments: Mapping[str, Any]) -> None:
    """Raise InvalidArgumentsError when `arguments` has a key `parameters` lacks or an `args` it refuses."""
    properties = parameters.get("properties")
    properties = properties if isinstance(properties, Mapping) else {}
    if parameters.get("additionalProperties", False) is False:
        unknown = [key for key in arguments if key not in properties]
        if unknown:
            accepted = ", ".join(properties) or "none"
            hint = ""
            if name.startswith(CUSTOM_PREFIX) and "args" in properties:
                hint = f'; the tool\'s own arguments go inside args, as in {{"args": {{"{unknown[0]}": ...}}}}'
            raise InvalidArgumentsError(
                f"{name} has no argument {unknown[0]!r} (its arguments: {accepted}){hint}"
            )
    if "args" in properties:
        # Both kinds of tool hand main() an empty object when args is left out.
        mismatch = first_mismatch(properties["args"], arguments.get("args", {}), "args")
        if mismatch is not None:
            raise InvalidArgumentsError(f"Invalid arguments for {name}: {mismatch}")


def read_script_result(text: str) -> str:
    """The host's reading of a script run's text: a failure the tool reported, or a broken contract, is an error.

    A run that did not fail answers with `main`'s return value as JSON. The
    model must see `{"success": false, ...}` as the failure it is, and a value
    outside the contract (a list, a string, a dict without `success`) as a
    mistake to correct, each with what `main` returned.
    """
    if text.startswith(ERROR_PREFIX):
        return text
    try:
        returned = json.loads(text)
    except ValueError:
        return text
    if isinstance(returned, dict) and "success" in returned:
        if not returned["success"]:
            return f"{ERROR_PREFIX}The tool reported a failure:\n{text}"
        if "result" in returned:
            return text
    return f"{ERROR_PREFIX}{CONTRACT_BROKEN}; it returned:\n{text}"


def replaced_tool_note(tool_name: str) -> str:
    return (
        f"This create replaced the tool {tool_name!r} that was saved before: "
        "its earlier code and description are gone."
    )


def home_as_tilde(home: str) -> Callable[[str], str]:
    """A rewrite of the texts a store's host returns that shows `home` as `~`, as plain text and inside JSON.

    A tenant's process has its own HOME under the server's data folder; the
    tenant is to see its store as `~/.tarvik/...`, not where the server keeps it.
    """
    home = home.rstrip("/")
    if not home:
        return lambda text: text
    forms = sorted({home, json.dumps(home)[1:-1]}, key=len, reverse=True)
    # Only the whole name: /srv/alice must not turn /srv/alice2 into ~2.
    pattern = re.compile("(?:" + "|".join(map(re.escape, forms)) + r")(?![^/\\\s\"'`,;:)\]}])")
    return lambda text: pattern.sub("~", text)


def invalid_name_text(tool_name: str) -> str:
    shown = repr(tool_name) if len(tool_name) <= 60 else f"{tool_name[:40]!r}… ({len(tool_name)} characters)"
    return (
        f"{ERROR_PREFIX}Invalid tool_name: {shown}. It is too long for a folder name (at most 255 bytes), "
        f"and a tool the model can call takes a tool_name of at most {64 - len(CUSTOM_PREFIX)} characters "
        "from A-Z, a-z, 0-9, '_' and '-', such as my_tool."
    )


def creation_follow_up(tool_name: str, declaration: ArgsDeclaration) -> str:
    """What the model needs after a create that registered `custom_<tool_name>`, should its tool list lag."""
    registered = f"{CUSTOM_PREFIX}{tool_name}"
    run = json.dumps({"operation": "run", "tool_name": tool_name, "args": {}})
    # The server cannot learn what a client calls its tools: most offer them
    # unchanged, some with a prefix of their own (pydantic-ai: tarvik_tool_creator).
    lines = [
        f"{registered} is registered. If your tool list does not show it yet (many clients refresh it "
        f"only later), call it now through {CREATOR_AS_OFFERED}: {run} with its arguments in args."
    ]
    if declaration.schema is not None:
        lines.append(f"Its args: {json.dumps(declaration.schema)}")
    elif declaration.problem is not None:
        lines.append(f"Its declared args were ignored, so it takes any object: {declaration.problem}.")
    else:
        lines.append(
            f"Its args are not declared, so only its description says what to pass. To offer them typed, "
            f"create it again with a module-level {SCHEMA_NAME} = {{...JSON schema...}} dict literal, "
            "or with main's parameter annotated by a TypedDict class (main(args: ShoutArgs))."
        )
    return "\n".join(lines)


class ToolCalls:
    """Calls into one registry as the host makes them, and the schemas it offers for its tools."""

    def __init__(
        self, registry: ToolRegistry, *, store: Path | None = None,
        shown: Callable[[str], str] | None = None, quota: Any = None, log: CallLog | None = None,
    ) -> None:
        self._registry = registry
        # Where each call of a custom tool and each tool_creator operation is noted, if anywhere.
        self.log = log
        self._store = store if store is not None else store_root()
        # How the texts of this host are shown to its caller (see home_as_tilde).
        self.shown: Callable[[str], str] = shown or (lambda text: text)
        # A `tarvik.quota.StoreQuota` the tool creator's calls are held to, if any.
        self._quota = quota
        # Declarations read once per registered tool object: a tool created
        # again is a new object, and its script is read again.
        self._declarations: dict[str, tuple[Tool, ArgsDeclaration]] = {}
        # The schema each registered tool object is checked against, made once.
        self._offered: dict[str, tuple[Tool, dict[str, Any]]] = {}

    @property
    def registry(self) -> ToolRegistry:
        return self._registry

    async def declaration_of(self, tool: Tool) -> ArgsDeclaration:
        script = script_of(tool)
        if script is None:
            return UNDECLARED
        known = self._declarations.get(tool.name)
        if known is not None and known[0] is tool:
            return known[1]
        declaration = await asyncio.to_thread(read_script_declaration, script)
        self._declarations[tool.name] = (tool, declaration)
        return declaration

    async def parameters(self, tool: Tool) -> dict[str, Any]:
        """The input schema `tool` is offered with (a copy of the caller's own)."""
        return copy.deepcopy(await self._checked_against(tool))

    async def _checked_against(self, tool: Tool) -> dict[str, Any]:
        known = self._offered.get(tool.name)
        if known is not None and known[0] is tool:
            return known[1]
        offered = offered_parameters(tool.parameters, await self.declaration_of(tool))
        self._offered[tool.name] = (tool, offered)
        return offered

    async def call(self, name: str, arguments: Mapping[str, Any]) -> CallOutcome:
        """Check `arguments` and await the named tool with them.

        Raises UnknownToolError or InvalidArgumentsError before anything runs;
        whatever the tool raises passes through unchanged. A call of a custom
        tool or of the tool creator leaves one row in the call log, whichever
        way it ends.
        """
        tool = self._registry.get(name)
        if tool is None:
            raise UnknownToolError(name, self._registry.names())
        log = self.log
        script = script_of(tool)
        if log is None or (script is None and name != CREATOR_NAME):
            with collecting_results() as results:
                return await self._call(tool, name, arguments, results)
        started_at, started = time.time(), time.perf_counter()
        outcome: CallOutcome | None = None
        failure = _CANCELLED
        # What the creator's row needs of its arguments, taken now: the caller may reuse the mapping.
        asked = None if script is not None else _creator_fields(arguments)
        with collecting_results() as results:
            try:
                outcome = await self._call(tool, name, arguments, results)
            except InvalidArgumentsError as exc:
                failure = ("refused", str(exc))
                raise
            except Exception as exc:
                failure = ("raised", self.shown(f"{type(exc).__name__}: {exc}"))
                raise
            finally:
                # The row itself is made by the log's writer, off the call's path.
                log.record_from(
                    _call_record, name, script, asked, started_at, time.perf_counter() - started, results, outcome,
                    failure,
                )
        return outcome

    def refused(self, name: str, why: str) -> None:
        """Note a call of a registered tool refused before `call`, for arguments that are no object."""
        tool = self._registry.get(name)
        script = script_of(tool) if tool is not None else None
        if self.log is None or tool is None or (script is None and name != CREATOR_NAME):
            return
        target = os.path.basename(os.path.dirname(script)) if script is not None else None
        self.log.record(CallRecord(time.time(), name, None, target, "refused", None, 0.0, "", None, None, None, why))

    async def _call(self, tool: Tool, name: str, arguments: Mapping[str, Any], results: list[Any]) -> CallOutcome:
        check_arguments(name, await self._checked_against(tool), arguments)
        created_name = None
        runs_script = script_of(tool) is not None
        quota_hold = None
        if name == CREATOR_NAME:
            refusal = await self._check_creator_call(arguments)
            if refusal is None and self._quota is not None:
                quota_hold = await self._quota.hold(arguments)
                refusal = quota_hold.refusal
            if refusal is not None:
                return CallOutcome(self.shown(refusal))
            created_name = _created_tool_name(arguments)
            runs_script = arguments.get("operation") == "run"
        before = self._registry.get(f"{CUSTOM_PREFIX}{created_name}") if created_name else None
        replacing = created_name is not None and await asyncio.to_thread(self._is_saved, created_name)
        try:
            text = result_text(await tool.execute(**arguments))
        finally:
            if quota_hold is not None:
                quota_hold.release()
        if runs_script:
            text = read_script_result(text)
        notes: tuple[str, ...] = ()
        follow_up = None
        if created_name and not text.startswith(ERROR_PREFIX):
            if replacing:
                notes = (replaced_tool_note(created_name),)
            after = self._registry.get(f"{CUSTOM_PREFIX}{created_name}")
            if after is not None and after is not before:
                follow_up = creation_follow_up(created_name, await self.declaration_of(after))
        return CallOutcome(
            self.shown(text),
            self.shown(printed_by(results)),
            None if follow_up is None else self.shown(follow_up),
            tuple(map(self.shown, notes)),
        )

    def _is_saved(self, tool_name: str) -> bool:
        script = saved_script(self._store, tool_name)
        return script is not None and script.is_file()

    async def _check_creator_call(self, arguments: Mapping[str, Any]) -> str | None:
        """The tool creator's answer when its call cannot work, before it runs; raises for a bad args."""
        operation = arguments.get("operation", "list")
        tool_name = arguments.get("tool_name")
        if operation not in _STORE_OPERATIONS or not isinstance(tool_name, str) or not tool_name:
            return None
        if name_too_long(self._store, tool_name):
            return invalid_name_text(tool_name)
        if operation == "run":
            script = saved_script(self._store, tool_name)
            declaration = await asyncio.to_thread(read_script_declaration, script) if script else UNDECLARED
            if declaration.schema is not None:
                mismatch = first_mismatch(declaration.schema, arguments.get("args", {}), "args")
                if mismatch is not None:
                    raise InvalidArgumentsError(f"Invalid arguments for {tool_name}: {mismatch}")
        return None


def _created_tool_name(arguments: Mapping[str, Any]) -> str | None:
    tool_name = arguments.get("tool_name")
    if arguments.get("operation") == "create" and isinstance(tool_name, str) and tool_name:
        return tool_name
    return None


# An operation or a tool name the log keeps is cut to this; the call's own answer says the rest.
_LOGGED_NAME_LIMIT = 255


def _logged_text(value: object) -> str | None:
    if value is None:
        return None
    text = value if isinstance(value, str) else json.dumps(value, default=repr)
    return text[:_LOGGED_NAME_LIMIT]


_CANCELLED = ("cancelled", "The call was cancelled before it ended")


def _creator_fields(arguments: Mapping[str, Any]) -> tuple[str | None, str | None, str | None]:
    """The operation, the tool name and the code of a tool_creator call, as its row keeps them."""
    operation = _logged_text(arguments.get("operation", "list"))
    code = arguments.get("code") if operation in ("create", "validate") else None
    return operation, _logged_text(arguments.get("tool_name") or None), code if isinstance(code, str) else None


def _call_record(
    name: str, script: str | None, asked: tuple[str | None, str | None, str | None] | None, started_at: float,
    seconds: float, results: list[Any], outcome: CallOutcome | None, failure: tuple[str, str],
) -> CallRecord:
    """The log's row for one call: how it ended, read from its answer and from its tasks' results."""
    limit = _last(results, "limit")
    if outcome is None:
        kind, error = failure
    elif limit is not None:
        kind, error = ("timeout" if limit == "time" else "limit"), outcome.text
    elif outcome.is_error:
        kind, error = "error", outcome.text
    else:
        kind, error = "ok", None
    operation: str | None
    target: str | None
    if asked is None:
        operation, target, code = None, os.path.basename(os.path.dirname(script or "")), None
    else:
        operation, target, code = asked
    return CallRecord(
        started_at, name, operation, target, kind, limit, seconds, printed_by(results), _last(results, "digest"),
        code, _last(results, "world"), error,
    )
