// The rows of one category gathered by a worker: text columns, identity
// columns (one value for many rows) and the buffer of one table.
#pragma once

#include <arrow/api.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarzel::dataset {

constexpr std::string_view kFileColumn = "_file";
constexpr std::string_view kBlockColumn = "_block_name";
constexpr std::string_view kFrameColumn = "_frame_name";

// Hashing for maps keyed by std::string that are searched with views.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};
template <class V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

// One text column being filled: cell texts back to back, the end of each
// after a leading 0, and a validity byte per cell.
struct TextColumn {
    std::string name;
    std::string bytes;
    std::vector<std::int32_t> ends{0};
    std::vector<std::uint8_t> valid;  // empty while there is no null
    std::size_t nulls = 0;

    std::size_t size() const noexcept { return ends.size() - 1; }
    void push(std::string_view text) {
        bytes.append(text);
        ends.push_back(static_cast<std::int32_t>(bytes.size()));
        if (nulls) valid.push_back(1);
    }
    // Marks the last `n` cells valid (after their ends were written).
    void valid_cells(std::size_t n) {
        if (nulls) valid.insert(valid.end(), n, 1);
    }
    void push_nulls(std::size_t n) {
        if (n == 0) return;
        if (nulls == 0) valid.assign(size(), 1);
        ends.insert(ends.end(), n, static_cast<std::int32_t>(bytes.size()));
        valid.insert(valid.end(), n, 0);
        nulls += n;
    }
    // Room for `rows` more cells of `bytes` bytes in all, growing by half
    // at least (exact reservations from call to call would copy each time).
    void reserve_more(std::size_t rows, std::size_t text) {
        if (ends.capacity() < ends.size() + rows) {
            const std::size_t n =
                std::max(ends.size() + rows, ends.capacity() + ends.capacity() / 2);
            ends.reserve(n);
            if (nulls) valid.reserve(n);
        }
        if (bytes.capacity() < bytes.size() + text)
            bytes.reserve(std::max(bytes.size() + text, bytes.capacity() + bytes.capacity() / 2));
    }
    void pad_to(std::size_t rows) {
        if (size() < rows) push_nulls(rows - size());
    }
    // Empties the column; its storage is kept unless it has grown large.
    void reset() {
        constexpr std::size_t kKeep = std::size_t{4} << 20;
        if (bytes.capacity() > kKeep) std::string().swap(bytes);
        if (ends.capacity() * 4 > kKeep) std::vector<std::int32_t>().swap(ends);
        if (valid.capacity() > kKeep) std::vector<std::uint8_t>().swap(valid);
        bytes.clear();
        ends.assign(1, 0);
        valid.clear();
        nulls = 0;
    }
    // The column as an Arrow array over this object's storage, which must
    // stay unchanged while the array is in use.
    std::shared_ptr<arrow::Array> array(arrow::MemoryPool* pool) {
        const auto rows = static_cast<std::int64_t>(size());
        std::shared_ptr<arrow::Buffer> bitmap;
        if (nulls != 0) {
            auto made = arrow::AllocateBitmap(rows, pool);
            if (!made.ok()) throw std::bad_alloc();
            bitmap = std::move(made).ValueUnsafe();
            std::uint8_t* bits = bitmap->mutable_data();
            std::memset(bits, 0, static_cast<std::size_t>((rows + 7) / 8));
            for (std::int64_t i = 0; i < rows; ++i)
                if (valid[i]) bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        }
        auto offsets = arrow::Buffer::Wrap(ends.data(), ends.size());
        auto data =
            std::make_shared<arrow::Buffer>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            static_cast<std::int64_t>(bytes.size()));
        return arrow::MakeArray(arrow::ArrayData::Make(arrow::utf8(), rows, {bitmap, offsets, data},
                                                       static_cast<std::int64_t>(nulls)));
    }
};

// An identity column (_file, _block_name, _frame_name): one value for many
// rows, kept as a code per row into the distinct values, and written as
// a dictionary array, which the Parquet writer stores as it is.
struct IdColumn {
    std::string name;
    std::vector<std::string> values;
    TextMap<std::int32_t> code_of;
    std::vector<std::int32_t> codes;  // -1: null
    std::size_t nulls = 0;

    std::size_t size() const noexcept { return codes.size(); }
    void push(std::string_view value, std::size_t rows) {
        auto [it, added] =
            code_of.try_emplace(std::string(value), static_cast<std::int32_t>(values.size()));
        if (added) values.emplace_back(value);
        codes.insert(codes.end(), rows, it->second);
    }
    void pad_to(std::size_t rows) {
        if (codes.size() < rows) {
            nulls += rows - codes.size();
            codes.resize(rows, -1);
        }
    }
    void reset() {
        values.clear();
        code_of.clear();
        codes.clear();
        nulls = 0;
    }
    static const std::shared_ptr<arrow::DataType>& type() {
        static const auto t = arrow::dictionary(arrow::int32(), arrow::utf8());
        return t;
    }
    std::shared_ptr<arrow::Array> array(arrow::MemoryPool* pool) {
        const auto rows = static_cast<std::int64_t>(codes.size());
        std::shared_ptr<arrow::Buffer> bitmap;
        if (nulls != 0) {
            auto made = arrow::AllocateBitmap(rows, pool);
            if (!made.ok()) throw std::bad_alloc();
            bitmap = std::move(made).ValueUnsafe();
            std::uint8_t* bits = bitmap->mutable_data();
            std::memset(bits, 0, static_cast<std::size_t>((rows + 7) / 8));
            for (std::int64_t i = 0; i < rows; ++i)
                if (codes[i] >= 0) bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        }
        auto indices = arrow::MakeArray(arrow::ArrayData::Make(
            arrow::int32(), rows, {bitmap, arrow::Buffer::Wrap(codes.data(), codes.size())},
            static_cast<std::int64_t>(nulls)));
        arrow::StringBuilder dict(pool);
        for (const std::string& v : values)
            if (!dict.Append(v).ok()) throw std::bad_alloc();
        std::shared_ptr<arrow::Array> dictionary;
        if (!dict.Finish(&dictionary).ok()) throw std::bad_alloc();
        return std::make_shared<arrow::DictionaryArray>(type(), indices, dictionary);
    }
};

// The rows of one category gathered by a worker since its last row group.
struct TableBuffer {
    IdColumn ids[3];                                   // _file, _block_name, _frame_name
    std::vector<std::unique_ptr<TextColumn>> columns;  // the tags, in order of first appearance
    TextMap<TextColumn*> by_name;
    std::size_t rows = 0;
    std::size_t bytes = 0;
    std::uint64_t unflushed_rows = 0;  // counted in the summary once written

    TableBuffer() {
        ids[0].name = kFileColumn;
        ids[1].name = kBlockColumn;
        ids[2].name = kFrameColumn;
    }
    TextColumn& column(std::string_view name) {
        auto it = by_name.find(name);
        if (it != by_name.end()) return *it->second;
        auto& c = columns.emplace_back(std::make_unique<TextColumn>());
        c->name = name;
        by_name.emplace(c->name, c.get());
        return *c;
    }
    void reset() {
        for (auto& id : ids) id.reset();
        for (auto& c : columns) c->reset();
        rows = 0;
        bytes = 0;
    }
};

}  // namespace quarzel::dataset
