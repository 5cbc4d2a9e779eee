#include "arrow/text_columns.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "core/cell_text.hpp"
#include "core/short_copy.hpp"

namespace quarzel::arrow_stage {

using arrow::Status;

namespace {

// A packed column this small (offsets, text and bitmap) is copied into the
// arena, and its own storage freed: most columns of a dictionary's save
// frames hold one short value.
constexpr std::size_t kCopyBytes = 4096;

}  // namespace

// The Utf8 array of one tag: the cell text of each of its values, then
// nulls up to the requested length. Sized first, then filled in row ranges,
// so that several columns can be filled side by side.
class TextColumn {
public:
    TextColumn(ValueColumn& values, std::int64_t length)
        : values_(values), length_(std::max(length, static_cast<std::int64_t>(values.size()))) {}

    // Counts the bytes of text: the column keeps the total of its slices (of
    // all its text when packed), so only the values kept aside are looked at.
    void count() {
        std::uint64_t bytes = values_.text_bytes() + cell_size_of_all(values_.side_values());
        bytes_ = static_cast<std::int64_t>(
            std::min<std::uint64_t>(bytes, std::numeric_limits<std::int64_t>::max()));
    }

    // Allocates the bitmap, offsets and text for the counted size (a packed
    // column has its own already).
    Status reserve(Arena& arena) {
        if (bytes_ > std::numeric_limits<std::int32_t>::max())
            return Status::CapacityError("the text of one column exceeds 2147483647 bytes (",
                                         bytes_, ")");
        if (values_.packed()) return Status::OK();
        const std::size_t bitmap = has_nulls() ? bitmap_bytes(length_) : 0;
        const std::size_t offsets = round8(4 * (static_cast<std::size_t>(length_) + 1));
        // 16 spare bytes after the text: fill() may copy whole 16-byte words.
        unsigned char* p = arena.allocate(bitmap + offsets + static_cast<std::size_t>(bytes_) + 16,
                                          column_.keeper);
        if (p == nullptr) return out_of_memory();
        validity_ = bitmap != 0 ? p : nullptr;
        offsets_ = reinterpret_cast<std::int32_t*>(p + bitmap);
        text_ = p + bitmap + offsets;
        return Status::OK();
    }

    // New memory the finished array takes (text and offsets).
    std::int64_t footprint() const { return values_.packed() ? 0 : bytes_ + 4 * length_; }
    std::size_t values() const { return values_.size(); }

    // Writes the values [begin, end), clamped to the values there are.
    // Locals throughout: stores through the byte pointer could alias any
    // member, which would be reloaded for every value.
    void fill(std::size_t begin, std::size_t end) {
        const RefColumn* refs = values_.refs_column();
        if (refs == nullptr) return;
        end = std::min(end, refs->size());
        std::int32_t* offset = offsets_ + begin;
        unsigned char* const text = text_;
        std::int32_t used = used_;
        // Texts with 16 bytes of the base text from their start move as one
        // 16-byte word (the text buffer has spare bytes for the overshoot).
        const auto base = reinterpret_cast<std::uintptr_t>(refs->base().base);
        const std::size_t copy16_below = refs->base().size >= 16 ? refs->base().size - 15 : 0;
        if (refs->all_slices()) {
            // Every value a slice: its offset and length straight from the
            // reference. The write position is kept at full width, saving a
            // sign extension per value (reserve() checked that the text fits
            // an Int32 offset).
            const char* const from = refs->base().base;
            std::size_t at_text = static_cast<std::size_t>(used);
            refs->for_each_slice_at(begin, end, [&](std::uint32_t at, std::size_t n) {
                *offset++ = static_cast<std::int32_t>(at_text);
                unsigned char* const out = text + at_text;
                at_text += n;
                if (n <= 16 && at < copy16_below)
                    std::memcpy(out, from + at, 16);
                else
                    copy_short(out, std::string_view(from + at, n));
            });
            used_ = static_cast<std::int32_t>(at_text);
            return;
        }
        refs->for_each(begin, end, [&](const ValueRef& ref) {
            *offset++ = used;
            if (ref.compound == nullptr) [[likely]] {
                const std::size_t n = ref.text.size();
                if (n <= 16 &&
                    reinterpret_cast<std::uintptr_t>(ref.text.data()) - base < copy16_below)
                    std::memcpy(text + used, ref.text.data(), 16);
                else
                    copy_short(text + used, ref.text);
                used += static_cast<std::int32_t>(n);
            } else {
                BufferWriter writer{text + used};
                put_cell(writer, *ref.compound, ref.root);
                used = static_cast<std::int32_t>(writer.out - text);
            }
        });
        used_ = used;
    }

    arrow::Result<Column> finish(Arena& arena) {
        if (values_.packed()) return finish_packed(arena);
        const auto n = static_cast<std::int64_t>(values_.size());
        std::fill(offsets_ + n, offsets_ + length_ + 1, used_);
        if (validity_ != nullptr) fill_bitmap(validity_, length_, n);
        column_.length = length_;
        column_.null_count = length_ - n;
        column_.buffers = {validity_, offsets_, text_};
        return std::move(column_);
    }

private:
    bool has_nulls() const { return static_cast<std::int64_t>(values_.size()) < length_; }

    // A small column is copied into the arena; a large one hands its own
    // buffers over, with offsets added for the null cells and the bitmap
    // written after them.
    arrow::Result<Column> finish_packed(Arena& arena) {
        const auto n = static_cast<std::size_t>(values_.size());
        const auto length = static_cast<std::size_t>(length_);
        const auto used = static_cast<std::int32_t>(bytes_);
        const auto text_bytes = static_cast<std::size_t>(bytes_);
        const std::size_t bitmap = has_nulls() ? bitmap_bytes(length_) : 0;
        const std::size_t offsets_bytes = round8(4 * (length + 1));
        unsigned char* validity = nullptr;
        std::int32_t* out_offsets = nullptr;
        unsigned char* out_text = nullptr;
        if (bitmap + offsets_bytes + text_bytes <= kCopyBytes) {
            unsigned char* p = arena.allocate(bitmap + offsets_bytes + text_bytes, column_.keeper);
            if (p == nullptr) return out_of_memory();
            validity = bitmap != 0 ? p : nullptr;
            out_offsets = reinterpret_cast<std::int32_t*>(p + bitmap);
            out_text = p + bitmap + offsets_bytes;
            if (std::optional<std::string_view> single = values_.packed_single()) {
                out_offsets[0] = 0;
                std::fill(out_offsets + 1, out_offsets + length + 1, used);
                if (text_bytes != 0) std::memcpy(out_text, single->data(), text_bytes);
            } else {
                const ByteBuffer& offsets = values_.packed_offsets();
                std::memcpy(out_offsets, offsets.data(), 4 * (n + 1));
                std::fill(out_offsets + n + 1, out_offsets + length + 1, used);
                if (text_bytes != 0)
                    std::memcpy(out_text, values_.packed_text().data(), text_bytes);
            }
        } else {
            ByteBuffer& offsets = values_.packed_offsets();
            ByteBuffer& text = values_.packed_text();
            const std::size_t extra = length - n;
            const std::size_t bitmap_at = round8(offsets.size() + 4 * extra);
            offsets.reserve_more(bitmap_at - offsets.size() + bitmap);
            for (std::size_t i = 0; i < extra; ++i) {
                std::memcpy(offsets.end(), &used, 4);
                offsets.advance(4);
            }
            out_offsets = reinterpret_cast<std::int32_t*>(offsets.data());
            if (bitmap != 0) validity = offsets.data() + bitmap_at;
            // Both buffers hold their spare bytes, so neither pointer is null.
            text.reserve_more(0);
            out_text = text.data();
            auto* keeper = new (std::nothrow) StorageKeeper(offsets.take(), text.take());
            if (keeper == nullptr) return out_of_memory();
            column_.keeper = KeeperRef::adopt(keeper);
        }
        if (validity != nullptr) fill_bitmap(validity, length_, static_cast<std::int64_t>(n));
        column_.length = length_;
        column_.null_count = length_ - static_cast<std::int64_t>(n);
        column_.buffers = {validity, out_offsets, out_text};
        return std::move(column_);
    }

    ValueColumn& values_;
    std::int64_t length_;
    std::int64_t bytes_ = 0;
    std::int32_t used_ = 0;
    unsigned char* validity_ = nullptr;
    std::int32_t* offsets_ = nullptr;
    unsigned char* text_ = nullptr;
    Column column_;
};

namespace {

// Columns filled side by side take at most this much new memory at once
// beyond the values they replace...
constexpr std::int64_t kGroupBytes = std::int64_t{8} << 20;
// ...and are filled this many rows at a time, so that the text of a block
// of rows is still in cache when the next column of the group reads it.
constexpr std::size_t kRowBlock = 2048;

Status fill_group(std::vector<TextColumn>& group, std::span<const ColumnRequest> requests,
                  Arena& arena, std::vector<Column>& out) {
    std::size_t rows = 0;
    for (const TextColumn& column : group) rows = std::max(rows, column.values());
    for (std::size_t begin = 0; begin < rows; begin += kRowBlock)
        for (TextColumn& column : group) column.fill(begin, begin + kRowBlock);
    for (TextColumn& column : group) {
        ARROW_ASSIGN_OR_RAISE(Column array, column.finish(arena));
        out.push_back(std::move(array));
    }
    group.clear();
    // The values now live in the arrays: give their storage back.
    for (const ColumnRequest& request : requests)
        if (request.values) request.values->clear();
    return Status::OK();
}

}  // namespace

ColumnBuilder::ColumnBuilder() = default;
ColumnBuilder::~ColumnBuilder() = default;

void ColumnBuilder::trim() {
    std::vector<TextColumn>().swap(group_);
}

// Columns are built in groups whose arrays together stay within kGroupBytes.
Status ColumnBuilder::build(std::span<const ColumnRequest> requests, Arena& arena,
                            std::vector<Column>& out) {
    std::vector<TextColumn>& group = group_;
    group.clear();          // left over from a call that failed
    std::size_t first = 0;  // first request of the open group
    std::int64_t group_bytes = 0;
    for (std::size_t k = 0; k < requests.size(); ++k) {
        const ColumnRequest& request = requests[k];
        if (request.values == nullptr) {
            ARROW_RETURN_NOT_OK(fill_group(group, requests.subspan(first, k - first), arena, out));
            ARROW_ASSIGN_OR_RAISE(Column nulls, null_column(arena, request.length, true));
            out.push_back(std::move(nulls));
            first = k + 1;
            group_bytes = 0;
            continue;
        }
        TextColumn column(*request.values, request.length);
        column.count();
        if (!group.empty() && group_bytes + column.footprint() > kGroupBytes) {
            ARROW_RETURN_NOT_OK(fill_group(group, requests.subspan(first, k - first), arena, out));
            first = k;
            group_bytes = 0;
        }
        ARROW_RETURN_NOT_OK(column.reserve(arena));
        group_bytes += column.footprint();
        group.push_back(std::move(column));
    }
    return fill_group(group, requests.subspan(first), arena, out);
}

arrow::Result<std::vector<Column>> build_columns(std::span<const ColumnRequest> requests,
                                                 Arena& arena) {
    std::vector<Column> out;
    out.reserve(requests.size());
    ColumnBuilder builder;
    ARROW_RETURN_NOT_OK(builder.build(requests, arena, out));
    return out;
}

}  // namespace quarzel::arrow_stage
