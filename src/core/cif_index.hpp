// An index of one input: every data block and save frame, and every
// category's rows in each (a block's or frame's tags of one category that
// stand alone, and each loop's tags of one category), with the byte range
// of the file that holds them, the line it starts on and the row count.
// Built in one pass that stores no value (everything is counted); a byte
// range of a plain file is then enough to read one category of one block
// without reading the rest. Every problem record of the pass is kept, with
// the group of rows it was found in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/categories.hpp"
#include "core/document.hpp"
#include "core/document_reader.hpp"

namespace quarzel {

struct IndexFrame {
    std::string name;  // lower-cased
    std::uint64_t begin = 0, end = 0;
    std::uint32_t line = 0;
};

struct IndexBlock {
    std::string name;  // lower-cased
    std::uint64_t begin = 0, end = 0;
    std::uint32_t line = 0, column = 0;  // column: bytes into the line of `data_`
    std::vector<IndexFrame> frames;
};

// One group of rows of one category.
struct IndexEntry {
    std::uint32_t block = 0;
    std::int32_t frame = -1;  // -1: the block's own tags
    std::int32_t loop = -1;   // the loop's position in its frame; -1: tags that stand alone
    std::uint32_t group = 0;  // entries of one loop share it
    std::string category;
    std::vector<std::string> tags;  // lower-cased, each once, in order
    // Bytes [begin, end) of the file hold the rows: `begin` starts the line
    // (number `line`) on which the first tag or `loop_` stands, `column`
    // bytes into it; `end` is past the line where what follows begins.
    std::uint64_t begin = 0, end = 0;
    std::uint32_t line = 0, column = 0;
    std::uint64_t rows = 0;
    // Values with no tag of their own are among the rows (they have no
    // place to start from): read from the block's `data_` on.
    bool from_block_start = false;
};

struct CifIndex {
    std::vector<IndexBlock> blocks;
    std::vector<IndexEntry> entries;         // in the order their rows begin
    std::vector<NativeParseError> errors;    // every record of the input, in order
    std::vector<std::int64_t> error_groups;  // the group of each record, or -1
    CifVersion version = CifVersion::Cif11;
    std::optional<NativeParseError> latin1;  // present: the text was read as Latin-1
};

// Builds the index of the input `open` gives (its offsets are those of the
// bytes it gives: a file's). Throws InputError.
CifIndex build_index(const DocumentReader::Opener& open, std::size_t window);

// The rows of `entry`'s block (and frame) in the bytes `range` gives (those
// of [entry.begin, end) of the same input), keeping what `selection` wants:
// a document of one block of its name (its save frame, if any, inside).
// Throws InputError.
ParsedCif read_index_range(ByteSource& range, const CifIndex& index, const IndexEntry& entry,
                           const Selection& selection, std::size_t window);

}  // namespace quarzel
