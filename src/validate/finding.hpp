// What the checker reports: one record per fault of a document against its
// rules, pointing at the value (or tag) concerned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarzel::validate {

enum class Severity : std::uint8_t { Error = 0, Warning = 1, Info = 2 };

enum class Code : std::uint8_t {
    Type,
    Enumeration,
    Range,
    Su,
    Mandatory,
    Key,
    DuplicateKey,
    Link,
    Looped,
    NotLooped,
    LoopCategory,
    Unknown,
    Deprecated,
    Container,
    Dictionary,
    Alias,
    Prohibited,
    Recommended,
};

std::string_view code_name(Code code) noexcept;
std::string_view severity_name(Severity severity) noexcept;

inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;
inline constexpr std::uint64_t kNoOffset = ~std::uint64_t{0};

struct Finding {
    Code code = Code::Type;
    Severity severity = Severity::Error;
    std::uint32_t block = kNoIndex;  // data block, in document order
    std::uint32_t frame = kNoIndex;  // save frame of the block, or none
    std::uint32_t dict = kNoIndex;   // the rule set's dictionary
    std::int64_t row = -1;           // row of the value in its loop (0 outside loops)
    std::uint32_t line = 0;          // 1-based, 0 where there is no place
    std::uint32_t column = 0;
    std::string message;
    std::string category;
    std::vector<std::string> tags;
    std::optional<std::string> value;
    std::string rule;

    // Where the position comes from until it is resolved: the value at `row`
    // of `locate_tag` (lower case) in the finding's frame, or the tag itself.
    std::string locate_tag;
    bool locate_value = false;
};

}  // namespace quarzel::validate
