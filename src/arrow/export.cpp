#include "arrow/export.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace quarzel::arrow_stage {

using arrow::Status;

namespace {

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

}  // namespace

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

}  // namespace quarzel::arrow_stage
