// The numbers of one column of a table being filled in a typed run: each
// row's status (number, ?, ., text or null), the numbers themselves (as
// int64 while every number is an integer that fits, then as doubles) and
// their standard uncertainties; encoded into the column chunks of
// `<tag>`, `<tag>_su` and `<tag>_status` when the row group is written.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/byte_buffer.hpp"
#include "core/number.hpp"
#include "core/number_inline.hpp"
#include "core/number_text.hpp"
#include "dataset/kinds.hpp"
#include "dataset/pages.hpp"

namespace quarzel::dataset {

class NumberColumn {
public:
    // Status codes: NumberStatus's, and a null row; a row with an su has
    // kHasSu added.
    static constexpr std::uint8_t kNull = 4;
    static constexpr std::uint8_t kHasSu = 8;
    // Rows of add_texts whose text the row's number does not give back
    // (number_text.hpp): ? . text, and numbers not written as they would be.
    // Their text is kept beside the numbers; the others' need not be.
    static constexpr std::uint8_t kKeepText = 16;
    // The status column's dictionary, in the order of the codes.
    static constexpr const char* kStatusNames[4] = {"number", "unknown", "inapplicable", "text"};

    std::size_t size() const noexcept { return status_.size(); }
    // A row's status code (with kHasSu and kKeepText); a number's value and
    // su are 8 bytes each, in row order, in values() and sus().
    const unsigned char* status() const noexcept { return status_.data(); }
    const unsigned char* values() const noexcept { return values_.data(); }
    const unsigned char* sus() const noexcept { return sus_.data(); }
    bool doubles() const noexcept { return doubles_; }
    // Kinds of the values added since the last reset (kinds::k*).
    std::uint8_t kinds() const noexcept { return kinds_; }
    // Bytes held.
    std::size_t bytes() const noexcept { return values_.size() + sus_.size() + status_.size(); }

    // From here on numbers are kept as doubles (those kept so far too).
    void use_doubles();

    void push_nulls(std::size_t n) {
        if (n == 0) return;
        status_.reserve_more(n);
        std::memset(status_.end(), kNull, n);
        status_.advance(n);
    }
    void pad_to(std::size_t rows) {
        if (size() < rows) push_nulls(rows - size());
    }
    // Adds n rows of status `code` without their values or su: the status
    // (and su) chunks of numbers whose value chunk is written elsewhere.
    void push_status(std::size_t n, std::uint8_t code) {
        status_.reserve_more(n);
        std::memset(status_.end(), code, n);
        status_.advance(n);
    }

    // Adding values: reserve(n), then add() at most n times, then done().
    void reserve(std::size_t n) {
        status_.reserve_more(n);
        values_.reserve_more(8 * n);
        status_out_ = status_.end();
        value_out_ = values_.end();
    }
    // Adds one value as parse_number read it; `integers_only`: a number
    // that is not an integer fitting int64 counts as text (a column a
    // dictionary types `integer`). Returns its status code.
    [[gnu::always_inline]] std::uint8_t add(const NumberResult& r, bool integers_only) {
        std::uint8_t code = static_cast<std::uint8_t>(r.status);
        if (r.status == NumberStatus::number) {
            if (!(r.is_integer && r.int_exact)) [[unlikely]] {
                if (integers_only) {
                    code = static_cast<std::uint8_t>(NumberStatus::text);
                    *status_out_++ = code;
                    seen_ |= 1u << code;
                    return code;
                }
                seen_ |= kFractionSeen;
                if (!doubles_) convert_now();
            }
            if (doubles_) {
                std::memcpy(value_out_, &r.value, 8);
            } else {
                std::memcpy(value_out_, &r.int_value, 8);
                if (r.int_value == 0 && std::signbit(r.value)) [[unlikely]]
                    note_negative_zero(value_out_);
            }
            value_out_ += 8;
            if (r.has_su) [[unlikely]] {
                add_su(r);
                code |= kHasSu;
            }
        }
        *status_out_++ = code;
        seen_ |= 1u << (code & 3);
        return code & 3;
    }
    // Adds n values of a column typed by its values, read straight from
    // their text: `each(f)` calls f(text, padded) for every value in order,
    // padded when at least eight bytes can be read from the text's start (a
    // list or table is passed as an empty text: it counts as text).
    // Plain decimals (with an su of up to eight digits or without), ? . and
    // words are taken in a loop that keeps its output in registers; any
    // other value goes through parse_number and add(). Ends as done() does.
    // `kept.keep(text, row, padded)` is called, in order, for each value
    // whose number does not give its text back (kKeepText), `row` counted
    // from the call's first value.
    template <class Each, class Kept>
    [[gnu::flatten]] void add_texts(std::size_t n, Each&& each, Kept& kept) {
        reserve(n);
        unsigned char* status = status_out_;
        unsigned char* value = value_out_;
        unsigned char* su = nullptr;  // the next su's place, once this call has seen one
        unsigned seen = 0;
        bool doubles = doubles_;
        // The last plain decimal of eight bytes or fewer and what it became:
        // a column's values come in runs (a model number, an occupancy, the
        // residue of each atom), taken again without being read. A length
        // of 0 matches nothing.
        std::uint64_t last_word = 0, last_bits = 0;
        std::size_t last_len = 0;
        std::uint8_t last_status = 0;  // the status byte of that decimal
        PlainShape shape;              // the layouts of the plain decimals read, by length
        // The row of the value just taken, from the first of this call.
        const unsigned char* const first_status = status;
        const auto row = [&]() __attribute__((always_inline)) {
            return static_cast<std::size_t>(status - first_status) - 1;
        };
        // The members as the locals have them, for the calls that read them.
        const auto store = [&]() __attribute__((always_inline)) {
            status_out_ = status;
            value_out_ = value;
            if (su) sus_.advance(static_cast<std::size_t>(su - sus_.end()));
            seen_ |= seen;
        };
        // Takes a plain decimal taken apart, `with_su` its su digits; `keep`
        // is kKeepText when its text is not what the number gives back.
        const auto put = [&](const PlainDecimal& d, bool with_su, std::uint64_t su_digits,
                             std::uint8_t keep) __attribute__((always_inline)) {
            if (d.point) {
                if (!doubles) [[unlikely]] {
                    store();
                    convert_now();
                    doubles = true;
                    last_len = 0;
                }
                seen |= kFractionSeen;
            }
            if (doubles) {
                const double v = d.value();
                std::memcpy(value, &v, 8);
            } else {
                const std::int64_t v = d.int_value();
                std::memcpy(value, &v, 8);
                if (v == 0 && d.negative) [[unlikely]] {
                    note_negative_zero(value);
                    last_len = 0;  // not taken again from its int bits
                }
            }
            value += 8;
            if (!with_su) {
                *status++ = keep;
                seen |= 1;
                return;
            }
            if (!su) [[unlikely]] {
                sus_.reserve_more(8 * n);
                su = sus_.end();
            }
            if (doubles) {
                const double s = d.su_value(su_digits);
                std::memcpy(su, &s, 8);
            } else {
                const auto s = static_cast<std::int64_t>(su_digits);
                std::memcpy(su, &s, 8);
            }
            su += 8;
            *status++ = kHasSu | keep;
            seen |= 1 | kSuSeen;
        };
        each([&](std::string_view text, bool padded) __attribute__((always_inline)) {
            const std::size_t len = text.size();
            if (padded) [[likely]] {
                if (len - 1 < 8) [[likely]] {
                    const std::uint64_t x = load_padded(text.data(), len);
                    if (x == last_word && len == last_len) {
                        std::memcpy(value, &last_bits, 8);
                        value += 8;
                        *status++ = last_status;
                        if (last_status) [[unlikely]]
                            kept.keep(text, row(), padded);
                        return;
                    }
                    // ? and . (and / and >, left to the long way) in one test.
                    if ((x | 0x11) == 0x3F) {
                        if (x == '?' || x == '.') {
                            const std::uint8_t code = x == '?' ? 1 : 2;
                            *status++ = code | kKeepText;
                            seen |= 1u << code;
                            kept.keep(text, row(), padded);
                            return;
                        }
                    }
                    PlainDecimal d;
                    if (shape.take(x, len, d)) [[likely]] {
                        last_word = x;
                        last_len = len;  // put() may clear it
                        last_status = plain_text_given_back(x, len, d) ? 0 : kKeepText;
                        put(d, false, 0, last_status);
                        std::memcpy(&last_bits, value - 8, 8);
                        if (last_status) [[unlikely]]
                            kept.keep(text, row(), padded);
                        return;
                    }
                }
                // "<plain decimal of at most eight bytes>(<one to eight digits>)"
                if (len - 4 < 16 && text[len - 1] == ')') {
                    const char* p = text.data();
                    // An su of one or two digits (most are) told at once.
                    const unsigned last = static_cast<unsigned char>(p[len - 2]) - '0';
                    const unsigned tens = static_cast<unsigned char>(p[len - 3]) - '0';
                    std::size_t open = len - 3;
                    std::uint64_t su_digits = last;
                    if (last < 10 && p[open] == '(') {
                    } else if (last < 10 && tens < 10 && p[len - 4] == '(') {
                        open = len - 4;
                        su_digits = 10 * tens + last;
                    } else {
                        open = len - 2;
                        su_digits = 0;
                        std::uint64_t scale = 1;
                        for (unsigned c;
                             open > 0 && (c = static_cast<unsigned char>(p[open]) - '0') < 10;
                             --open) {
                            su_digits += scale * c;
                            scale *= 10;
                        }
                    }
                    PlainDecimal d;
                    std::uint64_t v;
                    if (p[open] == '(' && len - 3 - open < 8 && open - 1 < 8 &&
                        shape.take(v = load_padded(p, open), open, d)) {
                        const bool back = plain_text_given_back(v, open, d) &&
                                          su_text_given_back(p + open + 1, len - 2 - open);
                        put(d, true, su_digits, back ? 0 : kKeepText);
                        if (!back) [[unlikely]]
                            kept.keep(text, row(), padded);
                        return;
                    }
                }
            }
            const auto c = len != 0 ? static_cast<unsigned char>(text[0]) : 0;
            std::uint8_t code;
            if (len == 1 && (c == '?' || c == '.'))
                code = c == '?' ? 1 : 2;
            else if (len == 0 || !(static_cast<unsigned char>(c - '0') < 10 || c == '-' ||
                                   c == '+' || c == '.'))
                code = 3;
            else {  // the long way
                NumberResult r;
                if (!parse_plain_decimal(text.data(), len, r) &&
                    !parse_plain_with_su(text.data(), len, r))
                    r = parse_number(text);
                store();
                seen = 0;
                add(r, false);
                status_out_[-1] |= kKeepText;
                status = status_out_;
                value = value_out_;
                if (su) su = sus_.end();
                doubles = doubles_;
                last_len = 0;  // the column may hold doubles now
                kept.keep(text, row(), padded);
                return;
            }
            *status++ = code | kKeepText;
            seen |= 1u << code;
            kept.keep(text, row(), padded);
        });
        store();
        done();
    }
    template <class Each>
    void add_texts(std::size_t n, Each&& each) {
        struct {
            void keep(std::string_view, std::size_t, bool) {}
        } none;
        add_texts(n, std::forward<Each>(each), none);
    }
    void done() {
        status_.advance(static_cast<std::size_t>(status_out_ - status_.end()));
        values_.advance(static_cast<std::size_t>(value_out_ - values_.end()));
        kinds_ |= kinds_of(seen_);
    }

    // Adds one row as a part holds it: its status code (with kHasSu when
    // it has an su), and its value and su (8 bytes each, int64 or double as
    // the column keeps them) when it is a number.
    void add_row(std::uint8_t code, const void* value, const void* su) {
        status_.reserve_more(1);
        *status_.end() = code;
        status_.advance(1);
        if ((code & 7) != 0) return;
        values_.reserve_more(8);
        std::memcpy(values_.end(), value, 8);
        values_.advance(8);
        if (code & kHasSu) {
            sus_.reserve_more(8);
            std::memcpy(sus_.end(), su, 8);
            sus_.advance(8);
        }
    }

    // The column chunks of the row group.
    void encode_values(PageWriter& pages, ColumnChunk& out, bool as_doubles);
    void encode_su(PageWriter& pages, ColumnChunk& out, bool as_doubles);
    void encode_status(PageWriter& pages, ColumnChunk& out);

    // Empties the column for the next row group; keeps its buffers unless large.
    void reset() {
        KeptBytes none;
        reset(none);
    }
    void reset(KeptBytes& kept);

private:
    static constexpr unsigned kFractionSeen = 1u << 4;
    static constexpr unsigned kSuSeen = 1u << 5;
    static std::uint8_t kinds_of(unsigned seen);
    void add_su(const NumberResult& r);
    void convert_now();
    // An integer zero written with a minus sign ("-0") is stored as int64
    // 0; it becomes -0.0, as parse_number reads it, if the column turns to
    // doubles.
    void note_negative_zero(const unsigned char* at) {
        negative_zeros_.push_back(static_cast<std::size_t>(at - values_.data()));
    }
    void restore_negative_zeros();
    void encode_fixed(PageWriter& pages, ColumnChunk& out, std::uint8_t mask, std::uint8_t want,
                      const ByteBuffer& data, bool as_doubles);

    ByteBuffer values_;  // 8 bytes per number
    ByteBuffer sus_;     // 8 bytes per number with an su
    ByteBuffer status_;  // a status code per row
    unsigned char* status_out_ = nullptr;
    unsigned char* value_out_ = nullptr;
    std::vector<std::size_t> negative_zeros_;  // byte offsets in values_, while int64
    std::string scratch_;                      // a page being put together
    bool doubles_ = false;
    unsigned seen_ = 0;  // status codes seen (bits 0-3), fractions, su
    std::uint8_t kinds_ = 0;
};

}  // namespace quarzel::dataset
