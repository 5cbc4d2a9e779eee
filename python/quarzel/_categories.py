"""The category of each tag of a loop, as the archive engine assigns it.

A tag with a dot belongs to the category before its first dot
(``_atom_site.id``: ``atom_site``). A tag without one (CIF 1.1 core style)
takes its category from a dictionary that defines it; the loop's other
dotless tags share the longest common prefix of their names that ends at an
underscore (``_geom_bond_distance`` and ``_geom_bond_atom_site_label_1``:
``geom_bond``). Categories are lower case, without the leading underscore.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # pragma: no cover
    from .dictionary import Dictionary

__all__ = ["category_key", "loop_categories"]


def category_key(key: str) -> str:
    """A category as users name it (``_atom_site``, ``_atom_site.``,
    ``atom_site``, any case) in the form ``loop_categories`` gives."""
    return key.lower().rstrip("._").lstrip("_")


def _prefix_category(tags: Sequence[str]) -> str:
    prefix = os.path.commonprefix(list(tags))
    cut = prefix.rfind("_") if len(prefix) > 1 else -1
    if cut > 1:
        return prefix[1:cut]
    return tags[0][1:] if tags[0].startswith("_") else tags[0]


def loop_categories(tags: Sequence[str], dictionary: "Dictionary | None" = None) -> list[str]:
    """The category of each of ``tags`` (the tags of one loop), in order."""
    lowered = [t.lower() for t in tags]
    out: list[str | None] = []
    plain: list[str] = []
    for tag in lowered:
        dot = tag.find(".")
        category: str | None = tag[1:dot] if dot > 1 else None
        if category is None and dictionary is not None:
            definition = dictionary.get(tag)
            if definition is not None and definition.category:
                category = definition.category.lower()
        if category is None:
            plain.append(tag)
        out.append(category)
    if plain:
        shared = _prefix_category(plain)
        out = [shared if c is None else c for c in out]
    return out  # type: ignore[return-value]
