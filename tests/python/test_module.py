import inspect

import pytest

import quarzel_core as q

NAMES = ["CifSaveFrame", "CifBlock", "CifFile", "parse", "parse_raw", "parse_cif",
         "parse_arrow", "parse_arrow_file", "lex_cif"]


def test_all_in_registration_order():
    assert q.__all__ == NAMES
    for name in NAMES:
        assert getattr(q, name) is not None


def test_module_docstring_empty():
    assert q.__doc__ == ""


@pytest.mark.parametrize("name, signature", [
    ("parse", "(source, handler)"),
    ("parse_raw", "(source, mode=None)"),
    ("parse_cif", "(source, mode=None)"),
    ("parse_arrow", "(source, mode=None)"),
    ("parse_arrow_file", "(path, mode=None)"),
    ("lex_cif", "(source, mode=None)"),
    ("CifFile", "(version=None)"),
    ("CifBlock", "(name, id=0)"),
    ("CifSaveFrame", "(name, id=0)"),
])
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(q, name))) == signature


@pytest.mark.parametrize("name", ["parse", "parse_cif", "parse_arrow", "parse_arrow_file"])
def test_empty_docstring_bodies(name):
    assert getattr(q, name).__doc__ is None or getattr(q, name).__doc__ == ""


def test_lex_cif_docstring():
    doc = q.lex_cif.__doc__
    assert doc.splitlines() == [
        "Lex *source* and return a list of token dicts.",
        "",
        "Each dict has the keys:",
        "  ``token_type``  \u2013 ``\"tag\"``, ``\"keyword\"``, or ``\"value\"``",
        "  ``value``       \u2013 the raw string value of the token",
        "  ``value_type``  \u2013 a ``ValueType`` enum member (or ``None`` for tag/keyword)",
        "  ``line``        \u2013 1-based line number",
        "  ``column``      \u2013 1-based column number",
        "  ``errors``      \u2013 list of ``LexerError``-like dicts (may be empty)",
        "",
        "The detected CIF version is returned as the second element of the tuple.",
    ]


def test_parse_raw_docstring():
    paragraphs = q.parse_raw.__doc__.split("\n\n")
    assert len(paragraphs) == 3
    assert "\n" not in paragraphs[0] and paragraphs[0].endswith("Returns a Python dict:")
    assert paragraphs[1] == '  { "version": str, "errors": [...], "blocks": [...] }'
    assert paragraphs[2] == ("No Python calls are made during parsing.  CifScalar objects are created\n"
                             "lazily in Python when block data is first accessed via __getitem__.")


@pytest.mark.parametrize("name", NAMES[3:])
def test_function_objects(name):
    fn = getattr(q, name)
    assert fn.__self__ is None
    assert fn.__module__ == "quarzel_core"
    assert fn.__name__ == name


@pytest.mark.parametrize("name", NAMES[:3])
def test_class_properties(name):
    cls = getattr(q, name)
    assert cls.__module__ == "quarzel.cifmodel.model"
    assert cls.__qualname__ == name
    assert cls.__base__ is object
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    cls.some_class_attribute = 1  # the type object stays mutable
    del cls.some_class_attribute


@pytest.mark.parametrize("call, message", [
    (lambda: q.parse_raw(), "parse_raw() missing 1 required positional argument: 'source'"),
    (lambda: q.parse(), "parse() missing 2 required positional arguments: 'source' and 'handler'"),
    (lambda: q.parse(""), "parse() missing 1 required positional argument: 'handler'"),
    (lambda: q.parse_raw("", None, 3),
     "parse_raw() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: q.parse("", None, 3), "parse() takes 2 positional arguments but 3 were given"),
    (lambda: q.parse_raw("", sourc=1),
     "parse_raw() got an unexpected keyword argument 'sourc'. Did you mean 'source'?"),
    (lambda: q.parse_raw("", zzz=1), "parse_raw() got an unexpected keyword argument 'zzz'"),
    (lambda: q.parse_raw("", source=""), "parse_raw() got multiple values for argument 'source'"),
    (lambda: q.parse_arrow_file(), "parse_arrow_file() missing 1 required positional argument: 'path'"),
    (lambda: q.lex_cif(**{"source": "", "mode": None, "x": 1}),
     "lex_cif() got an unexpected keyword argument 'x'"),
    (lambda: q.parse_raw(1), "argument 'source': 'int' object is not an instance of 'str'"),
    (lambda: q.parse_raw(None), "argument 'source': 'None' is not an instance of 'str'"),
    (lambda: q.parse_raw(source=b"x"), "argument 'source': 'bytes' object is not an instance of 'str'"),
    (lambda: q.parse_arrow_file(3), "argument 'path': 'int' object is not an instance of 'str'"),
    (lambda: q.parse_cif("", mode=3), "argument 'mode': 'int' object is not an instance of 'str'"),
    (lambda: q.lex_cif("", mode=[]), "argument 'mode': 'list' object is not an instance of 'str'"),
])
def test_argument_errors_read_like_def_functions(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_reimport_runs_start_up_again():
    import importlib.util
    import sys

    spec = importlib.util.find_spec("quarzel_core")
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    assert fresh.__all__ == NAMES
    assert fresh.CifFile is q.CifFile
    assert sys.modules["quarzel_core"] is q
