"""Editing the object model: functions that keep its invariants.

Blocks, save frames and tags are stored in lower case, as ``parse_cif``
stores them, so that look-ups (which lower-case their query) find them. A
tag is in ``_tag_order`` exactly once, a looped tag in exactly one loop, the
tags of a loop stand together in ``_tag_order`` in the loop's order, and the
loops stand in ``_loops`` in the order of their tags, so that what ``dumps``
writes reads back the same.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Any

import quarzel_core

from . import _native
from .types import CifVersion

__all__ = ["add_block", "new_file", "remove_item", "rename_block", "set_item", "set_loop"]

Frame = Any  # a CifBlock or a CifSaveFrame


def _name(name: Any, kind: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a {_KINDS[kind]} name must be a str, not {type(name).__name__!r}")
    _native.check_name(name, kind)
    return name.lower()


_KINDS = {"block": "data block", "frame": "save frame", "tag": "tag"}


def _frame(obj: Any) -> Frame:
    if not isinstance(obj, (quarzel_core.CifBlock, quarzel_core.CifSaveFrame)):
        raise TypeError(f"expected a CifBlock or CifSaveFrame, not {type(obj).__name__!r}")
    return obj


def _file(obj: Any) -> Any:
    if not isinstance(obj, quarzel_core.CifFile):
        raise TypeError(f"expected a CifFile, not {type(obj).__name__!r}")
    return obj


def new_file() -> Any:
    """An empty ``CifFile``. It is written as CIF 1.1 unless its content
    needs CIF 2.0 (``dumps`` decides when its version is not given)."""
    return quarzel_core.CifFile(CifVersion.CIF_1_1)


def add_block(cif: Any, name: str) -> Any:
    """A new, empty data block named ``name`` (lower-cased), appended to
    ``cif``. A name already present raises ``ValueError``."""
    _file(cif)
    key = _name(name, "block")
    if key in cif._blocks:
        raise ValueError(f"data block {name!r} already exists")
    block = quarzel_core.CifBlock(key)
    cif._add_block(block)
    return block


def rename_block(cif: Any, old: str, new: str) -> None:
    """Rename the data block ``old`` to ``new``; ``KeyError`` when there is
    no block ``old``, ``ValueError`` when ``new`` breaks the rules or is taken."""
    _file(cif)
    block = cif[old]
    key = _name(new, "block")
    if key != block.name and key in cif._blocks:
        raise ValueError(f"data block {new!r} already exists")
    block.name = key
    index: dict[str, Any] = {}
    for b in cif._block_list:
        index.setdefault(b.name, b)
    cif._blocks = index


_CONTAINER = object()


def _scalar(value: Any, where: str) -> Any:
    """A scalar as the model holds it (None is ``?``, numbers their text), or
    ``_CONTAINER`` for a list, tuple or mapping."""
    if isinstance(value, str):
        return value
    if value is None or type(value).__name__ in ("NAType", "NaTType"):
        return "?"
    if isinstance(value, bool) or type(value).__name__ == "bool_":
        raise TypeError(f"{where}: a bool is not a CIF value")
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return "?" if math.isnan(value) else repr(float(value))
    if isinstance(value, (Mapping, list, tuple)):
        return _CONTAINER
    raise TypeError(f"{where}: a value must be a str, list or dict, not {type(value).__name__!r}")


def _entries(value: Any, where: str) -> Any:
    if not isinstance(value, Mapping):
        return ((None, v) for v in value)

    def checked() -> Any:
        for k, v in value.items():
            if not isinstance(k, str):
                raise TypeError(f"{where}: a table key must be a str, not {type(k).__name__!r}")
            yield k, v

    return checked()


def _value(value: Any, where: str) -> Any:
    """A value as the model holds it: str, list or dict (nested, to any
    depth, without recursion); None is the placeholder ``?``, numbers their
    text. A list or table that contains itself raises ``ValueError``."""
    out = _scalar(value, where)
    if out is not _CONTAINER:
        return out
    root: Any = {} if isinstance(value, Mapping) else []
    # Open containers: (their entries, the copy being filled, the original).
    stack = [(_entries(value, where), root, value)]
    open_ids = {id(value)}
    while stack:
        entries, copy, original = stack[-1]
        for key, item in entries:
            converted = _scalar(item, where)
            inner = converted is _CONTAINER
            if inner:
                if id(item) in open_ids:
                    raise ValueError(f"{where}: a list or table contains itself")
                converted = {} if isinstance(item, Mapping) else []
            if key is None:
                copy.append(converted)
            else:
                copy[key] = converted
            if inner:  # filled next, then this one goes on
                stack.append((_entries(item, where), converted, item))
                open_ids.add(id(item))
                break
        else:
            open_ids.discard(id(original))
            stack.pop()
    return root


def _loop_of(frame: Frame, tag: str) -> int | None:
    for i, loop in enumerate(frame._loops):
        if tag in loop:
            return i
    return None


def _drop(frame: Frame, tag: str) -> None:
    """Remove ``tag`` from the tags, the tag order and its loop; a loop left
    without tags goes."""
    frame._tags.pop(tag, None)
    frame._tag_order[:] = [t for t in frame._tag_order if t != tag]
    loops = []
    for loop in frame._loops:
        kept = [t for t in loop if t != tag]
        if kept:
            loops.append(kept)
    frame._loops[:] = loops


def _outside_loops(frame: Frame, at: int) -> int:
    """``at``, a place in the tag order, or when it falls between two tags
    of one loop the place just after that loop's tags: a loop's tags stand
    together."""
    order = frame._tag_order
    if 0 < at < len(order):
        loop = _loop_of(frame, order[at - 1])
        if loop is not None and _loop_of(frame, order[at]) == loop:
            tags = set(frame._loops[loop])
            while at < len(order) and order[at] in tags:
                at += 1
    return at


RECOVERY_TAG = "_quarzel_error_value"


def _settable(key: str) -> str:
    if key == RECOVERY_TAG:
        raise ValueError(
            f"tag {key!r} is reserved: the reader keeps values it found without a tag there, "
            "and it is not written"
        )
    return key


def set_item(block: Frame, tag: str, value: Any, *, replace_loop: bool = False) -> None:
    """Set the single value of ``tag`` (lower-cased) in a block or save
    frame: a str, a list or dict (CIF 2.0), a number (its text) or None (``?``).
    A tag that is looped raises ``ValueError`` unless ``replace_loop`` is
    true: then it leaves its loop (a loop left without tags disappears) and
    stands just before or after the loop's other tags."""
    _frame(block)
    key = _settable(_name(tag, "tag"))
    stored = _value(value, f"tag {key!r}")
    if _loop_of(block, key) is not None:
        if not replace_loop:
            raise ValueError(f"tag {key!r} is looped; pass replace_loop=True to replace it")
        position = block._tag_order.index(key)
        _drop(block, key)
        block._tag_order.insert(_outside_loops(block, position), key)
        block._tags[key] = [stored]
        return
    if key not in block._tags:
        block._tag_order.append(key)
    block._tags[key] = [stored]


def remove_item(block: Frame, tag: str) -> None:
    """Remove ``tag`` from a block or save frame (from its loop too; a loop
    left without tags disappears). ``KeyError`` when it is not there."""
    _frame(block)
    key = tag.lower() if isinstance(tag, str) else tag
    if key not in block._tags:
        raise KeyError(tag)
    _drop(block, key)


def _columns(data: Any) -> tuple[list[str], list[list[Any]]]:
    """Tag names and columns (as lists) of a mapping, pyarrow Table or
    pandas DataFrame."""
    try:
        import pyarrow as pa
    except ImportError:  # pragma: no cover
        pa = None
    if pa is not None and isinstance(data, (pa.Table, pa.RecordBatch)):
        return list(data.column_names), [_arrow_column(c) for c in data.columns]
    if type(data).__name__ == "DataFrame" and hasattr(data, "columns") and hasattr(data, "iloc"):
        names = [c if isinstance(c, str) else str(c) for c in data.columns]
        return names, [data.iloc[:, i].tolist() for i in range(len(names))]
    if isinstance(data, Mapping):
        names, columns = [], []
        for name, column in data.items():
            if isinstance(column, (str, bytes)) or not hasattr(column, "__iter__"):
                raise TypeError(f"column {name!r} must be a sequence of values")
            names.append(name)
            columns.append(list(column))
        return names, columns
    raise TypeError(
        "loop data must be a mapping of tag to column, a pyarrow Table or a pandas DataFrame, "
        f"not {type(data).__name__!r}"
    )


def _arrow_column(column: Any) -> list[Any]:
    import pyarrow as pa
    import pyarrow.compute as pc

    if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
        return column.to_pylist()
    if pa.types.is_floating(column.type):
        # NaN as a null: written as '?', like a missing value.
        column = pc.if_else(pc.is_nan(column), pa.scalar(None, column.type), column)
    if (
        pa.types.is_integer(column.type)
        or pa.types.is_floating(column.type)
        or pa.types.is_decimal(column.type)
    ):
        return pc.cast(column, pa.string()).to_pylist()
    return column.to_pylist()


def set_loop(block: Frame, data: Any) -> None:
    """Make a loop of ``data``: a mapping of tag to column, a
    ``pyarrow.Table`` or a ``pandas.DataFrame`` (column names are the tags,
    lower-cased). Columns must have equal lengths, at least one value each;
    nulls (None, NaN) are written as ``?``. Tags already in the block leave
    their old place (and their loop); the loop takes the place of the first
    of them (after the tags of a loop it would split), or goes at the end."""
    _frame(block)
    names, columns = _columns(data)
    if not names:
        raise ValueError("a loop needs at least one tag")
    keys = [_settable(_name(n, "tag")) for n in names]
    if len(set(keys)) != len(keys):
        raise ValueError(f"a tag is given twice: {names!r}")
    lengths = {len(c) for c in columns}
    if len(lengths) > 1:
        detail = ", ".join(f"{k} has {len(c)}" for k, c in zip(keys, columns))
        raise ValueError(f"loop columns differ in length: {detail}")
    if lengths == {0}:
        raise ValueError(f"a loop needs at least one row of values: {names!r} have none")
    values = [[_value(v, f"tag {k!r}") for v in column] for k, column in zip(keys, columns)]
    taken = set(keys)
    positions = [i for i, t in enumerate(block._tag_order) if t in taken]
    for key in keys:
        if key in block._tags:
            _drop(block, key)
    at = positions[0] if positions else len(block._tag_order)
    # Count the tags before `at` that were dropped, to find the place again.
    at -= sum(1 for p in positions if p < at)
    at = _outside_loops(block, at)
    block._tag_order[at:at] = keys
    for key, column in zip(keys, values):
        block._tags[key] = column
    # The loops stay in the order of their tags.
    place = {t: i for i, t in enumerate(block._tag_order)}
    index = sum(1 for loop in block._loops if place.get(loop[0], len(place)) < at)
    block._loops.insert(index, keys)
