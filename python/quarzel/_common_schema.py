"""One schema per table: ``<table>/_common_metadata`` after every run, and
the readers built on it (``quarzel.dataset.open``, ``quarzel.dataset.connect``).

The parts of a table may have different columns (each worker writes its
own parts, and a file brings the tags it has). The common schema has every
column of every part in an order that does not depend on which worker read
which file: the identity columns first; then the columns the table's
``_common_metadata`` already had (a later run only appends); then the tags
of this run in the order of the input that first brought each (those of
one input in the order its text gave them), each followed by the columns
a typed run put beside it (``X_su``, ``X_status``, ``X_text``); columns
known by none of these last, in the order in which they first appear
going through the parts in name order. A column that parts hold with
different types (a dataset typed by an older pass, where a part may hold
as text what another holds as numbers) takes the type pyarrow's permissive
unification gives.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from . import _commits

COMMON = "_common_metadata"
IDENTITY = ("_file", "_block_name", "_frame_name")


def _read_schemas(parts: list[str], pool: ThreadPoolExecutor | None = None) -> list[Any]:
    import pyarrow.parquet as pq

    def read(path: str) -> Any:
        return pq.read_schema(path).remove_metadata()

    if pool is not None:
        return list(pool.map(read, parts))
    with ThreadPoolExecutor(max_workers=max(1, min(8, len(parts)))) as own:
        return list(own.map(read, parts))


Key = tuple[int, int]


def first_inputs(columns: dict[str, list[tuple[str, int]]], offset: int = 0,
                 into: dict[str, dict[str, Key]] | None = None) -> dict[str, dict[str, Key]]:
    """Where each table's tags first came from, as the engine reports them
    (per table folder, ``(tag, input)`` in order), the inputs counted from
    ``offset``; merged into ``into`` (runs over other inputs), the first wins."""
    into = {} if into is None else into
    for table, tags in columns.items():
        keys = into.setdefault(table, {})
        for place, (name, index) in enumerate(tags):
            key = (offset + index, place)
            if name not in keys or key < keys[name]:
                keys[name] = key
    return into


_BESIDE = {"_su": 1, "_status": 2, "_text": 3}  # the columns a typed run puts beside a tag


def _beside(name: str, tags: set[str]) -> tuple[str, int] | None:
    """The tag of ``tags`` that ``name`` stands beside (``X_su``, ``X_status__``), with its rank."""
    bare = name.rstrip("_")
    for suffix, rank in _BESIDE.items():
        if bare.endswith(suffix) and bare[:-len(suffix)] in tags:
            return bare[:-len(suffix)], rank
    return None


def _order(schemas: list[Any], previous: list[str], first: dict[str, Key]) -> list[str]:
    names = {n for s in schemas for n in s.names}
    order = [n for n in IDENTITY if n in names]
    placed = set(order)
    body = [n for n in previous if n in names and n not in placed]
    placed.update(body)
    tags = sorted((n for n in first if n in names and n not in placed), key=first.__getitem__)
    body += tags
    placed.update(tags)
    anchors = set(body)
    beside: dict[str, list[tuple[int, str]]] = {}
    rest: list[str] = []
    for schema in schemas:
        for name in schema.names:
            if name in placed:
                continue
            placed.add(name)
            tag = _beside(name, anchors)
            if tag is None:
                rest.append(name)
            else:
                beside.setdefault(tag[0], []).append((tag[1], name))
    for name in body:
        order.append(name)
        order += [n for _, n in sorted(beside.get(name, ()))]
    return order + rest


def _unified(schemas: list[Any], previous: list[str] | None = None,
             first: dict[str, Key] | None = None) -> Any:
    """The table's schema from its parts' schemas (None when they disagree)."""
    import pyarrow as pa

    if not schemas:
        return None
    try:
        unified = pa.unify_schemas(schemas, promote_options="permissive")
    except (pa.ArrowTypeError, pa.ArrowInvalid):
        return None  # parts a typed run has not put right yet (it was stopped)
    fields = []
    for name in _order(schemas, previous or [], first or {}):
        # Not null only where every part has the column, not null.
        strict = all(name in s.names and not s.field(name).nullable for s in schemas)
        fields.append(unified.field(name).with_nullable(not strict))
    return pa.schema(fields)


def common_schema(folder: str) -> Any:
    """The unified schema of the parts in ``folder`` (None without parts)."""
    parts = _commits.part_files(folder)
    return _unified(_read_schemas(parts)) if parts else None


def _store(folder: str, schema: Any) -> None:
    """Writes (or replaces) ``folder/_common_metadata``; removes it when there
    is no schema to agree on (no parts, or parts not yet put right)."""
    import pyarrow.parquet as pq

    path = os.path.join(folder, COMMON)
    if schema is None:  # no stale schema left behind
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
        return
    temp = os.path.join(folder, "." + COMMON + ".tmp")
    pq.write_metadata(schema, temp)
    os.replace(temp, path)


def _previous(folder: str) -> list[str]:
    """The columns of the table's ``_common_metadata`` before this run."""
    import pyarrow.parquet as pq

    path = os.path.join(folder, COMMON)
    if not os.path.exists(path):
        return []
    try:
        return pq.read_schema(path).names
    except (OSError, ValueError):  # unreadable: written again from the parts
        return []


def write_all(out: str, tables: set[str] | None = None, known: dict[str, Any] | None = None,
              first: dict[str, dict[str, Key]] | None = None) -> None:
    """Every table's ``_common_metadata`` (or those of ``tables`` and of
    tables without one): the footers of all their parts are read by one
    pool of threads, not a pool per table, but for the parts whose schemas
    (without metadata) ``known`` holds by path, read since they last changed.
    ``first`` (from ``first_inputs``) orders the tags this run brought."""
    folders = [os.path.join(out, t) for t in _commits.table_folders(out)
               if tables is None or t in tables or not os.path.exists(os.path.join(out, t, COMMON))]
    parts = [_commits.part_files(f) for f in folders]
    known = known or {}
    first = first or {}
    todo = [p for ps in parts for p in ps if p not in known]
    with ThreadPoolExecutor(max_workers=max(1, min(8, len(todo)))) as pool:
        schemas = dict(zip(todo, _read_schemas(todo, pool)))
    for folder, ps in zip(folders, parts):
        _store(folder, _unified([schemas[p] if p in schemas else known[p] for p in ps],
                                _previous(folder), first.get(os.path.basename(folder))))


def schema_of(out: str, table: str) -> Any:
    """The table's common schema, from ``_common_metadata`` when it is there."""
    import pyarrow.parquet as pq

    folder = os.path.join(out, table)
    try:
        return pq.read_schema(os.path.join(folder, COMMON))
    except FileNotFoundError:
        return common_schema(folder)


def open_datasets(out: str) -> dict[str, Any]:
    import pyarrow.dataset as ds

    from .dataset import tables

    found = {}
    for table in tables(out):
        parts = _commits.part_files(os.path.join(out, table))
        if parts:
            found[table] = ds.dataset(parts, schema=schema_of(out, table), format="parquet")
    return found


def _quoted(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def connect(out: str, database: str = ":memory:") -> Any:
    try:
        import duckdb
    except ImportError as e:  # pragma: no cover - duckdb is optional
        raise ImportError("quarzel.dataset.connect needs DuckDB (pip install duckdb)") from e
    from .dataset import tables

    con = duckdb.connect(database)
    for table in tables(out):
        parts = _commits.part_files(os.path.join(out, table))
        if not parts:
            continue
        schema = schema_of(out, table)
        columns = ", ".join(_quoted(n) for n in schema.names)
        files = "[" + ", ".join(_literal(p) for p in parts) + "]"
        con.execute(f"CREATE VIEW {_quoted(table)} AS SELECT {columns} "
                    f"FROM read_parquet({files}, union_by_name = true)")
    return con
