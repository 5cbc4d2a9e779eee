#include "arrow/category_tables.hpp"

#include <arrow/api.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

#include "arrow/record_batch.hpp"
#include "arrow/text_columns.hpp"
#include "core/name_index.hpp"

namespace quarzel {

using arrow::Status;
using arrow_stage::Column;

// The rows of one group: one frame's tags of one category.
struct CategoryTables::Chunk {
    std::int64_t rows = 0;
    std::string block;
    std::optional<std::string> frame;
    std::vector<std::pair<std::size_t, Column>> columns;  // (tag position in the table, cells)
};

struct CategoryTables::Table {
    std::string name;
    std::vector<std::string> tags;  // in order of first appearance
    std::unordered_map<std::string, std::size_t> positions;
    bool frames = false;
    std::vector<Chunk> chunks;

    std::size_t position(std::string_view tag) {
        auto it = positions.find(std::string(tag));
        if (it != positions.end()) return it->second;
        tags.emplace_back(tag);
        positions.emplace(tags.back(), tags.size() - 1);
        return tags.size() - 1;
    }
};

namespace {

// `column` (Utf8, no nulls) with null cells after its values up to `rows`.
arrow::Result<Column> padded(const Column& column, std::int64_t rows, arrow_stage::Arena& arena) {
    using namespace arrow_stage;
    const auto* offsets = static_cast<const std::int32_t*>(column.buffers[1]);
    const std::int64_t n = column.length;
    const std::int32_t end = offsets[n];
    const std::size_t bitmap = bitmap_bytes(rows);
    const std::size_t offset_bytes = round8(4 * (static_cast<std::size_t>(rows) + 1));
    Column out;
    unsigned char* p =
        arena.allocate(bitmap + offset_bytes + static_cast<std::size_t>(end), out.keeper);
    if (p == nullptr) return out_of_memory();
    fill_bitmap(p, rows, n);
    auto* out_offsets = reinterpret_cast<std::int32_t*>(p + bitmap);
    std::memcpy(out_offsets, offsets, 4 * static_cast<std::size_t>(n + 1));
    std::fill(out_offsets + n + 1, out_offsets + rows + 1, end);
    if (end != 0) std::memcpy(p + bitmap + offset_bytes, column.buffers[2], end);
    out.length = rows;
    out.null_count = rows - n;
    out.buffers = {p, out_offsets, p + bitmap + offset_bytes};
    return out;
}

// A group of one frame's tags that go to one table.
struct Group {
    std::string category;
    std::vector<std::string_view> tags;  // each once
};

Group& group_for(std::vector<Group>& groups, std::string_view category) {
    for (Group& g : groups)
        if (g.category == category) return g;
    return groups.emplace_back(Group{std::string(category), {}});
}

void add_once(Group& g, std::string_view tag) {
    if (std::find(g.tags.begin(), g.tags.end(), tag) == g.tags.end()) g.tags.push_back(tag);
}

}  // namespace

CategoryTables::CategoryTables(const Selection& selection) : selection_(selection) {}
CategoryTables::~CategoryTables() = default;

CategoryTables::Table& CategoryTables::table(std::string_view category) {
    auto it = by_name_.find(std::string(category));
    if (it != by_name_.end()) return *it->second;
    auto& t = tables_.emplace_back(std::make_unique<Table>());
    t->name = std::string(category);
    by_name_.emplace(t->name, t.get());
    return *t;
}

Status CategoryTables::add_block(ParsedBlock& block, std::vector<NativeParseError>& errors) {
    ARROW_RETURN_NOT_OK(add_frame(block.data, block.name, nullptr, errors));
    for (ParsedSaveFrame& frame : block.save_frames)
        ARROW_RETURN_NOT_OK(add_frame(frame.data, block.name, &frame.name, errors));
    block.data.release_values();
    for (ParsedSaveFrame& frame : block.save_frames) frame.data.release_values();
    return Status::OK();
}

Status CategoryTables::add_frame(FrameData& data, const std::string& block,
                                 const std::string* frame, std::vector<NativeParseError>& errors) {
    NameSet looped;
    for (const auto& loop : data.loops)
        for (std::string_view tag : loop) looped.insert(tag);

    // Each tag's cells as many as it has values, made once (a tag may
    // stand in more than one loop).
    std::unordered_map<std::string_view, Column> built;
    auto build = [&](const std::vector<std::string_view>& tags) -> Status {
        std::vector<arrow_stage::ColumnRequest> requests;
        std::vector<std::string_view> requested;
        for (std::string_view tag : tags) {
            if (built.contains(tag)) continue;
            ValueColumn* values = data.find(tag);
            if (values == nullptr || values->counted() || values->empty()) continue;
            requests.push_back({values, static_cast<std::int64_t>(values->size())});
            requested.push_back(tag);
        }
        if (requests.empty()) return Status::OK();
        ARROW_ASSIGN_OR_RAISE(auto columns, arrow_stage::build_columns(requests, arena_));
        for (std::size_t k = 0; k < columns.size(); ++k)
            built.emplace(requested[k], std::move(columns[k]));
        return Status::OK();
    };
    auto emit = [&](const Group& g, std::int64_t rows, bool loop) -> Status {
        ARROW_RETURN_NOT_OK(build(g.tags));
        Table& t = table(g.category);
        Chunk chunk;
        chunk.rows = rows;
        chunk.block = block;
        if (frame != nullptr) {
            chunk.frame = *frame;
            t.frames = true;
        }
        for (std::string_view tag : g.tags) {
            auto it = built.find(tag);
            const std::int64_t n = it == built.end() ? 0 : it->second.length;
            if (loop && n != rows) {
                NativeParseError e;
                e.error_type = ErrorType::Semantic;
                e.message = "schema/array length mismatch: loop tag " + quoted(tag) + " has " +
                            std::to_string(n) + " value(s) for " + std::to_string(rows) + " row(s)";
                e.context = std::string(tag);
                e.recovery_action =
                    n < rows ? "missing cells left null" : "values beyond the last row dropped";
                errors.push_back(std::move(e));
            }
            Column cells;
            if (n == 0) {
                ARROW_ASSIGN_OR_RAISE(cells, arrow_stage::null_column(arena_, rows, true));
            } else if (n < rows) {
                ARROW_ASSIGN_OR_RAISE(cells, padded(it->second, rows, arena_));
            } else {
                cells = it->second;
                cells.length = rows;  // values beyond the last row dropped
            }
            chunk.columns.emplace_back(t.position(tag), std::move(cells));
        }
        t.chunks.push_back(std::move(chunk));
        return Status::OK();
    };

    // The scalar tags: one group per category, as many rows as the tag with
    // most values (of every category: the frame's scalar batch).
    std::int64_t scalar_rows = 0;
    std::vector<Group> groups;
    for (std::size_t i = 0; i < data.tag_order.size(); ++i) {
        const std::string_view tag = data.tag_order[i];
        if (looped.contains(tag)) continue;
        if (i < data.columns.size())
            scalar_rows = std::max(scalar_rows, static_cast<std::int64_t>(data.columns[i].size()));
        const std::string_view category = item_category(tag);
        if (selection_.wants_category(category)) add_once(group_for(groups, category), tag);
    }
    if (scalar_rows != 0)
        for (const Group& g : groups) ARROW_RETURN_NOT_OK(emit(g, scalar_rows, false));

    // Each loop: as many rows as its first tag has values (counted before
    // any column is made: making one frees its values).
    std::vector<std::int64_t> loop_rows;
    for (const auto& loop : data.loops) {
        const ValueColumn* first = loop.empty() ? nullptr : data.find(loop.front());
        loop_rows.push_back(static_cast<std::int64_t>(first ? first->size() : 0));
    }
    for (std::size_t n = 0; n < data.loops.size(); ++n) {
        const auto& loop = data.loops[n];
        const std::int64_t rows = loop_rows[n];
        if (rows == 0) continue;
        groups.clear();
        const std::vector<std::string> categories = loop_categories(loop, selection_.dictionary());
        for (std::size_t i = 0; i < loop.size(); ++i)
            if (selection_.wants_category(categories[i]))
                add_once(group_for(groups, categories[i]), loop[i]);
        for (const Group& g : groups) ARROW_RETURN_NOT_OK(emit(g, rows, true));
    }
    return Status::OK();
}

arrow::Result<std::vector<std::pair<std::string, std::shared_ptr<arrow::Table>>>>
CategoryTables::finish(const std::vector<std::string>& named) {
    std::vector<std::pair<std::string, std::shared_ptr<arrow::Table>>> out;
    for (const auto& t : tables_) {
        arrow::FieldVector fields{arrow::field("_block_name", arrow::utf8(), false)};
        if (t->frames) fields.push_back(arrow::field("_frame_name", arrow::utf8(), true));
        const std::size_t first_tag = fields.size();
        for (const std::string& tag : t->tags)
            fields.push_back(arrow::field(tag, arrow::utf8(), true));
        auto schema = arrow::schema(std::move(fields));
        std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
        batches.reserve(t->chunks.size());
        for (Chunk& chunk : t->chunks) {
            std::vector<Column> own;  // identity columns and nulls
            own.reserve(3);
            std::vector<const Column*> columns(first_tag + t->tags.size(), nullptr);
            ARROW_ASSIGN_OR_RAISE(own.emplace_back(),
                                  arrow_stage::constant_text(arena_, chunk.rows, chunk.block));
            columns[0] = &own.back();
            if (t->frames) {
                if (chunk.frame) {
                    ARROW_ASSIGN_OR_RAISE(
                        own.emplace_back(),
                        arrow_stage::constant_text(arena_, chunk.rows, *chunk.frame));
                } else {
                    ARROW_ASSIGN_OR_RAISE(own.emplace_back(),
                                          arrow_stage::null_column(arena_, chunk.rows, true));
                }
                columns[1] = &own.back();
            }
            for (const auto& [position, column] : chunk.columns)
                columns[first_tag + position] = &column;
            if (std::find(columns.begin(), columns.end(), nullptr) != columns.end()) {
                ARROW_ASSIGN_OR_RAISE(own.emplace_back(),
                                      arrow_stage::null_column(arena_, chunk.rows, true));
                for (const Column*& c : columns)
                    if (c == nullptr) c = &own.back();
            }
            ARROW_ASSIGN_OR_RAISE(auto batch,
                                  arrow_stage::make_record_batch(schema, chunk.rows, columns));
            batches.push_back(std::move(batch));
            chunk.columns.clear();  // the batch holds what it needs
        }
        ARROW_ASSIGN_OR_RAISE(auto table, arrow::Table::FromRecordBatches(schema, batches));
        out.emplace_back(t->name, std::move(table));
    }
    for (const std::string& name : named) {
        if (by_name_.contains(name)) continue;
        auto schema = arrow::schema({arrow::field("_block_name", arrow::utf8(), false)});
        ARROW_ASSIGN_OR_RAISE(auto table, arrow::Table::MakeEmpty(schema));
        out.emplace_back(name, std::move(table));
    }
    tables_.clear();
    by_name_.clear();
    return out;
}

}  // namespace quarzel
