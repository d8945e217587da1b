"""The `tarvik` command: help, `call` and `demo`, through the real host."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import small_disk

from tarvik.cli.demo import STEPS, TOOL_NAME
from tarvik.cli.main import build_parser, main

ADDER_CODE = (
    "def main(args: dict) -> dict:\n"
    '    print("adding", args["numbers"])\n'
    '    return {"success": True, "result": sum(args["numbers"])}\n'
)


@pytest.fixture
def home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    folder = tmp_path / "home"
    folder.mkdir()
    monkeypatch.setenv("HOME", str(folder))
    return folder


def run_tarvik(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    status = main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def create_adder(capsys: pytest.CaptureFixture[str]) -> None:
    request = {"operation": "create", "tool_name": "adder", "description": "Add numbers.", "code": ADDER_CODE}
    status, out, _ = run_tarvik(capsys, "call", "tool_creator", "--json", json.dumps(request))
    assert status == 0, out


@pytest.mark.parametrize("command", [[], ["serve"], ["call"], ["demo"], ["sandbox"], ["packages"], ["token"], ["ui"]])
def test_every_command_has_help_with_examples(command: list[str], capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as exited:
        main([*command, "--help"])
    out = capsys.readouterr().out
    assert exited.value.code == 0
    assert "examples:" in out
    assert f"tarvik {command[0] if command else 'demo'}" in out.split("examples:")[1]


@pytest.mark.parametrize(
    ("pairs", "status", "printed"),
    [
        (["operation=list"], 0, "No custom tools found. Use 'create' to make one."),
        ([], 0, "No custom tools found. Use 'create' to make one."),
        (["operation=bogus"], 1, "[ERROR] Unknown operation: bogus"),
        # A value that parses as JSON arrives as that value: the number, not the text.
        (["operation=5"], 1, "[ERROR] Unknown operation: 5"),
        (["operation=info"], 1, "[ERROR] tool_name is required."),
    ],
)
def test_call_prints_the_result_and_flags_errors(
    home: Path, capsys: pytest.CaptureFixture[str], pairs: list[str], status: int, printed: str
) -> None:
    assert run_tarvik(capsys, "call", "tool_creator", *pairs)[:2] == (status, printed + "\n")


def test_call_runs_a_created_tool_with_json_values(home: Path, capsys: pytest.CaptureFixture[str]) -> None:
    create_adder(capsys)
    status, out, err = run_tarvik(
        capsys, "call", "tool_creator", "operation=run", "tool_name=adder", 'args={"numbers": [1, 2, 3]}'
    )
    assert (status, json.loads(out)) == (0, {"success": True, "result": 6})
    assert err == "adding [1, 2, 3]\n"


def test_a_script_that_reports_a_failure_exits_1_with_what_it_returned(
    home: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    code = 'def main(args):\n    return {"success": False, "error": "no such city"}\n'
    request = {"operation": "create", "tool_name": "city", "code": code}
    assert run_tarvik(capsys, "call", "tool_creator", "--json", json.dumps(request))[0] == 0
    status, out, _ = run_tarvik(capsys, "call", "custom_city")
    assert status == 1
    assert out == '[ERROR] The tool reported a failure:\n{\n  "success": false,\n  "error": "no such city"\n}\n'


def test_a_create_that_replaced_a_tool_says_so_on_stderr(home: Path, capsys: pytest.CaptureFixture[str]) -> None:
    create_adder(capsys)
    request = {"operation": "create", "tool_name": "adder", "code": ADDER_CODE}
    status, out, err = run_tarvik(capsys, "call", "tool_creator", "--json", json.dumps(request))
    assert (status, json.loads(out)["created"]) == (0, "adder")
    assert "(This create replaced the tool 'adder' that was saved before: its earlier code" in err


def test_a_saved_tool_is_callable_by_name_unless_switched_off(home: Path, capsys: pytest.CaptureFixture[str]) -> None:
    create_adder(capsys)
    status, out, _ = run_tarvik(capsys, "call", "custom_adder", 'args={"numbers": [4, 5]}')
    assert (status, json.loads(out)["result"]) == (0, 9)
    # The option may follow the tool's name and precede its key=value words.
    status, out, err = run_tarvik(capsys, "call", "custom_adder", "--no-register-saved", 'args={"numbers": [4]}')
    assert (status, out) == (2, "")
    assert "Unknown tool 'custom_adder'" in err and "--no-register-saved" in err


def test_a_raising_tool_exits_1_with_the_exception(home: Path, capsys: pytest.CaptureFixture[str]) -> None:
    create_adder(capsys)
    (home / ".tarvik" / "custom_tools" / "adder" / "metadata.json").write_text("{", encoding="utf-8")
    status, out, err = run_tarvik(capsys, "call", "tool_creator", "operation=info", "tool_name=adder")
    assert (status, out) == (1, "")
    assert "tool_creator raised JSONDecodeError: " in err


@pytest.mark.parametrize(
    "argv",
    [
        ["call", "tool_creator", "--json", '{"operation": "list"}', "tool_name=x"],
        ["call", "tool_creator", "--json", "[]"],
        ["call", "tool_creator", "operation"],
        ["call", "tool_creator", "a=1", "a=2"],
        ["call", "tool_creator", "operation=list", "extra=1"],
        ["call", "tool_creator", "operation=run", "tool_name=adder", "args=[1, 2]"],
        ["call", "tool_creator", "operation=run", "tool_name=adder", 'args={"numbers": [1],}'],
    ],
)
def test_call_usage_mistakes_exit_2_without_calling(
    home: Path, capsys: pytest.CaptureFixture[str], argv: list[str]
) -> None:
    status, out, err = run_tarvik(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.startswith("tarvik call: error: ")


def test_unknown_options_are_refused(home: Path, capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as exited:
        main(["call", "tool_creator", "operation=list", "--no-such-option"])
    assert exited.value.code == 2
    assert "unrecognized arguments: --no-such-option" in capsys.readouterr().err


def test_token_adds_by_two_writers_at_once_keep_every_line_whole(tmp_path: Path) -> None:
    from tarvik.tokens import read_tokens

    tokens = tmp_path / "tokens"
    script = (f"import sys\nfrom pathlib import Path\nfrom tarvik.tokens import add_token\n"
              f"for _ in range(15):\n    add_token(Path({str(tokens)!r}), sys.argv[1])\n")
    writers = [subprocess.Popen([sys.executable, "-c", script, name]) for name in ("alice", "bob")]
    assert [writer.wait(timeout=60) for writer in writers] == [0, 0]
    entries = read_tokens(tokens)
    assert sorted(entry.tenant for entry in entries) == ["alice"] * 15 + ["bob"] * 15
    assert [path.name for path in tmp_path.iterdir() if path.name.endswith(".tmp")] == []


def test_a_token_add_on_a_full_disk_leaves_the_tokens_file_whole(tmp_path: Path) -> None:
    from tarvik.tokens import add_token, read_tokens

    folder = tmp_path / "disk"
    folder.mkdir()
    with small_disk(folder):
        tokens = folder / "tokens"
        add_token(tokens, "alice")
        before = tokens.read_bytes()
        with contextlib.suppress(OSError), open(folder / "filler", "wb") as filler:
            filler.write(b"x" * (1 << 20))  # the disk is full now
        with pytest.raises(OSError):
            add_token(tokens, "bob")
        assert tokens.read_bytes() == before and [e.tenant for e in read_tokens(tokens)] == ["alice"]
        assert [path.name for path in folder.iterdir() if path.name.endswith(".tmp")] == []


def test_token_add_prints_the_token_last_and_keeps_only_its_hash_in_a_file_for_its_owner(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    tokens = tmp_path / "tokens"
    first = run_tarvik(capsys, "token", "add", "alice", "--tokens", str(tokens))
    second = run_tarvik(capsys, "token", "add", "alice", "--tokens", str(tokens))
    refused = run_tarvik(capsys, "token", "add", "../bob", "--tokens", str(tokens))
    token = first[1].splitlines()[-1]
    assert first[0] == second[0] == 0
    assert stat.S_IMODE(tokens.stat().st_mode) == 0o600
    lines = tokens.read_text().splitlines()
    assert lines[0] == f"alice {hashlib.sha256(token.encode()).hexdigest()}"
    assert len(lines) == 2 and lines[1] != lines[0] and token not in tokens.read_text()
    assert refused[0] == 2 and "'../bob' is not a tenant name" in refused[2]


@pytest.mark.parametrize(
    ("argv", "level"),
    [(["serve"], None), (["--log-level", "ERROR", "serve"], "ERROR"), (["serve", "--log-level", "INFO"], "INFO"),
     (["token", "add", "alice", "--tokens", "t", "--log-level", "DEBUG"], "DEBUG")],
)
def test_the_log_level_is_taken_before_or_after_the_command(argv: list[str], level: str | None) -> None:
    assert build_parser().parse_args(argv).log_level == level


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["serve", "--http", "0.0.0.0:8765"], "without --tokens, --http listens on loopback only"),
        (["serve", "--tokens", "tokens.txt"], "--tokens goes with --http"),
        (["serve", "--http", "::1"], "is not an address such as 127.0.0.1:8765"),
    ],
)
def test_serve_refuses_what_would_open_a_store_to_the_network(
    home: Path, capsys: pytest.CaptureFixture[str], argv: list[str], message: str
) -> None:
    with pytest.raises(SystemExit) as exited:
        main(argv)
    assert exited.value.code == 2
    assert message in capsys.readouterr().err


def test_demo_walks_through_every_step_but_delete_and_keeps_the_tool_in_the_given_home(
    home: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    demo_home = tmp_path / "demo-home"
    status, out, _ = run_tarvik(capsys, "demo", "--home", str(demo_home))
    assert status == 0, out
    kept = [step for step in STEPS if step.arguments.get("operation") != "delete"]
    for number, step in enumerate(kept, start=1):
        assert f"== {number}/{len(kept)}: {step.why}\ncall {step.tool}\n" in out
    assert f"registered tools now: tool_creator, custom_{TOOL_NAME}" in out
    assert '"longest": "extends"' in out
    assert "Deleted custom tool" not in out and f"operation=delete tool_name={TOOL_NAME}" in out
    assert out.rstrip().endswith("demo finished")
    assert (demo_home / ".tarvik" / "custom_tools" / TOOL_NAME / "tool.py").is_file()
    assert not (home / ".tarvik").exists()


def test_demo_uses_a_temporary_home_and_restores_home(home: Path, capsys: pytest.CaptureFixture[str]) -> None:
    status, out, _ = run_tarvik(capsys, "demo")
    assert status == 0, out
    assert f"== {len(STEPS)}/{len(STEPS)}: {STEPS[-1].why}" in out and f"Deleted custom tool: {TOOL_NAME}" in out
    store_line = out.splitlines()[0]
    assert "tarvik-demo-" in store_line
    assert not Path(store_line.rsplit(" ", 1)[1]).exists()
    assert not (home / ".tarvik").exists()
    assert os.environ["HOME"] == str(home)


def test_the_installed_command_runs_call_from_a_fresh_home(tmp_path: Path) -> None:
    script = Path(sys.executable).with_name("tarvik")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "tarvik.cli.main"]
    environment = {**os.environ, "HOME": str(tmp_path)}
    finished = subprocess.run(
        [*command, "call", "tool_creator", "operation=list"], capture_output=True, text=True, env=environment
    )
    assert (finished.returncode, finished.stdout) == (0, "No custom tools found. Use 'create' to make one.\n")
    assert (tmp_path / ".tarvik" / "custom_tools").is_dir()


def test_output_into_a_pipe_closed_early_ends_quietly(tmp_path: Path) -> None:
    # `tarvik call ... | head -1`: the reader leaves before the answer is printed.
    script = Path(sys.executable).with_name("tarvik")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "tarvik.cli.main"]
    read_end, write_end = os.pipe()
    os.close(read_end)
    with os.fdopen(write_end, "wb") as stdout:
        finished = subprocess.run(
            [*command, "call", "tool_creator", "operation=list"], stdout=stdout, stderr=subprocess.PIPE, text=True,
            env={**os.environ, "HOME": str(tmp_path)},
        )
    assert (finished.returncode, finished.stderr) == (141, "")


def test_dependencies_are_ranges_and_ci_pins_one_release_inside_each() -> None:
    import tomllib

    from packaging.requirements import Requirement

    checkout = Path(__file__).resolve().parents[1]
    project = tomllib.loads((checkout / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    lines = (checkout / "constraints.txt").read_text(encoding="utf-8").splitlines()
    pinned = dict(line.lower().replace("_", "-").split("==") for line in lines if line and not line.startswith("#"))
    for requirement in map(Requirement, [*project["dependencies"], *project["optional-dependencies"]["test"]]):
        # An exact pin would make pip backtrack an agent framework installed beside tarvik.
        assert {spec.operator for spec in requirement.specifier} == {">=", "<"}, requirement
        assert requirement.specifier.contains(pinned[requirement.name.lower()]), requirement
