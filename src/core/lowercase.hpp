// Lower-casing of names exactly as Python's str.lower does it: the full
// Unicode lower-case mapping, including U+0130 and the final-sigma rule.
#pragma once

#include <string>
#include <string_view>

namespace quarzel {

// Writes the lower-cased `text` into `out` (replacing its content; its
// capacity is reused). Bytes that are not valid UTF-8 are copied unchanged.
void lower_into(std::string_view text, std::string& out);

inline std::string lower(std::string_view text) {
    std::string out;
    lower_into(text, out);
    return out;
}

}  // namespace quarzel
