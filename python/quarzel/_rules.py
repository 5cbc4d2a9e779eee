"""Compiling dictionaries into the native checker's rule set, once per
dictionary (or list of them) and profile.

A list of dictionaries compiles into one rule set: later ones extend the
earlier ones and override what they define again, as an extension
dictionary does (PDBx and ModelCIF, a core dictionary and a local one).
"""

from __future__ import annotations

import _thread
import os
import sys

from . import _rule_cache
from ._files import describe, read_source
from ._records import record

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Sequence

PROFILES = (None, "deposition")


# A record rather than typing's NamedTuple (see _files.SourceText).
CompiledRules = record("CompiledRules", [
    "native",  # the capsule quarzel._validate_native.compile_rules made
    "labels",  # "name version" per dictionary, by index (list of str)
    "problems",  # findings about the dictionaries themselves (list of tuples)
    "ddls",  # "DDL1", "DDL2" or "DDLm" per dictionary
    "paths",  # list of str
    "has_scopes",  # DDLm _dictionary_valid rules (a DDL dictionary)
    "text",  # the rule set as text, for the archive workers
], doc="""A rule set in the native checker and what findings need about it.""")


_cache: dict[tuple, CompiledRules] = {}
_lock = _thread.allocate_lock()
_CACHE_LIMIT = 16


def _error(message: str) -> Exception:
    # quarzel.dictionary is loaded where it is needed: a run whose rules are
    # cached reads no dictionary.
    from .dictionary import DictionaryError

    return DictionaryError(message)


def _read_text(path: str) -> str:
    try:
        return _rule_cache.read_text(path, lambda p: read_source(p).text)
    except OSError as e:
        raise _error(f"{path}: cannot read: {describe(e)}") from e


def _blocks(text: str) -> list:
    import quarzel_core

    cif, _errors = quarzel_core.parse_cif(text)
    return [cif[name] for name in cif.blocks]


def _sources(dictionary: Any) -> list[tuple[str, list[str]]]:
    """(path, search paths) of each dictionary named by `dictionary`: a
    path, a Dictionary, or a list of them."""
    items = dictionary if isinstance(dictionary, (list, tuple)) else [dictionary]
    if not items:
        raise _error("no dictionary given")
    # No Dictionary exists before quarzel.dictionary is loaded.
    loaded = sys.modules.get(__package__ + ".dictionary")
    dictionary_class = loaded.Dictionary if loaded is not None else None
    out: list[tuple[str, list[str]]] = []
    for d in items:
        if dictionary_class is not None and isinstance(d, dictionary_class):
            paths = getattr(d, "paths", None) or [d.path]
            out += [(p, list(d.search_paths)) for p in paths]
        elif isinstance(d, (str, os.PathLike)):
            out.append((os.path.abspath(os.fspath(d)), []))
        else:
            raise TypeError(f"expected a Dictionary or a path, not {type(d).__name__}")
    return out


def _stamp(path: str) -> tuple:
    try:
        st = os.stat(path)
    except OSError:
        return (path, None, None)
    return (path, st.st_mtime_ns, st.st_size)


def compile_rules(dictionary: Any, profile: str | None = None) -> CompiledRules:
    """The rule set of `dictionary` (a path, a Dictionary or a list of
    them) for `profile`; compiled once and kept while the files stay as
    they were."""
    if profile not in PROFILES:
        raise ValueError(f"unknown profile {profile!r} (expected None or 'deposition')")
    sources = _sources(dictionary)
    key = (tuple((_stamp(p), tuple(s)) for p, s in sources), profile)
    with _lock:
        found = _cache.get(key)
    if found is not None:
        return found
    compiled = _compile(sources, profile)
    with _lock:
        if len(_cache) >= _CACHE_LIMIT:
            _cache.pop(next(iter(_cache)))
        _cache[key] = compiled
    return compiled


def _compile(sources: Sequence[tuple[str, list[str]]], profile: str | None) -> CompiledRules:
    """The rule set, its text kept on disk between processes."""
    return _rule_cache.compiled(
        sources, profile, lambda: _rule_text(sources, profile),
        lambda text, ddls, has_scopes: _finish(sources, text, ddls, has_scopes))


def _finish(sources: Sequence[tuple[str, list[str]]], text: str, ddls: list[str],
            has_scopes: bool) -> CompiledRules:
    from . import _validate_native as _native

    try:
        native = _native.compile_rules(text)
    except ValueError as e:  # a fault of the compiler, not of the dictionaries
        names = ", ".join(p for p, _ in sources)
        raise _error(f"{names}: rules could not be compiled: {e}") from e
    labels, problems, _count = _native.rules_info(native)
    return CompiledRules(native, labels, problems, ddls, [p for p, _ in sources], has_scopes, text)


def _rule_text(sources: Sequence[tuple[str, list[str]]],
               profile: str | None) -> tuple[str, list[str], bool]:
    """(rule text, DDL per dictionary, whether DDLm scope rules are in it)."""
    from . import _validate_native as _native
    from ._rules_ddl1 import compile_ddl1, is_ddl1
    from ._rules_ddlm import compile_ddlm, is_ddlm
    from ._rules_text import RuleWriter
    from .dictionary import DictionaryError

    w = RuleWriter()
    ddls: list[str] = []
    text = None
    for path, search_paths in sources:
        source = _read_text(path)
        # DDL2 dictionaries (PDBx has over 7,000 definitions) compile natively.
        ddl2 = _native.compile_ddl2(source, os.path.basename(path), profile == "deposition")
        if ddl2 is not None:
            ddls.append("DDL2")
            if len(sources) == 1:
                text = ddl2
            else:
                w.absorb(ddl2)
            if "\nitem\t" not in ddl2:
                raise DictionaryError(f"{path}: not a dictionary (no item definitions found)")
            continue
        blocks = _blocks(source)
        if is_ddlm(blocks):
            compile_ddlm(w, path, blocks, search_paths)
            ddls.append("DDLm")
        elif is_ddl1(blocks):
            compile_ddl1(w, path, blocks)
            ddls.append("DDL1")
        else:
            raise DictionaryError(f"{path}: not a dictionary (no definitions found)")
        if not w.items:
            raise DictionaryError(f"{path}: not a dictionary (no item definitions found)")
    # Names with a bracketed prefix (_[local]_..., _[cod]_...) are local or
    # private: reported as such, never checked.
    local = "local\tprefix=_[\n"
    if text is not None:
        text += local
    else:
        w.local("_[")
        text = w.text()
    return text, ddls, bool(w.scopes) or "\nscope\t" in text
