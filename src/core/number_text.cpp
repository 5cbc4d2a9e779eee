#include "core/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace quarzel {

void put_number_text(std::string& out, bool doubles, const void* value, const void* su) {
    char buf[400];  // the longest fixed form of a double, with room for its su
    char* end;
    if (!doubles) {
        std::int64_t v;
        std::memcpy(&v, value, 8);
        end = std::to_chars(buf, buf + 24, v).ptr;  // at most 20 characters
        if (su) {
            std::int64_t s;
            std::memcpy(&s, su, 8);
            *end++ = '(';
            end = std::to_chars(end, end + 24, s).ptr;
            *end++ = ')';
        }
        out.append(buf, end);
        return;
    }
    double v;
    std::memcpy(&v, value, 8);
    // The shortest digits that read back as v, without an exponent.
    end = std::to_chars(buf, buf + sizeof buf - 24, v, std::chars_format::fixed).ptr;
    if (su) {
        double s;
        std::memcpy(&s, su, 8);
        const char* point = static_cast<const char*>(std::memchr(buf, '.', end - buf));
        const int decimals = point ? static_cast<int>(end - point - 1) : 0;
        // su = digits / 10^decimals, correctly rounded when it was read:
        // scaled back it is within an ulp of its digits.
        const double digits = std::nearbyint(s * std::pow(10.0, decimals));
        *end++ = '(';
        if (std::isfinite(digits) && std::fabs(digits) < 9.2e18)
            end = std::to_chars(end, buf + sizeof buf, static_cast<std::int64_t>(digits)).ptr;
        else
            end = std::to_chars(end, buf + sizeof buf - 1, s).ptr;
        *end++ = ')';
    }
    out.append(buf, end);
}

}  // namespace quarzel
