// The rows of chosen categories as Arrow tables in the archive engine's
// layout: one table per category over every block read, with the identity
// columns `_block_name` (and `_frame_name` where rows come from save frames)
// before one Utf8 column per tag, named by its lower-case tag. A row of a
// category table is a row of a parse_arrow batch restricted to that
// category's tags: a frame's scalar tags of the category make one group of
// rows (as many as the frame's scalar batch has), each loop's tags of the
// category another (as many as the loop has rows).
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>
#include <arrow/type_fwd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrow/columns.hpp"
#include "arrow/memory.hpp"
#include "core/categories.hpp"
#include "core/document.hpp"

namespace quarzel {

class CategoryTables {
public:
    // Keeps the categories `selection` wants (it must outlive this).
    explicit CategoryTables(const Selection& selection);
    ~CategoryTables();
    CategoryTables(const CategoryTables&) = delete;
    CategoryTables& operator=(const CategoryTables&) = delete;

    // Takes the rows of one block: its own tags, then each save frame's.
    // The block's value columns are freed as their arrays are made. A loop
    // tag whose values differ in number from the loop's rows gets a record
    // in `errors` (as the archive engine reports it), its cells cut or
    // padded with nulls.
    arrow::Status add_block(ParsedBlock& block, std::vector<NativeParseError>& errors);

    // The tables, in the order their categories were first met, then an
    // empty table (only `_block_name`) for each category of `named` that
    // had no rows.
    arrow::Result<std::vector<std::pair<std::string, std::shared_ptr<arrow::Table>>>> finish(
        const std::vector<std::string>& named = {});

private:
    struct Chunk;
    struct Table;
    Table& table(std::string_view category);
    arrow::Status add_frame(FrameData& data, const std::string& block, const std::string* frame,
                            std::vector<NativeParseError>& errors);

    const Selection& selection_;
    arrow_stage::Arena arena_;
    std::vector<std::unique_ptr<Table>> tables_;
    std::unordered_map<std::string, Table*> by_name_;
};

}  // namespace quarzel
