"""How a dataset changes: commits through manifests, recovery after a
killed run, and the lock that keeps one writer at a time.

Every change to a dataset's parts is a commit. Its new parts are written
under hidden temporary names (``.part-NNNNN.parquet.tmp``); then a
manifest, ``OUT/.commits/commit-NNNNN.json``, is written under a temporary
name and renamed into place: that rename is the commit. Then the parts are
renamed to their part names, the parts that the commit replaces are
removed, and the manifest is deleted. The native engine commits this way
(``src/dataset/manifest.hpp`` describes the format), and so do the typed
pass, a resumed run's rewrite of ``_files`` and the publication of a Dask
partition.

``recover(out)`` puts a dataset that a killed process left behind in
order: it completes every manifest it finds and removes every temporary
part and staging folder, so each commit is wholly in the dataset or not at
all. Part names (``part-NNNNN.parquet``) are only ever given to committed
parts, so readers that list the folders never see uncommitted work.
"""

from __future__ import annotations

import errno
import json
import os
import re
import shutil
from typing import Iterable

COMMITS = ".commits"
STAGING = ".staging-"
FORMAT = 1
_NUMBER = re.compile(r"(?:part|commit)-(\d+)")


def is_part(name: str) -> bool:
    return name.startswith("part-") and name.endswith(".parquet")


def part_files(folder: str) -> list[str]:
    """The committed parts of one table folder, in name order."""
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return []
    return sorted(os.path.join(folder, n) for n in names if is_part(n))


def table_folders(out: str) -> list[str]:
    """Names of the folders of a dataset that hold parts (tables, _files, _errors)."""
    try:
        entries = list(os.scandir(out))
    except FileNotFoundError:
        return []
    return sorted(e.name for e in entries if not e.name.startswith(".") and e.is_dir(follow_symlinks=False))


def manifests(out: str) -> list[str]:
    folder = os.path.join(out, COMMITS)
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return []
    return sorted((os.path.join(folder, n) for n in names if n.startswith("commit-") and n.endswith(".json")),
                  key=_number_of)


def _number_of(path: str) -> int:
    m = _NUMBER.search(os.path.basename(path))
    return int(m.group(1)) if m else -1


def holds_dataset(out: str) -> bool:
    """Whether ``out`` holds committed work: a part of ``_files``, or a
    commit that recovery will complete."""
    return bool(part_files(os.path.join(out, "_files")) or manifests(out))


def first_free_number(out: str) -> int:
    """The first number that no part or manifest of ``out`` uses (temporary
    ones included), as the engine numbers them."""
    n = 0
    for folder in [*table_folders(out), COMMITS]:
        try:
            names = os.listdir(os.path.join(out, folder))
        except OSError:
            continue
        for name in names:
            for m in _NUMBER.finditer(name):
                n = max(n, int(m.group(1)) + 1)
    return n


def temp_name(table: str, number: int) -> str:
    """A temporary part's name, relative to the output folder."""
    return f"{table}/.part-{number:05}.parquet.tmp"


def final_name(table: str, number: int) -> str:
    return f"{table}/part-{number:05}.parquet"


def _apply(out: str, path: str, manifest: dict) -> None:
    for source, target in manifest.get("rename", ()):
        src, dst = os.path.join(out, source), os.path.join(out, target)
        if os.path.lexists(src):
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            os.replace(src, dst)
    for name in manifest.get("remove", ()):
        try:
            os.unlink(os.path.join(out, name))
        except FileNotFoundError:
            pass
    os.unlink(path)


def commit(out: str, renames: Iterable[tuple[str, str]] = (), removes: Iterable[str] = (),
           number: int | None = None) -> None:
    """Commits renames (temporary or staged name → part name, relative to
    ``out``) and removals of parts as one change, then applies it."""
    manifest = {"quarzel_commit": FORMAT, "rename": [list(r) for r in renames], "remove": list(removes)}
    if not manifest["rename"] and not manifest["remove"]:
        return
    folder = os.path.join(out, COMMITS)
    os.makedirs(folder, exist_ok=True)
    if number is None:
        number = first_free_number(out)
    path = os.path.join(folder, f"commit-{number:05}.json")
    temp = os.path.join(folder, f".commit-{number:05}.json.tmp")
    with open(temp, "w", encoding="utf-8", errors="surrogateescape") as f:
        json.dump(manifest, f, ensure_ascii=False)
    os.replace(temp, path)
    _apply(out, path, manifest)


def recover(out: str) -> None:
    """Completes the commits that a killed process left half done, then
    removes what no commit names: temporary parts and manifests, and the
    staging folders of Dask partitions. Needs the lock."""
    for path in manifests(out):
        try:
            with open(path, encoding="utf-8", errors="surrogateescape") as f:
                manifest = json.load(f)
        except (ValueError, OSError):
            manifest = None
        if not isinstance(manifest, dict):  # never renamed into place whole: no commit
            os.unlink(path)
            continue
        _apply(out, path, manifest)
    try:  # the text kept beside typed parts (quarzel._native_typing)
        texts = [os.path.join(".text", t) for t in os.listdir(os.path.join(out, ".text"))]
    except OSError:
        texts = []
    for folder in [*table_folders(out), COMMITS, *texts]:
        try:
            names = os.listdir(os.path.join(out, folder))
        except OSError:
            continue
        for name in names:
            if name.startswith(".") and name.endswith(".tmp"):
                os.unlink(os.path.join(out, folder, name))
    for name in os.listdir(out):
        if name.startswith(STAGING):
            shutil.rmtree(os.path.join(out, name), ignore_errors=True)


class Lock:
    """Holds ``OUT/.commits/lock`` for the life of a ``with`` block: one
    process at a time changes a dataset (a second one gets OSError EBUSY).
    Released by the system when the process ends, however it ends."""

    def __init__(self, out: str) -> None:
        self.out = out
        self.fd = -1

    def __enter__(self) -> "Lock":
        import fcntl

        folder = os.path.join(self.out, COMMITS)
        os.makedirs(folder, exist_ok=True)
        self.fd = os.open(os.path.join(folder, "lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(self.fd)
            self.fd = -1
            raise OSError(errno.EBUSY, f"{os.fsdecode(self.out)} is being written by another run") from None
        return self

    def __exit__(self, *exc: object) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
