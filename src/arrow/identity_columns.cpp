#include "arrow/identity_columns.hpp"

#include <arrow/type.h>

#include <unordered_map>
#include <utility>

#include "arrow/record_batch.hpp"

namespace quarzel::arrow_stage {

namespace {

enum Kind : std::uint64_t { kInt32, kNullInt32, kNullText, kLoopId };

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
    return kept().get(kInt32, value, rows, 4, false,
                      [&](Arena& arena) { return constant_int32(arena, rows, value); });
}

arrow::Result<std::optional<Column>> IdentityColumns::nulls(bool text, std::int64_t rows) {
    return kept().get(text ? kNullText : kNullInt32, 0, rows, 5, text,
                      [&](Arena& arena) { return null_column(arena, rows, text); });
}

arrow::Result<std::optional<Column>> IdentityColumns::loop_id(std::int32_t number,
                                                              std::string_view text,
                                                              std::int64_t rows) {
    return kept().get(kLoopId, number, rows, 4 + text.size(), true,
                      [&](Arena& arena) { return constant_text(arena, rows, text); });
}

}  // namespace quarzel::arrow_stage
