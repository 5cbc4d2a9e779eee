"""Typing inside the engine: the same cells as quarzel.numbers.typed_table
over the whole table, whichever part learnt what first, and with a
dictionary one schema for every part."""

import os

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from quarzel import _commits, dataset
from quarzel.numbers import typed_table
from test_dataset import by_file_rows, write

# Each case: files converted one after the other (one part each), so that
# the first parts are written before the run has seen what comes later.
LATER = [
    ("int then fraction", ["1", "2", "2.5"], pa.float64()),
    ("int then text", ["1", "2", "abc"], pa.string()),
    ("number then su", ["1.5", "2.5(3)"], pa.float64()),
    ("number then placeholder", ["7", "?", "."], pa.int64()),
    ("placeholder then number", ["?", ".", "7"], pa.int64()),
    ("placeholder only", ["?", "."], pa.string()),
    ("text then number", ["abc", "1"], pa.string()),
    ("fraction then text then number", ["0.5", "x", "3"], pa.string()),
]


@pytest.mark.parametrize("name,values,kind", LATER, ids=[c[0] for c in LATER])
def test_parts_written_early_agree_with_the_whole_run(tmp_path, name, values, kind):
    src = tmp_path / "in"
    src.mkdir()
    paths = [write(str(src), f"{i:02}.cif", f"data_b{i}\nloop_ _t.v _t.w {v} {i}\n".encode())
             for i, v in enumerate(values)]
    plain, typed = str(tmp_path / "plain"), str(tmp_path / "typed")
    dataset.convert(paths, plain, jobs=1, _part_bytes=1)
    dataset.convert(paths, typed, jobs=1, _part_bytes=1, typed=True)
    parts = _commits.part_files(os.path.join(typed, "t"))
    assert len(parts) == len(values)
    schemas = {str(pq.read_schema(p).remove_metadata()) for p in parts}
    assert len(schemas) == 1, schemas  # every part laid out alike
    got = dataset.read_table(typed, "t")
    assert got.schema.field("_t.v").type == kind
    assert by_file_rows(got) == by_file_rows(typed_table(dataset.read_table(plain, "t")))


def test_resumed_run_types_new_files_like_the_parts_before(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    first = [write(str(src), f"{i}.cif", f"data_b{i}\nloop_ _t.v {i} {i + 1}\n".encode()) for i in range(2)]
    later = write(str(src), "9.cif", b"data_z\nloop_ _t.v 1.5(2) oops\n")
    out = str(tmp_path / "out")
    dataset.convert(first, out, typed=True, _part_bytes=1)
    assert dataset.read_table(out, "t").schema.field("_t.v").type == pa.int64()
    dataset.convert(first + [later], out, resume=True)  # typed as before
    plain = str(tmp_path / "plain")
    dataset.convert(first + [later], plain)
    assert by_file_rows(dataset.read_table(out, "t")) == by_file_rows(typed_table(dataset.read_table(plain, "t")))


DICTIONARY = (b"#\\#CIF_2.0\ndata_D\n_dictionary.title d\n"
              b"save_t.x\n_definition.id '_t.x'\n_name.category_id t\n_type.contents Real\nsave_\n"
              b"save_t.n\n_definition.id '_t.n'\n_name.category_id t\n_type.contents Integer\nsave_\n"
              b"save_t.label\n_definition.id '_t.label'\n_name.category_id t\n_type.contents Text\nsave_\n")


def test_a_dictionary_gives_every_part_one_schema_and_keeps_non_numbers(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    texts = ["data_a\nloop_ _t.x _t.n _t.label _t.other 1 2 3 4\n",
             "data_b\nloop_ _t.x _t.n _t.label _t.other 1.5(2) ? 8 x\n",
             "data_c\nloop_ _t.x _t.n _t.label _t.other abc 2.5 . 5\n"]
    paths = [write(str(src), f"{i}.cif", t.encode()) for i, t in enumerate(texts)]
    dic = write(str(tmp_path), "d.dic", DICTIONARY)
    out = str(tmp_path / "out")
    summary = dataset.convert(paths, out, jobs=1, _part_bytes=1, typed=True, dictionary=dic)
    assert summary.files_read == 3
    parts = _commits.part_files(os.path.join(out, "t"))
    assert len({str(pq.read_schema(p).remove_metadata()) for p in parts}) == 1
    rows = dataset.read_table(out, "t").sort_by("_block_name").to_pylist()
    pick = lambda r, *k: tuple(r.get(x) for x in k)  # noqa: E731
    keys = ("_t.x", "_t.x_su", "_t.x_status", "_t.x_text", "_t.n", "_t.n_status", "_t.n_text",
            "_t.label", "_t.other")
    assert [pick(r, *keys) for r in rows] == [
        (1.0, None, "number", None, 2, "number", None, "3", "4"),
        (1.5, 0.2, "number", None, None, "unknown", None, "8", "x"),
        (None, None, "text", "abc", None, "text", "2.5", ".", "5"),  # not numbers: their text kept
    ]


@pytest.mark.parametrize("how", ["resume", "update"])
def test_a_text_dataset_asked_to_be_typed_is_typed_in_every_part(tmp_path, how):
    src = tmp_path / "in"
    src.mkdir()
    paths = [write(str(src), f"{i}.cif", f"data_b{i}\nloop_ _t.v {i} {i + 1}\n".encode()) for i in range(3)]
    out = str(tmp_path / "out")
    dataset.convert(paths[:2], out, _part_bytes=1)
    dataset.convert(paths, out, typed=True, _part_bytes=1, **{how: True})
    types = {pq.read_schema(p).field("_t.v").type for p in _commits.part_files(os.path.join(out, "t"))}
    assert types == {pa.int64()}


def test_an_update_after_a_column_became_numbers_at_the_end_of_a_run(tmp_path):
    """A part whose column held only ? when written, made numbers at the end
    of the run: the text kept beside it gains that column, so an update
    that takes rows out of the part still knows their kinds."""
    from test_dataset_update import snapshot

    src = tmp_path / "in"
    src.mkdir()
    a1 = write(str(src), "a1.cif", b"data_a1\nloop_ _t.v _t.w ? 1 ? 2\n")
    a2 = write(str(src), "a2.cif", b"data_a2\nloop_ _t.v _t.w ? 3\n")
    b = write(str(src), "b.cif", b"data_b\nloop_ _t.v _t.w 5 x\n")
    out = str(tmp_path / "out")
    options = {"jobs": 1, "_row_group_bytes": 1}  # a row group per file: a1 and a2 share a part
    dataset.convert([a1, a2, b], out, typed=True, **options)
    assert len(_commits.part_files(os.path.join(out, "t"))) == 2
    write(str(src), "a2.cif", b"data_a2\nloop_ _t.v _t.w 6.5 7\n")
    dataset.convert([a1, a2, b], out, update=True, **options)
    fresh = str(tmp_path / "fresh")
    dataset.convert([a1, a2, b], fresh, typed=True, **options)
    assert snapshot(out) == snapshot(fresh)
    assert dataset.read_table(out, "t").schema.field("_t.v").type == pa.float64()
