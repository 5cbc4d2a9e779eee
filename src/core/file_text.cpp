#include "core/file_text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace quarzel {

namespace {

// Bytes of ASCII at the start of `p[0..n)`, checked eight at a time.
std::size_t ascii_prefix(const unsigned char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

bool is_continuation(unsigned char b) noexcept {
    return (b & 0xC0) == 0x80;
}

std::string os_error(int code) {
    char buffer[256];
    const char* description = ::strerror_r(code, buffer, sizeof buffer);  // GNU form
    return std::string(description) + " (os error " + std::to_string(code) + ")";
}

}  // namespace

std::size_t first_invalid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        i += ascii_prefix(p + i, n - i);
        if (i == n) break;
        const unsigned char b = p[i];
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0)
                lo = 0xA0;  // no overlong forms
            else if (b == 0xED)
                hi = 0x9F;  // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0)
                lo = 0x90;  // no overlong forms
            else if (b == 0xF4)
                hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return i;
        }
        if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t k = 2; k < len; ++k)
            if (!is_continuation(p[i + k])) return i;
        i += len;
    }
    return std::string_view::npos;
}

bool read_text_file(const char* path, FileText& text, std::string& error) {
    int fd;
    do fd = ::open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = os_error(errno);
        return false;
    }
    FileDescriptor file(fd);
    struct stat info{};
    std::size_t expected = 0;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        expected = static_cast<std::size_t>(info.st_size);

    // One byte more than the size the file claims, so that the common case
    // ends with a single read that returns 0. The buffer is not cleared
    // first: every byte that counts is read into it.
    std::size_t capacity = expected + 1;
    ReadBuffer bytes = make_read_buffer(capacity);
    std::size_t used = 0;
    for (;;) {
        if (used == capacity) {  // the file is longer than it claimed
            std::size_t larger = capacity < 4096 ? 8192 : capacity * 2;
            ReadBuffer grown = make_read_buffer(larger);
            std::memcpy(grown.get(), bytes.get(), used);
            bytes = std::move(grown);
            capacity = larger;
        }
        ssize_t got = ::read(fd, bytes.get() + used, capacity - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = os_error(errno);
            return false;
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    if (!valid_utf8({bytes.get(), used})) {
        error = "stream did not contain valid UTF-8";
        return false;
    }
    text.bytes = std::move(bytes);
    text.size = used;
    return true;
}

}  // namespace quarzel
