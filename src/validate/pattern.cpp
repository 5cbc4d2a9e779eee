#include "validate/pattern.hpp"

#include <re2/re2.h>

#include <cstring>
#include <optional>

namespace quarzel::validate {

namespace {

using Table = std::array<std::uint64_t, 4>;

void set_byte(Table& t, unsigned char b) noexcept {
    t[b >> 6] |= std::uint64_t{1} << (b & 63);
}

bool is_punct(unsigned char c) noexcept {
    return c < 0x80 && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                         (c >= 'A' && c <= 'Z') || c == '_' || c < 0x20 || c == 0x7f);
}

// The bytes of the UTF-8 sequence that starts at p[i] (1 for ASCII or a
// stray byte).
std::size_t seq_len(std::string_view p, std::size_t i) noexcept {
    const auto c = static_cast<unsigned char>(p[i]);
    std::size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    std::size_t k = 1;
    while (k < n && i + k < p.size() && (static_cast<unsigned char>(p[i + k]) & 0xC0) == 0x80) ++k;
    return k;
}

std::optional<char> control_escape(char c) noexcept {
    switch (c) {
        case 'n':
            return '\n';
        case 't':
            return '\t';
        case 'r':
            return '\r';
        case 'f':
            return '\f';
        case 'v':
            return '\v';
        default:
            return std::nullopt;
    }
}

// Appends one character (given as its bytes) so that RE2 reads it literally.
void put_literal(std::string& out, std::string_view ch) {
    const auto c = static_cast<unsigned char>(ch[0]);
    if (ch.size() == 1 && c < 0x20) {
        static const char* kHex = "0123456789abcdef";
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
        return;
    }
    if (ch.size() == 1 && is_punct(c)) out += '\\';
    out.append(ch);
}

bool posix_class(std::string_view name, int c) noexcept {
    const bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
    const bool digit = c >= '0' && c <= '9';
    if (name == "alpha") return upper || lower;
    if (name == "digit") return digit;
    if (name == "alnum") return upper || lower || digit;
    if (name == "upper") return upper;
    if (name == "lower") return lower;
    if (name == "space") return c == ' ' || (c >= '\t' && c <= '\r');
    if (name == "blank") return c == ' ' || c == '\t';
    if (name == "punct") return c > 0x20 && c < 0x7f && !(upper || lower || digit);
    if (name == "print") return c >= 0x20 && c < 0x7f;
    if (name == "graph") return c > 0x20 && c < 0x7f;
    if (name == "cntrl") return c < 0x20 || c == 0x7f;
    if (name == "xdigit") return digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    return false;
}

bool known_class(std::string_view name) noexcept {
    static constexpr std::string_view kNames[] = {"alpha", "digit", "alnum", "upper",
                                                  "lower", "space", "blank", "punct",
                                                  "print", "graph", "cntrl", "xdigit"};
    for (std::string_view n : kNames)
        if (n == name) return true;
    return false;
}

// A bracket expression from p[i] == '['; appends its RE2 form and fills
// `table` with its ASCII members (`ascii_only` is cleared when a member is
// not ASCII). Returns the index after the closing ']', or npos.
std::size_t bracket(std::string_view p, std::size_t i, std::string& out, Table& table,
                    bool& ascii_only, bool& negated, std::string& error) {
    std::size_t j = i + 1;
    negated = j < p.size() && p[j] == '^';
    if (negated) ++j;
    out += negated ? "[^" : "[";
    Table members{};
    bool first = true;
    // The previous single character, for a range that may follow.
    auto single_at = [&](std::size_t k, std::size_t& next) -> std::optional<std::string_view> {
        if (k >= p.size()) return std::nullopt;
        if (p[k] == '\\' && k + 1 < p.size()) {
            if (auto c = control_escape(p[k + 1])) {
                static const char kControls[] = "\n\t\r\f\v";
                const char* at = std::strchr(kControls, *c);
                next = k + 2;
                return std::string_view(at, 1);
            }
        }
        if (p[k] == '[' && k + 1 < p.size() && (p[k + 1] == '=' || p[k + 1] == '.')) {
            const char kind = p[k + 1];
            const std::size_t len = k + 2 < p.size() ? seq_len(p, k + 2) : 0;
            if (len == 0 || k + 2 + len + 1 >= p.size() || p[k + 2 + len] != kind ||
                p[k + 3 + len] != ']')
                return std::nullopt;
            next = k + 4 + len;
            return p.substr(k + 2, len);
        }
        next = k + seq_len(p, k);
        return p.substr(k, next - k);
    };
    while (true) {
        if (j >= p.size()) {
            error = "unterminated bracket expression";
            return std::string::npos;
        }
        if (p[j] == ']' && !first) break;
        first = false;
        if (p[j] == '[' && j + 1 < p.size() && p[j + 1] == ':') {
            const std::size_t end = p.find(":]", j + 2);
            if (end == std::string_view::npos) {
                error = "unterminated character class";
                return std::string::npos;
            }
            const std::string_view name = p.substr(j + 2, end - j - 2);
            if (!known_class(name)) {
                error = "unknown character class [:" + std::string(name) + ":]";
                return std::string::npos;
            }
            out += "[:";
            out += name;
            out += ":]";
            for (int c = 0; c < 0x80; ++c)
                if (posix_class(name, c)) set_byte(members, static_cast<unsigned char>(c));
            j = end + 2;
            continue;
        }
        std::size_t next = j;
        std::optional<std::string_view> lo = single_at(j, next);
        if (!lo) {
            error = "malformed bracket expression";
            return std::string::npos;
        }
        // A range lo-hi, unless the '-' is the last member.
        if (next + 1 < p.size() && p[next] == '-' && p[next + 1] != ']') {
            std::size_t after = next + 1;
            std::optional<std::string_view> hi = single_at(next + 1, after);
            if (!hi) {
                error = "malformed range in bracket expression";
                return std::string::npos;
            }
            if (lo->size() != 1 || hi->size() != 1) {
                ascii_only = false;
            } else if (static_cast<unsigned char>((*lo)[0]) >
                       static_cast<unsigned char>((*hi)[0])) {
                error = "range out of order in bracket expression";
                return std::string::npos;
            } else {
                for (int c = static_cast<unsigned char>((*lo)[0]);
                     c <= static_cast<unsigned char>((*hi)[0]); ++c)
                    set_byte(members, static_cast<unsigned char>(c));
                if (static_cast<unsigned char>((*hi)[0]) >= 0x80) ascii_only = false;
            }
            put_literal(out, *lo);
            out += '-';
            put_literal(out, *hi);
            j = after;
            continue;
        }
        if (lo->size() == 1 && static_cast<unsigned char>((*lo)[0]) < 0x80)
            set_byte(members, static_cast<unsigned char>((*lo)[0]));
        else
            ascii_only = false;
        put_literal(out, *lo);
        j = next;
    }
    out += ']';
    table = members;
    return j + 1;
}

// {m}, {m,} or {m,n} at p[i]; the index after it, or npos.
std::size_t interval(std::string_view p, std::size_t i) noexcept {
    std::size_t j = i + 1;
    auto number = [&](std::size_t& k) {
        const std::size_t start = k;
        while (k < p.size() && p[k] >= '0' && p[k] <= '9') ++k;
        return k > start && k - start < 6;
    };
    if (!number(j)) return std::string::npos;
    if (j < p.size() && p[j] == ',') {
        ++j;
        std::size_t k = j;
        if (k < p.size() && p[k] != '}' && !number(k)) return std::string::npos;
        j = k;
    }
    return j < p.size() && p[j] == '}' ? j + 1 : std::string::npos;
}

// Scanners for the commonest numeric constructs, exactly as PDBx writes them.
constexpr std::string_view kInt = "[+-]?[0-9]+";
constexpr std::string_view kPositiveInt = "[1-9][0-9]*";
constexpr std::string_view kFloat =
    "-?(([0-9]+)[.]?|([0-9]*[.][0-9]+))([(][0-9]+[)])?([eE][+-]?[0-9]+)?";

}  // namespace

std::string translate_posix(std::string_view p, std::string& error) {
    std::string out;
    out.reserve(p.size() + 8);
    Table ignored{};
    bool ascii_only = true, negated = false;
    for (std::size_t i = 0; i < p.size();) {
        const char c = p[i];
        if (c == '\\') {
            if (i + 1 == p.size()) {
                out += "\\\\";
                ++i;
                continue;
            }
            if (auto ctl = control_escape(p[i + 1])) {
                put_literal(out, std::string_view(&*ctl, 1));
                i += 2;
                continue;
            }
            const std::size_t n = seq_len(p, i + 1);
            put_literal(out, p.substr(i + 1, n));
            i += 1 + n;
            continue;
        }
        if (c == '[') {
            const std::size_t next = bracket(p, i, out, ignored, ascii_only, negated, error);
            if (next == std::string::npos) return {};
            i = next;
            continue;
        }
        if (c == '{') {
            const std::size_t end = interval(p, i);
            if (end != std::string::npos && !out.empty()) {
                out.append(p.substr(i, end - i));
                i = end;
            } else {
                out += "\\{";
                ++i;
            }
            continue;
        }
        if (c == '}') {
            out += "\\}";
            ++i;
            continue;
        }
        if (c == '(' || c == ')' || c == '|' || c == '*' || c == '+' || c == '?' || c == '.' ||
            c == '^' || c == '$') {
            out += c;
            ++i;
            continue;
        }
        const std::size_t n = seq_len(p, i);
        put_literal(out, p.substr(i, n));
        i += n;
    }
    return out;
}

Pattern Pattern::compile(std::string_view posix) {
    Pattern pat;
    pat.source_ = std::string(posix);
    std::string error;
    std::string translated = translate_posix(posix, error);
    if (!error.empty()) {
        pat.error_ = std::move(error);
        return pat;
    }
    // One bracket expression repeated, or ".*": a byte table.
    if (posix == ".*") {
        pat.table_.fill(1);
        pat.form_ = Form::Table;
    } else if (posix.size() >= 3 && posix[0] == '[' &&
               (posix.back() == '*' || posix.back() == '+')) {
        std::string scratch, err;
        Table table{};
        bool ascii_only = true, negated = false;
        const std::size_t end = bracket(posix, 0, scratch, table, ascii_only, negated, err);
        if (end == posix.size() - 1 && ascii_only) {
            // Every byte of a non-ASCII character is in a negated set of
            // ASCII members; a control character stays out only if listed.
            for (int c = 0; c < 256; ++c)
                pat.table_[c] = ((table[c >> 6] >> (c & 63)) & 1) != negated;
            pat.form_ = Form::Table;
            pat.empty_ok_ = posix.back() == '*';
        }
    }
    if (pat.form_ != Form::Table)
        pat.form_ = posix == kInt           ? Form::Int
                    : posix == kPositiveInt ? Form::PositiveInt
                    : posix == kFloat       ? Form::Float
                                            : Form::General;
    if (pat.form_ != Form::General) {
        // Matched without RE2; the expression is sound (translated above).
        pat.ok_ = true;
        return pat;
    }
    RE2::Options options;
    options.set_posix_syntax(true);
    options.set_longest_match(true);
    options.set_dot_nl(true);
    options.set_one_line(true);
    options.set_log_errors(false);
    options.set_max_mem(32 << 20);
    auto re = std::make_shared<RE2>(translated, options);
    if (!re->ok()) {
        pat.error_ = re->error();
        return pat;
    }
    pat.re_ = std::move(re);
    pat.ok_ = true;
    return pat;
}

bool Pattern::match_other(std::string_view text) const {
    if (!ok_) return false;
    switch (form_) {
        case Form::Table:
            return table_match(text);
        case Form::Int:
            return scan_int(text);
        case Form::PositiveInt:
            return scan_positive_int(text);
        case Form::Float:
            return scan_float(text);
        case Form::General:
            break;
    }
    return RE2::FullMatch(text, *re_);
}

}  // namespace quarzel::validate
