"""What the operator grants tools: the packages a script declares, network hosts, and the config
file they are chosen in. Offline: wheels are built here, servers listen on 127.0.0.1."""

from __future__ import annotations

import asyncio
import base64
import hashlib
import os
import socket
import textwrap
import zipfile
from pathlib import Path
from typing import Any

import pytest

from tarvik.cli.main import build_parser, main
from tarvik.core.network_proxy import HostRule, NetworkProxy
from tarvik.core.packages import PackagePolicy
from tarvik.core.sandbox import Launcher
from tarvik.core.subprocess_manager import SubprocessManager, SubprocessTask
from tarvik.settings import settings_from

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


def held_connections(port: int) -> int:
    """Sockets this process holds that lead to ``port`` on this machine, as the kernel lists them."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as lines:
            for line in list(lines)[1:]:
                fields = line.split()
                if int(fields[2].rsplit(":", 1)[1], 16) == port:
                    inodes.add(f"socket:[{fields[9]}]")
    held = 0
    for descriptor in os.listdir("/proc/self/fd"):
        try:
            held += os.readlink(f"/proc/self/fd/{descriptor}") in inodes
        except OSError:
            pass
    return held


async def until(condition: Any, limit: float = 10.0) -> bool:
    """Whether ``condition()`` came true within ``limit`` seconds (a bound, not a target)."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + limit
    while not condition() and loop.time() < deadline:
        await asyncio.sleep(0.05)
    return bool(condition())


def own_address() -> str | None:
    """The address this machine sends from, read without the code under test."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("203.0.113.1", 9))  # no datagram leaves: a route is looked up
        except OSError:
            return None
        return probe.getsockname()[0]


@pytest.mark.skipif(Launcher.find() is None, reason="tarvik-sandbox is not installed")
async def test_a_name_cannot_lead_a_tool_inside_the_host_or_its_networks(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    requests = {}

    async def answer(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        requests[writer.get_extra_info("sockname")[1]] = await reader.readuntil(b"\r\n\r\n")
        writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        writer.close()

    # A local service no one granted, and one the operator granted by its address.
    ungranted, granted = [await asyncio.start_server(answer, "127.0.0.1", 0) for _ in range(2)]
    port, granted_port = (server.sockets[0].getsockname()[1] for server in (ungranted, granted))
    # What a hostile name server answers for names under a granted wildcard.
    inside = {
        "mapped": "::ffff:127.0.0.1", "mapped-any": "::ffff:0.0.0.0", "compatible": "::127.0.0.1",
        "nat64": "64:ff9b::7f00:1", "any": "0.0.0.0", "private": "10.1.2.3",
        "shared": "100.64.0.1", "metadata": "169.254.169.254", "metadata-nat64": "64:ff9b::a9fe:a9fe",
        "unique-local": "fd00::1", "multicast": "224.0.0.1", "broadcast": "255.255.255.255",
    }
    if own_address() is not None:
        inside["own"] = own_address()
    answers = {f"{label}.example.test": [address] for label, address in inside.items()}
    answers["granted.example.test"] = ["::ffff:127.0.0.1"]
    dialled = []

    async def resolve(proxy: NetworkProxy, host: str, port: int) -> list[str]:
        return answers[host]

    async def open_only_loopback(proxy: NetworkProxy, address: str, port: int) -> Any:
        dialled.append((address, port))
        if address != "127.0.0.1":  # should a check fail, nothing leaves this machine
            raise OSError(f"the test dials nothing but 127.0.0.1, not {address}")
        return await asyncio.open_connection(address, port)

    monkeypatch.setattr(NetworkProxy, "_resolve", resolve)
    monkeypatch.setattr(NetworkProxy, "_open", open_only_loopback)
    manager = SubprocessManager(pool_size=1, allowed_hosts=[
        f"*.example.test:{port}", f"*.example.test:{granted_port}", f"127.0.0.1:{granted_port}",
    ])
    tool = tmp_path / "tool.py"
    tool.write_text(textwrap.dedent(
        """
        import urllib.error, urllib.request
        def main(args):
            seen = {}
            for name, port in args["targets"]:
                try:
                    urllib.request.urlopen(f"http://{name}:{port}/", timeout=10)
                    seen[name] = "reached"
                except urllib.error.HTTPError as error:
                    seen[name] = f"{error.code} {error.reason}"
            return seen
        """
    ))
    targets = [[name, granted_port if name.startswith("granted") else port] for name in answers]
    try:
        result = await run(manager, tool, {"targets": targets})
    finally:
        await manager.aclose()
        for server in (ungranted, granted):
            server.close()
    assert result.error is None, result.error
    for label, address in inside.items():
        assert result.output[f"{label}.example.test"].startswith(
            f"403 tarvik: {label}.example.test resolves only to addresses of this machine or its "
            "networks"
        ), (label, address, result.output[f"{label}.example.test"])
    # The operator's grant of an address holds, in whatever form a name gives it.
    assert result.output["granted.example.test"] == "reached"
    assert dialled == [("127.0.0.1", granted_port)] and list(requests) == [granted_port]


@pytest.mark.skipif(Launcher.find() is None, reason="tarvik-sandbox is not installed")
async def test_tunnels_end_with_the_call(tmp_path: Path) -> None:
    accepted = []

    async def silent(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        accepted.append(writer)  # never answers, never closes

    server = await asyncio.start_server(silent, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    manager = SubprocessManager(pool_size=1, allowed_hosts=[f"127.0.0.1:{port}"])
    tool = tmp_path / "tool.py"
    tool.write_text(textwrap.dedent(
        """
        import http.client
        def main(args):
            tunnels = []
            for _ in range(20):
                tunnel = http.client.HTTPConnection("127.0.0.1", 3128, timeout=10)
                tunnel.set_tunnel("127.0.0.1", args["port"])
                tunnel.connect()  # CONNECT answered: the tunnel is open
                tunnels.append(tunnel)
            return len(tunnels)
        """
    ))
    try:
        result = await run(manager, tool, {"port": port})
        assert result.error is None and result.output == 20, result.error
        assert len(accepted) == 20
        # The call is over: the host lets go of every upstream connection.
        assert await until(lambda: held_connections(port) == 0), held_connections(port)
    finally:
        await manager.aclose()
        for writer in accepted:
            writer.close()
        server.close()


async def test_a_tunnel_that_carries_nothing_is_closed(tmp_path: Path) -> None:
    accepted = []

    async def silent(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        accepted.append(writer)

    server = await asyncio.start_server(silent, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    proxy = NetworkProxy([HostRule.parse(f"127.0.0.1:{port}")], temp_root=str(tmp_path),
                         idle_timeout=0.5)
    reader, writer = await asyncio.open_unix_connection(await proxy.start())
    try:
        writer.write(f"CONNECT 127.0.0.1:{port} HTTP/1.1\r\n\r\n".encode())
        assert await reader.readuntil(b"\r\n\r\n") == b"HTTP/1.1 200 Connection established\r\n\r\n"
        # The task keeps its side open and says nothing; so does the server.
        assert await asyncio.wait_for(reader.read(), 10) == b""
        assert len(accepted) == 1 and await until(lambda: held_connections(port) == 0)
    finally:
        writer.close()
        await proxy.aclose()
        for upstream in accepted:
            upstream.close()
        server.close()


@pytest.mark.parametrize(
    ("rule", "host", "port", "allowed"),
    [
        ("api.example.com", "api.example.com", 443, True),
        ("api.example.com", "api.example.com", 8443, False),
        ("*.example.com", "a.b.example.com", 80, True),
        ("*.example.com", "example.com", 443, False),
        ("*.example.com", "badexample.com", 443, False),
        ("*.example.com", "127.0.0.1", 443, False),
        ("example.com:8443", "example.com", 8443, True),
        ("[::1]:8080", "::1", 8080, True),
        ("[::ffff:127.0.0.1]:8080", "127.0.0.1", 8080, True),
        ("10.0.0.0/8:8080", "10.1.2.3", 8080, True),
        ("10.0.0.0/8", "10.1.2.3", 8080, False),
        ("10.0.0.0/8", "ten.example.com", 443, False),
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
        ("", ["--allow-host", "a b"], "argument --allow-host: 'a b': 'a b' is not a host"),
        # A wildcard over numbers would match what the resolver reads as an address.
        ("", ["--allow-host", "*.0.1"], "argument --allow-host: '*.0.1': '*.0.1' is not a host"),
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
        'packages = ["numpy"]\nregister-saved = false\n'
    )
    args = build_parser().parse_args(["serve", "--config", str(config), "--memory", "256M",
                                      "--packages", "refuse", "--tool-env", "OTHER_KEY"])
    settings = settings_from(args)
    assert settings.limits.memory == 256 << 20
    assert settings.packages.mode == "refuse"
    assert settings.tool_env == ("OTHER_KEY",)
    assert settings.allowed_hosts == ("api.example.com",)
    assert settings.register_saved is False
    # A tenant's process gets all of them on its command line, and nothing of any file.
    again = settings_from(build_parser().parse_args(["serve", *settings.as_arguments()]))
    assert again == settings
