"""Typed tables: quarzel.typed_table, loop_table(numbers=..., dictionary=...)
and quarzel convert --typed."""

import pytest

pa = pytest.importorskip("pyarrow")

import quarzel  # noqa: E402
import quarzel_core  # noqa: E402
from quarzel import Dictionary  # noqa: E402

I64, F64, STR = pa.int64(), pa.float64(), pa.string()
STATUS = pa.dictionary(pa.int8(), pa.string())

# values -> (type, values, su or None when no _su column, status or None when
# no _status column)
INFERRED = [
    (["1", "2", "-3"], I64, [1, 2, -3], None, None),
    (["1", "2", "?"], I64, [1, 2, None], None, ["number", "number", "unknown"]),
    (["1", ".", "?"], I64, [1, None, None], None, ["number", "inapplicable", "unknown"]),
    (["12(3)", "4"], I64, [12, 4], [3, None], None),
    (["1.5(2)", "3"], F64, [1.5, 3.0], [0.2, None], None),
    (["-4.5e-3(2)", "1e2"], F64, [-0.0045, 100.0], [0.0002, None], None),
    (["9223372036854775808", "1"], F64, [9223372036854775808.0, 1.0], None, None),
    ([None, "1"], I64, [None, 1], None, None),
    (["1", "x"], STR, ["1", "x"], None, None),
    (["?", "."], STR, ["?", "."], None, None),
    (['"?"', "1"], STR, ['"?"', "1"], None, None),
    (["1.2(", "1"], STR, ["1.2(", "1"], None, None),
    (["1e400", "1"], STR, ["1e400", "1"], None, None),
]


@pytest.mark.parametrize("values,type_,want,su,status", INFERRED)
def test_inferred_columns(values, type_, want, su, status):
    table = quarzel.typed_table(pa.table({"_x": pa.array(values, STR)}))
    assert table.schema.field("_x").type == type_
    assert table.column("_x").to_pylist() == want
    expected_names = ["_x"] + (["_x_su"] if su else []) + (["_x_status"] if status else [])
    assert table.column_names == expected_names
    if su:
        assert table.schema.field("_x_su").type == type_
        assert table.column("_x_su").to_pylist() == su
    if status:
        assert table.schema.field("_x_status").type == STATUS
        assert table.column("_x_status").to_pylist() == status


DIC = """\
#\\#CIF_2.0
data_T
save_HEAD
_definition.id HEAD
_definition.scope Category
_definition.class Head
save_
save_t
_definition.id T
_definition.scope Category
_definition.class Loop
_name.category_id HEAD
save_
save_t.label
_definition.id '_t.label'
_name.category_id t
_type.contents Code
save_
save_t.x
_definition.id '_t.x'
loop_ _alias.definition_id '_t_x'
_name.category_id t
_type.contents Real
save_
save_t.n
_definition.id '_t.n'
_name.category_id t
_type.contents Count
save_
"""


@pytest.fixture
def dictionary(tmp_path):
    path = tmp_path / "t.dic"
    path.write_text(DIC, encoding="utf-8")
    return Dictionary(str(path))


# tag, values -> type, values, status (None: no _status column)
DECLARED = [
    ("_t.label", ["1", "2"], STR, ["1", "2"], None),  # text by the dictionary
    ("_t.x", ["1", "2"], F64, [1.0, 2.0], None),  # real, though integers
    ("_T_X", ["1.5", "abc", "?"], F64, [1.5, None, None], ["number", "text", "unknown"]),
    ("_t.n", ["1", "2", "."], I64, [1, 2, None], ["number", "number", "inapplicable"]),
    ("_t.n", ["1", "2.5"], F64, [1.0, 2.5], None),  # a count written as a float
    ("_t.n", ["a", "b"], I64, [None, None], ["text", "text"]),
    ("_other", ["1", "2"], I64, [1, 2], None),  # undefined: inferred
    ("_other", ["1", "b"], STR, ["1", "b"], None),
]


@pytest.mark.parametrize("tag,values,type_,want,status", DECLARED)
def test_columns_typed_by_a_dictionary(dictionary, tag, values, type_, want, status):
    table = quarzel.typed_table(pa.table({tag: pa.array(values, STR)}), dictionary)
    assert table.schema.field(tag).type == type_
    assert table.column(tag).to_pylist() == want
    if status is None:
        assert tag + "_status" not in table.column_names
    else:
        assert table.column(tag + "_status").to_pylist() == status


def test_parse_arrow_batches_keep_identity_columns():
    batches, _ = quarzel_core.parse_arrow(
        "data_a\n_cell.length_a 5.6402(3)\nloop_\n_atom_site.label\n_atom_site.occupancy\n"
        "C1 1\nC2 ?\n")
    scalars = quarzel.typed_table(batches[0])
    assert scalars.column_names[:5] == batches[0].schema.names[:5]
    assert scalars.schema.field("_quarzel_block_idx").type == pa.int32()
    assert scalars.column("_cell.length_a").to_pylist() == [5.6402]
    assert scalars.column("_cell.length_a_su").to_pylist() == [0.0003]
    loop = quarzel.typed_table(batches[1])
    assert loop.column("_atom_site.label").type == STR
    assert loop.column("_atom_site.occupancy").to_pylist() == [1, None]


def test_taken_su_and_status_names_are_not_overwritten():
    table = quarzel.typed_table(pa.table({
        "_x": pa.array(["1(1)", "?"]), "_x_su": pa.array(["a", "b"]),
        "_x_status": pa.array(["c", "d"])}))
    assert table.column_names == ["_x", "_x_su_", "_x_status_", "_x_su", "_x_status"]
    assert table.column("_x_su").to_pylist() == ["a", "b"]


def test_empty_table():
    table = quarzel.typed_table(pa.table({"_x": pa.array([], STR)}))
    assert table.schema.field("_x").type == STR and table.num_rows == 0


def test_typed_table_rejects_other_objects():
    with pytest.raises(TypeError):
        quarzel.typed_table({"_x": ["1"]})


LOOP = "data_a\nloop_\n_t.label\n_t.x\n_t.n\nA 1.5(2) 3\nB ? .\n"


def test_loop_table_keeps_strings_by_default(dictionary):
    cif, _ = quarzel_core.parse_cif(LOOP)
    plain = quarzel.loop_table(cif["a"], "_t")
    assert all(t == STR for t in plain.schema.types)
    typed = quarzel.loop_table(cif["a"], "_t", numbers=True)
    assert typed.column_names == ["_t.label", "_t.x", "_t.x_su", "_t.x_status", "_t.n",
                                  "_t.n_status"]
    assert typed.column("_t.n").to_pylist() == [3, None]
    with_dictionary = quarzel.loop_table(cif["a"], "_t", dictionary=dictionary)
    assert with_dictionary.column("_t.x").type == F64
    frame = quarzel.loop_dataframe(cif["a"], "_t", numbers=True)
    assert frame["_t.x"].tolist()[0] == 1.5


@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".json"])
def test_convert_typed(tmp_path, dictionary, suffix):
    from quarzel.cli import main
    import io
    import json

    src = tmp_path / "in.cif"
    src.write_text(LOOP + "data_b\n_t.x 7\n", encoding="utf-8")
    out = str(tmp_path / ("out" + suffix))
    for extra in (["--typed"], ["--dictionary", dictionary.path]):
        stdout, stderr = io.StringIO(), io.StringIO()
        assert main(["convert", str(src), out, *extra], stdout, stderr) == 0, stderr.getvalue()
        if suffix == ".json":
            tables = json.load(open(out, encoding="utf-8"))["tables"]
            assert tables[0][0]["_t.x"] == 1.5 and tables[0][0]["_t.x_su"] == 0.2
            continue
        if suffix == ".parquet":
            import pyarrow.parquet as pq
            table = pq.read_table(out)
        else:
            table = pa.ipc.open_file(out).read_all()
        assert table.schema.field("_t.x").type == F64
        assert table.column("_t.x").to_pylist() == [1.5, None, 7.0]
        assert table.column("_t.x_status").to_pylist() == ["number", "unknown", "number"]
        n_type = table.schema.field("_t.n").type
        assert n_type == I64


def test_convert_with_a_bad_dictionary(tmp_path):
    from quarzel.cli import main
    import io

    src = tmp_path / "in.cif"
    src.write_text(LOOP, encoding="utf-8")
    bad = tmp_path / "bad.dic"
    bad.write_text("data_x\n_a 1\n", encoding="utf-8")
    stderr = io.StringIO()
    status = main(["convert", str(src), str(tmp_path / "o.parquet"), "--dictionary", str(bad)],
                  io.StringIO(), stderr)
    assert status == 2 and "not a dictionary" in stderr.getvalue()


# ---- the text of values a numeric column cannot hold ----

# tag, values -> the _text column (None: no such column); the dictionary types
# _t.x real and _t.n integer.
TEXT_KEPT = [
    ("_t.n", ["1", "a b", "?", ".", "3"], [None, "a b", None, None, None]),
    ("_t.x", ["1e400", "1.5(2)", "nan"], ["1e400", None, "nan"]),  # beyond float64, no number
    ("_t.x", ["1.5", "?", "."], None),  # ? and . are no text
    ("_t.n", ["1-245", "7"], ["1-245", None]),
    ("_t.x", ["x", None, "2"], ["x", None, None]),  # null stays null
    ("_other", ["1", "x"], None),  # undeclared with text: stays text as a whole
]


@pytest.mark.parametrize("tag,values,text", TEXT_KEPT)
def test_text_of_values_that_are_no_numbers_is_kept(dictionary, tag, values, text):
    table = quarzel.typed_table(pa.table({tag: pa.array(values, STR)}), dictionary)
    if text is None:
        assert tag + "_text" not in table.column_names
        return
    names = table.column_names
    assert names[names.index(tag + "_status") + 1] == tag + "_text"
    assert table.schema.field(tag + "_text").type == STR
    assert table.column(tag + "_text").to_pylist() == text
    status = table.column(tag + "_status").to_pylist()
    assert [t is not None for t in text] == [s == "text" for s in status]


@pytest.mark.parametrize("column", [
    pa.chunked_array([pa.array(["1", "x"]), pa.array([], STR), pa.array(["?", "y"])]),
    pa.array(["1", "x", "?", "y"], pa.large_string()),
])
def test_text_kept_from_chunked_and_large_string_columns(dictionary, column):
    table = quarzel.typed_table(pa.table({"_t.n": column}), dictionary)
    assert table.column("_t.n").to_pylist() == [1, None, None, None]
    assert table.column("_t.n_text").to_pylist() == [None, "x", None, "y"]
    assert table.schema.field("_t.n_text").type == column.type


def test_text_name_taken(dictionary):
    table = quarzel.typed_table(pa.table({"_t.n": ["1", "x"], "_t.n_text": ["a", "b"]}),
                                dictionary)
    assert table.column_names == ["_t.n", "_t.n_status", "_t.n_text_", "_t.n_text"]
    assert table.column("_t.n_text_").to_pylist() == [None, "x"]
    assert table.column("_t.n_text").to_pylist() == ["a", "b"]


def test_range_values_stay_text_with_the_pdbx_dictionary():
    import testdata

    pdbx = Dictionary(str(testdata.path("cif1", "mmcif_pdbx_v40.dic")))
    values = ["6.5-7.0", "7", "?"]
    table = quarzel.typed_table(pa.table({"_pdbx_nmr_exptl_sample_conditions.pH": values}),
                                pdbx)
    assert table.column_names == ["_pdbx_nmr_exptl_sample_conditions.pH"]
    assert table.column(0).to_pylist() == values


# ---- pandas: exact integers, no NaN ----

# values -> pandas dtype, the cells (None for pandas.NA)
FRAMES = [
    (["9007199254740993", "?"], "Int64", [9007199254740993, None]),
    (["9223372036854775807", "."], "Int64", [9223372036854775807, None]),
    (["1", "2"], "Int64", [1, 2]),
    (["1.5(2)", "?"], "Float64", [1.5, None]),
    (["a", "?"], "object", ["a", "?"]),
]


@pytest.mark.parametrize("values,dtype,cells", FRAMES)
def test_loop_dataframe_keeps_integers_and_unknowns(values, dtype, cells):
    pd = pytest.importorskip("pandas")
    text = "data_a\nloop_\n_t.v\n" + "".join(v + "\n" for v in values)
    block = quarzel_core.parse_cif(text)[0]["a"]
    frame = quarzel.loop_dataframe(block, "_t", numbers=True)
    column = frame["_t.v"]
    assert str(column.dtype) == dtype
    assert [None if c is pd.NA else c for c in column.tolist()] == cells
    assert not any(isinstance(c, float) and c != c for c in column.tolist())  # no NaN
