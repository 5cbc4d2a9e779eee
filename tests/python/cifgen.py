"""Random valid CIF 1.1 documents, deterministic per seed.

`generate(seed)` returns a `Generated` record: the text, and what a reader
must find in it, worked out while the text was written: the tokens with
their positions, the handler events, and the dictionary tree of `parse_raw`.
The text uses the whole CIF 1.1 syntax (data blocks, save frames, loops,
bare, quoted and text-field values, placeholders, comments, odd spacing,
an optional version line, CR LF line ends) but only in forms that every
CIF 1.1 reader reads alike; forms on which readers legitimately differ are
covered by explicit cases in the tests instead.
"""

from __future__ import annotations

import random
import string
from dataclasses import dataclass, field

from quarzel.types import TokenType, ValueType

TAG, KEYWORD, VALUE = TokenType.TAG, TokenType.KEYWORD, TokenType.VALUE

# Characters a bare word may begin with: printable ASCII except the ones
# that start something else (tag, comment, quote, text field, reserved).
WORD_START = "".join(c for c in string.printable[:94] if c not in "_#$'\";[]")
# Characters inside a bare word, the number sign included.
WORD_REST = string.printable[:94]
# Inside quotes and text fields: any printable ASCII, space and tab.
QUOTED = string.printable[:94] + " \t"
NAME_CHARS = string.ascii_letters + string.digits + "-_.()[]{}'\"/+*#"


def _is_keyword(word):
    # Readers differ on a keyword directly followed by "#" (loop_#x): left out.
    low = word.lower().split("#")[0]
    return low.startswith(("data_", "save_")) or low in ("loop_", "stop_", "global_")


@dataclass
class Value:
    """One value: how it is written and what each reader makes of it."""

    text: str  # as written in the source
    raw: str  # the token text (quotes removed, text field raw)
    kind: ValueType
    logical: str  # the value parse_raw stores
    line_start: bool = False  # a text field: must begin a line


@dataclass
class Generated:
    seed: int
    text: str
    tokens: list = field(default_factory=list)  # (type, value, value_type, line, column)
    events: list = field(default_factory=list)  # handler calls as tuples
    blocks: list = field(default_factory=list)  # parse_raw block dicts
    # Text fields whose stored value differs from the raw text: raw -> stored.
    text_fields: dict = field(default_factory=dict)


class _Writer:
    """Appends source text and knows the line and column of the next character."""

    def __init__(self, first_line):
        self.parts = []
        self.line = first_line
        self.column = 1

    def put(self, text):
        self.parts.append(text)
        newlines = text.count("\n")
        if newlines:
            self.line += newlines
            self.column = len(text) - text.rfind("\n")
        else:
            self.column += len(text)

    def text(self):
        return "".join(self.parts)


class _Gen:
    def __init__(self, seed):
        self.rnd = random.Random(seed)
        self.seed = seed

    # -- pieces of text ---------------------------------------------------

    def chars(self, alphabet, lo, hi):
        return "".join(self.rnd.choice(alphabet) for _ in range(self.rnd.randint(lo, hi)))

    def comment(self):
        return "#" + self.chars(QUOTED, 0, 20)

    def space(self, need_newline=False):
        """White space between two tokens, possibly with comments."""
        r = self.rnd
        pieces = []
        for _ in range(r.choice((1, 1, 1, 2, 3))):
            pieces.append(r.choice((" ", " ", "  ", "\t", "\n", "\n", " \n\t", "\n\n", "\t \t")))
            if r.random() < 0.1:
                pieces.append(self.comment() + "\n")
        text = "".join(pieces)
        if need_newline and "\n" not in text:
            text += "\n"
        return text

    def name(self, taken):
        while True:
            n = self.chars(NAME_CHARS, 1, 12)
            if n[0] in "_'\"[]#":
                continue
            if n.lower() not in taken:
                taken.add(n.lower())
                return n

    def tag(self, taken):
        while True:
            t = "_" + self.rnd.choice(("", "cat.", "atom_site.", "Struct_")) + self.chars(
                string.ascii_letters + string.digits + "_.-[]()/%#", 1, 14)
            if t.lower() not in taken:
                taken.add(t.lower())
                return t

    # -- values -----------------------------------------------------------

    def value(self):
        r = self.rnd
        style = r.choices(
            ("bare", "placeholder", "single", "double", "text", "folded", "prefixed", "double_marker",
             "keywordish"),
            weights=(40, 8, 12, 12, 8, 3, 3, 2, 4))[0]
        return getattr(self, "value_" + style)()

    def value_bare(self):
        while True:
            w = self.rnd.choice(WORD_START) + self.chars(WORD_REST, 0, 15)
            if w not in (".", "?") and not _is_keyword(w):
                return Value(w, w, ValueType.STRING, w)

    def value_placeholder(self):
        p = self.rnd.choice(".?")
        return Value(p, p, ValueType.PLACEHOLDER, p)

    def quoted(self, q, content):
        kind = ValueType.SINGLE_QUOTED if q == "'" else ValueType.DOUBLE_QUOTED
        logical = f'"{content}"' if content in (".", "?") else content
        return Value(q + content + q, content, kind, logical)

    def quoted_content(self, q):
        """Text that a quote q encloses: no q before white space or "#", not starting with q.

        (Readers differ on whether a quote followed by "#" closes the string.)
        """
        r = self.rnd
        while True:
            c = r.choice((self.chars(QUOTED, 0, 20), r.choice((".", "?", "", "a" + q + "b",
                                                              "it" + q + q + "s", "x" + q, "#x",
                                                              "data_x", "_tag", "loop_", ";x"))))
            if c.startswith(q) or any(c[i] == q and c[i + 1] in " \t#" for i in range(len(c) - 1)):
                continue
            return c

    def value_single(self):
        return self.quoted("'", self.quoted_content("'"))

    def value_double(self):
        return self.quoted('"', self.quoted_content('"'))

    def value_keywordish(self):
        # Words that would be keywords or tags bare, quoted to be values.
        q = self.rnd.choice("'\"")
        word = self.rnd.choice(("data_a", "DATA_", "save_", "Loop_", "stop_", "global_", "_a.b",
                                "#", "[1 2]", "{'k':v}", "$x", ";"))
        return self.quoted(q, word)

    def line_text(self):
        """One line inside a text field: never starts with a semicolon."""
        while True:
            t = self.chars(QUOTED, 0, 30)
            if not t.startswith(";"):
                return t

    def text_field(self, raw, logical):
        return Value(";" + raw + "\n;", raw, ValueType.MULTILINE_STRING, logical, line_start=True)

    def value_text(self):
        # The first line holds no backslash, so the text is stored as it stands.
        if self.rnd.random() < 0.1:
            return self.text_field(*[self.rnd.choice((".", "?", "", " "))] * 2)
        first = self.rnd.choice(("", "", "", self.line_text().replace("\\", "/")))
        lines = [first] + [self.line_text() for _ in range(self.rnd.randint(0, 4))]
        raw = "\n".join(lines)
        return self.text_field(raw, raw)

    def logical_lines(self):
        """Lines that survive folding unchanged: none ends in a backslash."""
        out = []
        for _ in range(self.rnd.randint(0, 4)):
            t = self.line_text()
            while t.rstrip(" \t").endswith("\\"):
                t = t.rstrip(" \t")[:-1]
            out.append(t)
        return out

    def folded_lines(self, lines):
        """Each logical line split into continuation lines ending in a backslash."""
        out = []
        for line in lines:
            # No piece may begin with a semicolon: at the start of a line it
            # would close the field.
            points = [i for i in range(len(line) + 1) if line[i:i + 1] != ";"]
            cuts = sorted(self.rnd.sample(points, min(len(points), self.rnd.randint(0, 2))))
            pieces = [line[a:b] for a, b in zip([0] + cuts, cuts + [len(line)])]
            for piece in pieces[:-1]:
                # A continuation line holding only a backslash would add nothing
                # and one that is empty after trimming is no continuation: keep
                # pieces non-empty.
                if piece:
                    out.append(piece + "\\" + self.rnd.choice(("", "", " ", "\t ")))
            out.append(pieces[-1])
        return out

    def marker_value(self, prefix, lines, marker):
        first = prefix + marker + self.rnd.choice(("", "", " ", "\t"))
        raw = "\n".join([first] + [prefix + line for line in lines])
        return raw, first[len(prefix):]

    def value_folded(self):
        logical = self.logical_lines()
        raw, _ = self.marker_value("", self.folded_lines(logical), "\\")
        return self.text_field(raw, "\n".join(logical))

    def value_prefixed(self):
        prefix = self.rnd.choice(("> ", "|", "#>", "  "))
        if self.rnd.random() < 0.5:
            # The prefix alone: lines stand as they are, backslashes and all.
            lines = [self.line_text() for _ in range(self.rnd.randint(0, 3))]
            raw, _ = self.marker_value(prefix, lines, "\\")
            return self.text_field(raw, "\n".join(lines))
        # The prefix and two backslashes: folding too.
        logical = self.logical_lines()
        raw, _ = self.marker_value(prefix, self.folded_lines(logical), "\\\\")
        return self.text_field(raw, "\n".join(logical))

    def value_double_marker(self):
        # Two backslashes without a prefix signal nothing: the text stands.
        lines = [self.line_text() for _ in range(self.rnd.randint(0, 3))]
        raw, _ = self.marker_value("", lines, "\\\\")
        return self.text_field(raw, raw)


def generate(seed, max_blocks=4, max_items=10):
    """A valid CIF 1.1 document and everything a reader must find in it."""
    g = _Gen(seed)
    r = g.rnd
    head = r.choice(("", "", "\n", "  \n\t\n", "#\\#CIF_1.1\n", "#\\#CIF_1.1  \n\n", "# a comment\n"))
    first_line = 1
    if head.startswith("#\\#") or not head.strip():
        first_line += head.count("\n")
        version_line = head
        head = ""
    else:
        version_line = ""
    w = _Writer(first_line)
    w.put(head)
    out = Generated(seed, "")

    def token(kind, value, value_type, text):
        out.tokens.append((kind, value, value_type, w.line, w.column))
        w.put(text)

    def put_value(v, frame, tag):
        if v.line_start and w.column != 1:
            w.put(g.space(need_newline=True) if r.random() < 0.5 else "\n")
            while w.column != 1:  # the space may end in blanks
                w.put("\n")
        token(VALUE, v.raw, v.kind, v.text)
        out.events.append(("add_value", v.raw, v.kind))
        if v.kind is ValueType.MULTILINE_STRING and v.raw != v.logical:
            out.text_fields[v.raw] = v.logical
        if tag is not None:
            frame["tags"][tag].append(v.logical)

    def sep():
        w.put(g.space())

    def items(frame, tags_taken):
        for _ in range(r.randint(0, max_items)):
            sep()
            if r.random() < 0.7:
                t = g.tag(tags_taken)
                token(TAG, t, None, t)
                out.events.append(("add_tag", t))
                frame["tag_order"].append(t.lower())
                frame["tags"][t.lower()] = []
                sep()
                put_value(g.value(), frame, t.lower())
            else:
                kw = r.choice(("loop_", "LOOP_", "Loop_"))
                token(KEYWORD, kw, None, kw)
                tags = [g.tag(tags_taken) for _ in range(r.randint(1, 5))]
                for t in tags:
                    sep()
                    token(TAG, t, None, t)
                    frame["tag_order"].append(t.lower())
                    frame["tags"][t.lower()] = []
                out.events.append(("on_loop_start", tags))
                frame["loops"].append([t.lower() for t in tags])
                for _ in range(r.randint(1, 6)):
                    for t in tags:
                        sep()
                        put_value(g.value(), frame, t.lower())
                out.events.append(("on_loop_end",))

    blocks_taken = set()
    for b in range(r.randint(1, max_blocks)):
        if b or w.column != 1 or r.random() < 0.5:
            w.put(g.space())
        name = g.name(blocks_taken)
        kw = r.choice(("data_", "data_", "DATA_", "Data_")) + name
        token(KEYWORD, kw, None, kw)
        out.events.append(("on_data_block", name))
        block = {"name": name.lower(), "tag_order": [], "loops": [], "tags": {}, "save_frames": []}
        block_tags = set()
        items(block, block_tags)
        frames_taken = set()
        for _ in range(r.choice((0, 0, 1, 2))):
            sep()
            fname = g.name(frames_taken)
            kw = r.choice(("save_", "SAVE_")) + fname
            token(KEYWORD, kw, None, kw)
            out.events.append(("on_save_frame_start", fname))
            frame = {"name": fname.lower(), "tag_order": [], "loops": [], "tags": {}}
            items(frame, set())
            sep()
            kw = r.choice(("save_", "Save_"))
            token(KEYWORD, kw, None, kw)
            out.events.append(("on_save_frame_end",))
            block["save_frames"].append(frame)
            if r.random() < 0.3:  # more items of the block after its frames
                items(block, block_tags)
        out.blocks.append(block)
    w.put(r.choice(("", "\n", "\n\n", " # end\n", "\t")))
    text = version_line + w.text()
    if r.random() < 0.2:
        text = text.replace("\n", "\r\n")
    out.text = text
    return out
