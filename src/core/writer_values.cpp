// One value: the form that reads back as the same value (bare, quoted,
// triple-quoted, a text field), and its writing on the line.
#include "core/writer.hpp"

#include "core/writer_scan.hpp"

namespace quarzel {

FormChoice CifWriter::choose(std::string_view text) const {
    const Scan s = scan(text);
    const std::size_t n = text.size();
    const std::size_t limit = options_.line_limit;
    if (s.mask & (kCr | kCtrl | kHigh)) {
        check_permitted(text);
        if (!v2() && (s.mask & kHigh)) cif1_only_char(text);
    }
    FormChoice c;
    c.high = (s.mask & kHigh) != 0;
    if (n == 3 && text[0] == '"' && text[2] == '"' && (text[1] == '?' || text[1] == '.')) {
        // The form the document keeps for a quoted placeholder.
        c.width = 3;
        return c;
    }
    // A '#' inside a word belongs to it; at its start it opens a comment
    // (the first-character test).
    std::uint16_t not_bare = kWs | kLf;
    if (v2()) not_bare |= kBracket | kCtrl;
    const auto first = n != 0 ? static_cast<unsigned char>(text[0]) : 0;
    if (n != 0 && !kBadFirst[first] && !(v2() && first == ':') && !(s.mask & not_bare) &&
        s.cp <= limit && !reserved_word(text)) {
        c.width = static_cast<std::uint32_t>(s.cp);
        return c;
    }
    if (!(s.mask & kLf)) {
        std::size_t extra = 0;
        if (v2()) {
            if (!(s.mask & kSq)) {
                c.form = ValueForm::Single, extra = 2;
            } else if (!(s.mask & kDq)) {
                c.form = ValueForm::Double, extra = 2;
            } else if (triple_ok(text, '\'')) {
                c.form = ValueForm::TripleSingle, extra = 6;
            } else if (triple_ok(text, '"')) {
                c.form = ValueForm::TripleDouble, extra = 6;
            }
        } else if (cif1_quote_ok(text, '\'')) {
            c.form = ValueForm::Single, extra = 2;
        } else if (cif1_quote_ok(text, '"')) {
            c.form = ValueForm::Double, extra = 2;
        }
        if (extra != 0 && s.cp + extra <= limit) {
            c.width = static_cast<std::uint32_t>(s.cp + extra);
            return c;
        }
    }
    // Over several lines: a text field, or in CIF 2.0 triple quotes where
    // they fit and a text field would need a protocol (or the value sits in
    // a list or table).
    const Lines l = line_stats(text);
    const bool too_long = l.first_cp + 1 > limit || l.max_cp > limit;
    const bool needs_protocol = l.semi_line || too_long || first_line_signals_protocol(text);
    if (v2() && (s.mask & kLf) && (needs_protocol || depth_ != 0) && l.first_cp + 3 <= limit &&
        l.max_cp <= limit && l.last_cp + 3 <= limit) {
        if (triple_ok(text, '\'')) {
            c.form = ValueForm::TripleSingle;
            c.multiline = true;
            return c;
        }
        if (triple_ok(text, '"')) {
            c.form = ValueForm::TripleDouble;
            c.multiline = true;
            return c;
        }
    }
    c.form = ValueForm::TextField;
    c.multiline = true;
    c.protocol = needs_protocol;
    if (needs_protocol) {
        // A line starting with ';' would close the field: every line goes
        // behind the prefix `>`. Folding (`\`, or `>\\` with the prefix)
        // cuts lines that are too long, and moves a first line that would
        // read as a protocol's to a line of its own. A folded piece may start
        // with any character of its line, so a value holding ';' that needs
        // folding takes the prefix too.
        // The first line too goes to a line of its own behind a protocol's
        // first line, so a value starting with ';' takes the prefix.
        const bool has_semi = (s.mask & kSemi) != 0;
        c.prefix = l.semi_line || text.starts_with(';') || (too_long && has_semi);
        c.fold = c.prefix ? l.max_cp + 1 > limit : true;
    }
    return c;
}

std::size_t CifWriter::row_width_general(std::string_view text) const {
    const FormChoice c = choose(text);
    return c.multiline ? 0 : c.width;
}

void CifWriter::value(std::string_view text) {
    const FormChoice c = choose(text);
    std::size_t slot = c.width;
    if (pad_to_ != 0) {
        if (!c.multiline && pad_to_ + 1 + c.width <= options_.line_limit) {
            const std::size_t spaces = pad_to_ - col_;
            out_.reserve_more(spaces);
            std::memset(out_.end(), ' ', spaces);
            out_.advance(spaces);
            col_ = pad_to_;
        }
        pad_to_ = 0;
    }
    write_value(text, c, slot);
}

void CifWriter::loop_value_general(std::string_view text, std::size_t pad) {
    const FormChoice c = choose(text);
    // A pad never takes a line beyond the limit.
    const std::size_t slot = std::max<std::size_t>(c.width, std::min(pad, options_.line_limit));
    write_value(text, c, slot);
    if (!c.multiline && slot > c.width) {
        const std::size_t spaces = slot - c.width;
        out_.reserve_more(spaces);
        std::memset(out_.end(), ' ', spaces);
        out_.advance(spaces);
        col_ += spaces;
    }
}

void CifWriter::write_value(std::string_view text, const FormChoice& c, std::size_t slot) {
    if (c.high) ascii_ = false;
    const char* quote = nullptr;
    switch (c.form) {
        case ValueForm::Bare:
            place(slot);
            out_.reserve_more(text.size());
            std::memcpy(out_.end(), text.data(), text.size());
            out_.advance(text.size());
            col_ += c.width;
            need_sep_ = true;
            return;
        case ValueForm::Single:
            quote = "'";
            break;
        case ValueForm::Double:
            quote = "\"";
            break;
        case ValueForm::TripleSingle:
            quote = "'''";
            break;
        case ValueForm::TripleDouble:
            quote = "\"\"\"";
            break;
        case ValueForm::TextField:
            write_text_field(text, c);
            return;
    }
    const std::string_view q(quote);
    if (c.multiline) {
        write_multiline_quoted(text, q);
        return;
    }
    place(slot);
    out_.reserve_more(text.size() + 2 * q.size());
    unsigned char* p = out_.end();
    std::memcpy(p, q.data(), q.size());
    std::memcpy(p + q.size(), text.data(), text.size());
    std::memcpy(p + q.size() + text.size(), q.data(), q.size());
    out_.advance(text.size() + 2 * q.size());
    col_ += c.width;
    need_sep_ = true;
}

}  // namespace quarzel
