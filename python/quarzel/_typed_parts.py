"""The typed pass over a dataset's parts (``--typed``, ``type_tables``).

Per table: one pass over every part, in batches of rows and only the
columns that may become numbers, decides each column's type over the whole
table, parts typed before included; a second pass rewrites the parts that
do not agree with the decision, batch by batch, under temporary names; one
commit (``quarzel._commits``) then puts all of them in place. So memory
stays at a few batches (a row group of the engine may hold a whole large
loop), and an interrupted pass leaves the table as it was.

A numeric column ``X`` is followed in its part by its companions, in this
order and each only when the table needs it: ``X_su`` (the uncertainties,
of X's type), ``X_status`` (``number``, ``unknown``, ``inapplicable`` or
``text``) and ``X_text`` (the text of the values whose status is
``text``, null elsewhere). Should such a name be taken by a tag,
underscores are appended to it.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any

from . import _commits

IDENTITY = ("_file", "_block_name", "_frame_name")
STATUSES = ("number", "unknown", "inapplicable", "text")
BATCH_ROWS = 1 << 16  # rows read at a time
GROUP_BYTES = 32 << 20  # converted bytes gathered into one row group
SUFFIXES = ("_su", "_status", "_text")


@dataclass
class Typed:
    """A column typed in one part, and its companions there."""

    integers: bool
    companions: dict[str, str] = field(default_factory=dict)  # "_su"/"_status"/"_text" -> column name


@dataclass
class Seen:
    """What the whole table holds in one column."""

    texts: int = 0  # values that are not numbers, ? or .
    numbers: int = 0
    integers: bool = True  # every number an integer that fits int64
    su: bool = False
    status: bool = False  # some value is not a number
    typed: bool = False  # numeric in some part already


@dataclass
class Decision:
    integers: bool
    su: bool
    status: bool
    text: bool


def _is_companion(name: str, base: str, suffix: str) -> bool:
    return name.startswith(base + suffix) and not name[len(base) + len(suffix):].strip("_")


def layout(schema: Any) -> tuple[dict[str, Typed], list[str]]:
    """The typed columns of a part (with their companions) and its other
    text columns that may become numbers."""
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
                if k < len(names) and _is_companion(names[k], name, suffix):
                    t.companions[suffix] = names[k]
                    k += 1
            typed[name] = t
        elif pa.types.is_string(kind) or pa.types.is_large_string(kind):
            texts.append(name)
    return typed, texts


def _status_type() -> Any:
    import pyarrow as pa

    return pa.dictionary(pa.int8(), pa.string())


def _status_array(values: Any) -> Any:
    """Status texts (or a status column read back) as the dictionary array
    that ``numbers`` gives."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if pa.types.is_dictionary(values.type):
        values = values.cast(pa.string())
    indices = pc.index_in(values, value_set=pa.array(STATUSES)).cast(pa.int8())
    return pa.DictionaryArray.from_arrays(indices, pa.array(STATUSES))


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


def types(dictionary: Any) -> Any:
    """The dictionary (a ``Dictionary`` or its path) that types columns,
    read; None without one. Raises DictionaryError."""
    from .dictionary import Dictionary

    if dictionary is not None and not isinstance(dictionary, Dictionary):
        dictionary = Dictionary(os.fspath(dictionary))
    return dictionary


class _Typer:
    def __init__(self, dictionary: Any) -> None:
        from .numbers import _native

        self.dictionary = types(dictionary)
        self.native = _native()

    def declared(self, name: str) -> str | None:
        definition = self.dictionary.get(name) if self.dictionary is not None else None
        return definition.type if definition is not None else None

    def parse(self, column: Any) -> tuple[Any, dict[str, int]]:
        import pyarrow.compute as pc

        from .numbers import _string_chunks

        parsed = self.native.numbers(_string_chunks(column), True)
        counts = {c["values"]: c["counts"]
                  for c in pc.value_counts(parsed.field("status").dictionary_decode()).to_pylist()
                  if c["values"] is not None}
        return parsed, counts

    # ---- the decision ----

    def count(self, batch: Any, seen: dict[str, Seen]) -> None:
        for name, column in zip(batch.column_names, batch.columns):
            parsed, counts = self.parse(column)
            s = seen.setdefault(name, Seen())
            n_number = counts.get("number", 0)
            s.texts += counts.get("text", 0)
            s.numbers += n_number
            ints = parsed.field("int_value")
            s.integers = s.integers and len(ints) - ints.null_count == n_number
            s.su = s.su or parsed.field("su").null_count < len(column)
            s.status = s.status or n_number + column.null_count < len(column)

    def decide(self, parts: list[str]) -> dict[str, Decision]:
        import pyarrow.parquet as pq

        seen: dict[str, Seen] = {}
        layouts = [layout(pq.read_schema(path)) for path in parts]
        for typed, _ in layouts:
            for name, t in typed.items():
                s = seen.setdefault(name, Seen())
                s.typed = True
                s.integers = s.integers and t.integers
                s.su = s.su or "_su" in t.companions
                s.status = s.status or "_status" in t.companions
                s.texts += "_text" in t.companions
        for path, (_, texts) in zip(parts, layouts):
            candidates = [n for n in texts if self.declared(n) != "text" or (n in seen and seen[n].typed)]
            if candidates:
                with pq.ParquetFile(path) as f:
                    for batch in f.iter_batches(batch_size=BATCH_ROWS, columns=candidates):
                        self.count(batch, seen)
        decisions = {}
        for name, s in seen.items():
            kind = self.declared(name)
            if s.typed or kind in ("integer", "real") or (kind is None and not s.texts and s.numbers):
                decisions[name] = Decision(s.integers and kind != "real", s.su, s.status, s.texts > 0)
        return decisions

    # ---- one row group to the decided types ----

    def convert(self, batch: Any, typed: dict[str, Typed], decisions: dict[str, Decision],
                names: dict[str, dict[str, str]]) -> Any:
        import pyarrow as pa
        import pyarrow.compute as pc

        companions = {c for t in typed.values() for c in t.companions.values()}
        out_names: list[str] = []
        out_columns: list[Any] = []
        for name, column in zip(batch.column_names, batch.columns):
            if name in companions:
                continue
            out_names.append(name)
            d = decisions.get(name)
            if d is None or not (name in typed or pa.types.is_string(column.type)
                                 or pa.types.is_large_string(column.type)):
                out_columns.append(column)
                continue
            kind = pa.int64() if d.integers else pa.float64()
            n = len(column)
            if name in typed:
                own = typed[name].companions
                values = column.cast(kind)
                su = batch.column(own["_su"]).cast(kind) if "_su" in own else pa.nulls(n, kind)
                if "_status" in own:
                    status = _status_array(batch.column(own["_status"]))
                else:
                    status = _status_array(pc.if_else(pc.is_valid(values), "number", None))
                text = batch.column(own["_text"]) if "_text" in own else pa.nulls(n, pa.string())
            else:
                parsed, _ = self.parse(column)
                values = parsed.field("int_value" if d.integers else "value")
                su = parsed.field("int_su" if d.integers else "su")
                status = parsed.field("status")
                text = pc.if_else(pc.equal(status.dictionary_decode(), "text"), column, None)
            out_columns.append(values)
            for suffix, wanted, array in (("_su", d.su, su), ("_status", d.status, status),
                                          ("_text", d.text, text)):
                if wanted:
                    out_names.append(names[name][suffix])
                    out_columns.append(array)
        return pa.Table.from_arrays(out_columns, names=out_names)

    # ---- one table ----

    def type_table(self, out: str, table: str) -> None:
        import pyarrow.parquet as pq

        parts = _commits.part_files(os.path.join(out, table))
        decisions = self.decide(parts)
        if not decisions:
            return
        renames: list[tuple[str, str]] = []
        number = _commits.first_free_number(out)
        try:
            for path in parts:
                temp = _commits.temp_name(table, number)
                with pq.ParquetFile(path) as f:
                    if not self.rewrite(f, decisions, os.path.join(out, temp)):
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

    def rewrite(self, f: Any, decisions: dict[str, Decision], temp: str) -> bool:
        """Writes the part that ``f`` reads with the decided types to
        ``temp``, batch by batch; False (nothing written) when the part
        agrees already."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        from .numbers import _free_name

        schema = f.schema_arrow
        typed, texts = layout(schema)
        taken = set(schema.names)
        names: dict[str, dict[str, str]] = {}
        stale = False
        for name, d in decisions.items():
            if name in typed:
                t = typed[name]
                own = dict(t.companions)
                stale = stale or t.integers != d.integers or any(
                    wanted and suffix not in own
                    for suffix, wanted in (("_su", d.su), ("_status", d.status), ("_text", d.text)))
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
        if not stale or f.num_row_groups == 0:
            return False
        writer = None
        gathered: list[Any] = []
        size = 0
        try:
            for batch in f.iter_batches(batch_size=BATCH_ROWS):
                converted = self.convert(batch, typed, decisions, names)
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


def type_dataset(out: str, dictionary: Any = None) -> None:
    """Types every category table of the dataset at ``out`` (the caller
    holds its lock)."""
    from .dataset import tables

    typer = _Typer(dictionary)
    for table in tables(out):
        typer.type_table(out, table)
