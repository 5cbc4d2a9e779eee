// Reading a whole text file (parse_arrow_file reads its input this way).
#pragma once

#include <unistd.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/read_buffer.hpp"

namespace quarzel {

// An open file descriptor, closed when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// The offset of the first byte that does not belong to well-formed UTF-8
// (no overlong forms, surrogates or code points above U+10FFFF), or npos.
std::size_t first_invalid_utf8(std::string_view bytes) noexcept;

inline bool valid_utf8(std::string_view bytes) noexcept {
    return first_invalid_utf8(bytes) == std::string_view::npos;
}

// The whole content of a file.
struct FileText {
    ReadBuffer bytes;
    std::size_t size = 0;
    std::string_view view() const noexcept { return {bytes.get(), size}; }
};

// Reads the whole file at `path` (a file-system path without NUL) into
// `text` and checks that it is UTF-8. On failure returns false and sets
// `error` to "stream did not contain valid UTF-8" or to the system's
// description of the failure followed by " (os error {code})".
bool read_text_file(const char* path, FileText& text, std::string& error);

}  // namespace quarzel
