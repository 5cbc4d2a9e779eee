"""Typing inside the engine (``convert(typed=True)``): what the run is told
beforehand, and what is put right after it.

The engine types each value as it writes it. With a dictionary, the tags
it types ``integer`` or ``real`` are numbers in every part (with ``_su``,
``_status`` and ``_text`` always beside them), the others text: nothing is
left to do afterwards. Without one, a column's type follows the kinds of
values the run has seen so far, so the parts written before the run's last
word may disagree with it: each part's footer records, under the key
``quarzel.typing``, the kinds of values of each column and how the part
lays it out, and the text of its numeric columns that their numbers cannot
give back (``quarzel._kept_text``; and of its text columns of ? and . alone,
which may yet become numbers) is kept beside it
(``OUT/.text/<table>/part-N.parquet``, the same rows). ``settle`` rewrites
the parts that disagree with the kinds of the whole table (from that text
where a column turned out to hold text), under temporary names committed
together, so an interrupted pass leaves the dataset as it was and the next
run (``resume``) settles it again.

What the dataset was typed with is kept in ``OUT/.typing.json``, so that a
resumed run types the new inputs alike.
"""

from __future__ import annotations

import json
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from . import _commits

STATE = ".typing.json"
TEXT_FOLDER = ".text"
FOOTER_KEY = b"quarzel.typing"
LETTERS = "NTFSQU"  # the kinds' bits, in order (src/dataset/kinds.hpp)
N, T, F, S, Q, U = (1 << k for k in range(6))
BATCH_ROWS = 1 << 16
GROUP_BYTES = 32 << 20


def bits_of(letters: str) -> int:
    return sum(1 << LETTERS.index(c) for c in letters)


def letters_of(bits: int) -> str:
    return "".join(c for k, c in enumerate(LETTERS) if bits & (1 << k))


# ---- what a dataset was typed with --------------------------------------

def declared_types(dictionary: Any) -> dict[str, str]:
    """Lower-case tag (names and aliases) → ``"integer"`` or ``"real"`` for
    the tags a dictionary types as numbers."""
    out: dict[str, str] = {}
    for key, definition in dictionary._definitions.items():
        if definition.type in ("integer", "real"):
            out[key] = definition.type
    return out


def load_state(out: str) -> dict | None:
    try:
        with open(os.path.join(out, STATE), encoding="utf-8") as f:
            state = json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as e:
        raise OSError(f"{os.path.join(out, STATE)}: cannot read how the dataset was typed ({e})") from e
    return state if isinstance(state, dict) else None


def save_state(out: str, state: dict) -> None:
    path = os.path.join(out, STATE)
    temp = path + ".tmp"
    with open(temp, "w", encoding="utf-8") as f:
        json.dump(state, f)
    os.replace(temp, path)


def footer(path: str) -> dict | None:
    import pyarrow.parquet as pq

    meta = pq.read_metadata(path).metadata or {}
    raw = meta.get(FOOTER_KEY)
    return json.loads(raw) if raw else None


def seeds(out: str) -> dict[str, dict[str, int]]:
    """table → column → kinds of the parts a resumed run adds to."""
    from .dataset import tables

    found: dict[str, dict[str, int]] = {}
    for table in tables(out):
        for path in _commits.part_files(os.path.join(out, table)):
            meta = footer(path)
            if not meta or meta.get("typed_by") != "values":
                continue
            columns = found.setdefault(table, {})
            for name, c in meta["columns"].items():
                columns[name] = columns.get(name, 0) | bits_of(c.get("kinds", ""))
    return found


# ---- putting parts right ------------------------------------------------

def plan_of(bits: int) -> Any:
    """The column's final layout from the kinds of the whole table: None for text."""
    from .numbers import ColumnPlan

    if bits & (T | U) or not bits & N:
        return None
    return ColumnPlan(integers=not bits & F, su=bool(bits & S), status=bool(bits & Q), text=False)


def _agrees(layout: dict, plan: Any) -> bool:
    if plan is None:
        return layout["type"] == "text"
    return (layout["type"] == ("int64" if plan.integers else "float64")
            and ("su" in layout) == plan.su and ("status" in layout) == plan.status)


def _status_text(values: Any) -> Any:
    import pyarrow as pa

    return values.cast(pa.string()) if pa.types.is_dictionary(values.type) else values


def _convert(batch: Any, shadow: Any, layouts: dict, plans: dict, names: dict) -> Any:
    import pyarrow as pa
    import pyarrow.compute as pc

    from ._kept_text import column_text
    from .numbers import ColumnCounts

    beside = {l[k] for l in layouts.values() for k in ("su", "status", "text") if k in l}
    out_names, out_columns = [], []
    for name, column in zip(batch.column_names, batch.columns):
        if name in beside:
            continue
        layout = layouts.get(name)
        plan = plans.get(name)
        numeric = layout is not None and layout["type"] != "text"
        if layout is None or (plan is None and not numeric):
            out_names.append(batch.schema.field(name))  # as it was, nullability included
            out_columns.append(column)
            continue
        if plan is None:  # the table holds text in it: the part's own text back
            out_names.append(name)
            out_columns.append(column_text(batch, shadow, name, layout))
            continue
        kind = pa.int64() if plan.integers else pa.float64()
        n = len(column)
        if numeric:
            # int64 to float64 rounds to nearest, as reading the digits does
            values = column.cast(kind, safe=False)
            su = batch.column(layout["su"]).cast(kind, safe=False) if "su" in layout else pa.nulls(n, kind)
            if "status" in layout:
                status = _status_text(batch.column(layout["status"]))
            else:
                status = pc.if_else(pc.is_valid(values), "number", pa.scalar(None, pa.string()))
            kept = shadow.column(name) if shadow is not None and name in shadow.column_names else None
            if layout["type"] != ("int64" if plan.integers else "float64") and kept is not None \
                    and kept.null_count < n:
                # The type changes: the numbers whose text is kept are read
                # from it (-0 is -0.0, integers past 2**53 exact as int64),
                # the others are the part's.
                parsed = ColumnCounts().add(kept)
                has_text = pc.is_valid(kept)
                values = pc.if_else(has_text, parsed.field("int_value" if plan.integers else "value"), values)
                su = pc.if_else(has_text, parsed.field("int_su" if plan.integers else "su"), su)
        else:
            parsed = ColumnCounts().add(column)
            values = parsed.field("int_value" if plan.integers else "value")
            su = parsed.field("int_su" if plan.integers else "su")
            status = _status_text(parsed.field("status"))
        out_names.append(name)
        out_columns.append(values)
        for key, wanted, array in (("su", plan.su, su), ("status", plan.status, status)):
            if wanted:
                out_names.append(names[name][key])
                out_columns.append(array)
    fields = [n if isinstance(n, pa.Field) else pa.field(n, c.type) for n, c in zip(out_names, out_columns)]
    return pa.Table.from_arrays(out_columns, schema=pa.schema(fields))


def _laid_out(layouts: dict, plans: dict, taken: set) -> tuple[dict, dict]:
    """The su and status column names of each numeric column (a part's own,
    or free names taken from ``taken``) and the part's new column layouts."""
    from .numbers import _free_name

    names: dict[str, dict[str, str]] = {}
    new_layouts = {}
    for name, layout in layouts.items():
        plan = plans.get(name)
        if plan is None:
            new_layouts[name] = {"type": "text", "kinds": layout.get("kinds", "")}
            continue
        own = {k: layout[k] for k in ("su", "status") if k in layout}
        for key in ("su", "status"):
            if key not in own:
                own[key] = _free_name(f"{name}_{key}", taken)
                taken.add(own[key])
        names[name] = own
        entry = {"type": "int64" if plan.integers else "float64", "kinds": layout.get("kinds", "")}
        if plan.su:
            entry["su"] = own["su"]
        if plan.status:
            entry["status"] = own["status"]
        new_layouts[name] = entry
    return names, new_layouts


def _rewrite(out: str, table: str, path: str, meta: dict, plans: dict, temp: str,
             renames: list) -> bool:
    """Writes the part at ``path`` as ``plans`` lay it out to ``temp``;
    False when it agrees already. A column that becomes numbers adds its
    text to the text kept beside the part (rewritten too: its rename is
    added to ``renames``)."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    layouts = meta["columns"]
    stale = [n for n, l in layouts.items() if not _agrees(l, plans.get(n))]
    if not stale:
        return False
    f = pq.ParquetFile(path)
    taken = set(f.schema_arrow.names)
    names, new_layouts = _laid_out(layouts, plans, taken)
    needs_text = any(plans.get(n) is None and layouts[n]["type"] != "text" for n in stale)
    retyped = any(layouts[n]["type"] != "text" and plans.get(n) is not None
                  and layouts[n]["type"] != ("int64" if plans[n].integers else "float64")
                  for n in stale)  # read from their text, where -0 is -0.0 (see _convert)
    shadow_name = os.path.join(TEXT_FOLDER, table, os.path.basename(path))
    shadow_path = os.path.join(out, shadow_name)
    has_shadow = os.path.exists(shadow_path)
    kept_names = pq.read_schema(shadow_path).names if has_shadow else []
    to_numbers = [n for n in stale if plans.get(n) is not None and layouts[n]["type"] == "text"
                  and n not in kept_names]
    shadow_batches = None
    if needs_text or ((to_numbers or retyped) and has_shadow):
        shadow_batches = pq.ParquetFile(shadow_path).iter_batches(batch_size=BATCH_ROWS)
    shadow_temp = os.path.join(TEXT_FOLDER, table, f".{os.path.basename(path)}.settle.tmp")
    shadow_writer = None
    new_meta = dict(meta, columns=new_layouts)
    writer = None
    gathered: list[Any] = []
    size = 0
    try:
        for batch in f.iter_batches(batch_size=BATCH_ROWS):
            shadow = next(shadow_batches) if shadow_batches is not None else None
            if shadow is not None and shadow.num_rows != batch.num_rows:
                raise OSError(f"{path}: the text kept beside the part does not match it")
            converted = _convert(batch, shadow, layouts, plans, names)
            if to_numbers:
                arrays = (list(shadow.columns) if shadow is not None else []) + [batch.column(n) for n in to_numbers]
                kept = pa.Table.from_arrays(arrays, names=(shadow.schema.names if shadow is not None else [])
                                            + to_numbers)
                if shadow_writer is None:
                    os.makedirs(os.path.dirname(os.path.join(out, shadow_temp)), exist_ok=True)
                    shadow_writer = pq.ParquetWriter(os.path.join(out, shadow_temp), kept.schema,
                                                     compression="snappy")
                shadow_writer.write_table(kept)
            if writer is None:
                schema = converted.schema.with_metadata({FOOTER_KEY: json.dumps(new_meta).encode()})
                writer = pq.ParquetWriter(temp, schema, compression="snappy")
            gathered.append(converted.replace_schema_metadata(writer.schema.metadata))
            size += converted.nbytes
            if size >= GROUP_BYTES:
                writer.write_table(pa.concat_tables(gathered), row_group_size=1 << 30)
                gathered, size = [], 0
        if gathered:
            writer.write_table(pa.concat_tables(gathered), row_group_size=1 << 30)
    finally:
        if writer is not None:
            writer.close()
        if shadow_writer is not None:
            shadow_writer.close()
        f.close()
    if shadow_writer is not None:
        renames.append((shadow_temp, shadow_name))
    return writer is not None


def _native_columns(schema_names: list[str], layouts: dict, plans: dict, names: dict,
                    kept_names: list[str]) -> list | None:
    """The columns of the settled part as ``_native.settle_part`` takes
    them (the same columns as ``_convert`` makes), or None when the part
    holds something only the general route knows."""
    index = {n: k for k, n in enumerate(schema_names)}
    kept = {n: k for k, n in enumerate(kept_names)}
    beside = {l[k] for l in layouts.values() for k in ("su", "status", "text") if k in l}
    columns: list = []
    for k, name in enumerate(schema_names):
        if name in beside:
            continue
        layout = layouts.get(name)
        plan = plans.get(name)
        numeric = layout is not None and layout["type"] != "text"
        if layout is not None and "text" in layout:
            return None
        if layout is None or (plan is None and not numeric):
            columns.append((0, k, "", False, "", "", -1, -1, -1))
        elif plan is None:  # the table holds text in it: the part's own text back
            columns.append((1, k, name, False, "", "",
                            index[layout["su"]] if "su" in layout else -1,
                            index[layout["status"]] if "status" in layout else -1,
                            kept.get(name, -1)))
        elif numeric and _agrees(layout, plan):  # as it is, with the columns beside it
            columns.append((0, k, "", False, "", "", -1, -1, -1))
            for key in ("su", "status"):
                if key in layout:
                    columns.append((0, index[layout[key]], "", False, "", "", -1, -1, -1))
        else:
            own = names[name]
            columns.append((2, k, name, not plan.integers, own["su"] if plan.su else "",
                            own["status"] if plan.status else "",
                            index[layout["su"]] if numeric and "su" in layout else -1,
                            index[layout["status"]] if numeric and "status" in layout else -1,
                            kept.get(name, -1) if numeric else -1))
    return columns


def _settle_part(out: str, table: str, path: str, schema_names: list[str], meta: dict, plans: dict,
                 temp: str, renames: list) -> bool:
    """Writes the part at ``path`` as ``plans`` lay it out to ``temp``
    natively, its column chunks moved as they are where they do not change;
    through ``_rewrite`` when the part is not as the engine writes it.
    False when it agrees already."""
    from . import _native

    layouts = meta["columns"]
    stale = [n for n, l in layouts.items() if not _agrees(l, plans.get(n))]
    if not stale:
        return False
    taken = set(schema_names)
    names, new_layouts = _laid_out(layouts, plans, taken)
    shadow_name = os.path.join(TEXT_FOLDER, table, os.path.basename(path))
    shadow_path = os.path.join(out, shadow_name)
    kept_names: list[str] = []
    if os.path.exists(shadow_path):
        import pyarrow.parquet as pq

        kept_names = pq.read_metadata(shadow_path).schema.names
    columns = _native_columns(schema_names, layouts, plans, names, kept_names)
    # Text that becomes numbers is added to the kept text, unless the
    # engine kept it already (a column of ? and . alone may become numbers).
    to_numbers = [n for n in stale if plans.get(n) is not None and layouts[n]["type"] == "text"
                  and n not in kept_names]
    shadow_temp = os.path.join(TEXT_FOLDER, table, f".{os.path.basename(path)}.settle.tmp")
    if columns is not None:
        if to_numbers:
            os.makedirs(os.path.join(out, TEXT_FOLDER, table), exist_ok=True)
        index = {n: k for k, n in enumerate(schema_names)}
        done = _native.settle_part(path, shadow_path, temp,
                                   os.path.join(out, shadow_temp) if to_numbers else None, columns,
                                   [index[n] for n in to_numbers], FOOTER_KEY.decode(),
                                   json.dumps(dict(meta, columns=new_layouts)))
        if done:
            if to_numbers:
                renames.append((shadow_temp, shadow_name))
            return True
    return _rewrite(out, table, path, meta, plans, temp, renames)


def _footers(parts: list[str]) -> list[tuple[Any, dict | None]]:
    """Each part's schema and what its footer says of its typing."""
    import pyarrow.parquet as pq

    found = []
    for path in parts:
        schema = pq.read_schema(path)
        raw = (schema.metadata or {}).get(FOOTER_KEY)
        found.append((schema, json.loads(raw) if raw else None))
    return found


def settle(out: str) -> dict[str, Any]:
    """Puts every part typed by values in line with its table's kinds (the
    caller holds the lock): the parts that disagree are written again under
    temporary names, a part per core, and committed together, so an
    interrupted pass leaves the dataset as it was. Returns the schemas
    (without metadata) of the parts it read and left as they were, by
    path, so that ``_common_schema.write_all`` need not read them again."""
    from .dataset import tables

    todo = []
    known: dict[str, Any] = {}
    for table in tables(out):
        parts = _commits.part_files(os.path.join(out, table))
        footers = _footers(parts)
        bits: dict[str, int] = {}
        for _, meta in footers:
            if meta and meta.get("typed_by") == "values":
                for name, c in meta["columns"].items():
                    bits[name] = bits.get(name, 0) | bits_of(c.get("kinds", ""))
        plans = {name: plan_of(b) for name, b in bits.items()}
        for path, (schema, meta) in zip(parts, footers):
            if meta and meta.get("typed_by") == "values" and any(
                    not _agrees(l, plans.get(n)) for n, l in meta["columns"].items()):
                todo.append((table, path, schema.names, meta, plans))
            else:
                known[path] = schema.remove_metadata()
    if not todo:
        return known
    number = _commits.first_free_number(out)
    jobs = [(job, number + k) for k, job in enumerate(todo)]
    number += len(jobs)

    def one(job: tuple) -> list:
        (table, path, schema_names, meta, plans), n = job
        temp = _commits.temp_name(table, n)
        done: list = []
        if _settle_part(out, table, path, schema_names, meta, plans, os.path.join(out, temp), done):
            done.append((temp, f"{table}/{os.path.basename(path)}"))
        return done

    renames: list[tuple[str, str]] = []
    try:
        # The native writer and pyarrow work without the GIL: a part per core.
        with ThreadPoolExecutor(max_workers=max(1, min(len(jobs), os.cpu_count() or 1))) as pool:
            for done in pool.map(one, jobs):
                renames += done
    except BaseException:
        for (table, path, *_), n in jobs:
            for temp in (os.path.join(out, _commits.temp_name(table, n)),
                         os.path.join(out, TEXT_FOLDER, table, f".{os.path.basename(path)}.settle.tmp")):
                try:
                    os.unlink(temp)
                except OSError:
                    pass
        raise
    _commits.commit(out, renames, number=number)
    return known
