"""Valid CIF 1.1 read by quarzel and by gemmi: both find the same data.

Every entry point takes part: parse_raw, parse_cif, parse_arrow (and
parse_arrow_file on the real files), parse through a handler that builds
the same tree, and lex_cif on the generated documents.

Inputs: the mmCIF dictionaries shipped with libcifpp, the corpus files, the
synthetic mmCIF files of the benchmark generator, and random valid documents
from cifgen (which also knows the tokens, events and values they hold).

gemmi keeps values as written; `gemmi_tree` turns its document into the
dictionary tree of parse_raw with these normalisations, each a documented
difference between the readers rather than a fault:

- quotes are removed as gemmi's own `cif.as_string` removes them;
- an unquoted "." or "?" is a placeholder in both; a quoted one is stored by
  parse_raw as the three-character text `"."` / `"?"` so that it stays
  distinguishable from the placeholder;
- a text field whose first line carries a backslash marker is stored by
  parse_raw after prefix removal and line folding, by gemmi as written: the
  caller supplies the folded value (cifgen knows it; the real files hold no
  such field, which `gemmi_tree` checks);
- line ends inside text fields: gemmi keeps CR LF as written, quarzel
  normalises every line end to LF before reading;
- names of blocks, frames and tags are compared in lower case (parse_raw
  stores them so; gemmi keeps the case as written).

Inputs on which the two readers legitimately disagree are listed, with the
reason, in DIFFERENCES at the end of this file.
"""

import gzip
import os
import pathlib
import subprocess
import sys

import pytest

import quarzel_core as q
from quarzel.types import CifVersion, TokenType, ValueType

import cifgen
import testdata

try:
    import gemmi
except ImportError:
    gemmi = None

HERE = pathlib.Path(__file__).resolve()
MAKE_MMCIF = HERE.parents[2] / "bench" / "make_mmcif.py"
LIBCIFPP = pathlib.Path("/usr/share/libcifpp")
UNDER_ASAN = bool(os.environ.get("QUARZEL_UNDER_ASAN"))
SEEDS = range(60) if UNDER_ASAN else range(400)
USE_GEMMI = gemmi is not None


def read_text(path):
    data = path.read_bytes()
    if path.suffix == ".gz":
        data = gzip.decompress(data)
    return data.decode("utf-8")


def is_marker_line(first):
    """True when a text field's first line asks for prefix removal or
    folding: a backslash (folding), or a prefix not starting with ';' and one
    backslash (the prefix) or two (the prefix and folding), then blanks."""
    i = first.find("\\")
    if i < 0:
        return False
    prefix, rest = first[:i], first[i + 1:]
    double = rest.startswith("\\")
    if double:
        rest = rest[1:]
    if rest.strip(" \t"):
        return False
    return not double if not prefix else not prefix.startswith(";")


def gemmi_tree(doc, text_fields=None):
    """gemmi's document as parse_raw's block dicts (see the module docstring)."""
    text_fields = text_fields or {}

    def value(raw):
        if raw in (".", "?"):
            return raw
        text = gemmi.cif.as_string(raw)
        if raw.startswith(";"):
            text = text.replace("\r\n", "\n")
            if is_marker_line(text.split("\n", 1)[0]):
                assert text in text_fields, f"text field with a marker line: {text[:60]!r}"
                return text_fields[text]
            return text
        return f'"{text}"' if text in (".", "?") else text

    def frame(name, items):
        d = {"name": name.lower(), "tag_order": [], "loops": [], "tags": {}}
        frames = []
        for item in items:
            if item.pair is not None:
                tag, raw = item.pair
                d["tag_order"].append(tag.lower())
                d["tags"][tag.lower()] = [value(raw)]
            elif item.loop is not None:
                loop = item.loop
                tags = [t.lower() for t in loop.tags]
                d["loops"].append(tags)
                width, values = loop.width(), list(loop.values)
                for i, tag in enumerate(tags):
                    d["tag_order"].append(tag)
                    d["tags"][tag] = [value(v) for v in values[i::width]]
            elif item.frame is not None:
                frames.append(frame(item.frame.name, item.frame)[0])
        return d, frames

    blocks = []
    for b in doc:
        d, frames = frame(b.name, b)
        d["save_frames"] = frames
        blocks.append(d)
    return blocks


class TreeHandler:
    """A handler for `parse` that builds parse_raw's tree from raw events.

    A quoted "." / "?" is marked as parse_raw marks it; the raw text of a text
    field is looked up in `text_fields` (raw -> stored) and kept as it is when
    absent there.
    """

    def __init__(self, text_fields=None):
        self.text_fields = text_fields or {}
        self.blocks, self.errors = [], []
        self.frame = self.block = None
        self.tag = None
        self.loop = None

    @staticmethod
    def new(name):
        return {"name": name.lower(), "tag_order": [], "loops": [], "tags": {}}

    def on_data_block(self, name):
        self.block = self.frame = dict(self.new(name), save_frames=[])
        self.blocks.append(self.block)

    def on_save_frame_start(self, name):
        self.frame = self.new(name)
        self.block["save_frames"].append(self.frame)

    def on_save_frame_end(self):
        self.frame = self.block

    def add_tag(self, tag):
        self.tag = tag.lower()
        if self.tag not in self.frame["tags"]:
            self.frame["tag_order"].append(self.tag)
            self.frame["tags"][self.tag] = []

    def on_loop_start(self, tags):
        self.loop = ([t.lower() for t in tags], 0)
        self.frame["loops"].append(self.loop[0])
        for t in self.loop[0]:
            if t not in self.frame["tags"]:
                self.frame["tag_order"].append(t)
            self.frame["tags"][t] = []

    def on_loop_end(self):
        self.loop = None

    def add_value(self, value, kind):
        # parse_raw marks quoted dots and question marks; text fields keep them bare.
        if kind is ValueType.MULTILINE_STRING:
            value = self.text_fields.get(value, value)
        elif kind is not ValueType.PLACEHOLDER and value in (".", "?"):
            value = f'"{value}"'
        if self.loop is not None:
            tags, n = self.loop
            self.frame["tags"][tags[n % len(tags)]].append(value)
            self.loop = (tags, n + 1)
        else:
            self.frame["tags"][self.tag].append(value)

    def on_error(self, error):
        self.errors.append(error)


def model_tree(cif):
    """parse_cif's object model as parse_raw's block dicts."""

    def frame(f):
        return {"name": f.name, "tag_order": f._tag_order, "loops": f._loops, "tags": f._tags}

    return [dict(frame(b), save_frames=[frame(f) for f in b._save_frame_list])
            for b in cif._block_list]


def first_difference(ours, theirs, path="blocks"):
    """Where two trees first differ, for readable failures (None when equal)."""
    if type(ours) is not type(theirs):
        return f"{path}: {ours!r:.200} != {theirs!r:.200}"
    if isinstance(ours, dict):
        if list(ours) != list(theirs):
            return f"{path} keys: {list(ours)!r:.300} != {list(theirs)!r:.300}"
        items = [(k, ours[k], theirs[k]) for k in ours]
    elif isinstance(ours, list):
        if len(ours) != len(theirs):
            return f"{path} length {len(ours)} != {len(theirs)}"
        items = list(zip(range(len(ours)), ours, theirs))
    else:
        return None if ours == theirs else f"{path}: {ours!r:.200} != {theirs!r:.200}"
    for key, a, b in items:
        found = first_difference(a, b, f"{path}[{key!r}]")
        if found:
            return found
    return None


IDENTITY = ["_quarzel_block_idx", "_block_name", "_frame_idx", "_frame_name", "_loop_id"]


def arrow_frames(batches):
    """parse_arrow's batches grouped per block or save frame.

    Maps (block index, frame index or None) to the frame's name, its scalar
    tags in column order with their values, and its loops (tag lists) with the
    values of their tags.
    """
    frames = {}
    for batch in batches:
        names = batch.schema.names
        assert names[:5] == IDENTITY
        ident = [batch.column(i).to_pylist() for i in range(5)]
        assert all(col == col[:1] * batch.num_rows for col in ident)
        block, block_name, frame, frame_name, loop_id = (col[0] for col in ident)
        f = frames.setdefault((block, frame), {
            "name": block_name if frame is None else frame_name,
            "scalars": {}, "loops": [], "loop_values": {}})
        values = {n: batch.column(i).to_pylist() for i, n in enumerate(names) if i >= 5}
        if loop_id == "__scalars__":
            assert not f["scalars"] and not f["loops"]
            f["scalars"] = values
        else:
            assert loop_id == f"__loop_{len(f['loops'])}__"
            f["loops"].append(names[5:])
            f["loop_values"].update(values)
    return frames


def expected_arrow_frames(blocks):
    """What arrow_frames gives for parse_raw's blocks of a valid CIF 1.1 text."""
    frames = {}
    for b, block in enumerate(blocks):
        for f, frame in [(None, block)] + list(enumerate(block["save_frames"])):
            in_loops = dict.fromkeys(t for loop in frame["loops"] for t in loop)
            scalars = {t: frame["tags"][t] for t in frame["tag_order"] if t not in in_loops}
            if not scalars and not frame["loops"]:
                continue
            frames[(b, f)] = {
                "name": frame["name"], "scalars": scalars, "loops": frame["loops"],
                "loop_values": {t: frame["tags"][t] for t in in_loops}}
    return frames


def check_arrow(batches, errors, raw):
    assert errors == []
    assert first_difference(arrow_frames(batches), expected_arrow_frames(raw["blocks"])) is None


def check_document(text, expected=None, text_fields=None, via_parse=True):
    """parse_raw, parse_cif, parse_arrow and parse read text alike, as `expected` and gemmi say.

    `expected` (parse_raw's blocks) may be None; gemmi's reading is used when
    it can run. `text_fields` maps the raw text of folded text fields to
    their stored value.
    """
    if USE_GEMMI:
        theirs = gemmi_tree(gemmi.cif.read_string(text), text_fields)
        if expected is not None:
            assert first_difference(expected, theirs) is None
        expected = theirs
    raw = q.parse_raw(text)
    assert raw["errors"] == []
    assert raw["version"] == "CIF_1_1"
    if expected is not None:
        assert first_difference(raw["blocks"], expected) is None
    cif, errors = q.parse_cif(text)
    assert errors == [] and cif.version is CifVersion.CIF_1_1
    assert first_difference(model_tree(cif), raw["blocks"]) is None
    check_arrow(*q.parse_arrow(text), raw)
    if via_parse:
        h = TreeHandler(text_fields)
        assert q.parse(text, h) is CifVersion.CIF_1_1
        assert h.errors == []
        assert first_difference(h.blocks, raw["blocks"]) is None
    return raw


# --------------------------------------------------------------------------
# Real files


def real_files():
    files = sorted(LIBCIFPP.glob("*.dic")) if LIBCIFPP.is_dir() else []
    files += [testdata.path("cif1", n) for n in ("1kip.cif", "1ffk.cif.gz", "mmcif_pdbx_v40.dic")]
    return files


@pytest.mark.parametrize("path", real_files(), ids=lambda p: p.name)
def test_real_files(path):
    text = read_text(path)
    # The handler path makes a Python call per value: only the smaller files.
    small = len(text) < (500_000 if UNDER_ASAN else 4_000_000)
    raw = check_document(text, via_parse=small)
    assert raw["blocks"]


def files_to_read():
    # Under the sanitizer only the smaller ones: the larger are read above.
    limit = 1_000_000 if UNDER_ASAN else None
    return [p for p in real_files()
            if p.suffix != ".gz" and (limit is None or p.stat().st_size < limit)]


@pytest.mark.parametrize("path", files_to_read(), ids=lambda p: p.name)
def test_real_files_read_from_disk(path):
    check_arrow(*q.parse_arrow_file(str(path)), q.parse_raw(read_text(path)))


def test_the_real_files_are_present():
    # libcifpp-data and gemmi are part of the development environment.
    assert gemmi is not None
    assert LIBCIFPP.is_dir() and len(sorted(LIBCIFPP.glob("*.dic"))) >= 2
    assert len(real_files()) >= 5


def make_mmcif(atoms, out):
    subprocess.run([sys.executable, str(MAKE_MMCIF), str(atoms), str(out)], check=True)
    return out.read_text()


# 9,000 atoms reach past the first protein chain into the DNA strand (quoted
# primed atom names) and the waters (no sequence number).
@pytest.mark.parametrize("atoms", [1, 37, 9000])
def test_synthetic_mmcif(atoms, tmp_path):
    text = make_mmcif(atoms, tmp_path / "synth.cif")
    raw = check_document(text)
    (block,) = raw["blocks"]
    tags = block["tags"]
    assert sum(t.startswith("_atom_site.") for t in tags) == 21
    assert len(tags["_atom_site.id"]) == atoms
    if atoms == 9000:
        assert {"C5'", "O4'"} <= set(tags["_atom_site.label_atom_id"])
        assert {"ATOM", "HETATM"} == set(tags["_atom_site.group_pdb"])
        assert "." in tags["_atom_site.label_seq_id"]
    # The same count always gives the same file.
    assert make_mmcif(atoms, tmp_path / "again.cif") == text


# --------------------------------------------------------------------------
# Random documents


@pytest.mark.parametrize("chunk", range(8))
def test_generated_documents(chunk):
    for seed in SEEDS[chunk::8]:
        g = cifgen.generate(seed)
        try:
            check_document(g.text, g.blocks, g.text_fields)
            tokens, version = q.lex_cif(g.text)
            assert version is CifVersion.CIF_1_1
            assert [(t["token_type"], t["value"], t["value_type"], t["line"], t["column"])
                    for t in tokens] == g.tokens
            assert all(t["errors"] == [] for t in tokens)
        except AssertionError:
            print(f"seed {seed}:\n{g.text}")
            raise


def test_generated_events():
    class Recorder:
        def __init__(self):
            self.calls = []

        def __getattr__(self, name):
            return lambda *args: self.calls.append((name, *args))

    for seed in SEEDS[:100]:
        g = cifgen.generate(seed)
        r = Recorder()
        assert q.parse(g.text, r) is CifVersion.CIF_1_1
        assert r.calls == g.events, f"seed {seed}"


def test_generator_covers_the_syntax():
    """The generated documents use every construct the comparison relies on."""
    kinds, keywords, text, folded = set(), set(), [], 0
    for seed in SEEDS[:200]:
        g = cifgen.generate(seed)
        text.append(g.text)
        kinds.update(t[2] for t in g.tokens)
        keywords.update(t[1][:5].lower() for t in g.tokens if t[0] is TokenType.KEYWORD)
        folded += bool(g.text_fields)
    triple = {ValueType.TRIPLE_SINGLE_QUOTED, ValueType.TRIPLE_DOUBLE_QUOTED}
    assert kinds == {None, *ValueType} - triple
    assert keywords == {"data_", "save_", "loop_"}
    joined = "".join(text)
    for piece in ("\r\n", "#\\#CIF_1.1", "\t", " #", "\n;\\", "\n;> \\"):
        assert piece in joined, piece
    assert folded > 20


# Small valid documents at the corners of the syntax.
SNIPPETS = [
    "data_x _a { _b } _c '[' _d \"]\" _e : _f '{' _g ':'",  # no lists or tables in CIF 1.1
    "data_x loop_ _a _b { } '[' ']'",
    "data_x _a 'it's' _b \"a\"b\" _c 'x'' _d 'it''s'",
    "data_x _a '' _b \"\" _c '.' _d \"?\" _e . _f ?",
    "data_x _a ;abc _b x;y _c ;",
    "data_x _a 'data_y' _b \"loop_\" _c '_t' _d '#c' _e 'save_'",
    "data_x\n_a\n;\n;\n_b\n;.\n; _c\n;?\n;\t_d 1",
    "data_x _a .5 _b ?x _c .. _d ..? _e x[y] _f a$ _g \\x _h {a:b}",
    "DATA_X _A 1 save_F _B 2 SAVE_ _C 3",
    "data_a'b\"c[d]{e}() _t[1] 1 _u{x} 2 save_s[1] _v 3 save_",
    "#\\#CIF_1.1\n\n# comment\ndata_x\t_a\t'b'\t#c\n_c\t1 #",
]


@pytest.mark.parametrize("text", SNIPPETS)
def test_snippets(text):
    check_document(text)


# --------------------------------------------------------------------------
# Number signs inside words, tags and names belong to them, in both versions;
# one after white space opens a comment.

NUMBER_SIGN = [
    "data_x _amcsd_database_code AMCSD#0010129 _chemical_formula_sum (OH)2&#x00A1;&#x00A4;27H2O",
    "data_x _a a#b _b c# _c x##y\n_d #c\n1",
    "data_x _t#1 1 _T#2 2 _u# 3",
    "data_a#b _t 1 save_s#1 _u 2 save_ save_# _v 3 save_",
    "data_x loop_ _a _b#1 a#1 b#2 c# d\n#e\n;f\n;\n g#",
    "data_x loop_ _a 'q' w#1 \"r\" w#2 x#3\ny#4 #c\n_b 1",
    "data_x _a ;b#c _b x;#y",
]


@pytest.mark.parametrize("text", NUMBER_SIGN)
def test_number_sign_cif1(text):
    raw = check_document(text)
    assert "#" in repr(raw["blocks"])


def test_generator_writes_number_signs_inside_tokens():
    inside = set()
    for seed in SEEDS[:100]:
        for kind, value, value_type, _, _ in cifgen.generate(seed).tokens:
            if "#" in value[1:] and value_type in (ValueType.STRING, None):
                inside.add(kind)
    assert inside == {TokenType.TAG, TokenType.KEYWORD, TokenType.VALUE}


@pytest.mark.parametrize("text", NUMBER_SIGN)
def test_number_sign_cif2(text):
    # gemmi reads the version line as a comment and these texts alike in
    # both versions.
    cif2 = "#\\#CIF_2.0\n" + text
    raw = q.parse_raw(cif2)
    assert raw["errors"] == [] and raw["version"] == "CIF_2_0"
    assert first_difference(raw["blocks"], q.parse_raw(text)["blocks"]) is None
    cif, errors = q.parse_cif(cif2)
    assert errors == [] and first_difference(model_tree(cif), raw["blocks"]) is None
    check_arrow(*q.parse_arrow(cif2), raw)
    h = TreeHandler()
    assert q.parse(cif2, h) is CifVersion.CIF_2_0
    assert h.errors == [] and first_difference(h.blocks, raw["blocks"]) is None
    if USE_GEMMI:
        assert first_difference(raw["blocks"], gemmi_tree(gemmi.cif.read_string(cif2))) is None


# --------------------------------------------------------------------------
# CIF 2.0: a quoted or text-field one-character bracket, brace or colon is a
# string (only the unquoted punctuation is structure), as gemmi (which reads
# the version line as a comment) and PyCifRW read it.

QUOTED_PUNCTUATION = [
    "data_x\n_a '['\n_b \"]\"\n_c '{'\n_d \"}\"\n_e ':'\n",
    "data_x\nloop_\n_l.a\n_l.b\n'[' x\n\"}\" ']'\n'{' \":\"\n",
    "data_x\n_t\n;[\n;\n_u\n;}\n;\n_v\n;:\n;\n",
]


def pycifrw_tags(text, tmp_path):
    from CifFile import ReadCif

    path = tmp_path / "p.cif"
    path.write_text(text, encoding="utf-8")
    block = ReadCif(str(path), grammar="2.0")["x"]
    return {k.lower(): v if isinstance(v, list) else [v] for k, v in
            ((k, block[k]) for k in block.keys())}


@pytest.mark.parametrize("text", QUOTED_PUNCTUATION)
def test_quoted_punctuation_cif2(text, tmp_path):
    cif2 = "#\\#CIF_2.0\n" + text
    raw = q.parse_raw(cif2)
    assert raw["errors"] == [] and raw["version"] == "CIF_2_0"
    assert first_difference(raw["blocks"], q.parse_raw(text)["blocks"]) is None
    cif, errors = q.parse_cif(cif2)
    assert errors == [] and first_difference(model_tree(cif), raw["blocks"]) is None
    check_arrow(*q.parse_arrow(cif2), raw)
    h = TreeHandler()
    assert q.parse(cif2, h) is CifVersion.CIF_2_0
    assert h.errors == [] and first_difference(h.blocks, raw["blocks"]) is None
    assert raw["blocks"][0]["tags"] == pycifrw_tags(cif2, tmp_path)
    if USE_GEMMI:
        assert first_difference(raw["blocks"], gemmi_tree(gemmi.cif.read_string(cif2))) is None


# --------------------------------------------------------------------------
# Where the readers differ

# (input, tags parse_raw stores, its first error message, gemmi's tags or
# None when gemmi rejects the text, reason)
DIFFERENCES = [
    # A keyword directly followed by "#" is one word here, as loop_x is;
    # gemmi reads the keyword and a comment.
    ("data_x loop_#x\n_a 1", {"_quarzel_error_value": ["loop_#x"], "_a": ["1"]},
     'value "loop_#x" has no preceding tag', {"_a": ["1"]}, "'#' after a keyword"),
    # A quote directly followed by "#" closes a quoted string for gemmi; here
    # only white space (or the end) after the quote closes it.
    ("data_x _a 'a'#b'", {"_a": ["a'#b"]}, None, {"_a": ["a"]},
     "a quote before '#' does not close"),
    # Three quotes in CIF 1.1 are reported as a triple-quoted string (one
    # token, with an error) instead of being read as a quote that encloses
    # two quote characters.
    ("data_x _a '''a'''", {"_a": ["a"]}, "triple-quoted strings are not valid in CIF 1.x",
     {"_a": ["''a''"]}, "three quotes begin a triple-quoted string"),
    ("data_x _a ''''", {"_a": ["'"]}, "triple-quoted strings are not valid in CIF 1.x",
     {"_a": ["''"]}, "four quotes begin a triple-quoted string"),
    # Forgiving reading of faulty text that gemmi rejects as a whole.
    ("data_x _a 1 _a 2", {"_a": ["2"]}, 'duplicate data name: "_a"', None,
     "a repeated tag keeps its later value"),
    ("data_x _a x\x00y", {"_a": ["x\x00y"]}, None, None, "NUL is word material"),
    ("data_x _a $x", {"_a": ["$x"]}, "bare word beginning with '$' is not permitted in CIF 1.x",
     None, "reported, value kept"),
    ("data_x\r_a\r;\rx\r;\r", {"_a": ["\nx"]}, None, None, "a lone CR ends a line"),
    ("data_x\n_a\n;t\n;_b 2", {"_a": ["t"], "_b": ["2"]}, None, None,
     "text after a closing semicolon is the next token"),
    ("data_x _a x\x7fy", {"_a": ["x\x7fy"]}, None, None,
     "bare words are not checked for CIF 1.1 characters"),
]


@pytest.mark.parametrize("text, ours, error, theirs, reason", DIFFERENCES,
                         ids=[d[-1] for d in DIFFERENCES])
def test_documented_differences(text, ours, error, theirs, reason):
    raw = q.parse_raw(text)
    assert raw["blocks"][0]["tags"] == ours
    assert [e["message"] for e in raw["errors"]][:1] == ([error] if error else [])
    if not USE_GEMMI:
        return
    try:
        read = gemmi_tree(gemmi.cif.read_string(text))[0]["tags"]
    except (RuntimeError, ValueError):
        read = None
    assert read == theirs


def test_text_field_values():
    """Both readers strip only the delimiting line ends; the first line decides folding."""
    cases = [
        ("\nline1\nline2", "\nline1\nline2"),
        ("abc", "abc"),
        ("", ""),
        ("\n", "\n"),
        ("\n x \n\t", "\n x \n\t"),
        ("\\\nfoo\\\nbar", "foobar"),  # folded by quarzel only
        ("a\\b\nc", "a\\b\nc"),  # backslash followed by text: no marker
        ("> \\\n> x\n> y", "x\ny"),  # prefix removed by quarzel only
    ]
    for content, stored in cases:
        text = f"data_x\n_a\n;{content}\n;\n"
        if USE_GEMMI:
            assert gemmi.cif.as_string(gemmi.cif.read_string(text)[0].find_value("_a")) == content
        r = q.parse_raw(text)
        assert r["errors"] == [] and r["blocks"][0]["tags"]["_a"] == [stored]
        (v,) = [t for t in q.lex_cif(text)[0] if t["token_type"] is TokenType.VALUE]
        assert v["value"] == content
