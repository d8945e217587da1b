"""What the host sees of the module: names, classes, members and their types."""

from __future__ import annotations

import inspect
import logging
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import pytest

CREATOR_MEMBERS = [
    "__init__", "set_registry", "name", "description", "parameters", "execute",
    "_create_tool", "_validate_tool", "_validate_code", "_list_tools", "_delete_tool",
    "_run_tool", "_tool_info",
]
DYNAMIC_MEMBERS = ["__init__", "name", "description", "parameters", "execute"]
COROUTINE_FUNCTIONS = {
    ("ToolCreatorTool", name)
    for name in ("execute", "_create_tool", "_validate_tool", "_validate_code", "_run_tool")
} | {("DynamicTool", "execute")}


def test_namespace_and_classes(tc: Any) -> None:
    from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask
    from tarvik.tools.base import Tool

    public = {name for name in vars(tc) if not name.startswith("__")}
    assert public == {
        "json", "logging", "Path", "Any", "SubprocessManager", "SubprocessTask", "Tool",
        "logger", "_get_custom_tools_dir", "ToolCreatorTool", "DynamicTool",
    }
    assert tc.SubprocessManager is SubprocessManager and tc.SubprocessTask is SubprocessTask
    assert tc.logger is logging.getLogger("tarvik.tool_creator")
    for cls, members, doc in [
        (tc.ToolCreatorTool, CREATOR_MEMBERS, "Create, validate, and manage custom tools at runtime."),
        (tc.DynamicTool, DYNAMIC_MEMBERS, "A dynamically-created tool that runs via subprocess."),
    ]:
        assert cls.__bases__ == (Tool,) and type(cls) is type(Tool)
        assert cls.__doc__ == doc and cls.__module__ == "tarvik.tools.tool_creator"
        assert [name for name in vars(cls) if name != "_abc_impl" and (not name.startswith("__") or name == "__init__")] == members
        assert not cls.__abstractmethods__


def test_module_docstring(tc: Any) -> None:
    lines = tc.__doc__.splitlines()
    assert lines[0] == "Tool Creator \u2014 allows the agent to dynamically create new tools at runtime."
    for item in ("Self-extending capabilities", "Task-specific tool creation",
                 "Custom automation scripts", "One-off utilities"):
        assert f"- {item}" in lines
    assert "~/.tarvik/custom_tools/" in tc.__doc__


@pytest.mark.parametrize("class_name", ["ToolCreatorTool", "DynamicTool"])
def test_only_the_async_methods_are_coroutine_functions(tc: Any, creator: Any, class_name: str) -> None:
    cls = getattr(tc, class_name)
    for name, member in vars(cls).items():
        if name.startswith("__") and name != "__init__":
            continue
        function = member.fget if isinstance(member, property) else member
        expected = (class_name, name) in COROUTINE_FUNCTIONS
        assert inspect.iscoroutinefunction(function) is expected, name
        if not isinstance(member, property):
            bound = getattr(creator if class_name == "ToolCreatorTool" else _dynamic(tc), name)
            assert inspect.iscoroutinefunction(bound) is expected, name


def _dynamic(tc: Any) -> Any:
    return tc.DynamicTool("t", "d", "/x/tool.py", object())


@pytest.mark.parametrize(
    ("member", "signature"),
    [
        ("ToolCreatorTool.__init__",
         "(self, subprocess_manager: 'SubprocessManager | None' = None, tool_registry: 'Any' = None)"),
        ("ToolCreatorTool.set_registry", "(self, registry: 'Any') -> 'None'"),
        ("ToolCreatorTool.execute", "(self, **kwargs: 'Any') -> 'Any'"),
        ("ToolCreatorTool._validate_code", "(self, code: 'str') -> 'dict'"),
        ("ToolCreatorTool._list_tools", "(self) -> 'str'"),
        ("ToolCreatorTool._tool_info", "(self, kwargs: 'dict') -> 'str'"),
        ("DynamicTool.__init__",
         "(self, tool_name: 'str', tool_description: 'str', script_path: 'str', "
         "subprocess_manager: 'SubprocessManager')"),
        ("DynamicTool.execute", "(self, **kwargs: 'Any') -> 'Any'"),
    ],
)
def test_signatures(tc: Any, member: str, signature: str) -> None:
    class_name, name = member.split(".")
    function = vars(getattr(tc, class_name))[name]
    assert str(inspect.signature(function)) == signature
    assert function.__name__ == name and function.__qualname__ == member
    assert function.__module__ == "tarvik.tools.tool_creator"


def test_properties_docstrings_and_bound_signatures(tc: Any, creator: Any) -> None:
    assert vars(tc.ToolCreatorTool)["parameters"].fget.__annotations__ == {"return": "dict[str, Any]"}
    assert tc.ToolCreatorTool._validate_code.__doc__ == "Validate code using the custom worker."
    assert tc.ToolCreatorTool._list_tools.__doc__ == "List all custom tools."
    assert tc.ToolCreatorTool.set_registry.__doc__ == "Set the tool registry (called after initialization)."
    assert tc.ToolCreatorTool._create_tool.__doc__ is None
    assert tc._get_custom_tools_dir.__doc__ == "Get the directory for custom tools."
    assert tc._get_custom_tools_dir.__annotations__ == {"return": "Path"}
    assert str(inspect.signature(creator.execute)) == "(**kwargs: 'Any') -> 'Any'"
    assert creator.execute.__self__ is creator
    with pytest.raises(AttributeError):
        creator.name = "other"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda c, tc: c._validate_code(None),
         "Argument 'code' has incorrect type (expected str, got NoneType)"),
        (lambda c, tc: c._run_tool([]),
         "Argument 'kwargs' has incorrect type (expected dict, got list)"),
        (lambda c, tc: c._tool_info(type("D", (dict,), {})()),
         "Argument 'kwargs' has incorrect type (expected dict, got D)"),
        (lambda c, tc: c._validate_code(type("S", (str,), {})("x")),
         "Argument 'code' has incorrect type (expected str, got S)"),
        (lambda c, tc: tc.DynamicTool("t", None, "p", None),
         "Argument 'tool_description' has incorrect type (expected str, got NoneType)"),
        (lambda c, tc: tc.DynamicTool("t", "d", Path("p"), None),
         "Argument 'script_path' has incorrect type (expected str, got PosixPath)"),
    ],
)
def test_declared_argument_types_are_exact(creator: Any, tc: Any, manager: Any, call: Any, message: str) -> None:
    with pytest.raises(TypeError) as error:
        call(creator, tc)
    assert str(error.value) == message
    assert manager.tasks == []


async def test_declared_results_are_checked_on_return(creator: Any, manager: Any) -> None:
    from conftest import FakeResult

    manager.result = FakeResult(output=["not", "a", "dict"])
    with pytest.raises(TypeError) as error:
        await creator._validate_code("x")
    assert str(error.value) == "Expected dict, got list"

    class Odd(type(creator)):
        pass

    odd = Odd.__new__(Odd)
    odd._custom_tools_dir = 42  # makes _list_tools fail inside, not on return
    with pytest.raises(TypeError, match=r"os\.PathLike object, not int"):
        odd._list_tools()


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda c: c._tool_info(), "missing 1 required positional argument: 'kwargs'"),
        (lambda c: c._tool_info({}, {}), "takes 2 positional arguments but 3 were given"),
        (lambda c: c.execute({}), "takes 1 positional argument but 2 were given"),
        (lambda c: c._tool_info(kwargs={}, other=1), "got an unexpected keyword argument 'other'"),
        (lambda c: c._tool_info({}, kwargs={}), "got multiple values for argument 'kwargs'"),
    ],
)
def test_calls_bind_like_python_functions(creator: Any, call: Any, message: str) -> None:
    with pytest.raises(TypeError, match=message):
        call(creator)


def test_import_creates_nothing_in_home(tmp_path: Path) -> None:
    home = tmp_path / "home"
    home.mkdir()
    run = subprocess.run(
        [sys.executable, "-c", "import tarvik.tools.tool_creator"],
        env={"HOME": str(home), "PATH": "/usr/bin:/bin"}, capture_output=True, text=True,
    )
    assert run.returncode == 0, run.stderr
    assert list(home.iterdir()) == []


def test_importing_the_package_does_not_load_the_extension() -> None:
    code = "import sys, tarvik, tarvik.tools; print('tarvik.tools.tool_creator' in sys.modules)"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "False"


@pytest.mark.parametrize(
    ("module", "missing"),
    [("tarvik.core.subprocess_manager", "SubprocessTask"), ("tarvik.tools.base", "Tool")],
)
def test_a_missing_host_name_fails_the_import(module: str, missing: str) -> None:
    code = textwrap.dedent(f"""
        import importlib
        host = importlib.import_module({module!r})
        delattr(host, {missing!r})
        try:
            import tarvik.tools.tool_creator
        except ImportError as error:
            print("ImportError", error.__cause__ or error)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.stdout.startswith("ImportError"), run.stdout + run.stderr
    assert missing in run.stdout
