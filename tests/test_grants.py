"""What the operator grants tools: the packages a script declares, network hosts, and the config
file they are chosen in. Offline: wheels are built here, servers listen on 127.0.0.1."""

from __future__ import annotations

import asyncio
import base64
import hashlib
import json
import textwrap
import zipfile
from pathlib import Path
from typing import Any

import pytest

from tarvik.cli.main import build_parser, main
from tarvik.core.network_proxy import HostRule
from tarvik.core.packages import PackagePolicy
from tarvik.core.sandbox import Launcher
from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask
from tarvik.settings import settings_from, settings_from_json

DEPENDENT_TOOL = """\
# /// script
# dependencies = [{requirement!r}]
# ///
import tarvik_demo_dep

def main(args):
    try:
        open("/packages/planted", "w")
        planted = True
    except OSError:
        planted = False
    return {{"value": tarvik_demo_dep.VALUE, "from": tarvik_demo_dep.__file__, "planted": planted}}
"""


def build_wheel(folder: Path, name: str, version: str, source: str) -> None:
    """A pure-Python wheel, written as the format says: no build backend, no network."""
    dist_info = f"{name}-{version}.dist-info"
    files = {
        f"{name}/__init__.py": source,
        f"{dist_info}/METADATA": f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n",
        f"{dist_info}/WHEEL": "Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = ""
    for path, text in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=")
        record += f"{path},sha256={digest.decode()},{len(text.encode())}\n"
    files[f"{dist_info}/RECORD"] = record + f"{dist_info}/RECORD,,\n"
    folder.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(folder / f"{name}-{version}-py3-none-any.whl", "w") as wheel:
        for path, text in files.items():
            wheel.writestr(path, text)


@pytest.fixture
def wheels(home: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """uv pointed, through its own variables, at a folder of wheels and nothing else."""
    folder = tmp_path / "wheels"
    build_wheel(folder, "tarvik_demo_dep", "1.0", "VALUE = 42\n")
    monkeypatch.setenv("UV_FIND_LINKS", str(folder))
    monkeypatch.setenv("UV_NO_INDEX", "1")
    monkeypatch.setenv("UV_OFFLINE", "1")
    monkeypatch.setenv("UV_CACHE_DIR", str(tmp_path / "uv-cache"))
    return folder


def save_tool(store: Path, name: str, code: str) -> Path:
    folder = store / name
    folder.mkdir(parents=True)
    (folder / "tool.py").write_text(code)
    return folder / "tool.py"


def run(manager: SubprocessManager, script: Path, args: Any = None):
    command = {"action": "run_function", "path": str(script), "function": "main", "args": args}
    return manager.spawn(SubprocessTask(worker_type="custom", command=command, timeout=30))


async def test_declared_packages_are_installed_once_for_every_tool_with_the_same_set(
    wheels: Path, home: Path, store: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    manager = SubprocessManager(pool_size=1)
    try:
        # Two spellings, one resolved set: one environment, seen read-only.
        first = save_tool(store, "first", DEPENDENT_TOOL.format(requirement="tarvik-demo-dep>=1"))
        second = save_tool(store, "second", DEPENDENT_TOOL.format(requirement="tarvik_demo_dep"))
        results = [await run(manager, script) for script in (first, second)]
    finally:
        await manager.aclose()
    for result in results:
        assert result.error is None, result.error
        assert result.output["value"] == 42 and result.output["planted"] is False
    if Launcher.find() is not None:
        assert results[0].output["from"] == "/packages/tarvik_demo_dep/__init__.py"
    environments = [path for path in (home / ".tarvik/packages/envs").iterdir() if path.is_dir()]
    assert len(environments) == 1

    assert main(["packages", "show", "first"]) == 0
    assert f"environment: {environments[0]}\n  tarvik-demo-dep==1.0" in capsys.readouterr().out
    first.unlink()
    second.unlink()
    assert main(["packages", "prune"]) == 0
    assert not environments[0].exists()


@pytest.mark.parametrize(
    ("dependencies", "policy", "complaint"),
    [
        (["tarvik-no-such-package"], "allow", "(tarvik-no-such-package) cannot be installed: "),
        (["tarvik-demo-dep>=2"], "allow", "you require tarvik-demo-dep>=2"),
        (["tarvik-demo-dep"], "refuse", "gives tools none (--packages refuse)"),
        (["tarvik-demo-dep"], "numpy,httpx", "'tarvik-demo-dep', which is not among the packages "
                                            "the operator allows tools (--packages httpx,numpy)"),
        (["tarvik-demo-dep @ file:///etc"], "allow", "never a URL or a path"),
        ("tarvik-demo-dep", "allow", "must be a list of strings"),
    ],
    ids=["unknown", "no matching version", "refused", "not listed", "a URL", "not a list"],
)
async def test_a_script_whose_packages_cannot_be_had_is_refused_at_create(
    wheels: Path, tc: Any, store: Path, dependencies: Any, policy: str, complaint: str
) -> None:
    manager = SubprocessManager(pool_size=1, packages=PackagePolicy.parse(policy))
    creator = tc.ToolCreatorTool(manager, None)
    code = f"# /// script\n# dependencies = {dependencies!r}\n# ///\ndef main(args):\n    return {{}}\n"
    try:
        text = await creator.execute(operation="create", tool_name="needy", description="", code=code)
    finally:
        await manager.aclose()
    assert text.startswith("[ERROR] Invalid code: ") and complaint in text, text
    assert not (store / "needy").exists()


@pytest.mark.skipif(Launcher.find() is None, reason="tarvik-sandbox is not installed")
@pytest.mark.parametrize("pool_size", [1, 0], ids=["pool", "fresh"])
async def test_only_allowed_hosts_are_reached_and_only_through_the_proxy(
    tmp_path: Path, pool_size: int
) -> None:
    async def answer(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        request = await reader.readuntil(b"\r\n\r\n")
        body = request.split(b" ")[1]
        writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body))
        await writer.drain()
        writer.close()

    allowed, refused = [await asyncio.start_server(answer, "127.0.0.1", 0) for _ in range(2)]
    port, other = (server.sockets[0].getsockname()[1] for server in (allowed, refused))
    manager = SubprocessManager(pool_size=pool_size, allowed_hosts=[f"127.0.0.1:{port}"])
    tool = tmp_path / "tool.py"
    tool.write_text(textwrap.dedent(
        """
        import http.client, socket, urllib.request
        def main(args):
            plain = urllib.request.urlopen(f"http://127.0.0.1:{args['port']}/plain", timeout=10)
            tunnel = http.client.HTTPConnection("127.0.0.1", 3128, timeout=10)  # as HTTPS goes: CONNECT
            tunnel.set_tunnel("127.0.0.1", args["port"])
            tunnel.request("GET", "/tunnelled")
            try:
                socket.create_connection(("127.0.0.1", args["port"]), timeout=5)
                direct = "connected"
            except OSError as error:
                direct = type(error).__name__
            found = [plain.read().decode(), tunnel.getresponse().read().decode(), direct]
            if args.get("other"):
                urllib.request.urlopen(f"http://127.0.0.1:{args['other']}/", timeout=10)
            return found
        """
    ))
    try:
        reached = await run(manager, tool, {"port": port})
        stopped = await run(manager, tool, {"port": port, "other": other})
    finally:
        await manager.aclose()
        for server in (allowed, refused):
            server.close()
    assert reached.error is None, reached.error
    assert reached.output[:2] == ["/plain", "/tunnelled"] and reached.output[2] != "connected"
    assert (f"HTTP Error 403: tarvik: 127.0.0.1:{other} is not a host tools may reach; the "
            f"operator allows it with --allow-host 127.0.0.1:{other}") in stopped.error


@pytest.mark.parametrize(
    ("rule", "host", "port", "allowed"),
    [
        ("api.example.com", "api.example.com", 443, True),
        ("api.example.com", "api.example.com", 8443, False),
        ("*.example.com", "a.b.example.com", 80, True),
        ("*.example.com", "example.com", 443, False),
        ("*.example.com", "badexample.com", 443, False),
        ("example.com:8443", "example.com", 8443, True),
        ("[::1]:8080", "::1", 8080, True),
    ],
)
def test_host_rules(rule: str, host: str, port: int, allowed: bool) -> None:
    assert HostRule.parse(rule).matches(host, port) is allowed


@pytest.mark.parametrize(
    ("config", "options", "complaint"),
    [
        ('memory = "lots"', [], 'memory = "lots": a size such as 64M, 1G or 1048576 is allowed'),
        ("max-processes = 0", [], "max-processes = 0: a whole number of at least 1 is allowed"),
        ('allow-host = ["https://api.example.com/"]', [],
         "'https://api.example.com/' is not a host such as api.example.com, *.example.com"),
        ('tool-env = ["HOME"]', [], "'HOME' is set by the sandbox itself"),
        ("packages = 3", [], "packages = 3: not allow, refuse, or package names; allowed are"),
        ('memmory = "1G"', [], "unknown key 'memmory'; the keys are max-processes, memory,"),
        ('isolation = "never"', [], 'isolation = "never": tool or call is allowed'),
        ("max-connections = 0", [], "max-connections = 0: a whole number of at least 1 is allowed"),
        ("", ["--allow-host", "a b"], "argument --allow-host: 'a b': 'a b' is not a host"),
    ],
)
def test_a_bad_choice_is_refused_at_start(
    home: Path, capsys: pytest.CaptureFixture[str], config: str, options: list[str], complaint: str
) -> None:
    (home / ".tarvik").mkdir()
    (home / ".tarvik" / "config.toml").write_text(config + "\n")
    try:
        status = main(["sandbox", *options])
    except SystemExit as refusal:  # argparse's own
        status = refusal.code
    assert status == 2
    assert complaint in capsys.readouterr().err


def test_options_win_over_the_config_file(home: Path, tmp_path: Path) -> None:
    config = tmp_path / "tarvik.toml"
    config.write_text(
        'memory = "512M"\nallow-host = "api.example.com"\ntool-env = ["API_KEY"]\n'
        'packages = ["numpy"]\nregister-saved = false\nisolation = "call"\nwarm-tools = 2\ntime-limit = 20\n'
        'http = 8767\nmax-connections = 50\nstore-quota = "10M"\n'
    )
    args = build_parser().parse_args(["serve", "--config", str(config), "--memory", "256M",
                                      "--packages", "refuse", "--tool-env", "OTHER_KEY", "--time-limit", "5"])
    settings = settings_from(args)
    manager = settings.subprocess_manager()
    assert (manager.isolation, manager.warm_tools, manager.time_limit) == ("call", 2, 5.0)
    assert settings.http is not None and (settings.http.host, settings.http.port) == ("127.0.0.1", 8767)
    assert (settings.http.max_connections, settings.store_quota) == (50, 10 << 20)
    assert settings.limits.memory == 256 << 20
    assert settings.packages.mode == "refuse"
    assert settings.tool_env == ("OTHER_KEY",)
    assert settings.allowed_hosts == ("api.example.com",)
    assert settings.register_saved is False
    # A tenant's process gets all of them as JSON, and nothing of any file.
    assert settings_from_json(json.dumps(settings.choices()), "the front") == settings
