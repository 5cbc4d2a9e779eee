"""Whole archives of CIF files as one Parquet dataset per category.

``convert(inputs, out_dir)`` reads every input on all cores (the native
engine in ``quarzel._native`` runs with the GIL released) and writes::

    out_dir/<category>/part-NNNNN.parquet   one table per category over all files
    out_dir/_items/part-NNNNN.parquet       non-looped tags without a category
    out_dir/_files/part-NNNNN.parquet       one row per input: status, size, seconds, problems
    out_dir/_errors/part-NNNNN.parquet      one row per problem record, with its file

Each category table has the identity columns ``_file`` and ``_block_name``
(and ``_frame_name`` for rows from save frames), then one text column per
tag, named by its lower-case full tag name; a tag missing from some files is
null there. Parts of a table may differ in their tag columns: read them with
the schemas unified (``pyarrow.dataset.dataset(path, format="parquet")`` with
``unify_schemas``, DuckDB ``read_parquet(..., union_by_name=true)``, polars
``scan_parquet(..., allow_missing_columns=True)``), or with
:func:`read_table`.
"""

from __future__ import annotations

import glob
import os
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Sequence

SUFFIXES = (".cif", ".mmcif", ".dic", ".bcif")
COMPRESSED = ("", ".gz", ".bz2", ".xz")
OWN_TABLES = ("_files", "_errors")


@dataclass
class Summary:
    """What a conversion did."""

    files: int = 0  # inputs finished (this run)
    files_read: int = 0
    files_failed: int = 0  # could not be read: see _files for the reason
    files_with_problems: int = 0  # read, with problem records (in _errors)
    problems: int = 0
    bytes: int = 0  # on disk
    text_bytes: int = 0  # decompressed
    rows: dict[str, int] = field(default_factory=dict)  # per table
    seconds: float = 0.0
    cancelled: bool = False
    skipped: int = 0  # inputs already done (resume)

    @property
    def clean(self) -> bool:
        return self.files_failed == 0 and self.files_with_problems == 0


@dataclass
class Progress:
    """Handed to a ``progress`` callback a few times a second."""

    files: int
    total_files: int
    bytes: int
    total_bytes: int
    text_bytes: int
    failed: int
    problem_files: int
    problems: int
    seconds: float


def _is_cif_name(name: str) -> bool:
    lower = name.lower()
    return any(lower.endswith(s + c) for s in SUFFIXES for c in COMPRESSED)


def expand_inputs(inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """Files as given, folders searched recursively for CIF files (``*.cif``,
    ``*.mmcif``, ``*.dic``, BinaryCIF ``*.bcif`` and their ``.gz``/``.bz2``/``.xz`` forms, in name
    order), glob patterns expanded (a folder they match is searched too,
    unless its name is that of a CIF file). A name that is neither stays in the list,
    so that the conversion records why it cannot be read."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    out: list[str] = []
    seen: set[str] = set()

    def add(path: str) -> None:
        if path not in seen:
            seen.add(path)
            out.append(path)

    for item in inputs:
        item = os.fspath(item)
        if os.path.isdir(item):
            found = []
            for root, dirs, files in os.walk(item):
                dirs.sort()
                found.extend(os.path.join(root, f) for f in files if _is_cif_name(f))
            for path in sorted(found):
                add(path)
        elif not os.path.lexists(item) and glob.has_magic(item):
            for path in sorted(glob.glob(item, recursive=True)):
                if os.path.isdir(path) and not _is_cif_name(path):
                    for sub in expand_inputs([path]):
                        add(sub)
                else:
                    add(path)
        else:
            add(item)
    return out


def dictionary_categories(path: str) -> dict[str, str]:
    """Lower-case tag name → category, from a DDL1, DDL2 or DDLm dictionary."""
    import quarzel_core

    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        raw = quarzel_core.parse_raw(f.read())
    mapping: dict[str, str] = {}

    def scan(tags: dict[str, list[Any]]) -> None:
        for name_tag, cat_tag in (
            ("_name", "_category"),  # DDL1
            ("_item.name", "_item.category_id"),  # DDL2
            ("_definition.id", "_name.category_id"),  # DDLm
        ):
            names, cats = tags.get(name_tag), tags.get(cat_tag)
            if not names or not cats:
                continue
            for i, name in enumerate(names):
                cat = cats[i] if i < len(cats) else cats[-1]
                if isinstance(name, str) and isinstance(cat, str):
                    mapping.setdefault(name.lower(), cat.lower())

    for block in raw["blocks"]:
        scan(block["tags"])
        for frame in block["save_frames"]:
            scan(frame["tags"])
    return mapping


def done_inputs(out_dir: str) -> set[str]:
    """Inputs that the dataset at ``out_dir`` already holds (read, with or
    without problems); files that could not be read are not among them."""
    folder = os.path.join(out_dir, "_files")
    if not os.path.isdir(folder):
        return set()
    import pyarrow.dataset as ds

    table = ds.dataset(folder, format="parquet").to_table(columns=["_file", "status"])
    files = table.column("_file").to_pylist()
    status = table.column("status").to_pylist()
    return {f for f, s in zip(files, status) if s != "failed"}


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover
        return os.cpu_count() or 1


def convert(
    inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    categories: Sequence[str] | None = None,
    jobs: int | None = None,
    typed: bool = False,
    dictionary: str | os.PathLike[str] | None = None,
    progress: Callable[[Progress], Any] | None = None,
    resume: bool = False,
    expand: bool = True,
    _row_group_bytes: int | None = None,
    _part_bytes: int | None = None,
    _progress_interval: float = 0.2,
) -> Summary:
    """Converts CIF files to one Parquet dataset per category under ``out_dir``.

    ``categories`` keeps only the named categories (lower case, as in the
    folder names; ``"_items"`` for tags without a category). ``dictionary``
    is a DDL dictionary that names the category of looped tags without a dot
    (otherwise their longest common prefix ending at ``_``) and, with
    ``typed``, the types of tags (see :func:`type_tables`, which runs over
    the finished dataset). ``resume`` skips
    the inputs that ``out_dir`` already holds; without it ``out_dir`` must not
    hold a dataset yet. Files that cannot be read are recorded in ``_files``
    and the run goes on; KeyboardInterrupt stops the workers after the files
    in hand and leaves only complete parts. Raises OSError when the output
    cannot be written.
    """
    from . import _native

    start = time.monotonic()
    out = os.fspath(out_dir)
    paths = expand_inputs(inputs) if expand else [os.fspath(p) for p in inputs]  # type: ignore[union-attr]
    summary = Summary()
    if os.path.isdir(os.path.join(out, "_files")):
        if not resume:
            raise FileExistsError(f"{out} already holds a dataset (resume it, or choose a new folder)")
        done = done_inputs(out)
        summary.skipped = sum(1 for p in paths if p in done)
        paths = [p for p in paths if p not in done]
    tag_categories = dictionary_categories(os.fspath(dictionary)) if dictionary else None
    cats = None if categories is None else [c.lower() for c in categories]

    callback = None
    if progress is not None:
        total_files = len(paths)
        total_bytes = 0
        for p in paths:
            try:
                total_bytes += os.path.getsize(p)
            except OSError:
                pass

        def callback(files: int, nbytes: int, text: int, failed: int, pfiles: int, problems: int) -> None:
            progress(
                Progress(files, total_files, nbytes, total_bytes, text, failed, pfiles, problems,
                         time.monotonic() - start)
            )

    jobs = default_jobs() if jobs is None else max(1, int(jobs))
    result = _native.dataset_convert(
        paths, out, cats, tag_categories, jobs, callback, _progress_interval, resume, _row_group_bytes, _part_bytes
    )
    for key in ("files", "files_read", "files_failed", "files_with_problems", "problems", "bytes",
                "text_bytes", "cancelled"):
        setattr(summary, key, result[key])
    summary.rows = dict(result["rows"])
    if typed and not summary.cancelled:
        type_tables(out, dictionary)
    summary.seconds = time.monotonic() - start
    return summary


_IDENTITY = ("_file", "_block_name", "_frame_name")


def _part_files(folder: str) -> list[str]:
    return sorted(os.path.join(folder, f) for f in os.listdir(folder)
                  if f.startswith("part-") and f.endswith(".parquet"))


def type_tables(out_dir: str | os.PathLike[str], dictionary: Any = None) -> None:
    """Turns the numeric text columns of every category table of a dataset
    into numbers, as ``quarzel.numbers.typed_table`` does for one table, with
    the same decision for a column in every part: a column becomes int64 or
    float64 (with ``_su`` and ``_status`` columns in every part when the
    table needs them)
    when the dictionary types its tag ``integer`` or ``real``, or, for tags
    it does not define (or without one), when no value of the whole table is
    text other than ``?`` and ``.`` and at least one is a number. Each part is
    rewritten under a temporary name and renamed."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    from .dictionary import Dictionary
    from .numbers import _free_name, _native, _string_chunks

    if dictionary is not None and not isinstance(dictionary, Dictionary):
        dictionary = Dictionary(os.fspath(dictionary))
    native = _native()
    out = os.fspath(out_dir)

    def declared(name: str) -> str | None:
        definition = dictionary.get(name) if dictionary is not None else None
        return definition.type if definition is not None else None

    def parse(column: Any) -> tuple[Any, dict[str, int]]:
        parsed = native.numbers(_string_chunks(column), True)
        counts = {c["values"]: c["counts"]
                  for c in pc.value_counts(parsed.field("status").dictionary_decode()).to_pylist()
                  if c["values"] is not None}
        return parsed, counts

    for table in tables(out):
        parts = _part_files(os.path.join(out, table))
        # First every part: what the whole table holds in each text column.
        # name -> [text values, numbers, all integral, any su, any value not a number]
        seen: dict[str, list] = {}
        for path in parts:
            t = pq.read_table(path)
            for name, column in zip(t.column_names, t.columns):
                if name in _IDENTITY or not pa.types.is_string(column.type) or declared(name) == "text":
                    continue
                parsed, counts = parse(column)
                s = seen.setdefault(name, [0, 0, True, False, False])
                n_number = counts.get("number", 0)
                s[0] += counts.get("text", 0)
                s[1] += n_number
                ints = parsed.field("int_value")
                s[2] = s[2] and len(ints) - ints.null_count == n_number
                s[3] = s[3] or parsed.field("su").null_count < len(column)
                s[4] = s[4] or n_number + column.null_count < len(column)
        numeric = {}  # name -> (as integers, with _su, with _status)
        for name, (n_text, n_number, integral, su, status) in seen.items():
            kind = declared(name)
            if kind in ("integer", "real") or (kind is None and not n_text and n_number):
                numeric[name] = (integral and kind != "real", su, status)
        if not numeric:
            continue
        # Then each part with those columns as numbers.
        for path in parts:
            t = pq.read_table(path)
            if not any(n in numeric and pa.types.is_string(t.column(n).type) for n in t.column_names):
                continue
            taken = set(t.column_names)
            names, columns = [], []
            for name, column in zip(t.column_names, t.columns):
                names.append(name)
                if name not in numeric or not pa.types.is_string(column.type):
                    columns.append(column)
                    continue
                parsed, _ = parse(column)
                integers, with_su, with_status = numeric[name]
                if integers:
                    values, sus = parsed.field("int_value"), parsed.field("int_su")
                else:
                    values, sus = parsed.field("value"), parsed.field("su")
                columns.append(values)
                if with_su:
                    names.append(_free_name(name + "_su", taken))
                    taken.add(names[-1])
                    columns.append(sus)
                if with_status:
                    names.append(_free_name(name + "_status", taken))
                    taken.add(names[-1])
                    columns.append(parsed.field("status"))
            temp = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".typed.tmp")
            pq.write_table(pa.Table.from_arrays(columns, names=names), temp)
            os.replace(temp, path)


def read_table(out_dir: str | os.PathLike[str], table: str) -> Any:
    """One table of a dataset as a ``pyarrow.Table``, its parts' schemas
    unified (a column missing from a part is null there)."""
    import pyarrow as pa
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    folder = os.path.join(os.fspath(out_dir), table)
    files = sorted(
        os.path.join(folder, f) for f in os.listdir(folder) if f.startswith("part-") and f.endswith(".parquet")
    )
    if not files:
        return pa.table({})
    schema = pa.unify_schemas([pq.read_schema(f) for f in files], promote_options="permissive")
    return ds.dataset(files, schema=schema, format="parquet").to_table()


def tables(out_dir: str | os.PathLike[str]) -> list[str]:
    """The category tables of a dataset (without ``_files`` and ``_errors``)."""
    out = os.fspath(out_dir)
    return sorted(
        name for name in os.listdir(out) if name not in OWN_TABLES and os.path.isdir(os.path.join(out, name))
    )
