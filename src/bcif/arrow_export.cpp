#include "bcif/arrow_export.hpp"

#include <arrow/array.h>
#include <arrow/buffer.h>
#include <arrow/chunked_array.h>
#include <arrow/memory_pool.h>
#include <arrow/table.h>
#include <arrow/type.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "bcif/deferred_table.hpp"
#include "core/page_advice.hpp"

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

// A category's Arrow objects of one kind (its buffers, array data, arrays
// or chunked arrays), made in place in one allocation and destroyed
// together when the last pointer to any of them goes: each is handed out
// as an aliasing pointer sharing the layer's count, so a column costs no
// allocation of its own for them. Objects of a layer point only into the
// layer below (never into their own), so the layers' counts form a chain
// and no layer keeps itself alive. The buffers' layer also owns the
// category's memory, from the Arrow pool.
//
// Every object of a layer is a `Base` (or, for arrays, a class derived
// from it whose destructor `Base`'s virtual one reaches) in a slot of
// exactly the size the largest of them needs: these objects live as long
// as the tables, so every byte of a slot is kept for thousands of columns.
template <class Base, class... Derived>
class Layer {
public:
    // Room for `capacity` objects, taken when the first is made (the
    // buffers' layer owns a category's memory long before any buffer
    // object is made over it, if one ever is).
    explicit Layer(std::size_t capacity) : capacity_(capacity) {}
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;
    ~Layer() {
        for (std::size_t i = used_; i-- > 0;)
            std::launder(reinterpret_cast<Base*>(slots_[i].bytes))->~Base();
        if (pool_ != nullptr) pool_->Free(memory_, bytes_, alignment_);
    }

    // A `T` made from `args` in the next slot of `layer` (which must have
    // one left).
    template <class T, class... A>
    static std::shared_ptr<T> make(const std::shared_ptr<Layer>& layer, A&&... args) {
        static_assert(sizeof(T) <= kSlotSize && alignof(T) <= kSlotAlign);
        static_assert(std::is_same_v<T, Base> || std::has_virtual_destructor_v<Base>);
        Layer& l = *layer;
        if (!l.slots_) l.slots_.reset(new Slot[l.capacity_]);
        void* const slot = l.slots_[l.used_].bytes;
        T* made = ::new (slot) T(std::forward<A>(args)...);
        // The destructor reaches the object through `Base` at the slot's start.
        assert(static_cast<void*>(static_cast<Base*>(made)) == slot);
        ++l.used_;
        return std::shared_ptr<T>(layer, made);
    }

    // `bytes` of memory from `pool`, freed after the layer's objects. Such
    // memory is new to the process when the previous call's tables are
    // still held, and is about to be written whole (see page_advice.hpp): a
    // category of megabytes starts on a huge page and asks for them; a
    // smaller category of many pages has them made in one call rather than
    // a fault each as it is filled.
    arrow::Result<std::uint8_t*> allocate(arrow::MemoryPool* pool, std::int64_t bytes) {
        const bool huge = static_cast<std::size_t>(bytes) >= kHugePage;
        const std::int64_t alignment =
            huge ? static_cast<std::int64_t>(kHugePage) : arrow::kDefaultBufferAlignment;
        ARROW_RETURN_NOT_OK(pool->Allocate(bytes, alignment, &memory_));
        pool_ = pool;
        bytes_ = bytes;
        alignment_ = alignment;
        if (huge)
            advise_huge_pages(memory_, static_cast<std::size_t>(bytes));
        else if (static_cast<std::size_t>(bytes) >= kPrefaultBytes)
            prefault_pages(memory_, static_cast<std::size_t>(bytes));
        return memory_;
    }

private:
    // Below this, a category's pages are mostly ones the pool has had
    // before (present already), and the call would cost more than it saves.
    static constexpr std::size_t kPrefaultBytes = std::size_t{32} << 10;
    static constexpr std::size_t kSlotSize = std::max({sizeof(Base), sizeof(Derived)...});
    static constexpr std::size_t kSlotAlign = alignof(void*);
    static_assert(std::max({alignof(Base), alignof(Derived)...}) <= kSlotAlign);
    struct Slot {
        alignas(kSlotAlign) unsigned char bytes[kSlotSize];
    };
    std::size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    std::size_t used_ = 0;
    arrow::MemoryPool* pool_ = nullptr;
    std::uint8_t* memory_ = nullptr;
    std::int64_t bytes_ = 0;
    std::int64_t alignment_ = arrow::kDefaultBufferAlignment;
};

using BufferLayer = Layer<arrow::Buffer>;
using DataLayer = Layer<arrow::ArrayData>;
using ArrayLayer = Layer<arrow::Array, arrow::Int32Array, arrow::Int64Array, arrow::DoubleArray,
                         arrow::StringArray, arrow::DictionaryArray>;
using ChunkedLayer = Layer<arrow::ChunkedArray>;

// Where a distinct string's bytes are copied from, and how many.
struct Source {
    const char* from;
    std::uint32_t size;
};

// The validity bitmap of `rows` rows from a mask (0: a value) into `bits`
// (`n` bytes, the bits past the last row cleared), eight rows a byte; the
// rows with a value are counted.
std::int64_t validity_bits(const std::uint8_t* mask, std::size_t rows, std::uint8_t* bits,
                           std::size_t n) {
    const std::size_t whole = rows / 8;
    std::uint64_t valid = 0;
    for (std::size_t k = 0; k < whole; ++k) {
        std::uint64_t m;
        std::memcpy(&m, mask + 8 * k, 8);
        // The lowest bit of each byte set for a value (each byte's bits
        // folded into its lowest, which is then the byte being nonzero);
        // the eight gathered into one byte, and added up, by a
        // multiplication each.
        m |= m >> 4;
        m |= m >> 2;
        m |= m >> 1;
        const std::uint64_t set = ~m & 0x0101010101010101ull;
        bits[k] = static_cast<std::uint8_t>((set * 0x0102040810204080ull) >> 56);
        valid += (set * 0x0101010101010101ull) >> 56;
    }
    std::memset(bits + whole, 0, n - whole);
    for (std::size_t r = 8 * whole; r < rows; ++r) {
        if (mask[r] != 0) continue;
        bits[r >> 3] |= static_cast<std::uint8_t>(1u << (r & 7));
        ++valid;
    }
    return static_cast<std::int64_t>(valid);
}

// True when the eight mask bytes at `mask` are all nonzero: eight masked
// rows. Masked columns are mostly masked, and such rows are passed over
// eight at a time.
[[gnu::always_inline]] inline bool eight_masked(const std::uint8_t* mask) noexcept {
    std::uint64_t m;
    std::memcpy(&m, mask, 8);
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    // Nonzero when some byte of `m` is zero.
    return ((m - kOnes) & ~m & (kOnes << 7)) == 0;
}

// `row(r)` for each of `rows` rows with a value (mask 0), and `masked(r,
// n)` for each run of `n` masked rows from `r` (eight at a time, or one).
template <class Row, class Masked>
[[gnu::always_inline]] inline void each_row(const std::uint8_t* mask, std::size_t rows, Row&& row,
                                            Masked&& masked) {
    std::size_t r = 0;
    for (; r + 8 <= rows; r += 8) {
        if (eight_masked(mask + r)) {
            masked(r, 8);
            continue;
        }
        for (std::size_t k = r; k < r + 8; ++k)
            if (mask[k] == 0)
                row(k);
            else
                masked(k, 1);
    }
    for (; r < rows; ++r)
        if (mask[r] == 0)
            row(r);
        else
            masked(r, 1);
}

// The bytes of text of the rows with a value among `rows`.
std::uint64_t unmasked_text(const std::uint8_t* mask, const std::int32_t* index,
                            const std::string_view* items, std::size_t rows) {
    std::uint64_t total = 0;
    each_row(
        mask, rows,
        [&](std::size_t r) { total += items[static_cast<std::size_t>(index[r])].size(); },
        [](std::size_t, std::size_t) {});
    return total;
}

// The text of every row (none for a masked one) from `src` by `index`
// into `text`, each row's end into `off` after the first. Short strings
// are copied 16 bytes at a time (see table()).
template <bool Masked>
void copy_strings(const Source* src, const std::int32_t* index, const std::uint8_t* mask,
                  std::size_t rows, char* text, std::int32_t* off) {
    std::int32_t pos = 0;
    auto row = [&](std::size_t r) __attribute__((always_inline)) {
        const Source& t = src[index[r]];
        if (t.size <= 16) [[likely]]
            std::memcpy(text + pos, t.from, 16);
        else
            std::memcpy(text + pos, t.from, t.size);
        pos += static_cast<std::int32_t>(t.size);
        off[r + 1] = pos;
    };
    if constexpr (Masked)
        each_row(mask, rows, row,
                 [&](std::size_t r, std::size_t n) { std::fill_n(off + r + 1, n, pos); });
    else
        for (std::size_t r = 0; r < rows; ++r) row(r);
}

// The distinct strings of a column whose strings have at most 8 bytes:
// each held whole (zeros after it) and its size, in two arrays, so that a
// row finds both by its index alone.
struct Shorts {
    PodVector<std::uint64_t> bytes, sizes;
};

// copy_strings for strings of at most 8 bytes: one 8-byte store a row.
template <bool Masked>
void copy_short_strings(const Shorts& src, const std::int32_t* index, const std::uint8_t* mask,
                        std::size_t rows, char* text, std::int32_t* off) {
    const std::uint64_t* const bytes = src.bytes.data();
    const std::uint64_t* const sizes = src.sizes.data();
    std::uint64_t pos = 0;  // below 2 GiB (checked when planned)
    auto row = [&](std::size_t r) __attribute__((always_inline)) {
        const auto i = static_cast<std::size_t>(index[r]);
        std::memcpy(text + pos, &bytes[i], 8);
        pos += sizes[i];
        off[r + 1] = static_cast<std::int32_t>(pos);
    };
    if constexpr (Masked) {
        each_row(mask, rows, row, [&](std::size_t r, std::size_t n) {
            std::fill_n(off + r + 1, n, static_cast<std::int32_t>(pos));
        });
    } else {
        // Unrolled: the loop's own count and test cost as much as a row's copy.
#pragma GCC unroll 4
        for (std::size_t r = 0; r < rows; ++r) row(r);
    }
}

// A column's buffers within its category's memory, filled; `buffer[0]`
// is the validity bitmap (none when `data` is null), then the values (a
// status column's indices, a string column's offsets) and a string
// column's text.
struct FilledColumn {
    struct Span {
        const void* data = nullptr;
        std::size_t size = 0;
    };
    char format = 'i';         // as CategoryExport::Field's
    bool text_status = false;  // a status column: of a string column
    std::int64_t nulls = 0;
    Span buffer[3];
};

// What the Arrow objects of a category are made from: its memory and its
// columns' places in it.
struct FilledCategory {
    std::shared_ptr<BufferLayer> memory;
    std::int64_t rows = 0;
    std::vector<FilledColumn> columns;
};

// The chunked arrays of a filled category, each of one array, made in the
// layers above its memory.
std::vector<std::shared_ptr<arrow::ChunkedArray>> make_columns(const FilledCategory& filled) {
    const std::size_t count = filled.columns.size();
    const auto data_layer = std::make_shared<DataLayer>(count);
    const auto array_layer = std::make_shared<ArrayLayer>(count);
    const auto chunked_layer = std::make_shared<ChunkedLayer>(count);
    auto slice = [&](const FilledColumn::Span& b) -> std::shared_ptr<arrow::Buffer> {
        if (b.data == nullptr) return nullptr;
        return BufferLayer::make<arrow::Buffer>(filled.memory,
                                                static_cast<const std::uint8_t*>(b.data),
                                                static_cast<std::int64_t>(b.size));
    };
    std::vector<std::shared_ptr<arrow::ChunkedArray>> columns;
    columns.reserve(count);
    for (const FilledColumn& c : filled.columns) {
        const auto& type = type_of(c.format);
        arrow::BufferVector buffers(c.format == 'u' ? 3 : 2);
        for (std::size_t k = 0; k < buffers.size(); ++k) buffers[k] = slice(c.buffer[k]);
        auto data = DataLayer::make<arrow::ArrayData>(data_layer, type, filled.rows,
                                                      std::move(buffers), c.nulls);
        // Vectors are filled by moves (a braced list would copy each
        // pointer, a count taken and given back for nothing).
        arrow::ArrayVector chunks(1);
        switch (c.format) {
            case 'i':
                chunks[0] = ArrayLayer::make<arrow::Int32Array>(array_layer, std::move(data));
                break;
            case 'l':
                chunks[0] = ArrayLayer::make<arrow::Int64Array>(array_layer, std::move(data));
                break;
            case 'g':
                chunks[0] = ArrayLayer::make<arrow::DoubleArray>(array_layer, std::move(data));
                break;
            case 'u':
                chunks[0] = ArrayLayer::make<arrow::StringArray>(array_layer, std::move(data));
                break;
            default:  // 'c'
                data->dictionary = status_dictionary(c.text_status);
                chunks[0] = ArrayLayer::make<arrow::DictionaryArray>(array_layer, std::move(data));
                break;
        }
        columns.push_back(
            ChunkedLayer::make<arrow::ChunkedArray>(chunked_layer, std::move(chunks), type));
    }
    return columns;
}

}  // namespace

arrow::Status CategoryExport::plan(std::int64_t rows, std::span<const NamedColumn> columns,
                                   Budget* budget) {
    rows_ = rows;
    fields_.clear();
    // The strings of the status names are reused from category to category
    // (their room kept); there are never more than columns, and the vector
    // grows before any view into it is taken.
    if (status_names_.size() < columns.size()) status_names_.resize(columns.size());
    std::size_t statuses = 0;
    key_.clear();
    data_bytes_ = 0;
    buffers_ = 0;
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
        Field f{&c, c.name, 'i', 0, 0};
        std::size_t bytes = masked ? bitmap_bytes(rows) : 0;
        if (v.is_string) {
            f.format = 'u';
            const Strings& s = v.strings;
            // Every row's text is counted when decoded; masked rows count none.
            std::uint64_t total = s.text;
            if (masked) total = unmasked_text(v.mask.data(), s.index.data(), s.items.data(), n);
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
        buffers_ += (masked ? 1 : 0) + (v.is_string ? 2 : 1);
        fields_.push_back(f);
        if (!masked) continue;
        std::string& status = status_names_[statuses++];
        status.assign(c.name);
        status += "_status";
        while (taken(status)) status += '_';
        fields_.push_back({&c, status, 'c', 0, round8(n)});
        data_bytes_ += round8(n);
        ++buffers_;
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
    for (const Field& f : fields_)
        fields.push_back(arrow::field(std::string(f.name), type_of(f.format)));
    auto made = arrow::schema(std::move(fields));
    const std::lock_guard<std::mutex> held(lock);
    if (known->size() >= kMaxKnown) known->clear();
    return known->emplace(key_, std::move(made)).first->second;
}

arrow::Result<std::shared_ptr<arrow::Table>> CategoryExport::table() const {
    const auto rows = static_cast<std::size_t>(rows_);
    // The buffers are filled now, from the decoded columns (which are
    // reused for the next category); the objects over them are made when
    // the table's columns are first asked for (see deferred_table.hpp).
    auto filled = std::make_shared<FilledCategory>();
    filled->rows = rows_;
    filled->columns.resize(fields_.size());
    // The memory, owned by the bottom layer (at most three buffers a column).
    filled->memory = std::make_shared<BufferLayer>(buffers_);
    ARROW_ASSIGN_OR_RAISE(unsigned char* const base,
                          filled->memory->allocate(arrow::default_memory_pool(),
                                                   static_cast<std::int64_t>(data_bytes_)));
    Cursor at{base};
    for (std::size_t k = 0; k < fields_.size(); ++k) {
        const Field& f = fields_[k];
        FilledColumn& out = filled->columns[k];
        const DecodedColumn& v = f.column->values;
        const bool masked = !v.mask.empty();
        out.format = f.format;
        out.text_status = v.is_string;
        if (f.format == 'c') {
            auto* idx = at.take<std::int8_t>(rows);
            if (rows) std::memcpy(idx, v.mask.data(), rows);
            out.buffer[1] = {idx, rows};
            continue;
        }
        if (masked) {
            const std::size_t n = bitmap_bytes(rows_);
            auto* bits = at.take<std::uint8_t>(n);
            out.nulls =
                static_cast<std::int64_t>(rows) - validity_bits(v.mask.data(), rows, bits, n);
            out.buffer[0] = {bits, (rows + 7) / 8};
        }
        const Numbers& num = v.numbers;
        switch (f.format) {
            case 'i': {
                auto* p = at.take<std::int32_t>(rows);
                if (num.deferred)
                    write_chain(num.chain, p);
                else
                    for (std::size_t r = 0; r < rows; ++r)
                        p[r] = static_cast<std::int32_t>(num.ints[r]);
                out.buffer[1] = {p, rows * sizeof(std::int32_t)};
                break;
            }
            case 'l': {
                auto* p = at.take<std::int64_t>(rows);
                if (num.deferred)
                    write_chain(num.chain, p);
                else if (rows)
                    std::memcpy(p, num.ints.data(), rows * sizeof(std::int64_t));
                out.buffer[1] = {p, rows * sizeof(std::int64_t)};
                break;
            }
            case 'g': {
                auto* p = at.take<double>(rows);
                if (num.deferred) {
                    write_chain(num.chain, p);
                } else if (num.fixed()) {
                    double scale = 1;
                    for (int d = 0; d < num.decimals; ++d) scale *= 10;
                    for (std::size_t r = 0; r < rows; ++r)
                        p[r] = static_cast<double>(num.ints[r]) / scale;
                } else if (rows) {
                    std::memcpy(p, num.floats.data(), rows * sizeof(double));
                }
                out.buffer[1] = {p, rows * sizeof(double)};
                break;
            }
            default: {  // 'u'
                const Strings& s = v.strings;
                auto* off = at.take<std::int32_t>(rows + 1);
                char* text = at.take<char>(f.text + 16);
                // Short strings are copied 8 or 16 bytes at a time (the
                // text buffer has 16 bytes of room at its end): where every
                // string has 8 bytes at most, from a copy of each held
                // whole; otherwise from the string data, except that a
                // string starting within its last 16 bytes is copied from
                // `tail`, those bytes with zeros after them. Where to copy
                // each distinct string from is worked out once, not per row.
                const std::int32_t* const index = s.index.data();
                const std::uint8_t* const mask = masked ? v.mask.data() : nullptr;
                off[0] = 0;
                std::size_t longest = 0;
                for (const std::string_view t : s.items) longest = std::max(longest, t.size());
                if (longest <= 8) {
                    thread_local Shorts shorts;
                    shorts.bytes.resize(s.items.size());
                    shorts.sizes.resize(s.items.size());
                    for (std::size_t i = 0; i < s.items.size(); ++i) {
                        const std::string_view t = s.items[i];
                        std::uint64_t held = 0;
                        if (!t.empty()) std::memcpy(&held, t.data(), t.size());
                        shorts.bytes[i] = held;
                        shorts.sizes[i] = t.size();
                    }
                    if (masked)
                        copy_short_strings<true>(shorts, index, mask, rows, text, off);
                    else
                        copy_short_strings<false>(shorts, index, mask, rows, text, off);
                } else {
                    const char* const end = s.data.data() + s.data.size();
                    const std::size_t tail_size = std::min<std::size_t>(s.data.size(), 16);
                    const char* const tail_from = end - tail_size;
                    char tail[32] = {};
                    if (tail_size) std::memcpy(tail, tail_from, tail_size);
                    thread_local PodVector<Source> sources;
                    sources.resize(s.items.size());
                    for (std::size_t i = 0; i < s.items.size(); ++i) {
                        const std::string_view t = s.items[i];
                        const char* from = t.data();
                        if (t.size() <= 16 && from >= tail_from) from = tail + (from - tail_from);
                        sources[i] = {from, static_cast<std::uint32_t>(t.size())};
                    }
                    if (masked)
                        copy_strings<true>(sources.data(), index, mask, rows, text, off);
                    else
                        copy_strings<false>(sources.data(), index, mask, rows, text, off);
                }
                out.buffer[1] = {off, (rows + 1) * sizeof(std::int32_t)};
                out.buffer[2] = {text, static_cast<std::size_t>(f.text)};
                break;
            }
        }
    }
    return std::make_shared<DeferredTable>(
        schema(), rows_, [filled = std::move(filled)] { return make_columns(*filled); });
}

}  // namespace quarzel::bcif
