"""Enumerations and the error class that the native module looks up by name."""

from __future__ import annotations

import enum

__all__ = ["CifVersion", "TokenType", "ValueType", "ParseError"]


class CifVersion(enum.Enum):
    """The CIF version a text declares (or is lexed under)."""

    CIF_1_1 = 0
    CIF_2_0 = 1


class TokenType(enum.Enum):
    """Kind of a lexed token."""

    TAG = 0
    KEYWORD = 1
    VALUE = 2


class ValueType(enum.Enum):
    """How a value was written in the source."""

    MULTILINE_STRING = 0
    TRIPLE_DOUBLE_QUOTED = 1
    TRIPLE_SINGLE_QUOTED = 2
    DOUBLE_QUOTED = 3
    SINGLE_QUOTED = 4
    STRING = 5
    PLACEHOLDER = 6


class ParseError(Exception):
    """One problem found in a CIF text.

    Carries the six fields of the record: ``error_type`` ("lexical",
    "syntactic" or "semantic"), ``message``, ``line``, ``column``, ``context``
    and ``recovery_action``.
    """

    def __init__(
        self,
        error_type: str,
        message: str,
        line: int,
        column: int,
        context: str,
        recovery_action: str,
    ) -> None:
        super().__init__(error_type, message, line, column, context, recovery_action)
        self.error_type = error_type
        self.message = message
        self.line = line
        self.column = column
        self.context = context
        self.recovery_action = recovery_action

    def __str__(self) -> str:
        return f"{self.line}:{self.column}: {self.error_type}: {self.message}"

    def as_dict(self) -> dict[str, object]:
        return {
            "error_type": self.error_type,
            "message": self.message,
            "line": self.line,
            "column": self.column,
            "context": self.context,
            "recovery_action": self.recovery_action,
        }
