// The rows of one category gathered by a worker since its last row group:
// identity columns (one value for many rows) and text columns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dataset/pages.hpp"
#include "dataset/text_map.hpp"
#include "dataset/typed_column.hpp"

namespace quarzel::dataset {

constexpr std::string_view kFileColumn = "_file";
constexpr std::string_view kBlockColumn = "_block_name";
constexpr std::string_view kFrameColumn = "_frame_name";

// An identity column (_file, _block_name, _frame_name): one value for many
// rows, kept as runs of a code into the distinct values, and written with
// a dictionary: a run of one code per file or block.
struct IdColumn {
    struct Run {
        std::int32_t code;  // -1: null
        std::size_t rows;
    };
    std::string name;
    std::vector<std::string> values;
    TextMap<std::int32_t> code_of;
    std::vector<Run> runs;
    std::size_t rows = 0;
    std::size_t nulls = 0;
    ColumnChunk chunk;

    std::size_t size() const noexcept { return rows; }
    void push(std::string_view value, std::size_t n) {
        auto [it, added] =
            code_of.try_emplace(std::string(value), static_cast<std::int32_t>(values.size()));
        if (added) values.emplace_back(value);
        add_run(it->second, n);
    }
    void pad_to(std::size_t n) {
        if (rows < n) {
            nulls += n - rows;
            add_run(-1, n - rows);
        }
    }
    // Writes the rows as a column chunk: a dictionary page and one page of
    // codes (a page of levels alone when every row is null).
    void encode(PageWriter& pages, bool optional);
    void reset() {
        values.clear();
        code_of.clear();
        runs.clear();
        rows = nulls = 0;
        chunk.reset();
    }

private:
    void add_run(std::int32_t code, std::size_t n) {
        if (!runs.empty() && runs.back().code == code)
            runs.back().rows += n;
        else
            runs.push_back({code, n});
        rows += n;
    }
};

// A tag's column: its text, and in a typed run its numbers.
struct TagColumn : TextColumn {
    std::unique_ptr<TypedColumn> typed;  // null: an untyped run
    std::size_t first_input = 0;         // the input that brought the tag to this worker

    void pad_all(std::size_t rows) {
        pad_to(rows);
        if (typed) typed->pad_to(rows);
    }
};

// The rows of one category gathered by a worker since its last row group.
struct TableBuffer {
    IdColumn ids[3];                                  // _file, _block_name, _frame_name
    std::vector<std::unique_ptr<TagColumn>> columns;  // the tags, in order of first appearance
    TextMap<TagColumn*> by_name;
    std::size_t rows = 0;
    std::size_t bytes = 0;
    std::uint64_t unflushed_rows = 0;  // counted in the summary once written

    TableBuffer() {
        ids[0].name = kFileColumn;
        ids[1].name = kBlockColumn;
        ids[2].name = kFrameColumn;
    }
    // The tag's column; a new one remembers `input`, the input that brought it.
    TagColumn& column(std::string_view name, std::size_t input) {
        auto it = by_name.find(name);
        if (it != by_name.end()) return *it->second;
        auto& c = columns.emplace_back(std::make_unique<TagColumn>());
        c->name = name;
        c->first_input = input;
        by_name.emplace(c->name, c.get());
        return *c;
    }
    // Empties the buffer for the next row group, its columns' large
    // buffers kept as far as `kept` allows.
    void reset(KeptBytes& kept) {
        for (auto& id : ids) id.reset();
        for (auto& c : columns) {
            c->reset(kept);
            if (c->typed) c->typed->reset(kept);
        }
        rows = 0;
        bytes = 0;
    }
};

}  // namespace quarzel::dataset
