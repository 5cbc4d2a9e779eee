#include "arrow/columns.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace quarzel::arrow_stage {

using arrow::Status;

Status out_of_memory() {
    return Status::OutOfMemory("no memory for the record batches");
}

void fill_bitmap(unsigned char* bitmap, std::int64_t rows, std::int64_t valid) {
    std::memset(bitmap, 0, bitmap_bytes(rows));
    const auto whole = static_cast<std::size_t>(valid / 8);
    std::memset(bitmap, 0xFF, whole);
    if (valid % 8 != 0) bitmap[whole] = static_cast<unsigned char>((1u << (valid % 8)) - 1);
}

arrow::Result<Column> constant_int32(Arena& arena, std::int64_t rows, std::int32_t value) {
    Column c;
    auto* v = reinterpret_cast<std::int32_t*>(
        arena.allocate(4 * static_cast<std::size_t>(rows), c.keeper));
    if (v == nullptr) return out_of_memory();
    std::fill(v, v + rows, value);
    c.length = rows;
    c.n_buffers = 2;
    c.buffers = {nullptr, v, nullptr};
    return c;
}

arrow::Result<Column> constant_text(Arena& arena, std::int64_t rows, std::string_view text) {
    const auto n = static_cast<std::size_t>(rows);
    const std::size_t offsets_bytes = round8(4 * (n + 1));
    if (text.size() > 0 && n > (std::numeric_limits<std::int32_t>::max)() / text.size())
        return Status::CapacityError("an identity column exceeds 2147483647 bytes");
    Column c;
    unsigned char* p = arena.allocate(offsets_bytes + text.size() * n, c.keeper);
    if (p == nullptr) return out_of_memory();
    auto* offsets = reinterpret_cast<std::int32_t*>(p);
    const auto len = static_cast<std::int32_t>(text.size());
    for (std::size_t i = 0; i <= n; ++i) offsets[i] = static_cast<std::int32_t>(i) * len;
    // The text once, then what is written so far copied after itself.
    unsigned char* out = p + offsets_bytes;
    const std::size_t total = text.size() * n;
    if (total != 0) {
        std::memcpy(out, text.data(), text.size());
        for (std::size_t done = text.size(); done < total;) {
            const std::size_t step = std::min(done, total - done);
            std::memcpy(out + done, out, step);
            done += step;
        }
    }
    c.length = rows;
    c.buffers = {nullptr, offsets, p + offsets_bytes};
    return c;
}

arrow::Result<Column> null_column(Arena& arena, std::int64_t rows, bool text) {
    const std::size_t bitmap = bitmap_bytes(rows);
    const std::size_t zeros = 4 * (static_cast<std::size_t>(rows) + 1);
    Column c;
    unsigned char* p = arena.allocate(bitmap + zeros, c.keeper);
    if (p == nullptr) return out_of_memory();
    std::memset(p, 0, bitmap + zeros);
    c.length = rows;
    c.null_count = rows;
    if (text) {
        c.buffers = {p, p + bitmap, p + bitmap};  // no text: any valid address
    } else {
        c.n_buffers = 2;
        c.buffers = {p, p + bitmap, nullptr};
    }
    return c;
}

}  // namespace quarzel::arrow_stage
