"""The typed pass over a dataset's parts (``--typed``, ``type_tables``).

Per table: one pass over every part, in batches of rows and only the
columns that may become numbers, decides each column's type over the whole
table (``quarzel.numbers.ColumnCounts``), parts typed before included; a
second pass rewrites the parts that do not agree with the decision, batch
by batch, under temporary names; one commit (``quarzel._commits``) then
puts all of them in place. So memory stays at a few batches (a row group
of the engine may hold a whole large loop), and an interrupted pass leaves
the table as it was.

A numeric column ``X`` is followed in its part by the columns that
``quarzel.numbers.typed_table`` puts beside it, in this order and each
when the table needs it: ``X_su``, ``X_status`` and ``X_text``. A column
that some part holds as numbers already stays numeric: its text in other
parts becomes numbers too, values that are not numbers with status
``text`` and their text in ``X_text``.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any

from . import _commits

IDENTITY = ("_file", "_block_name", "_frame_name")
STATUSES = ("number", "unknown", "inapplicable", "text")
SUFFIXES = ("_su", "_status", "_text")
BATCH_ROWS = 1 << 16  # rows read at a time
GROUP_BYTES = 32 << 20  # converted bytes gathered into one row group


@dataclass
class Typed:
    """A column that a part holds as numbers, and the columns beside it."""

    integers: bool
    beside: dict[str, str] = field(default_factory=dict)  # "_su"/"_status"/"_text" -> column name


@dataclass
class Before:
    """What the parts typed before say of a column."""

    integers: bool = True
    su: bool = False
    status: bool = False
    text: bool = False


def _is_beside(name: str, base: str, suffix: str) -> bool:
    return name.startswith(base + suffix) and not name[len(base) + len(suffix):].strip("_")


def layout(schema: Any) -> tuple[dict[str, Typed], list[str]]:
    """The columns a part holds as numbers (with the columns beside them)
    and its text columns."""
    import pyarrow as pa

    typed: dict[str, Typed] = {}
    texts: list[str] = []
    names = schema.names
    k = 0
    while k < len(names):
        name, kind = names[k], schema.field(k).type
        k += 1
        if name in IDENTITY:
            continue
        if kind in (pa.int64(), pa.float64()):
            t = Typed(kind == pa.int64())
            for suffix in SUFFIXES:
                if k < len(names) and _is_beside(names[k], name, suffix):
                    t.beside[suffix] = names[k]
                    k += 1
            typed[name] = t
        elif pa.types.is_string(kind) or pa.types.is_large_string(kind):
            texts.append(name)
    return typed, texts


def _status_array(values: Any) -> Any:
    """Status texts (or a status column read back) as the dictionary array
    that ``numbers`` gives."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if pa.types.is_dictionary(values.type):
        values = values.cast(pa.string())
    indices = pc.index_in(values, value_set=pa.array(STATUSES)).cast(pa.int8())
    return pa.DictionaryArray.from_arrays(indices, pa.array(STATUSES))


def types(dictionary: Any) -> Any:
    """The dictionary (a ``Dictionary`` or its path) that types columns,
    read; None without one. Raises DictionaryError."""
    from .dictionary import Dictionary

    if dictionary is not None and not isinstance(dictionary, Dictionary):
        dictionary = Dictionary(os.fspath(dictionary))
    return dictionary


def is_typed(out: str) -> bool:
    """Whether a dataset was typed: the oldest part of some table has a
    numeric column (a typed pass types every part of a table at once)."""
    import pyarrow.parquet as pq

    from .dataset import tables

    for table in tables(out):
        parts = _commits.part_files(os.path.join(out, table))
        if parts and layout(pq.read_schema(parts[0]))[0]:
            return True
    return False


class _Typer:
    def __init__(self, dictionary: Any) -> None:
        self.dictionary = types(dictionary)

    def declared(self, name: str) -> str | None:
        definition = self.dictionary.get(name) if self.dictionary is not None else None
        return definition.type if definition is not None else None

    # ---- the decision ----

    def decide(self, parts: list[str]) -> dict[str, Any]:
        """Column name → ``ColumnPlan`` for the columns that become numbers."""
        import pyarrow.parquet as pq

        from .numbers import ColumnCounts, ColumnPlan

        before: dict[str, Before] = {}
        layouts = [layout(pq.read_schema(path)) for path in parts]
        for typed, _ in layouts:
            for name, t in typed.items():
                b = before.setdefault(name, Before())
                b.integers = b.integers and t.integers
                b.su = b.su or "_su" in t.beside
                b.status = b.status or "_status" in t.beside
                b.text = b.text or "_text" in t.beside
        counts: dict[str, ColumnCounts] = {}
        for path, (_, texts) in zip(parts, layouts):
            wanted = [n for n in texts if n in before or self.declared(n) != "text"]
            if not wanted:
                continue
            with pq.ParquetFile(path) as f:
                for batch in f.iter_batches(batch_size=BATCH_ROWS, columns=wanted):
                    for name, column in zip(batch.column_names, batch.columns):
                        counts.setdefault(name, ColumnCounts()).add(column)
        plans = {}
        for name in {*counts, *before}:
            declared = self.declared(name)
            c, b = counts.get(name), before.get(name)
            if b is None:
                plan = c.plan(declared)
            else:  # numbers already: they stay numbers
                c = c or ColumnCounts()
                plan = ColumnPlan(integers=b.integers and c.integral and declared != "real",
                                  su=b.su or c.su, status=b.status or c.numbers < c.cells,
                                  text=b.text or c.texts > 0)
            if plan is not None:
                plans[name] = plan
        return plans

    # ---- one batch to the decided types ----

    def convert(self, batch: Any, typed: dict[str, Typed], plans: dict[str, Any],
                names: dict[str, dict[str, str]]) -> Any:
        import pyarrow as pa
        import pyarrow.compute as pc

        from .numbers import ColumnCounts, text_cells

        beside = {c for t in typed.values() for c in t.beside.values()}
        out_names: list[str] = []
        out_columns: list[Any] = []
        for name, column in zip(batch.column_names, batch.columns):
            if name in beside:
                continue
            out_names.append(name)
            plan = plans.get(name)
            if plan is None or name not in names:
                out_columns.append(column)
                continue
            kind = pa.int64() if plan.integers else pa.float64()
            n = len(column)
            if name in typed:
                own = typed[name].beside
                values = column.cast(kind)
                su = batch.column(own["_su"]).cast(kind) if "_su" in own else pa.nulls(n, kind)
                if "_status" in own:
                    status = _status_array(batch.column(own["_status"]))
                else:
                    status = _status_array(pc.if_else(pc.is_valid(values), "number", None))
                text = batch.column(own["_text"]) if "_text" in own else pa.nulls(n, pa.string())
            else:
                parsed = ColumnCounts().add(column)
                values = parsed.field("int_value" if plan.integers else "value")
                su = parsed.field("int_su" if plan.integers else "su")
                status = parsed.field("status")
                text = text_cells(column, parsed)
            out_columns.append(values)
            for suffix, wanted, array in (("_su", plan.su, su), ("_status", plan.status, status),
                                          ("_text", plan.text, text)):
                if wanted:
                    out_names.append(names[name][suffix])
                    out_columns.append(array)
        return pa.Table.from_arrays(out_columns, names=out_names)

    # ---- one part, one table ----

    def rewrite(self, f: Any, plans: dict[str, Any], temp: str) -> bool:
        """Writes the part that ``f`` reads with the decided types to
        ``temp``, batch by batch; False (nothing written) when the part
        agrees already."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        from .numbers import _free_name

        schema = f.schema_arrow
        typed, texts = layout(schema)
        taken = set(schema.names)
        names: dict[str, dict[str, str]] = {}  # column → the names of the columns beside it
        stale = False
        for name in schema.names:
            plan = plans.get(name)
            if plan is None:
                continue
            if name in typed:
                t = typed[name]
                own = dict(t.beside)
                stale = stale or t.integers != plan.integers or any(
                    wanted and suffix not in own
                    for suffix, wanted in (("_su", plan.su), ("_status", plan.status), ("_text", plan.text)))
            elif name in texts:
                own = {}
                stale = True
            else:
                continue
            for suffix in SUFFIXES:
                if suffix not in own:
                    own[suffix] = _free_name(name + suffix, taken)
                    taken.add(own[suffix])
            names[name] = own
        if not stale:
            return False
        writer = None
        gathered: list[Any] = []
        size = 0
        try:
            for batch in f.iter_batches(batch_size=BATCH_ROWS):
                converted = self.convert(batch, typed, plans, names)
                if writer is None:
                    writer = pq.ParquetWriter(temp, converted.schema, compression="snappy")
                gathered.append(converted)
                size += converted.nbytes
                if size >= GROUP_BYTES:
                    writer.write_table(pa.concat_tables(gathered), row_group_size=1 << 30)
                    gathered, size = [], 0
            if gathered:
                writer.write_table(pa.concat_tables(gathered), row_group_size=1 << 30)
        finally:
            if writer is not None:
                writer.close()
        return writer is not None

    def type_table(self, out: str, table: str) -> None:
        import pyarrow.parquet as pq

        parts = _commits.part_files(os.path.join(out, table))
        plans = self.decide(parts)
        if not plans:
            return
        renames: list[tuple[str, str]] = []
        number = _commits.first_free_number(out)
        try:
            for path in parts:
                temp = _commits.temp_name(table, number)
                with pq.ParquetFile(path) as f:
                    if not self.rewrite(f, plans, os.path.join(out, temp)):
                        continue
                number += 1
                renames.append((temp, f"{table}/{os.path.basename(path)}"))
        except BaseException:
            for temp, _ in renames + [(_commits.temp_name(table, number), "")]:
                try:
                    os.unlink(os.path.join(out, temp))
                except OSError:
                    pass
            raise
        _commits.commit(out, renames, number=number)


def type_dataset(out: str, dictionary: Any = None) -> None:
    """Types every category table of the dataset at ``out`` (the caller
    holds its lock)."""
    from .dataset import tables

    typer = _Typer(dictionary)
    for table in tables(out):
        typer.type_table(out, table)
