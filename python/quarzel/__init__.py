"""quarzel: a fast, forgiving reader of Crystallographic Information Files."""

from .types import CifVersion, ParseError, TokenType, ValueType

__all__ = ["CifVersion", "ParseError", "TokenType", "ValueType"]
__version__ = "0.1.0"
