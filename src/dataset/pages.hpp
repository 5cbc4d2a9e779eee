// Parquet pages as the archive engine writes them: text columns in plain
// encoding, identity columns with a dictionary, definition levels in the
// run-length/bit-packed hybrid, each page compressed on its own. A column's
// pages for one row group gather in a ColumnChunk until the row group is
// written (the pages of one column chunk must lie together in the file).
#pragma once

#include <arrow/util/compression.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_buffer.hpp"

namespace quarzel::dataset {

// Parquet's numbers for what is written here.
namespace pq {
enum Encoding : std::int32_t {
    kPlain = 0,
    kRle = 3,
    kDeltaBinaryPacked = 5,
    kRleDictionary = 8,
    kByteStreamSplit = 9
};
enum PageType : std::int32_t { kDataPage = 0, kDictionaryPage = 2 };
enum Physical : std::int32_t { kInt64 = 2, kDouble = 5, kByteArray = 6 };
constexpr std::int32_t kUtf8 = 0;  // converted type
}  // namespace pq

// How many bytes of large buffers (a mapping of their own each) a worker's
// columns keep from one row group to the next. A released buffer grows
// again into fresh pages that the system zeroes one by one on first touch:
// in a typed run, whose columns hold numbers beside their text, those
// faults were a fifth of the workers' time. Small buffers are always kept;
// large ones while the allowance lasts, so that a worker's thousands of
// columns do not each hold on to their largest row group.
class KeptBytes {
public:
    explicit KeptBytes(std::size_t allowance = 0) noexcept : left_(allowance) {}
    // Whether a buffer of `capacity` bytes is kept (then counted).
    bool keep(std::size_t capacity) noexcept {
        if (capacity <= ByteBuffer::kMapBytes) return true;
        if (capacity > left_) return false;
        left_ -= capacity;
        return true;
    }

private:
    std::size_t left_;
};

// The compressed pages of one column of one row group, each after its
// header, and what the footer says of them. The pages are in `bytes`, or,
// for a chunk moved as it is from another Parquet file, at `source_offset`
// in the open file `source_fd` (`source_bytes` of them), copied from there
// when the chunk is written.
struct ColumnChunk {
    ByteBuffer bytes;
    int source_fd = -1;
    std::int64_t source_offset = 0, source_bytes = 0;
    std::int64_t values = 0;            // rows, nulls included
    std::int64_t uncompressed = 0;      // all pages with their headers, uncompressed
    std::int64_t dictionary_bytes = 0;  // the leading dictionary page with its header, or 0
    std::int64_t nulls = 0;
    bool statistics = false;  // min and max below hold
    bool stored = false;      // the pages are not compressed (whatever the file's codec)
    bool split = false;       // values in byte streams (float64)
    bool delta = false;       // values as packed differences (int64)
    std::string min, max;

    std::int64_t size() const noexcept {
        return source_fd >= 0 ? source_bytes : static_cast<std::int64_t>(bytes.size());
    }
    void reset() {
        KeptBytes none;
        reset(none);
    }
    void reset(KeptBytes& kept);
};

// Compresses pages and appends them to chunks; one per worker (it keeps
// its scratch buffers from page to page).
class PageWriter {
public:
    PageWriter();
    std::int32_t codec_id() const noexcept { return codec_id_; }

    // Appends `data` as one page of `type` holding `values` values to
    // `chunk`, compressed unless the chunk is `stored`.
    void add(ColumnChunk& chunk, pq::PageType type, std::int32_t values, pq::Encoding encoding,
             const unsigned char* data, std::size_t size);

private:
    std::unique_ptr<arrow::util::Codec> codec_;  // null: pages are stored uncompressed
    std::int32_t codec_id_ = 0;
    ByteBuffer compressed_;
    std::string header_;
};

// Appends `v` as a ULEB128 varint (the run headers of the hybrid encoding).
void put_varint(std::string& out, std::uint64_t v);

// Definition levels as runs: rows with a value (level 1) or null (0).
// Nulls come from tags a file or loop lacks, so they come in runs, and
// a column of a thousand sparse tags costs a run each, not a byte a row.
struct LevelRun {
    std::size_t rows;
    std::uint8_t level;
};
class LevelRuns {
public:
    void add(std::uint8_t level, std::size_t rows) {
        if (rows == 0) return;
        if (!runs_.empty() && runs_.back().level == level)
            runs_.back().rows += rows;
        else
            runs_.push_back({rows, level});
    }
    const std::vector<LevelRun>& runs() const noexcept { return runs_; }
    void clear() noexcept { runs_.clear(); }
    // Empties the runs, and frees them when many.
    void reset() {
        if (runs_.capacity() > 4096)
            std::vector<LevelRun>().swap(runs_);
        else
            runs_.clear();
    }

private:
    std::vector<LevelRun> runs_;
};

// Appends the levels in the hybrid encoding of bit width 1 (as runs) after
// their 4-byte length, as a data page of version 1 has them.
void put_levels(const LevelRuns& levels, std::string& out);

// One text column of a table being filled: the current page's values
// (plain: each a 4-byte length and its bytes), after room for its levels;
// full pages are compressed into `chunk` as the column grows.
class TextColumn {
public:
    static constexpr std::size_t kPageBytes = std::size_t{1} << 20;

    std::string name;
    ColumnChunk chunk;

    TextColumn();
    std::size_t size() const noexcept { return rows_; }

    // Room for `bytes` more bytes of values; write them at values().end()
    // and advance(), then report the rows with added_values().
    ByteBuffer& values() noexcept { return page_; }
    void added_values(std::size_t rows) {
        rows_ += rows;
        page_rows_ += rows;
        levels_.add(1, rows);
    }
    void push_nulls(std::size_t n);
    void pad_to(std::size_t rows) {
        if (rows_ < rows) push_nulls(rows - rows_);
    }
    // Ends the page when it is full.
    void maybe_cut(PageWriter& pages) {
        if (page_.size() >= kPageBytes + kLevelRoom) cut(pages);
    }
    // Ends the last page: the chunk is complete.
    void finish(PageWriter& pages) {
        if (page_rows_ != 0) cut(pages);
    }
    // Gives null rows a text: `text(row, out)` appends the text of null row
    // `row` and returns true, or returns false to leave it null. Only while
    // no page has been cut (the rows are read back from the page).
    template <class Text>
    void fill_nulls(PageWriter& pages, Text&& text);
    // Empties the column for the next row group; its buffers are kept
    // unless large and beyond what `kept` allows.
    void reset() {
        KeptBytes none;
        reset(none);
    }
    void reset(KeptBytes& kept);

private:
    // Bytes kept before the values of a page for its levels: enough for a
    // page without nulls, which is most pages (levels that need more are
    // put before the values in a copy).
    static constexpr std::size_t kLevelRoom = 16;

    void cut(PageWriter& pages);
    void start_page();

    void add_value(const unsigned char* bytes, std::size_t n) {
        page_.reserve_more(4 + n);
        const auto len = static_cast<std::uint32_t>(n);
        std::memcpy(page_.end(), &len, 4);
        if (n != 0) std::memcpy(page_.end() + 4, bytes, n);
        page_.advance(4 + n);
        added_values(1);
    }

    ByteBuffer page_;
    LevelRuns levels_;  // of the page's rows
    std::string encoded_levels_;
    std::string scratch_;
    std::size_t rows_ = 0;
    std::size_t page_rows_ = 0;
};

template <class Text>
void TextColumn::fill_nulls(PageWriter& pages, Text&& text) {
    const ByteBuffer old = std::move(page_);
    const LevelRuns old_levels = std::move(levels_);
    levels_ = LevelRuns();
    rows_ = 0;
    chunk.nulls = 0;
    start_page();
    const unsigned char* in = old.data() + kLevelRoom;
    std::string cell;
    std::size_t row = 0;
    for (const LevelRun& run : old_levels.runs()) {
        for (std::size_t k = 0; k < run.rows; ++k, ++row) {
            if (run.level != 0) {
                std::uint32_t len;
                std::memcpy(&len, in, 4);
                add_value(in + 4, len);
                in += 4 + len;
            } else if (cell.clear(); text(row, cell)) {
                add_value(reinterpret_cast<const unsigned char*>(cell.data()), cell.size());
            } else {
                push_nulls(1);
            }
            maybe_cut(pages);
        }
    }
}

}  // namespace quarzel::dataset
