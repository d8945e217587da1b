"""The host's read-only view of the custom tool store: where it is, what it holds, what a script declares.

Everything here touches the file system and blocks: async callers run it in a thread.
"""

from __future__ import annotations

import json
import logging
import os
from dataclasses import dataclass
from pathlib import Path

from tarvik.tools.typed_args import UNDECLARED, ArgsDeclaration, read_declaration

logger = logging.getLogger("tarvik.host")

# Linux's NAME_MAX and PATH_MAX less its NUL on every common local file
# system; past them a folder name ends in ENAMETOOLONG.
NAME_MAX_BYTES = 255
PATH_MAX_BYTES = 4095
# The longest file name the store writes inside a tool folder.
_LONGEST_FILE = "metadata.json"


@dataclass(frozen=True, slots=True)
class SavedTool:
    """A tool folder of the store, as the dynamic tool that serves it needs it."""

    name: str
    description: str
    script_path: str


def store_root() -> Path:
    # Derived exactly as the extension derives its store, so HOME moves both.
    return Path.home() / ".tarvik" / "custom_tools"


def find_saved_tools(root: Path) -> list[SavedTool]:
    """Every tool folder of the store that holds a script, in path order."""
    if not root.is_dir():
        return []
    resolved_root = root.resolve()
    found: list[SavedTool] = []
    for folder in sorted(root.iterdir()):
        script = folder / "tool.py"
        if not folder.is_dir() or not script.is_file():
            continue
        if not script.resolve().is_relative_to(resolved_root):
            # A link leading out of the store would let a saved "tool" run any
            # script on the machine; the store's own operations refuse it too.
            logger.warning("Not registering %s: its script lies outside the store", folder.name)
            continue
        found.append(SavedTool(folder.name, _saved_description(folder / "metadata.json"), str(script)))
    return found


def _saved_description(metadata_path: Path) -> str:
    try:
        metadata = json.loads(metadata_path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return ""
    except (OSError, ValueError) as exc:
        logger.warning("Ignoring unreadable %s: %s", metadata_path, exc)
        return ""
    description = metadata.get("description") if isinstance(metadata, dict) else None
    # The dynamic tool takes exactly `str`; metadata may hold any JSON value.
    return description if type(description) is str else ""


def name_too_long(root: Path, tool_name: str) -> bool:
    """Whether the file system would refuse `tool_name` as a folder of the store for its length."""
    encoded = tool_name.encode("utf-8", "surrogatepass")
    full_path = os.fsencode(root) + b"/" + encoded + b"/" + _LONGEST_FILE.encode()
    return len(encoded) > NAME_MAX_BYTES or len(full_path) > PATH_MAX_BYTES


def saved_script(root: Path, tool_name: str) -> Path | None:
    """The script of the saved tool `tool_name` when it is one plain folder of the store, else None."""
    if tool_name in ("", ".", "..") or any(mark in tool_name for mark in "/\\\0") or name_too_long(root, tool_name):
        return None
    script = root / tool_name / "tool.py"
    try:
        inside = script.resolve().is_relative_to(root.resolve())
    except (OSError, ValueError):
        return None
    return script if inside else None


def read_script_declaration(script: str | Path) -> ArgsDeclaration:
    """The `args` schema the script at `script` declares; nothing when it cannot be read."""
    try:
        source = Path(script).read_text(encoding="utf-8")
    except (OSError, ValueError):
        # A missing or unreadable script is reported by the call that runs it.
        return UNDECLARED
    return read_declaration(source)
