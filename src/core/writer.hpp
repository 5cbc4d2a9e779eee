// Writing CIF text: each value in the plainest form that reads back as the
// same value, for either version, into one growing buffer.
//
// The writer is driven by events in document order (block, save frame,
// item, loop, value, list, table). It keeps only what it needs to place the
// next token: the column of the current line and whether the next token
// needs a separator. Content that no CIF text of the chosen version can hold
// throws WriteError with a message saying what is wrong (the caller adds
// where it is).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_buffer.hpp"
#include "core/version.hpp"

namespace quarzel {

enum class WriteStyle : std::uint8_t {
    Plain,  // one item per line, one loop row per line
    Pdbx,   // wwPDB layout: `#` lines between categories, aligned values
};

struct WriteOptions {
    CifVersion version = CifVersion::Cif11;
    WriteStyle style = WriteStyle::Plain;
    std::size_t line_limit = 2048;  // code points per line, at least kMinLineLimit
    // When writing CIF 1.1, content that only CIF 2.0 can hold (a list, a
    // table, a character outside CIF 1.1's set) throws NeedsCif2 instead of
    // WriteError, so that the caller can start again in CIF 2.0.
    bool may_upgrade = false;
};

inline constexpr std::size_t kMinLineLimit = 16;

class WriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class NeedsCif2 : public WriteError {
public:
    using WriteError::WriteError;
};

enum class ValueForm : std::uint8_t {
    Bare,          // as it stands (also the quoted placeholders "?" and ".")
    Single,        // '...'
    Double,        // "..."
    TripleSingle,  // '''...''' (CIF 2.0)
    TripleDouble,  // """...""" (CIF 2.0)
    TextField,     // ;...\n; on lines of its own
};

struct FormChoice {
    ValueForm form = ValueForm::Bare;
    bool multiline = false;   // the written form spans lines
    bool protocol = false;    // a text field whose first line names its protocols:
    bool prefix = false;      // a text prefix on each line (`;>\`),
    bool fold = false;        // lines folded (`;\`, or `;>\\` with the prefix)
    bool high = false;        // holds characters outside ASCII
    std::uint32_t width = 0;  // code points of a single-line form, delimiters included
};

// Where the text goes: a growing byte array whose storage its owner
// provides. Always 16 spare bytes after what reserve_more asked for.
class TextOut {
public:
    static constexpr std::size_t kSpare = 16;
    virtual ~TextOut() = default;
    void reserve_more(std::size_t n) {
        if (capacity_ - size_ < n + kSpare) [[unlikely]]
            grow(n + kSpare);
    }
    unsigned char* data() noexcept { return data_; }
    const unsigned char* data() const noexcept { return data_; }
    unsigned char* end() noexcept { return data_ + size_; }
    std::size_t size() const noexcept { return size_; }
    void advance(std::size_t n) noexcept { size_ += n; }
    void truncate(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }

protected:
    // Makes room for `more` bytes after size().
    virtual void grow(std::size_t more) = 0;
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Storage of a ByteBuffer (mapped pages for large texts).
class BufferTextOut final : public TextOut {
public:
    BufferTextOut() { buffer_.prefer_huge_pages(); }

private:
    void grow(std::size_t more) override;
    ByteBuffer buffer_;
};

enum class NameKind : std::uint8_t { Block, SaveFrame, Tag };

// Throws WriteError when `name` breaks the rules for its kind whatever the
// version (empty, white space, a character no CIF permits, a tag not
// starting with `_`).
void check_name(std::string_view name, NameKind kind);

// Throws WriteError when `text` holds a character that no version of CIF
// permits (controls other than tab and line ends, DEL, C1 controls,
// noncharacters) or a carriage return.
void check_permitted(std::string_view text);

class CifWriter {
public:
    // Writes into its own buffer, or into `out` (which must outlive it).
    explicit CifWriter(const WriteOptions& options, TextOut* out = nullptr);

    const WriteOptions& options() const noexcept { return options_; }
    // Drops what was written and starts again with new options.
    void reset(const WriteOptions& options);

    // The version line.
    void begin_document();
    void data_block(std::string_view name);
    void save_frame(std::string_view name);
    void end_save_frame();
    // A `#` line (the pdbx style's break between categories).
    void comment_line();

    // A name-value pair starts: the tag at the start of a line. With `align`
    // above the tag's width, a value that fits on the line starts in column
    // align + 2 (pdbx style).
    void item(std::string_view tag, std::size_t align = 0);

    // A value: of the item just started, of a loop row, in a list or a
    // table (after its key).
    void value(std::string_view text);
    void begin_list();
    void end_list();
    void begin_table();
    void key(std::string_view key);
    void end_table();

    void begin_loop();
    void loop_tag(std::string_view tag);
    void begin_row();
    // A value of the current row padded with spaces to `pad` code points
    // when it is written on the row's line (pdbx style; 0 for none).
    void loop_value(std::string_view text, std::size_t pad = 0) {
        if (!loop_value_fast(text, pad)) loop_value_general(text, pad);
    }
    // Values of the current row (pads as loop_value, null for none), as
    // many as are plain bare words of ASCII that fit on the line, in one
    // tight pass; returns how many were written. The caller writes the next
    // one with loop_value and goes on after it. `ids`, when given, name each
    // value (the same id, the same text, within one loop): a column's value
    // that repeats the one it had last is not looked at again. The values
    // are those of columns first_column, first_column + 1, ...
    std::size_t plain_row_values(const std::string_view* values, const std::size_t* pads,
                                 std::size_t n, const void* const* ids = nullptr,
                                 std::size_t first_column = 0);
    void end_loop();

    // The width a value takes on a row, or 0 when it goes on lines of its
    // own (text fields, multi-line strings): for aligning loop columns.
    std::size_t row_width(std::string_view text) const {
        // A plain bare word of ASCII that fits on a line is as wide as it
        // is long (a longer one becomes a text field).
        const std::size_t n = text.size();
        if (n != 0 && n <= 64 && n <= options_.line_limit &&
            kPlainFirst[static_cast<unsigned char>(text[0])] == 1) {
            std::uint16_t mask = 0;
            for (unsigned char b : text) mask |= kByteClass[b];
            if (!(mask & fast_bad_)) return n;
        }
        return row_width_general(text);
    }

    // How `text` would be written here.
    FormChoice choose(std::string_view text) const;

    // The text so far; true while it is all ASCII.
    TextOut& out() noexcept { return out_; }
    bool ascii() const noexcept { return ascii_; }
    std::string_view text() const noexcept {
        return {reinterpret_cast<const char*>(out_.data()), out_.size()};
    }
    // Finishes the text (a last line end) and returns it as a string.
    std::string finish_string();
    // Finishes the text; the buffer then holds it.
    void finish();

private:
    enum class Frame : std::uint8_t { List, Table };

    // A plain bare word of ASCII (the bulk of most files): copied while its
    // bytes are checked, in one pass; false (nothing written) otherwise.
    bool loop_value_fast(std::string_view text, std::size_t pad) {
        const std::size_t n = text.size();
        const std::size_t slot = n > pad ? n : pad;
        const std::size_t sep = need_sep_ ? 1 : 0;
        if (n == 0 || n > 256 || col_ + sep + slot > options_.line_limit) return false;
        const auto* src = reinterpret_cast<const unsigned char*>(text.data());
        if (kPlainFirst[src[0]] == 0) return false;
        out_.reserve_more(sep + slot);  // and 16 spare bytes
        unsigned char* dst = out_.end();
        *dst = ' ';
        dst += sep;
        std::uint16_t mask = 0;
        for (std::size_t i = 0; i < n; ++i) {
            mask |= kByteClass[src[i]];
            dst[i] = src[i];
        }
        if (mask & fast_bad_) return false;
        if (kPlainFirst[src[0]] == 2 && n >= 5 && reserved(text)) return false;
        if (slot > n) std::memset(dst + n, ' ', slot - n);
        out_.advance(sep + slot);
        col_ += sep + slot;
        need_sep_ = true;
        return true;
    }
    void loop_value_general(std::string_view text, std::size_t pad);
    std::size_t row_width_general(std::string_view text) const;
    template <bool kCif2, bool kPads, bool kFits>
    std::size_t plain_row_values_for(const std::string_view* values, const std::size_t* pads,
                                     std::size_t n, const void* const* ids,
                                     std::size_t first_column);
    // Per loop column: the last value found plain on the row path.
    struct Known {
        alignas(16) unsigned char bytes[16];
        const void* id = nullptr;
    };
    std::vector<Known> known_;
    static bool reserved(std::string_view word) noexcept;
    static const std::uint16_t kByteClass[256];
    // 0: not a bare word's first character (or one that needs a closer
    // look), 2: a keyword's first letter, 1: any other.
    static const std::uint8_t kPlainFirst[256];

    bool v2() const noexcept { return options_.version == CifVersion::Cif20; }
    [[noreturn]] void cif1_only_char(std::string_view text) const;
    void needs_cif2(const char* what) const;
    // Checks a name before it is written (and notes a name outside ASCII).
    void check_name_for_version(std::string_view name, NameKind kind, std::size_t prefix);

    void put(std::string_view s) {
        out_.reserve_more(s.size());
        std::memcpy(out_.end(), s.data(), s.size());
        out_.advance(s.size());
    }
    void put(char c) {
        out_.reserve_more(1);
        *out_.end() = static_cast<unsigned char>(c);
        out_.advance(1);
    }
    void newline() {
        put('\n');
        col_ = 0;
        need_sep_ = false;
    }
    void end_line() {
        if (col_ != 0 || need_sep_) newline();
    }
    // Before a single-line token of `width` code points: a blank when it
    // needs one and the token fits on the line, else a line end.
    void place(std::size_t width) {
        if (need_sep_) {
            if (col_ + 1 + width <= options_.line_limit) {
                put(' ');
                ++col_;
            } else {
                newline();
            }
        } else if (col_ != 0 && col_ + width > options_.line_limit) {
            newline();
        }
    }
    void write_value(std::string_view text, const FormChoice& choice, std::size_t slot);
    void write_text_field(std::string_view text, const FormChoice& choice);
    void write_folded_line(std::string_view line, std::string_view prefix);
    void write_multiline_quoted(std::string_view text, std::string_view quote);
    void open_container(char c, Frame kind);
    void close_container(char c, Frame kind);
    bool in_table_value() const noexcept { return depth_ != 0 && top_ == Frame::Table; }

    WriteOptions options_;
    std::unique_ptr<TextOut> own_out_;
    TextOut& out_;
    std::size_t col_ = 0;    // code points on the current line
    bool need_sep_ = false;  // the next token needs white space before it
    bool ascii_ = true;
    std::size_t pad_to_ = 0;      // pending alignment of an item's value
    std::uint16_t fast_bad_ = 0;  // byte classes that keep a value off the fast path
    // Open lists and tables, innermost last (true: a table); a bit each, so
    // any depth costs little.
    std::vector<bool> kinds_;
    std::size_t depth_ = 0;
    Frame top_ = Frame::List;
};

}  // namespace quarzel
