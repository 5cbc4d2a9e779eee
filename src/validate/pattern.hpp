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
// exactly so) by scanners of their own; the tests hold both to RE2's answers.
#pragma once

#include <array>
#include <cstdint>
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

class Pattern {
public:
    Pattern() = default;
    // Never throws for a bad expression: ok() is false and error() says why.
    static Pattern compile(std::string_view posix);

    bool ok() const noexcept { return ok_; }
    const std::string& error() const noexcept { return error_; }
    const std::string& source() const noexcept { return source_; }

    // The whole of `text` matches.
    bool full_match(std::string_view text) const {
        if (table_form_) {
            if (text.empty()) return empty_ok_;
            for (unsigned char c : text)
                if (!((table_[c >> 6] >> (c & 63)) & 1)) return false;
            return true;
        }
        return match_other(text);
    }

private:
    bool match_other(std::string_view text) const;

    std::string source_;
    std::string error_;
    bool ok_ = false;
    // Byte-table form: every byte of the text in `table_`, and at least one
    // byte unless `empty_ok_`.
    bool table_form_ = false;
    // A construct with a scanner of its own (0: none).
    std::uint8_t scanner_ = 0;
    bool empty_ok_ = true;
    std::array<std::uint64_t, 4> table_{};
    std::shared_ptr<const re2::RE2> re_;
};

}  // namespace quarzel::validate
