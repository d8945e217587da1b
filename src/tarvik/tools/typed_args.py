"""The `args` a tool's script declares, read from its source with `ast` and never by running it.

Two forms are understood; when a script has both, `ARGS_SCHEMA` wins:

    ARGS_SCHEMA = {"type": "object", "properties": {"text": {"type": "string"}}, "required": ["text"]}

    class ShoutArgs(TypedDict):
        text: str
        times: NotRequired[int]

    def main(args: ShoutArgs) -> dict: ...

Either becomes the JSON schema of the tool's `args`: offered to the model and
checked before a worker starts. An object schema that lists its properties
refuses other keys unless it says otherwise with "additionalProperties".
"""

from __future__ import annotations

import ast
import json
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

SCHEMA_NAME = "ARGS_SCHEMA"

_SIMPLE_TYPES: dict[str, dict[str, Any]] = {
    "str": {"type": "string"},
    "int": {"type": "integer"},
    "float": {"type": "number"},
    "bool": {"type": "boolean"},
    "None": {"type": "null"},
    "NoneType": {"type": "null"},
    "dict": {"type": "object"},
    "Dict": {"type": "object"},
    "Mapping": {"type": "object"},
    "list": {"type": "array"},
    "List": {"type": "array"},
    "tuple": {"type": "array"},
    "Tuple": {"type": "array"},
    "Sequence": {"type": "array"},
}
_SEQUENCES = {"list", "List", "Sequence", "MutableSequence", "Iterable", "set", "Set", "frozenset", "FrozenSet"}
_MAPPINGS = {"dict", "Dict", "Mapping", "MutableMapping"}
_FIELD_QUALIFIERS = {"Required", "NotRequired", "ReadOnly"}


@dataclass(frozen=True, slots=True)
class ArgsDeclaration:
    """A script's `args` schema, or None when it declares none; `problem` says why a declaration was ignored."""

    schema: dict[str, Any] | None = None
    problem: str | None = None


UNDECLARED = ArgsDeclaration()


def read_declaration(source: str) -> ArgsDeclaration:
    """The `args` schema that `source` declares, found without running it."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        # Code that does not parse is the validation's to report.
        return UNDECLARED
    literal = _last_assignment(tree, SCHEMA_NAME)
    if literal is not None:
        return _literal_declaration(literal)
    annotation = _main_parameter_annotation(tree)
    classes = _typed_dicts(tree)
    name = _annotation_name(annotation) if annotation is not None else None
    if name is None or name not in classes:
        return UNDECLARED
    try:
        schema = _TypedDictReader(classes).object_schema(name)
    except RecursionError:
        return ArgsDeclaration(problem=f"the TypedDict {name} is nested too deeply to read")
    if not _json_faithful(schema):
        return ArgsDeclaration(problem=f"the TypedDict {name} has a Literal value that is not JSON")
    return ArgsDeclaration(schema)


def _json_faithful(value: Any) -> bool:
    """Whether `value` comes back unchanged from JSON, as it must to reach the model."""
    try:
        return bool(json.loads(json.dumps(value, allow_nan=False)) == value)
    except (TypeError, ValueError, RecursionError):
        return False


def _literal_declaration(node: ast.expr) -> ArgsDeclaration:
    try:
        value = ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, RecursionError, MemoryError):
        return ArgsDeclaration(
            problem=f"{SCHEMA_NAME} must be written out as a dict literal of JSON values (no names, calls or sums)"
        )
    if not isinstance(value, dict):
        return ArgsDeclaration(problem=f"{SCHEMA_NAME} must be a dict, not {type(value).__name__}")
    # Tuples, sets, bytes and non-text keys would not survive the trip to the model.
    if not _json_faithful(value):
        return ArgsDeclaration(problem=f"{SCHEMA_NAME} must hold JSON values only: text keys, no tuples, sets or NaN")
    from jsonschema import Draft202012Validator  # at the first declaration read: slow to import
    from jsonschema.exceptions import SchemaError

    try:
        Draft202012Validator.check_schema(value)
    except SchemaError as exc:
        where = "/".join(str(part) for part in exc.path)
        return ArgsDeclaration(
            problem=f"{SCHEMA_NAME} is not a valid JSON schema: {exc.message}" + (f" (at {where})" if where else "")
        )
    remote = next((ref for ref in _references(value) if not ref.startswith("#")), None)
    if remote is not None:
        return ArgsDeclaration(problem=f"{SCHEMA_NAME} may only refer within itself ('#/...'), not to {remote!r}")
    return ArgsDeclaration(close_objects(value))


def close_objects(schema: Any) -> Any:
    """`schema` with every object schema that lists properties refusing other keys, unless it says otherwise."""
    if not isinstance(schema, dict):
        return schema
    closed = dict(schema)
    if "properties" in closed and "additionalProperties" not in closed and not _composed(closed):
        closed["additionalProperties"] = False
    for keyword in ("properties", "patternProperties", "$defs", "definitions", "dependentSchemas"):
        if isinstance(closed.get(keyword), dict):
            closed[keyword] = {key: close_objects(value) for key, value in closed[keyword].items()}
    for keyword in ("allOf", "anyOf", "oneOf", "prefixItems"):
        if isinstance(closed.get(keyword), list):
            closed[keyword] = [close_objects(value) for value in closed[keyword]]
    for keyword in ("items", "additionalProperties", "not", "if", "then", "else", "contains"):
        if keyword in closed:
            closed[keyword] = close_objects(closed[keyword])
    return closed


def _composed(schema: dict[str, Any]) -> bool:
    # Properties spread over allOf or a $ref would be refused by a closed part.
    return any(keyword in schema for keyword in ("allOf", "$ref", "$dynamicRef"))


def _references(value: Any) -> Iterator[str]:
    if isinstance(value, dict):
        for key, item in value.items():
            if key in ("$ref", "$dynamicRef") and isinstance(item, str):
                yield item
            else:
                yield from _references(item)
    elif isinstance(value, list):
        for item in value:
            yield from _references(item)


def _last_assignment(tree: ast.Module, name: str) -> ast.expr | None:
    found: ast.expr | None = None
    for statement in tree.body:
        if (isinstance(statement, ast.Assign) and any(
            isinstance(target, ast.Name) and target.id == name for target in statement.targets
        )) or (
            isinstance(statement, ast.AnnAssign)
            and isinstance(statement.target, ast.Name)
            and statement.target.id == name
            and statement.value is not None
        ):
            found = statement.value
    return found


def _main_parameter_annotation(tree: ast.Module) -> ast.expr | None:
    main = None
    for statement in tree.body:
        if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)) and statement.name == "main":
            main = statement  # the last definition is the one the worker calls
    if main is None:
        return None
    parameters = [*main.args.posonlyargs, *main.args.args]
    return parameters[0].annotation if parameters else None


def _annotation_name(node: ast.expr) -> str | None:
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        return node.attr
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value.strip()
    return None


def _typed_dicts(tree: ast.Module) -> dict[str, ast.ClassDef]:
    """The module's TypedDict classes by name, those deriving from another one included."""
    classes: dict[str, ast.ClassDef] = {}
    for statement in tree.body:
        if isinstance(statement, ast.ClassDef) and any(
            _annotation_name(base) == "TypedDict" or _annotation_name(base) in classes for base in statement.bases
        ):
            classes[statement.name] = statement
    return classes


class _TypedDictReader:
    """Turns TypedDict classes and their field annotations into JSON schemas."""

    def __init__(self, classes: dict[str, ast.ClassDef]) -> None:
        self._classes = classes
        self._reading: set[str] = set()

    def object_schema(self, name: str) -> dict[str, Any]:
        if name in self._reading:
            return {"type": "object"}  # a class that contains itself: not followed further
        self._reading.add(name)
        try:
            return self._read_class(self._classes[name])
        finally:
            self._reading.discard(name)

    def _read_class(self, node: ast.ClassDef) -> dict[str, Any]:
        properties: dict[str, Any] = {}
        required: list[str] = []
        for base in node.bases:
            inherited = self._classes.get(_annotation_name(base) or "")
            if inherited is not None and inherited is not node:
                parent = self.object_schema(inherited.name)
                properties.update(parent.get("properties", {}))
                required += [key for key in parent.get("required", []) if key not in required]
        total = not any(
            keyword.arg == "total" and isinstance(keyword.value, ast.Constant) and keyword.value.value is False
            for keyword in node.keywords
        )
        for statement in node.body:
            if not (isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name)):
                continue
            field = statement.target.id
            annotation, is_required = _field_requirement(statement.annotation, total)
            properties[field] = self.schema(annotation)
            if is_required and field not in required:
                required.append(field)
            elif not is_required and field in required:
                required.remove(field)
        schema: dict[str, Any] = {"type": "object"}
        description = ast.get_docstring(node)
        if description:
            schema["description"] = description
        schema["properties"] = properties
        if required:
            schema["required"] = required
        schema["additionalProperties"] = False
        return schema

    def schema(self, node: ast.expr) -> dict[str, Any]:
        if isinstance(node, ast.Constant):
            if node.value is None:
                return {"type": "null"}
            if isinstance(node.value, str):
                try:
                    return self.schema(ast.parse(node.value.strip(), mode="eval").body)
                except SyntaxError:
                    return {}
            return {}
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
            return _union([self.schema(node.left), self.schema(node.right)])
        if isinstance(node, ast.Subscript):
            return self._generic(_annotation_name(node.value) or "", node.slice)
        name = _annotation_name(node) or ""
        if name in self._classes:
            return self.object_schema(name)
        return dict(_SIMPLE_TYPES.get(name, {}))

    def _generic(self, name: str, argument: ast.expr) -> dict[str, Any]:
        arguments = argument.elts if isinstance(argument, ast.Tuple) else [argument]
        if name == "Optional":
            return _union([self.schema(arguments[0]), {"type": "null"}])
        if name == "Union":
            return _union([self.schema(item) for item in arguments])
        if name == "Literal":
            try:
                return {"enum": [ast.literal_eval(item) for item in arguments]}
            except ValueError:
                return {}
        if name == "Annotated":
            inner = self.schema(arguments[0])
            notes = [
                item.value for item in arguments[1:] if isinstance(item, ast.Constant) and isinstance(item.value, str)
            ]
            return {**inner, "description": " ".join(notes)} if notes else inner
        if name in _FIELD_QUALIFIERS:
            return self.schema(arguments[0])
        if name in _SEQUENCES:
            return {"type": "array", "items": self.schema(arguments[0])}
        if name in ("tuple", "Tuple"):
            if len(arguments) == 2 and isinstance(arguments[1], ast.Constant) and arguments[1].value is Ellipsis:
                return {"type": "array", "items": self.schema(arguments[0])}
            items = [self.schema(item) for item in arguments]
            return {"type": "array", "prefixItems": items, "minItems": len(items), "maxItems": len(items)}
        if name in _MAPPINGS and len(arguments) == 2:
            return {"type": "object", "additionalProperties": self.schema(arguments[1])}
        return dict(_SIMPLE_TYPES.get(name, {}))


def _field_requirement(annotation: ast.expr, total: bool) -> tuple[ast.expr, bool]:
    """A field's annotation without Required/NotRequired/ReadOnly, and whether the key must be given."""
    required = total
    while isinstance(annotation, ast.Subscript) and _annotation_name(annotation.value) in _FIELD_QUALIFIERS:
        qualifier = _annotation_name(annotation.value)
        if qualifier == "Required":
            required = True
        elif qualifier == "NotRequired":
            required = False
        annotation = annotation.slice
    return annotation, required


def _union(members: list[dict[str, Any]]) -> dict[str, Any]:
    if any(member == {} for member in members):
        return {}  # one member takes anything, so the union does
    if all(list(member) == ["type"] for member in members):
        types: list[Any] = []
        for member in members:
            for name in member["type"] if isinstance(member["type"], list) else [member["type"]]:
                if name not in types:
                    types.append(name)
        return {"type": types[0] if len(types) == 1 else types}
    return {"anyOf": members}
