// One Parquet file of a category table, written row group by row group
// from column chunks that are already encoded: text columns (optional
// UTF-8), identity and status columns (UTF-8 with a dictionary, which
// readers see as plain text) and numbers (int64, float64).
#pragma once

#include <arrow/status.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dataset/pages.hpp"

namespace quarzel::dataset {

struct FileColumn {
    std::string name;
    bool dictionary = false;  // an identity or status column
    bool optional = true;
    pq::Physical physical = pq::kByteArray;  // byte arrays are UTF-8 text
};

class ParquetFile {
public:
    ParquetFile() = default;
    ParquetFile(const ParquetFile&) = delete;
    ParquetFile& operator=(const ParquetFile&) = delete;
    ~ParquetFile() { discard(); }

    // Creates the file at `path` for rows of `columns`; `codec` is
    // Parquet's number for how the pages are compressed.
    arrow::Status open(const std::string& path, std::vector<FileColumn> columns,
                       std::int32_t codec);
    const std::vector<FileColumn>& columns() const noexcept { return columns_; }
    bool has(std::string_view name) const noexcept;

    // Writes a row group of `rows` rows: `chunks[i]` holds the pages of
    // columns()[i], `rows` values each.
    arrow::Status write_row_group(std::int64_t rows, const std::vector<const ColumnChunk*>& chunks);
    // A key and value for the footer's metadata (set before close()).
    void set_metadata(std::string key, std::string value) {
        metadata_.emplace_back(std::move(key), std::move(value));
    }
    // Writes the footer and closes the file.
    arrow::Status close();
    // Closes the file as it is (it is not a valid Parquet file then).
    void discard() noexcept;

private:
    struct ChunkMeta {
        std::int64_t first_page = 0;        // the dictionary page if there is one
        std::int64_t dictionary_bytes = 0;  // 0: no dictionary page
        std::int64_t compressed = 0, uncompressed = 0, values = 0, nulls = 0;
        bool statistics = false, stored = false, split = false, delta = false;
        std::string min, max;
    };
    struct RowGroupMeta {
        std::int64_t rows = 0, offset = 0, compressed = 0, uncompressed = 0;
        std::vector<ChunkMeta> chunks;
    };

    // Appends bytes to the file (small ones through `pending_`).
    arrow::Status write(const void* data, std::size_t size);
    arrow::Status flush_pending();
    arrow::Status write_through(const void* data, std::size_t size);
    // Appends `size` bytes of the open file `from` at `offset`.
    arrow::Status copy_range(int from, std::int64_t offset, std::int64_t size);
    std::string footer() const;

    int fd_ = -1;
    std::string path_;
    std::int64_t position_ = 0;  // the file's length, pending bytes included
    static constexpr std::size_t kPendingBytes = std::size_t{64} << 10;
    std::string pending_;  // written but not yet passed to the system
    std::int32_t codec_ = 0;
    std::vector<FileColumn> columns_;
    std::vector<RowGroupMeta> row_groups_;
    std::vector<std::pair<std::string, std::string>> metadata_;
};

}  // namespace quarzel::dataset
