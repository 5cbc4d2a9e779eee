#include "bcif/arrow_export.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace quarzel::bcif {

namespace {

std::size_t round8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}
std::size_t bitmap_bytes(std::int64_t rows) {
    return round8((static_cast<std::size_t>(rows) + 7) / 8);
}

// One allocation (malloc, so 16-aligned) holding C structs (and data) that are released one by one:
// freed when the last is.
struct alignas(16) Shared {
    std::atomic<std::int64_t> live;
    static Shared* make(std::size_t bytes, std::int64_t parts) {
        void* memory = std::malloc(sizeof(Shared) + bytes);
        if (!memory) return nullptr;
        auto* b = new (memory) Shared{};
        b->live.store(parts, std::memory_order_relaxed);
        return b;
    }
    unsigned char* data() { return reinterpret_cast<unsigned char*>(this + 1); }
    void drop() {
        if (live.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        this->~Shared();
        std::free(this);
    }
};

void release_array(ArrowArray* a) {
    for (std::int64_t i = 0; i < a->n_children; ++i)
        if (a->children[i]->release) a->children[i]->release(a->children[i]);
    if (a->dictionary && a->dictionary->release) a->dictionary->release(a->dictionary);
    auto* block = static_cast<Shared*>(a->private_data);
    a->release = nullptr;
    block->drop();
}

void release_schema(ArrowSchema* s) {
    for (std::int64_t i = 0; i < s->n_children; ++i)
        if (s->children[i]->release) s->children[i]->release(s->children[i]);
    if (s->dictionary && s->dictionary->release) s->dictionary->release(s->dictionary);
    auto* block = static_cast<Shared*>(s->private_data);
    s->release = nullptr;
    block->drop();
}

// The status dictionaries: "number" or "text", then "inapplicable", "unknown".
constexpr std::int32_t kNumberOffsets[4] = {0, 6, 18, 25};
constexpr char kNumberText[] = "numberinapplicableunknown";
constexpr std::int32_t kTextOffsets[4] = {0, 4, 16, 23};
constexpr char kTextText[] = "textinapplicableunknown";

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

}  // namespace

arrow::Status CategoryExport::plan(std::int64_t rows, std::span<const NamedColumn> columns,
                                   Budget* budget) {
    rows_ = rows;
    fields_.clear();
    key_.clear();
    statuses_ = 0;
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
            std::uint64_t total = 0;
            const Strings& s = v.strings;
            for (std::size_t r = 0; r < n; ++r)
                if (!masked || v.mask[r] == 0)
                    total += s.items[static_cast<std::size_t>(s.index[r])].size();
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
        ++statuses_;
    }
    for (const Field& f : fields_) {
        key_ += f.format;
        key_ += f.name;
        key_ += '\0';
    }
    return arrow::Status::OK();
}

arrow::Status CategoryExport::schema(ArrowSchema* out) const {
    const std::size_t n = fields_.size();
    std::size_t names = 0;
    for (const Field& f : fields_) names += f.name.size() + 1;
    const std::size_t schemas = 1 + n + statuses_;
    const std::size_t bytes =
        round8(schemas * sizeof(ArrowSchema)) + round8(n * sizeof(ArrowSchema*)) + round8(names);
    Shared* block = Shared::make(bytes, static_cast<std::int64_t>(schemas));
    if (!block) return arrow::Status::OutOfMemory("exporting a schema");
    Cursor at{block->data()};
    ArrowSchema* all = at.take<ArrowSchema>(schemas);
    ArrowSchema** children = at.take<ArrowSchema*>(n);
    char* text = at.take<char>(names);
    ArrowSchema* dictionaries = all + 1 + n;
    std::size_t d = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Field& f = fields_[i];
        std::memcpy(text, f.name.c_str(), f.name.size() + 1);
        ArrowSchema* dict = nullptr;
        const char* format = f.format == 'i'   ? "i"
                             : f.format == 'l' ? "l"
                             : f.format == 'g' ? "g"
                             : f.format == 'u' ? "u"
                                               : "c";
        if (f.format == 'c') {
            dict = &dictionaries[d++];
            *dict =
                ArrowSchema{"u", nullptr, nullptr, 0, 0, nullptr, nullptr, &release_schema, block};
        }
        all[1 + i] = ArrowSchema{
            format, text, nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, dict, &release_schema, block};
        children[i] = &all[1 + i];
        text += f.name.size() + 1;
    }
    all[0] = ArrowSchema{"+s",     nullptr, nullptr,         0,    static_cast<std::int64_t>(n),
                         children, nullptr, &release_schema, block};
    *out = all[0];
    // The parent lives in the caller's struct; the copy in the block is unused.
    return arrow::Status::OK();
}

arrow::Status CategoryExport::array(ArrowArray* out) const {
    const std::size_t n = fields_.size();
    const auto rows = static_cast<std::size_t>(rows_);
    const std::size_t arrays = 1 + n + statuses_;
    const std::size_t head = round8(arrays * sizeof(ArrowArray)) + round8(n * sizeof(ArrowArray*)) +
                             round8((1 + 3 * arrays) * sizeof(void*));
    // Buffers start 64-aligned within the block.
    const std::size_t bytes = head + 64 + data_bytes_;
    Shared* block = Shared::make(bytes, static_cast<std::int64_t>(arrays));
    if (!block) return arrow::Status::OutOfMemory("exporting a category");
    Cursor at{block->data()};
    ArrowArray* all = at.take<ArrowArray>(arrays);
    ArrowArray** children = at.take<ArrowArray*>(n);
    const void** buffers = at.take<const void*>(1 + 3 * arrays);
    const auto misalign = reinterpret_cast<std::uintptr_t>(at.p) % 64;
    at.p += misalign ? 64 - misalign : 0;
    ArrowArray* dictionaries = all + 1 + n;
    std::size_t d = 0;
    const void** next_buffers = buffers + 1;
    buffers[0] = nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        const Field& f = fields_[i];
        const DecodedColumn& v = f.column->values;
        const bool masked = !v.mask.empty();
        std::int64_t nulls = 0;
        const void** b = next_buffers;
        next_buffers += 3;
        b[0] = nullptr;
        ArrowArray* dict = nullptr;
        std::int64_t n_buffers = 2;
        if (f.format == 'c') {
            auto* idx = at.take<std::int8_t>(rows);
            std::memcpy(idx, v.mask.data(), rows);
            b[1] = idx;
            dict = &dictionaries[d++];
            const void** db = next_buffers;
            next_buffers += 3;
            db[0] = nullptr;
            db[1] = v.is_string ? kTextOffsets : kNumberOffsets;
            db[2] = v.is_string ? kTextText : kNumberText;
            *dict = ArrowArray{3, 0, 0, 3, 0, db, nullptr, nullptr, &release_array, block};
        } else {
            if (masked) {
                auto* bits = at.take<std::uint8_t>(bitmap_bytes(rows_));
                std::memset(bits, 0, bitmap_bytes(rows_));
                for (std::size_t r = 0; r < rows; ++r) {
                    if (v.mask[r] == 0)
                        bits[r >> 3] |= static_cast<std::uint8_t>(1u << (r & 7));
                    else
                        ++nulls;
                }
                b[0] = bits;
            }
            const Numbers& num = v.numbers;
            switch (f.format) {
                case 'i': {
                    auto* p = at.take<std::int32_t>(rows);
                    for (std::size_t r = 0; r < rows; ++r)
                        p[r] = static_cast<std::int32_t>(num.ints[r]);
                    b[1] = p;
                    break;
                }
                case 'l': {
                    auto* p = at.take<std::int64_t>(rows);
                    if (rows) std::memcpy(p, num.ints.data(), rows * sizeof(std::int64_t));
                    b[1] = p;
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
                    b[1] = p;
                    break;
                }
                default: {  // 'u'
                    n_buffers = 3;
                    const Strings& s = v.strings;
                    auto* off = at.take<std::int32_t>(rows + 1);
                    char* text = at.take<char>(f.text + 16);
                    const char* end = s.data.data() + s.data.size();
                    std::int32_t pos = 0;
                    off[0] = 0;
                    for (std::size_t r = 0; r < rows; ++r) {
                        if (!masked || v.mask[r] == 0) {
                            const std::string_view t =
                                s.items[static_cast<std::size_t>(s.index[r])];
                            // Short strings with 16 bytes of string data after
                            // their start: one 16-byte copy.
                            if (t.size() <= 16 && end - t.data() >= 16)
                                std::memcpy(text + pos, t.data(), 16);
                            else if (!t.empty())
                                std::memcpy(text + pos, t.data(), t.size());
                            pos += static_cast<std::int32_t>(t.size());
                        }
                        off[r + 1] = pos;
                    }
                    b[1] = off;
                    b[2] = text;
                    break;
                }
            }
        }
        all[1 + i] = ArrowArray{
            rows_, nullptr == dict ? nulls : 0, 0, n_buffers, 0, b, nullptr, dict, &release_array,
            block};
        children[i] = &all[1 + i];
    }
    *out = ArrowArray{
        rows_,          0,    0, 1, static_cast<std::int64_t>(n), buffers, children, nullptr,
        &release_array, block};
    return arrow::Status::OK();
}

}  // namespace quarzel::bcif
