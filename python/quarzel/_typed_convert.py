"""``quarzel convert --typed [--dictionary D]``: typed columns on the way out."""

from __future__ import annotations

from typing import Any, Callable, TextIO


def table_typer(dictionary_path: str | None, err: TextIO) -> Callable[[Any], Any] | None:
    """A function that types one table's columns (``quarzel.typed_table``),
    with the dictionary read from ``dictionary_path`` when given. None (and
    the reason on ``err``) when the dictionary cannot be read."""
    from .dictionary import Dictionary, DictionaryError
    from .numbers import typed_table

    dictionary = None
    if dictionary_path:
        try:
            dictionary = Dictionary(dictionary_path)
        except DictionaryError as exc:
            print(f"{dictionary_path}: {exc}", file=err)
            return None

    def typer(table: Any) -> Any:
        return typed_table(table, dictionary)

    return typer
