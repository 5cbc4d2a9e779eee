#include "core/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quarzel {

std::string system_error_text(int code) {
    char buffer[256];
    return ::strerror_r(code, buffer, sizeof buffer);  // GNU form
}

std::size_t MemorySource::read(char* out, std::size_t n) {
    const std::size_t k = std::min(n, bytes_.size() - pos_);
    if (k != 0) std::memcpy(out, bytes_.data() + pos_, k);
    pos_ += k;
    return k;
}

namespace {

int open_file(const std::string& path) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) throw InputError(system_error_text(errno), errno);
    return fd;
}

}  // namespace

FileSource::FileSource(const std::string& path) : fd_(open_file(path)) {
    struct stat info{};
    if (::fstat(fd_.get(), &info) != 0) throw InputError(system_error_text(errno), errno);
    if (S_ISDIR(info.st_mode)) throw InputError(system_error_text(EISDIR), EISDIR);
    regular_ = S_ISREG(info.st_mode);
    size_ = regular_ ? static_cast<std::uint64_t>(info.st_size) : 0;
    mtime_ns_ = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    // Read front to back, once: the system may read ahead and drop behind.
    if (regular_) ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
}

void FileSource::set_range(std::uint64_t begin, std::uint64_t end) noexcept {
    begin_ = begin;
    end_ = end;
    pos_ = begin;
}

std::size_t FileSource::read(char* out, std::size_t n) {
    if (pos_ >= end_) return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - pos_));
    for (;;) {
        const ssize_t got = regular_ ? ::pread(fd_.get(), out, n, static_cast<off_t>(pos_))
                                     : ::read(fd_.get(), out, n);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw InputError(system_error_text(errno), errno);
        }
        pos_ += static_cast<std::uint64_t>(got);
        return static_cast<std::size_t>(got);
    }
}

}  // namespace quarzel
