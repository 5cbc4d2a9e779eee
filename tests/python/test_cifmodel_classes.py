"""CifFile, CifBlock and CifSaveFrame used from Python: construction, fields,
look-ups, the fill methods, deep copies and their errors."""

import inspect
import types as pytypes
import weakref

import pytest

import quarzel.types
import quarzel_core as q
from quarzel.types import CifVersion

Block, Frame, File = q.CifBlock, q.CifSaveFrame, q.CifFile


def ns(**fields):
    return pytypes.SimpleNamespace(**fields)


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    return info.value


# --------------------------------------------------------------------------
# The classes themselves

@pytest.mark.parametrize("cls, attributes", [
    (File, ["_blocks", "_block_list", "version", "blocks", "get_all", "_add_block", "deepcopy"]),
    (Block, ["name", "_id", "_tags", "_tag_order", "_loops", "_save_frames", "_save_frame_list",
             "tags", "loops", "save_frames", "get_all", "_append_value", "_add_loop",
             "_add_save_frame"]),
    (Frame, ["name", "_id", "_tags", "_tag_order", "_loops", "tags", "loops", "_append_value",
             "_add_loop"]),
])
def test_attributes_in_published_order(cls, attributes):
    assert [k for k in vars(cls) if not k.startswith("__")] == attributes
    assert {"__getitem__", "__contains__", "__new__"} <= set(vars(cls))
    for dunder in ("__len__", "__iter__", "__repr__", "__eq__", "__hash__", "__init__",
                   "__dict__", "__weakref__"):
        assert dunder not in vars(cls)


@pytest.mark.parametrize("cls, prop", [
    (File, "_blocks"), (File, "version"), (File, "blocks"), (Block, "name"), (Block, "tags"),
    (Block, "save_frames"), (Frame, "_loops"), (Frame, "loops"),
])
def test_properties_have_empty_docstrings(cls, prop):
    assert vars(cls)[prop].__doc__ == ""


@pytest.mark.parametrize("method, signature", [
    (File.get_all, "(self, /, name)"), (File._add_block, "(self, /, block)"),
    (File.deepcopy, "(self, /)"), (Block.get_all, "(self, /, name)"),
    (Block._append_value, "(self, /, tag, value)"), (Block._add_loop, "(self, /, tags, buffers)"),
    (Block._add_save_frame, "(self, /, frame)"), (Frame._append_value, "(self, /, tag, value)"),
    (Frame._add_loop, "(self, /, tags, buffers)"),
])
def test_method_signatures(method, signature):
    assert str(inspect.signature(method)) == signature


@pytest.mark.parametrize("make", [lambda: File(), lambda: Block("b"), lambda: Frame("f")])
def test_instances_have_no_dict_and_no_weakrefs(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert obj != make() and obj == obj  # identity comparison


@pytest.mark.parametrize("make, attribute", [
    (lambda: File(), "_blocks"), (lambda: File(), "_block_list"), (lambda: File(), "version"),
    (lambda: Block("b"), "name"), (lambda: Block("b"), "_id"), (lambda: Block("b"), "_tags"),
    (lambda: Block("b"), "_save_frame_list"), (lambda: Frame("f"), "_loops"),
])
def test_stored_fields_have_no_deleter(make, attribute):
    raises(AttributeError, "property has no deleter", delattr, make(), attribute)


@pytest.mark.parametrize("make, attribute", [
    (lambda: File(), "blocks"), (lambda: Block("b"), "tags"), (lambda: Block("b"), "loops"),
    (lambda: Block("b"), "save_frames"), (lambda: Frame("f"), "tags"),
])
def test_computed_properties_are_read_only(make, attribute):
    with pytest.raises(AttributeError):
        setattr(make(), attribute, [])


@pytest.mark.parametrize("attribute", ["get_all", "save_frames", "_add_save_frame",
                                       "_save_frames", "_save_frame_list"])
def test_save_frame_lacks_block_members(attribute):
    with pytest.raises(AttributeError):
        getattr(Frame("f"), attribute)


# --------------------------------------------------------------------------
# Construction

@pytest.mark.parametrize("cls", [Block, Frame])
@pytest.mark.parametrize("args, kwargs, name, id_", [
    (("x",), {}, "x", 0),
    (("x", 3), {}, "x", 3),
    (("x",), {"id": 3}, "x", 3),
    ((), {"name": "Ünïcode", "id": True}, "Ünïcode", 1),
    (("x", 2**64 - 1), {}, "x", 2**64 - 1),
])
def test_frame_construction(cls, args, kwargs, name, id_):
    obj = cls(*args, **kwargs)
    assert (obj.name, obj._id) == (name, id_)
    assert obj._tags == {} and obj._tag_order == [] and obj._loops == []
    if cls is Block:
        assert obj._save_frames == {} and obj._save_frame_list == []


@pytest.mark.parametrize("cls", [Block, Frame])
@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((), {}, TypeError, "{}.__new__() missing 1 required positional argument: 'name'"),
    (("x", 1, 2), {}, TypeError,
     "{}.__new__() takes from 2 to 3 positional arguments but 4 were given"),
    (("x",), {"ID": 1}, TypeError,
     "{}.__new__() got an unexpected keyword argument 'ID'. Did you mean 'id'?"),
    (("x",), {"name": "y"}, TypeError, "{}.__new__() got multiple values for argument 'name'"),
    ((1,), {}, TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
    ((None,), {}, TypeError, "argument 'name': 'None' is not an instance of 'str'"),
    (("x", "1"), {}, TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
    (("x", 1.0), {}, TypeError,
     "argument 'id': 'float' object cannot be interpreted as an integer"),
    (("x", -1), {}, OverflowError, None),
    (("x", 2**64), {}, OverflowError, None),
])
def test_frame_construction_errors(cls, args, kwargs, exc, message):
    raises(exc, message and message.format(cls.__name__), cls, *args, **kwargs)


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, CifVersion.CIF_2_0),
    ((None,), {}, CifVersion.CIF_2_0),
    ((CifVersion.CIF_1_1,), {}, CifVersion.CIF_1_1),
    ((), {"version": CifVersion.CIF_1_1}, CifVersion.CIF_1_1),
    ((CifVersion.CIF_2_0,), {}, CifVersion.CIF_2_0),
    ((ns(name="CIF_1_1"),), {}, CifVersion.CIF_1_1),
    ((ns(name="cif_1_1"),), {}, CifVersion.CIF_2_0),
    ((ns(name=""),), {}, CifVersion.CIF_2_0),
])
def test_file_construction(args, kwargs, expected):
    f = File(*args, **kwargs)
    assert f.version is expected
    assert f._blocks == {} and f._block_list == [] and f.blocks == []


@pytest.mark.parametrize("args, exc, message", [
    ((ns(name=1),), TypeError, "'int' object is not an instance of 'str'"),
    ((ns(name=None),), TypeError, "'NoneType' object is not an instance of 'str'"),
    ((object(),), AttributeError, None),
    ((None, None), TypeError, "CifFile.__new__() takes from 1 to 2 positional arguments but 3 were given"),
])
def test_file_construction_errors(args, exc, message):
    raises(exc, message, File, *args)


# --------------------------------------------------------------------------
# Stored fields and the version

def test_container_fields_hand_out_the_stored_object():
    f, b = File(), Block("b")
    assert f._blocks is f._blocks and f._block_list is f._block_list
    for field in ("_tags", "_tag_order", "_loops", "_save_frames", "_save_frame_list"):
        assert getattr(b, field) is getattr(b, field)
        sentinel = object()
        setattr(b, field, sentinel)  # stored unchecked
        assert getattr(b, field) is sentinel


@pytest.mark.parametrize("attribute, value, exc, message", [
    ("name", 1, TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
    ("name", None, TypeError, "argument 'name': 'None' is not an instance of 'str'"),
    ("_id", "1", TypeError, "argument '_id': 'str' object cannot be interpreted as an integer"),
    ("_id", -1, OverflowError, None),
])
@pytest.mark.parametrize("cls", [Block, Frame])
def test_name_and_id_assignment_errors(cls, attribute, value, exc, message):
    obj = cls("old", 4)
    raises(exc, message, setattr, obj, attribute, value)
    assert (obj.name, obj._id) == ("old", 4)


def test_name_and_id_round_trip():
    b = Block("a")
    b.name, b._id = "Nämé", 7
    assert (b.name, b._id) == ("Nämé", 7)


def test_version_assignment():
    f = File()
    f.version = CifVersion.CIF_1_1
    assert f.version is CifVersion.CIF_1_1
    raises(AttributeError, None, setattr, f, "version", None)
    raises(AttributeError, None, setattr, f, "version", object())
    raises(TypeError, "'bytes' object is not an instance of 'str'", setattr, f, "version",
           ns(name=b"CIF_2_0"))
    assert f.version is CifVersion.CIF_1_1
    f.version = ns(name="anything")
    assert f.version is CifVersion.CIF_2_0


def test_version_is_looked_up_at_every_read(monkeypatch):
    f = File(CifVersion.CIF_1_1)
    monkeypatch.setattr(quarzel.types, "CifVersion", ns(CIF_1_1="one", CIF_2_0="two"))
    assert f.version == "one"
    monkeypatch.delattr(quarzel.types, "CifVersion")
    with pytest.raises(AttributeError):
        f.version


# --------------------------------------------------------------------------
# Look-ups

def make_file(*names):
    f = File()
    results = [f._add_block(Block(n)) for n in names]
    return f, results


def test_file_lookups():
    f, results = make_file("a", "b", "a")
    first, second, third = f._block_list
    assert results == [False, False, True]
    assert [b._id for b in f._block_list] == [0, 1, 2]
    assert f._blocks == {"a": first, "b": second}
    assert f.get_all("A") == [first, third] and f.get_all(name="b") == [second]
    assert f.get_all("c") == []
    assert f["A"] is first and "A" in f and "c" not in f
    assert raises(KeyError, None, f.__getitem__, "C").args == ("C",)
    assert f.blocks == ["a", "b", "a"]


def test_block_added_with_capitals_is_not_found():
    f, _ = make_file("ABC")
    assert f._blocks == {"ABC": f._block_list[0]}
    assert "abc" not in f and "ABC" not in f and f.get_all("ABC") == []


@pytest.mark.parametrize("stored, query", [
    ("straße", "STRASSE".replace("SS", "ß")),  # ß has no lower-case change
    ("äbc", "ÄBC"),
    ("i\u0307x", "\u0130X"),                    # İ lowers to i + combining dot
    ("ας", "ΑΣ"),                               # final sigma
    ("σα", "ΣΑ"),
    ("_tag", "_TAG"),
    ("ǆ", "ǅ"),                                 # title case letter
])
def test_lookups_use_python_lowercasing(stored, query):
    assert query.lower() == stored
    f = File()
    f._add_block(Block(stored))
    assert query in f and f[query] is f._block_list[0] and len(f.get_all(query)) == 1


def test_str_subclass_keys_use_builtin_lower():
    class Odd(str):
        def lower(self):
            return "zzz"

    b = Block("b")
    b._append_value("_a", 1)
    assert b[Odd("_A")] == [1] and Odd("_A") in b


@pytest.mark.parametrize("cls", [Block, Frame])
def test_tag_lookup(cls):
    obj = cls("x")
    obj._append_value("_a", 1)
    obj._append_value("_a", 2)
    assert obj._tags == {"_a": [1, 2]} and obj._tag_order == ["_a"] and obj.tags == ["_a"]
    assert obj["_A"] is obj._tags["_a"]
    assert "_A" in obj and "_b" not in obj
    assert raises(KeyError, None, obj.__getitem__, "_B").args == ("_B",)


def test_block_subscription_splits_tags_and_frames():
    b = Block("b")
    frame = Frame("f")
    b._add_save_frame(frame)
    b._append_value("abc", 1)  # not a tag name: never found through a block
    assert b["F"] is frame and "F" in b and "_f" not in b
    assert "abc" not in b and "" not in b
    raises(KeyError, None, b.__getitem__, "")
    b._save_frames[""] = frame
    assert b[""] is frame


def test_save_frame_subscription_always_looks_at_tags():
    fr = Frame("f")
    fr._append_value("abc", 1)
    assert fr["ABC"] == [1] and "abc" in fr and "" not in fr
    raises(KeyError, None, fr.__getitem__, "")
    fr._append_value("", 2)
    assert fr[""] == [2]


@pytest.mark.parametrize("obj, param", [(File(), "name"), (Block("b"), "key"),
                                        (Frame("f"), "key")])
@pytest.mark.parametrize("key, shown", [(1, "'int' object"), (None, "'None'"),
                                        (b"_a", "'bytes' object")])
def test_lookup_key_type_errors(obj, param, key, shown):
    message = f"argument '{param}': {shown} is not an instance of 'str'"
    raises(TypeError, message, obj.__getitem__, key)
    raises(TypeError, message, lambda: key in obj)
    if hasattr(obj, "get_all"):
        raises(TypeError, f"argument 'name': {shown} is not an instance of 'str'", obj.get_all,
               key)


@pytest.mark.parametrize("make, field, call, expected", [
    (File, "_blocks", lambda o: o["a"], "dict"),
    (File, "_blocks", lambda o: "a" in o, "dict"),
    (File, "_blocks", lambda o: o._add_block(Block("a")), "dict"),
    (File, "_block_list", lambda o: o.get_all("a"), "list"),
    (File, "_block_list", lambda o: o.blocks, "list"),
    (File, "_block_list", lambda o: o._add_block(Block("a")), "list"),
    (File, "_block_list", lambda o: o.deepcopy(), "list"),
    (lambda: Block("b"), "_tags", lambda o: o["_a"], "dict"),
    (lambda: Block("b"), "_save_frames", lambda o: o["f"], "dict"),
    (lambda: Block("b"), "_save_frames", lambda o: "f" in o, "dict"),
    (lambda: Block("b"), "_save_frame_list", lambda o: o.get_all("f"), "list"),
    (lambda: Block("b"), "_save_frame_list", lambda o: o.save_frames, "list"),
    (lambda: Block("b"), "_tag_order", lambda o: o.tags, "list"),
    (lambda: Block("b"), "_loops", lambda o: o.loops, "list"),
    (lambda: Block("b"), "_tags", lambda o: o._append_value("_a", 1), "dict"),
    (lambda: Block("b"), "_tag_order", lambda o: o._append_value("_a", 1), "list"),
    (lambda: Block("b"), "_tags", lambda o: o._add_loop(["_a"], {}), "dict"),
    (lambda: Block("b"), "_tag_order", lambda o: o._add_loop(["_a"], {}), "list"),
    (lambda: Block("b"), "_loops", lambda o: o._add_loop(["_a"], {}), "list"),
    (lambda: Block("b"), "_save_frame_list", lambda o: o._add_save_frame(Frame("f")), "list"),
    (lambda: Block("b"), "_save_frames", lambda o: o._add_save_frame(Frame("f")), "dict"),
    (lambda: Frame("f"), "_tags", lambda o: o["_a"], "dict"),
    (lambda: Frame("f"), "_tags", lambda o: "a" in o, "dict"),
    (lambda: Frame("f"), "_loops", lambda o: o._add_loop([], {}), "list"),
    (lambda: Frame("f"), "_loops", lambda o: o.loops, "list"),
    (lambda: Frame("f"), "_tag_order", lambda o: o.tags, "list"),
    (lambda: Frame("f"), "_tag_order", lambda o: o._append_value("_a", 1), "list"),
    (lambda: Frame("f"), "_tags", lambda o: o._append_value("_a", 1), "dict"),
])
def test_fields_of_the_wrong_type(make, field, call, expected):
    wrong_values = {"dict": [[1], None, ()], "list": [{1: 2}, None, ()]}[expected]
    for wrong in wrong_values:
        obj = make()
        setattr(obj, field, wrong)
        # None is named by its type here, unlike in argument errors
        raises(TypeError, f"'{type(wrong).__name__}' object is not an instance of '{expected}'",
               call, obj)


@pytest.mark.parametrize("setup, call, expected", [
    (lambda b: setattr(b, "_tags", {"_a": 5}), lambda b: b._append_value("_a", 1), "'int' object"),
    (lambda b: setattr(b, "_loops", [["_a"], 3]), lambda b: b.loops, "'int' object"),
    (lambda b: setattr(b, "_tag_order", ()), lambda b: b.tags, "'tuple' object"),
    (lambda b: setattr(b, "_tag_order", "_a"), lambda b: b._append_value("_b", 1),
     "'str' object"),
])
def test_nested_values_of_the_wrong_type(setup, call, expected):
    b = Block("b")
    setup(b)
    raises(TypeError, f"{expected} is not an instance of 'list'", call, b)


# --------------------------------------------------------------------------
# Fill methods

def test_append_value_keeps_first_seen_order():
    b = Block("b")
    for tag, value in [("_b", 1), ("_a", {"k": "v"}), ("_b", [2]), ("_A", None)]:
        assert b._append_value(tag, value) is None
    assert b._tag_order == ["_b", "_a", "_A"]
    assert b._tags == {"_b": [1, [2]], "_a": [{"k": "v"}], "_A": [None]}


@pytest.mark.parametrize("cls", [Block, Frame])
@pytest.mark.parametrize("args, message", [
    ((1, 2), "argument 'tag': 'int' object is not an instance of 'str'"),
    (("_a",), "{}._append_value() missing 1 required positional argument: 'value'"),
    (("_a", 1, 2), "{}._append_value() takes 3 positional arguments but 4 were given"),
])
def test_append_value_errors(cls, args, message):
    raises(TypeError, message.format(cls.__name__), cls("x")._append_value, *args)


@pytest.mark.parametrize("cls", [Block, Frame])
def test_add_loop_stores_buffers_without_copying(cls):
    obj = cls("x")
    obj._append_value("_y", "old")
    column = [1, 2]
    assert obj._add_loop(("_x", "_y", "_x"), {"_x": column, "_z": [9]}) is None
    assert obj._tags["_x"] is column
    assert obj._tags["_y"] == []  # replaces the earlier values
    assert obj._tag_order == ["_y", "_x"]
    assert obj._loops == [["_x", "_y", "_x"]]
    loops = obj.loops
    loops[0].append("_q")
    loops.append([])
    assert obj._loops == [["_x", "_y", "_x"]]
    obj._add_loop(tags=["_n"], buffers={"_n": 5})  # buffer values need not be lists
    assert obj._tags["_n"] == 5 and obj.loops == [["_x", "_y", "_x"], ["_n"]]


class Seq:
    """A sequence that is not a list or tuple."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return ["_p", "_q"][i]


def test_add_loop_accepts_any_sequence():
    b = Block("b")
    b._add_loop(Seq(), {})
    assert b._loops == [["_p", "_q"]]


@pytest.mark.parametrize("args, message", [
    (("_a", {}), "argument 'tags': 'str' object is not an instance of 'Sequence'"),
    (({"_a": 1}, {}), "argument 'tags': 'dict' object is not an instance of 'Sequence'"),
    ((None, {}), "argument 'tags': 'None' is not an instance of 'Sequence'"),
    ((["_a", 1], {}), "argument 'tags': 'int' object is not an instance of 'str'"),
    ((["_a"], []), "argument 'buffers': 'list' object is not an instance of 'dict'"),
    ((["_a"], None), "argument 'buffers': 'None' is not an instance of 'dict'"),
])
def test_add_loop_argument_errors(args, message):
    b = Block("b")
    raises(TypeError, message, b._add_loop, *args)
    assert b._tags == {} and b._loops == [] and b._tag_order == []


class Clash:
    """A dict key that collides with a str and fails every comparison."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        raise ValueError("no comparison")


def test_add_loop_keeps_partial_effects():
    b = Block("b")
    with pytest.raises(ValueError):
        b._add_loop(["_x", "_y", "_z"], {"_x": [1], Clash("_y"): 0})
    assert b._tags == {"_x": [1]} and b._tag_order == ["_x", "_y"] and b._loops == []


def test_add_save_frame_indexes_the_first_of_a_name():
    b = Block("b")
    f1, f2, g = Frame("f"), Frame("f"), Frame("g")
    assert [b._add_save_frame(x) for x in (f1, g, f2)] == [False, False, True]
    assert [x._id for x in (f1, g, f2)] == [0, 1, 2]
    assert b._save_frames == {"f": f1, "g": g}
    assert b.get_all("F") == [f1, f2] and b["F"] is f1
    assert b.save_frames == ["f", "g", "f"]


@pytest.mark.parametrize("obj, method", [(File(), "_add_block"), (Block("b"), "_add_save_frame")])
def test_add_indexed_partial_effects(obj, method):
    list_field = "_block_list" if method == "_add_block" else "_save_frame_list"
    add = getattr(obj, method)
    item = ns(name=5)
    raises(TypeError, "'int' object is not an instance of 'str'", add, item)
    assert item._id == 0 and getattr(obj, list_field) == [item]
    with pytest.raises(AttributeError):
        add(object())  # _id cannot be set: nothing appended
    assert getattr(obj, list_field) == [item]
    with pytest.raises(AttributeError):
        add(ns())  # no name: appended, not indexed
    assert len(getattr(obj, list_field)) == 2 and len(getattr(obj, list_field[:-5] + "s")) == 0


def test_computed_properties_read_names_by_attribute():
    f = File()
    f._block_list = [ns(name=5), ns(name="x")]
    assert f.blocks == [5, "x"]  # taken as attribute access returns them
    b = Block("b")
    b._save_frame_list = [ns(name=5)]
    raises(TypeError, "'int' object is not an instance of 'str'", lambda: b.save_frames)
    raises(TypeError, "'int' object is not an instance of 'str'", b.get_all, "x")
    b._save_frame_list = [object()]
    with pytest.raises(AttributeError):
        b.save_frames
    f._block_list = [ns(name=b"x")]
    raises(TypeError, "'bytes' object is not an instance of 'str'", f.get_all, "x")


# --------------------------------------------------------------------------
# Deep copies

def sample_file():
    f = File(CifVersion.CIF_1_1)
    for name in ("a", "b", "a"):
        b = Block(name)
        b._append_value("_v", [1, {"k": ["x"]}])
        b._add_loop(["_l1", "_l2"], {"_l1": ["p", "q"], "_l2": ["r", "s"]})
        for fname in ("s", "t", "s"):
            fr = Frame(fname)
            fr._append_value("_w", "z")
            b._add_save_frame(fr)
        f._add_block(b)
    return f


def test_deepcopy_is_independent_and_equal():
    f = sample_file()
    c = f.deepcopy()
    assert c.version is CifVersion.CIF_1_1 and c is not f
    assert len(c._block_list) == 3
    for old, new in zip(f._block_list, c._block_list):
        assert type(new) is Block and new is not old
        assert (new.name, new._id) == (old.name, old._id)
        assert (new._tags, new._tag_order, new._loops) == (old._tags, old._tag_order, old._loops)
        assert new._tags is not old._tags and new._tags["_v"][0][1] is not old._tags["_v"][0][1]
        assert [(x.name, x._id, x._tags) for x in new._save_frame_list] == \
            [(x.name, x._id, x._tags) for x in old._save_frame_list]
        assert new._save_frames == {"s": new._save_frame_list[0], "t": new._save_frame_list[1]}
    assert c._blocks == {"a": c._block_list[0], "b": c._block_list[1]}
    c._block_list[0]._tags["_v"].append("new")
    c._block_list[0]._save_frame_list[0]._tags["_w"].clear()
    assert f._block_list[0]._tags["_v"] == [[1, {"k": ["x"]}]]
    assert f._block_list[0]._save_frame_list[0]._tags["_w"] == ["z"]


def test_deepcopy_rebuilds_the_index_from_the_list():
    f, _ = make_file("a")
    stray = Block("z", 9)
    f._block_list.append(stray)
    f._blocks["q"] = f._block_list[0]  # not read by the copy
    assert f.get_all("z") == [stray] and "z" not in f
    c = f.deepcopy()
    assert "z" in c and c["z"]._id == 9 and "q" not in c


def test_deepcopy_reads_any_objects_with_the_fields():
    frame = ns(name="s", _id=4, _tags={"_a": [1]}, _tag_order=["_a"], _loops=[])
    block = ns(name="b", _id=2, _tags={}, _tag_order=[], _loops=[[]],
               _save_frame_list=[frame])
    f = File()
    f._block_list = [block]
    c = f.deepcopy()
    new = c["b"]
    assert type(new) is Block and new._id == 2 and new._loops == [[]]
    assert type(new["s"]) is Frame and new["s"]._id == 4 and new["s"]._tags == {"_a": [1]}
    assert c.version is CifVersion.CIF_2_0


def test_deepcopy_makes_separate_copies_per_field():
    b = Block("b")
    shared = ["_a"]
    b._tag_order = shared
    b._loops = [shared]
    f = File()
    f._add_block(b)
    new = f.deepcopy()["b"]
    assert new._tag_order == new._loops[0] and new._tag_order is not new._loops[0]


@pytest.mark.parametrize("block, exc, message", [
    (ns(name="b", _id=0, _tags={}, _tag_order=[], _loops=[], _save_frame_list={}), TypeError,
     "'dict' object is not an instance of 'list'"),
    (ns(name=1, _id=0, _tags={}, _tag_order=[], _loops=[], _save_frame_list=[]), TypeError,
     "'int' object is not an instance of 'str'"),
    (ns(name="b", _id=-1, _tags={}, _tag_order=[], _loops=[], _save_frame_list=[]),
     OverflowError, None),
    (ns(name="b", _id="0", _tags={}, _tag_order=[], _loops=[], _save_frame_list=[]), TypeError,
     "'str' object cannot be interpreted as an integer"),
    (ns(name="b", _id=0, _tag_order=[], _loops=[], _save_frame_list=[]), AttributeError, None),
    (ns(name="b", _id=0, _tags={}, _tag_order=[], _loops=[],
        _save_frame_list=[ns(name="s", _id=-2)]), OverflowError, None),
])
def test_deepcopy_errors_leave_the_file_alone(block, exc, message):
    f = File()
    f._block_list = [Block("ok"), block]
    raises(exc, message, f.deepcopy)
    assert f._block_list[1] is block and f._blocks == {}


def test_deepcopy_takes_no_arguments():
    raises(TypeError, "CifFile.deepcopy() takes 1 positional argument but 2 were given",
           File().deepcopy, 1)
    raises(TypeError, "CifFile.deepcopy() got an unexpected keyword argument 'x'",
           File().deepcopy, x=1)
