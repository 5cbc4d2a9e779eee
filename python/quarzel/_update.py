"""Keeping a dataset up to date (``convert(update=True)``, ``--update``).

An input is unchanged when ``_files`` has it read (ok or problems) with its
size and modification time, or, when the time differs, with its size and
the CRC-64 of its bytes; every other input is converted again. The rows of
inputs that changed or are no longer among the inputs leave every table:
only the parts that hold such rows are rewritten (under temporary names),
and a part left without rows goes. The inputs to convert are converted into
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


def recorded(out: str) -> dict[str, Recorded]:
    import pyarrow.dataset as ds

    parts = _commits.part_files(os.path.join(out, "_files"))
    if not parts:
        return {}
    table = ds.dataset(parts, format="parquet").to_table()
    cols = {n: table[n].to_pylist() if n in table.column_names else [None] * table.num_rows
            for n in ("_file", "size", "mtime_ns", "crc64", "status")}
    return {f: Recorded(s, m, c, st) for f, s, m, c, st in
            zip(cols["_file"], cols["size"], cols["mtime_ns"], cols["crc64"], cols["status"])}


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
        t = pq.read_table(path)
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
    from ._native_typing import F, N, Q, S, T
    from .numbers import ColumnCounts

    found = {}
    for name, layout in layouts.items():
        if layout["type"] == "text":
            column = table[name]
        elif shadow is not None and name in shadow.column_names:
            column = shadow[name]
        else:  # no text kept for it (not written by this version): its numbers as text
            column = table[name].cast("string")
        c = ColumnCounts()
        c.add(column)
        bits = (N if c.numbers else 0) | (T if c.texts else 0) | (S if c.su else 0)
        if c.numbers and not c.integral:
            bits |= F
        if c.cells > c.numbers + c.texts:
            bits |= Q
        found[name] = bits
    return found


def drop_rows(out: str, removed: set[str], number: int) -> tuple[list, list, int]:
    """Rewrites the parts holding rows of ``removed`` inputs without them:
    the renames and removals of the commit, and the next free number."""
    import json

    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    from ._native_typing import FOOTER_KEY, TEXT_FOLDER, letters_of

    renames, removes = [], []
    if not removed:
        return renames, removes, number
    wanted = pa.array(sorted(removed))
    jobs = [(table, path, number + k) for k, (table, path) in enumerate(
        (table, path) for table in _commits.table_folders(out)
        for path in _commits.part_files(os.path.join(out, table)))]

    def one(job: tuple) -> tuple[list, list]:
        table, path, n = job
        files = pq.read_table(path, columns=["_file"])["_file"]
        drop = pc.is_in(files, value_set=wanted)
        if not pc.any(drop).as_py():
            return [], []
        base = os.path.basename(path)
        shadow_name = os.path.join(TEXT_FOLDER, table, base)
        shadow_path = os.path.join(out, shadow_name)
        if pc.all(drop).as_py():
            return [], [f"{table}/{base}"] + ([shadow_name] if os.path.exists(shadow_path) else [])
        keep = pc.invert(drop)
        t = pq.read_table(path).filter(keep)
        meta = dict(t.schema.metadata or {})
        shadow = pq.read_table(shadow_path).filter(keep) if os.path.exists(shadow_path) else None
        if FOOTER_KEY in meta:
            typing = json.loads(meta[FOOTER_KEY])
            if typing.get("typed_by") == "values":  # the kinds of the rows kept, exactly
                kinds = _kinds_of(t, typing["columns"], shadow)
                for name, layout in typing["columns"].items():
                    layout["kinds"] = letters_of(kinds[name])
                meta[FOOTER_KEY] = json.dumps(typing).encode()
        temp = _commits.temp_name(table, n)
        pq.write_table(t.replace_schema_metadata(meta), os.path.join(out, temp), compression="snappy")
        done = [(temp, f"{table}/{base}")]
        if shadow is not None:
            shadow_temp = os.path.join(TEXT_FOLDER, table, f".{base}.{n}.tmp")
            pq.write_table(shadow, os.path.join(out, shadow_temp), compression="snappy")
            done.append((shadow_temp, shadow_name))
        return done, []

    # pyarrow reads, filters and writes without the GIL: a part per core.
    with ThreadPoolExecutor(max_workers=max(1, min(len(jobs), os.cpu_count() or 1))) as pool:
        for done, gone in pool.map(one, jobs):
            renames += done
            removes += gone
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
