"""quarzel: a fast, forgiving reader of Crystallographic Information Files.

The native module ``quarzel_core`` does the reading; this package adds the
enumerations and error class it uses (``quarzel.types``), the object model's
home (``quarzel.cifmodel.model``), a few conveniences and the ``quarzel``
command line.
"""

# In a development build the native helper module (quarzel._native) sits in
# the build folder's own quarzel/ folder: let the package find it there.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from ._files import UnreadableFile
from .dictionary import Definition, Dictionary, DictionaryError
from ._read import ReadResult, loop_dataframe, loop_table, loop_tags, read
from .edit import add_block, new_file, remove_item, rename_block, set_item, set_loop
from .numbers import number, numbers, typed_table
from .types import CifVersion, ParseError, TokenType, ValueType
from .validation import Finding, Report, validate
from .write import dump, dumps

__all__ = [
    "CifVersion",
    "Definition",
    "Dictionary",
    "DictionaryError",
    "Finding",
    "ParseError",
    "ReadResult",
    "Report",
    "TokenType",
    "UnreadableFile",
    "ValueType",
    "add_block",
    "dump",
    "dumps",
    "loop_dataframe",
    "loop_table",
    "loop_tags",
    "new_file",
    "number",
    "numbers",
    "read",
    "remove_item",
    "rename_block",
    "set_item",
    "set_loop",
    "typed_table",
    "validate",
]
__version__ = "0.1.0"
