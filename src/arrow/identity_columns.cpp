#include "arrow/identity_columns.hpp"

#include <arrow/type.h>

#include <unordered_map>
#include <utility>

#include "arrow/record_batch.hpp"

namespace quarzel::arrow_stage {

namespace {

enum Kind : std::uint64_t { kInt32, kNullInt32, kNullText, kLoopId };

// Zeros for every kept column that holds nothing else (nulls, or the index
// 0): its bitmap, values or offsets and text all start here.
alignas(64) constexpr unsigned char kZeros[4 * (IdentityColumns::kMaxRows + 1)] = {};

// A kept column of zeros: Int32 zeros, or nulls of Int32 or Utf8.
Column zero_column(std::int64_t rows, bool nulls, bool text) {
    Column c;
    c.length = rows;
    c.null_count = nulls ? rows : 0;
    c.n_buffers = text ? 3 : 2;
    c.buffers = {nulls ? kZeros : nullptr, kZeros, text ? kZeros : nullptr};
    return c;
}

// This thread's kept columns, by kind, number and row count.
class KeptColumns {
public:
    template <class Make>
    arrow::Result<std::optional<Column>> get(Kind kind, std::int32_t number, std::int64_t rows,
                                             std::size_t row_bytes, bool text, Make make) {
        if (rows < 0 || rows > IdentityColumns::kMaxRows) return std::nullopt;
        const std::uint64_t key = static_cast<std::uint64_t>(static_cast<std::uint32_t>(number))
                                      << 32 |
                                  kind << 16 | static_cast<std::uint64_t>(rows);
        if (auto it = kept_.find(key); it != kept_.end()) return it->second;
        // The column's bytes, and about what its array and entry take.
        const std::size_t bytes = row_bytes * static_cast<std::size_t>(rows + 1) + 256;
        if (held_ + bytes > IdentityColumns::kMaxBytes) {
            // Columns handed out keep their memory; the cache lets go of its.
            kept_.clear();
            arena_ = Arena();
            held_ = 0;
        }
        ARROW_ASSIGN_OR_RAISE(Column column, make(arena_));
        ARROW_ASSIGN_OR_RAISE(column.shared,
                              standalone_array(column, text ? arrow::utf8() : arrow::int32()));
        held_ += bytes;
        return kept_.emplace(key, std::move(column)).first->second;
    }

private:
    std::unordered_map<std::uint64_t, Column> kept_;
    Arena arena_;
    std::size_t held_ = 0;
};

KeptColumns& kept() {
    static thread_local KeptColumns columns;
    return columns;
}

}  // namespace

arrow::Result<std::optional<Column>> IdentityColumns::int32(std::int32_t value, std::int64_t rows) {
    if (value == 0)
        return kept().get(kInt32, value, rows, 0, false, [&](Arena&) -> arrow::Result<Column> {
            return zero_column(rows, false, false);
        });
    return kept().get(kInt32, value, rows, 4, false,
                      [&](Arena& arena) { return constant_int32(arena, rows, value); });
}

arrow::Result<std::optional<Column>> IdentityColumns::nulls(bool text, std::int64_t rows) {
    return kept().get(
        text ? kNullText : kNullInt32, 0, rows, 0, text,
        [&](Arena&) -> arrow::Result<Column> { return zero_column(rows, true, text); });
}

arrow::Result<std::optional<Column>> IdentityColumns::loop_id(std::int32_t number,
                                                              std::string_view text,
                                                              std::int64_t rows) {
    return kept().get(kLoopId, number, rows, 4 + text.size(), true,
                      [&](Arena& arena) { return constant_text(arena, rows, text); });
}

}  // namespace quarzel::arrow_stage
