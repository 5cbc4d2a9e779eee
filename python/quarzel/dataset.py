"""Whole archives of CIF files as one Parquet dataset per category.

``convert(inputs, out_dir)`` reads every input on all cores (the native
engine in ``quarzel._native`` runs with the GIL released) and writes::

    out_dir/<category>/part-NNNNN.parquet   one table per category over all files
    out_dir/_items/part-NNNNN.parquet       non-looped tags without a category
    out_dir/_files/part-NNNNN.parquet       one row per input: status, size, seconds, problems
    out_dir/_errors/part-NNNNN.parquet      one row per problem record, with its file
    out_dir/.commits/                       commits in flight (see quarzel._commits), and a lock

Each category table has the identity columns ``_file`` (the input's real
path, see :func:`expand_inputs`) and ``_block_name``
(and ``_frame_name`` for rows from save frames), then one text column per
tag, named by its lower-case full tag name; a tag missing from some files is
null there. Parts of a table may differ in their tag columns: read them with
the schemas unified (``pyarrow.dataset.dataset(path, format="parquet")`` with
``unify_schemas``, DuckDB ``read_parquet(..., union_by_name=true)``, polars
``scan_parquet(..., allow_missing_columns=True)``), or with
:func:`read_table`.
"""

from __future__ import annotations

import io
import os
import shutil
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Sequence

from . import _commits, _inputs
from ._inputs import SUFFIXES, COMPRESSED, file_name, input_path  # noqa: F401 (published here)

OWN_TABLES = ("_files", "_errors", "_validation")


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
    removed: int = 0  # inputs whose rows an update took out (changed or gone)
    jobs: int = 0  # workers that ran (fewer than asked when open files are limited)
    # With validate=...: findings per severity (in _validation), the files
    # with an error finding, and the faults of the dictionaries themselves
    # (quarzel.Finding objects, not in the dataset).
    findings: dict[str, int] = field(default_factory=dict)
    files_invalid: int = 0
    dictionary_findings: list = field(default_factory=list)

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


def expand_inputs(inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """Files as given, folders searched recursively for CIF files (``*.cif``,
    ``*.mmcif``, ``*.dic``, BinaryCIF ``*.bcif`` and their ``.gz``/``.bz2``/``.xz`` forms, in name
    order), glob patterns expanded (a folder they match is searched too,
    unless its name is that of a CIF file). Neither folder searches nor
    ``**`` go into symbolic links to folders, and each real file comes once
    (the first time it is met), however it is named. A name that is neither
    stays in the list, and so does a folder that cannot be listed, so that
    the conversion records why it cannot be read."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    return [i.path for i in _inputs.collect(inputs)]


def dictionary_categories(path: str) -> dict[str, str]:
    """Lower-case tag name → category, from a DDL1, DDL2 or DDLm dictionary:
    every defined name and every alias (DDLm ``_alias.definition_id``, DDL2
    ``_item_aliases.alias_name``), as ``quarzel.Dictionary`` reads them,
    imports resolved; plus what the dictionary's own text says where
    ``Dictionary`` cannot read it."""
    import quarzel_core

    from .dictionary import Dictionary, DictionaryError

    mapping: dict[str, str] = {}
    try:
        d = Dictionary(path)
    except DictionaryError:
        d = None
    if d is not None:
        for name in d:
            definition = d[name]
            if definition.category:
                for n in (name, *definition.aliases):
                    mapping.setdefault(n.lower(), definition.category.lower())

    with io.open(path, encoding="utf-8", errors="replace", newline="") as f:
        raw = quarzel_core.parse_raw(f.read())

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


def done_inputs(out_dir: str | os.PathLike[str]) -> set[str]:
    """The ``_file`` names of the inputs that the dataset at ``out_dir``
    holds (read, with or without problems); files that could not be read
    are not among them. A name that an older run stored relative to its
    working folder counts by its real path from here too."""
    from . import _resume

    return _resume.done(os.fspath(out_dir))


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
    update: bool = False,
    expand: bool = True,
    validate: Any = None,
    links: bool | None = None,
    profile: str | None = None,
    su_multiplier: float = 3.0,
    ignore_case: bool = False,
    _row_group_bytes: int | None = None,
    _part_bytes: int | None = None,
    _stream_bytes: int | None = None,
    _progress_interval: float = 0.2,
) -> Summary:
    """Converts CIF files to one Parquet dataset per category under ``out_dir``.

    ``categories`` keeps only the named categories (lower case, as in the
    folder names; ``"_items"`` for tags without a category). ``dictionary``
    is a DDL dictionary that names the category of looped tags without a dot
    (through its names and aliases; otherwise their longest common prefix
    ending at ``_``) and, with ``typed``, the types of tags (see
    :func:`type_tables`, which runs over the finished dataset). Inputs are
    told apart by their real path, which ``_file`` holds (see
    :func:`expand_inputs`). ``resume`` first puts in order what a killed run
    left (completing or dropping its last commits), then skips the inputs
    that ``out_dir`` already holds and tries again those that could not be
    read (their rows in ``_files`` are replaced); a dataset with typed
    columns is typed again. ``update`` brings a dataset up to date with
    ``inputs``: it converts only the inputs that are new or changed since
    they were read (size, modification time, CRC-64 in ``_files``) and
    removes the rows of inputs that changed or are no longer among
    ``inputs``, in one commit at the end (see ``quarzel._update``); when
    the parts that hold those rows are most of the dataset, it converts
    every input again instead (the same dataset, at the cost of a fresh
    conversion; ``Summary.files`` then counts them all). Without
    ``resume`` or ``update``, ``out_dir`` must not hold a dataset yet. Files that cannot be read are recorded in ``_files`` and
    the run goes on; KeyboardInterrupt stops the workers within about a
    second, each committing the files it has finished. Raises OSError when
    the output cannot be written, or when another run is writing it.

    ``validate``: a dictionary (a path, a ``Dictionary`` or a list of them,
    as :func:`quarzel.validate` takes) against which each document is
    checked as it is read, natively on the workers; ``OUT/_validation/``
    gets one row per finding (with ``_file`` and the fields of
    ``quarzel.Finding``), committed with the file's rows. ``links``,
    ``profile``, ``su_multiplier`` and ``ignore_case`` are
    :func:`quarzel.validate`'s.
    """
    from . import _common_schema, _native, _native_typing, _resume, _typed_parts, _update

    start = time.monotonic()
    out = os.fspath(out_dir)
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    entries = _inputs.collect(inputs, expand)
    names = [file_name(e.real) for e in entries]
    summary = Summary()
    tag_categories = dictionary_categories(os.fspath(dictionary)) if dictionary else None
    types = _typed_parts.types(dictionary) if typed else None  # a bad dictionary fails before the run
    cats = None if categories is None else [c.lower() for c in categories]
    rules = None
    if validate is not None:  # a bad dictionary fails before the run
        from ._rules import compile_rules
        from .validation import _finding, _links_mode

        rules = compile_rules(validate, profile)
        summary.dictionary_findings = [_finding(t, rules.labels, True) for t in rules.problems]
    with _commits.Lock(out):
        if _commits.holds_dataset(out) and not (resume or update):
            raise FileExistsError(f"{out} already holds a dataset (resume it, or choose a new folder)")
        _commits.recover(out)
        if resume:
            done = _resume.done(out)
            todo = [k for k, n in enumerate(names) if n not in done]
            summary.skipped = len(entries) - len(todo)
            entries = [entries[k] for k in todo]
            names = [names[k] for k in todo]
            _resume.forget_failed(out, set(names))
        staging = removed = plan = touched = None
        if update and _commits.holds_dataset(out):
            known = _update.recorded(out)
            found = [_update.unchanged(e.real, known.get(n)) for e, n in zip(entries, names)]
            retimed = {n: f for n, f in zip(names, found) if f is not True and f is not False}
            todo = [k for k, f in enumerate(found) if f is False]
            removed = {names[k] for k in todo if names[k] in known} | (set(known) - set(names))
            summary.removed = len(removed)
            plan = _update.plan_drops(out, removed)
            if (plan.rebuild_costs_less() and cats is None and validate is None
                    and not _update.has_validation(out)):
                # Most parts would be rewritten: converting every input again costs less.
                todo = list(range(len(entries)))
                removed = set(known)
                retimed = {}
                plan = _update.plan_everything(out)
            summary.skipped = len(entries) - len(todo)
            entries = [entries[k] for k in todo]
            names = [names[k] for k in todo]
            staging = os.path.join(out, f"{_commits.STAGING}update")
            shutil.rmtree(staging, ignore_errors=True)
            resume = True  # typed as the dataset was
        # Typed inside the engine (quarzel._native_typing); a dataset typed
        # before by the pass over finished parts is typed by that pass again.
        state = _native_typing.load_state(out) if resume else None
        # (so is a text dataset that a resumed run is asked to type: every part).
        legacy = resume and state is None and (
            _typed_parts.is_typed(out) or (typed and _commits.holds_dataset(out)))
        if state is None and typed and not legacy:
            state = {"typed_by": "dictionary" if types is not None else "values",
                     "declared": _native_typing.declared_types(types) if types is not None else {}}
            os.makedirs(out, exist_ok=True)
            _native_typing.save_state(out, state)
        typing = state["typed_by"] if state else None
        seeds = _native_typing.seeds(out) if resume and typing == "values" and staging is None else None

        callback = None
        if progress is not None:
            total_files = len(entries)
            total_bytes = 0
            for e in entries:
                try:
                    total_bytes += os.path.getsize(e.real)
                except OSError:
                    pass

            def callback(files: int, nbytes: int, text: int, failed: int, pfiles: int, problems: int) -> None:
                progress(
                    Progress(files, total_files, nbytes, total_bytes, text, failed, pfiles, problems,
                             time.monotonic() - start)
                )

        jobs = default_jobs() if jobs is None else max(1, int(jobs))
        paths, engine_names, failures = _inputs.engine_inputs(entries, names)
        result = _native.dataset_convert(
            paths, _inputs.os_path(staging or out), cats, tag_categories, jobs, callback, _progress_interval,
            names=engine_names, failures=failures, row_group_bytes=_row_group_bytes, part_bytes=_part_bytes,
            rules=rules.native if rules else None, links=_links_mode(links) if rules else 0,
            su_multiplier=float(su_multiplier), ignore_case=bool(ignore_case),
            stream_bytes=_stream_bytes, typing=typing, declared=state["declared"] if state else None, seeds=seeds)
        for key in ("files", "files_read", "files_failed", "files_with_problems", "problems", "bytes",
                    "text_bytes", "cancelled", "jobs"):
            setattr(summary, key, result[key])
        summary.rows = dict(result["rows"])
        if rules is not None:
            summary.findings = dict(zip(("error", "warning", "info"), result["findings"]))
            summary.files_invalid = result["files_invalid"]
        if staging is not None:
            if summary.cancelled:
                _update.discard(staging)
                summary.seconds = time.monotonic() - start
                return summary
            number = _commits.first_free_number(out)
            renames, removes, number = _update.drop_rows(out, plan, removed, number)
            times, number = _update.retime(out, retimed, number)
            renames += times
            moved, number = _update.staged_renames(staging, out, number)
            _commits.commit(out, renames + moved, removes, number=number)
            _update.discard(staging)
            if typing is None:  # only these tables' parts changed
                touched = {p.split("/")[0] for _, p in renames + moved} | {p.split("/")[0] for p in removes}
        known = None  # schemas of parts read since they last changed
        if typing == "values" and not summary.cancelled:
            known = _native_typing.settle(out)
        elif legacy and not summary.cancelled:
            _typed_parts.type_dataset(out, types if types is not None else dictionary)
        first = _common_schema.first_inputs(result["columns"])
        _common_schema.write_all(out, touched, known, first)
    summary.seconds = time.monotonic() - start
    return summary


def type_tables(out_dir: str | os.PathLike[str], dictionary: Any = None) -> None:
    """Turns the numeric text columns of every category table of a dataset
    into numbers, as ``quarzel.numbers.typed_table`` does for one table, with
    the same decision for a column in every part: a column becomes int64 or
    float64 (with ``_su`` and ``_status`` columns in every part when the
    table needs them) when the dictionary types its tag ``integer`` or
    ``real``, or, for tags it does not define (or without one), when no
    value of the whole table is text other than ``?`` and ``.`` and at least
    one is a number. Parts typed before count in the decision: a column
    that is already numeric in some part stays numeric (float64 when any
    part needs it), and a value that is not a number then is null with
    status ``text``, its text kept in a ``<tag>_text`` column. Each table's
    parts are rewritten row group by row group under temporary names and
    committed together, so an interrupted pass leaves the table as it was."""
    from . import _common_schema, _typed_parts

    out = os.fspath(out_dir)
    with _commits.Lock(out):
        _commits.recover(out)
        _typed_parts.type_dataset(out, dictionary)
        _common_schema.write_all(out)


def read_table(out_dir: str | os.PathLike[str], table: str) -> Any:
    """One table of a dataset as a ``pyarrow.Table``, its parts' schemas
    unified (a column missing from a part is null there)."""
    import pyarrow as pa
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    files = _commits.part_files(os.path.join(os.fspath(out_dir), table))
    if not files:
        return pa.table({})
    schema = pa.unify_schemas([pq.read_schema(f) for f in files], promote_options="permissive")
    return ds.dataset(files, schema=schema, format="parquet").to_table()


def open(out_dir: str | os.PathLike[str]) -> dict[str, Any]:
    """Every category table of a dataset as a ``pyarrow.dataset.Dataset``
    over its parts, with the table's one schema (``<table>/_common_metadata``:
    every column of every part, a column missing from a part null there)."""
    from . import _common_schema

    return _common_schema.open_datasets(os.fspath(out_dir))


def connect(out_dir: str | os.PathLike[str], database: str = ":memory:") -> Any:
    """A DuckDB connection (to ``database``, in memory by default) with one
    view per category table of a dataset, named after the table, with its
    one schema. Needs the optional ``duckdb`` package."""
    from . import _common_schema

    return _common_schema.connect(os.fspath(out_dir), database)


def tables(out_dir: str | os.PathLike[str]) -> list[str]:
    """The category tables of a dataset (without ``_files``, ``_errors`` and ``_validation``)."""
    return [name for name in _commits.table_folders(os.fspath(out_dir)) if name not in OWN_TABLES]
