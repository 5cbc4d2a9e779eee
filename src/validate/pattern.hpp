// Regular expressions of dictionary types (DDL2 `_item_type_list.construct`,
// DDL1 `_type_construct`): POSIX extended expressions matched against the
// whole value.
//
// The expressions are translated for RE2 (linear time, whatever the
// expression or the value), with the readings that the real dictionaries
// need:
//   - a backslash followed by n, t, r, f or v is that control character,
//     inside a bracket expression as well (PDBx writes `[ \n\t...]` for the
//     characters of its text type; POSIX would read a backslash and an n);
//   - any other backslash inside a bracket expression is a backslash (as in
//     POSIX: `[...\{}...]` allows the backslash and both braces);
//   - outside brackets a backslash makes the next character literal;
//   - `{` that does not open a valid interval is a literal brace;
//   - `.` and negated brackets match a newline too (the constructs of the
//     text types span lines), `^` and `$` match only at the ends of the value.
// An expression that still does not compile is reported, never matched as
// everything.
//
// Expressions that are one bracket expression repeated (`[...]*`, `[...]+`,
// the commonest types: code, line, text) and `.*` are matched by a byte table
// instead, and PDBx's int, positive_int and float constructs (written
// exactly so) by scanners of their own (scan_int(), scan_positive_int(),
// scan_float(), inline for the checker's column loops); the tests hold both
// to RE2's answers.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace re2 {
class RE2;
}

namespace quarzel::validate {

// The RE2 form of a POSIX extended expression; on failure, empty with
// `error` set.
std::string translate_posix(std::string_view posix, std::string& error);

// Scanners for the commonest numeric constructs, exactly as PDBx writes them
// (`[+-]?[0-9]+`, `[1-9][0-9]*` and its float).
inline bool scan_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

inline std::size_t scan_digits_from(std::string_view t, std::size_t i) noexcept {
    while (i < t.size() && scan_digit(t[i])) ++i;
    return i;
}

inline bool scan_int(std::string_view t) noexcept {
    std::size_t i = !t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0;
    const std::size_t end = scan_digits_from(t, i);
    return end > i && end == t.size();
}

inline bool scan_positive_int(std::string_view t) noexcept {
    return !t.empty() && t[0] >= '1' && t[0] <= '9' && scan_digits_from(t, 1) == t.size();
}

// -? mantissa (digits, "digits.", ".digits", "digits.digits") ("(" digits
// ")")? ([eE] [+-]? digits)?
// Texts of 4 to 8 bytes (most numbers in a column of them) that are
// digits with at most one '.', after an optional '-': tested a word at a
// time. False means only that this test does not decide.
inline bool plain_decimal_word(std::string_view t) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x80 * kOnes;
    const std::size_t n = t.size();
    std::uint64_t w;
    if (n == 8) {
        std::memcpy(&w, t.data(), 8);
    } else {
        std::uint32_t lo, hi;
        std::memcpy(&lo, t.data(), 4);
        std::memcpy(&hi, t.data() + n - 4, 4);
        // Bytes 4 to n - 1 are the last n - 4 of `hi`; the bytes after
        // the text read as digits.
        w = lo | (std::uint64_t{hi} >> (8 * (8 - n))) << 32;
        w |= ('0' * kOnes) & (~std::uint64_t{0} << (8 * n));
    }
    if ((w & 0xFF) == '-') w = (w & ~std::uint64_t{0xFF}) | '0';
    // Bit 7 of each byte: not a digit; a '.'.
    const std::uint64_t x = w ^ ('0' * kOnes);
    const std::uint64_t other = (((x & ~kHigh) + (0x80 - 10) * kOnes) | x) & kHigh;
    const std::uint64_t y = w ^ ('.' * kOnes);
    const std::uint64_t dot = ~(((y & ~kHigh) + ~kHigh) | y) & kHigh;
    return other == dot && (dot & (dot - 1)) == 0;
}

inline bool scan_float(std::string_view t) noexcept {
    if (t.size() - 4 <= 4 && plain_decimal_word(t)) return true;
    const char* p = t.data();
    const char* const end = p + t.size();
    const auto digits = [&] {
        const char* from = p;
        while (p != end && static_cast<unsigned char>(*p - '0') < 10) ++p;
        return p != from;
    };
    if (p != end && *p == '-') ++p;
    const bool lead = digits();
    if (p != end && *p == '.') {
        ++p;
        if (!digits() && !lead) return false;
    } else if (!lead) {
        return false;
    }
    if (p == end) return true;
    if (*p == '(') {
        ++p;
        if (!digits() || p == end || *p != ')') return false;
        if (++p == end) return true;
    }
    if (*p != 'e' && *p != 'E') return false;
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    return digits() && p == end;
}

class Pattern {
public:
    Pattern() = default;
    // Never throws for a bad expression: ok() is false and error() says why.
    static Pattern compile(std::string_view posix);

    bool ok() const noexcept { return ok_; }
    const std::string& error() const noexcept { return error_; }
    const std::string& source() const noexcept { return source_; }

    // How full_match() decides: a byte table, a scanner of its own, or RE2.
    enum class Form : std::uint8_t { Table, Int, PositiveInt, Float, General };
    Form form() const noexcept { return form_; }
    // The byte-table form: is byte `c` allowed anywhere in the value.
    bool allows(unsigned char c) const noexcept { return table_[c] != 0; }
    bool allows_empty() const noexcept { return empty_ok_; }

    // The whole of `text` matches.
    bool full_match(std::string_view text) const {
        if (form_ == Form::Table) return table_match(text);
        return match_other(text);
    }
    // full_match() for the byte-table form.
    bool table_match(std::string_view text) const noexcept {
        if (text.empty()) return empty_ok_;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
        const unsigned char* end = p + text.size();
        unsigned char all = 1;
        for (; p != end; ++p) all &= table_[*p];
        return all != 0;
    }

private:
    bool match_other(std::string_view text) const;

    std::string source_;
    std::string error_;
    bool ok_ = false;
    Form form_ = Form::General;
    // Byte-table form: every byte of the text allowed (1 in `table_`), and
    // at least one byte unless `empty_ok_`.
    bool empty_ok_ = true;
    std::array<std::uint8_t, 256> table_{};
    std::shared_ptr<const re2::RE2> re_;
};

}  // namespace quarzel::validate
