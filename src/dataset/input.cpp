#include "dataset/input.hpp"

#include "bcif/container.hpp"

#include <bzlib.h>
#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "dataset/gzip.hpp"

namespace quarzel::dataset {

namespace {

std::string system_error(int code) {
    char buffer[256];
    return ::strerror_r(code, buffer, sizeof buffer);  // GNU form
}

// Reads and decompresses in steps of this many bytes between looks at the
// cancel flag.
constexpr std::size_t kStep = std::size_t{32} << 20;

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

// Reads the whole file into `out`. The file is opened without waiting (a
// FIFO would wait for a writer) and only a regular file is read.
bool read_all(const std::string& path, Bytes& out, std::uint64_t& size, std::int64_t& mtime_ns,
              std::string& reason, const std::atomic<bool>* cancel) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        reason = system_error(errno);
        return false;
    }
    FileDescriptor file(fd);
    struct stat info{};
    if (::fstat(fd, &info) != 0) {
        reason = system_error(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        reason = system_error(EISDIR);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    mtime_ns = std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
    const auto expected = static_cast<std::size_t>(info.st_size);
    // One byte more than the size the file claims: the last read returns 0.
    out.clear();
    out.reserve(expected + 1);
    for (;;) {
        if (out.size() == out.capacity()) out.reserve(std::max<std::size_t>(8192, 2 * out.size()));
        if (cancelled(cancel)) {
            reason = kCancelled;
            return false;
        }
        const std::size_t room = std::min(out.capacity() - out.size(), kStep);
        ssize_t got = ::read(fd, out.data() + out.size(), room);
        if (got < 0) {
            if (errno == EINTR) continue;
            reason = system_error(errno);
            return false;
        }
        if (got == 0) break;
        out.resize(out.size() + static_cast<std::size_t>(got));
    }
    size = out.size();
    return true;
}

// The stream a file's name ends in (".gz", ".gzip", ".bz2", ".xz", in any
// case), or empty.
std::string_view compressed_name(std::string_view path) noexcept {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos) return {};
    std::string suffix(path.substr(dot));
    for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (suffix == ".gz" || suffix == ".gzip") return "gzip";
    if (suffix == ".bz2") return "bzip2";
    if (suffix == ".xz") return "xz";
    return {};
}

// A first guess at the decompressed size.
std::size_t size_guess(const Bytes& raw) {
    return 4 * raw.size() + 4096;
}

bool bunzip2(const Bytes& raw, Bytes& out, std::string& reason, const std::atomic<bool>* cancel) {
    out.clear();
    out.reserve(size_guess(raw));
    const char* in = raw.data();
    std::size_t in_left = raw.size();
    for (;;) {  // one pass per stream (parallel compressors write several)
        bz_stream s{};
        if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) {
            reason = "cannot start the bzip2 decoder";
            return false;
        }
        s.next_in = const_cast<char*>(in);
        int rc;
        for (;;) {
            if (out.size() == out.capacity()) out.grow();
            if (cancelled(cancel)) {
                rc = BZ_OK;
                break;
            }
            const auto in_chunk = static_cast<unsigned>(std::min<std::size_t>(in_left, kStep));
            s.avail_in = in_chunk;
            const auto room =
                static_cast<unsigned>(std::min<std::size_t>(out.capacity() - out.size(), kStep));
            s.next_out = out.data() + out.size();
            s.avail_out = room;
            rc = BZ2_bzDecompress(&s);
            in_left -= in_chunk - s.avail_in;
            out.resize(out.size() + (room - s.avail_out));
            if (rc != BZ_OK) break;
            if (in_left == 0 && s.avail_out != 0) {
                rc = BZ_UNEXPECTED_EOF;
                break;
            }
        }
        in = s.next_in;
        BZ2_bzDecompressEnd(&s);
        if (rc == BZ_OK) {  // stopped by a cancel
            reason = kCancelled;
            return false;
        }
        if (rc == BZ_STREAM_END) {
            if (in_left == 0) return true;
            continue;
        }
        if (rc == BZ_MEM_ERROR) throw std::bad_alloc();
        reason = rc == BZ_UNEXPECTED_EOF ? "truncated bzip2 stream" : "corrupt bzip2 stream";
        return false;
    }
}

bool unxz(const Bytes& raw, Bytes& out, std::string& reason, const std::atomic<bool>* cancel) {
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&s, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) {
        reason = "cannot start the xz decoder";
        return false;
    }
    out.clear();
    out.reserve(size_guess(raw));
    s.next_in = reinterpret_cast<const std::uint8_t*>(raw.data());
    s.avail_in = raw.size();
    bool ok = false;
    for (;;) {
        if (out.size() == out.capacity()) out.grow();
        if (cancelled(cancel)) {
            reason = kCancelled;
            break;
        }
        const std::size_t room = std::min(out.capacity() - out.size(), kStep);
        s.next_out = reinterpret_cast<std::uint8_t*>(out.data() + out.size());
        s.avail_out = room;
        const lzma_ret rc = lzma_code(&s, LZMA_FINISH);
        out.resize(out.size() + (room - s.avail_out));
        if (rc == LZMA_STREAM_END) {
            ok = true;
            break;
        }
        if (rc == LZMA_OK) continue;
        if (rc == LZMA_BUF_ERROR && s.avail_out == 0) continue;
        if (rc == LZMA_MEM_ERROR) throw std::bad_alloc();
        reason = rc == LZMA_BUF_ERROR ? "truncated xz stream" : "corrupt xz stream";
        break;
    }
    lzma_end(&s);
    return ok;
}

}  // namespace

void Bytes::reserve(std::size_t n) {
    if (n <= capacity_) return;
    ReadBuffer grown = make_read_buffer(n);
    if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = n;
}

std::string_view compression_name(Compression c) noexcept {
    switch (c) {
        case Compression::Gzip:
            return "gzip";
        case Compression::Bzip2:
            return "bzip2";
        case Compression::Xz:
            return "xz";
        default:
            return "none";
    }
}

Compression sniff_compression(std::string_view head) noexcept {
    if (head.size() >= 2 && head[0] == '\x1f' && head[1] == '\x8b') return Compression::Gzip;
    if (head.size() >= 4 && head.substr(0, 3) == "BZh" && head[3] >= '1' && head[3] <= '9')
        return Compression::Bzip2;
    if (head.size() >= 6 && head.substr(0, 6) == std::string_view("\xFD"
                                                                  "7zXZ\0",
                                                                  6))
        return Compression::Xz;
    return Compression::None;
}

bool file_crc64(const std::string& path, std::uint64_t& crc) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
    crc = 0;
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        crc = lzma_crc64(buffer.data(), static_cast<std::size_t>(got), crc);
    }
    ::close(fd);
    return ok;
}

bool read_input(const std::string& path, InputFile& file, std::string& reason,
                const std::atomic<bool>* cancel) {
    file.compression = Compression::None;
    file.bcif = false;
    file.file_size = 0;
    file.mtime_ns = 0;
    file.hashed = false;
    if (!read_all(path, file.raw, file.file_size, file.mtime_ns, reason, cancel)) return false;
    file.crc64 =
        lzma_crc64(reinterpret_cast<const std::uint8_t*>(file.raw.data()), file.raw.size(), 0);
    file.hashed = true;
    if (file.raw.size() == 0) {
        // No bytes: a CIF document without blocks, unless the name promises
        // a compressed stream (as quarzel.read has it).
        if (const std::string_view stream = compressed_name(path); !stream.empty()) {
            reason = "empty file, no " + std::string(stream) + " stream";
            return false;
        }
        std::swap(file.raw, file.text);
        return true;
    }
    file.compression = sniff_compression(file.raw.view().substr(0, 8));
    bool ok = true;
    switch (file.compression) {
        case Compression::None:
            std::swap(file.raw, file.text);
            break;
        case Compression::Gzip:
            ok = gunzip(file.raw.view(), file.text, reason);  // fast: no look at `cancel`
            break;
        case Compression::Bzip2:
            ok = bunzip2(file.raw, file.text, reason, cancel);
            break;
        case Compression::Xz:
            ok = unxz(file.raw, file.text, reason, cancel);
            break;
    }
    if (!ok) return false;
    if (bcif::looks_like_bcif(file.text.view())) {
        file.bcif = true;
        return true;
    }
    if (const void* nul = std::memchr(file.text.data(), 0, file.text.size())) {
        reason = "not a text file (NUL byte at offset " +
                 std::to_string(static_cast<const char*>(nul) - file.text.data()) + ")";
        return false;
    }
    return true;
}

namespace {
constexpr std::string_view kBom = "\xEF\xBB\xBF";  // a byte order mark in UTF-8
}  // namespace

void latin1_to_utf8(std::string_view bytes, Bytes& out) {
    out.clear();
    out.reserve(2 * bytes.size() + 1);
    char* o = out.data();
    // A byte order mark at the start stays one: the reader drops it.
    if (bytes.starts_with(kBom)) {
        o = std::copy(kBom.begin(), kBom.end(), o);
        bytes.remove_prefix(kBom.size());
    }
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            *o++ = static_cast<char>(c);
        } else {
            *o++ = static_cast<char>(0xC0 | (c >> 6));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
}

NativeParseError latin1_record(std::string_view bytes, std::size_t offset) {
    std::uint32_t line = 1;
    std::size_t line_start = bytes.starts_with(kBom) ? kBom.size() : 0;  // it is no column
    for (std::size_t i = 0; i < offset; ++i) {
        const char c = bytes[i];
        if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < offset && bytes[i + 1] == '\n') ++i;
            ++line;
            line_start = i + 1;
        }
    }
    const auto byte = static_cast<unsigned char>(bytes[offset]);
    static constexpr char kHex[] = "0123456789ABCDEF";
    NativeParseError e;
    e.error_type = ErrorType::Lexical;
    e.message = std::string("not valid UTF-8 (byte 0x") + kHex[byte >> 4] + kHex[byte & 15] +
                "); read as Latin-1";
    e.line = line;
    e.column = static_cast<std::uint32_t>(offset - line_start + 1);
    if (byte < 0x80) {
        e.context.assign(1, static_cast<char>(byte));
    } else {
        e.context.push_back(static_cast<char>(0xC0 | (byte >> 6)));
        e.context.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
    e.recovery_action = "read as Latin-1";
    return e;
}

}  // namespace quarzel::dataset
