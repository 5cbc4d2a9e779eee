import enum
import sys
import types as pytypes

import pytest

import quarzel_core as q
from quarzel.types import CifVersion, TokenType, ValueType

TAG, KEYWORD, VALUE = TokenType.TAG, TokenType.KEYWORD, TokenType.VALUE
V = ValueType


def compact(tokens):
    """(token_type, value, value_type, line, column) per token."""
    return [(t["token_type"], t["value"], t["value_type"], t["line"], t["column"]) for t in tokens]


def error_tuples(tokens):
    return [(e["message"], e["context"], e["line"], e["column"])
            for t in tokens for e in t["errors"]]


# --- shape of the result ------------------------------------------------------

def test_result_shape_and_key_order():
    tokens, version = q.lex_cif("_a 'x\n")
    assert version is CifVersion.CIF_1_1
    assert isinstance(tokens, list) and len(tokens) == 2
    for t in tokens:
        assert type(t) is dict
        assert list(t) == ["token_type", "value", "value_type", "line", "column", "errors"]
        assert type(t["value"]) is str and type(t["line"]) is int and type(t["column"]) is int
        assert type(t["errors"]) is list
    (error,) = tokens[1]["errors"]
    assert list(error) == ["message", "line", "column", "context"]
    assert error == {"message": "unterminated single quoted string", "line": 1, "column": 4,
                     "context": "'x"}
    assert tokens[0]["errors"] == []


def test_members_are_the_package_members():
    tokens, version = q.lex_cif("#\\#CIF_2.0\n_t [ ? ]\n")
    assert version is CifVersion.CIF_2_0
    assert tokens[0]["token_type"] is TAG and tokens[0]["value_type"] is None
    assert tokens[1]["token_type"] is VALUE and tokens[1]["value_type"] is V.STRING
    assert tokens[2]["value_type"] is V.PLACEHOLDER


WORKED = "#\\#CIF_2.0\ndata_x\n_a [1 'b']\n_t {'k':v}\n;\ntext\n;\n"


def test_worked_example_cif2():
    tokens, version = q.lex_cif(WORKED)
    assert version is CifVersion.CIF_2_0
    assert compact(tokens) == [
        (KEYWORD, "data_x", None, 2, 1),
        (TAG, "_a", None, 3, 1),
        (VALUE, "[", V.STRING, 3, 4),
        (VALUE, "1", V.STRING, 3, 5),
        (VALUE, "b", V.SINGLE_QUOTED, 3, 7),
        (VALUE, "]", V.STRING, 3, 10),
        (TAG, "_t", None, 4, 1),
        (VALUE, "{", V.STRING, 4, 4),
        (VALUE, "k", V.SINGLE_QUOTED, 4, 5),
        (VALUE, ":", V.STRING, 4, 8),
        (VALUE, "v", V.STRING, 4, 9),
        (VALUE, "}", V.STRING, 4, 10),
        (VALUE, "\ntext", V.MULTILINE_STRING, 5, 1),
    ]
    assert error_tuples(tokens) == []


@pytest.mark.parametrize("source, expected", [
    ("'''a\nb''' \"\"\"c\"\"\"", [(VALUE, "a\nb", V.TRIPLE_SINGLE_QUOTED, 1, 1),
                                 (VALUE, "c", V.TRIPLE_DOUBLE_QUOTED, 2, 6)]),
    ("\"d\" 'e' . ?", [(VALUE, "d", V.DOUBLE_QUOTED, 1, 1), (VALUE, "e", V.SINGLE_QUOTED, 1, 5),
                       (VALUE, ".", V.PLACEHOLDER, 1, 9), (VALUE, "?", V.PLACEHOLDER, 1, 11)]),
    ("loop_ save_x stop_ global_", [(KEYWORD, "loop_", None, 1, 1),
                                    (KEYWORD, "save_x", None, 1, 7),
                                    (KEYWORD, "stop_", None, 1, 14),
                                    (KEYWORD, "global_", None, 1, 20)]),
])
def test_every_value_type(source, expected):
    tokens, _ = q.lex_cif(source, "cif2")
    assert compact(tokens) == expected


@pytest.mark.parametrize("source, expected", [
    ("caf\u00e9 x", [(VALUE, "caf\u00e9", V.STRING, 1, 1), (VALUE, "x", V.STRING, 1, 6)]),
    ("\U0001F600\u20ac 'a\u00e9' y", [(VALUE, "\U0001F600\u20ac", V.STRING, 1, 1),
                                      (VALUE, "a\u00e9", V.SINGLE_QUOTED, 1, 4),
                                      (VALUE, "y", V.STRING, 1, 9)]),
    ("a\0b", [(VALUE, "a\0b", V.STRING, 1, 1)]),
])
def test_non_ascii_values_and_columns(source, expected):
    tokens, _ = q.lex_cif(source, "cif2")
    assert compact(tokens) == expected


def test_cif1_character_errors():
    tokens, _ = q.lex_cif("_a 'caf\u00e9'\n;\n\x0c\n;\n")
    assert compact(tokens)[1] == (VALUE, "caf\u00e9", V.SINGLE_QUOTED, 1, 4)
    assert error_tuples(tokens) == [
        ("character U+00E9 is not permitted in CIF 1.x", "\u00e9", 1, 8),
        ("character U+000C is not permitted in CIF 1.x", "\x0c", 3, 1),
    ]


# --- number signs ---------------------------------------------------------------
# After a token's first byte "#" belongs to the token; at a token's start
# (after white space, a closing quote or bracket, a colon) it opens a comment.

S = V.STRING


@pytest.mark.parametrize("mode", ["cif1", "cif2"])
@pytest.mark.parametrize("source, expected", [
    ("abc#def a# AMCSD#0010129 (OH)2&#x00A1;&#x00A4;27H2O",
     [(VALUE, "abc#def", S, 1, 1), (VALUE, "a#", S, 1, 9), (VALUE, "AMCSD#0010129", S, 1, 12),
      (VALUE, "(OH)2&#x00A1;&#x00A4;27H2O", S, 1, 26)]),
    ("_tag#1 _a# data_a#b save_x#y save_",
     [(TAG, "_tag#1", None, 1, 1), (TAG, "_a#", None, 1, 8), (KEYWORD, "data_a#b", None, 1, 12),
      (KEYWORD, "save_x#y", None, 1, 21), (KEYWORD, "save_", None, 1, 30)]),
    ("#a b\n c #d\n\t#\nf", [(VALUE, "c", S, 2, 2), (VALUE, "f", S, 4, 1)]),
    ("caf\u00e9#\u00e9 x", [(VALUE, "caf\u00e9#\u00e9", S, 1, 1), (VALUE, "x", S, 1, 8)]),
    ("loop_#x ;#y", [(VALUE, "loop_#x", S, 1, 1), (VALUE, ";#y", S, 1, 9)]),
    (";\nt\n;#c\nz", [(VALUE, "\nt", V.MULTILINE_STRING, 1, 1), (VALUE, "z", S, 4, 1)]),
], ids=["words", "tags_and_headers", "word_start", "non_ascii", "keyword_and_semicolon",
        "after_text_field"])
def test_number_sign_in_tokens(mode, source, expected):
    tokens, _ = q.lex_cif(source, mode)
    assert compact(tokens) == expected
    assert error_tuples(tokens) == []


@pytest.mark.parametrize("source, mode, expected", [
    # Lists: items keep their number signs; one after a bracket is a comment.
    ("[a#b c#] [#d\n]", "cif2",
     [(VALUE, "[", S, 1, 1), (VALUE, "a#b", S, 1, 2), (VALUE, "c#", S, 1, 6),
      (VALUE, "]", S, 1, 8), (VALUE, "[", S, 1, 10), (VALUE, "]", S, 2, 1)]),
    ("a#[b]#c\nd", "cif2",
     [(VALUE, "a#", S, 1, 1), (VALUE, "[", S, 1, 3), (VALUE, "b", S, 1, 4),
      (VALUE, "]", S, 1, 5), (VALUE, "d", S, 2, 1)]),
    ("{'k#1':v#2 'k':#c\n}", "cif2",
     [(VALUE, "{", S, 1, 1), (VALUE, "k#1", V.SINGLE_QUOTED, 1, 2), (VALUE, ":", S, 1, 7),
      (VALUE, "v#2", S, 1, 8), (VALUE, "k", V.SINGLE_QUOTED, 1, 12), (VALUE, ":", S, 1, 15),
      (VALUE, "}", S, 2, 1)]),
    ("_a#[1] data_a#{b}", "cif2",
     [(TAG, "_a#[1]", None, 1, 1), (KEYWORD, "data_a#{b}", None, 1, 8)]),
    # After a closing quote: a comment in CIF 2.0; in CIF 1.1 the quote does
    # not close the string.
    ("'a'#b c\n\"d\"#e\n'''f'''#g\nh", "cif2",
     [(VALUE, "a", V.SINGLE_QUOTED, 1, 1), (VALUE, "d", V.DOUBLE_QUOTED, 2, 1),
      (VALUE, "f", V.TRIPLE_SINGLE_QUOTED, 3, 1), (VALUE, "h", S, 4, 1)]),
    ("'a'#b' c", "cif1", [(VALUE, "a'#b", V.SINGLE_QUOTED, 1, 1), (VALUE, "c", S, 1, 8)]),
], ids=["list_items", "word_then_bracket", "table", "tag_and_header_brackets", "after_quote_cif2",
        "after_quote_cif1"])
def test_number_sign_next_to_punctuation(source, mode, expected):
    tokens, _ = q.lex_cif(source, mode)
    assert compact(tokens) == expected


# --- version choice -----------------------------------------------------------

CIF2_SOURCE = "#\\#CIF_2.0\n_a [1 2]\n"
CIF1_SOURCE = "_a [1 2]\n"


@pytest.mark.parametrize("mode, version", [
    (None, CifVersion.CIF_2_0),
    ("cif1", CifVersion.CIF_1_1),
    ("cif1.1", CifVersion.CIF_1_1),
    ("cif2", CifVersion.CIF_2_0),
    ("cif2.0", CifVersion.CIF_2_0),
    ("CIF1", CifVersion.CIF_2_0),
    ("cif1 ", CifVersion.CIF_2_0),
    ("", CifVersion.CIF_2_0),
    ("strict", CifVersion.CIF_2_0),
])
def test_mode_on_cif2_source(mode, version):
    tokens, got = q.lex_cif(CIF2_SOURCE, mode)
    assert got is version
    values = [t["value"] for t in tokens]
    if version is CifVersion.CIF_2_0:
        assert values == ["_a", "[", "1", "2", "]"]
    else:
        assert values == ["_a", "[1", "2]"]
    assert tokens[0]["line"] == 2


@pytest.mark.parametrize("mode, version", [
    (None, CifVersion.CIF_1_1),
    ("cif2", CifVersion.CIF_2_0),
    ("cif2.0", CifVersion.CIF_2_0),
    ("CIF2", CifVersion.CIF_1_1),
    ("cif1", CifVersion.CIF_1_1),
    ("2.0", CifVersion.CIF_1_1),
])
def test_mode_on_cif1_source(mode, version):
    tokens, got = q.lex_cif(CIF1_SOURCE, mode=mode)
    assert got is version
    assert len(tokens) == (5 if version is CifVersion.CIF_2_0 else 3)


@pytest.mark.parametrize("source, version, first", [
    ("", CifVersion.CIF_1_1, None),
    ("\n\n", CifVersion.CIF_1_1, None),
    ("#\\#CIF_2.0", CifVersion.CIF_2_0, None),
    ("#\\#CIF_2.0\ndata_x", CifVersion.CIF_2_0, (KEYWORD, "data_x", None, 2, 1)),
    ("\n#\\#CIF_1.1\n\n_x", CifVersion.CIF_1_1, (TAG, "_x", None, 4, 1)),
    ("#\\#CIF_3.0\ndata_x", CifVersion.CIF_2_0, (KEYWORD, "data_x", None, 2, 1)),
    ("#\\#CIF_2.0 remark\n_x", CifVersion.CIF_1_1, (TAG, "_x", None, 2, 1)),
    # A byte order mark is no part of the text (reported by the parsers only).
    ("\ufeffdata_x", CifVersion.CIF_1_1, (KEYWORD, "data_x", None, 1, 1)),
    ("\ufeff\ufeffdata_x", CifVersion.CIF_1_1, (VALUE, "\ufeffdata_x", V.STRING, 1, 1)),
])
def test_version_detection_edges(source, version, first):
    tokens, got = q.lex_cif(source)
    assert got is version
    assert (compact(tokens)[0] if tokens else None) == first
    # An unrecognised version leaves no trace in the listing.
    assert all(not t["errors"] for t in tokens)


def test_magic_line_under_forced_version_is_not_lexed():
    tokens, version = q.lex_cif("#\\#CIF_2.0\n'''a'''", "cif1")
    assert version is CifVersion.CIF_1_1
    assert compact(tokens) == [(VALUE, "a", V.STRING, 2, 1)]
    assert error_tuples(tokens) == [
        ("triple-quoted strings are not valid in CIF 1.x", "'''", 2, 1)]


# --- arguments ------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "argument 'source': 'int' object is not an instance of 'str'"),
    ((None,), {}, "argument 'source': 'None' is not an instance of 'str'"),
    ((b"data_x",), {}, "argument 'source': 'bytes' object is not an instance of 'str'"),
    (("data_x", 2), {}, "argument 'mode': 'int' object is not an instance of 'str'"),
    (("data_x",), {"mode": b"cif2"}, "argument 'mode': 'bytes' object is not an instance of 'str'"),
])
def test_argument_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        q.lex_cif(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_arguments():
    tokens, version = q.lex_cif(source="[x]", mode="cif2")
    assert version is CifVersion.CIF_2_0 and len(tokens) == 3
    with pytest.raises(TypeError):
        q.lex_cif()
    with pytest.raises(TypeError):
        q.lex_cif("a", "cif2", "extra")


# --- the companion package ------------------------------------------------------

def fake_types(**overrides):
    """A stand-in for quarzel.types with some names replaced or removed."""
    module = pytypes.ModuleType("quarzel.types")
    module.CifVersion, module.TokenType, module.ValueType = CifVersion, TokenType, ValueType
    for name, value in overrides.items():
        if value is None:
            delattr(module, name)
        else:
            setattr(module, name, value)
    return module


def test_types_not_importable(monkeypatch):
    monkeypatch.setitem(sys.modules, "quarzel.types", None)
    with pytest.raises(ImportError):
        q.lex_cif("data_x")


def test_types_import_raises(monkeypatch, tmp_path):
    # A fresh package whose types module fails while importing.
    pkg = tmp_path / "quarzel"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "types.py").write_text("raise RuntimeError('broken types')\n")
    monkeypatch.delitem(sys.modules, "quarzel.types")
    monkeypatch.delitem(sys.modules, "quarzel")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(RuntimeError, match="broken types"):
        q.lex_cif("data_x")


@pytest.mark.parametrize("missing", ["ValueType", "TokenType", "CifVersion"])
def test_missing_class_propagates(monkeypatch, missing):
    monkeypatch.setitem(sys.modules, "quarzel.types", fake_types(**{missing: None}))
    with pytest.raises(AttributeError, match=missing):
        q.lex_cif("data_x")
    # Even with nothing to lex, the classes are required.
    with pytest.raises(AttributeError, match=missing):
        q.lex_cif("")


class Recorder(pytypes.ModuleType):
    """A module that remembers which of the three class names were read."""

    def __getattribute__(self, name):
        if name in ("CifVersion", "TokenType", "ValueType"):
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


def test_classes_read_in_order(monkeypatch):
    module = Recorder("quarzel.types")
    module.reads = []
    module.CifVersion, module.TokenType, module.ValueType = CifVersion, TokenType, ValueType
    monkeypatch.setitem(sys.modules, "quarzel.types", module)
    q.lex_cif("_a b")
    assert module.reads == ["ValueType", "TokenType", "CifVersion"]


PartialTokenType = enum.Enum("TokenType", ["TAG", "VALUE"])
PartialValueType = enum.Enum("ValueType", ["STRING", "PLACEHOLDER"])
OnlyCif11 = enum.Enum("CifVersion", ["CIF_1_1"])


@pytest.mark.parametrize("overrides, source, missing", [
    ({"TokenType": PartialTokenType}, "_a b data_x", "KEYWORD"),
    ({"ValueType": PartialValueType}, "_a ? 'q'", "SINGLE_QUOTED"),
    ({"ValueType": PartialValueType}, ";\nx\n;", "MULTILINE_STRING"),
    ({"CifVersion": OnlyCif11}, "#\\#CIF_2.0\n_a b", "CIF_2_0"),
])
def test_missing_member_propagates(monkeypatch, overrides, source, missing):
    monkeypatch.setitem(sys.modules, "quarzel.types", fake_types(**overrides))
    with pytest.raises(AttributeError, match=missing):
        q.lex_cif(source)


@pytest.mark.parametrize("overrides, source", [
    ({"TokenType": PartialTokenType}, "_a b ?"),
    ({"ValueType": PartialValueType}, "_a b ? data_x"),
    ({"CifVersion": OnlyCif11}, "_a b"),
])
def test_members_not_needed_are_not_required(monkeypatch, overrides, source):
    module = fake_types(**overrides)
    monkeypatch.setitem(sys.modules, "quarzel.types", module)
    tokens, version = q.lex_cif(source)
    assert version is module.CifVersion.CIF_1_1
    assert [t["token_type"].name for t in tokens][:2] == ["TAG", "VALUE"]
    assert tokens[1]["value_type"] is module.ValueType.STRING


def test_types_looked_up_again_each_call(monkeypatch):
    q.lex_cif("a")
    monkeypatch.setitem(sys.modules, "quarzel.types", fake_types(TokenType=None))
    with pytest.raises(AttributeError):
        q.lex_cif("a")
    monkeypatch.undo()
    assert q.lex_cif("a")[0][0]["token_type"] is VALUE
