#include "core/writer.hpp"

#include <cstdio>
#include <stdexcept>

#include "core/writer_scan.hpp"

namespace quarzel {

void check_name(std::string_view name, NameKind kind) {
    if (kind == NameKind::Tag) {
        if (name.size() < 2 || name[0] != '_')
            throw WriteError("a tag must start with '_' followed by a name");
    } else if (name.empty()) {
        throw WriteError(kind == NameKind::Block ? "a data block name cannot be empty"
                                                 : "a save frame name cannot be empty");
    }
    const Scan s = scan(name);
    if (s.mask & (kWs | kLf | kCr)) throw WriteError("a name cannot hold white space");
    check_permitted(name);
}

namespace {

[[noreturn]] void not_permitted(std::string_view text, std::size_t at) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "character U+%04X is not permitted in CIF (1.1 or 2.0)",
                  static_cast<unsigned>(decode_at(text, at)));
    throw WriteError(buf);
}

}  // namespace

void check_permitted(std::string_view text) {
    const Scan s = scan(text);
    if (s.mask & kCr) throw WriteError(kCrMessage);
    const std::size_t at = forbidden_char(text, s.mask);
    if (at != std::string_view::npos) not_permitted(text, at);
}

void BufferTextOut::grow(std::size_t more) {
    if (buffer_.size() > size_)
        buffer_.truncate(size_);
    else
        buffer_.advance(size_ - buffer_.size());
    // At least doubled, so that growing costs little over the whole text.
    more = std::max(more, size_ + 4096);
    buffer_.reserve_more(more);
    data_ = buffer_.data();
    capacity_ = size_ + more;
}

CifWriter::CifWriter(const WriteOptions& options, TextOut* out)
    : own_out_(out != nullptr ? nullptr : std::make_unique<BufferTextOut>()),
      out_(out != nullptr ? *out : *own_out_) {
    reset(options);
}

void CifWriter::reset(const WriteOptions& options) {
    if (options.line_limit < kMinLineLimit)
        throw WriteError("the line limit must be at least " + std::to_string(kMinLineLimit));
    options_ = options;
    fast_bad_ =
        kWs | kLf | kCr | kHigh | kCtrl | (options.version == CifVersion::Cif20 ? kBracket : 0);
    out_.truncate(0);
    col_ = 0;
    need_sep_ = false;
    ascii_ = true;
    pad_to_ = 0;
    kinds_.clear();
    known_.clear();
    depth_ = 0;
    top_ = Frame::List;
}

void CifWriter::cif1_only_char(std::string_view text) const {
    std::size_t i = 0;
    while (i < text.size() &&
           !(kClasses[static_cast<unsigned char>(text[i])] & (kHigh | kCtrl | kCr)))
        ++i;
    char buf[96];
    std::snprintf(buf, sizeof buf, "character U+%04X is not permitted in CIF 1.1",
                  static_cast<unsigned>(i < text.size() ? decode_at(text, i) : 0));
    if (options_.may_upgrade) throw NeedsCif2(buf);
    throw WriteError(buf);
}

void CifWriter::needs_cif2(const char* what) const {
    const std::string message = std::string(what) + " cannot be written in CIF 1.1";
    if (options_.may_upgrade) throw NeedsCif2(message);
    throw WriteError(message);
}

void CifWriter::check_name_for_version(std::string_view name, NameKind kind, std::size_t prefix) {
    check_name(name, kind);
    const Scan s = scan(name);
    if (s.mask & kHigh) {
        if (!v2()) cif1_only_char(name);
        ascii_ = false;
    }
    if (prefix + s.cp > options_.line_limit)
        throw WriteError("the name is longer than the line limit of " +
                         std::to_string(options_.line_limit));
}

void CifWriter::begin_document() {
    put(v2() ? "#\\#CIF_2.0\n" : "#\\#CIF_1.1\n");
    col_ = 0;
    need_sep_ = false;
}

void CifWriter::data_block(std::string_view name) {
    check_name_for_version(name, NameKind::Block, 5);
    end_line();
    put("data_");
    put(name);
    newline();
}

void CifWriter::save_frame(std::string_view name) {
    check_name_for_version(name, NameKind::SaveFrame, 5);
    end_line();
    put("save_");
    put(name);
    newline();
}

void CifWriter::end_save_frame() {
    end_line();
    put("save_");
    newline();
}

void CifWriter::comment_line() {
    end_line();
    put('#');
    newline();
}

void CifWriter::item(std::string_view tag, std::size_t align) {
    check_name_for_version(tag, NameKind::Tag, 0);
    end_line();
    put(tag);
    col_ = code_points(tag);
    need_sep_ = true;
    pad_to_ = align >= col_ && align != 0 ? align + 2 : 0;
}

void CifWriter::open_container(char c, Frame kind) {
    pad_to_ = 0;
    place(1);
    put(c);
    ++col_;
    need_sep_ = false;
    kinds_.push_back(kind == Frame::Table);
    ++depth_;
    top_ = kind;
}

void CifWriter::close_container(char c, Frame kind) {
    if (depth_ == 0 || top_ != kind) throw std::logic_error("CifWriter: unbalanced list or table");
    if (col_ != 0 && col_ + 1 > options_.line_limit) newline();
    put(c);
    ++col_;
    need_sep_ = true;
    kinds_.pop_back();
    --depth_;
    top_ = depth_ != 0 && kinds_.back() ? Frame::Table : Frame::List;
}

void CifWriter::begin_list() {
    if (!v2()) needs_cif2("a list");
    open_container('[', Frame::List);
}

void CifWriter::end_list() {
    close_container(']', Frame::List);
}

void CifWriter::begin_table() {
    if (!v2()) needs_cif2("a table");
    open_container('{', Frame::Table);
}

void CifWriter::end_table() {
    close_container('}', Frame::Table);
}

void CifWriter::key(std::string_view key) {
    if (!in_table_value()) throw std::logic_error("CifWriter: a key outside a table");
    const Scan s = scan(key);
    if (s.mask & (kCr | kCtrl | kHigh)) check_permitted(key);
    if (s.mask & kHigh) ascii_ = false;
    const std::size_t limit = options_.line_limit;
    const char* quote = nullptr;
    if (!(s.mask & kLf) && !(s.mask & kSq)) {
        quote = "'";
    } else if (!(s.mask & kLf) && !(s.mask & kDq)) {
        quote = "\"";
    } else if (triple_ok(key, '\'')) {
        quote = "'''";
    } else if (triple_ok(key, '"')) {
        quote = "\"\"\"";
    } else {
        throw WriteError("a table key holding both kinds of quotes this way cannot be written");
    }
    const std::string_view q(quote);
    if (!(s.mask & kLf)) {
        const std::size_t width = s.cp + 2 * q.size() + 1;  // and the colon
        if (width > limit)
            throw WriteError("a table key longer than the line limit of " + std::to_string(limit));
        place(width);
        put(q);
        put(key);
        put(q);
        put(':');
        col_ += width;
    } else {
        const Lines l = line_stats(key);
        if (l.first_cp + 3 > limit || l.max_cp > limit || l.last_cp + 4 > limit)
            throw WriteError("a table key with a line longer than the line limit of " +
                             std::to_string(limit));
        write_multiline_quoted(key, q);
        put(':');
        ++col_;
    }
    need_sep_ = false;
}

void CifWriter::begin_loop() {
    for (Known& k : known_) k.id = nullptr;
    end_line();
    put("loop_");
    newline();
}

void CifWriter::loop_tag(std::string_view tag) {
    check_name_for_version(tag, NameKind::Tag, 0);
    put(tag);
    newline();
}

void CifWriter::begin_row() {
    end_line();
}

void CifWriter::end_loop() {
    end_line();
}

void CifWriter::finish() {
    end_line();
}

std::string CifWriter::finish_string() {
    finish();
    return std::string(text());
}

}  // namespace quarzel
