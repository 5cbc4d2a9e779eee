// Settling a part of a run typed by its values (quarzel/_native_typing.py):
// the part is written again with each column as the whole table lays it
// out. Column chunks that stay as they are move byte for byte (their pages
// are not decoded); a column that turned out to hold text takes the chunks
// of its text kept beside the part (OUT/.text/<table>/) when that text is
// whole, or is written from it and the part's numbers when the kept text
// holds only what the numbers cannot give back; only columns that become
// numbers, or whose numbers change layout, are decoded and encoded again.
// Row groups stay as they were, so the part and its kept text still line up
// row group by row group.
#pragma once

#include <arrow/result.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quarzel::dataset {

// Where one column of the settled part comes from.
struct SettleColumn {
    enum Source : std::uint8_t {
        Part,     // the part's column `index`, as it is
        Text,     // the text of the part's numbers `index`, named `name`
        Numbers,  // numbers from the part's column `index` (text or numbers)
    } source = Part;
    int index = -1;
    std::string name;
    // Numbers: float64 (else int64); the names of the su and status
    // columns written beside it (empty: none). Text and Numbers: the part's
    // su and status columns of a numeric source (-1: none).
    bool doubles = false;
    std::string su, status;
    int su_index = -1, status_index = -1;
    // The kept text's column of the tag (-1: none). A row's kept text is
    // its text; where it is null the row's number gives its text back (see
    // core/number_text.hpp). Integers that become float64 take the rows
    // with kept text from it, where `-0` is still -0.0.
    int text_index = -1;
};

struct SettleJob {
    std::string part;  // the part to settle
    std::string text;  // the text kept beside it (empty, or no file: none)
    std::string out;   // the settled part is written here
    // When not empty, the kept text is written here too: its columns, then
    // the part's columns `text_add` (text that becomes numbers).
    std::string text_out;
    std::vector<SettleColumn> columns;
    std::vector<int> text_add;
    std::string key, value;  // the settled part's footer metadata
};

// Writes the settled part (and kept text). False, with nothing written,
// when the files are not laid out as the engine writes them (another
// writer's part, another codec, row groups of the part and its text that
// differ): the caller takes the general route then.
arrow::Result<bool> settle_part(const SettleJob& job);

}  // namespace quarzel::dataset
