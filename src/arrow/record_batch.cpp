#include "arrow/record_batch.hpp"

#include <arrow/array/data.h>
#include <arrow/buffer.h>
#include <arrow/device.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace quarzel::arrow_stage {

namespace {

// What a batch's arrays point into: non-owning buffer objects over the
// columns' memory, and the references to the keepers of that memory (the
// first slots hold them, one per keeper in a row of columns). One
// allocation per batch (std::make_shared_for_overwrite of an array: every
// member has a constructor of its own), its buffers handed
// out as aliases of the shared pointer that owns them.
struct BufferSlot {
    std::optional<arrow::Buffer> buffer;
    KeeperRef keeper;
};

// The array data of a batch, one allocation likewise. (Kept apart from the
// buffers, which the array data hold: together they would hold themselves.)
using ArraySlot = std::optional<arrow::ArrayData>;

// How many sizes of buffer lists a thread's columns take in turn.
constexpr unsigned kBufferListSizes = 8;

// Where a column's buffers are, in the order of the array's buffers: the
// validity bitmap (none without nulls), then the values, or the offsets and
// the text.
struct BufferPlaces {
    int count = 0;
    std::array<const void*, 3> at{};
    std::array<std::int64_t, 3> size{};
};

BufferPlaces buffer_places(const Column& c) {
    BufferPlaces p;
    p.count = static_cast<int>(c.n_buffers);
    if (c.null_count != 0) {
        p.at[0] = c.buffers[0];
        p.size[0] = static_cast<std::int64_t>(bitmap_bytes(c.length));
    }
    if (c.n_buffers == 2) {
        p.at[1] = c.buffers[1];
        p.size[1] = 4 * c.length;
    } else {
        std::int32_t end = 0;
        std::memcpy(&end, static_cast<const char*>(c.buffers[1]) + 4 * c.length, 4);
        p.at[1] = c.buffers[1];
        p.size[1] = 4 * (c.length + 1);
        p.at[2] = c.buffers[2];
        p.size[2] = end;
    }
    return p;
}

// Room for the buffer list of a column with `count` buffers. Every column's
// list is an allocation of its own (the array data owns it), and the lists
// of a call's batches are made together and, when the batches die, freed
// together. glibc keeps only a few freed blocks of each size on a thread's
// quick list; the rest take its slow paths both ways. Lists of one size
// after another (a few pointers more, unused) spread a call's lists over
// several of those quick lists, from which the next call takes them again.
std::size_t buffer_list_room(int count) {
    static thread_local unsigned turn = 0;
    turn = turn + 1 == kBufferListSizes ? 0 : turn + 1;
    return static_cast<std::size_t>(count) + turn;
}

// The buffers of one standalone array and the reference to their keeper.
struct OwnedBuffers {
    std::array<std::optional<arrow::Buffer>, 3> buffers;
    KeeperRef keeper;
};

}  // namespace

arrow::Result<std::shared_ptr<arrow::ArrayData>> standalone_array(
    const Column& column, const std::shared_ptr<arrow::DataType>& type) {
    const auto owned = std::make_shared<OwnedBuffers>();
    owned->keeper = column.keeper;
    const BufferPlaces places = buffer_places(column);
    std::vector<std::shared_ptr<arrow::Buffer>> buffers(static_cast<std::size_t>(places.count));
    for (int k = 0; k < places.count; ++k) {
        if (places.at[k] == nullptr) continue;
        std::optional<arrow::Buffer>& slot = owned->buffers[k];
        slot.emplace(static_cast<const std::uint8_t*>(places.at[k]), places.size[k]);
        buffers[k] = std::shared_ptr<arrow::Buffer>(owned, &*slot);
    }
    return arrow::ArrayData::Make(type, column.length, std::move(buffers), column.null_count);
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> make_record_batch(
    const std::shared_ptr<arrow::Schema>& schema, std::int64_t rows,
    std::span<const Column* const> columns) {
    const std::size_t n = columns.size();
    if (static_cast<std::size_t>(schema->num_fields()) != n)
        return arrow::Status::Invalid("a batch of ", n, " columns for a schema of ",
                                      schema->num_fields(), " fields");
    // A slot per buffer a column of its own may have (its validity bitmap
    // only with nulls), which also bounds the keepers held: no more than
    // the batch uses, since every slot is made and destroyed.
    // Array data likewise: one for each column not shared with other batches.
    std::size_t slots = 1;
    std::size_t own_arrays = 0;
    for (const Column* c : columns) {
        if (c->shared) continue;
        slots += static_cast<std::size_t>(c->n_buffers) - (c->null_count != 0 ? 0 : 1);
        ++own_arrays;
    }
    const std::shared_ptr<BufferSlot[]> memory =
        std::make_shared_for_overwrite<BufferSlot[]>(slots);
    const std::shared_ptr<ArraySlot[]> arrays =
        std::make_shared_for_overwrite<ArraySlot[]>(std::max<std::size_t>(own_arrays, 1));
    std::size_t arrays_used = 0;
    std::vector<std::shared_ptr<arrow::ArrayData>> data;
    data.reserve(n);
    std::size_t used = 0;    // buffer objects made
    std::size_t kept = 0;    // keeper references held
    Keeper* last = nullptr;  // the keeper held last
    // Every buffer is of main memory: its manager looked up once per batch.
    const std::shared_ptr<arrow::MemoryManager> cpu = arrow::default_cpu_memory_manager();
    auto buffer = [&](const void* at, std::int64_t size) -> std::shared_ptr<arrow::Buffer> {
        if (at == nullptr) return nullptr;
        std::optional<arrow::Buffer>& slot = memory[used++].buffer;
        slot.emplace(static_cast<const std::uint8_t*>(at), size, cpu);
        return std::shared_ptr<arrow::Buffer>(memory, &*slot);
    };
    for (std::size_t i = 0; i < n; ++i) {
        const Column& c = *columns[i];
        if (c.shared) {
            data.push_back(c.shared);
            continue;
        }
        const std::shared_ptr<arrow::DataType>& type = schema->field(static_cast<int>(i))->type();
        // Columns of one batch mostly share a slab: one reference will do.
        if (Keeper* keeper = c.keeper.get(); keeper != nullptr && keeper != last) {
            memory[kept++].keeper = c.keeper;
            last = keeper;
        }
        const BufferPlaces places = buffer_places(c);
        std::vector<std::shared_ptr<arrow::Buffer>> buffers;
        buffers.reserve(buffer_list_room(places.count));
        for (int k = 0; k < places.count; ++k)
            buffers.push_back(buffer(places.at[k], places.size[k]));
        ArraySlot& array = arrays[arrays_used++];
        array.emplace(type, c.length, std::move(buffers), c.null_count);
        data.emplace_back(arrays, &*array);
    }
    return arrow::RecordBatch::Make(schema, rows, std::move(data));
}

}  // namespace quarzel::arrow_stage
