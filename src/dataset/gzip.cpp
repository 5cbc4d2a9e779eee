// gzip files: libdeflate over whole members, zlib's inflate for the rest.
#include "dataset/gzip.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>

#ifdef QUARZEL_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace quarzel::dataset {

namespace {

// Deflate's densest output: a 258-byte match in two bits.
constexpr std::size_t kMaxRatio = 1032;

// The room to make before decoding. The trailer's last four bytes hold the
// size (modulo 2^32) of the last member, the whole output for a file of one
// member; a size below half the input belongs to one member of many, and
// four times the input is guessed instead. A size that deflate cannot reach
// from this input is a lie, and reserves no more than deflate can give.
std::size_t first_guess(std::string_view raw) {
    std::size_t guess = 4 * raw.size() + 4096;
    if (raw.size() >= 18) {
        const auto* tail = reinterpret_cast<const unsigned char*>(raw.data() + raw.size() - 4);
        const std::uint32_t isize =
            tail[0] | tail[1] << 8 | tail[2] << 16 | static_cast<std::uint32_t>(tail[3]) << 24;
        // One byte more: zlib tells the end only with room left over.
        if (isize >= raw.size() / 2) guess = std::size_t{isize} + 1;
    }
    return std::min(guess, kMaxRatio * raw.size() + 4096);
}

#ifdef QUARZEL_HAVE_LIBDEFLATE

struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

// One decompressor (about 12 KB of tables) per thread, made on first use.
libdeflate_decompressor* decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, FreeDecompressor> d;
    if (!d) d.reset(libdeflate_alloc_decompressor());
    if (!d) throw std::bad_alloc();
    return d.get();
}

constexpr unsigned char kHeaderCrcFlag = 0x02;

#endif

}  // namespace

// Each member is decoded in one call into the room that is left; a member
// that does not fit is decoded again after the room doubles.
//
// libdeflate reads a few codes that zlib refuses (length symbols 286 and
// 287, distance symbols 30 and 31, more than 286 or 30 code lengths, some
// incomplete codes); no compressor writes them, and a member that uses them
// still has to match its CRC-32 and size.
bool gunzip_members(std::string_view raw, Bytes& out) {
    out.clear();
#ifdef QUARZEL_HAVE_LIBDEFLATE
    out.reserve(first_guess(raw));
    libdeflate_decompressor* d = decompressor();
    const auto* in = reinterpret_cast<const unsigned char*>(raw.data());
    std::size_t at = 0;
    for (;;) {
        if (raw.size() - at > 3 && (in[at + 3] & kHeaderCrcFlag)) return false;
        std::size_t used = 0, made = 0;
        const libdeflate_result rc =
            libdeflate_gzip_decompress_ex(d, in + at, raw.size() - at, out.data() + out.size(),
                                          out.capacity() - out.size(), &used, &made);
        if (rc == LIBDEFLATE_INSUFFICIENT_SPACE) {
            out.grow();
            continue;
        }
        if (rc != LIBDEFLATE_SUCCESS) return false;
        out.resize(out.size() + made);
        at += used;
        while (at < raw.size() && in[at] == 0) ++at;
        if (at == raw.size()) return true;
    }
#else
    (void)raw;
    return false;
#endif
}

bool gunzip(std::string_view raw, Bytes& out, std::string& reason) {
    return gunzip_members(raw, out) || gunzip_stream(raw, out, reason);
}

bool gunzip_stream(std::string_view raw, Bytes& out, std::string& reason) {
    z_stream s{};
    if (inflateInit2(&s, 15 + 32) != Z_OK) {
        reason = "cannot start the gzip decoder";
        return false;
    }
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    std::size_t in_left = raw.size();
    out.clear();
    out.reserve(first_guess(raw));
    bool ok = false;
    for (;;) {
        if (out.size() == out.capacity()) out.grow();
        const auto in_chunk = static_cast<uInt>(std::min<std::size_t>(in_left, UINT_MAX));
        s.avail_in = in_chunk;
        const auto out_room =
            static_cast<uInt>(std::min<std::size_t>(out.capacity() - out.size(), UINT_MAX));
        s.next_out = reinterpret_cast<Bytef*>(out.data() + out.size());
        s.avail_out = out_room;
        const int rc = inflate(&s, Z_NO_FLUSH);
        in_left -= in_chunk - s.avail_in;
        out.resize(out.size() + (out_room - s.avail_out));
        if (rc == Z_STREAM_END) {
            // Another member may follow; zero bytes of padding may too.
            const auto* rest = reinterpret_cast<const unsigned char*>(s.next_in);
            std::size_t skip = 0;
            while (skip < in_left && rest[skip] == 0) ++skip;
            if (skip == in_left) {
                ok = true;
                break;
            }
            s.next_in += skip;
            in_left -= skip;
            if (inflateReset(&s) != Z_OK) {
                reason = "corrupt gzip stream (data after its end)";
                break;
            }
            continue;
        }
        if (rc == Z_OK) continue;
        if (rc == Z_BUF_ERROR) {
            if (s.avail_out == 0) continue;  // room runs out: grow and go on
            reason = "truncated gzip stream";
            break;
        }
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        reason = std::string("corrupt gzip stream (") + (s.msg ? s.msg : "data error") + ")";
        break;
    }
    inflateEnd(&s);
    return ok;
}

}  // namespace quarzel::dataset
