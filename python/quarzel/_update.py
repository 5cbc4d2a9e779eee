"""Keeping a dataset up to date (``convert(update=True)``, ``--update``).

An input is unchanged when ``_files`` has it read (ok or problems) with its
size and modification time, or, when the time differs, with its size and
the CRC-64 of its bytes; every other input is converted again. The rows of
inputs that changed or are no longer among the inputs leave every table:
only the parts that hold such rows are rewritten (under temporary names),
and a part left without rows goes. When those parts are most of the
dataset, every input is converted again instead (see REBUILD_SHARE). The inputs to convert are converted into
a hidden staging folder; then one commit (``quarzel._commits``) moves the
new parts in, puts the rewritten parts in place of the old ones and removes
the emptied ones. An update interrupted before that commit leaves the
dataset as it was (the next run's recovery deletes the staging folder).
"""

from __future__ import annotations

import lzma
import os
import shutil
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

from . import _commits

CHUNK = 1 << 22


def crc64_of(path: str) -> str | None:
    """The CRC-64 (as xz has it, and as ``_files`` records it: 16 hex
    digits) of a file's bytes, or None when it cannot be read. Taken from
    the check of a one-block xz stream of the bytes (at the fastest
    preset), the CRC-64 that the standard library offers."""
    comp = lzma.LZMACompressor(format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64,
                               filters=[{"id": lzma.FILTER_LZMA2, "preset": 0}])
    out = bytearray()
    size = 0
    try:
        with open(path, "rb") as f:
            while chunk := f.read(CHUNK):
                size += len(chunk)
                out += comp.compress(chunk)
                if len(out) > CHUNK:  # keep the tail only: the check is near the end
                    del out[:len(out) - 64]
    except OSError:
        return None
    out += comp.flush()
    if size == 0:  # a stream without blocks has no check
        return "0" * 16
    # Stream footer: CRC32 (4), backward size (4), flags (2), magic (2);
    # before it the index, before that the block's check.
    backward = int.from_bytes(out[-8:-4], "little")
    index = (backward + 1) * 4
    check = bytes(out[-12 - index - 8:-12 - index])
    return check[::-1].hex()


@dataclass
class Recorded:
    size: int | None
    mtime_ns: int | None
    crc64: str | None
    status: str


def _read(path: str, columns: list[str] | None = None) -> Any:
    """A Parquet file's table, read without pyarrow.dataset (whose import
    costs a small update a good share of its time)."""
    import pyarrow.parquet as pq

    with pq.ParquetFile(path) as f:
        if columns is not None:
            columns = [n for n in columns if n in f.schema_arrow.names]
        return f.read(columns=columns)


def recorded(out: str) -> dict[str, Recorded]:
    fields = ("_file", "size", "mtime_ns", "crc64", "status")
    found = {}
    # Part by part: parts written before a column existed lack it.
    for path in _commits.part_files(os.path.join(out, "_files")):
        table = _read(path, list(fields))
        cols = {n: table[n].to_pylist() if n in table.column_names else [None] * table.num_rows
                for n in fields}
        found.update((n, Recorded(s, m, c, st)) for n, s, m, c, st in
                     zip(cols["_file"], cols["size"], cols["mtime_ns"], cols["crc64"], cols["status"]))
    return found


def unchanged(path: str, rec: Recorded | None) -> int | bool:
    """True when the input is as ``_files`` has it; its new modification
    time (an int) when only that changed; False when it is to be converted."""
    if rec is None or rec.status == "failed":
        return False
    try:
        st = os.stat(path)
    except OSError:
        return False
    if st.st_size != rec.size:
        return False
    if rec.mtime_ns is not None and st.st_mtime_ns == rec.mtime_ns:
        return True
    if rec.crc64 is not None and crc64_of(path) == rec.crc64:
        return st.st_mtime_ns
    return False


def retime(out: str, times: dict[str, int], number: int) -> tuple[list, int]:
    """Rewrites the ``_files`` rows of inputs whose bytes are as recorded
    but whose modification time is new, so that the next update need not
    read them again."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    renames = []
    if not times:
        return renames, number
    for path in _commits.part_files(os.path.join(out, "_files")):
        t = _read(path)
        if "mtime_ns" not in t.column_names:
            continue
        names = t["_file"].to_pylist()
        if not any(n in times for n in names):
            continue
        old = t["mtime_ns"].to_pylist()
        new = pa.array([times.get(n, m) for n, m in zip(names, old)], pa.int64())
        k = t.column_names.index("mtime_ns")
        t = t.set_column(k, t.schema.field(k), new)
        temp = _commits.temp_name("_files", number)
        pq.write_table(t, os.path.join(out, temp), compression="snappy")
        renames.append((temp, f"_files/{os.path.basename(path)}"))
        number += 1
    return renames, number


def _kinds_of(table: Any, layouts: dict, shadow: Any) -> dict:
    """Each column's kinds in the rows a part keeps (``quarzel._native_typing``)."""
    from ._kept_text import given_back_kinds
    from ._native_typing import F, N, Q, S, T
    from .numbers import ColumnCounts

    found = {}
    for name, layout in layouts.items():
        text = None
        if layout["type"] == "text":
            text = table[name]
        elif shadow is not None and name in shadow.column_names:
            text = shadow[name]
        c = ColumnCounts()
        if text is not None:
            c.add(text)
        if layout["type"] != "text":  # and the rows without kept text
            given = given_back_kinds(table, text, name, layout)
            c.cells += given.numbers + given.placeholders
            c.numbers += given.numbers
            c.su = c.su or given.su
            c.integral = c.integral and not given.fractions
        bits = (N if c.numbers else 0) | (T if c.texts else 0) | (S if c.su else 0)
        if c.numbers and not c.integral:
            bits |= F
        if c.cells > c.numbers + c.texts:
            bits |= Q
        found[name] = bits
    return found


# Taking rows out of a part means pyarrow reads, filters and writes it
# again, which costs about three times what the engine takes to convert the
# text the part came from. When the parts an update would rewrite hold more
# than this share of the dataset's bytes (changes spread over the whole
# archive touch nearly every part), the update converts every input again
# instead: the same dataset, at the cost of a fresh conversion. A small
# rewrite is quick either way and keeps the update to the inputs that changed.
REBUILD_SHARE = 0.35
REBUILD_MIN_BYTES = 8 << 20


@dataclass
class DropPlan:
    """The parts an update takes rows out of: those that keep some rows
    (rewritten) and those left without any (removed)."""

    rewrite: list[tuple[str, str]]  # (table, part path)
    remove: list[tuple[str, str]]
    rewrite_bytes: int = 0
    all_bytes: int = 0

    def rebuild_costs_less(self) -> bool:
        return (self.rewrite_bytes > REBUILD_MIN_BYTES
                and self.rewrite_bytes > REBUILD_SHARE * self.all_bytes)


def _parts(out: str) -> list[tuple[str, str, int]]:
    found = []
    for table in _commits.table_folders(out):
        for path in _commits.part_files(os.path.join(out, table)):
            try:
                found.append((table, path, os.path.getsize(path)))
            except OSError:
                found.append((table, path, 0))
    return found


def _files_in(path: str) -> set[str]:
    """The inputs a part holds rows of: the dictionary of its ``_file``
    column (read as a dictionary, so without a kernel per part; a value
    the dictionary holds but no row uses would only make a part look
    touched)."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    names: set[str] = set()
    with pq.ParquetFile(path, read_dictionary=["_file"]) as f:
        for chunk in f.read(columns=["_file"])["_file"].chunks:
            if pa.types.is_dictionary(chunk.type):
                names.update(chunk.dictionary.to_pylist())
            else:
                names.update(chunk.to_pylist())
    return names


def plan_drops(out: str, removed: set[str]) -> DropPlan:
    """Which parts hold rows of the ``removed`` inputs (a part per core)."""
    parts = _parts(out)
    plan = DropPlan([], [], 0, sum(size for _, _, size in parts))
    if not removed:
        return plan

    def one(part: tuple) -> str:
        held = _files_in(part[1])
        if held.isdisjoint(removed):
            return "keep"
        return "remove" if held <= removed else "rewrite"

    with ThreadPoolExecutor(max_workers=max(1, min(len(parts), os.cpu_count() or 1))) as pool:
        for (table, path, size), what in zip(parts, pool.map(one, parts)):
            if what == "rewrite":
                plan.rewrite.append((table, path))
                plan.rewrite_bytes += size
            elif what == "remove":
                plan.remove.append((table, path))
    return plan


def plan_everything(out: str) -> DropPlan:
    """Every part removed: the plan of an update that converts every input again."""
    parts = _parts(out)
    return DropPlan([], [(table, path) for table, path, _ in parts], 0, sum(s for _, _, s in parts))


def has_validation(out: str) -> bool:
    """Whether the dataset keeps validation findings (which a run without
    ``validate=`` would not make again)."""
    return bool(_commits.part_files(os.path.join(out, "_validation")))


def _write_options(table: str, schema: Any) -> dict:
    """Parquet settings of a rewritten part as the engine chose them: the
    row ids dictionary-encoded, statistics for the row ids and the numbers
    only (pyarrow's defaults, dictionaries and statistics for every column,
    double the time a long text column takes)."""
    if table.startswith("_"):
        return {}
    import pyarrow as pa

    ids = [n for n in ("_file", "_block_name", "_frame_name") if n in schema.names]
    stats = ids + [f.name for f in schema
                   if f.name not in ids and not pa.types.is_string(f.type)
                   and not pa.types.is_large_string(f.type)]
    return {"use_dictionary": ids, "write_statistics": stats}


def drop_rows(out: str, plan: DropPlan, removed: set[str], number: int) -> tuple[list, list, int]:
    """Rewrites the parts of ``plan`` that keep rows without those of the
    ``removed`` inputs: the renames and removals of the commit, and the next
    free number."""
    from ._native_typing import TEXT_FOLDER

    def shadow_of(table: str, path: str) -> tuple[str, str]:
        name = os.path.join(TEXT_FOLDER, table, os.path.basename(path))
        return name, os.path.join(out, name)

    renames, removes = [], []
    for table, path in plan.remove:
        removes.append(f"{table}/{os.path.basename(path)}")
        shadow_name, shadow_path = shadow_of(table, path)
        if os.path.exists(shadow_path):
            removes.append(shadow_name)
    if not plan.rewrite:
        return renames, removes, number
    import json

    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    from ._native_typing import FOOTER_KEY, letters_of

    wanted = pa.array(sorted(removed))
    jobs = [(table, path, number + k) for k, (table, path) in enumerate(plan.rewrite)]

    def one(job: tuple) -> list:
        table, path, n = job
        t = _read(path)
        keep = pc.invert(pc.is_in(t["_file"], value_set=wanted))
        t = t.filter(keep)
        base = os.path.basename(path)
        meta = dict(t.schema.metadata or {})
        shadow_name, shadow_path = shadow_of(table, path)
        shadow = _read(shadow_path).filter(keep) if os.path.exists(shadow_path) else None
        if FOOTER_KEY in meta:
            typing = json.loads(meta[FOOTER_KEY])
            if typing.get("typed_by") == "values":  # the kinds of the rows kept, exactly
                kinds = _kinds_of(t, typing["columns"], shadow)
                for name, layout in typing["columns"].items():
                    layout["kinds"] = letters_of(kinds[name])
                meta[FOOTER_KEY] = json.dumps(typing).encode()
        t = t.replace_schema_metadata(meta)
        temp = _commits.temp_name(table, n)
        pq.write_table(t, os.path.join(out, temp), compression="snappy", **_write_options(table, t.schema))
        done = [(temp, f"{table}/{base}")]
        if shadow is not None:
            shadow_temp = os.path.join(TEXT_FOLDER, table, f".{base}.{n}.tmp")
            pq.write_table(shadow, os.path.join(out, shadow_temp), compression="snappy",
                           **_write_options(table, shadow.schema))
            done.append((shadow_temp, shadow_name))
        return done

    # pyarrow reads, filters and writes without the GIL: a part per core.
    with ThreadPoolExecutor(max_workers=max(1, min(len(jobs), os.cpu_count() or 1))) as pool:
        for done in pool.map(one, jobs):
            renames += done
    return renames, removes, number + len(jobs)


def staged_renames(staging: str, out: str, number: int) -> tuple[list, int]:
    """Moves of a staging folder's parts (and the text kept beside them)
    into the dataset, under new numbers."""
    from ._native_typing import TEXT_FOLDER

    renames = []
    for table in _commits.table_folders(staging):
        for path in _commits.part_files(os.path.join(staging, table)):
            final = _commits.final_name(table, number)
            renames.append((os.path.relpath(path, out), final))
            shadow = os.path.join(staging, TEXT_FOLDER, table, os.path.basename(path))
            if os.path.exists(shadow):
                renames.append((os.path.relpath(shadow, out),
                                os.path.join(TEXT_FOLDER, table, os.path.basename(final))))
            number += 1
    return renames, number


def discard(staging: str) -> None:
    shutil.rmtree(staging, ignore_errors=True)
