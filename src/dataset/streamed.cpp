// A worker's reading of one input a block at a time. Two cases:
//
//   a large file (more than `stream_bytes` on disk, an eighth of that when
//   compressed): read through a window of text, decompressed as a stream,
//   each block's rows appended as soon as the block is complete. It is
//   committed on its own, so that a fault met half-way (a damaged stream, a
//   NUL byte, a cancel, a Latin-1 reading that must start again) drops what
//   was appended of it and nothing else;
//
//   chosen categories (`--categories`) of a file read whole: the other
//   categories are lexed and counted, never stored.
//
// The rows, their order and the problem records are those of a whole
// reading (Worker::convert_text).
#include <sys/stat.h>

#include <cstring>

#include "bcif/container.hpp"
#include "core/document_reader.hpp"
#include "dataset/worker.hpp"
#include "stream/open_input.hpp"

namespace quarzel::dataset {

namespace {

// What the byte sources of one input have handed out, for its record.
struct Tally {
    std::uint64_t bytes = 0;  // text bytes read (decompressed)
    std::uint64_t high = 0;   // of them, bytes >= 0x80 (two bytes each as Latin-1 in UTF-8)
    bool bom = false;         // the text starts with a UTF-8 byte order mark
};

// The content of an input as a whole reading takes it: a NUL byte ends it
// as "not a text file", as read_input says.
class CheckedSource final : public ByteSource {
public:
    CheckedSource(std::unique_ptr<ByteSource> inner, Tally& tally)
        : inner_(std::move(inner)), tally_(tally) {
        tally_ = {};
    }
    std::size_t read(char* out, std::size_t n) override {
        const std::size_t got = inner_->read(out, n);
        if (const void* nul = std::memchr(out, 0, got))
            throw InputError(
                "not a text file (NUL byte at offset " +
                std::to_string(tally_.bytes +
                               static_cast<std::size_t>(static_cast<const char*>(nul) - out)) +
                ")");
        if (tally_.bytes == 0 && got >= 3) tally_.bom = std::memcmp(out, "\xEF\xBB\xBF", 3) == 0;
        std::uint64_t high = 0;
        for (std::size_t i = 0; i < got; ++i) high += static_cast<unsigned char>(out[i]) >> 7;
        tally_.high += high;
        tally_.bytes += got;
        return got;
    }
    bool rewind() override {
        tally_ = {};
        return inner_->rewind();
    }
    std::string_view compression() const noexcept override { return inner_->compression(); }
    std::uint64_t size_hint() const noexcept override { return inner_->size_hint(); }

private:
    std::unique_ptr<ByteSource> inner_;
    Tally& tally_;
};

Compression compression_of(std::string_view name) noexcept {
    if (name == "gzip") return Compression::Gzip;
    if (name == "bzip2") return Compression::Bzip2;
    if (name == "xz") return Compression::Xz;
    return Compression::None;
}

}  // namespace

const Selection* Worker::selection() {
    if (options_.categories.empty()) return nullptr;
    if (!selection_) {
        const std::vector<std::string> names(options_.categories.begin(),
                                             options_.categories.end());
        selection_ = std::make_unique<Selection>(names, std::nullopt, options_.tag_categories);
    }
    return selection_.get();
}

std::uint64_t Worker::append_block(const std::string& name, const ParsedBlock& block,
                                   std::vector<NativeParseError>& errors) {
    ParsedCif mismatches;  // append_frame's records go here
    std::uint64_t total = append_frame(name, mismatches, block.name, nullptr, block.data);
    for (const ParsedSaveFrame& frame : block.save_frames)
        total += append_frame(name, mismatches, block.name, &frame.name, frame.data);
    for (NativeParseError& e : mismatches.errors) errors.push_back(std::move(e));
    return total;
}

Worker::Outcome Worker::convert_selected(const std::string& name, std::string_view text,
                                         std::optional<NativeParseError> latin1, FileRecord& rec) {
    text_ = {};  // values are copies, not slices of the text
    // The text is UTF-8 (a Latin-1 file decoded already): read once.
    DocumentReader reader([text] { return std::make_unique<MemorySource>(text); },
                          {.selection = selection(), .pass_over_handed_out = false});
    std::vector<NativeParseError> mismatches;
    std::uint64_t total = 0;
    while (auto block = reader.next_block()) total += append_block(name, *block, mismatches);
    std::vector<NativeParseError> errors;
    if (latin1) errors.push_back(std::move(*latin1));
    for (NativeParseError& e : reader.take_errors()) errors.push_back(std::move(e));
    for (NativeParseError& e : mismatches) errors.push_back(std::move(e));
    rec.rows = static_cast<std::int64_t>(total);
    keep_errors(name, errors, rec);
    return Outcome::Kept;
}

std::optional<Worker::Outcome> Worker::convert_streamed(const std::string& path,
                                                        const std::string& name, FileRecord& rec,
                                                        std::string& reason) {
    // Validation needs the whole document (keys and links span blocks'
    // categories): a validated file is read whole.
    if (options_.rules) return std::nullopt;
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size <= options_.stream_bytes / 8) return std::nullopt;
    std::unique_ptr<ByteSource> first;
    try {
        first = stream::open_input(path);
    } catch (const InputError&) {
        return std::nullopt;  // the whole reading says why
    }
    const Compression compression = compression_of(first->compression());
    if (compression == Compression::None && size <= options_.stream_bytes) return std::nullopt;
    // BinaryCIF has no blocks to stream: it is decoded whole.
    try {
        char head[512];
        std::size_t got = 0, n = 0;
        while (got < sizeof head && (n = first->read(head + got, sizeof head - got)) != 0) got += n;
        if (bcif::looks_like_bcif(std::string_view(head, got))) return std::nullopt;
        if (!first->rewind()) first.reset();  // opened again below
    } catch (const InputError&) {
        return std::nullopt;
    }

    rec.size = static_cast<std::int64_t>(size);
    rec.compression = compression_name(compression);
    rec.mtime_ns = std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
    rec.stated = true;
    rec.hashed = file_crc64(path, rec.crc64);
    // Committed on its own: a fault half-way drops this file's rows alone.
    if (since_commit_ + buffered_ != 0) check(commit());
    text_ = {};
    Tally tally;
    std::optional<DocumentReader> reader;
    auto drop = [&] {
        abandon();
        forget_uncommitted();
    };
    std::vector<NativeParseError> mismatches;
    std::uint64_t total = 0;
    std::size_t restarts = 0;
    try {
        reader.emplace(
            [&, path]() -> std::unique_ptr<ByteSource> {
                auto source = first ? std::move(first) : stream::open_input(path);
                return std::make_unique<CheckedSource>(std::move(source), tally);
            },
            DocumentReader::Options{.selection = selection(), .pass_over_handed_out = false});
        while (auto block = reader->next_block()) {
            if (shared_.cancel.load(std::memory_order_relaxed)) {
                drop();
                return Outcome::Cancelled;
            }
            if (reader->restarts() != restarts) {
                // Read again from the start as Latin-1: what was appended goes.
                restarts = reader->restarts();
                drop();
                mismatches.clear();
                total = 0;
            }
            total += append_block(name, *block, mismatches);
        }
    } catch (const InputError& e) {
        drop();
        reason = e.what();
        return Outcome::Failed;
    } catch (const std::bad_alloc&) {
        drop();
        reason = "out of memory while reading (" + std::to_string(size) + " bytes on disk)";
        return Outcome::Failed;
    }
    // No text (a stream that decompresses to nothing): a document without
    // blocks, as the whole reading has it.
    // A Latin-1 text counts as its UTF-8 reading (a byte order mark stays
    // three bytes).
    std::uint64_t text_bytes = tally.bytes;
    if (reader->latin1()) text_bytes += tally.high - (tally.bom ? 3 : 0);
    rec.text_bytes = static_cast<std::int64_t>(text_bytes);
    std::vector<NativeParseError> errors = reader->take_errors();
    for (NativeParseError& e : mismatches) errors.push_back(std::move(e));
    rec.rows = static_cast<std::int64_t>(total);
    keep_errors(name, errors, rec);
    since_commit_ += text_bytes;
    return Outcome::Kept;
}

}  // namespace quarzel::dataset
