"""Three readings that every entry point shares: quoted CIF 2.0 punctuation
is a string, a data name given again keeps its later occurrence, and a byte
order mark where the text starts is dropped. Each case is read by
parse_raw, parse_cif, parse_arrow, parse_arrow_file, quarzel.read, the
command line and the archive engine, which must agree."""

import json
import os
import subprocess
import sys

import pytest

import quarzel
import quarzel_core as q
from quarzel import _files, dataset

CIF2 = "#\\#CIF_2.0\n"
IDENTITY = {"_quarzel_block_idx", "_block_name", "_frame_idx", "_frame_name", "_loop_id"}


def cell(text):
    return json.loads(text[1:]) if text.startswith("\0") else text


def read_all(source):
    """The first block (tag order, loops, tags) and the errors, checked to be
    the same through parse_raw, parse_cif and parse_arrow."""
    raw = q.parse_raw(source)
    (block,) = raw["blocks"]
    cif, errors = q.parse_cif(source)
    assert errors == raw["errors"]
    model = cif._block_list[0]
    assert (model._tag_order, model._loops, model._tags) == (
        block["tag_order"], block["loops"], block["tags"])
    batches, errors = q.parse_arrow(source)
    assert errors == raw["errors"]
    looped = {t for loop in block["loops"] for t in loop}
    scalars = [t for t in block["tag_order"] if t not in looped]
    want = ([("__scalars__", scalars)] if scalars else []) + [
        (f"__loop_{n}__", loop) for n, loop in enumerate(block["loops"])]
    assert [(b.column(4)[0].as_py(), b.schema.names[5:]) for b in batches] == want
    for b in batches:
        for name in b.schema.names[5:]:
            # Scalar columns end in nulls where the reserved tag gathers more.
            cells = b.column(name).to_pylist()
            assert [cell(c) for c in cells[:len(block["tags"][name])]] == block["tags"][name]
            assert set(cells[len(block["tags"][name]):]) <= {None}
    return block, raw["errors"]


def run_cli(*args):
    proc = subprocess.run([sys.executable, "-m", "quarzel", *args], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc.returncode, proc.stdout


def engine_rows(paths, out):
    """Rows of every category table of a conversion, and its problem records."""
    dataset.convert(paths, str(out), jobs=1, expand=False)
    rows = {}
    for table in set(dataset.tables(str(out))) - {"_errors", "_files"}:
        for r in dataset.read_table(str(out), table).to_pylist():
            rows.setdefault(r.pop("_file"), []).append(
                {k: v for k, v in r.items() if v is not None and k not in IDENTITY})
    rows = {f: sorted(r, key=json.dumps) for f, r in rows.items()}
    errors = {}
    found = os.path.isdir(out / "_errors")  # written only when there are problems
    for e in dataset.read_table(str(out), "_errors").to_pylist() if found else []:
        errors.setdefault(e.pop("_file"), []).append(e)
    return rows, errors


def arrow_rows(text):
    """parse_arrow's rows as the engine stores them (one category per case),
    in the order the engine's rows are sorted to."""
    rows = []
    for b in q.parse_arrow(text)[0]:
        for r in b.to_pylist():
            rows.append({k: v for k, v in r.items() if v is not None and k not in IDENTITY})
    return sorted(rows, key=json.dumps)


# --------------------------------------------------------------------------
# CIF 2.0: only the unquoted [ ] { } (and : in a table) are structure.

PUNCTUATION = [
    ("_b '[' _c \"]\" _d '''{''' _e \"\"\"}\"\"\" _f ':'",
     {"_b": ["["], "_c": ["]"], "_d": ["{"], "_e": ["}"], "_f": [":"]}),
    ("_t\n;[\n;\n_u\n;}\n;\n", {"_t": ["["], "_u": ["}"]}),
    ("_l ['[' \"]\" ['{'] '}'] _m {'k':':' ':':'{' 'j':[']']}",
     {"_l": [["[", "]", ["{"], "}"]], "_m": [{"k": ":", ":": "{", "j": ["]"]}]}),
    # Loop rows: quoted punctuation between plain words, many rows.
    ("loop_ _r.a _r.b\n" + "x '[' \"]\" y\n" * 40 + "'{' '}'\n",
     {"_r.a": ["x", "]"] * 40 + ["{"], "_r.b": ["[", "y"] * 40 + ["}"]}),
]


@pytest.mark.parametrize("body, tags", PUNCTUATION, ids=["scalars", "text_fields", "nested", "loop"])
def test_quoted_punctuation_is_a_string(tmp_path, body, tags):
    text = CIF2 + "data_x\n" + body
    block, errors = read_all(text)
    assert errors == [] and block["tags"] == tags
    path = tmp_path / "p.cif"
    path.write_text(text, encoding="utf-8")
    assert q.parse_arrow_file(str(path))[1] == [] and quarzel.read(path).errors == []
    assert run_cli("check", str(path)) == (0, f"{path}: no errors\n")
    rows, problems = engine_rows([str(path)], tmp_path / "out")
    assert problems == {} and rows[str(path)] == arrow_rows(text)


# --------------------------------------------------------------------------
# A data name given again: one record naming it where it stands again; the
# later occurrence wins, at its later place; the earlier leaves its loop.

LATER_VALUE = "later occurrence kept, earlier value dropped"
LATER_COLUMN = "later occurrence kept, earlier loop column dropped"
IN_HEADER = "later column kept, earlier one dropped"

DUPLICATES = [
    # (text, tag order, loops, tags, [(tag as written, line, column, recovery)])
    ("data_x loop_ _a.b _a.c _a.b 1 2 3",
     ["_a.c", "_a.b"], [["_a.c", "_a.b"]], {"_a.c": ["2"], "_a.b": ["3"]},
     [("_a.b", 1, 24, IN_HEADER)]),
    ("data_x loop_ _a.b _a.c 1 2 3 4 loop_ _a.b 5",
     ["_a.c", "_a.b"], [["_a.c"], ["_a.b"]], {"_a.c": ["2", "4"], "_a.b": ["5"]},
     [("_a.b", 1, 38, LATER_COLUMN)]),
    ("data_x\nloop_ _a.b _a.c 1 2 3 4\n_A.B 5",
     ["_a.c", "_a.b"], [["_a.c"]], {"_a.c": ["2", "4"], "_a.b": ["5"]},
     [("_A.B", 3, 1, LATER_COLUMN)]),
    ("data_x _a 1 _b 2 _a 3", ["_b", "_a"], [], {"_b": ["2"], "_a": ["3"]},
     [("_a", 1, 18, LATER_VALUE)]),
    ("data_x _a.b 0 _z 9\nloop_ _a.b _a.c 1 2 3 4",
     ["_z", "_a.b", "_a.c"], [["_a.b", "_a.c"]], {"_z": ["9"], "_a.b": ["1", "3"], "_a.c": ["2", "4"]},
     [("_a.b", 2, 7, LATER_VALUE)]),
    # A loop whose every tag is given again goes: the next loop moves up.
    ("data_x loop_ _p 1 2 loop_ _q 3 _p 4",
     ["_q", "_p"], [["_q"]], {"_q": ["3"], "_p": ["4"]}, [("_p", 1, 32, LATER_COLUMN)]),
    # Values without a tag gather under the reserved tag, without a record.
    ("data_x _a 1 2 _b 3 4", ["_a", "_quarzel_error_value", "_b"], [],
     {"_a": ["1"], "_quarzel_error_value": ["2", "4"], "_b": ["3"]}, []),
]


@pytest.mark.parametrize("text, order, loops, tags, records", DUPLICATES,
                         ids=["header", "later_loop", "item_after_loop", "items",
                              "loop_after_item", "loop_emptied", "reserved_tag"])
def test_data_name_given_again(tmp_path, text, order, loops, tags, records):
    block, errors = read_all(text)
    assert (block["tag_order"], block["loops"], block["tags"]) == (order, loops, tags)
    dups = [e for e in errors if e["message"].startswith("duplicate data name")]
    assert [(e["error_type"], e["message"], e["context"], e["line"], e["column"], e["recovery_action"])
            for e in dups] == [("semantic", f'duplicate data name: "{t}"', t, line, column, recovery)
                               for t, line, column, recovery in records]
    # Written out and read again: the same block (the writer leaves the
    # reserved tag out), nothing to report.
    cif, _ = q.parse_cif(text)
    again = q.parse_raw(quarzel.dumps(cif))
    kept = [t for t in block["tag_order"] if t != "_quarzel_error_value"]
    assert again["blocks"][0] == dict(block, tag_order=kept, tags={t: block["tags"][t] for t in kept})
    assert not any(e["message"].startswith("duplicate") for e in again["errors"])
    # From a file, through every reader: no exception, the same records.
    path = tmp_path / "d.cif"
    path.write_text(text, encoding="utf-8")
    assert q.parse_arrow_file(str(path))[1] == errors
    assert [e.message for e in quarzel.read(path).errors] == [e["message"] for e in errors]
    status, out = run_cli("check", str(path))
    assert status == (1 if errors else 0)
    for t, line, column, recovery in records:
        assert f'{path}:{line}:{column}: semantic: duplicate data name: "{t}" [{t}] ({recovery})' in out
    assert run_cli("info", str(path))[0] == (1 if errors else 0)
    for suffix in (".parquet", ".json", ".cif"):
        assert run_cli("convert", str(path), str(tmp_path / ("o" + suffix)))[0] == 0
    rows, problems = engine_rows([str(path)], tmp_path / "out")
    assert rows.get(str(path), []) == arrow_rows(text)
    assert problems.get(str(path), []) == errors


def test_data_name_given_again_in_strict_mode_stops():
    text = "data_x _a 1 loop_ _b _a 2 3 _c 4"
    raw = q.parse_raw(text, "strict")
    assert raw["blocks"][0]["tags"] == {"_a": ["1"]}
    assert [(e["message"], e["recovery_action"]) for e in raw["errors"]] == [
        ('duplicate data name: "_a"', "stopped")]
    batches, errors = q.parse_arrow(text, "strict")
    assert errors == raw["errors"] and [b.num_rows for b in batches] == [1]


# --------------------------------------------------------------------------
# A byte order mark where the text starts is dropped; CIF 1.1 reports it.

BOM = b"\xef\xbb\xbf"
BOM_RECORD = {"error_type": "lexical", "message": "character U+FEFF is not permitted in CIF 1.x",
              "line": 1, "column": 1, "context": "\ufeff", "recovery_action": "byte order mark dropped"}

BOM_CASES = [
    # (file bytes, tags of block x, records after the first: messages)
    (BOM + b"data_x\n_a 1\n", {"_a": ["1"]}, [BOM_RECORD]),
    (BOM + b"#\\#CIF_2.0\ndata_x\n_a [1]\n", {"_a": [["1"]]}, []),
    (BOM + b"#\\#CIF_1.1\ndata_x _a 1", {"_a": ["1"]}, [BOM_RECORD]),
    (BOM + b"\r\n\r\ndata_x _a 1", {"_a": ["1"]}, [BOM_RECORD]),
    (BOM + b"data_x _a 1 _b \xe9", {"_a": ["1"], "_b": ["\xe9"]},
     [{"error_type": "lexical", "message": "not valid UTF-8 (byte 0xE9); read as Latin-1",
       "line": 1, "column": 16, "context": "\xe9", "recovery_action": "read as Latin-1"},
      BOM_RECORD]),
]


@pytest.mark.parametrize("data, tags, first", BOM_CASES,
                         ids=["cif1", "cif2", "cif11_line", "blank_lines", "latin1"])
def test_byte_order_mark_dropped(tmp_path, data, tags, first):
    path = tmp_path / "b.cif"
    path.write_bytes(data)
    source = _files.read_source(path)
    assert source.text.startswith("\ufeff") and "\u00ef" not in source.text
    block, errors = read_all(source.text)
    assert block["name"] == "x" and block["tags"] == tags
    got = ([source.problem] if source.problem else []) + errors
    assert got[:len(first)] == first
    if source.problem is None:
        assert q.parse_arrow_file(str(path))[1] == errors
    assert [e.message for e in quarzel.read(path).errors] == [e["message"] for e in got]
    status, out = run_cli("check", str(path))
    assert status == (1 if got else 0) and ("lexical: character U+FEFF" in out) == (BOM_RECORD in got)
    rows, problems = engine_rows([str(path)], tmp_path / "out")
    assert rows[str(path)] == arrow_rows(source.text)
    assert problems.get(str(path), []) == got
