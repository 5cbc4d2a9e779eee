"""Repeated calls of every entry point leak neither references nor memory.

Each entry point runs a few thousand times over valid and malformed texts,
handlers that record, raise or lack methods, and arguments of the wrong
type. After a warm-up:

- the reference counts of shared objects (the members and classes of
  quarzel.types, None, the handlers, the source and mode strings) end
  exactly where they began, those of interned names within a few;
- the number of blocks held by Python's object allocator grows by less than
  one per ten calls (a leaked object per call would add at least one each);
- the resident size grows by less than 4 MB, where a leaked copy of the
  sources would add tens of megabytes (not checked under the sanitizer,
  whose quarantine keeps freed memory resident on purpose).
"""

import gc
import os
import sys

import pytest

import quarzel_core as q
import quarzel.types as types
from quarzel.types import CifVersion, ParseError, TokenType, ValueType

UNDER_ASAN = bool(os.environ.get("QUARZEL_UNDER_ASAN"))
ROUNDS = 150 if UNDER_ASAN else 1_000
RSS_TOLERANCE = 4 * 1024 * 1024

BIG = "data_big\nloop_ _a.x _a.y _a.z\n" + "".join(
    f"{i} 'q {i}' \"d{i}\"\n" for i in range(800)) + ";\ntext\n;\n" + "_s.t v\n" * 100
SOURCES = [
    "",
    "data_x _a 1 _b 'q' _c \"d\" _d ? _e . loop_ _l _m 1 2 3 save_f _t\n;x\n;\nsave_",
    "#\\#CIF_2.0\ndata_x _a [1 {'k':v 'j':[2 3]}] _b '''t\nu''' _c {'k' 1}",
    "#\\#CIF_2.0\ndata_x _a [1 [2 {'k':",  # unclosed containers
    "data_a _x 1 data_A _x 2 loop_ _p _q 1 2 3 save_s save_s save_",  # semantic errors
    "#\\#CIF_9.9\n_orphan 1 'unterminated\n;never closed",
    "data_x _a 'caf\u00e9' _b \u00e9\u00e9 _\u00c9 \U0001f600 global_ data_y",
    BIG,
]
BAD_SOURCES = ["data_x _a \ud800", "\udcff" * 10]
MODES = [None, "strict", "cif2", "cif1", "STRICT"]

METHODS = ["on_data_block", "on_save_frame_start", "on_save_frame_end", "on_loop_start",
           "on_loop_end", "add_tag", "add_value", "on_list_start", "on_list_end",
           "on_table_start", "on_table_key", "on_table_end", "on_error"]


class Recording:
    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return lambda *args: self.calls.append(args)


class Boom(Exception):
    pass


class Raising:
    """Raises at its n-th call."""

    def __init__(self, n):
        self.n = n

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args):
            self.n -= 1
            if self.n == 0:
                raise Boom(name, args)

        return method


class HalfHandler:
    """Has some methods only: the first missing one raises AttributeError."""

    def on_data_block(self, name):
        pass

    def add_tag(self, tag):
        pass

    def on_error(self, error):
        self.last = error


def swallow(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except (TypeError, UnicodeEncodeError, AttributeError, OSError, ValueError, Boom):
        pass


def lex_calls():
    for s in SOURCES:
        for m in MODES if s is not BIG else MODES[:1]:
            yield lambda s=s, m=m: q.lex_cif(s, m)
    for s in BAD_SOURCES:
        yield lambda s=s: swallow(q.lex_cif, s)
    yield lambda: swallow(q.lex_cif, b"data_x")
    yield lambda: swallow(q.lex_cif, "data_x", 3)
    yield lambda: swallow(q.lex_cif, "data_x", mode="cif2", extra=1)
    yield lambda: swallow(q.lex_cif)


def handler_calls(handler):
    def make(s):
        return lambda: swallow(q.parse, s, handler() if callable(handler) else handler)

    for s in SOURCES + BAD_SOURCES:
        yield make(s)
    yield lambda: swallow(q.parse, None, Recording())
    yield lambda: swallow(q.parse, "data_x")
    yield lambda: swallow(q.parse, "data_x", Recording(), 1)


def builder_calls(fn):
    for s in SOURCES:
        for m in (None, "strict", "other"):
            yield lambda s=s, m=m: fn(s, m)
    for s in BAD_SOURCES:
        yield lambda s=s: swallow(fn, s)
    yield lambda: swallow(fn, 1)
    yield lambda: swallow(fn, "data_x", b"strict")
    yield lambda: swallow(fn, source="data_x", mode="strict", other=None)
    yield lambda: swallow(fn)


# A loop tag given again: it leaves its loop (the frame settles its places).
DUPLICATE = "data_x loop_ _a _b 1 2 3 4 _a 5"


def arrow_calls():
    yield from builder_calls(q.parse_arrow)
    yield lambda: swallow(q.parse_arrow, DUPLICATE)


def arrow_file_calls(folder):
    paths = []
    for i, s in enumerate(SOURCES + [DUPLICATE]):
        path = folder / f"{i}.cif"
        path.write_text(s, encoding="utf-8")
        paths.append(str(path))
    bad = folder / "bad.cif"
    bad.write_bytes(b"data_x _a caf\xe9\n")
    for p in paths:
        for m in (None, "strict"):
            yield lambda p=p, m=m: swallow(q.parse_arrow_file, p, m)
    for p in (str(bad), str(folder / "missing.cif"), str(folder), "a\x00b", "\ud800"):
        yield lambda p=p: swallow(q.parse_arrow_file, p)
    yield lambda: swallow(q.parse_arrow_file, folder)  # a Path, not a str
    yield lambda: swallow(q.parse_arrow_file, paths[0], 1)
    yield lambda: swallow(q.parse_arrow_file)


# The handler objects are shared across calls so that their reference
# counts can be watched; Raising needs a fresh countdown per call.
RECORDER = Recording()
PLAIN = object()
HALF = HalfHandler()

CALLS = {
    "lex_cif": lambda: list(lex_calls()),
    "parse recording": lambda: list(handler_calls(RECORDER)),
    "parse raising": lambda: [c for n in (1, 2, 5, 40) for c in handler_calls(lambda n=n: Raising(n))],
    "parse method-less": lambda: list(handler_calls(PLAIN)),
    "parse half handler": lambda: list(handler_calls(HALF)),
    "parse_raw": lambda: list(builder_calls(q.parse_raw)),
    "parse_cif": lambda: list(builder_calls(q.parse_cif)),
    "parse_arrow": lambda: list(arrow_calls()),
    "parse_arrow_file": None,  # needs a folder: see the test
}


def shared_objects():
    """Objects whose reference counts must end exactly where they began."""
    members = [*CifVersion, *TokenType, *ValueType]
    classes = [CifVersion, TokenType, ValueType, ParseError, types]
    return members + classes + SOURCES + BAD_SOURCES + MODES[1:] + [
        RECORDER, PLAIN, HALF, None, HalfHandler, Recording]


def interned_names():
    """Names the module looks up or uses as keys.

    The interpreter's attribute lookup cache holds references to recently
    looked-up names, so their counts move by a few either way; a leak per
    call would move them by thousands.
    """
    return [sys.intern(n) for n in METHODS + [
        "token_type", "value", "value_type", "line", "column", "errors", "message", "context",
        "error_type", "recovery_action", "name", "tag_order", "loops", "tags", "save_frames",
        "version", "blocks"]]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run(calls, rounds):
    for _ in range(rounds):
        for call in calls:
            call()
        RECORDER.calls.clear()
    gc.collect()


@pytest.mark.parametrize("entry", list(CALLS))
def test_repeated_calls_leak_nothing(entry, tmp_path):
    calls = CALLS[entry]() if CALLS[entry] else list(arrow_file_calls(tmp_path))
    shared, names = shared_objects(), interned_names()
    run(calls, 20)  # warm-up: caches, interned names, allocator arenas
    refs = [sys.getrefcount(o) for o in shared]
    name_refs = [sys.getrefcount(o) for o in names]
    blocks = sys.getallocatedblocks()
    rss = rss_bytes()

    run(calls, ROUNDS)

    after = [sys.getrefcount(o) for o in shared]
    changed = [(entry, repr(o)[:40], b, a) for o, b, a in zip(shared, refs, after) if a != b]
    assert changed == []
    moved = [(n, a - b) for n, b, a in zip(names, name_refs, map(sys.getrefcount, names))
             if abs(a - b) > 16]
    assert moved == []
    grown_blocks = sys.getallocatedblocks() - blocks
    assert grown_blocks < ROUNDS * len(calls) // 10, grown_blocks
    if not UNDER_ASAN:
        assert rss_bytes() - rss < RSS_TOLERANCE, (rss_bytes() - rss) // 1024


def test_calls_really_ran():
    """The call tables above exercise what they claim to (guards the leak test)."""
    r = Recording()
    q.parse(SOURCES[2], r)
    assert len(r.calls) > 10
    assert q.parse_raw(BIG)["blocks"][0]["tags"]["_a.x"][799] == "799"
    results = []
    for n in (1, 2, 5, 40):
        try:
            q.parse(SOURCES[1] + SOURCES[1], Raising(n))
        except Boom as e:
            results.append(e.args[0])
    assert len(results) == 4
    with pytest.raises(AttributeError):
        q.parse(SOURCES[1], HALF)
    with pytest.raises(UnicodeEncodeError):
        q.parse_cif(BAD_SOURCES[0])
    batches, errors = q.parse_arrow(DUPLICATE)
    assert [e["message"] for e in errors] == ['duplicate data name: "_a"'] and len(batches) == 2
    assert len(CALLS["lex_cif"]()) > 30 and len(CALLS["parse_raw"]()) > 25
