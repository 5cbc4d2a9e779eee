#include "dataset/settle_source.hpp"

#include <fcntl.h>
#include <parquet/statistics.h>

#include <cerrno>
#include <cstring>

namespace quarzel::dataset::settling {

namespace {

arrow::Status io_error(const std::string& what, const std::string& path, int code) {
    return arrow::Status::IOError(what, " ", path, ": ", std::strerror(code));
}

}  // namespace

arrow::Status Source::open(const std::string& p) {
    path = p;
    try {
        reader = parquet::ParquetFileReader::OpenFile(path, false);
        meta = reader->metadata();
    } catch (const std::exception& e) {
        return arrow::Status::IOError(path, ": ", e.what());
    }
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return io_error("cannot open", path, errno);
    return arrow::Status::OK();
}

// The physical types the engine writes, as FileColumn has them.
bool physical_of(parquet::Type::type t, pq::Physical& out) {
    switch (t) {
        case parquet::Type::INT64:
            out = pq::kInt64;
            return true;
        case parquet::Type::DOUBLE:
            out = pq::kDouble;
            return true;
        case parquet::Type::BYTE_ARRAY:
            out = pq::kByteArray;
            return true;
        default:
            return false;
    }
}

// The chunk of column `column` of row group `group`, its pages as they are
// in the file (left there: `out` names where they are). False when it
// cannot move into a file of the engine's codec.
arrow::Result<bool> copy_chunk(const Source& s, int group, int column, std::int32_t codec,
                               ColumnChunk& out) {
    out.reset();
    const auto m = s.meta->RowGroup(group)->ColumnChunk(column);
    const bool dict = m->has_dictionary_page();
    const std::int64_t first = dict ? m->dictionary_page_offset() : m->data_page_offset();
    const std::int64_t size = m->total_compressed_size();
    const auto compression = m->compression();
    if (compression == arrow::Compression::UNCOMPRESSED)
        out.stored = true;
    else if (compression != arrow::Compression::SNAPPY || codec != kSnappy)
        return false;
    const auto stats = m->encoded_statistics();
    if (!stats || !stats->has_null_count || first < 4 || size < 0) return false;
    out.nulls = stats->null_count;
    if (stats->has_min && stats->has_max) {
        out.statistics = true;
        out.min = stats->min();
        out.max = stats->max();
    }
    for (const auto e : m->encodings()) {
        if (e == parquet::Encoding::BYTE_STREAM_SPLIT) out.split = true;
        if (e == parquet::Encoding::DELTA_BINARY_PACKED) out.delta = true;
    }
    out.values = m->num_values();
    out.uncompressed = m->total_uncompressed_size();
    out.dictionary_bytes = dict ? m->data_page_offset() - first : 0;
    // Copied from the file when the settled part is written.
    out.source_fd = s.fd;
    out.source_offset = first;
    out.source_bytes = size;
    return true;
}

// The codes of a status column's texts (NumberColumn::kStatusNames); -1
// for a text that is none of them.
int status_code(const parquet::ByteArray& v) {
    for (int c = 0; c < 4; ++c) {
        const char* name = NumberColumn::kStatusNames[c];
        if (v.len == std::strlen(name) && std::memcmp(v.ptr, name, v.len) == 0) return c;
    }
    return -1;
}

}  // namespace quarzel::dataset::settling
