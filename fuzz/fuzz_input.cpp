// Reading an archive's input file from any bytes: plain, gzip, bzip2 or xz
// by its first bytes. A read either fails with a reason or gives a text
// without NUL bytes (a plain file's text is its bytes; an empty text is a
// document without blocks). The UTF-8 check
// agrees with an independent decoder and stops at the first bad byte; the
// Latin-1 reading is valid UTF-8 of the right length, and the Latin-1
// record points at that byte: its line counts the line ends before it (CR
// LF once), its column the bytes since the last one. gzip's fast decoder
// gives what zlib's streaming inflate gives: the same text, or the same
// reason.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "dataset/gzip.hpp"
#include "dataset/input.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;
using namespace quarzel::dataset;

namespace {

const std::string& scratch_path() {
    static const std::string path =
        "/tmp/quarzel-fuzz-input-" + std::to_string(static_cast<long>(::getpid()));
    return path;
}

void check_latin1(std::string_view text, std::size_t bad) {
    Bytes decoded;
    latin1_to_utf8(text, decoded);
    std::size_t high = 0;
    for (char c : text) high += static_cast<unsigned char>(c) >= 0x80;
    // A leading byte order mark stays one: three bytes, not six.
    const bool bom = text.starts_with("\xEF\xBB\xBF");
    fuzz::check(decoded.size() == text.size() + high - (bom ? 3 : 0),
                "the Latin-1 reading has the wrong size");
    fuzz::check(!bom || decoded.view().starts_with("\xEF\xBB\xBF"),
                "the Latin-1 reading lost the byte order mark");
    fuzz::check(fuzz::valid_utf8(decoded.view()), "the Latin-1 reading is not UTF-8");

    const NativeParseError e = latin1_record(text, bad);
    std::uint32_t line = 1;
    std::size_t start = bom ? 3 : 0;  // the byte order mark is no column
    for (std::size_t i = 0; i < bad; ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && text[i + 1] != '\n')) {
            ++line;
            start = i + 1;
        }
    }
    fuzz::check(e.line == line && e.column == bad - start + 1,
                "the Latin-1 record is not at the bad byte", e.message);
    fuzz::check(!e.message.empty() && fuzz::valid_utf8(e.context) && !e.context.empty(),
                "the Latin-1 record is incomplete");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (sniff_compression(bytes.substr(0, 8)) == Compression::Gzip) {
        Bytes fast, stream;
        std::string fast_reason, stream_reason;
        const bool fast_ok = gunzip(bytes, fast, fast_reason);
        const bool stream_ok = gunzip_stream(bytes, stream, stream_reason);
        fuzz::check(fast_ok == stream_ok, "the gzip decoders disagree on success", fast_reason);
        if (fast_ok)
            fuzz::check(fast.view() == stream.view(), "the gzip decoders give different text");
        else
            fuzz::check(fast_reason == stream_reason, "the gzip decoders give different reasons",
                        fast_reason + " / " + stream_reason);
    }
    const std::string& path = scratch_path();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (std::fclose(f) != 0 || !written) return 0;
    } else {
        return 0;
    }
    InputFile file;
    std::string reason;
    const bool ok = read_input(path, file, reason);
    ::unlink(path.c_str());
    fuzz::check(file.file_size == size, "the file size is wrong");
    fuzz::check(file.compression == sniff_compression(bytes.substr(0, 8)),
                "the compression is not the one the first bytes announce");
    if (!ok) {
        fuzz::check(!reason.empty(), "a failed read without a reason");
        return 0;
    }
    const std::string_view text = file.text.view();
    fuzz::check(text.find('\0') == std::string_view::npos, "a text that holds NUL");
    if (file.compression == Compression::None)
        fuzz::check(text == bytes, "a plain file's text differs from its bytes");

    const std::size_t bad = first_invalid_utf8(text);
    if (bad == std::string_view::npos) {
        fuzz::check(fuzz::valid_utf8(text), "invalid UTF-8 passed as valid");
        return 0;
    }
    fuzz::check(bad < text.size() && fuzz::valid_utf8(text.substr(0, bad)),
                "the first invalid byte is not the first");
    // Every complete sequence that starts there is refused by the reference.
    for (std::size_t len = 1; len <= 4 && bad + len <= text.size(); ++len)
        fuzz::check(!fuzz::valid_utf8(text.substr(bad, len)), "a valid sequence called invalid");
    check_latin1(text, bad);
    return 0;
}
