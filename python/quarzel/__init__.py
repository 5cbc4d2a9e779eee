"""quarzel: a fast, forgiving reader of Crystallographic Information Files.

The native module ``quarzel_core`` does the reading; this package adds the
enumerations and error class it uses (``quarzel.types``), the object model's
home (``quarzel.cifmodel.model``), a few conveniences and the ``quarzel``
command line.
"""

from __future__ import annotations

import importlib

TYPE_CHECKING = False  # typing, which would say so, costs a short process a fifth of its start
if TYPE_CHECKING:
    from typing import Any

# In a development build the native helper module (quarzel._native) sits in
# the build folder's own quarzel/ folder: let the package find it there.
from ._package_path import extend_path  # noqa: E402

__path__ = extend_path(__path__, __name__)
del extend_path

# Each public name and the submodule that defines it. The submodules are
# imported on first use, so `python -m quarzel check x.cif` (and any script
# that needs one corner of the package) pays only for what it touches.
_EXPORTS = {
    "UnreadableFile": "._files",
    "Definition": ".dictionary",
    "Dictionary": ".dictionary",
    "DictionaryError": ".dictionary",
    "ReadResult": "._read",
    "loop_dataframe": "._read",
    "loop_table": "._read",
    "loop_tags": "._read",
    "read": "._read",
    "add_block": ".edit",
    "new_file": ".edit",
    "remove_item": ".edit",
    "rename_block": ".edit",
    "set_item": ".edit",
    "set_loop": ".edit",
    "CifVersion": ".types",
    "ParseError": ".types",
    "TokenType": ".types",
    "ValueType": ".types",
    "dump": ".write",
    "dumps": ".write",
    "Finding": ".validation",
    "Report": ".validation",
    "validate": ".validation",
    # Inputs of every size: chosen categories, one block at a time, an index.
    "BlockIterator": "._selective",
    "BlockRead": "._selective",
    "CategoryTables": "._selective",
    "iter_blocks": "._selective",
    "read_categories": "._selective",
    "CifIndex": "._cif_index",
    "index": "._cif_index",
}

# quarzel.numbers is both a submodule and a function of it: bound here at
# once (a cheap import), so that the function wins whatever is imported later.
from .numbers import number, numbers, typed_table  # noqa: E402

__all__ = sorted([*_EXPORTS, "number", "numbers", "typed_table"])
__version__ = "0.1.0"


# Submodules that are part of the public face (quarzel.bcif.tables(...)).
_SUBMODULES = {"bcif"}


def __getattr__(name: str) -> Any:
    if name in _SUBMODULES:
        return importlib.import_module("." + name, __name__)
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'quarzel' has no attribute {name!r}")
    value = getattr(importlib.import_module(module, __name__), name)
    globals()[name] = value  # later look-ups skip this function
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_EXPORTS) | _SUBMODULES)


if TYPE_CHECKING:
    from ._files import UnreadableFile
    from ._read import ReadResult, loop_dataframe, loop_table, loop_tags, read
    from ._cif_index import CifIndex, index
    from ._selective import BlockIterator, BlockRead, CategoryTables, iter_blocks, read_categories
    from .dictionary import Definition, Dictionary, DictionaryError
    from .edit import add_block, new_file, remove_item, rename_block, set_item, set_loop
    from .types import CifVersion, ParseError, TokenType, ValueType
    from .validation import Finding, Report, validate
    from .write import dump, dumps
