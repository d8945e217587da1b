"""list, info and delete over store folders written by hand."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest

NO_TOOLS = "No custom tools found. Use 'create' to make one."


def make_tool(store: Path, name: str, metadata: Any = None, code: str | None = None) -> Path:
    folder = store / name
    folder.mkdir(parents=True)
    if metadata is not None:
        (folder / "metadata.json").write_text(json.dumps(metadata))
    if code is not None:
        (folder / "tool.py").write_bytes(code.encode())
    return folder


def test_empty_store_root_or_files_only(creator: Any, store: Path) -> None:
    assert creator._list_tools() == NO_TOOLS
    (store / "stray.txt").write_text("x")
    assert creator._list_tools() == NO_TOOLS
    (store / "stray.txt").unlink()
    store.rmdir()
    assert creator._list_tools() == NO_TOOLS


def test_listing_order_and_metadata_fallbacks(creator: Any, store: Path) -> None:
    make_tool(store, "a", {"description": "no name"})
    make_tool(store, "B")
    make_tool(store, ".hidden", {"name": "shown", "description": None})
    make_tool(store, "c", {"name": "other"})
    (store / "link").symlink_to(store / "a", target_is_directory=True)
    listing = json.loads(creator._list_tools())
    assert listing["count"] == len(listing["tools"]) == 5
    assert [(t["name"], t["description"]) for t in listing["tools"]] == [
        ("shown", None), ("B", "(no metadata)"), ("a", "no name"), ("other", ""), ("link", "no name"),
    ]
    assert listing["tools"][1]["path"] == str(store / "B" / "tool.py")


def test_one_broken_metadata_fails_the_whole_list(creator: Any, store: Path) -> None:
    make_tool(store, "good", {"name": "good"})
    (make_tool(store, "bad") / "metadata.json").write_text("{not json")
    with pytest.raises(json.JSONDecodeError):
        creator._list_tools()


@pytest.mark.parametrize("operation", ["info", "delete"])
@pytest.mark.parametrize("kwargs", [{}, {"tool_name": ""}, {"tool_name": None}])
async def test_tool_name_is_required(creator: Any, operation: str, kwargs: dict) -> None:
    assert await creator.execute(operation=operation, **kwargs) == "[ERROR] tool_name is required."


@pytest.mark.parametrize("operation", ["info", "delete"])
async def test_unknown_tool(creator: Any, operation: str) -> None:
    assert await creator.execute(operation=operation, tool_name="ghost") == "[ERROR] Tool not found: ghost"


def test_info_merges_metadata_in_file_order(creator: Any, store: Path) -> None:
    make_tool(store, "t", {"code_size": "stale", "name": "renamed", "extra": 1}, code="a\r\nb\n")
    info = json.loads(creator._tool_info({"tool_name": "t"}))
    assert list(info) == ["name", "code_size", "extra", "code_lines", "code_preview"]
    assert info == {"name": "renamed", "code_size": 4, "extra": 1, "code_lines": 2, "code_preview": "a\nb"}


@pytest.mark.parametrize(
    ("code", "lines", "size", "preview"),
    [
        ("", 0, 0, ""),
        ("one", 1, 3, "one"),
        ("a\r\nb\rc\n", 3, 6, "a\nb\nc"),  # universal newlines: each line end is one character
        ("a\x0bb\x1cc\u2028d\n", 4, 8, "a\nb\nc\nd"),
        ("".join(f"line {i}\n" for i in range(120)), 120, sum(len(f"line {i}\n") for i in range(120)),
         "\n".join(f"line {i}" for i in range(50))),
    ],
)
def test_info_counts_lines_like_splitlines(creator: Any, store: Path, code: str, lines: int, size: int, preview: str) -> None:
    make_tool(store, "t", code=code)
    info = json.loads(creator._tool_info({"tool_name": "t"}))
    assert (info["code_lines"], info["code_size"], info["code_preview"]) == (lines, size, preview)


def test_info_on_an_empty_folder(creator: Any, store: Path) -> None:
    make_tool(store, "bare")
    assert creator._tool_info({"tool_name": "bare"}) == '{\n  "name": "bare"\n}'


def test_info_on_metadata_that_is_not_an_object(creator: Any, store: Path) -> None:
    make_tool(store, "t", [["name", "pairs"]])
    with pytest.raises(ValueError, match="JSON object"):
        creator._tool_info({"tool_name": "t"})


async def test_delete_removes_the_folder_and_the_registration(tc: Any, creator: Any, registry: Any, store: Path) -> None:
    make_tool(store, "t", {"name": "t"}, code="x")
    make_tool(store, "u", code="x")
    registry.register(tc.DynamicTool("t", "", str(store / "t" / "tool.py"), None))
    other = tc.DynamicTool("v", "", "p", None)
    registry.register(other)
    assert await creator.execute(operation="delete", tool_name="t") == "Deleted custom tool: t"
    assert await creator.execute(operation="delete", tool_name="u") == "Deleted custom tool: u"
    assert list(store.iterdir()) == []
    assert registry._tools == {"custom_v": other}
    assert await creator.execute(operation="info", tool_name="t") == "[ERROR] Tool not found: t"


def test_delete_with_a_registry_without_tools_mapping(tc: Any, store: Path) -> None:
    class Lookup:
        def __init__(self) -> None:
            self.asked: list[str] = []

        def get(self, name: str) -> Any:
            self.asked.append(name)
            return object()

    lookup = Lookup()
    make_tool(store, "t")
    assert tc.ToolCreatorTool(object(), lookup)._delete_tool({"tool_name": "t"}) == "Deleted custom tool: t"
    assert lookup.asked == ["custom_t"]
