"""Small helpers the dictionary rule compilers share: reading attribute
values of a parsed definition (a dict of tag -> list of values)."""

from __future__ import annotations

from typing import Any


def is_null(value: Any) -> bool:
    return value is None or value in ("?", ".")


def first(tags: dict, tag: str) -> Any:
    """The first value of `tag`, or None when absent or `?`/`.`."""
    values = tags.get(tag)
    if not values:
        return None
    value = values[0]
    return None if is_null(value) else value


def texts(tags: dict, tag: str) -> list[str]:
    """The text values of `tag` (lists and nulls left out)."""
    return [v for v in tags.get(tag, ()) if isinstance(v, str) and not is_null(v)]


def number_text(value: Any) -> str | None | bool:
    """A range bound: None for an open end (absent, `?`, `.`, empty), the
    text for a number, False for anything else."""
    if not isinstance(value, str):
        return None if value is None else False
    value = value.strip()
    if not value or value in ("?", "."):
        return None
    from .numbers import number

    return value if number(value)[0] is not None else False
