#include "bcif/classify.hpp"

#include <charconv>
#include <cstring>
#include <limits>

#include "bcif/text.hpp"

namespace quarzel::bcif {

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr int kMaxDecimals = 9;

// [+-]digits[.digits] (a leading '+' only when `loose`): the digits as one
// integer (`scaled`, the value times 10^decimals). False for anything else
// or more digits than an int64 holds safely.
struct Decimal {
    std::int64_t scaled = 0;
    int decimals = 0;
    bool point = false;
};

bool parse_decimal(std::string_view t, bool loose, Decimal& d) {
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '-' || (loose && t[i] == '+'))) negative = t[i++] == '-';
    std::int64_t v = 0;
    int digits = 0, decimals = 0;
    bool point = false;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 17) return false;
            v = v * 10 + (c - '0');
            if (point) ++decimals;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (digits == 0 || (point && decimals == 0 && !loose)) return false;
    d.scaled = negative ? -v : v;
    d.decimals = decimals;
    d.point = point;
    return true;
}

bool fits_int32(std::int64_t v) {
    return v >= kInt32Min && v <= kInt32Max;
}

bool same(std::string_view t, const char* buf, std::size_t n) {
    return t.size() == n && std::memcmp(t.data(), buf, n) == 0;
}

// Fills the mask; true when some value is not masked.
bool make_mask(std::span<const std::string_view> values, std::vector<std::uint8_t>& mask) {
    mask.assign(values.size(), 0);
    bool any_value = false, any_mask = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        mask[i] = mask_of(values[i]);
        any_mask |= mask[i] != 0;
        any_value |= mask[i] == 0;
    }
    if (!any_mask) mask.clear();
    return any_value;
}

bool masked(const std::vector<std::uint8_t>& mask, std::size_t i) {
    return !mask.empty() && mask[i] != 0;
}

// Every value an integer whose decimal text is the value itself (or, when
// `loose`, any integer text).
bool as_integers(std::span<const std::string_view> values, const std::vector<std::uint8_t>& mask,
                 bool loose, std::vector<std::int32_t>& out) {
    out.resize(values.size());
    char buf[kNumberText];
    std::int32_t last = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (masked(mask, i)) {
            out[i] = last;  // a placeholder that keeps the differences small
            continue;
        }
        Decimal d;
        if (!parse_decimal(values[i], loose, d) || d.point || !fits_int32(d.scaled)) return false;
        if (!loose && !same(values[i], buf, format_int(d.scaled, buf))) return false;
        out[i] = last = static_cast<std::int32_t>(d.scaled);
    }
    return true;
}

// Every value a decimal number with `decimals` digits after the point, or
// (when `loose`) any plain decimal, scaled to the most decimals any has.
bool as_fixed(std::span<const std::string_view> values, const std::vector<std::uint8_t>& mask,
              bool loose, std::vector<std::int32_t>& out, int& decimals) {
    decimals = -1;
    if (loose) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (masked(mask, i)) continue;
            Decimal d;
            if (!parse_decimal(values[i], true, d)) return false;
            if (d.decimals > decimals) decimals = d.decimals;
        }
        if (decimals > kMaxDecimals) return false;
    }
    out.resize(values.size());
    char buf[kNumberText];
    std::int32_t last = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (masked(mask, i)) {
            out[i] = last;
            continue;
        }
        Decimal d;
        if (!parse_decimal(values[i], loose, d)) return false;
        if (loose) {
            for (int k = d.decimals; k < decimals; ++k) d.scaled *= 10;
        } else {
            if (!d.point) return false;
            if (decimals < 0) decimals = d.decimals;
            if (d.decimals != decimals || decimals > kMaxDecimals) return false;
        }
        if (!fits_int32(d.scaled)) return false;
        if (!loose && !same(values[i], buf, format_fixed(d.scaled, decimals, buf))) return false;
        out[i] = last = static_cast<std::int32_t>(d.scaled);
    }
    return decimals > 0;
}

// Every value a number whose shortest text is the value itself (or, when
// `loose`, any number text).
bool as_doubles(std::span<const std::string_view> values, const std::vector<std::uint8_t>& mask,
                bool loose, std::vector<double>& out) {
    out.assign(values.size(), 0.0);
    char buf[kNumberText];
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (masked(mask, i)) continue;
        std::string_view t = values[i];
        if (loose && !t.empty() && t[0] == '+') t.remove_prefix(1);
        double v = 0;
        const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
        if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
        if (!loose && !same(t, buf, format_float(v, false, buf))) return false;
        if (loose && (v != v || v == std::numeric_limits<double>::infinity() ||
                      v == -std::numeric_limits<double>::infinity()))
            return false;
        out[i] = v;
    }
    return true;
}

}  // namespace

Classified classify(std::span<const std::string_view> values, Declared declared) {
    Classified c;
    const bool any_value = make_mask(values, c.mask);
    if (declared == Declared::Text || !any_value) return c;
    // A declared type first (its formatting not kept); failing that, what
    // reproduces every value.
    if (declared == Declared::Integer && as_integers(values, c.mask, true, c.ints)) {
        c.stored = Stored::Integers;
        return c;
    }
    if (declared == Declared::Real) {
        if (as_fixed(values, c.mask, true, c.ints, c.decimals)) {
            c.stored = Stored::Fixed;
            return c;
        }
        if (as_integers(values, c.mask, true, c.ints)) {
            c.stored = Stored::Fixed;
            c.decimals = 0;
            return c;
        }
        if (as_doubles(values, c.mask, true, c.doubles)) {
            c.stored = Stored::Doubles;
            return c;
        }
    }
    if (as_integers(values, c.mask, false, c.ints)) {
        c.stored = Stored::Integers;
    } else if (as_fixed(values, c.mask, false, c.ints, c.decimals)) {
        c.stored = Stored::Fixed;
    } else if (as_doubles(values, c.mask, false, c.doubles)) {
        c.stored = Stored::Doubles;
        c.ints.clear();
    } else {
        c.stored = Stored::Strings;
        c.ints.clear();
        c.doubles.clear();
    }
    return c;
}

}  // namespace quarzel::bcif
