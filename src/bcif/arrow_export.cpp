#include "bcif/arrow_export.hpp"

#include <arrow/array.h>
#include <arrow/buffer.h>
#include <arrow/memory_pool.h>
#include <arrow/table.h>
#include <arrow/type.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace quarzel::bcif {

namespace {

std::size_t round8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}
std::size_t bitmap_bytes(std::int64_t rows) {
    return round8((static_cast<std::size_t>(rows) + 7) / 8);
}

// The status dictionaries: "number" or "text", then "inapplicable", "unknown".
constexpr std::int32_t kNumberOffsets[4] = {0, 6, 18, 25};
constexpr char kNumberText[] = "numberinapplicableunknown";
constexpr std::int32_t kTextOffsets[4] = {0, 4, 16, 23};
constexpr char kTextText[] = "textinapplicableunknown";

const std::shared_ptr<arrow::DataType>& status_type() {
    static const auto type = arrow::dictionary(arrow::int8(), arrow::utf8());
    return type;
}

// A status column's dictionary (for a string column or a numeric one),
// made once over the constants above.
std::shared_ptr<arrow::ArrayData> make_dictionary(const std::int32_t* offsets, const char* text) {
    auto wrap = [](const void* p, std::size_t n) {
        return std::make_shared<arrow::Buffer>(static_cast<const std::uint8_t*>(p),
                                               static_cast<std::int64_t>(n));
    };
    return arrow::ArrayData::Make(arrow::utf8(), 3,
                                  {nullptr, wrap(offsets, 4 * sizeof(std::int32_t)),
                                   wrap(text, static_cast<std::size_t>(offsets[3]))},
                                  0);
}
const std::shared_ptr<arrow::ArrayData>& status_dictionary(bool text) {
    static const auto number = make_dictionary(kNumberOffsets, kNumberText);
    static const auto strings = make_dictionary(kTextOffsets, kTextText);
    return text ? strings : number;
}

const std::shared_ptr<arrow::DataType>& type_of(char format) {
    static const auto i = arrow::int32(), l = arrow::int64(), g = arrow::float64(),
                      u = arrow::utf8();
    switch (format) {
        case 'i':
            return i;
        case 'l':
            return l;
        case 'g':
            return g;
        case 'u':
            return u;
        default:
            return status_type();
    }
}

// Bump allocation within a block, 8-aligned.
struct Cursor {
    unsigned char* p;
    template <class T>
    T* take(std::size_t count) {
        auto* out = reinterpret_cast<T*>(p);
        p += round8(count * sizeof(T));
        return out;
    }
};

// Where a distinct string's bytes are copied from, and how many.
struct Source {
    const char* from;
    std::uint32_t size;
};

}  // namespace

arrow::Status CategoryExport::plan(std::int64_t rows, std::span<const NamedColumn> columns,
                                   Budget* budget) {
    rows_ = rows;
    fields_.clear();
    key_.clear();
    data_bytes_ = 0;
    const auto n = static_cast<std::size_t>(rows);
    auto taken = [&](std::string_view name) {
        for (const Field& f : fields_)
            if (f.name == name) return true;
        for (const NamedColumn& c : columns)
            if (c.name == name) return true;
        return false;
    };
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const NamedColumn& c = columns[i];
        bool repeated = false;  // a name given twice: the first counts
        for (std::size_t j = 0; j < i && !repeated; ++j) repeated = columns[j].name == c.name;
        if (repeated) continue;
        const DecodedColumn& v = c.values;
        const bool masked = !v.mask.empty();
        Field f{&c, std::string(c.name), 'i', 0, 0};
        std::size_t bytes = masked ? bitmap_bytes(rows) : 0;
        if (v.is_string) {
            f.format = 'u';
            const Strings& s = v.strings;
            // Every row's text is counted when decoded; masked rows count none.
            std::uint64_t total = s.text;
            if (masked) {
                total = 0;
                for (std::size_t r = 0; r < n; ++r)
                    if (v.mask[r] == 0)
                        total += s.items[static_cast<std::size_t>(s.index[r])].size();
            }
            if (budget && !budget->take_text(total)) return arrow::Status::Invalid("text budget");
            if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
                return arrow::Status::CapacityError("more than 2 GiB of text in one column");
            f.text = total;
            bytes += round8(4 * (n + 1)) + round8(total + 16);
        } else if (v.numbers.fixed() || v.numbers.floating()) {
            f.format = 'g';
            bytes += round8(8 * n);
        } else if (v.numbers.type == DType::Uint32) {
            f.format = 'l';
            bytes += round8(8 * n);
        } else {
            bytes += round8(4 * n);
        }
        f.bytes = bytes;
        data_bytes_ += bytes;
        fields_.push_back(std::move(f));
        if (!masked) continue;
        std::string status = std::string(c.name) + "_status";
        while (taken(status)) status += '_';
        fields_.push_back({&c, std::move(status), 'c', 0, round8(n)});
        data_bytes_ += round8(n);
    }
    for (const Field& f : fields_) {
        key_ += f.format;
        key_ += f.name;
        key_ += '\0';
    }
    return arrow::Status::OK();
}

std::shared_ptr<arrow::Schema> CategoryExport::schema() const {
    // Schemas by key, kept across calls (files of one kind repeat their
    // categories' schemas); bounded, and never freed (tables handed out may
    // hold them at exit).
    static std::mutex lock;
    static auto* known = new std::unordered_map<std::string, std::shared_ptr<arrow::Schema>>();
    constexpr std::size_t kMaxKnown = 4096;
    {
        const std::lock_guard<std::mutex> held(lock);
        auto it = known->find(key_);
        if (it != known->end()) return it->second;
    }
    arrow::FieldVector fields;
    fields.reserve(fields_.size());
    for (const Field& f : fields_) fields.push_back(arrow::field(f.name, type_of(f.format)));
    auto made = arrow::schema(std::move(fields));
    const std::lock_guard<std::mutex> held(lock);
    if (known->size() >= kMaxKnown) known->clear();
    return known->emplace(key_, std::move(made)).first->second;
}

arrow::Result<std::shared_ptr<arrow::Table>> CategoryExport::table() const {
    const auto rows = static_cast<std::size_t>(rows_);
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> block,
                          arrow::AllocateBuffer(static_cast<std::int64_t>(data_bytes_)));
    unsigned char* const base = block->mutable_data();
    Cursor at{base};
    // A slice of the block: `n` bytes from `p`.
    auto slice = [&](const void* p, std::size_t n) {
        return arrow::SliceBuffer(block, static_cast<const unsigned char*>(p) - base,
                                  static_cast<std::int64_t>(n));
    };
    std::vector<std::shared_ptr<arrow::Array>> arrays;
    arrays.reserve(fields_.size());
    for (const Field& f : fields_) {
        const DecodedColumn& v = f.column->values;
        const bool masked = !v.mask.empty();
        std::int64_t nulls = 0;
        std::shared_ptr<arrow::Buffer> validity;
        if (f.format == 'c') {
            auto* idx = at.take<std::int8_t>(rows);
            if (rows) std::memcpy(idx, v.mask.data(), rows);
            auto data =
                arrow::ArrayData::Make(status_type(), rows_, {nullptr, slice(idx, rows)}, 0);
            data->dictionary = status_dictionary(v.is_string);
            arrays.push_back(arrow::MakeArray(std::move(data)));
            continue;
        }
        if (masked) {
            const std::size_t n = bitmap_bytes(rows_);
            auto* bits = at.take<std::uint8_t>(n);
            std::memset(bits, 0, n);
            for (std::size_t r = 0; r < rows; ++r) {
                if (v.mask[r] == 0)
                    bits[r >> 3] |= static_cast<std::uint8_t>(1u << (r & 7));
                else
                    ++nulls;
            }
            validity = slice(bits, (rows + 7) / 8);
        }
        const Numbers& num = v.numbers;
        arrow::BufferVector buffers{std::move(validity)};
        switch (f.format) {
            case 'i': {
                auto* p = at.take<std::int32_t>(rows);
                for (std::size_t r = 0; r < rows; ++r)
                    p[r] = static_cast<std::int32_t>(num.ints[r]);
                buffers.push_back(slice(p, rows * sizeof(std::int32_t)));
                break;
            }
            case 'l': {
                auto* p = at.take<std::int64_t>(rows);
                if (rows) std::memcpy(p, num.ints.data(), rows * sizeof(std::int64_t));
                buffers.push_back(slice(p, rows * sizeof(std::int64_t)));
                break;
            }
            case 'g': {
                auto* p = at.take<double>(rows);
                if (num.fixed()) {
                    double scale = 1;
                    for (int k = 0; k < num.decimals; ++k) scale *= 10;
                    for (std::size_t r = 0; r < rows; ++r)
                        p[r] = static_cast<double>(num.ints[r]) / scale;
                } else if (rows) {
                    std::memcpy(p, num.floats.data(), rows * sizeof(double));
                }
                buffers.push_back(slice(p, rows * sizeof(double)));
                break;
            }
            default: {  // 'u'
                const Strings& s = v.strings;
                auto* off = at.take<std::int32_t>(rows + 1);
                char* text = at.take<char>(f.text + 16);
                // Short strings are copied 16 bytes at a time (the text
                // buffer has 16 bytes of room at its end). A string that
                // starts within the last 16 bytes of the string data is
                // copied from `tail`, those bytes with zeros after them.
                // Where to copy each distinct string from is worked out
                // once, not per row.
                const char* const end = s.data.data() + s.data.size();
                const std::size_t tail_size = std::min<std::size_t>(s.data.size(), 16);
                const char* const tail_from = end - tail_size;
                char tail[32] = {};
                if (tail_size) std::memcpy(tail, tail_from, tail_size);
                thread_local PodVector<Source> sources;
                sources.resize(s.items.size());
                for (std::size_t k = 0; k < s.items.size(); ++k) {
                    const std::string_view t = s.items[k];
                    const char* from = t.data();
                    if (t.size() <= 16 && from >= tail_from) from = tail + (from - tail_from);
                    sources[k] = {from, static_cast<std::uint32_t>(t.size())};
                }
                const Source* const src = sources.data();
                const std::int32_t* const index = s.index.data();
                std::int32_t pos = 0;
                off[0] = 0;
                for (std::size_t r = 0; r < rows; ++r) {
                    if (!masked || v.mask[r] == 0) {
                        const Source& t = src[index[r]];
                        if (t.size <= 16) [[likely]]
                            std::memcpy(text + pos, t.from, 16);
                        else
                            std::memcpy(text + pos, t.from, t.size);
                        pos += static_cast<std::int32_t>(t.size);
                    }
                    off[r + 1] = pos;
                }
                buffers.push_back(slice(off, (rows + 1) * sizeof(std::int32_t)));
                buffers.push_back(slice(text, f.text));
                break;
            }
        }
        arrays.push_back(arrow::MakeArray(
            arrow::ArrayData::Make(type_of(f.format), rows_, std::move(buffers), nulls)));
    }
    return arrow::Table::Make(schema(), std::move(arrays), rows_);
}

}  // namespace quarzel::bcif
