"""Packages a tool's script declares, installed by the host into cached environments.

A script declares them with inline script metadata::

    # /// script
    # dependencies = ["python-dateutil>=2.9"]
    # ///

The host, never the sandbox, reads the block, holds each requirement to the
operator's policy and installs the set with uv: wheels only (no build script
of any package runs on the host), within a time limit, with uv's own
configuration (``UV_INDEX_URL``, ``UV_FIND_LINKS``, ``UV_OFFLINE``, the
user's ``uv.toml`` and the rest). What uv installed names the environment
(``~/.tarvik/packages/envs/<hash>``), so every tool whose requirements
resolve to the same set shares one. A run's supervisor binds it read-only
at ``/packages``; a script without the block costs nothing here but one
``stat`` of its file per run.
"""

from __future__ import annotations

import asyncio
import hashlib
import json
import os
import re
import shutil
import stat
import tempfile
import tomllib
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

BLOCK_MARK = "# /// script"
# The reference expression of inline script metadata.
_BLOCK = re.compile(r"(?m)^# /// (?P<type>[a-zA-Z0-9-]+)$\s(?P<content>(^#(| .*)$\s)+)^# ///$")
# A package by name, with extras, versions and markers; never a URL or a path,
# which would have the host fetch or read whatever the agent names.
_NAME = r"[A-Za-z0-9](?:[A-Za-z0-9._-]*[A-Za-z0-9])?"
_VERSION = r"(?:===|~=|==|!=|<=|>=|<|>)\s*[A-Za-z0-9.*+!_-]+"
_REQUIREMENT = re.compile(
    rf"(?P<name>{_NAME})\s*(?:\[\s*{_NAME}(?:\s*,\s*{_NAME})*\s*\])?"
    rf"\s*(?:\(?\s*{_VERSION}(?:\s*,\s*{_VERSION})*\s*\)?)?"
    r"\s*(?:;[A-Za-z0-9_.<>=!~'\"\s()-]+)?"
)
# Names uv would take for a file to install.
_ARCHIVE_SUFFIXES = (".whl", ".zip", ".tar", ".gz", ".tgz", ".bz2", ".xz", ".egg")
_MAX_REQUIREMENTS = 64
_MAX_REQUIREMENT_CHARS = 200
# How much of uv's complaint the agent is shown.
_QUOTED_LINES = 12
DEFAULT_TIMEOUT = 120.0


class PackageError(Exception):
    """Why a script's packages cannot be had: which package, and why."""


def normalized_name(name: str) -> str:
    """A project name as package indexes compare them (PEP 503)."""
    return re.sub(r"[-_.]+", "-", name).lower()


@dataclass(frozen=True)
class PackagePolicy:
    """What the operator allows: ``allow`` any package, ``refuse`` all, or ``only`` ``names``."""

    mode: str = "allow"
    names: frozenset[str] = frozenset()
    timeout: float = DEFAULT_TIMEOUT

    @classmethod
    def parse(cls, value: str | Iterable[str], timeout: float = DEFAULT_TIMEOUT) -> PackagePolicy:
        """From ``"allow"``, ``"refuse"``, or names (a list, or one text separated by commas)."""
        if isinstance(value, str) and value.strip() in ("allow", "refuse"):
            return cls(value.strip(), frozenset(), timeout)
        names = value.split(",") if isinstance(value, str) else value
        if not isinstance(names, list | tuple | frozenset | set) or not names or not all(
            isinstance(name, str) for name in names
        ):
            raise ValueError("not allow, refuse, or package names")
        cleaned = [name.strip() for name in names]
        for name in cleaned:
            if not re.fullmatch(_NAME, name):
                raise ValueError(f"{name!r} is not a package name")
        return cls("only", frozenset(map(normalized_name, cleaned)), timeout)

    def describe(self) -> str:
        """The option that sets this policy."""
        if self.mode != "only":
            return f"--packages {self.mode}"
        return "--packages " + ",".join(sorted(self.names))

    def check(self, requirements: list[str]) -> None:
        if self.mode == "refuse":
            raise PackageError(
                f"The script declares packages ({', '.join(requirements)}), but the operator "
                f"gives tools none ({self.describe()})"
            )
        if self.mode == "only":
            for requirement in requirements:
                name = requirement_name(requirement)
                if normalized_name(name) not in self.names:
                    raise PackageError(
                        f"The script declares {name!r}, which is not among the packages the "
                        f"operator allows tools ({self.describe()})"
                    )


def requirement_name(requirement: str) -> str:
    match = _REQUIREMENT.fullmatch(requirement.strip())
    return match.group("name") if match else requirement


def read_requirements(source: str) -> list[str]:
    """The requirements the script's ``# /// script`` block declares; [] without one."""
    if BLOCK_MARK not in source:
        return []
    blocks = [match for match in _BLOCK.finditer(source) if match.group("type") == "script"]
    if not blocks:
        return []
    if len(blocks) > 1:
        raise PackageError("The script has more than one '# /// script' block")
    content = "".join(
        line[2:] if line.startswith("# ") else line[1:]
        for line in blocks[0].group("content").splitlines(keepends=True)
    )
    try:
        metadata = tomllib.loads(content)
    except tomllib.TOMLDecodeError as error:
        raise PackageError(f"The script's '# /// script' block is not valid TOML: {error}") from None
    dependencies = metadata.get("dependencies", [])
    if not isinstance(dependencies, list) or not all(isinstance(item, str) for item in dependencies):
        raise PackageError(
            "'dependencies' in the script's '# /// script' block must be a list of strings"
        )
    if len(dependencies) > _MAX_REQUIREMENTS:
        raise PackageError(f"The script declares more than {_MAX_REQUIREMENTS} packages")
    requirements = []
    for requirement in dependencies:
        text = requirement.strip()
        match = _REQUIREMENT.fullmatch(text)
        if (
            len(text) > _MAX_REQUIREMENT_CHARS
            or match is None
            or match.group("name").lower().endswith(_ARCHIVE_SUFFIXES)
        ):
            raise PackageError(
                f"{requirement!r} in the script's dependencies is not a requirement the host "
                "installs: name a package, with extras, versions or markers, never a URL or a path"
            )
        requirements.append(text)
    return sorted(set(requirements))


def packages_root() -> Path:
    """Where the environments are kept: beside the tool store, so HOME moves both."""
    return Path.home() / ".tarvik" / "packages"


def uv_binary() -> str | None:
    """The uv installed with tarvik, else one on PATH."""
    try:
        from uv import find_uv_bin

        return find_uv_bin()
    except (ImportError, FileNotFoundError):
        return shutil.which("uv")


@dataclass
class Environments:
    """The cached environments of one interpreter, and what each script needs of them."""

    policy: PackagePolicy
    python: str
    root: Path | None = None
    # path -> (its stat, its requirements): a script is read again only once it changed.
    _scripts: dict[str, tuple[tuple[int, int, int], list[str]]] = field(default_factory=dict)
    # requirements -> the environment's folder.
    _known: dict[tuple[str, ...], str] = field(default_factory=dict)
    _installing: dict[tuple[str, ...], asyncio.Lock] = field(default_factory=dict)

    async def for_code(self, code: str) -> str | None:
        """The environment code that is being validated needs; None when it declares nothing."""
        if BLOCK_MARK not in code:
            return None
        requirements = read_requirements(code)
        return await self.ensure(requirements) if requirements else None

    async def for_script(self, path: str) -> str | None:
        """The environment the script at ``path`` needs for a run; None when it declares nothing.

        An unreadable script needs none: its run fails with the usual text.
        """
        try:
            info = os.stat(path)  # the one cost of a run that declares nothing
        except (OSError, ValueError):
            return None
        signature = (info.st_mtime_ns, info.st_size, info.st_ino)
        cached = self._scripts.get(path)
        if cached is not None and cached[0] == signature:
            requirements = cached[1]
        else:
            requirements = await asyncio.to_thread(_script_requirements, path)
            self._scripts[path] = (signature, requirements)
        return await self.ensure(requirements) if requirements else None

    async def ensure(self, requirements: list[str]) -> str:
        """The folder of the environment for ``requirements``, installed when first needed."""
        self.policy.check(requirements)
        wanted = tuple(requirements)
        known = self._known.get(wanted)
        if known is not None and os.path.isdir(known):  # `tarvik packages prune` may have run
            return known
        self._known.pop(wanted, None)
        # One install per set at a time; whoever waited finds it done.
        lock = self._installing.setdefault(wanted, asyncio.Lock())
        try:
            async with lock:
                known = self._known.get(wanted)
                if known is None:
                    root = self.root or packages_root()
                    interpreter = await asyncio.to_thread(os.path.realpath, self.python)
                    known = await asyncio.to_thread(_indexed, root, interpreter, wanted)
                    if known is None:
                        try:
                            known = await self._install(root, interpreter, wanted)
                        except OSError as error:
                            raise PackageError(
                                f"The host cannot install the script's packages in {root}: {error}"
                            ) from None
                    self._known[wanted] = known
        finally:
            if not lock.locked():
                self._installing.pop(wanted, None)
        return known

    async def _install(self, root: Path, interpreter: str, requirements: tuple[str, ...]) -> str:
        uv = uv_binary()
        if uv is None:
            raise PackageError("The host cannot install packages: uv is not installed beside tarvik")
        staging = await asyncio.to_thread(_staging_folder, root)
        environment = {**os.environ, "NO_COLOR": "1", "UV_NO_PROGRESS": "1"}
        listed = ", ".join(requirements)
        try:
            process = await asyncio.create_subprocess_exec(
                uv, "pip", "install", "--quiet", "--no-build", "--compile-bytecode", "--target", staging,
                "--python", interpreter, "--", *requirements,
                stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.STDOUT, cwd=root, env=environment,
                start_new_session=True,
            )
            try:
                output, _ = await asyncio.wait_for(process.communicate(), self.policy.timeout)
            except TimeoutError:
                process.kill()
                await process.wait()
                raise PackageError(
                    f"Installing the packages the script declares ({listed}) took longer than "
                    f"{self.policy.timeout:g} s; the operator sets the limit with --package-timeout"
                ) from None
            except asyncio.CancelledError:
                process.kill()
                await asyncio.shield(process.wait())
                raise
            if process.returncode != 0:
                raise PackageError(
                    f"The packages the script declares ({listed}) cannot be installed: "
                    + _complaint(output.decode("utf-8", "replace"))
                )
            return await asyncio.to_thread(_keep, root, interpreter, requirements, staging)
        finally:
            await asyncio.to_thread(shutil.rmtree, staging, True)


def _script_requirements(path: str) -> list[str]:
    try:
        source = Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError:
        return []
    try:
        return read_requirements(source)
    except PackageError:
        return []  # checked when it was validated; a run with a broken block fails to import


def _complaint(output: str) -> str:
    """uv's error, its cause and its hint, as one paragraph."""
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    lines = [line for line in lines if not line.startswith("Using ")][-_QUOTED_LINES:]
    text = ""
    for line in lines:
        kind, _, rest = line.partition(": ")
        if kind == "error":
            text += rest.rstrip(".") + ":"
        elif kind == "hint":
            text += f" ({rest})"
        else:
            text += " " + (rest if kind == "cause" else line)
    return text.strip() or "uv failed without saying why"


def _index_file(root: Path, interpreter: str, requirements: Iterable[str]) -> Path:
    digest = hashlib.sha256("\n".join([interpreter, *requirements]).encode()).hexdigest()
    return root / "index" / f"{digest[:32]}.json"


def _indexed(root: Path, interpreter: str, requirements: tuple[str, ...]) -> str | None:
    """The environment an earlier install gave these requirements, if it is still there."""
    try:
        entry = json.loads(_index_file(root, interpreter, requirements).read_text())
        folder = root / "envs" / entry["environment"]
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return str(folder) if folder.is_dir() else None


def _staging_folder(root: Path) -> str:
    (root / "envs").mkdir(parents=True, exist_ok=True)
    return tempfile.mkdtemp(prefix=".staging-", dir=root / "envs")


def installed_set(folder: str | Path) -> list[str]:
    """``name==version`` of every distribution in an environment's folder."""
    found = []
    for entry in Path(folder).glob("*.dist-info"):
        name, _, version = entry.name.removesuffix(".dist-info").partition("-")
        found.append(f"{normalized_name(name)}=={version}")
    return sorted(found)


def _keep(root: Path, interpreter: str, requirements: tuple[str, ...], staging: str) -> str:
    """Name what uv installed by its content, keep it (unless an equal one is kept already), and
    remember it for these requirements."""
    Path(staging, ".lock").unlink(missing_ok=True)
    installed = installed_set(staging)
    digest = hashlib.sha256("\n".join([interpreter, *installed]).encode()).hexdigest()[:32]
    folder = root / "envs" / digest
    if not folder.is_dir():
        _make_readable(staging)  # tools may run as another user than the host's
        try:
            os.rename(staging, folder)
        except OSError:
            if not folder.is_dir():
                raise
    meta = {"interpreter": interpreter, "installed": installed}
    Path(f"{folder}.json").write_text(json.dumps(meta, indent=2) + "\n")
    index = _index_file(root, interpreter, requirements)
    index.parent.mkdir(parents=True, exist_ok=True)
    temporary = index.with_suffix(f".{os.getpid()}.tmp")
    temporary.write_text(json.dumps({"requirements": list(requirements), "environment": digest}))
    os.replace(temporary, index)
    return str(folder)


def _make_readable(folder: str) -> None:
    for directory, _, files in os.walk(folder):
        os.chmod(directory, os.stat(directory).st_mode | 0o555)
        for name in files:
            path = os.path.join(directory, name)
            mode = os.lstat(path).st_mode
            if stat.S_ISREG(mode):
                os.chmod(path, mode | 0o444 | (0o111 if mode & 0o100 else 0))
    os.chmod(folder, 0o755)


# --- the operator's view ---------------------------------------------------------


@dataclass(frozen=True)
class ToolEnvironment:
    """What `tarvik packages show` tells of one tool."""

    requirements: list[str]
    folder: str | None
    installed: list[str]


def describe_tool(script: Path, python: str, root: Path | None = None) -> ToolEnvironment:
    """The tool's declared requirements and the environment an install gave them, if any."""
    requirements = read_requirements(script.read_text(encoding="utf-8", errors="replace"))
    if not requirements:
        return ToolEnvironment([], None, [])
    folder = _indexed(root or packages_root(), os.path.realpath(python), tuple(requirements))
    return ToolEnvironment(requirements, folder, installed_set(folder) if folder else [])


def prune(used_scripts: Iterable[Path], root: Path | None = None) -> list[Path]:
    """Remove every environment (and index entry) that no script in ``used_scripts`` leads
    to, whatever interpreter installed it; returns the environments removed."""
    root = root or packages_root()
    used = set()
    for script in used_scripts:
        try:
            requirements = read_requirements(script.read_text(encoding="utf-8", errors="replace"))
        except (OSError, PackageError):
            continue
        if requirements:
            used.add(tuple(requirements))
    kept = set()
    for index in sorted((root / "index").glob("*.json")):
        try:
            entry = json.loads(index.read_text())
            requirements, environment = tuple(entry["requirements"]), entry["environment"]
        except (OSError, ValueError, KeyError, TypeError):
            requirements, environment = (), None
        if requirements in used:
            kept.add(environment)
        else:
            index.unlink(missing_ok=True)
    removed = []
    for folder in sorted((root / "envs").glob("*")):
        # A staging folder (a dot name) is an install under way.
        if folder.is_dir() and not folder.name.startswith(".") and folder.name not in kept:
            shutil.rmtree(folder, ignore_errors=True)
            Path(f"{folder}.json").unlink(missing_ok=True)
            removed.append(folder)
    return removed
