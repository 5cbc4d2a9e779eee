#include "stream/open_input.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

namespace quarzel::stream {

namespace {

constexpr std::size_t kInput = std::size_t{1} << 20;  // compressed bytes read at a time

// The first bytes read ahead of the rest, for a source that cannot go back.
class PrefixSource final : public ByteSource {
public:
    PrefixSource(std::unique_ptr<ByteSource> rest, std::string head)
        : rest_(std::move(rest)), head_(std::move(head)) {}
    std::size_t read(char* out, std::size_t n) override {
        if (at_ < head_.size()) {
            const std::size_t k = std::min(n, head_.size() - at_);
            std::memcpy(out, head_.data() + at_, k);
            at_ += k;
            return k;
        }
        return rest_->read(out, n);
    }
    bool rewind() override { return false; }
    std::uint64_t size_hint() const noexcept override { return rest_->size_hint(); }

private:
    std::unique_ptr<ByteSource> rest_;
    std::string head_;
    std::size_t at_ = 0;
};

// What the decoders share: compressed bytes in, decoded bytes out.
class Decoder : public ByteSource {
public:
    explicit Decoder(std::unique_ptr<ByteSource> in) : in_(std::move(in)), buffer_(kInput) {}
    bool rewind() override {
        if (!in_->rewind()) return false;
        have_ = at_ = 0;
        in_end_ = false;
        restart();
        return true;
    }

protected:
    // Makes compressed bytes available: false when there are no more.
    bool fill() {
        if (at_ < have_) return true;
        if (in_end_) return false;
        have_ = in_->read(buffer_.data(), buffer_.size());
        at_ = 0;
        if (have_ == 0) in_end_ = true;
        return have_ != 0;
    }
    // Skips zero bytes of padding between and after streams; false when
    // nothing else follows.
    bool skip_padding() {
        for (;;) {
            while (at_ < have_ && buffer_[at_] == 0) ++at_;
            if (at_ < have_) return true;
            if (!fill()) return false;
        }
    }
    virtual void restart() = 0;

    std::unique_ptr<ByteSource> in_;
    std::vector<char> buffer_;
    std::size_t have_ = 0, at_ = 0;
    bool in_end_ = false;
};

class GzipSource final : public Decoder {
public:
    explicit GzipSource(std::unique_ptr<ByteSource> in) : Decoder(std::move(in)) {
        if (inflateInit2(&z_, 15 + 32) != Z_OK) throw InputError("cannot start the gzip decoder");
    }
    ~GzipSource() override { inflateEnd(&z_); }
    std::string_view compression() const noexcept override { return "gzip"; }

    std::size_t read(char* out, std::size_t n) override {
        if (done_) return 0;
        z_.next_out = reinterpret_cast<Bytef*>(out);
        z_.avail_out = static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX));
        const uInt room = z_.avail_out;
        while (z_.avail_out == room) {
            if (!fill()) {
                if (!in_member_) {
                    done_ = true;
                    break;
                }
                throw InputError("truncated gzip stream");
            }
            if (!in_member_) {
                // A new member may follow, after zero bytes of padding.
                if (!skip_padding()) {
                    done_ = true;
                    break;
                }
                if (inflateReset(&z_) != Z_OK)
                    throw InputError("corrupt gzip stream (data after its end)");
                in_member_ = true;
            }
            z_.next_in = reinterpret_cast<Bytef*>(buffer_.data() + at_);
            z_.avail_in = static_cast<uInt>(have_ - at_);
            const int rc = inflate(&z_, Z_NO_FLUSH);
            at_ = have_ - z_.avail_in;
            if (rc == Z_STREAM_END) {
                in_member_ = false;
            } else if (rc == Z_MEM_ERROR) {
                throw std::bad_alloc();
            } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
                throw InputError(std::string("corrupt gzip stream (") +
                                 (z_.msg ? z_.msg : "data error") + ")");
            }
        }
        return room - z_.avail_out;
    }

private:
    void restart() override {
        inflateReset(&z_);
        in_member_ = true;
        done_ = false;
    }
    z_stream z_{};
    bool in_member_ = true;
    bool done_ = false;
};

class Bzip2Source final : public Decoder {
public:
    explicit Bzip2Source(std::unique_ptr<ByteSource> in) : Decoder(std::move(in)) { start(); }
    ~Bzip2Source() override {
        if (started_) BZ2_bzDecompressEnd(&s_);
    }
    std::string_view compression() const noexcept override { return "bzip2"; }

    std::size_t read(char* out, std::size_t n) override {
        if (done_) return 0;
        s_.next_out = out;
        s_.avail_out = static_cast<unsigned>(std::min<std::size_t>(n, UINT_MAX));
        const unsigned room = s_.avail_out;
        while (s_.avail_out == room) {
            if (!started_) {
                // Parallel compressors write several streams.
                if (!skip_padding()) {
                    done_ = true;
                    break;
                }
                start();
            }
            if (!fill()) throw InputError("truncated bzip2 stream");
            s_.next_in = buffer_.data() + at_;
            s_.avail_in = static_cast<unsigned>(have_ - at_);
            const int rc = BZ2_bzDecompress(&s_);
            at_ = have_ - s_.avail_in;
            if (rc == BZ_STREAM_END) {
                BZ2_bzDecompressEnd(&s_);
                started_ = false;
            } else if (rc == BZ_MEM_ERROR) {
                throw std::bad_alloc();
            } else if (rc != BZ_OK) {
                throw InputError("corrupt bzip2 stream");
            }
        }
        return room - s_.avail_out;
    }

private:
    void start() {
        s_ = bz_stream{};
        if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK)
            throw InputError("cannot start the bzip2 decoder");
        started_ = true;
    }
    void restart() override {
        if (started_) BZ2_bzDecompressEnd(&s_);
        start();
        done_ = false;
    }
    bz_stream s_{};
    bool started_ = false;
    bool done_ = false;
};

class XzSource final : public Decoder {
public:
    explicit XzSource(std::unique_ptr<ByteSource> in) : Decoder(std::move(in)) { start(); }
    ~XzSource() override { lzma_end(&s_); }
    std::string_view compression() const noexcept override { return "xz"; }

    std::size_t read(char* out, std::size_t n) override {
        if (done_) return 0;
        s_.next_out = reinterpret_cast<std::uint8_t*>(out);
        s_.avail_out = n;
        while (s_.avail_out == n) {
            const bool more = fill();
            s_.next_in = reinterpret_cast<const std::uint8_t*>(buffer_.data() + at_);
            s_.avail_in = have_ - at_;
            const lzma_ret rc = lzma_code(&s_, more ? LZMA_RUN : LZMA_FINISH);
            at_ = have_ - s_.avail_in;
            if (rc == LZMA_STREAM_END) {
                done_ = true;
                break;
            }
            if (rc == LZMA_OK) continue;
            if (rc == LZMA_MEM_ERROR) throw std::bad_alloc();
            if (rc == LZMA_BUF_ERROR) {
                if (!more) throw InputError("truncated xz stream");
                continue;
            }
            throw InputError("corrupt xz stream");
        }
        return n - s_.avail_out;
    }

private:
    void start() {
        s_ = LZMA_STREAM_INIT;
        if (lzma_stream_decoder(&s_, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK)
            throw InputError("cannot start the xz decoder");
    }
    void restart() override {
        lzma_end(&s_);
        start();
        done_ = false;
    }
    lzma_stream s_ = LZMA_STREAM_INIT;
    bool done_ = false;
};

}  // namespace

Compression sniff(std::string_view head) noexcept {
    if (head.size() >= 2 && head[0] == '\x1f' && head[1] == '\x8b') return Compression::Gzip;
    if (head.size() >= 4 && head.substr(0, 3) == "BZh" && head[3] >= '1' && head[3] <= '9')
        return Compression::Bzip2;
    if (head.size() >= 6 && head.substr(0, 6) == std::string_view("\xFD"
                                                                  "7zXZ\0",
                                                                  6))
        return Compression::Xz;
    return Compression::None;
}

std::unique_ptr<ByteSource> decompressing(std::unique_ptr<ByteSource> compressed,
                                          Compression kind) {
    switch (kind) {
        case Compression::Gzip:
            return std::make_unique<GzipSource>(std::move(compressed));
        case Compression::Bzip2:
            return std::make_unique<Bzip2Source>(std::move(compressed));
        case Compression::Xz:
            return std::make_unique<XzSource>(std::move(compressed));
        default:
            return compressed;
    }
}

std::unique_ptr<ByteSource> open_input(const std::string& path) {
    auto file = std::make_unique<FileSource>(path);
    char head[8];
    std::size_t got = 0;
    while (got < sizeof head) {
        const std::size_t k = file->read(head + got, sizeof head - got);
        if (k == 0) break;
        got += k;
    }
    const Compression kind = sniff(std::string_view(head, got));
    std::unique_ptr<ByteSource> raw;
    if (file->rewind())
        raw = std::move(file);
    else
        raw = std::make_unique<PrefixSource>(std::move(file), std::string(head, got));
    return decompressing(std::move(raw), kind);
}

}  // namespace quarzel::stream
