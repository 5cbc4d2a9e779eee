#include "arrow_batches.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
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

// What keeps exported memory alive, counted by hand: the release callbacks
// of the C data interface may run on any thread, long after the conversion.
class Keeper {
public:
    Keeper() = default;
    Keeper(const Keeper&) = delete;
    Keeper& operator=(const Keeper&) = delete;
    void ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void unref() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

protected:
    virtual ~Keeper() = default;

private:
    std::atomic<std::int64_t> refs_{1};
};

// One counted reference to a keeper.
class KeeperRef {
public:
    KeeperRef() noexcept = default;
    // Takes over the reference `keeper` was made with.
    static KeeperRef adopt(Keeper* keeper) noexcept {
        KeeperRef r;
        r.k_ = keeper;
        return r;
    }
    KeeperRef(const KeeperRef& other) noexcept : k_(other.k_) {
        if (k_) k_->ref();
    }
    KeeperRef(KeeperRef&& other) noexcept : k_(std::exchange(other.k_, nullptr)) {}
    KeeperRef& operator=(KeeperRef other) noexcept {
        std::swap(k_, other.k_);
        return *this;
    }
    ~KeeperRef() {
        if (k_) k_->unref();
    }
    Keeper* get() const noexcept { return k_; }

private:
    Keeper* k_ = nullptr;
};

// A large packed column's storage, freed as the column would have freed it.
class StorageKeeper final : public Keeper {
public:
    StorageKeeper(ByteBuffer::Storage offsets, ByteBuffer::Storage text) noexcept
        : offsets_(offsets), text_(text) {}

private:
    ~StorageKeeper() override {
        ByteBuffer::free_storage(offsets_);
        ByteBuffer::free_storage(text_);
    }
    ByteBuffer::Storage offsets_, text_;
};

// A block of memory from malloc.
class Slab final : public Keeper {
public:
    // Null when out of memory.
    static Slab* make(std::size_t bytes) noexcept {
        void* data = std::malloc(bytes);
        if (data == nullptr) return nullptr;
        return new (std::nothrow) Slab(static_cast<unsigned char*>(data));
    }
    unsigned char* data() const noexcept { return data_; }

private:
    explicit Slab(unsigned char* data) noexcept : data_(data) {}
    ~Slab() override { std::free(data_); }
    unsigned char* data_;
};

// Memory for the small columns (identity columns, tags with few values),
// handed out from shared slabs: documents of many save frames make many
// small batches, and each would otherwise hold allocations of its own.
// A slab is freed once no exported column uses it.
class Arena {
public:
    // `bytes` of memory aligned to 8 and the keeper that holds it, or null
    // when out of memory. Large requests get a slab of their own.
    unsigned char* allocate(std::size_t bytes, KeeperRef& keeper) {
        bytes = (std::max<std::size_t>(bytes, 8) + 7) & ~std::size_t{7};
        if (bytes > kSlabBytes / 4) {
            Slab* own = Slab::make(bytes);
            if (own == nullptr) return nullptr;
            keeper = KeeperRef::adopt(own);
            return own->data();
        }
        if (bytes > left_) {
            Slab* slab = Slab::make(kSlabBytes);
            if (slab == nullptr) return nullptr;
            slab_ = KeeperRef::adopt(slab);
            next_ = slab->data();
            left_ = kSlabBytes;
        }
        unsigned char* out = next_;
        next_ += bytes;
        left_ -= bytes;
        keeper = slab_;
        return out;
    }

private:
    static constexpr std::size_t kSlabBytes = std::size_t{64} << 10;
    KeeperRef slab_;
    unsigned char* next_ = nullptr;
    std::size_t left_ = 0;
};

// A finished column: an Int32 (validity, values) or Utf8 (validity, offsets,
// text) array of the C data interface, and what keeps its buffers alive.
struct Column {
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    std::int64_t n_buffers = 3;
    std::array<const void*, 3> buffers{};
    KeeperRef keeper;
};

Status out_of_memory() {
    return Status::OutOfMemory("no memory for the record batches");
}

std::size_t bitmap_bytes(std::int64_t rows) {
    return (static_cast<std::size_t>(rows) + 63) / 64 * 8;
}

// Sets the first `valid` of a bitmap's bits and clears the rest.
void fill_bitmap(unsigned char* bitmap, std::int64_t rows, std::int64_t valid) {
    std::memset(bitmap, 0, bitmap_bytes(rows));
    const auto whole = static_cast<std::size_t>(valid / 8);
    std::memset(bitmap, 0xFF, whole);
    if (valid % 8 != 0) bitmap[whole] = static_cast<unsigned char>((1u << (valid % 8)) - 1);
}

// `rows` copies of one Int32 value.
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

// `rows` copies of one text.
arrow::Result<Column> constant_text(Arena& arena, std::int64_t rows, std::string_view text) {
    const auto n = static_cast<std::size_t>(rows);
    const std::size_t offsets_bytes = (4 * (n + 1) + 7) & ~std::size_t{7};
    if (text.size() > 0 && n > (std::numeric_limits<std::int32_t>::max)() / text.size())
        return Status::CapacityError("an identity column exceeds 2147483647 bytes");
    Column c;
    unsigned char* p = arena.allocate(offsets_bytes + text.size() * n, c.keeper);
    if (p == nullptr) return out_of_memory();
    auto* offsets = reinterpret_cast<std::int32_t*>(p);
    const auto len = static_cast<std::int32_t>(text.size());
    for (std::size_t i = 0; i <= n; ++i) offsets[i] = static_cast<std::int32_t>(i) * len;
    unsigned char* out = p + offsets_bytes;
    for (std::size_t i = 0; i < n; ++i, out += text.size())
        std::memcpy(out, text.data(), text.size());
    c.length = rows;
    c.buffers = {nullptr, offsets, p + offsets_bytes};
    return c;
}

// `rows` nulls of Int32 or Utf8: a clear bitmap and zero offsets or values.
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

// memcpy for the short texts that make up most columns, inline, touching no
// byte outside either range.
inline void copy_text(unsigned char* dst, std::string_view text) {
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
        dst[0] = static_cast<unsigned char>(src[0]);
        dst[n / 2] = static_cast<unsigned char>(src[n / 2]);
        dst[n - 1] = static_cast<unsigned char>(src[n - 1]);
    }
}

std::size_t round8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

// A packed column this small (offsets, text and bitmap) is copied into the
// arena, and its own storage freed: most columns of a dictionary's save
// frames hold one short value.
constexpr std::size_t kCopyBytes = 4096;

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
        unsigned char* p =
            arena.allocate(bitmap + offsets + static_cast<std::size_t>(bytes_), column_.keeper);
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
        if (values_.packed()) return;
        const ValueColumn& values = values_;
        end = std::min(end, values.size());
        std::int32_t* const offset = offsets_;
        unsigned char* const text = text_;
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

// The arrays of `requests`, in order. Columns are built in groups whose
// arrays together stay within kGroupBytes, and each request's values are
// freed as soon as its group is done, so the document shrinks while the
// arrays grow.
arrow::Result<std::vector<Column>> build_columns(std::span<const ColumnRequest> requests,
                                                 Arena& arena) {
    std::vector<Column> out;
    out.reserve(requests.size());
    std::vector<TextColumn> group;
    group.reserve(requests.size());
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
    ARROW_RETURN_NOT_OK(fill_group(group, requests.subspan(first), arena, out));
    return out;
}

// The schemas of one document's batches, one per distinct list of tags:
// documents of many save frames repeat a few lists of tags many times, and
// a shared schema is built, exported and imported once.
class Schemas {
public:
    const std::shared_ptr<arrow::Schema>& of(std::span<const std::string_view> tags) {
        // A document keeps one copy of each tag name, which stays put while
        // its batches are made: the names' addresses and sizes tell the list.
        key_.clear();
        for (std::string_view tag : tags) {
            const std::array<std::uintptr_t, 2> name{reinterpret_cast<std::uintptr_t>(tag.data()),
                                                     tag.size()};
            key_.append(reinterpret_cast<const char*>(name.data()), sizeof name);
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

    std::string key_;  // the address and size of each tag name
    std::unordered_map<std::string, std::shared_ptr<arrow::Schema>> cache_;
};

// An exported batch's own memory, one allocation: the child arrays, the
// pointers to them and to their buffers, and a reference to each keeper of
// the columns' buffers. It is freed when the parent and every child (which
// a consumer may move out and release on its own) have been released.
struct ExportBlock {
    std::atomic<std::int64_t> live;  // parent and children not yet released
    std::size_t columns;
    std::size_t keepers;
    const void* parent_buffers[1];

    ArrowArray* children() { return static_cast<ArrowArray*>(part(0)); }
    ArrowArray** child_pointers() {
        return static_cast<ArrowArray**>(part(columns * sizeof(ArrowArray)));
    }
    const void** buffers() {
        return static_cast<const void**>(
            part(columns * (sizeof(ArrowArray) + sizeof(ArrowArray*))));
    }
    Keeper** keeper_list() {
        return static_cast<Keeper**>(
            part(columns * (sizeof(ArrowArray) + sizeof(ArrowArray*) + 3 * sizeof(void*))));
    }
    // The memory `offset` bytes past the end of the header.
    void* part(std::size_t offset) { return reinterpret_cast<unsigned char*>(this + 1) + offset; }

    static std::size_t bytes(std::size_t columns) {
        return sizeof(ExportBlock) + columns * (sizeof(ArrowArray) + sizeof(ArrowArray*) +
                                                3 * sizeof(void*) + sizeof(Keeper*));
    }

    static void drop(ExportBlock* block) noexcept {
        if (block->live.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        Keeper** keepers = block->keeper_list();
        for (std::size_t k = 0; k < block->keepers; ++k) keepers[k]->unref();
        block->~ExportBlock();
        std::free(block);
    }
    static void release_child(ArrowArray* array) noexcept {
        auto* block = static_cast<ExportBlock*>(array->private_data);
        array->release = nullptr;
        drop(block);
    }
    static void release_parent(ArrowArray* array) noexcept {
        auto* block = static_cast<ExportBlock*>(array->private_data);
        for (std::int64_t i = 0; i < array->n_children; ++i) {
            ArrowArray* child = array->children[i];
            if (child->release != nullptr) child->release(child);
        }
        array->release = nullptr;
        drop(block);
    }
};
static_assert(alignof(ExportBlock) >= alignof(ArrowArray));
static_assert(sizeof(ExportBlock) % alignof(ArrowArray) == 0);

// Exports `rows` rows of `columns` as one struct array into `out`.
Status export_batch(std::int64_t rows, std::span<const Column* const> columns, ArrowArray* out) {
    const std::size_t n = columns.size();
    void* memory = std::malloc(ExportBlock::bytes(n));
    if (memory == nullptr) return out_of_memory();
    auto* block = new (memory) ExportBlock{};
    block->live.store(static_cast<std::int64_t>(n) + 1, std::memory_order_relaxed);
    block->columns = n;
    block->parent_buffers[0] = nullptr;
    ArrowArray* children = block->children();
    ArrowArray** pointers = block->child_pointers();
    const void** buffers = block->buffers();
    Keeper** keepers = block->keeper_list();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Column& c = *columns[i];
        std::copy(c.buffers.begin(), c.buffers.end(), buffers + 3 * i);
        children[i] = ArrowArray{
            .length = c.length,
            .null_count = c.null_count,
            .offset = 0,
            .n_buffers = c.n_buffers,
            .n_children = 0,
            .buffers = buffers + 3 * i,
            .children = nullptr,
            .dictionary = nullptr,
            .release = &ExportBlock::release_child,
            .private_data = block,
        };
        pointers[i] = &children[i];
        // Columns of one batch mostly share a slab: one reference will do.
        Keeper* keeper = c.keeper.get();
        if (keeper != nullptr && (kept == 0 || keepers[kept - 1] != keeper)) {
            keeper->ref();
            keepers[kept++] = keeper;
        }
    }
    block->keepers = kept;
    *out = ArrowArray{
        .length = rows,
        .null_count = 0,
        .offset = 0,
        .n_buffers = 1,
        .n_children = static_cast<std::int64_t>(n),
        .buffers = block->parent_buffers,
        .children = pointers,
        .dictionary = nullptr,
        .release = &ExportBlock::release_parent,
        .private_data = block,
    };
    return Status::OK();
}

// A set of tag names: scanned while small (most frames and loops have a
// few tags), hashed beyond, so that a loop of many tags stays linear.
class TagSet {
public:
    bool contains(std::string_view tag) const {
        if (!hashed_.empty()) return hashed_.contains(tag);
        return std::find(few_.begin(), few_.end(), tag) != few_.end();
    }
    // False when the tag was there already.
    bool insert(std::string_view tag) {
        if (contains(tag)) return false;
        if (hashed_.empty() && few_.size() < kFew) {
            few_.push_back(tag);
            return true;
        }
        if (hashed_.empty()) hashed_.insert(few_.begin(), few_.end());
        hashed_.insert(tag);
        return true;
    }

private:
    static constexpr std::size_t kFew = 16;
    std::vector<std::string_view> few_;
    std::unordered_set<std::string_view> hashed_;
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
    FrameConverter(FrameData& data, const FrameId& id, Schemas& schemas, Arena& arena,
                   const BatchSink& sink)
        : data_(data), id_(id), schemas_(schemas), arena_(arena), sink_(sink) {}

    Status run() {
        TagSet in_loops;
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
            for (std::string_view tag : scalar_tags) requests.push_back({data_.find(tag), rows});
            ARROW_ASSIGN_OR_RAISE(auto columns, build_columns(requests, arena_));
            std::vector<const Column*> pointers;
            pointers.reserve(columns.size());
            for (const Column& column : columns) pointers.push_back(&column);
            ARROW_RETURN_NOT_OK(emit("__scalars__", scalar_tags, rows, pointers));
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
            TagSet seen;
            for (std::string_view tag : tags) {
                if (built_.contains(tag) || !seen.insert(tag)) continue;
                if (ValueColumn* values = data_.find(tag)) {
                    requests.push_back({values, 0});
                    requested.push_back(tag);
                }
            }
            ARROW_ASSIGN_OR_RAISE(auto arrays, build_columns(requests, arena_));
            for (std::size_t k = 0; k < arrays.size(); ++k)
                built_.emplace(requested[k], std::move(arrays[k]));

            std::optional<Column> nulls;  // for the tags without values
            std::vector<const Column*> pointers;
            pointers.reserve(tags.size());
            for (std::string_view tag : tags) {
                auto it = built_.find(tag);
                if (it != built_.end()) {
                    pointers.push_back(&it->second);
                    continue;
                }
                if (!nulls) {
                    ARROW_ASSIGN_OR_RAISE(Column made, null_column(arena_, loop_rows, true));
                    nulls = std::move(made);
                }
                pointers.push_back(&*nulls);
            }
            ARROW_RETURN_NOT_OK(
                emit("__loop_" + std::to_string(n) + "__", tags, loop_rows, pointers));
        }
        return Status::OK();
    }

private:
    // Values a tag has (or had, before its array was built).
    std::int64_t value_count(std::string_view tag) const {
        auto cached = built_.find(tag);
        if (cached != built_.end()) return cached->second.length;
        const ValueColumn* column = data_.find(tag);
        return column ? static_cast<std::int64_t>(column->size()) : 0;
    }

    // The four identity columns that depend only on the frame and the row
    // count; loops of equal length share them.
    arrow::Result<const std::array<Column, 4>*> identity(std::int64_t rows) {
        for (const auto& [count, columns] : identity_)
            if (count == rows) return &columns;
        std::array<Column, 4> columns;
        ARROW_ASSIGN_OR_RAISE(columns[0], constant_int32(arena_, rows, id_.block_index));
        ARROW_ASSIGN_OR_RAISE(columns[1], constant_text(arena_, rows, id_.block_name));
        if (id_.frame_index) {
            ARROW_ASSIGN_OR_RAISE(columns[2], constant_int32(arena_, rows, *id_.frame_index));
            ARROW_ASSIGN_OR_RAISE(columns[3], constant_text(arena_, rows, id_.frame_name));
        } else {
            ARROW_ASSIGN_OR_RAISE(columns[2], null_column(arena_, rows, false));
            ARROW_ASSIGN_OR_RAISE(columns[3], null_column(arena_, rows, true));
        }
        identity_.emplace_back(rows, std::move(columns));
        return &identity_.back().second;
    }

    Status emit(const std::string& loop_id, std::span<const std::string_view> tags,
                std::int64_t rows, std::span<const Column* const> tag_columns) {
        // Every column must have the batch's row count.
        for (std::size_t k = 0; k < tag_columns.size(); ++k)
            if (tag_columns[k]->length != rows)
                return mismatch(loop_id, tags[k], tag_columns[k]->length, rows);
        using Identity = const std::array<Column, 4>*;
        ARROW_ASSIGN_OR_RAISE(Identity ids, identity(rows));
        ARROW_ASSIGN_OR_RAISE(Column loop_column, constant_text(arena_, rows, loop_id));
        std::vector<const Column*> columns;
        columns.reserve(ids->size() + 1 + tag_columns.size());
        for (const Column& column : *ids) columns.push_back(&column);
        columns.push_back(&loop_column);
        columns.insert(columns.end(), tag_columns.begin(), tag_columns.end());

        ArrowArray array;
        ARROW_RETURN_NOT_OK(export_batch(rows, columns, &array));
        Status status = sink_(schemas_.of(tags), &array);
        if (array.release != nullptr) array.release(&array);
        return status;
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
    Arena& arena_;
    const BatchSink& sink_;
    std::unordered_map<std::string_view, Column> built_;
    // Read through a pointer taken after the last growth, in each emit.
    std::vector<std::pair<std::int64_t, std::array<Column, 4>>> identity_;
};

arrow::Result<std::int32_t> index32(std::size_t index) {
    if (index > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return Status::CapacityError("more than 2147483647 data blocks or save frames");
    return static_cast<std::int32_t>(index);
}

Status convert_frame(FrameData& data, const FrameId& id, Schemas& schemas, Arena& arena,
                     const BatchSink& sink) {
    ARROW_RETURN_NOT_OK(FrameConverter(data, id, schemas, arena, sink).run());
    data.release_values();  // every value has been handed over
    return Status::OK();
}

}  // namespace

Status document_batches(ParsedCif& document, const BatchSink& sink) {
    Schemas schemas;
    Arena arena;
    for (std::size_t b = 0; b < document.blocks.size(); ++b) {
        ParsedBlock& block = document.blocks[b];
        ARROW_ASSIGN_OR_RAISE(auto block_index, index32(b));
        ARROW_RETURN_NOT_OK(convert_frame(block.data, {block_index, block.name, std::nullopt, {}},
                                          schemas, arena, sink));
        for (std::size_t f = 0; f < block.save_frames.size(); ++f) {
            ParsedSaveFrame& frame = block.save_frames[f];
            ARROW_ASSIGN_OR_RAISE(auto frame_index, index32(f));
            ARROW_RETURN_NOT_OK(convert_frame(frame.data,
                                              {block_index, block.name, frame_index, frame.name},
                                              schemas, arena, sink));
        }
    }
    return Status::OK();
}

}  // namespace quarzel::py
