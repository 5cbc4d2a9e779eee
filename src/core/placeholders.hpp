// The builder keeps a quoted "?" or "." as the text with its quotes, from
// static storage, apart from the bare placeholders (see stored_value_text()
// in builder.hpp).
#pragma once

#include <string_view>

namespace quarzel {

// The stored text of a quoted placeholder (`c`: '?' or '.'): what a value
// written out as "?" or "." is read back as.
std::string_view quoted_placeholder(char c) noexcept;

}  // namespace quarzel
