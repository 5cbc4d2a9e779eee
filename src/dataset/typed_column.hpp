// What a typed run keeps beside a tag's text column for one row group: the
// column's numbers, the text of the cells that are no numbers (a column a
// dictionary types numeric: `<tag>_text`), and the chunks they become.
#pragma once

#include "dataset/kinds.hpp"
#include "dataset/number_column.hpp"
#include "dataset/pages.hpp"

namespace quarzel::dataset {

struct TypedColumn {
    ColumnKinds* run = nullptr;          // typed by values: the run's kinds of this column
    Declared declared = Declared::Text;  // typed by a dictionary: what it says
    NumberColumn numbers;
    TextColumn text_cells;  // typed by a dictionary: the cells that are text
    ColumnChunk value_chunk, su_chunk, status_chunk;
    // Typed by values: values went by without being looked at (the run
    // had found text in the column): this row group's numbers are void.
    bool unseen = false;
    // Typed by values: rows of the tag's text column left null because
    // their numbers give their text back (fill_text writes them).
    std::size_t left_out = 0;

    bool by_dictionary() const noexcept { return run == nullptr; }

    void pad_to(std::size_t rows) {
        if (!unseen) numbers.pad_to(rows);
        if (by_dictionary()) text_cells.pad_to(rows);
    }
    void reset() {
        KeptBytes none;
        reset(none);
    }
    void reset(KeptBytes& kept) {
        numbers.reset(kept);
        text_cells.reset(kept);
        value_chunk.reset(kept);
        su_chunk.reset(kept);
        status_chunk.reset(kept);
        unseen = false;
        left_out = 0;
        if (declared == Declared::Real) numbers.use_doubles();
    }
};

}  // namespace quarzel::dataset
