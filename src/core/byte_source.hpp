// The bytes of an input, read front to back a piece at a time: text held in
// memory, a plain file (or a byte range of one) read window by window, or a
// decompressor over a compressed file (src/stream). What a reader holds of
// an input at once is one piece, however large the input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/file_text.hpp"

namespace quarzel {

// An input that cannot be read on: the system's description of the failure
// ("No such file or directory"), or what is wrong with a compressed stream
// ("truncated gzip stream").
class InputError : public std::runtime_error {
public:
    explicit InputError(const std::string& reason, int code = 0)
        : std::runtime_error(reason), code_(code) {}
    // The system's error number, or 0 for a fault of the content.
    int code() const noexcept { return code_; }

private:
    int code_;
};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to `n` (> 0) bytes into `out`; 0 only at the end. Throws
    // InputError.
    virtual std::size_t read(char* out, std::size_t n) = 0;
    // Starts again from the first byte; false when this source cannot.
    virtual bool rewind() = 0;
    // "gzip", "bzip2", "xz", or empty for bytes read as they are.
    virtual std::string_view compression() const noexcept { return {}; }
    // How many bytes there are, when known in advance; 0 otherwise.
    virtual std::uint64_t size_hint() const noexcept { return 0; }
};

// Bytes held in memory.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) noexcept : bytes_(bytes) {}
    std::size_t read(char* out, std::size_t n) override;
    std::uint64_t size_hint() const noexcept override { return bytes_.size(); }
    bool rewind() override {
        pos_ = 0;
        return true;
    }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// A plain file, or the bytes [begin, end) of one, read with pread: the
// page cache holds what the system keeps of it, the reader only its piece.
class FileSource final : public ByteSource {
public:
    // Opens `path`; throws InputError ("Is a directory" for a folder).
    explicit FileSource(const std::string& path);
    std::size_t read(char* out, std::size_t n) override;
    std::uint64_t size_hint() const noexcept override {
        return std::min(size_, end_) - std::min(begin_, std::min(size_, end_));
    }
    bool rewind() override {
        pos_ = begin_;
        return regular_;
    }
    // Limits reading to [begin, end) (end clamped to the size); rewind()
    // goes back to `begin`.
    void set_range(std::uint64_t begin, std::uint64_t end) noexcept;
    // The size and modification time when opened.
    std::uint64_t size() const noexcept { return size_; }
    std::int64_t mtime_ns() const noexcept { return mtime_ns_; }
    int fd() const noexcept { return fd_.get(); }

private:
    FileDescriptor fd_;
    std::uint64_t size_ = 0;
    std::int64_t mtime_ns_ = 0;
    bool regular_ = true;
    std::uint64_t begin_ = 0;
    std::uint64_t end_ = UINT64_MAX;
    std::uint64_t pos_ = 0;
};

// The system's description of error `code` (strerror).
std::string system_error_text(int code);

}  // namespace quarzel
