// The document as Arrow record batches: each frame's scalar batch and loop
// batches, in document order.
#include "arrow/batches.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/columns.hpp"
#include "arrow/export.hpp"
#include "arrow/identity_columns.hpp"
#include "arrow/memory.hpp"
#include "arrow/record_batch.hpp"
#include "arrow/schemas.hpp"
#include "arrow/text_columns.hpp"

namespace quarzel {

namespace {

using arrow::Status;
using namespace arrow_stage;

// Where a batch comes from.
struct FrameId {
    std::int32_t block_index;
    std::string_view block_name;
    std::optional<std::int32_t> frame_index;  // none for the block itself
    std::string_view frame_name;
};

// `kept` when the cache had the column, else what `make` makes.
template <class Make>
arrow::Result<Column> kept_or(arrow::Result<std::optional<Column>> kept, Make make) {
    ARROW_ASSIGN_OR_RAISE(std::optional<Column> column, std::move(kept));
    if (column) return std::move(*column);
    return make();
}

// The working memory of a frame's conversion, kept from one frame to the
// next and, on each thread, from one document to the next (each would
// otherwise allocate its own, most of it for a few entries). Cleared, not
// freed, between uses.
struct FrameScratch {
    std::vector<std::uint8_t> state;  // by position in the tag order
    std::vector<Column> built;        // the arrays built, by position
    // Read through a pointer taken after the last growth, in each emit.
    std::vector<std::pair<std::int64_t, std::array<Column, 4>>> identity;
    std::vector<std::size_t> loop_places;
    std::vector<std::string_view> scalar_tags;
    std::vector<ColumnRequest> requests;
    std::vector<std::size_t> requested;
    std::vector<Column> arrays;  // as the builder hands them over
    std::vector<const Column*> pointers;
    std::vector<const Column*> batch_columns;
    ColumnBuilder builder;

    // Lets go of the columns (and the memory they hold) of the last frame.
    void release() {
        built.clear();
        identity.clear();
        arrays.clear();
    }

    // Frees what a frame of very many tags left.
    void trim() {
        if (state.capacity() <= kKeptTags && loop_places.capacity() <= kKeptTags) return;
        state = {};
        built = {};
        identity = {};
        loop_places = {};
        scalar_tags = {};
        requests = {};
        requested = {};
        arrays = {};
        pointers = {};
        batch_columns = {};
        builder.trim();
    }

    static constexpr std::size_t kKeptTags = 4096;
};

// This thread's scratch for one conversion at a time; a conversion begun
// while another is under way (from a sink) has its own.
class ScratchLoan {
public:
    ScratchLoan() {
        if (!lent_) {
            lent_ = true;
            scratch_ = &kept_;
        } else {
            scratch_ = &own_.emplace();
        }
    }
    ~ScratchLoan() {
        if (scratch_ == &kept_) {
            kept_.release();  // a conversion cut short may have left columns
            kept_.trim();
            lent_ = false;
        }
    }
    ScratchLoan(const ScratchLoan&) = delete;
    ScratchLoan& operator=(const ScratchLoan&) = delete;
    FrameScratch& get() noexcept { return *scratch_; }

private:
    static thread_local inline FrameScratch kept_;
    static thread_local inline bool lent_ = false;
    FrameScratch* scratch_;
    std::optional<FrameScratch> own_;
};

// Builds the batches of one block or save frame.
class FrameConverter {
public:
    FrameConverter(FrameData& data, const FrameId& id, Schemas& schemas, Arena& arena,
                   FrameScratch& scratch, const ColumnsSink& sink)
        : data_(data),
          id_(id),
          schemas_(schemas),
          arena_(arena),
          sink_(sink),
          scratch_(scratch),
          state_(scratch.state),
          built_(scratch.built),
          identity_(scratch.identity) {}

    Status run() {
        // Each tag is looked up once, for its position in the tag order: the
        // columns and what is built of them are indexed by it.
        const std::size_t tag_count = data_.tag_order.size();
        state_.assign(tag_count, kNotBuilt);
        built_.resize(tag_count);
        // The positions of every loop's tags, one loop after another.
        std::vector<std::size_t>& loop_places = scratch_.loop_places;
        loop_places.clear();
        // A loop's tags mostly follow one another in the tag order (the
        // builder enters them so): the place after the last one is tried
        // before the index.
        for (const auto& loop : data_.loops) {
            std::size_t next = tag_count;
            for (std::string_view tag : loop) {
                const std::size_t at = next < tag_count && same_name(data_.tag_order[next], tag)
                                           ? next
                                           : data_.position(tag);
                loop_places.push_back(at);
                if (at < tag_count) state_[at] = kLooped;
                next = at < tag_count ? at + 1 : tag_count;
            }
        }

        std::vector<std::string_view>& scalar_tags = scratch_.scalar_tags;
        std::vector<ColumnRequest>& requests = scratch_.requests;
        std::vector<Column>& arrays = scratch_.arrays;
        std::vector<const Column*>& pointers = scratch_.pointers;
        scalar_tags.clear();
        requests.clear();
        std::int64_t rows = 0;
        for (std::size_t at = 0; at < tag_count; ++at) {
            if (state_[at] == kLooped) continue;
            scalar_tags.push_back(data_.tag_order[at]);
            ValueColumn* column = values_at(at);
            requests.push_back({column, 0});
            if (column != nullptr) rows = std::max(rows, static_cast<std::int64_t>(column->size()));
        }
        for (std::uint8_t& state : state_) state = kNotBuilt;
        if (rows > 0) {
            // Every column has the batch's row count: shorter ones end in nulls.
            for (ColumnRequest& request : requests) request.length = rows;
            arrays.clear();
            ARROW_RETURN_NOT_OK(scratch_.builder.build(requests, arena_, arrays));
            pointers.clear();
            for (const Column& column : arrays) pointers.push_back(&column);
            ARROW_RETURN_NOT_OK(emit(-1, "__scalars__", scalar_tags, rows, pointers));
            arrays.clear();
        }

        std::vector<std::size_t>& requested = scratch_.requested;  // places built now
        std::size_t first_place = 0;  // of the loop's tags in loop_places
        for (std::size_t n = 0; n < data_.loops.size(); ++n) {
            const std::vector<std::string_view>& tags = data_.loops[n];
            const std::span<const std::size_t> places(loop_places.data() + first_place,
                                                      tags.size());
            first_place += tags.size();
            if (tags.empty()) continue;
            const std::int64_t loop_rows = value_count(places.front());
            if (loop_rows == 0) continue;
            // A loop column holds every value of its tag (its own length,
            // checked against the batch's), so a tag in several columns or
            // loops shares one array.
            requests.clear();
            requested.clear();
            for (std::size_t at : places) {
                if (at >= tag_count || state_[at] != kNotBuilt) continue;
                if (ValueColumn* values = values_at(at)) {
                    state_[at] = kRequested;
                    requests.push_back({values, 0});
                    requested.push_back(at);
                }
            }
            arrays.clear();
            ARROW_RETURN_NOT_OK(scratch_.builder.build(requests, arena_, arrays));
            for (std::size_t k = 0; k < arrays.size(); ++k) {
                built_[requested[k]] = std::move(arrays[k]);
                state_[requested[k]] = kBuilt;
            }

            std::optional<Column> nulls;  // for the tags without values
            pointers.clear();
            for (std::size_t at : places) {
                if (at < tag_count && state_[at] == kBuilt) {
                    pointers.push_back(&built_[at]);
                    continue;
                }
                if (!nulls) {
                    ARROW_ASSIGN_OR_RAISE(Column made, null_column(arena_, loop_rows, true));
                    nulls = std::move(made);
                }
                pointers.push_back(&*nulls);
            }
            ARROW_RETURN_NOT_OK(emit(static_cast<std::int64_t>(n),
                                     "__loop_" + std::to_string(n) + "__", tags, loop_rows,
                                     pointers));
        }
        return Status::OK();
    }

private:
    // What has become of the tag at a position of the tag order.
    enum : std::uint8_t { kNotBuilt, kLooped, kRequested, kBuilt };

    // Names of a frame are mostly views of one copy each: the same view is
    // the same name without comparing bytes.
    static bool same_name(std::string_view a, std::string_view b) noexcept {
        return (a.data() == b.data() && a.size() == b.size()) || a == b;
    }

    // The values of the tag at `at` (npos included), or null.
    ValueColumn* values_at(std::size_t at) {
        return at < data_.columns.size() ? &data_.columns[at] : nullptr;
    }

    // Values the tag at `at` has (or had, before its array was built).
    std::int64_t value_count(std::size_t at) {
        if (at < state_.size() && state_[at] == kBuilt) return built_[at].length;
        const ValueColumn* column = values_at(at);
        return column ? static_cast<std::int64_t>(column->size()) : 0;
    }

    // The four identity columns that depend only on the frame and the row
    // count; loops of equal length share them.
    arrow::Result<const std::array<Column, 4>*> identity(std::int64_t rows) {
        for (const auto& [count, columns] : identity_)
            if (count == rows) return &columns;
        std::array<Column, 4> columns;
        ARROW_ASSIGN_OR_RAISE(
            columns[0], kept_or(IdentityColumns::int32(id_.block_index, rows),
                                [&] { return constant_int32(arena_, rows, id_.block_index); }));
        ARROW_ASSIGN_OR_RAISE(columns[1], constant_text(arena_, rows, id_.block_name));
        if (id_.frame_index) {
            ARROW_ASSIGN_OR_RAISE(columns[2],
                                  kept_or(IdentityColumns::int32(*id_.frame_index, rows), [&] {
                                      return constant_int32(arena_, rows, *id_.frame_index);
                                  }));
            ARROW_ASSIGN_OR_RAISE(columns[3], constant_text(arena_, rows, id_.frame_name));
        } else {
            ARROW_ASSIGN_OR_RAISE(columns[2], kept_or(IdentityColumns::nulls(false, rows), [&] {
                                      return null_column(arena_, rows, false);
                                  }));
            ARROW_ASSIGN_OR_RAISE(columns[3], kept_or(IdentityColumns::nulls(true, rows), [&] {
                                      return null_column(arena_, rows, true);
                                  }));
        }
        identity_.emplace_back(rows, std::move(columns));
        return &identity_.back().second;
    }

    // `loop` is the loop's number (-1 for the scalars), `loop_id` its id.
    Status emit(std::int64_t loop, const std::string& loop_id,
                std::span<const std::string_view> tags, std::int64_t rows,
                std::span<const Column* const> tag_columns) {
        // Every column must have the batch's row count.
        for (std::size_t k = 0; k < tag_columns.size(); ++k)
            if (tag_columns[k]->length != rows)
                return mismatch(loop_id, tags[k], tag_columns[k]->length, rows);
        using Identity = const std::array<Column, 4>*;
        ARROW_ASSIGN_OR_RAISE(Identity ids, identity(rows));
        auto make_loop_column = [&] { return constant_text(arena_, rows, loop_id); };
        Column loop_column;
        if (loop <= std::numeric_limits<std::int32_t>::max()) {
            ARROW_ASSIGN_OR_RAISE(
                loop_column,
                kept_or(IdentityColumns::loop_id(static_cast<std::int32_t>(loop), loop_id, rows),
                        make_loop_column));
        } else {
            ARROW_ASSIGN_OR_RAISE(loop_column, make_loop_column());
        }
        std::vector<const Column*>& columns = scratch_.batch_columns;
        columns.clear();
        for (const Column& column : *ids) columns.push_back(&column);
        columns.push_back(&loop_column);
        columns.insert(columns.end(), tag_columns.begin(), tag_columns.end());

        return sink_(schemas_.of(tags), rows, columns);
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
    const ColumnsSink& sink_;
    FrameScratch& scratch_;
    std::vector<std::uint8_t>& state_;
    std::vector<Column>& built_;
    std::vector<std::pair<std::int64_t, std::array<Column, 4>>>& identity_;
};

arrow::Result<std::int32_t> index32(std::size_t index) {
    if (index > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return Status::CapacityError("more than 2147483647 data blocks or save frames");
    return static_cast<std::int32_t>(index);
}

Status convert_frame(FrameData& data, const FrameId& id, Schemas& schemas, Arena& arena,
                     FrameScratch& scratch, const ColumnsSink& sink) {
    const Status status = FrameConverter(data, id, schemas, arena, scratch, sink).run();
    scratch.release();
    ARROW_RETURN_NOT_OK(status);
    data.release_values();  // every value has been handed over
    return Status::OK();
}

}  // namespace

Status document_columns(ParsedCif& document, const ColumnsSink& sink) {
    Schemas schemas;
    Arena arena;
    ScratchLoan loan;
    FrameScratch& scratch = loan.get();
    for (std::size_t b = 0; b < document.blocks.size(); ++b) {
        ParsedBlock& block = document.blocks[b];
        ARROW_ASSIGN_OR_RAISE(auto block_index, index32(b));
        ARROW_RETURN_NOT_OK(convert_frame(block.data, {block_index, block.name, std::nullopt, {}},
                                          schemas, arena, scratch, sink));
        for (std::size_t f = 0; f < block.save_frames.size(); ++f) {
            ParsedSaveFrame& frame = block.save_frames[f];
            ARROW_ASSIGN_OR_RAISE(auto frame_index, index32(f));
            ARROW_RETURN_NOT_OK(convert_frame(frame.data,
                                              {block_index, block.name, frame_index, frame.name},
                                              schemas, arena, scratch, sink));
        }
    }
    return Status::OK();
}

Status document_batches(ParsedCif& document, const BatchSink& sink) {
    return document_columns(document,
                            [&](const std::shared_ptr<arrow::Schema>& schema, std::int64_t rows,
                                std::span<const Column* const> columns) {
                                ArrowArray array;
                                ARROW_RETURN_NOT_OK(export_batch(rows, columns, &array));
                                Status status = sink(schema, &array);
                                if (array.release != nullptr) array.release(&array);
                                return status;
                            });
}

Status document_record_batches(ParsedCif& document, const RecordBatchSink& sink) {
    return document_columns(
        document, [&](const std::shared_ptr<arrow::Schema>& schema, std::int64_t rows,
                      std::span<const Column* const> columns) {
            ARROW_ASSIGN_OR_RAISE(auto batch, make_record_batch(schema, rows, columns));
            return sink(std::move(batch));
        });
}

}  // namespace quarzel
