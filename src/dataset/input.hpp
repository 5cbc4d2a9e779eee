// Reading one input file of an archive: plain, gzip, bzip2 or xz (told
// apart by their first bytes, never by name), then checked to be UTF-8
// text, with a Latin-1 reading for files that are not.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/file_text.hpp"  // first_invalid_utf8

namespace quarzel::dataset {

enum class Compression : std::uint8_t { None, Gzip, Bzip2, Xz };

std::string_view compression_name(Compression c) noexcept;

// The compression a file's first bytes announce.
Compression sniff_compression(std::string_view head) noexcept;

// A growable byte array that is not cleared when it grows.
class Bytes {
public:
    char* data() noexcept { return data_.get(); }
    const char* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    void reserve(std::size_t n);  // keeps the content
    void grow() { reserve(2 * capacity_ > kMinGrowth ? 2 * capacity_ : kMinGrowth); }  // doubles
    void resize(std::size_t n) {
        reserve(n);
        size_ = n;
    }
    void clear() noexcept { size_ = 0; }
    void release() noexcept {
        data_.reset();
        size_ = capacity_ = 0;
    }
    std::string_view view() const noexcept { return {data_.get(), size_}; }

private:
    static constexpr std::size_t kMinGrowth = std::size_t{1} << 16;
    ReadBuffer data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

struct InputFile {
    std::uint64_t file_size = 0;  // bytes on disk
    std::int64_t mtime_ns = 0;    // modification time (0: not known)
    bool hashed = false;          // the bytes were read: crc64 holds
    std::uint64_t crc64 = 0;      // CRC-64 (as xz has it) of the bytes on disk
    Compression compression = Compression::None;
    bool bcif = false;  // the content is BinaryCIF, not text
    Bytes raw;          // the file's bytes (compressed inputs only)
    Bytes text;         // the content: the file's bytes, or what they decompress to
};

// The reason read_input gives when `cancel` stopped it.
constexpr std::string_view kCancelled = "cancelled";

// The CRC-64 (as xz has it) of a file's bytes on disk, read a block at a
// time; false when it cannot be read.
bool file_crc64(const std::string& path, std::uint64_t& crc);

// Reads and decompresses the file at `path` into `file` (whose buffers are
// reused from call to call); `file.bcif` tells BinaryCIF content. On
// failure returns false with `reason` set: the system's description for
// files that cannot be opened or read ("No such file or directory", "Is a
// directory", ...), "not a regular file" (a FIFO, socket or device: opened
// without waiting, never read), "empty file, no gzip stream" (no bytes in a
// file named *.gz; an empty file of any other name, or a stream that holds
// no text, is an empty document), "corrupt gzip stream: ...", "truncated
// gzip stream" and the like, "not a text file (NUL byte at offset N)", or
// kCancelled when `cancel` became true while a large file was read or
// decompressed.
bool read_input(const std::string& path, InputFile& file, std::string& reason,
                const std::atomic<bool>* cancel = nullptr);

// Decodes `bytes` as Latin-1 into UTF-8 in `out`; a byte order mark at the
// start stays one (the reader drops it).
void latin1_to_utf8(std::string_view bytes, Bytes& out);

// The record that goes first in the problems of a file read as Latin-1:
// the offending byte at `offset` of `bytes`, its 1-based line (CR LF and a
// lone CR each end one line) and column (one character per byte; a byte
// order mark at the start is no column).
NativeParseError latin1_record(std::string_view bytes, std::size_t offset);

}  // namespace quarzel::dataset
