"""Packages a tool's script declares, installed by the host into cached environments.

A script declares them with inline script metadata::

    # /// script
    # dependencies = ["python-dateutil>=2.9"]
    # ///

The host, never the sandbox, reads the block (in one pass, off the event
loop), refuses a script whose ``requires-python`` this interpreter does not
meet, holds each requirement to the operator's policy and installs the set
with uv: wheels only (no build script of any package runs on the host),
within a time limit, with uv's own configuration (``UV_INDEX_URL``,
``UV_FIND_LINKS``, ``UV_OFFLINE``, the user's ``uv.toml`` and the rest) and
the system's certificates.

uv first resolves the requirements to a set of wheels, each pinned by name,
version and hash; that set names the environment
(``~/.tarvik/packages/envs/<hash>``), so every tool whose requirements
resolve to the same wheels shares one, and two sets that differ in any wheel
never do. Exactly those wheels are installed, and each must carry its own
metadata and no other project's: a package cannot pose as another. The
environment keeps a list of its files and their hashes, checked before it is
first used. A run's supervisor binds it read-only at ``/packages``; a script
without the block costs nothing here but one ``stat`` of its file per run.
"""

from __future__ import annotations

import asyncio
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import tomllib
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

from packaging.requirements import InvalidRequirement, Requirement
from packaging.specifiers import InvalidSpecifier, SpecifierSet
from packaging.version import InvalidVersion, Version

BLOCK_MARK = "# /// script"
# The opening line of a block of inline script metadata, and its closing line.
_BLOCK_START = re.compile(r"(?m)^# /// ([a-zA-Z0-9-]+)$")
_BLOCK_END = "# ///"
_NAME = r"[A-Za-z0-9](?:[A-Za-z0-9._-]*[A-Za-z0-9])?"
# What a requirement may not hold, whatever a parser makes of it: a line break
# or another control character, an option, a comment or a line continuation,
# which mean something else to uv in a requirements file.
_UNSAFE = re.compile(r"[\x00-\x1f\x7f]|(?:^|\s)-|#|\\")
# Names uv would take for a file to install.
_ARCHIVE_SUFFIXES = (".whl", ".zip", ".tar", ".gz", ".tgz", ".bz2", ".xz", ".egg")
_MAX_REQUIREMENTS = 64
_MAX_REQUIREMENT_CHARS = 200
# How much of uv's complaint the agent is shown.
_QUOTED_LINES = 12
DEFAULT_TIMEOUT = 120.0
# The list of an environment's files and their hashes, kept inside it.
MANIFEST = ".tarvik-environment.json"


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
    try:
        return Requirement(requirement).name
    except InvalidRequirement:
        return requirement


@dataclass(frozen=True)
class ScriptMetadata:
    """What a script's ``# /// script`` block asks of the host."""

    requirements: list[str] = field(default_factory=list)
    requires_python: SpecifierSet | None = None


def script_blocks(source: str) -> list[tuple[str, str]]:
    """The ``(type, content)`` of every block of inline script metadata, as the reference
    expression ``(?m)^# /// (?P<type>[a-zA-Z0-9-]+)$\\s(?P<content>(^#(| .*)$\\s)+)^# ///$``
    finds them, in linear time rather than by backtracking over the lines.

    A block runs from its opening line to the last closing line of the comment lines that
    follow it without a break; every line but the closing one ends with a line end. The
    opening lines are found by a search without backtracking, and each run of comment lines
    after one is walked once, whatever number of opening lines it holds.
    """
    blocks = []
    run_end = -1  # where the run of comment lines walked last ends (its first other line)
    run_close = -1  # where that run's last closing line starts, or -1
    resume = 0
    for opening in _BLOCK_START.finditer(source):
        content = opening.end() + 1  # the line after the opening line
        if opening.start() < resume or source[opening.end(): content] != "\n":
            continue
        if content >= run_end:  # not within the run walked last: walk the one from here
            run_close, position = -1, content
            while position <= len(source):
                newline = source.find("\n", position)
                line = source[position: newline if newline >= 0 else len(source)]
                if not (line == "#" or line.startswith("# ")):
                    break
                if line == _BLOCK_END:
                    run_close = position
                position = newline + 1 if newline >= 0 else len(source) + 1
            run_end = position
        if run_close > content:  # at least one line of content
            blocks.append((opening.group(1), source[content:run_close]))
            resume = run_close + len(_BLOCK_END)
    return blocks


def read_metadata(source: str) -> ScriptMetadata:
    """What the script's ``# /// script`` block declares; nothing without one."""
    if BLOCK_MARK not in source:
        return ScriptMetadata()
    blocks = [content for kind, content in script_blocks(source) if kind == "script"]
    if not blocks:
        return ScriptMetadata()
    if len(blocks) > 1:
        raise PackageError("The script has more than one '# /// script' block")
    content = "".join(
        line[2:] if line.startswith("# ") else line[1:]
        for line in blocks[0].splitlines(keepends=True)
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
    requirements = sorted({_checked_requirement(requirement) for requirement in dependencies})
    return ScriptMetadata(requirements, _requires_python(metadata.get("requires-python")))


def read_requirements(source: str) -> list[str]:
    """The requirements the script's ``# /// script`` block declares; [] without one."""
    return read_metadata(source).requirements


def _checked_requirement(requirement: str) -> str:
    """The requirement, stripped, once it names a package (with extras, versions or markers),
    never a URL or a path, which would have the host fetch or read whatever the agent names."""
    text = requirement.strip()
    unsafe = _UNSAFE.search(text)
    if unsafe is not None:
        what = {"-": "an option", "#": "a comment ('#')", "\\": "a line continuation ('\\')"}.get(
            unsafe.group().strip(), "a line break or another control character"
        )
        raise PackageError(
            f"{requirement!r} in the script's dependencies holds {what}, which the host never "
            "passes on to its installer"
        )
    try:
        parsed = Requirement(text) if len(text) <= _MAX_REQUIREMENT_CHARS else None
    except InvalidRequirement:
        parsed = None
    if parsed is None or parsed.url or parsed.name.lower().endswith(_ARCHIVE_SUFFIXES):
        raise PackageError(
            f"{requirement!r} in the script's dependencies is not a requirement the host "
            "installs: name a package, with extras, versions or markers, never a URL or a path"
        )
    return text


def _requires_python(value: object) -> SpecifierSet | None:
    if value is None:
        return None
    try:
        if isinstance(value, str):
            return SpecifierSet(value)
    except InvalidSpecifier:
        pass
    raise PackageError(
        f"requires-python in the script's '# /// script' block is not a version specifier "
        f"such as '>=3.11': {value!r}"
    )


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
    # path -> (its stat, its metadata): a script is read again only once it changed.
    _scripts: dict[str, tuple[tuple[int, int, int], ScriptMetadata]] = field(default_factory=dict)
    # requirements -> the environment's folder, checked against its set in this process.
    _known: dict[tuple[str, ...], str] = field(default_factory=dict)
    _installing: dict[tuple[str, ...], asyncio.Lock] = field(default_factory=dict)
    _python_version: Version | None = None

    async def for_code(self, code: str) -> str | None:
        """The environment code that is being validated needs; None when it declares nothing.

        Raises PackageError for a script that cannot be given what its block asks for.
        """
        if BLOCK_MARK not in code:
            return None
        return await self._prepare(await asyncio.to_thread(read_metadata, code))

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
            metadata = cached[1]
        else:
            metadata = await asyncio.to_thread(_script_metadata, path)
            self._scripts[path] = (signature, metadata)
        return await self._prepare(metadata)

    async def _prepare(self, metadata: ScriptMetadata) -> str | None:
        if metadata.requires_python is not None:
            await self.check_python(metadata.requires_python)
        return await self.ensure(metadata.requirements) if metadata.requirements else None

    async def check_python(self, wanted: SpecifierSet) -> None:
        """Refuse a script whose ``requires-python`` the tools' interpreter does not meet."""
        if self._python_version is None:
            self._python_version = await asyncio.to_thread(_interpreter_version, self.python)
        if not wanted.contains(self._python_version, prereleases=True):
            raise PackageError(
                f"The script's '# /// script' block sets requires-python = '{wanted}', which "
                f"Python {self._python_version}, the one tools run on, does not meet"
            )

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
        """Resolve ``requirements`` to pinned wheels, then install exactly those, unless an
        environment of that very set is kept already."""
        uv = uv_binary()
        if uv is None:
            raise PackageError("The host cannot install packages: uv is not installed beside tarvik")
        listed = ", ".join(requirements)
        deadline = asyncio.get_running_loop().time() + self.policy.timeout
        work = Path(await asyncio.to_thread(_staging_folder, root))
        wanted, pinned, target = work / "requirements.in", work / "resolved.txt", work / "environment"
        try:
            await asyncio.to_thread(wanted.write_text, "".join(line + "\n" for line in requirements))
            await self._uv(
                [uv, "pip", "compile", "--quiet", "--no-build", "--generate-hashes", "--no-header",
                 "--no-annotate", "--python", interpreter, "--output-file", str(pinned), str(wanted)],
                root, listed, deadline,
            )
            resolved = await asyncio.to_thread(_read_resolved, pinned, listed)
            folder = root / "envs" / _environment_digest(interpreter, resolved)
            if not await asyncio.to_thread(_verified, folder, interpreter):
                if resolved:
                    # Copies, not links into uv's cache: what the environment holds is its own,
                    # and a change to either cannot reach the other.
                    await self._uv(
                        [uv, "pip", "install", "--quiet", "--no-deps", "--require-hashes",
                         "--no-build", "--compile-bytecode", "--link-mode", "copy",
                         "--target", str(target), "--python", interpreter, "-r", str(pinned)],
                        root, listed, deadline,
                    )
                await asyncio.to_thread(_keep, folder, interpreter, resolved, target, listed)
            await asyncio.to_thread(_remember, root, interpreter, requirements, folder)
            return str(folder)
        finally:
            await asyncio.to_thread(shutil.rmtree, work, True)

    async def _uv(self, command: list[str], root: Path, listed: str, deadline: float) -> None:
        """Run one uv command within what is left of the install's time limit."""
        process = await asyncio.create_subprocess_exec(
            *command, stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.STDOUT, cwd=root, env=_uv_environment(),
            start_new_session=True,
        )
        try:
            left = max(deadline - asyncio.get_running_loop().time(), 0.001)
            output, _ = await asyncio.wait_for(process.communicate(), left)
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


def _uv_environment() -> dict[str, str]:
    environment = {**os.environ, "NO_COLOR": "1", "UV_NO_PROGRESS": "1"}
    # The system's certificates, as pip takes them, rather than uv's own list: an index
    # behind a private authority or a re-signing proxy is trusted as the machine trusts it.
    # The operator's own choice stands.
    if "UV_SYSTEM_CERTS" not in environment and "UV_NATIVE_TLS" not in environment:
        environment["UV_SYSTEM_CERTS"] = "1"
    return environment


def _interpreter_version(python: str) -> Version:
    """The version of the interpreter tools run on (a release's, whatever its build adds)."""
    if os.path.realpath(python) == os.path.realpath(sys.executable):
        return Version("{}.{}.{}".format(*sys.version_info[:3]))
    try:
        found = subprocess.run(
            [python, "-I", "-c", "import sys; print('%d.%d.%d' % sys.version_info[:3])"],
            capture_output=True, text=True, timeout=30, check=True, stdin=subprocess.DEVNULL,
        )
        return Version(found.stdout.strip())
    except (OSError, subprocess.SubprocessError, InvalidVersion) as error:
        raise PackageError(
            f"The host cannot tell which Python tools run on ({python}), so it cannot check the "
            f"script's requires-python: {error}"
        ) from None


def _script_metadata(path: str) -> ScriptMetadata:
    try:
        source = Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError:
        return ScriptMetadata()
    try:
        return read_metadata(source)
    except PackageError:
        return ScriptMetadata()  # checked when it was validated; a run with a broken block fails to import


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


@dataclass(frozen=True)
class Pinned:
    """One wheel of a resolved set."""

    name: str  # normalized
    version: str
    hashes: tuple[str, ...]

    def line(self) -> str:
        return f"{self.name}=={self.version} " + " ".join(self.hashes)


def _read_resolved(path: Path, listed: str) -> list[Pinned]:
    """The set uv resolved: ``name==version`` with the hash of each wheel it may take."""
    text = path.read_text().replace("\\\n", " ")
    resolved = []
    for line in text.splitlines():
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        name, separator, version = words[0].partition("==")
        hashes = tuple(sorted(word.removeprefix("--hash=") for word in words[1:]
                              if word.startswith("--hash=")))
        if not separator or not re.fullmatch(_NAME, name) or not hashes:
            raise PackageError(
                f"The packages the script declares ({listed}) cannot be installed: uv resolved "
                f"them to {line.strip()!r}, which is not a pinned wheel"
            )
        resolved.append(Pinned(normalized_name(name), version, hashes))
    return sorted(resolved, key=lambda pinned: pinned.name)


def _environment_digest(interpreter: str, resolved: Iterable[Pinned] | Iterable[str]) -> str:
    lines = [item if isinstance(item, str) else item.line() for item in resolved]
    return hashlib.sha256("\n".join([interpreter, *lines]).encode()).hexdigest()[:32]


def _index_file(root: Path, interpreter: str, requirements: Iterable[str]) -> Path:
    digest = hashlib.sha256("\n".join([interpreter, *requirements]).encode()).hexdigest()
    return root / "index" / f"{digest[:32]}.json"


def _indexed(root: Path, interpreter: str, requirements: tuple[str, ...]) -> str | None:
    """The environment an earlier install gave these requirements, if it is still there and
    still holds exactly the set it was made of."""
    try:
        entry = json.loads(_index_file(root, interpreter, requirements).read_text())
        folder = root / "envs" / entry["environment"]
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return str(folder) if _verified(folder, interpreter) else None


def _remember(root: Path, interpreter: str, requirements: tuple[str, ...], folder: Path) -> None:
    index = _index_file(root, interpreter, requirements)
    index.parent.mkdir(parents=True, exist_ok=True)
    temporary = index.with_suffix(f".{os.getpid()}.tmp")
    temporary.write_text(json.dumps({"requirements": list(requirements), "environment": folder.name}))
    os.replace(temporary, index)


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


def _file_hashes(folder: Path) -> dict[str, str]:
    """Every file below ``folder`` but its manifest, by relative path, with its SHA-256."""
    hashes = {}
    for directory, folders, files in os.walk(folder):
        for name in sorted(files + [entry for entry in folders
                                    if os.path.islink(os.path.join(directory, entry))]):
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, folder)
            if relative in (MANIFEST, ".lock"):
                continue
            if os.path.islink(path):  # no wheel makes one
                hashes[relative] = "link:" + os.readlink(path)
                continue
            digest = hashlib.sha256()
            with open(path, "rb") as file:
                while chunk := file.read(1 << 20):
                    digest.update(chunk)
            hashes[relative] = digest.hexdigest()
    return hashes


def _verified(folder: Path, interpreter: str) -> bool:
    """Whether ``folder`` holds exactly what its manifest lists, for the set its name says."""
    try:
        manifest = json.loads((folder / MANIFEST).read_text())
        resolved, files = manifest["resolved"], manifest["files"]
        if manifest["interpreter"] != interpreter or not all(isinstance(line, str) for line in resolved):
            return False
    except (OSError, ValueError, KeyError, TypeError):
        return False
    return folder.name == _environment_digest(interpreter, resolved) and _file_hashes(folder) == files


def _metadata_name(dist_info: Path) -> str | None:
    """The ``Name`` a distribution's METADATA gives."""
    try:
        text = (dist_info / "METADATA").read_text(encoding="utf-8", errors="replace")
    except OSError:
        return None
    for line in text.splitlines():
        if not line.strip():
            break
        key, _, value = line.partition(":")
        if key.strip().lower() == "name":
            return value.strip()
    return None


def _shipped_by(target: Path, dist_info: Path, resolved: dict[str, Pinned]) -> str:
    """The resolved project whose files include ``dist_info``."""
    prefix = dist_info.name + "/"
    for other in target.glob("*.dist-info"):
        try:
            record = (other / "RECORD").read_text(encoding="utf-8", errors="replace")
        except OSError:
            continue
        if any(line.startswith(prefix) for line in record.splitlines()):
            name = normalized_name(other.name.partition("-")[0])
            if name in resolved:
                return f"{name} {resolved[name].version}"
    return "one of its packages"


def _same_version(first: str, second: str) -> bool:
    try:
        return Version(first) == Version(second)
    except InvalidVersion:
        return first == second


def _check_distributions(target: Path, resolved: list[Pinned], listed: str) -> None:
    """Each resolved wheel installed its own metadata, under its own name and version, and
    none brought another project's: a folder of metadata is what names a package here."""
    wanted = {pinned.name: pinned for pinned in resolved}
    found = set()
    problem = None
    for dist_info in sorted(target.glob("*.dist-info")):
        written, _, version = dist_info.name.removesuffix(".dist-info").partition("-")
        claimed = normalized_name(written)
        declared = _metadata_name(dist_info)
        owner = normalized_name(declared) if declared else claimed
        if owner != claimed and owner in wanted:
            problem = (f"{owner} {wanted[owner].version} installs its metadata as "
                       f"{dist_info.name}, the name of another project ({claimed})")
        elif claimed not in wanted:
            problem = (f"{_shipped_by(target, dist_info, wanted)} ships {dist_info.name}, the "
                       f"metadata of another project ({claimed})")
        elif not _same_version(version, wanted[claimed].version):
            problem = (f"{dist_info.name} is not the version of {claimed} that was resolved "
                       f"({wanted[claimed].version})")
        if problem:
            break
        found.add(claimed)
    missing = sorted(set(wanted) - found)
    if problem is None and missing:
        problem = f"{', '.join(missing)} installed no metadata under its own name"
    if problem:
        raise PackageError(
            f"The packages the script declares ({listed}) cannot be installed: {problem}; the "
            "host refuses a package that poses as another"
        )


def _keep(folder: Path, interpreter: str, resolved: list[Pinned], target: Path, listed: str) -> None:
    """Check what uv installed against the set it resolved, list its files, and keep it as
    ``folder`` (in place of a folder of that name that does not hold what it should)."""
    target.mkdir(exist_ok=True)
    _check_distributions(target, resolved, listed)
    (target / ".lock").unlink(missing_ok=True)
    manifest = {
        "interpreter": interpreter,
        "resolved": [pinned.line() for pinned in resolved],
        "installed": installed_set(target),
        "files": _file_hashes(target),
    }
    (target / MANIFEST).write_text(json.dumps(manifest, indent=1) + "\n")
    _make_readable(target)  # tools may run as another user than the host's
    if folder.exists() and not _verified(folder, interpreter):
        discarded = tempfile.mkdtemp(prefix=".discarded-", dir=folder.parent)
        os.rename(folder, os.path.join(discarded, folder.name))
        shutil.rmtree(discarded, ignore_errors=True)
    try:
        os.rename(target, folder)
    except OSError:
        if not _verified(folder, interpreter):  # another install just kept the same set
            raise


def _make_readable(folder: Path) -> None:
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


@dataclass(frozen=True)
class Pruned:
    """What `prune` did: the environments it removed, and those it could not, with why."""

    removed: list[Path]
    failed: list[tuple[Path, str]]


def prune(used_scripts: Iterable[Path], root: Path | None = None) -> Pruned:
    """Remove every environment (and index entry) that no script in ``used_scripts`` leads
    to, whatever interpreter installed it."""
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
            indexed, environment = tuple(entry["requirements"]), entry["environment"]
        except (OSError, ValueError, KeyError, TypeError):
            indexed, environment = (), None
        if indexed in used:
            kept.add(environment)
        else:
            index.unlink(missing_ok=True)
    removed, failed = [], []
    for folder in sorted((root / "envs").glob("*")):
        # A dot name is an install under way, or what one discarded.
        if not folder.is_dir() or folder.name.startswith(".") or folder.name in kept:
            continue
        try:
            shutil.rmtree(folder)
        except OSError as error:
            failed.append((folder, f"{error.strerror or error} ({error.filename or folder})"))
            continue
        Path(f"{folder}.json").unlink(missing_ok=True)  # where an older tarvik kept its set
        removed.append(folder)
    return Pruned(removed, failed)
