#include "dataset/parquet_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "dataset/thrift_writer.hpp"

namespace quarzel::dataset {

namespace {

constexpr char kMagic[] = "PAR1";

arrow::Status io_error(const std::string& what, const std::string& path, int code) {
    return arrow::Status::IOError(what, " ", path, ": ", std::strerror(code));
}

}  // namespace

arrow::Status ParquetFile::open(const std::string& path, std::vector<FileColumn> columns,
                                std::int32_t codec) {
    discard();
    path_ = path;
    columns_ = std::move(columns);
    codec_ = codec;
    row_groups_.clear();
    metadata_.clear();
    pending_.clear();
    position_ = 0;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) return io_error("cannot create", path, errno);
    // Straight through: a file that cannot be written fails here.
    position_ = 4;
    return write_through(kMagic, 4);
}

bool ParquetFile::has(std::string_view name) const noexcept {
    for (const FileColumn& c : columns_)
        if (c.name == name) return true;
    return false;
}

arrow::Status ParquetFile::write(const void* data, std::size_t size) {
    // Small pieces (the magic, the chunks of small columns) wait in
    // `pending_` and go out together: a file of a small category is then
    // one or two calls to the system, not one per column.
    if (size < kPendingBytes) {
        if (pending_.size() + size > kPendingBytes) ARROW_RETURN_NOT_OK(flush_pending());
        pending_.append(static_cast<const char*>(data), size);
        position_ += static_cast<std::int64_t>(size);
        return arrow::Status::OK();
    }
    ARROW_RETURN_NOT_OK(flush_pending());
    position_ += static_cast<std::int64_t>(size);
    return write_through(data, size);
}

arrow::Status ParquetFile::flush_pending() {
    if (pending_.empty()) return arrow::Status::OK();
    const arrow::Status status = write_through(pending_.data(), pending_.size());
    pending_.clear();
    return status;
}

arrow::Status ParquetFile::write_through(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size != 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return io_error("cannot write", path_, errno);
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return arrow::Status::OK();
}

arrow::Status ParquetFile::copy_range(int from, std::int64_t offset, std::int64_t size) {
    // Within the kernel where the file system can (no copy through this
    // process's memory); read and written otherwise.
    ARROW_RETURN_NOT_OK(flush_pending());
    loff_t at = offset;
    while (size > 0) {
        const ssize_t n =
            ::copy_file_range(from, &at, fd_, nullptr, static_cast<std::size_t>(size), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size -= n;
        position_ += n;
    }
    std::vector<char> buffer;
    while (size > 0) {
        buffer.resize(static_cast<std::size_t>(std::min<std::int64_t>(size, 1 << 20)));
        const ssize_t n = ::pread(from, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return io_error("cannot read a column chunk for", path_, errno);
        if (n == 0)
            return arrow::Status::IOError(path_, ": a column chunk's source file ends early");
        ARROW_RETURN_NOT_OK(write(buffer.data(), static_cast<std::size_t>(n)));
        at += n;
        size -= n;
    }
    return arrow::Status::OK();
}

arrow::Status ParquetFile::write_row_group(std::int64_t rows,
                                           const std::vector<const ColumnChunk*>& chunks) {
    if (fd_ < 0) return arrow::Status::Invalid("the file ", path_, " is not open");
    if (chunks.size() != columns_.size())
        return arrow::Status::Invalid("a row group of ", chunks.size(), " columns for ",
                                      columns_.size());
    RowGroupMeta group;
    group.rows = rows;
    group.offset = position_;
    for (const ColumnChunk* chunk : chunks) {
        if (chunk->values != rows)
            return arrow::Status::Invalid("a column chunk of ", chunk->values,
                                          " values in a row group of ", rows, " rows");
        ChunkMeta meta;
        meta.first_page = position_;
        meta.dictionary_bytes = chunk->dictionary_bytes;
        meta.compressed = chunk->size();
        meta.uncompressed = chunk->uncompressed;
        meta.values = chunk->values;
        meta.nulls = chunk->nulls;
        meta.statistics = chunk->statistics;
        meta.stored = chunk->stored;
        meta.split = chunk->split;
        meta.delta = chunk->delta;
        meta.min = chunk->min;
        meta.max = chunk->max;
        if (chunk->source_fd >= 0)
            ARROW_RETURN_NOT_OK(
                copy_range(chunk->source_fd, chunk->source_offset, chunk->source_bytes));
        else
            ARROW_RETURN_NOT_OK(write(chunk->bytes.data(), chunk->bytes.size()));
        group.compressed += meta.compressed;
        group.uncompressed += meta.uncompressed;
        group.chunks.push_back(std::move(meta));
    }
    row_groups_.push_back(std::move(group));
    return arrow::Status::OK();
}

std::string ParquetFile::footer() const {
    std::string out;
    ThriftWriter w(out);
    std::int64_t rows = 0;
    for (const RowGroupMeta& g : row_groups_) rows += g.rows;

    w.i32(1, 1);  // version
    // The schema: a root, then one leaf per column.
    w.begin_list(2, columns_.size() + 1, ThriftWriter::kStruct);
    w.begin_element();
    w.binary(4, "schema");
    w.i32(5, static_cast<std::int32_t>(columns_.size()));
    w.end_struct();
    for (const FileColumn& c : columns_) {
        w.begin_element();
        w.i32(1, c.physical);
        w.i32(3, c.optional ? 1 : 0);
        w.binary(4, c.name);
        if (c.physical == pq::kByteArray) {
            w.i32(6, pq::kUtf8);
            w.begin_struct(10);  // logical type: STRING
            w.empty_struct(1);
            w.end_struct();
        }
        w.end_struct();
    }
    w.i64(3, rows);

    w.begin_list(4, row_groups_.size(), ThriftWriter::kStruct);
    for (const RowGroupMeta& g : row_groups_) {
        w.begin_element();
        w.begin_list(1, g.chunks.size(), ThriftWriter::kStruct);
        for (std::size_t i = 0; i < g.chunks.size(); ++i) {
            const ChunkMeta& m = g.chunks[i];
            const bool dict = m.dictionary_bytes != 0;
            w.begin_element();
            w.i64(2, 0);  // file_offset: no metadata outside the footer
            w.begin_struct(3);
            w.i32(1, columns_[i].physical);
            w.begin_list(2, 2 + dict + m.split + m.delta, ThriftWriter::kI32);
            w.element_i32(pq::kPlain);
            w.element_i32(pq::kRle);
            if (m.delta) w.element_i32(pq::kDeltaBinaryPacked);
            if (dict) w.element_i32(pq::kRleDictionary);
            if (m.split) w.element_i32(pq::kByteStreamSplit);
            w.begin_list(3, 1, ThriftWriter::kBinary);
            w.element_binary(columns_[i].name);
            w.i32(4, m.stored ? 0 : codec_);
            w.i64(5, m.values);
            w.i64(6, m.uncompressed);
            w.i64(7, m.compressed);
            w.i64(9, m.first_page + m.dictionary_bytes);  // the first data page
            if (dict) w.i64(11, m.first_page);
            w.begin_struct(12);  // statistics
            w.i64(3, m.nulls);
            if (m.statistics) {
                w.binary(5, m.max);
                w.binary(6, m.min);
                w.boolean(7, true);
                w.boolean(8, true);
            }
            w.end_struct();
            w.end_struct();
            w.end_struct();
        }
        w.i64(2, g.uncompressed);
        w.i64(3, g.rows);
        w.i64(5, g.offset);
        w.i64(6, g.compressed);
        w.end_struct();
    }

    if (!metadata_.empty()) {
        w.begin_list(5, metadata_.size(), ThriftWriter::kStruct);
        for (const auto& [key, value] : metadata_) {
            w.begin_element();
            w.binary(1, key);
            w.binary(2, value);
            w.end_struct();
        }
    }
    w.binary(6, "quarzel");
    // Statistics compare as their type defines (UTF-8 byte by byte, numbers
    // by value).
    w.begin_list(7, columns_.size(), ThriftWriter::kStruct);
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        w.begin_element();
        w.empty_struct(1);
        w.end_struct();
    }
    w.finish();
    return out;
}

arrow::Status ParquetFile::close() {
    if (fd_ < 0) return arrow::Status::OK();
    std::string tail = footer();
    const auto n = static_cast<std::uint32_t>(tail.size());
    char len[4];
    std::memcpy(len, &n, 4);
    tail.append(len, 4);
    tail.append(kMagic, 4);
    ARROW_RETURN_NOT_OK(write(tail.data(), tail.size()));
    ARROW_RETURN_NOT_OK(flush_pending());
    std::string().swap(pending_);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return io_error("cannot write", path_, errno);
    return arrow::Status::OK();
}

void ParquetFile::discard() noexcept {
    std::string().swap(pending_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace quarzel::dataset
