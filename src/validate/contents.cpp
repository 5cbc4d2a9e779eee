#include "validate/contents.hpp"

#include <array>
#include <utility>

#include "core/ascii.hpp"

namespace quarzel::validate {

namespace {

constexpr std::array<std::pair<std::string_view, Contents>, 24> kNames{{
    {"text", Contents::Any},
    {"numb", Contents::Number},
    {"word", Contents::Word},
    {"code", Contents::Code},
    {"name", Contents::Name},
    {"tag", Contents::Tag},
    {"filename", Contents::Filename},
    {"uri", Contents::Uri},
    {"date", Contents::Date},
    {"datetime", Contents::DateTime},
    {"version", Contents::Version},
    {"dimension", Contents::Dimension},
    {"range", Contents::Range},
    {"count", Contents::Count},
    {"index", Contents::Index},
    {"integer", Contents::Integer},
    {"real", Contents::Real},
    {"imag", Contents::Imag},
    {"complex", Contents::Complex},
    {"binary", Contents::Binary},
    {"hexadecimal", Contents::Hexadecimal},
    {"octal", Contents::Octal},
    {"symop", Contents::Symop},
    {"implied", Contents::Implied},
}};

constexpr std::array<std::string_view, 24> kDisplay{
    "Text", "numb",     "Word",    "Code",      "Name",        "Tag",   "Filename", "Uri",
    "Date", "DateTime", "Version", "Dimension", "Range",       "Count", "Index",    "Integer",
    "Real", "Imag",     "Complex", "Binary",    "Hexadecimal", "Octal", "Symop",    "Implied"};

constexpr std::array<std::pair<std::string_view, Container>, 6> kContainers{{
    {"single", Container::Single},
    {"multiple", Container::Multiple},
    {"list", Container::List},
    {"array", Container::Array},
    {"matrix", Container::Matrix},
    {"table", Container::Table},
}};

bool equals_lower(std::string_view text, std::string_view lower) noexcept {
    return text.size() == lower.size() && ascii::starts_with_lower(text.data(), lower);
}

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}
bool is_alnum(char c) noexcept {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool no_space(std::string_view v) noexcept {
    if (v.empty()) return false;
    for (char c : v)
        if (is_space(c)) return false;
    return true;
}

bool all_digits(std::string_view v) noexcept {
    if (v.empty()) return false;
    for (char c : v)
        if (!is_digit(c)) return false;
    return true;
}

// `n` digits at `v[at]`, as a number.
bool digits(std::string_view v, std::size_t at, std::size_t n, int& out) noexcept {
    if (at + n > v.size()) return false;
    int x = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (!is_digit(v[i])) return false;
        x = x * 10 + (v[i] - '0');
    }
    out = x;
    return true;
}

bool leap(int y) noexcept {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// yyyy-mm-dd at the start of `v`, a real day.
bool date_at(std::string_view v) noexcept {
    int y, m, d;
    if (v.size() < 10 || !digits(v, 0, 4, y) || v[4] != '-' || !digits(v, 5, 2, m) || v[7] != '-' ||
        !digits(v, 8, 2, d))
        return false;
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > kDays[m - 1]) return false;
    return !(m == 2 && d == 29 && !leap(y));
}

// RFC 3339 (a space for the T allowed): yyyy-mm-ddThh:mm[:ss[.f]][Z|+hh:mm].
bool date_time(std::string_view v) noexcept {
    if (!date_at(v)) return false;
    if (v.size() == 10) return false;
    if (v[10] != 'T' && v[10] != 't' && v[10] != ' ') return false;
    int h, mi, s;
    if (!digits(v, 11, 2, h) || v.size() < 16 || v[13] != ':' || !digits(v, 14, 2, mi))
        return false;
    if (h > 23 || mi > 59) return false;
    std::size_t i = 16;
    if (i < v.size() && v[i] == ':') {
        if (!digits(v, i + 1, 2, s) || s > 60) return false;
        i += 3;
        if (i < v.size() && v[i] == '.') {
            ++i;
            const std::size_t start = i;
            while (i < v.size() && is_digit(v[i])) ++i;
            if (i == start) return false;
        }
    }
    if (i == v.size()) return true;
    if ((v[i] == 'Z' || v[i] == 'z') && i + 1 == v.size()) return true;
    if (v[i] != '+' && v[i] != '-') return false;
    int zh, zm;
    return v.size() == i + 6 && digits(v, i + 1, 2, zh) && v[i + 3] == ':' &&
           digits(v, i + 4, 2, zm) && zh <= 23 && zm <= 59;
}

bool version(std::string_view v) noexcept {
    if (v.empty()) return false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= v.size(); ++i) {
        if (i == v.size() || v[i] == '.') {
            if (i == start) return false;
            start = i + 1;
        } else if (!is_digit(v[i])) {
            return false;
        }
    }
    return true;
}

// "[]", "[3]", "[3,3]" (spaces allowed).
bool dimension_text(std::string_view v) noexcept {
    v = trim(v);
    if (v.size() < 2 || v.front() != '[' || v.back() != ']') return false;
    std::string_view inner = trim(v.substr(1, v.size() - 2));
    if (inner.empty()) return true;
    while (true) {
        const std::size_t comma = inner.find(',');
        if (!all_digits(trim(inner.substr(0, comma)))) return false;
        if (comma == std::string_view::npos) return true;
        inner.remove_prefix(comma + 1);
    }
}

bool number_or_empty(std::string_view v) {
    v = trim(v);
    if (v.empty()) return true;
    return parse_number(v).status == NumberStatus::number;
}

bool range(std::string_view v) {
    const std::size_t colon = v.find(':');
    if (colon == std::string_view::npos || v.find(':', colon + 1) != std::string_view::npos)
        return false;
    return number_or_empty(v.substr(0, colon)) && number_or_empty(v.substr(colon + 1));
}

bool real_number(std::string_view v) {
    return parse_number(v).status == NumberStatus::number;
}

// A real number followed by j (or J), or j alone with a sign.
bool imaginary(std::string_view v) {
    if (v.size() < 2 || (v.back() != 'j' && v.back() != 'J')) return false;
    return real_number(v.substr(0, v.size() - 1));
}

// <R>, <I>j, or <R>+<I>j / <R>-<I>j, also written <R>+j<I>.
bool complex_number(std::string_view v) {
    if (real_number(v) || imaginary(v)) return true;
    for (std::size_t i = 1; i < v.size(); ++i) {
        if ((v[i] != '+' && v[i] != '-') || v[i - 1] == 'e' || v[i - 1] == 'E') continue;
        const std::string_view re = v.substr(0, i);
        std::string_view im = v.substr(i + 1);
        if (!real_number(re)) continue;
        if (!im.empty() && (im.front() == 'j' || im.front() == 'J') && real_number(im.substr(1)))
            return true;
        if (imaginary(im)) return true;
    }
    return false;
}

bool prefixed_digits(std::string_view v, char mark, bool (*ok)(char)) {
    if (v.size() < 3 || v[0] != '\\' || (v[1] != mark && v[1] != mark - 32)) return false;
    for (std::size_t i = 2; i < v.size(); ++i)
        if (!ok(v[i])) return false;
    return true;
}

// 2, 2_555, 2 555, 12_5510 (an operator number and a translation).
bool symop(std::string_view v) noexcept {
    std::size_t i = 0;
    while (i < v.size() && is_digit(v[i])) ++i;
    if (i == 0) return false;
    if (i == v.size()) return true;
    if (v[i] != '_' && v[i] != ' ') return false;
    const std::string_view t = v.substr(i + 1);
    return t.size() >= 3 && all_digits(t);
}

bool name_chars(std::string_view v) noexcept {
    if (v.empty()) return false;
    for (char c : v)
        if (!is_alnum(c) && c != '_' && static_cast<unsigned char>(c) < 0x80) return false;
    return true;
}

}  // namespace

std::string_view contents_name(Contents c) noexcept {
    return kDisplay[static_cast<std::size_t>(c)];
}

std::optional<Contents> contents_from_name(std::string_view name) noexcept {
    name = trim(name);
    for (const auto& [n, c] : kNames)
        if (equals_lower(name, n)) return c;
    return std::nullopt;
}

std::string_view container_name(Container c) noexcept {
    static constexpr std::string_view kShown[] = {"Single", "Multiple", "List",
                                                  "Array",  "Matrix",   "Table"};
    return kShown[static_cast<std::size_t>(c)];
}

std::optional<Container> container_from_name(std::string_view name) noexcept {
    name = trim(name);
    for (const auto& [n, c] : kContainers)
        if (equals_lower(name, n)) return c;
    return std::nullopt;
}

bool is_numeric(Contents c) noexcept {
    switch (c) {
        case Contents::Number:
        case Contents::Count:
        case Contents::Index:
        case Contents::Integer:
        case Contents::Real:
            return true;
        default:
            return false;
    }
}

// The core's number grammar, [+-] mantissa [(e|E) [+-] digits]
// ["(" digits ")"], in one pass that works out no value.
NumberShape number_shape(std::string_view v) noexcept {
    NumberShape s;
    const std::size_t n = v.size();
    std::size_t i = n && (v[0] == '+' || v[0] == '-') ? 1 : 0;
    std::size_t digits = 0;
    bool point = false, zero = true;
    for (; i < n; ++i) {
        const char c = v[i];
        if (c >= '0' && c <= '9') {
            ++digits;
            zero = zero && c == '0';
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0) return s;
    bool exponent = false;
    if (i < n && (v[i] == 'e' || v[i] == 'E')) {
        exponent = true;
        ++i;
        if (i < n && (v[i] == '+' || v[i] == '-')) ++i;
        const std::size_t start = i;
        while (i < n && is_digit(v[i])) ++i;
        if (i == start) return s;
    }
    if (i < n && v[i] == '(') {
        const std::size_t start = ++i;
        while (i < n && is_digit(v[i])) ++i;
        if (i == start || i >= n || v[i] != ')') return s;
        ++i;
        s.has_su = true;
    }
    if (i != n) return NumberShape{};
    s.number = true;
    s.integer = !point && !exponent;
    s.zero = zero;
    return s;
}

bool matches_contents(Contents c, std::string_view v) {
    if (is_numeric(c)) return matches_contents(c, v, number_shape(v));
    return matches_contents(c, v, NumberShape{});
}

bool matches_contents(Contents c, std::string_view v, const NumberShape& n) {
    switch (c) {
        case Contents::Any:
        case Contents::Implied:
            return true;
        case Contents::Number:
        case Contents::Real:
            return n.number;
        case Contents::Integer:
            return n.number && n.integer;
        case Contents::Count:
            return n.number && n.integer && v.front() != '-';
        case Contents::Index:
            return n.number && n.integer && v.front() != '-' && !n.zero;
        case Contents::Word:
        case Contents::Code:
        case Contents::Uri:
        case Contents::Filename:
            return no_space(v);
        case Contents::Name:
            return name_chars(v);
        case Contents::Tag:
            return v.size() >= 2 && v.front() == '_' && no_space(v);
        case Contents::Date:
            return v.size() == 10 && date_at(v);
        case Contents::DateTime:
            return date_time(v);
        case Contents::Version:
            return version(v);
        case Contents::Dimension:
            return dimension_text(v);
        case Contents::Range:
            return range(v);
        case Contents::Imag:
            return imaginary(v);
        case Contents::Complex:
            return complex_number(v);
        case Contents::Binary:
            return prefixed_digits(v, 'b', [](char ch) { return ch == '0' || ch == '1'; });
        case Contents::Hexadecimal:
            return prefixed_digits(v, 'x', [](char ch) {
                return is_digit(ch) || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
            });
        case Contents::Octal:
            return prefixed_digits(v, 'o', [](char ch) { return ch >= '0' && ch <= '7'; });
        case Contents::Symop:
            return symop(v);
    }
    return true;
}

bool TypeSpec::matches(std::string_view value, std::size_t position,
                       const NumberShape* shape) const {
    if (!sequence.empty()) return matches_contents(sequence[position % sequence.size()], value);
    if (alternatives.empty()) return true;
    NumberShape n;
    bool parsed = false;
    if (shape) {
        n = *shape;
        parsed = true;
    }
    for (Contents c : alternatives) {
        if (is_numeric(c) && !parsed) {
            n = number_shape(value);
            parsed = true;
        }
        if (matches_contents(c, value, n)) return true;
    }
    return false;
}

bool TypeSpec::numeric() const noexcept {
    if (alternatives.empty()) return false;
    for (Contents c : alternatives)
        if (!is_numeric(c)) return false;
    return sequence.empty();
}

std::optional<TypeSpec> parse_type_spec(std::string_view text) {
    TypeSpec spec;
    text = trim(text);
    const bool is_sequence = text.find(',') != std::string_view::npos;
    const char sep = is_sequence ? ',' : '|';
    if (is_sequence && text.find('|') != std::string_view::npos) return std::nullopt;
    while (true) {
        const std::size_t at = text.find(sep);
        auto c = contents_from_name(text.substr(0, at));
        if (!c) return std::nullopt;
        (is_sequence ? spec.sequence : spec.alternatives).push_back(*c);
        if (at == std::string_view::npos) break;
        text.remove_prefix(at + 1);
    }
    // "Text" alone, or among alternatives, lets everything through.
    bool any = false;
    for (Contents c : spec.alternatives) any = any || c == Contents::Any;
    if (any) spec.alternatives.clear();
    return spec;
}

}  // namespace quarzel::validate
