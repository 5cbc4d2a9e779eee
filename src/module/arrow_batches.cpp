#include "arrow_batches.hpp"

#include <arrow/util/bit_util.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../core/cell_text.hpp"

namespace quarzel::py {

namespace {

using arrow::Status;
using ArrayPtr = std::shared_ptr<arrow::Array>;

// Buffers come from malloc, so the storage the document gives back while
// the batches are built is reused for them.
arrow::MemoryPool* pool() {
    return arrow::system_memory_pool();
}

// A column's storage handed over to Arrow, and freed as the column would
// have freed it.
class ColumnBuffer final : public arrow::Buffer {
public:
    ColumnBuffer(ByteBuffer::Storage storage, std::int64_t size)
        : arrow::Buffer(storage.data, size), storage_(storage) {}
    ~ColumnBuffer() override { ByteBuffer::free_storage(storage_); }
    ColumnBuffer(const ColumnBuffer&) = delete;
    ColumnBuffer& operator=(const ColumnBuffer&) = delete;

private:
    ByteBuffer::Storage storage_;
};

// memcpy for the short texts that make up most columns, inline, touching no
// byte outside either range.
inline void copy_text(std::uint8_t* dst, std::string_view text) {
    const char* src = text.data();
    const std::size_t n = text.size();
    if (n >= 8) {
        if (n > 16) {
            std::memcpy(dst, src, n);
            return;
        }
        std::uint64_t head, tail;
        std::memcpy(&head, src, 8);
        std::memcpy(&tail, src + n - 8, 8);
        std::memcpy(dst, &head, 8);
        std::memcpy(dst + n - 8, &tail, 8);
    } else if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, src, 4);
        std::memcpy(&tail, src + n - 4, 4);
        std::memcpy(dst, &head, 4);
        std::memcpy(dst + n - 4, &tail, 4);
    } else if (n > 0) {
        dst[0] = static_cast<std::uint8_t>(src[0]);
        dst[n / 2] = static_cast<std::uint8_t>(src[n / 2]);
        dst[n - 1] = static_cast<std::uint8_t>(src[n - 1]);
    }
}

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

    // Allocates the offsets and the text for the counted size (a packed
    // column has both already).
    Status reserve() {
        if (bytes_ > std::numeric_limits<std::int32_t>::max())
            return Status::CapacityError("the text of one column exceeds 2147483647 bytes (",
                                         bytes_, ")");
        if (values_.packed()) return Status::OK();
        ARROW_ASSIGN_OR_RAISE(offsets_, arrow::AllocateResizableBuffer((length_ + 1) * 4, pool()));
        ARROW_ASSIGN_OR_RAISE(data_, arrow::AllocateResizableBuffer(bytes_, pool()));
        return Status::OK();
    }

    // Bytes the finished array takes (text and offsets).
    std::int64_t footprint() const { return values_.packed() ? 0 : bytes_ + 4 * length_; }
    std::size_t values() const { return values_.size(); }

    // Writes the values [begin, end), clamped to the values there are.
    // Locals throughout: stores through the byte pointer could alias any
    // member, which would be reloaded for every value.
    void fill(std::size_t begin, std::size_t end) {
        if (values_.packed()) return;
        const ValueColumn& values = values_;
        end = std::min(end, values.size());
        std::int32_t* const offset = offsets_->mutable_data_as<std::int32_t>();
        std::uint8_t* const text = data_->mutable_data();
        std::int32_t used = used_;
        for (std::size_t i = begin; i < end; ++i) {
            offset[i] = used;
            ValueColumn::Ref ref = values[i];
            if (ref.compound == nullptr) {
                copy_text(text + used, ref.text);
                used += static_cast<std::int32_t>(ref.text.size());
            } else {
                BufferWriter writer{text + used};
                put_cell(writer, *ref.compound, ref.root);
                used = static_cast<std::int32_t>(writer.out - text);
            }
        }
        used_ = used;
    }

    arrow::Result<ArrayPtr> finish() {
        if (values_.packed()) return finish_packed();
        const auto n = static_cast<std::int64_t>(values_.size());
        auto* offset = offsets_->mutable_data_as<std::int32_t>();
        std::fill(offset + n, offset + length_ + 1, used_);
        offsets_->ZeroPadding();
        data_->ZeroPadding();
        std::shared_ptr<arrow::Buffer> validity;
        if (n < length_) {
            ARROW_ASSIGN_OR_RAISE(validity, arrow::AllocateEmptyBitmap(length_, pool()));
            arrow::bit_util::SetBitsTo(validity->mutable_data(), 0, n, true);
        }
        return std::make_shared<arrow::StringArray>(length_, std::move(offsets_), std::move(data_),
                                                    std::move(validity), length_ - n);
    }

private:
    // The column's own buffers become the array's: offsets are added for
    // the null cells, then both are handed over.
    arrow::Result<ArrayPtr> finish_packed() {
        const auto n = static_cast<std::int64_t>(values_.size());
        ByteBuffer& offsets = values_.packed_offsets();
        ByteBuffer& text = values_.packed_text();
        const auto used = static_cast<std::int32_t>(bytes_);
        const auto extra = static_cast<std::size_t>(length_ - n);
        offsets.reserve_more(4 * extra);
        for (std::size_t i = 0; i < extra; ++i) {
            std::memcpy(offsets.end(), &used, 4);
            offsets.advance(4);
        }
        std::shared_ptr<arrow::Buffer> validity;
        if (n < length_) {
            ARROW_ASSIGN_OR_RAISE(validity, arrow::AllocateEmptyBitmap(length_, pool()));
            arrow::bit_util::SetBitsTo(validity->mutable_data(), 0, n, true);
        }
        // Both buffers hold their spare bytes, so neither pointer is null.
        text.reserve_more(0);
        const auto offsets_size = static_cast<std::int64_t>(offsets.size());
        auto offsets_buffer = std::make_shared<ColumnBuffer>(offsets.take(), offsets_size);
        auto text_buffer = std::make_shared<ColumnBuffer>(text.take(), bytes_);
        return std::make_shared<arrow::StringArray>(length_, std::move(offsets_buffer),
                                                    std::move(text_buffer), std::move(validity),
                                                    length_ - n);
    }

    ValueColumn& values_;
    std::int64_t length_;
    std::int64_t bytes_ = 0;
    std::int32_t used_ = 0;
    std::shared_ptr<arrow::ResizableBuffer> offsets_, data_;
};

// A column to build: the tag's values (null for a tag without any, which
// gives an all-null array) and the number of cells.
struct ColumnRequest {
    ValueColumn* values;
    std::int64_t length;
};

// Columns filled side by side take at most this much new memory at once
// beyond the values they replace...
constexpr std::int64_t kGroupBytes = std::int64_t{8} << 20;
// ...and are filled this many rows at a time, so that the text of a block
// of rows is still in cache when the next column of the group reads it.
constexpr std::size_t kRowBlock = 2048;

Status fill_group(std::vector<TextColumn>& group, std::span<const ColumnRequest> requests,
                  std::vector<ArrayPtr>& out) {
    std::size_t rows = 0;
    for (const TextColumn& column : group) rows = std::max(rows, column.values());
    for (std::size_t begin = 0; begin < rows; begin += kRowBlock)
        for (TextColumn& column : group) column.fill(begin, begin + kRowBlock);
    for (std::size_t k = 0; k < group.size(); ++k) {
        ARROW_ASSIGN_OR_RAISE(auto array, group[k].finish());
        out.push_back(std::move(array));
    }
    group.clear();
    // The values now live in the arrays: give their storage back.
    for (const ColumnRequest& request : requests)
        if (request.values) request.values->clear();
    return Status::OK();
}

// The arrays of `requests`, in order. Columns are built in groups whose
// arrays together stay within kGroupBytes, and each request's values are
// freed as soon as its group is done, so the document shrinks while the
// arrays grow.
arrow::Result<std::vector<ArrayPtr>> build_columns(std::span<const ColumnRequest> requests) {
    std::vector<ArrayPtr> out;
    out.reserve(requests.size());
    std::vector<TextColumn> group;
    group.reserve(requests.size());
    std::size_t first = 0;  // first request of the open group
    std::int64_t group_bytes = 0;
    for (std::size_t k = 0; k < requests.size(); ++k) {
        const ColumnRequest& request = requests[k];
        if (request.values == nullptr) {
            ARROW_RETURN_NOT_OK(fill_group(group, requests.subspan(first, k - first), out));
            ARROW_ASSIGN_OR_RAISE(auto nulls,
                                  arrow::MakeArrayOfNull(arrow::utf8(), request.length, pool()));
            out.push_back(std::move(nulls));
            first = k + 1;
            group_bytes = 0;
            continue;
        }
        TextColumn column(*request.values, request.length);
        column.count();
        if (!group.empty() && group_bytes + column.footprint() > kGroupBytes) {
            ARROW_RETURN_NOT_OK(fill_group(group, requests.subspan(first, k - first), out));
            first = k;
            group_bytes = 0;
        }
        ARROW_RETURN_NOT_OK(column.reserve());
        group_bytes += column.footprint();
        group.push_back(std::move(column));
    }
    ARROW_RETURN_NOT_OK(fill_group(group, requests.subspan(first), out));
    return out;
}

// The schemas of one document's batches, one per distinct list of tags:
// documents of many save frames repeat a few lists of tags many times, and
// a shared schema is built, exported and imported once.
class Schemas {
public:
    const std::shared_ptr<arrow::Schema>& of(std::span<const std::string_view> tags) {
        key_.clear();
        for (std::string_view tag : tags) {
            const auto n = static_cast<std::uint32_t>(tag.size());
            key_.append(reinterpret_cast<const char*>(&n), sizeof n);
            key_.append(tag);
        }
        auto it = cache_.find(key_);
        if (it == cache_.end()) it = cache_.emplace(key_, make(tags)).first;
        return it->second;
    }

private:
    static std::shared_ptr<arrow::Schema> make(std::span<const std::string_view> tags) {
        static const auto identity = std::array{
            arrow::field("_quarzel_block_idx", arrow::int32(), false),
            arrow::field("_block_name", arrow::utf8(), false),
            arrow::field("_frame_idx", arrow::int32(), true),
            arrow::field("_frame_name", arrow::utf8(), true),
            arrow::field("_loop_id", arrow::utf8(), false),
        };
        arrow::FieldVector fields(identity.begin(), identity.end());
        fields.reserve(identity.size() + tags.size());
        for (std::string_view tag : tags)
            fields.push_back(arrow::field(std::string(tag), arrow::utf8(), true));
        return arrow::schema(std::move(fields));
    }

    std::string key_;  // the tags, each led by its length
    std::unordered_map<std::string, std::shared_ptr<arrow::Schema>> cache_;
};

// Columns that repeat one value (or null) in every row, built by hand
// into one allocation: a handful of these per batch, and batches can be
// many and small (dictionaries have thousands of save frames).
class ConstantColumns {
public:
    explicit ConstantColumns(std::int64_t rows) : rows_(rows) {}

    std::size_t add_int32(std::int32_t value) {
        return add({Kind::Int32, value, {}, {}, part(4 * rows_)});
    }
    std::size_t add_text(std::string_view value) {
        const std::size_t offsets = part(4 * (rows_ + 1));
        return add(
            {Kind::Text, 0, value, offsets, part(static_cast<std::int64_t>(value.size()) * rows_)});
    }
    std::size_t add_null_int32() {
        return add({Kind::NullInt32, 0, {}, part(bitmap_size()), part(4 * rows_)});
    }
    std::size_t add_null_text() {
        const std::size_t bitmap = part(bitmap_size());
        return add({Kind::NullText, 0, {}, bitmap, part(4 * (rows_ + 1))});
    }

    // Allocates and fills every column added.
    Status allocate() {
        ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> buffer,
                              arrow::AllocateBuffer(size_, pool()));
        buffer_ = std::move(buffer);
        std::uint8_t* base = buffer_->mutable_data();
        // Each part is written once: filled columns with their value, null
        // ones with zeros (an all-clear bitmap, zero offsets and values).
        auto zero = [&](std::size_t at, std::int64_t bytes) {
            std::memset(base + at, 0, static_cast<std::size_t>(bytes));
        };
        for (const Column& c : columns_) {
            switch (c.kind) {
                case Kind::Int32: {
                    auto* v = reinterpret_cast<std::int32_t*>(base + c.second);
                    std::fill(v, v + rows_, c.value);
                    break;
                }
                case Kind::Text: {
                    auto* offsets = reinterpret_cast<std::int32_t*>(base + c.first);
                    const auto len = static_cast<std::int32_t>(c.text.size());
                    for (std::int64_t i = 0; i <= rows_; ++i)
                        offsets[i] = static_cast<std::int32_t>(i) * len;
                    std::uint8_t* out = base + c.second;
                    for (std::int64_t i = 0; i < rows_; ++i, out += len)
                        std::memcpy(out, c.text.data(), c.text.size());
                    break;
                }
                case Kind::NullInt32:
                    zero(c.first, bitmap_size());
                    zero(c.second, 4 * rows_);
                    break;
                case Kind::NullText:
                    zero(c.first, bitmap_size());
                    zero(c.second, 4 * (rows_ + 1));
                    break;
            }
        }
        return Status::OK();
    }

    ArrayPtr array(std::size_t k) const {
        const Column& c = columns_[k];
        switch (c.kind) {
            case Kind::Int32:
                return std::make_shared<arrow::Int32Array>(rows_, slice(c.second, 4 * rows_));
            case Kind::Text:
                return std::make_shared<arrow::StringArray>(
                    rows_, slice(c.first, 4 * (rows_ + 1)),
                    slice(c.second, static_cast<std::int64_t>(c.text.size()) * rows_));
            case Kind::NullInt32:
                return std::make_shared<arrow::Int32Array>(rows_, slice(c.second, 4 * rows_),
                                                           slice(c.first, bitmap_size()), rows_);
            case Kind::NullText:
                return std::make_shared<arrow::StringArray>(rows_, slice(c.second, 4 * (rows_ + 1)),
                                                            slice(c.second, 0),
                                                            slice(c.first, bitmap_size()), rows_);
        }
        return nullptr;
    }

private:
    enum class Kind : std::uint8_t { Int32, Text, NullInt32, NullText };
    struct Column {
        Kind kind;
        std::int32_t value;
        std::string_view text;
        std::size_t first;   // Text: offsets; null columns: bitmap
        std::size_t second;  // Int32 columns: values; Text: characters; NullText: offsets
    };

    std::int64_t bitmap_size() const { return (rows_ + 7) / 8; }
    // Reserves `bytes` (64-byte aligned) and returns their offset.
    std::size_t part(std::int64_t bytes) {
        const auto at = static_cast<std::size_t>(size_);
        size_ += (bytes + 63) / 64 * 64;
        return at;
    }
    std::size_t add(Column c) {
        columns_.push_back(c);
        return columns_.size() - 1;
    }
    std::shared_ptr<arrow::Buffer> slice(std::size_t at, std::int64_t size) const {
        return arrow::SliceBuffer(buffer_, static_cast<std::int64_t>(at), size);
    }

    std::int64_t rows_;
    std::int64_t size_ = 0;
    std::vector<Column> columns_;
    std::shared_ptr<arrow::Buffer> buffer_;
};

// Where a batch comes from.
struct FrameId {
    std::int32_t block_index;
    std::string_view block_name;
    std::optional<std::int32_t> frame_index;  // none for the block itself
    std::string_view frame_name;
};

// Builds the batches of one block or save frame.
class FrameConverter {
public:
    FrameConverter(FrameData& data, const FrameId& id, Schemas& schemas, const BatchSink& sink)
        : data_(data), id_(id), schemas_(schemas), sink_(sink) {}

    Status run() {
        std::unordered_set<std::string_view> in_loops;
        for (const auto& loop : data_.loops)
            for (std::string_view tag : loop) in_loops.insert(tag);

        std::vector<std::string_view> scalar_tags;
        std::int64_t rows = 0;
        for (std::string_view tag : data_.tag_order) {
            if (in_loops.contains(tag)) continue;
            scalar_tags.push_back(tag);
            if (const ValueColumn* column = data_.find(tag))
                rows = std::max(rows, static_cast<std::int64_t>(column->size()));
        }
        if (rows > 0) {
            // Every column has the batch's row count: shorter ones end in nulls.
            std::vector<ColumnRequest> requests;
            for (std::string_view tag : scalar_tags) requests.push_back({values_of(tag), rows});
            ARROW_ASSIGN_OR_RAISE(auto columns, build_columns(requests));
            ARROW_RETURN_NOT_OK(emit("__scalars__", scalar_tags, rows, std::move(columns)));
        }

        for (std::size_t n = 0; n < data_.loops.size(); ++n) {
            const std::vector<std::string_view>& tags = data_.loops[n];
            if (tags.empty()) continue;
            const std::int64_t loop_rows = value_count(tags.front());
            if (loop_rows == 0) continue;
            // A loop column holds every value of its tag (its own length,
            // checked against the batch's), so a tag in several columns or
            // loops shares one array.
            std::vector<ColumnRequest> requests;
            std::vector<std::string_view> requested;
            // Hashed, so that a loop of many tags costs no more than linear.
            std::unordered_set<std::string_view> seen;
            for (std::string_view tag : tags) {
                if (built_.contains(tag) || !seen.insert(tag).second) continue;
                if (ValueColumn* values = values_of(tag)) {
                    requests.push_back({values, 0});
                    requested.push_back(tag);
                }
            }
            ARROW_ASSIGN_OR_RAISE(auto arrays, build_columns(requests));
            for (std::size_t k = 0; k < arrays.size(); ++k)
                built_.emplace(requested[k], std::move(arrays[k]));

            std::vector<ArrayPtr> columns;
            columns.reserve(tags.size());
            for (std::string_view tag : tags) {
                auto it = built_.find(tag);
                if (it != built_.end()) {
                    columns.push_back(it->second);
                } else {
                    ARROW_ASSIGN_OR_RAISE(auto nulls,
                                          arrow::MakeArrayOfNull(arrow::utf8(), loop_rows, pool()));
                    columns.push_back(std::move(nulls));
                }
            }
            ARROW_RETURN_NOT_OK(
                emit("__loop_" + std::to_string(n) + "__", tags, loop_rows, std::move(columns)));
        }
        return Status::OK();
    }

private:
    ValueColumn* values_of(std::string_view tag) { return data_.find(tag); }

    // Values a tag has (or had, before its array was built).
    std::int64_t value_count(std::string_view tag) const {
        auto cached = built_.find(tag);
        if (cached != built_.end()) return cached->second->length();
        const ValueColumn* column = data_.find(tag);
        return column ? static_cast<std::int64_t>(column->size()) : 0;
    }

    // The four identity columns that depend only on the frame and the row
    // count; loops of equal length share them.
    arrow::Result<std::array<ArrayPtr, 4>> identity(std::int64_t rows) {
        for (const auto& [count, arrays] : identity_)
            if (count == rows) return arrays;
        std::array<ArrayPtr, 4> arrays;
        const bool in_frame = id_.frame_index.has_value();
        ConstantColumns block(rows);
        const std::size_t block_index = block.add_int32(id_.block_index);
        const std::size_t block_name = block.add_text(id_.block_name);
        const std::size_t frame_index =
            in_frame ? block.add_int32(*id_.frame_index) : block.add_null_int32();
        const std::size_t frame_name =
            in_frame ? block.add_text(id_.frame_name) : block.add_null_text();
        ARROW_RETURN_NOT_OK(block.allocate());
        arrays[0] = block.array(block_index);
        arrays[1] = block.array(block_name);
        arrays[2] = block.array(frame_index);
        arrays[3] = block.array(frame_name);
        identity_.emplace_back(rows, arrays);
        return arrays;
    }

    Status emit(const std::string& loop_id, std::span<const std::string_view> tags,
                std::int64_t rows, std::vector<ArrayPtr> tag_columns) {
        // Every column must have the batch's row count.
        for (std::size_t k = 0; k < tag_columns.size(); ++k)
            if (tag_columns[k]->length() != rows)
                return mismatch(loop_id, tags[k], tag_columns[k]->length(), rows);
        ARROW_ASSIGN_OR_RAISE(auto ids, identity(rows));
        std::vector<ArrayPtr> columns;
        columns.reserve(ids.size() + 1 + tag_columns.size());
        columns.assign(ids.begin(), ids.end());
        ConstantColumns loop(rows);
        const std::size_t loop_column = loop.add_text(loop_id);
        ARROW_RETURN_NOT_OK(loop.allocate());
        columns.push_back(loop.array(loop_column));
        for (auto& column : tag_columns) columns.push_back(std::move(column));
        return sink_(arrow::RecordBatch::Make(schemas_.of(tags), rows, std::move(columns)));
    }

    Status mismatch(const std::string& loop_id, std::string_view tag, std::int64_t length,
                    std::int64_t rows) const {
        std::string where = loop_id + " of block " + quoted(id_.block_name);
        if (id_.frame_index) where += ", save frame " + quoted(id_.frame_name);
        return Status::Invalid(kLengthMismatch, ": column ", quoted(tag), " of ", where, " has ",
                               length, " value(s) but the batch has ", rows, " row(s)");
    }

    FrameData& data_;
    const FrameId& id_;
    Schemas& schemas_;
    const BatchSink& sink_;
    std::unordered_map<std::string_view, ArrayPtr> built_;
    std::vector<std::pair<std::int64_t, std::array<ArrayPtr, 4>>> identity_;
};

arrow::Result<std::int32_t> index32(std::size_t index) {
    if (index > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return Status::CapacityError("more than 2147483647 data blocks or save frames");
    return static_cast<std::int32_t>(index);
}

Status convert_frame(FrameData& data, const FrameId& id, Schemas& schemas, const BatchSink& sink) {
    ARROW_RETURN_NOT_OK(FrameConverter(data, id, schemas, sink).run());
    data.release_values();  // every value has been handed over
    return Status::OK();
}

}  // namespace

Status document_batches(ParsedCif& document, const BatchSink& sink) {
    Schemas schemas;
    for (std::size_t b = 0; b < document.blocks.size(); ++b) {
        ParsedBlock& block = document.blocks[b];
        ARROW_ASSIGN_OR_RAISE(auto block_index, index32(b));
        ARROW_RETURN_NOT_OK(
            convert_frame(block.data, {block_index, block.name, std::nullopt, {}}, schemas, sink));
        for (std::size_t f = 0; f < block.save_frames.size(); ++f) {
            ParsedSaveFrame& frame = block.save_frames[f];
            ARROW_ASSIGN_OR_RAISE(auto frame_index, index32(f));
            ARROW_RETURN_NOT_OK(convert_frame(
                frame.data, {block_index, block.name, frame_index, frame.name}, schemas, sink));
        }
    }
    return Status::OK();
}

}  // namespace quarzel::py
