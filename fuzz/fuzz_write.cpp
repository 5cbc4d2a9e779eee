// The writer's round trip: the text is parsed, the document written again
// in CIF 2.0 and (when its content allows) CIF 1.1, plain and pdbx style, at
// a small line limit taken from the input, and the output parsed once more.
// The second reading has no problem records and holds the same blocks,
// frames, tags, loops and values as the first; no output line is longer
// than the limit; a text the writer marks ASCII is ASCII. A refusal
// (WriteError) must say what it refuses.
// Documents the writer cannot reproduce as they were read (a tag with other
// than one value outside a loop, a tag in two loops, ragged or empty loops,
// loops not in the order of their tags, repeated block or frame names) are
// left out, and so is text that is not UTF-8.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/document.hpp"
#include "core/pipeline.hpp"
#include "core/writer.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;

namespace {

// ---- a canonical dump: every text length-prefixed ----

void put_text(std::string& out, char what, std::string_view s) {
    out += what;
    out += std::to_string(s.size());
    out += ':';
    out += s;
}

struct Dumper {
    std::string& out;
    bool text(std::string_view s) {
        put_text(out, 'T', s);
        return true;
    }
    bool open(NodeKind kind, std::uint64_t count) {
        out += kind == NodeKind::Table ? '{' : '[';
        out += std::to_string(count);
        return true;
    }
    bool close(NodeKind kind) {
        out += kind == NodeKind::Table ? '}' : ']';
        return true;
    }
    bool element(bool in_table, std::uint64_t, std::string_view key) {
        if (in_table) put_text(out, 'K', key);
        return true;
    }
};

void dump_frame(std::string& out, const FrameData& f) {
    for (const auto& loop : f.loops) {
        out += "\nloop";
        for (std::string_view t : loop) put_text(out, ' ', t);
    }
    for (std::string_view tag : f.tag_order) {
        put_text(out, '\n', tag);
        const ValueColumn& col = *f.find(tag);
        for (std::size_t i = 0; i < col.size(); ++i) {
            const ValueRef ref = col[i];
            out += ' ';
            if (ref.compound) {
                Dumper d{out};
                walk_value(*ref.compound, ref.root, d);
            } else {
                put_text(out, 'T', ref.text);
            }
        }
    }
}

std::string dump(const ParsedCif& doc) {
    std::string out;
    for (const auto& b : doc.blocks) {
        put_text(out, '\n', "block " + b.name);
        dump_frame(out, b.data);
        for (const auto& f : b.save_frames) {
            put_text(out, '\n', "frame " + f.name);
            dump_frame(out, f.data);
        }
    }
    return out;
}

// ---- what the writer can reproduce ----

bool regular_frame(const FrameData& f) {
    std::unordered_set<std::string_view> looped;
    for (const auto& loop : f.loops) {
        if (loop.empty()) return false;
        const std::size_t rows = f.find(loop[0])->size();
        if (rows == 0) return false;
        for (std::string_view t : loop)
            if (!looped.insert(t).second || f.find(t)->size() != rows) return false;
    }
    for (std::string_view t : f.tag_order)
        if (looped.count(t) == 0 && f.find(t)->size() != 1) return false;
    // Each loop's tags follow one another in the tag order, as in its
    // header, and the loops come in that order too (not so when a loop took
    // over a tag given before it).
    std::size_t after = 0;
    for (const auto& loop : f.loops) {
        const std::size_t at = f.position(loop[0]);
        if (at < after) return false;
        for (std::size_t k = 1; k < loop.size(); ++k)
            if (f.position(loop[k]) != at + k) return false;
        after = at + loop.size();
    }
    return true;
}

bool regular(const ParsedCif& doc) {
    std::unordered_set<std::string_view> blocks;
    for (const auto& b : doc.blocks) {
        if (!blocks.insert(b.name).second || !regular_frame(b.data)) return false;
        std::unordered_set<std::string_view> frames;
        for (const auto& f : b.save_frames)
            if (!frames.insert(f.name).second || !regular_frame(f.data)) return false;
    }
    return true;
}

// ---- the document through the writer's events ----

struct Emitter {
    CifWriter& w;
    bool text(std::string_view s) {
        w.value(s);
        return true;
    }
    bool open(NodeKind kind, std::uint64_t) {
        kind == NodeKind::Table ? w.begin_table() : w.begin_list();
        return true;
    }
    bool close(NodeKind kind) {
        kind == NodeKind::Table ? w.end_table() : w.end_list();
        return true;
    }
    bool element(bool in_table, std::uint64_t, std::string_view key) {
        if (in_table) w.key(key);
        return true;
    }
};

void write_value(CifWriter& w, const ValueRef& ref) {
    if (ref.compound) {
        Emitter e{w};
        walk_value(*ref.compound, ref.root, e);
    } else {
        w.value(ref.text);
    }
}

std::string_view category(std::string_view tag) {
    const std::size_t dot = tag.find('.');
    return dot == std::string_view::npos ? std::string_view() : tag.substr(0, dot);
}

void write_loop(CifWriter& w, const FrameData& f, const std::vector<std::string_view>& loop,
                bool pdbx, bool row_pass) {
    std::vector<const ValueColumn*> cols;
    for (std::string_view t : loop) cols.push_back(f.find(t));
    const std::size_t rows = cols[0]->size(), n = cols.size();
    w.begin_loop();
    for (std::string_view t : loop) w.loop_tag(t);
    std::vector<std::size_t> pad(n, 0);
    if (pdbx)
        for (std::size_t j = 0; j + 1 < n; ++j)
            for (std::size_t r = 0; r < rows; ++r) {
                const ValueRef ref = (*cols[j])[r];
                if (!ref.compound) pad[j] = std::max(pad[j], w.row_width(ref.text));
            }
    std::vector<std::string_view> row(n);
    for (std::size_t r = 0; r < rows; ++r) {
        w.begin_row();
        for (std::size_t j = 0; j < n; ++j) {
            if (row_pass) {
                // Plain words in one pass, as the binding writes rows; a list
                // or table ends the run.
                std::size_t k = j;
                for (; k < n && !(*cols[k])[r].compound; ++k) row[k] = (*cols[k])[r].text;
                if (k > j)
                    j += w.plain_row_values(row.data() + j, pdbx ? pad.data() + j : nullptr, k - j,
                                            nullptr, j);
                if (j == n) break;
            }
            const ValueRef ref = (*cols[j])[r];
            if (ref.compound)
                write_value(w, ref);
            else
                w.loop_value(ref.text, pad[j]);
        }
    }
    w.end_loop();
}

void write_frame(CifWriter& w, const FrameData& f, bool pdbx, bool row_pass) {
    std::unordered_map<std::string_view, std::size_t> owner;
    for (std::size_t l = 0; l < f.loops.size(); ++l)
        for (std::string_view t : f.loops[l]) owner[t] = l;
    std::vector<bool> done(f.loops.size(), false);
    if (pdbx) w.comment_line();
    const auto& order = f.tag_order;
    for (std::size_t i = 0; i < order.size(); ++i) {
        auto it = owner.find(order[i]);
        if (it != owner.end()) {
            if (!done[it->second]) {
                done[it->second] = true;
                write_loop(w, f, f.loops[it->second], pdbx, row_pass);
                if (pdbx) w.comment_line();
            }
            continue;
        }
        // A run of items of one category, aligned in the pdbx style.
        std::size_t end = i + 1, align = 0;
        if (pdbx) {
            align = order[i].size();
            for (; end < order.size() && owner.count(order[end]) == 0 &&
                   category(order[end]) == category(order[i]);
                 ++end)
                align = std::max(align, order[end].size());
        }
        for (std::size_t k = i; k < end; ++k) {
            w.item(order[k], align);
            write_value(w, (*f.find(order[k]))[0]);
        }
        i = end - 1;
        if (pdbx) w.comment_line();
    }
}

std::string write_document(const ParsedCif& doc, const WriteOptions& o, bool row_pass) {
    CifWriter w(o);
    const bool pdbx = o.style == WriteStyle::Pdbx;
    w.begin_document();
    for (const auto& b : doc.blocks) {
        w.data_block(b.name);
        write_frame(w, b.data, pdbx, row_pass);
        for (const auto& f : b.save_frames) {
            w.save_frame(f.name);
            write_frame(w, f.data, pdbx, row_pass);
            w.end_save_frame();
        }
    }
    std::string text = w.finish_string();
    // The binding hands an ASCII text to Python as ASCII without a look.
    if (w.ascii())
        for (unsigned char c : text)
            if (c >= 0x80) fuzz::fail("a text marked ASCII holds other bytes", text);
    return text;
}

// Code points of the longest line.
std::size_t longest_line(std::string_view text) {
    std::size_t longest = 0, col = 0;
    for (char c : text) {
        if (c == '\n') {
            col = 0;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            longest = std::max(longest, ++col);
        }
    }
    return longest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto in = fuzz::split(data, size);
    // The writer takes valid UTF-8 (what Python hands it).
    if (!fuzz::valid_utf8(in.text)) return 0;
    const bool strict = (in.flags & 1) != 0;
    const bool row_pass = (in.flags & 2) != 0;
    const std::size_t limit =
        (in.flags >> 2) == 63 ? 2048 : kMinLineLimit + 2 * static_cast<std::size_t>(in.flags >> 2);
    const ParseResult first = parse_document(in.text, strict);
    if (!regular(first.document)) return 0;
    const std::string want = dump(first.document);

    for (CifVersion version : {CifVersion::Cif20, CifVersion::Cif11}) {
        for (WriteStyle style : {WriteStyle::Plain, WriteStyle::Pdbx}) {
            WriteOptions o;
            o.version = version;
            o.style = style;
            o.line_limit = limit;
            o.may_upgrade = version == CifVersion::Cif11 && row_pass;
            std::string text;
            try {
                text = write_document(first.document, o, row_pass);
            } catch (const WriteError& e) {
                fuzz::check(*e.what() != '\0', "a refusal without a message");
                continue;
            }
            fuzz::check(longest_line(text) <= limit, "a line beyond the line limit", text);
            const ParseResult again = parse_document(text, strict);
            if (!again.document.errors.empty())
                fuzz::fail("the written text reads with problems",
                           again.document.errors[0].message + "\n" + text);
            const std::string got = dump(again.document);
            if (got != want)
                fuzz::fail("the written text reads differently",
                           text + "\n--- read first:" + want + "\n--- read again:" + got);
        }
    }
    return 0;
}
