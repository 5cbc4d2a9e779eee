// Identity columns that depend on nothing but numbers and the row count (a
// block's index, a save frame's index or its absence, a loop's id), kept
// per thread: files of one kind repeat them, and every batch that uses one
// shares its memory and its Arrow C++ array.
#pragma once

#include <arrow/result.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "arrow/columns.hpp"

namespace quarzel::arrow_stage {

// The columns handed out are copies (holding the memory they use), so they
// stay valid whatever the cache lets go of later. Each returns nullopt for
// a column too long to keep, which the caller makes itself.
class IdentityColumns {
public:
    // `rows` copies of `value` (Int32).
    static arrow::Result<std::optional<Column>> int32(std::int32_t value, std::int64_t rows);
    // `rows` nulls, of Utf8 (`text`) or Int32.
    static arrow::Result<std::optional<Column>> nulls(bool text, std::int64_t rows);
    // `rows` copies of the loop id `text`, which `number` tells apart from
    // every other loop id (-1 for the scalars' id).
    static arrow::Result<std::optional<Column>> loop_id(std::int32_t number, std::string_view text,
                                                        std::int64_t rows);

    // Longest column kept, and what the kept columns may take together
    // before the cache starts afresh.
    static constexpr std::int64_t kMaxRows = 1024;
    static constexpr std::size_t kMaxBytes = std::size_t{1} << 20;
};

}  // namespace quarzel::arrow_stage
