"""The inputs of an archive conversion: files, folders and glob patterns
expanded, each real file once.

Folders are searched recursively and ``**`` in a pattern matches any
depth, but neither goes into a symbolic link to a folder (as ``find`` and
``os.walk`` do not), so a link that points back up the tree cannot make a
loop; links to files are followed. Inputs are told apart by their real
path (absolute, links and ``.``/``..`` resolved, as ``os.path.realpath``
gives it): ``d/a.cif``, ``./d/a.cif``, ``/abs/d/a.cif`` and a link to it
are one input, kept where it first appears. A folder that cannot be
listed becomes an input that is recorded as failed with the reason.

The real path is also what the dataset's ``_file`` column says of an
input (``file_name``): a name that is not valid UTF-8 has each byte that
does not decode written as Python shows it after ``os.fsdecode``, byte
0xE9 as the six characters ``\\udce9``.
"""

from __future__ import annotations

import os
import stat

from ._records import record

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterable

SUFFIXES = (".cif", ".mmcif", ".dic", ".bcif")
COMPRESSED = ("", ".gz", ".bz2", ".xz")


# A record rather than typing's NamedTuple (see _files.SourceText).
Input = record("Input", [
    "path",  # as given, or as found in a folder
    "real",  # its real path: what tells inputs apart
    "failure",  # why it is recorded as failed without being read (or None)
], (None,))


_ENDINGS = tuple(s + c for s in SUFFIXES for c in COMPRESSED)


def is_cif_name(name: str) -> bool:
    return name.lower().endswith(_ENDINGS)


def file_name(real: str) -> str:
    """The ``_file`` of an input whose real path is ``real`` (``real``
    itself when it is valid UTF-8)."""
    if real.isascii():
        return real
    try:
        real.encode("utf-8")
        return real
    except UnicodeEncodeError:
        return real.encode("utf-8", "backslashreplace").decode("utf-8")


def os_path(real: str) -> str | bytes:
    """A path that the native engine can open: str when it is UTF-8, else bytes."""
    return real if file_name(real) is real else os.fsencode(real)


def engine_inputs(entries: list[Input], names: list[str]) -> tuple[list[str | bytes], list[str] | None,
                                                                  list[str] | None]:
    """What the native engine takes for the entries named ``names`` (their
    ``file_name``): the paths to open, the names when any differs from its
    path, and the reasons of the inputs recorded as failed, when any."""
    paths: list[str | bytes] = [n if n is e.real else os.fsencode(e.real) for e, n in zip(entries, names)]
    same = all(n is e.real for e, n in zip(entries, names))
    failures = [e.failure or "" for e in entries]
    return paths, None if same else names, failures if any(failures) else None


def input_path(name: str) -> str:
    """The path (a str for ``open``) of an input named ``name`` in ``_file``:
    the inverse of ``file_name``."""
    if "\\udc" not in name:
        return name
    import re

    return re.sub(r"\\udc([89a-f][0-9a-f])", lambda m: chr(0xDC00 + int(m.group(1), 16)), name)


class _Reals:
    """Real paths of paths, one look-up of each folder."""

    def __init__(self) -> None:
        self.folders: dict[str, str] = {}

    def folder(self, path: str) -> str:
        real = self.folders.get(path)
        if real is None:
            real = self.folders[path] = os.path.realpath(path or ".")
        return real

    def __call__(self, path: str) -> str:
        head, tail = os.path.split(path)
        if tail in ("", ".", ".."):
            return os.path.realpath(path)
        try:
            if stat.S_ISLNK(os.lstat(path).st_mode):
                return os.path.realpath(path)
        except OSError:
            pass
        return os.path.join(self.folder(head), tail)


def _entries(folder: str) -> list[os.DirEntry[str]]:
    with os.scandir(folder or ".") as it:
        return list(it)


def _listing_failure(e: OSError) -> str:
    return f"cannot list the folder: {e.strerror or e}"


def walk(top: str, real_top: str, out: list[Input]) -> None:
    """The CIF files under a folder, in name order; folders that cannot be
    listed as failed inputs. Links to folders are not followed."""
    found: list[tuple[str, str, str | None]] = []
    stack = [(top, real_top)]
    endings = _ENDINGS
    while stack:
        path, real = stack.pop()
        try:
            entries = _entries(path)
        except OSError as e:
            found.append((path, real, _listing_failure(e)))
            continue
        real_prefix = real if real.endswith("/") else real + "/"
        for e in entries:
            name = e.name
            try:
                if e.is_dir(follow_symlinks=False):
                    stack.append((e.path, real_prefix + name))
                elif not name.lower().endswith(endings):
                    continue
                elif not e.is_symlink():
                    found.append((e.path, real_prefix + name, None))
                elif not e.is_dir():  # a link to a file
                    found.append((e.path, os.path.realpath(e.path), None))
            except OSError:
                continue
    found.sort()
    new = tuple.__new__
    out.extend([new(Input, f) for f in found])


def _hidden(name: str) -> bool:
    return name.startswith(".")


def _below(base: str, failures: list[Input], reals: _Reals) -> list[str]:
    """``base`` and every folder below it that is not hidden, not going into
    links to folders (the folders that ``**`` matches)."""
    out = [base]
    stack = [base]
    while stack:
        folder = stack.pop()
        try:
            entries = _entries(folder)
        except OSError as e:
            failures.append(Input(folder, reals(folder), _listing_failure(e)))
            continue
        for e in entries:
            try:
                if not _hidden(e.name) and e.is_dir(follow_symlinks=False):
                    path = os.path.join(folder, e.name)
                    out.append(path)
                    stack.append(path)
            except OSError:
                continue
    return out


def _has_magic(s: str | bytes) -> bool:
    """A wildcard in `s`, as glob.has_magic finds one (without loading glob
    and re, which most command lines do not need)."""
    marks = ("*", "?", "[") if isinstance(s, str) else (b"*", b"?", b"[")
    return any(c in s for c in marks)


def glob_paths(pattern: str, failures: list[Input], reals: _Reals) -> list[str]:
    """The paths a pattern matches, as ``glob.glob(pattern, recursive=True)``
    matches them (wildcards skip hidden names unless the pattern's part
    starts with a dot), except that ``**`` does not go into links to
    folders; sorted."""
    absolute = pattern.startswith("/")
    parts = [p for p in pattern.split("/") if p]
    only_folders = pattern.endswith("/")
    bases = ["/" if absolute else ""]
    for k, part in enumerate(parts):
        last = k == len(parts) - 1
        seen: set[str] = set()
        nxt: list[str] = []

        def add(p: str) -> None:
            if p not in seen:
                seen.add(p)
                nxt.append(p)

        for base in bases:
            if part == "**":
                for folder in _below(base, failures, reals):
                    add(folder)
                    if last and not only_folders:
                        try:
                            for e in _entries(folder):
                                if not _hidden(e.name) and not e.is_dir(follow_symlinks=False):
                                    add(os.path.join(folder, e.name))
                        except OSError:
                            pass
            elif _has_magic(part):
                import fnmatch  # with re: loaded only for a pattern

                try:
                    entries = _entries(base)
                except OSError:
                    continue
                for e in entries:
                    if _hidden(e.name) and not part.startswith("."):
                        continue
                    if fnmatch.fnmatchcase(e.name, part) and (last and not only_folders or e.is_dir()):
                        add(os.path.join(base, e.name))
            else:
                p = os.path.join(base, part)
                if (os.path.isdir(p) if not last or only_folders else os.path.lexists(p)):
                    add(p)
        bases = nxt
    return sorted(b for b in bases if b)


def collect(inputs: Iterable[str | os.PathLike[str]], expand: bool = True) -> list[Input]:
    """Every input once, in order of first appearance: files as given,
    folders searched for CIF files, glob patterns expanded (a folder they
    match is searched too, unless its name is that of a CIF file)."""
    reals = _Reals()
    out: list[Input] = []
    seen: set[str] = set()

    def add(item: Input) -> None:
        if item.real not in seen:
            seen.add(item.real)
            out.append(item)

    def add_folder(path: str) -> None:
        found: list[Input] = []
        walk(path, os.path.realpath(path), found)
        for item in found:
            if item.real not in seen:
                seen.add(item.real)
                out.append(item)

    for item in inputs:
        path = os.fspath(item)
        if not expand:
            add(Input(path, reals(path)))
        elif os.path.isdir(path):
            add_folder(path)
        elif not os.path.lexists(path) and _has_magic(path):
            failures: list[Input] = []
            for match in glob_paths(path, failures, reals):
                if os.path.isdir(match) and not is_cif_name(match):
                    add_folder(match)
                else:
                    add(Input(match, reals(match)))
            for failure in failures:
                add(failure)
        else:
            add(Input(path, reals(path)))
    return out
