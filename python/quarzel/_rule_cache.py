"""Compiled rule sets kept on disk between processes.

A `quarzel validate` process spends most of its time compiling the
dictionary (DDL1 and DDLm in Python, the DDLm core with its imports); the
rule text that compilation produces is kept in the user's cache folder
(``$XDG_CACHE_HOME/quarzel/rules``, else ``~/.cache/quarzel/rules``) and
read back by the next process. ``QUARZEL_NO_CACHE=1`` turns it off.

An entry is named by the dictionaries asked for (absolute paths, search
paths, profile) and holds what was read to make it: every file (the
dictionaries and the files their imports named) with its size, mtime and
the SHA-256 of the text compiled, and the candidates of an import search
that did not exist. It is used only when this build of quarzel wrote it,
every file still holds the same text (size and mtime as a fast check, the
text's hash when they differ) and no missing candidate has appeared. An
entry that is unreadable, corrupt, stale or from another build is ignored
and replaced; writing goes to a temporary name in the same folder, then
renamed, so readers never see half an entry. A cache that cannot be
written is no error: the rules are compiled as without one.
"""

from __future__ import annotations

import _thread
import marshal
import os
import time
import zlib

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Sequence

FORMAT = 2
# An entry's file: this line, the CRC-32 of the rest (4 bytes, big-endian),
# and the entry itself in marshal's format, which reads back with no module
# to load (JSON's would cost a short run more than its checks take).
MAGIC = b"quarzel rule cache\n"
SUFFIX = ".rules"
# A file whose mtime is this close to the moment it was recorded may still
# change within the same mtime tick without changing its size: its stamp is
# not trusted, and its text is hashed again when the entry is used.
RACY_SECONDS = 2.0
# Entries kept: the most recently used; older ones are removed as new ones
# are written (a test suite's temporary dictionaries would pile up else).
KEEP = 32

_local = _thread._local()  # threading.local, without loading threading
_build: str | None = None


def enabled() -> bool:
    return os.environ.get("QUARZEL_NO_CACHE", "") in ("", "0")


def folder() -> str:
    base = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(base):  # XDG: a relative path is ignored
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "quarzel", "rules")


def _stat(path: str) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_size)


def _digest(text: str) -> str:
    import hashlib  # loads OpenSSL: only when a text is to be hashed

    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def _check(text: str) -> str:
    """A cheap check of a kept text's integrity (zlib is loaded anyway)."""
    data = text.encode("utf-8", "surrogatepass")
    return f"{len(data)}:{zlib.crc32(data):08x}:{zlib.adler32(data):08x}"


def build() -> str:
    """This build of quarzel: its version and the size and mtime of every
    module and extension that reads or compiles dictionaries (a rebuilt
    extension or an edited module makes earlier entries stale)."""
    global _build
    if _build is None:
        import importlib.util

        from . import __version__

        here = os.path.dirname(os.path.abspath(__file__))
        files = sorted(os.path.join(here, n) for n in os.listdir(here) if n.endswith(".py"))
        for name in ("quarzel._native", "quarzel._validate_native", "quarzel_core"):
            found = importlib.util.find_spec(name)
            if found is not None and found.origin:
                files.append(found.origin)
        _build = "\n".join([__version__] + [f"{p}:{_stat(p)}" for p in files])
    return _build


# ---- recording what a compilation reads ----

class _Record:
    def __init__(self) -> None:
        self.files: dict[str, list] = {}  # path -> [mtime_ns, size, sha256, trusted]
        self.absent: set[str] = set()


def read_text(path: str, read: Callable[[str], str]) -> str:
    """`read(path)`, noted (stamp taken before reading, hash of the text
    read) when a compilation is being recorded on this thread."""
    record = getattr(_local, "record", None)
    if record is None:
        return read(path)
    stamp = _stat(path)
    text = read(path)
    if stamp is not None:
        trusted = time.time() - stamp[0] / 1e9 > RACY_SECONDS
        record.files[os.path.abspath(path)] = [stamp[0], stamp[1], _digest(text), trusted]
    else:  # read though it cannot be stat'ed: no entry can be trusted
        record.files[os.path.abspath(path)] = [None, None, _digest(text), False]
    return text


def note_absent(path: str) -> None:
    """A candidate an import search looked for and did not find."""
    record = getattr(_local, "record", None)
    if record is not None:
        record.absent.add(os.path.abspath(path))


# ---- entries ----

def _entry_path(sources: Sequence[tuple[str, list[str]]], profile: str | None) -> str:
    # Two keys of one name (a 64-bit checksum) would only take turns: the
    # entry names its sources in full, and another's is not used.
    key = repr([FORMAT, [[p, list(s)] for p, s in sources], profile]).encode(
        "utf-8", "surrogatepass")
    return os.path.join(folder(), f"{zlib.crc32(key):08x}{zlib.adler32(key):08x}{SUFFIX}")


def read_entry(path: str) -> Any:
    """What an entry's file holds; ValueError when it is not an entry
    whole as written."""
    with open(path, "rb") as f:
        data = f.read()
    head = len(MAGIC) + 4
    body = data[head:]
    if (not data.startswith(MAGIC)
            or int.from_bytes(data[len(MAGIC):head], "big") != zlib.crc32(body)):
        raise ValueError(f"{path}: not a rule cache entry")
    try:
        return marshal.loads(body)
    except (EOFError, TypeError) as e:
        raise ValueError(f"{path}: {e}") from None


def _entry_bytes(entry: dict) -> bytes:
    body = marshal.dumps(entry)
    return MAGIC + zlib.crc32(body).to_bytes(4, "big") + body


def _current(files: dict, absent: list) -> tuple[bool, bool]:
    """(still valid, stamps to refresh) for an entry's files."""
    from ._files import read_source

    refresh = False
    for path, (mtime, size, digest, trusted) in files.items():
        if trusted and _stat(path) == (mtime, size):
            continue
        try:
            text = read_source(path).text
        except OSError:
            return False, False
        if _digest(text) != digest:
            return False, False
        refresh = True
    for path in absent:
        if os.path.isfile(path):
            return False, False
    return True, refresh


def load(sources: Sequence[tuple[str, list[str]]], profile: str | None) -> dict | None:
    """The entry for `sources` and `profile` when it is there and current,
    else None (never an error)."""
    if not enabled():
        return None
    path = _entry_path(sources, profile)
    try:
        entry = read_entry(path)
        if (entry.get("format") != FORMAT or entry.get("build") != build()
                or entry.get("sources") != [[p, list(s)] for p, s in sources]
                or entry.get("profile") != profile):
            return None
        text = entry["text"]
        if not isinstance(text, str) or _check(text) != entry["text_check"]:
            return None
        ok, refresh = _current(entry["files"], entry["absent"])
        if not ok:
            return None
        if not isinstance(entry["ddls"], list) or not isinstance(entry["has_scopes"], bool):
            return None
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None
    if refresh:
        _restamp(path, entry)
    else:
        try:
            os.utime(path)  # used: kept longest when old entries are removed
        except OSError:
            pass
    return entry


def _restamp(path: str, entry: dict) -> None:
    now = time.time()
    for name, item in entry["files"].items():
        stamp = _stat(name)
        if stamp is not None:
            item[0], item[1] = stamp
            item[3] = now - stamp[0] / 1e9 > RACY_SECONDS
    _write(path, entry)


def _write(path: str, entry: dict) -> None:
    import tempfile

    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = _entry_bytes(entry)
        fd, tmp = tempfile.mkstemp(prefix=".tmp-", suffix=SUFFIX, dir=os.path.dirname(path))
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            os.replace(tmp, path)
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            raise
        _prune(os.path.dirname(path))
    except (OSError, ValueError):  # no cache then; nothing else is lost
        pass


def _prune(where: str) -> None:
    """Removes all but the KEEP most recently used entries, and temporary
    files an interrupted writer left an hour ago or more."""
    entries = []
    now = time.time()
    for e in os.scandir(where):
        try:
            mtime = e.stat().st_mtime
        except OSError:
            continue
        if e.name.startswith(".tmp-"):
            if now - mtime > 3600:
                _unlink(e.path)
        elif e.name.endswith((SUFFIX, ".json")):  # .json: the entries of format 1
            entries.append((mtime, e.path))
    entries.sort(reverse=True)
    for _mtime, old in entries[KEEP:]:
        _unlink(old)


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def compiled(sources: Sequence[tuple[str, list[str]]], profile: str | None,
             make: Callable[[], tuple[str, list[str], bool]],
             finish: Callable[[str, list[str], bool], Any]) -> Any:
    """`finish(text, ddls, has_scopes)` of the rule text: the kept one when
    it is current and `finish` takes it without ValueError, else the one
    `make()` gives, kept once `finish` has taken it."""
    entry = load(sources, profile)
    if entry is not None:
        try:
            return finish(entry["text"], entry["ddls"], entry["has_scopes"])
        except ValueError:
            pass  # made afresh below, and replaced
    if not enabled():
        return finish(*make())
    outer = getattr(_local, "record", None)
    record = _local.record = _Record()
    try:
        text, ddls, has_scopes = make()
    finally:
        _local.record = outer
    if outer is not None:  # a compilation within one being recorded: both read these
        outer.files.update(record.files)
        outer.absent |= record.absent
    result = finish(text, ddls, has_scopes)
    _write(_entry_path(sources, profile), {
        "format": FORMAT, "build": build(), "sources": [[p, list(s)] for p, s in sources],
        "profile": profile, "files": record.files, "absent": sorted(record.absent),
        "ddls": ddls, "has_scopes": has_scopes, "text": text, "text_check": _check(text)})
    return result
