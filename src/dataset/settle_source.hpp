// The files settling reads (settle.cpp): a part or the text kept beside
// it, its footer through Parquet's reader, the chunks that move as they are
// through a descriptor of its own, and the columns that change decoded.
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>
#include <parquet/column_reader.h>
#include <parquet/file_reader.h>
#include <parquet/metadata.h>
#include <parquet/schema.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "dataset/number_column.hpp"
#include "dataset/parquet_file.hpp"
#include "dataset/settle.hpp"

namespace quarzel::dataset::settling {

constexpr std::int32_t kSnappy = 1;  // Parquet's number for the codec

// A Parquet file being read: its footer through Parquet's reader (which
// also decodes the columns that change), its bytes through a descriptor of
// its own (the chunks that move as they are).
struct Source {
    std::string path;
    std::unique_ptr<parquet::ParquetFileReader> reader;
    std::shared_ptr<parquet::FileMetaData> meta;
    int fd = -1;

    Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source() {
        if (fd >= 0) ::close(fd);
    }

    arrow::Status open(const std::string& p);
    bool by_engine() const { return meta->created_by().rfind("quarzel", 0) == 0; }
    int columns() const { return meta->num_columns(); }
    const parquet::ColumnDescriptor* column(int i) const { return meta->schema()->Column(i); }
};

// The physical types the engine writes, as FileColumn has them.
bool physical_of(parquet::Type::type t, pq::Physical& out);

// The chunk of column `column` of row group `group`, its pages as they are
// in the file (left there: `out` names where they are). False when it
// cannot move into a file of the engine's codec.
arrow::Result<bool> copy_chunk(const Source& s, int group, int column, std::int32_t codec,
                               ColumnChunk& out);

// One column of one row group, decoded: a definition level per row and
// the values of the rows that have one. Text is copied out of each page as
// it is read: Parquet's reader hands out text that points into the page
// it decoded, which the next page may overwrite.
template <class DType>
struct Decoded {
    using T = typename DType::c_type;
    static constexpr bool kText = std::is_same_v<DType, parquet::ByteArrayType>;
    std::vector<std::int16_t> defs;
    std::vector<T> values;
    std::string bytes;  // text: the values' bytes, one after another

    bool defined(std::size_t row) const { return defs.empty() || defs[row] > 0; }

    void read(parquet::RowGroupReader& group, int column, std::int64_t rows) {
        auto reader =
            std::static_pointer_cast<parquet::TypedColumnReader<DType>>(group.Column(column));
        const bool optional =
            group.metadata()->schema()->Column(column)->max_definition_level() > 0;
        defs.assign(optional ? static_cast<std::size_t>(rows) : 0, 0);
        values.resize(static_cast<std::size_t>(rows));
        bytes.clear();
        std::int64_t levels = 0, count = 0;
        while (levels < rows) {
            std::int64_t got = 0;
            const std::int64_t n =
                reader->ReadBatch(rows - levels, optional ? defs.data() + levels : nullptr, nullptr,
                                  values.data() + count, &got);
            if (n == 0) throw parquet::ParquetException("a column ends before its row group");
            if constexpr (kText)
                for (std::int64_t i = count; i < count + got; ++i)
                    bytes.append(reinterpret_cast<const char*>(values[i].ptr), values[i].len);
            levels += n;
            count += got;
        }
        values.resize(static_cast<std::size_t>(count));
        if constexpr (kText) {
            const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
            for (T& v : values) {
                v.ptr = p;
                p += v.len;
            }
        }
    }
};

// The codes of a status column's texts (NumberColumn::kStatusNames); -1
// for a text that is none of them.
int status_code(const parquet::ByteArray& v);

// The numbers of a numeric column of the part in one row group (its
// values, su and status columns), decoded and handed out row by row.
struct PartNumbers {
    struct Row {
        std::uint8_t code;  // NumberColumn's status code, with kHasSu
        const void* value;  // 8 bytes, int64 or double as `doubles` says; null when no number
        const void* su;     // the same, or null
    };

    bool doubles = false;
    int su_column = -1, status_column = -1;
    Decoded<parquet::Int64Type> ints, int_sus;  // doubles go through their bits
    Decoded<parquet::DoubleType> reals, real_sus;
    Decoded<parquet::ByteArrayType> status;
    std::size_t value_at = 0, su_at = 0, code_at = 0;

    // False when the columns are not numbers with an su of their type and
    // a status of text.
    bool read(const Source& s, parquet::RowGroupReader& group, const SettleColumn& c,
              std::int64_t rows) {
        const auto physical = s.column(c.index)->physical_type();
        if (physical != parquet::Type::INT64 && physical != parquet::Type::DOUBLE) return false;
        if (c.su_index >= 0 && s.column(c.su_index)->physical_type() != physical) return false;
        if (c.status_index >= 0 &&
            s.column(c.status_index)->physical_type() != parquet::Type::BYTE_ARRAY)
            return false;
        doubles = physical == parquet::Type::DOUBLE;
        su_column = c.su_index;
        status_column = c.status_index;
        if (doubles) {
            reals.read(group, c.index, rows);
            if (su_column >= 0) real_sus.read(group, su_column, rows);
        } else {
            ints.read(group, c.index, rows);
            if (su_column >= 0) int_sus.read(group, su_column, rows);
        }
        if (status_column >= 0) status.read(group, status_column, rows);
        value_at = su_at = code_at = 0;
        return true;
    }

    // Row r, the rows taken in order. False when its status and value
    // disagree (a number without its value, or the other way).
    bool next(std::size_t r, Row& row) {
        const bool has_value = doubles ? reals.defined(r) : ints.defined(r);
        const bool has_su = su_column >= 0 && (doubles ? real_sus.defined(r) : int_sus.defined(r));
        std::uint8_t code;
        if (status_column >= 0) {
            if (status.defined(r)) {
                const int k = status_code(status.values[code_at++]);
                if (k < 0) return false;
                code = static_cast<std::uint8_t>(k);
            } else {
                code = NumberColumn::kNull;
            }
        } else {
            code = has_value ? 0 : NumberColumn::kNull;
        }
        if ((code == 0) != has_value) return false;
        row.value = row.su = nullptr;
        if (has_value)
            row.value = doubles ? static_cast<const void*>(&reals.values[value_at++])
                                : static_cast<const void*>(&ints.values[value_at++]);
        if (has_su) {
            row.su = doubles ? static_cast<const void*>(&real_sus.values[su_at++])
                             : static_cast<const void*>(&int_sus.values[su_at++]);
            if (has_value) code |= NumberColumn::kHasSu;
        }
        row.code = code;
        return true;
    }
};

}  // namespace quarzel::dataset::settling
