// Maps keyed by std::string that are searched with views.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quarzel::dataset {

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};
template <class V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

}  // namespace quarzel::dataset
