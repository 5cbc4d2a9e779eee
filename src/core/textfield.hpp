// The text-prefix and line-folding conventions of semicolon text fields.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarzel {

// The logical value of a text field's raw value. Never fails.
std::string transform_multiline(std::string_view text);

// The same, but nullopt when the result equals `text` (the common case), so
// callers can keep a view instead of a copy.
std::optional<std::string> transform_multiline_if_changed(std::string_view text);

}  // namespace quarzel
