"""What the operator grants tools: the packages a script declares, network hosts, and the config
file they are chosen in. Offline: wheels are built here, servers listen on 127.0.0.1."""

from __future__ import annotations

import asyncio
import base64
import datetime
import errno
import functools
import hashlib
import http.server
import ipaddress
import json
import os
import re
import shutil
import socket
import ssl
import sys
import textwrap
import threading
import zipfile
from pathlib import Path
from typing import Any

import pytest
from conftest import needs_launcher
from hypothesis import given
from hypothesis import strategies as st

from tarvik.cli.main import build_parser, main
from tarvik.core import packages
from tarvik.core.network_proxy import HostRule, NetworkProxy
from tarvik.core.packages import PackagePolicy, script_blocks
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


def build_wheel(
    folder: Path, name: str, version: str, source: str, *, module: str | None = None,
    dist_info: str | None = None, extra: dict[str, str] | None = None,
) -> None:
    """A pure-Python wheel, written as the format says: no build backend, no network.

    ``module`` (the project's name by default) holds ``source``; ``dist_info`` names the folder
    of its metadata, and ``extra`` adds files, as a hostile wheel may.
    """
    dist_info = dist_info or f"{name}-{version}.dist-info"
    files = {
        f"{module or name}/__init__.py": source,
        f"{dist_info}/METADATA": f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n",
        f"{dist_info}/WHEEL": "Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
        **(extra or {}),
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
    ("block", "policy", "complaint"),
    [
        ('dependencies = ["tarvik-no-such-package"]', "allow",
         "(tarvik-no-such-package) cannot be installed: "),
        ('dependencies = ["tarvik-demo-dep>=2"]', "allow", "you require tarvik-demo-dep>=2"),
        ('dependencies = ["tarvik-demo-dep"]', "refuse", "gives tools none (--packages refuse)"),
        ('dependencies = ["tarvik-demo-dep"]', "numpy,httpx", "'tarvik-demo-dep', which is not "
         "among the packages the operator allows tools (--packages httpx,numpy)"),
        ('dependencies = ["tarvik-demo-dep @ file:///etc"]', "allow", "never a URL or a path"),
        ('dependencies = "tarvik-demo-dep"', "allow", "must be a list of strings"),
        # What a requirements file would read as a line of its own, or as an option.
        ('dependencies = ["tarvik-demo-dep\\n--index-url=http://127.0.0.1:9/"]', "allow",
         "holds a line break or another control character, which the host never passes on"),
        ("""dependencies = ["tarvik-demo-dep; python_version != ' --index-url=http://127.0.0.1:9/'"]""",
         "allow", "holds an option, which the host never passes on to its installer"),
        ('requires-python = ">=4"', "allow",
         "The script's '# /// script' block sets requires-python = '>=4', which Python 3."),
        ('requires-python = "three"', "allow", "requires-python in the script's '# /// script' "
         "block is not a version specifier such as '>=3.11': 'three'"),
    ],
    ids=["unknown", "no matching version", "refused", "not listed", "a URL", "not a list",
         "a line break", "an option in a marker", "requires-python unmet", "requires-python bad"],
)
async def test_a_script_whose_packages_cannot_be_had_is_refused_at_create(
    wheels: Path, tc: Any, store: Path, block: str, policy: str, complaint: str
) -> None:
    manager = SubprocessManager(pool_size=1, packages=PackagePolicy.parse(policy))
    creator = tc.ToolCreatorTool(manager, None)
    code = f"# /// script\n# {block}\n# ///\ndef main(args):\n    return {{}}\n"
    try:
        text = await creator.execute(operation="create", tool_name="needy", description="", code=code)
    finally:
        await manager.aclose()
    assert text.startswith("[ERROR] Invalid code: ") and complaint in text, text
    assert not (store / "needy").exists()


POSING_TOOL = """\
# /// script
# dependencies = [{requirement!r}]
# ///
import tarvik_pose_target

def main(args):
    return tarvik_pose_target.VALUE
"""


@pytest.mark.parametrize("attack", ["its metadata under another name", "another's metadata too"])
async def test_a_package_cannot_pose_as_another(
    wheels: Path, tc: Any, home: Path, store: Path, attack: str
) -> None:
    build_wheel(wheels, "tarvik_pose_target", "1.0", "VALUE = 'genuine'\n")
    if attack == "its metadata under another name":
        # The installer checks only that the folder's name starts with the project's.
        build_wheel(wheels, "tarvik_pose", "1.0", "VALUE = 'poser'\n", module="tarvik_pose_target",
                    dist_info="tarvik_pose_target-1.0.dist-info")
    else:
        data = "tarvik_pose-1.0.data/purelib"
        build_wheel(wheels, "tarvik_pose", "1.0", "", extra={
            f"{data}/tarvik_pose_target/__init__.py": "VALUE = 'poser'\n",
            f"{data}/tarvik_pose_target-1.0.dist-info/METADATA":
                "Metadata-Version: 2.1\nName: tarvik_pose_target\nVersion: 1.0\n",
        })
    manager = SubprocessManager(pool_size=1)
    creator = tc.ToolCreatorTool(manager, None)
    try:
        posing = await creator.execute(operation="create", tool_name="posing", description="",
                                       code=POSING_TOOL.format(requirement="tarvik-pose"))
        honest = await creator.execute(operation="create", tool_name="honest", description="",
                                       code=POSING_TOOL.format(requirement="tarvik-pose-target"))
        result = await run(manager, store / "honest" / "tool.py")
    finally:
        await manager.aclose()
    assert posing.startswith("[ERROR] Invalid code: ") and (
        "the host refuses a package that poses as another" in posing), posing
    assert "tarvik-pose 1.0" in posing and "tarvik_pose_target-1.0.dist-info" in posing
    assert not (store / "posing").exists() and not honest.startswith("[ERROR]"), honest
    assert result.error is None and result.output == "genuine", result.error
    # Nothing of the refused install is kept: one environment, the honest one's.
    kept = list((home / ".tarvik/packages/envs").iterdir())
    assert len(kept) == 1 and (kept[0] / "tarvik_pose_target-1.0.dist-info").is_dir(), kept


async def test_an_environment_that_does_not_hold_its_set_is_not_used(
    wheels: Path, home: Path, store: Path
) -> None:
    script = save_tool(store, "dependent", DEPENDENT_TOOL.format(requirement="tarvik-demo-dep"))
    manager = SubprocessManager(pool_size=1)
    try:
        first = await run(manager, script)
    finally:
        await manager.aclose()
    (environment,) = (home / ".tarvik/packages/envs").iterdir()
    planted = environment / "tarvik_demo_dep" / "__init__.py"
    planted.write_text("VALUE = 'planted'\n")
    manager = SubprocessManager(pool_size=1)  # a host started afresh finds the folder on disk
    try:
        second = await run(manager, script)
    finally:
        await manager.aclose()
    assert first.error is None and second.error is None, (first.error, second.error)
    assert first.output["value"] == second.output["value"] == 42
    assert planted.read_text() == "VALUE = 42\n"  # installed again, in its own place


def test_prune_reports_only_what_it_removed(
    home: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    envs = home / ".tarvik/packages/envs"
    removable, stuck = envs / ("a" * 32), envs / ("b" * 32)
    for folder in (removable, stuck):
        folder.mkdir(parents=True)
        (folder / "module.py").write_text("")
    (stuck / "pinned").write_text("")
    unlink = os.unlink

    def failing_unlink(path: Any, *args: Any, **kwargs: Any) -> None:
        if os.fsdecode(path).endswith("pinned"):  # the one file the disk will not let go
            raise PermissionError(errno.EPERM, "Operation not permitted", path)
        unlink(path, *args, **kwargs)

    monkeypatch.setattr(os, "unlink", failing_unlink)
    status = main(["packages", "prune"])
    out, err = capsys.readouterr()
    assert status == 1
    assert f"removed {removable}\n" in out and str(stuck) not in out
    assert f"1 unused environment(s) removed from {envs}; 1 could not be removed" in out
    assert f"tarvik packages: error: cannot remove {stuck}: Operation not permitted" in err
    assert not removable.exists() and (stuck / "pinned").exists()


def certificate_authority(folder: Path) -> tuple[Path, Path, Path]:
    """A certificate authority of the test's own, and a server certificate for 127.0.0.1 it
    signed: (the authority's PEM, the server's PEM, the server's key)."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = datetime.datetime.now(datetime.UTC)
    keys = [ec.generate_private_key(ec.SECP256R1()) for _ in range(2)]
    names = [x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
             for name in ("tarvik test authority", "127.0.0.1")]
    made = []
    for index, extensions in enumerate([
        [(x509.BasicConstraints(ca=True, path_length=0), True),
         (x509.KeyUsage(False, False, False, False, False, True, True, False, False), True)],
        [(x509.BasicConstraints(ca=False, path_length=None), True),
         (x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False),
         (x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False)],
    ]):
        builder = (x509.CertificateBuilder().subject_name(names[index]).issuer_name(names[0])
                   .public_key(keys[index].public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(hours=1))
                   .not_valid_after(now + datetime.timedelta(days=1)))
        for extension, critical in extensions:
            builder = builder.add_extension(extension, critical)
        made.append(builder.sign(keys[0], hashes.SHA256()))
    authority, server, key = folder / "authority.pem", folder / "server.pem", folder / "server.key"
    authority.write_bytes(made[0].public_bytes(serialization.Encoding.PEM))
    server.write_bytes(made[1].public_bytes(serialization.Encoding.PEM))
    key.write_bytes(keys[1].private_bytes(serialization.Encoding.PEM,
                                          serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
    return authority, server, key


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None
                    or not Path("/etc/ssl/certs").is_dir(),
                    reason="needs root, unshare and /etc/ssl/certs to give uv a system store of the test's own")
async def test_packages_come_from_an_index_the_system_trusts(
    home: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    pytest.importorskip("cryptography")
    index = tmp_path / "index"
    build_wheel(index / "simple" / "tarvik-demo-dep", "tarvik_demo_dep", "1.0", "VALUE = 42\n")
    authority, certificate, key = certificate_authority(tmp_path)
    # The system's store, as uv sees it: the test's authority alone, bound over the machine's.
    store = tmp_path / "system-certs"
    store.mkdir()
    shutil.copy(authority, store / "ca-certificates.crt")
    wrapper = tmp_path / "uv"
    wrapper.write_text(
        "#!/bin/sh\nexec unshare --mount sh -c 'mount --bind \"$0\" /etc/ssl/certs && exec \"$@\"' "
        f"{store} {packages.uv_binary()} \"$@\"\n"
    )
    wrapper.chmod(0o755)
    monkeypatch.setattr(packages, "uv_binary", lambda: str(wrapper))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(index))
    )
    server.socket = context.wrap_socket(server.socket, server_side=True)
    serving = threading.Thread(target=server.serve_forever, daemon=True)
    serving.start()
    for name in ("SSL_CERT_FILE", "SSL_CERT_DIR", "UV_SYSTEM_CERTS", "UV_NATIVE_TLS",
                 "UV_FIND_LINKS", "UV_OFFLINE", "UV_NO_INDEX", "UV_EXTRA_INDEX_URL"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("UV_INDEX_URL", f"https://127.0.0.1:{server.server_address[1]}/simple/")
    monkeypatch.setenv("UV_CACHE_DIR", str(tmp_path / "uv-cache"))
    code = "# /// script\n# dependencies = ['tarvik-demo-dep']\n# ///\ndef main(args):\n    return {}\n"
    try:
        folder = await packages.Environments(PackagePolicy(), sys.executable).for_code(code)
    finally:
        server.shutdown()
        server.server_close()
        serving.join()
    assert folder is not None and (Path(folder) / "tarvik_demo_dep" / "__init__.py").is_file()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:
        pass


REFERENCE_BLOCK = re.compile(r"(?m)^# /// (?P<type>[a-zA-Z0-9-]+)$\s(?P<content>(^#(| .*)$\s)+)^# ///$")


@given(
    st.lists(st.sampled_from(["# /// script", "# /// other", "# ///", "#", "# a = 1", "#a", "",
                              "x = 1", "# /// script\r", "# ///\r", "# /// "]), max_size=14),
    st.booleans(),
)
def test_the_block_reader_finds_what_the_reference_expression_finds(
    lines: list[str], line_end: bool
) -> None:
    source = "\n".join(lines) + ("\n" if line_end else "")
    expected = [(match["type"], match["content"]) for match in REFERENCE_BLOCK.finditer(source)]
    assert script_blocks(source) == expected


async def test_a_long_script_is_read_off_the_event_loop(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    readers = []
    read_metadata = packages.read_metadata

    def reading(source: str) -> Any:
        readers.append(threading.get_ident())
        return read_metadata(source)

    monkeypatch.setattr(packages, "read_metadata", reading)
    # 78 KB of opening lines: seconds of backtracking for the reference expression.
    code = "# /// script\n" * 6000 + "def main(args):\n    return {}\n"
    script = tmp_path / "tool.py"
    script.write_text(code)
    environments = packages.Environments(PackagePolicy(), sys.executable)
    assert await environments.for_code(code) is None
    assert await environments.for_script(str(script)) is None
    assert len(readers) == 2 and threading.get_ident() not in readers


@needs_launcher()
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


@needs_launcher()
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


@needs_launcher()
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
        ('isolation = "never"', [], 'isolation = "never": tool or call is allowed'),
        ("max-connections = 0", [], "max-connections = 0: a whole number of at least 1 is allowed"),
        ("call-log-days = 0", [], "call-log-days = 0: a number of days above 0 is allowed"),
        ('ui-address = "127.0.0.1:99999"', [], "is not an address such as 127.0.0.1:8766, [::1]:8766 or 8766"),
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
