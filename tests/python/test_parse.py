import sys
import types as pytypes

import pytest

import quarzel_core as q
from quarzel.types import CifVersion, ParseError, ValueType

S, SQ, DQ, PH, ML = (ValueType.STRING, ValueType.SINGLE_QUOTED, ValueType.DOUBLE_QUOTED,
                     ValueType.PLACEHOLDER, ValueType.MULTILINE_STRING)

METHODS = ["on_data_block", "on_save_frame_start", "on_save_frame_end", "on_loop_start",
           "on_loop_end", "add_tag", "add_value", "on_list_start", "on_list_end",
           "on_table_start", "on_table_key", "on_table_end", "on_error"]


class Recorder:
    """Records every call as a tuple; errors as the tuple of their six fields."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        if name not in METHODS:
            raise AttributeError(name)

        def method(*args):
            if name == "on_error":
                (e,) = args
                assert type(e) is ParseError
                args = (e.error_type, e.message, e.line, e.column, e.context, e.recovery_action)
            self.calls.append((name, *args))
        return method


def events(source):
    r = Recorder()
    version = q.parse(source, r)
    return version, r.calls


@pytest.mark.parametrize("source, version, expected", [
    ("", CifVersion.CIF_1_1, []),
    ("data_x\n_a 1\n_b 'q'\n", CifVersion.CIF_1_1, [
        ("on_data_block", "x"), ("add_tag", "_a"), ("add_value", "1", S),
        ("add_tag", "_b"), ("add_value", "q", SQ)]),
    ("#\\#CIF_2.0\ndata_x\nsave_f\nloop_ _a _b ? \"d\"\nsave_\n", CifVersion.CIF_2_0, [
        ("on_data_block", "x"), ("on_save_frame_start", "f"), ("on_loop_start", ["_a", "_b"]),
        ("add_value", "?", PH), ("add_value", "d", DQ), ("on_loop_end",),
        ("on_save_frame_end",)]),
    ("#\\#CIF_2.0\ndata_x _t {'k':[1 2]}\n_m\n;text\n;\n", CifVersion.CIF_2_0, [
        ("on_data_block", "x"), ("add_tag", "_t"), ("on_table_start",),
        ("on_table_key", "k", SQ), ("on_list_start",), ("add_value", "1", S),
        ("add_value", "2", S), ("on_list_end",), ("on_table_end",), ("add_tag", "_m"),
        ("add_value", "text", ML)]),
    # The placeholder the parser supplies, with the line numbers of the source.
    ("\n\n#\\#CIF_2.0\ndata_x _a\n", CifVersion.CIF_2_0, [
        ("on_data_block", "x"), ("add_tag", "_a"),
        ("on_error", "syntactic", 'tag "_a" has no value at EOF', 4, 8, "_a",
         "inserted ? placeholder"),
        ("add_value", "?", PH)]),
    # The version error comes first, before anything is lexed.
    ("#\\#CIF_3.0\ndata_x", CifVersion.CIF_2_0, [
        ("on_error", "lexical", "unrecognised CIF version: #\\#CIF_3.0", 1, 1, "#\\#CIF_3.0",
         "defaulting to CIF 2.0"),
        ("on_data_block", "x")]),
    # Lexical errors are reported before the token that carries them.
    ("data_x _a 'caf\u00e9'", CifVersion.CIF_1_1, [
        ("on_data_block", "x"), ("add_tag", "_a"),
        ("on_error", "lexical", "character U+00E9 is not permitted in CIF 1.x", 1, 15, "\u00e9",
         "lexer recovery"),
        ("add_value", "caf\u00e9", SQ)]),
    ("global_ data_x", CifVersion.CIF_1_1, [
        ("on_error", "syntactic", "global_ is reserved and not permitted in CIF", 1, 1,
         "global_", "parsing halted")]),
])
def test_events(source, version, expected):
    assert events(source) == (version, expected)


# A number sign inside a token belongs to it, in both versions; one that
# begins a token opens a comment.
@pytest.mark.parametrize("prefix", ["", "#\\#CIF_2.0\n"], ids=["cif1", "cif2"])
@pytest.mark.parametrize("body, expected", [
    ("data_a#b _t#1 x#y _u z# _v #c\n1", [
        ("on_data_block", "a#b"), ("add_tag", "_t#1"), ("add_value", "x#y", S),
        ("add_tag", "_u"), ("add_value", "z#", S), ("add_tag", "_v"), ("add_value", "1", S)]),
    ("data_a save_f#1 loop_ _l a#1 b#2 #c\nc# save_", [
        ("on_data_block", "a"), ("on_save_frame_start", "f#1"), ("on_loop_start", ["_l"]),
        ("add_value", "a#1", S), ("add_value", "b#2", S), ("add_value", "c#", S),
        ("on_loop_end",), ("on_save_frame_end",)]),
], ids=["names_and_values", "frame_and_loop"])
def test_number_sign_events(prefix, body, expected):
    _, calls = events(prefix + body)
    assert calls == expected


def test_number_sign_in_list_items_events():
    _, calls = events("#\\#CIF_2.0\ndata_a _t [a#b c#]#d\n")
    assert calls == [("on_data_block", "a"), ("add_tag", "_t"), ("on_list_start",),
                     ("add_value", "a#b", S), ("add_value", "c#", S), ("on_list_end",)]


def test_loop_tags_arrive_as_a_fresh_list_of_str():
    seen = []

    class H(Recorder):
        def on_loop_start(self, tags):
            assert type(tags) is list and all(type(t) is str for t in tags)
            seen.append(tags)
            tags.append("mutated")

    q.parse("data_x loop_ _a _b 1 2 loop_ _a 3", H())
    assert seen == [["_a", "_b", "mutated"], ["_a", "mutated"]]
    assert seen[0] is not seen[1]


def test_value_kinds_are_the_members_themselves():
    r = Recorder()
    q.parse("data_x _a 1", r)
    assert r.calls[-1][2] is ValueType.STRING


@pytest.mark.parametrize("source, missing", [
    ("data_x _a 1", "on_data_block"),
    ("#\\#CIF_9\ndata_x", "on_error"),
    ("'caf\u00e9'", "on_error"),
    ("_a 1", "on_error"),
])
def test_handler_without_methods(source, missing):
    with pytest.raises(AttributeError) as info:
        q.parse(source, object())
    assert missing in str(info.value)


def test_handler_missing_one_method_stops_there():
    class H(Recorder):
        add_tag = None  # not callable

    h = H()
    with pytest.raises(TypeError):
        q.parse("data_x _a 1 _b 2", h)
    assert h.calls == [("on_data_block", "x")]


class Boom(Exception):
    pass


def test_raising_handler_gets_no_further_calls_and_its_exception_is_raised():
    raised = []

    class H(Recorder):
        def add_value(self, value, kind):
            self.calls.append(("add_value", value, kind))
            if len([c for c in self.calls if c[0] == "add_value"]) == 3:
                raised.append(Boom("third"))
                raise raised[-1]

    h = H()
    with pytest.raises(Boom) as info:
        q.parse("data_x loop_ _a 1 2 3 4 5 _b [6 _c {'k'", h)
    assert info.value is raised[0]
    assert h.calls == [("on_data_block", "x"), ("on_loop_start", ["_a"]), ("add_value", "1", S),
                       ("add_value", "2", S), ("add_value", "3", S)]


def test_on_error_that_raises_stops_delivery():
    class H(Recorder):
        def on_error(self, e):
            raise Boom(e.message)

    h = H()
    with pytest.raises(Boom, match="stop_ outside loop"):
        q.parse("data_x stop_ _a ]", h)
    assert h.calls == [("on_data_block", "x")]


def fake_types(monkeypatch, **names):
    module = pytypes.ModuleType("quarzel.types")
    module.__dict__.update(names)
    monkeypatch.setitem(sys.modules, "quarzel.types", module)
    return module


def test_parse_error_class_that_raises(monkeypatch):
    calls = []

    def bad_error(*args):
        calls.append(args)
        raise Boom("no errors today")

    fake_types(monkeypatch, ParseError=bad_error, ValueType=ValueType, CifVersion=CifVersion)
    h = Recorder()
    with pytest.raises(Boom, match="no errors today"):
        q.parse("data_x _a 1 stop_ _b 2", h)
    assert calls == [("syntactic", "stop_ outside loop", 1, 13, "stop_", "ignored")]
    assert h.calls == [("on_data_block", "x"), ("add_tag", "_a"), ("add_value", "1", S)]


def test_parse_error_called_with_six_positional_arguments(monkeypatch):
    received = []

    def make(*args, **kwargs):
        assert kwargs == {}
        return ("made", args)

    fake_types(monkeypatch, ParseError=make, ValueType=ValueType, CifVersion=CifVersion)

    class H:
        def on_error(self, e):
            received.append(e)

    q.parse("stop_", H())
    assert received == [("made", ("syntactic", "stop_ outside loop", 1, 1, "stop_", "ignored"))]
    assert [type(a) for a in received[0][1]] == [str, str, int, int, str, str]


class KindsMissing:
    MULTILINE_STRING = 0
    TRIPLE_DOUBLE_QUOTED = 1
    TRIPLE_SINGLE_QUOTED = 2
    DOUBLE_QUOTED = 3
    SINGLE_QUOTED = 4
    STRING = 5  # PLACEHOLDER is missing


@pytest.mark.parametrize("names, missing", [
    ({"ValueType": ValueType, "CifVersion": CifVersion}, "ParseError"),
    ({"ParseError": ParseError, "CifVersion": CifVersion}, "ValueType"),
    ({"ParseError": ParseError, "ValueType": KindsMissing, "CifVersion": CifVersion},
     "PLACEHOLDER"),
])
def test_missing_names_raise_before_any_call(monkeypatch, names, missing):
    fake_types(monkeypatch, **names)
    h = Recorder()
    with pytest.raises(AttributeError, match=missing):
        q.parse("data_x _a 1", h)
    assert h.calls == []


def test_missing_version_enum_raises_after_parsing(monkeypatch):
    fake_types(monkeypatch, ParseError=ParseError, ValueType=ValueType)
    h = Recorder()
    with pytest.raises(AttributeError, match="CifVersion"):
        q.parse("data_x _a 1", h)
    assert h.calls == [("on_data_block", "x"), ("add_tag", "_a"), ("add_value", "1", S)]


def test_version_member_is_looked_up_again_each_call(monkeypatch):
    class Versions:
        CIF_1_1 = "one"
        CIF_2_0 = "two"

    fake_types(monkeypatch, ParseError=ParseError, ValueType=ValueType, CifVersion=Versions)
    assert q.parse("", Recorder()) == "one"
    assert q.parse("#\\#CIF_2.0\n", Recorder()) == "two"


def test_import_failure_raises(monkeypatch):
    monkeypatch.setitem(sys.modules, "quarzel.types", None)
    with pytest.raises(ImportError):
        q.parse("data_x", Recorder())


def test_empty_source_makes_no_calls():
    assert q.parse("", object()) is CifVersion.CIF_1_1


def test_source_must_be_str():
    with pytest.raises(TypeError, match="argument 'source': 'bytes' object"):
        q.parse(b"data_x", Recorder())


def test_deeply_nested_list_streams_without_recursion():
    class Counter:
        def __init__(self):
            self.depth = self.max_depth = self.errors = 0

        def __getattr__(self, name):
            return lambda *args: None

        def on_list_start(self):
            self.depth += 1
            self.max_depth = max(self.max_depth, self.depth)

        def on_list_end(self):
            self.depth -= 1

        def on_error(self, e):
            self.errors += 1

    c = Counter()
    n = 100_000
    assert q.parse("#\\#CIF_2.0\ndata_x _a " + "[" * n, c) is CifVersion.CIF_2_0
    assert (c.max_depth, c.depth, c.errors) == (n, 0, n)
