// The text of an input, a window at a time: bytes from a ByteSource become
// what the lexer of a whole text would read (line ends normalised, the
// version line handled as detect_version does, UTF-8 or else Latin-1),
// handed out in windows of whole lines. What is held at once is one window,
// plus the token that a window's end cut (a text field or triple-quoted
// string goes on into the next one): a window grows only to hold one token
// longer than itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/byte_source.hpp"
#include "core/error.hpp"
#include "core/version.hpp"

namespace quarzel {

// A text that turned out not to be UTF-8 after text of other characters
// than ASCII was handed out: reading must start again, as Latin-1.
struct RestartAsLatin1 {
    NativeParseError record;  // the first problem of the Latin-1 reading
};

class TextWindows {
public:
    static constexpr std::size_t kDefaultWindow = std::size_t{16} << 20;

    // `latin1` reads the bytes as Latin-1 from the start (after a
    // RestartAsLatin1, whose record goes in `latin1_record`).
    // `source_base` is the offset in the file of the source's first byte.
    TextWindows(ByteSource& source, std::size_t window = kDefaultWindow,
                std::optional<NativeParseError> latin1_record = std::nullopt,
                std::uint64_t source_base = 0);
    TextWindows(const TextWindows&) = delete;
    TextWindows& operator=(const TextWindows&) = delete;

    // Reads the first window and decides the version as detect_version
    // does for the whole text; text() then starts where the lexer begins.
    // The result's `text` is left empty. Throws InputError, RestartAsLatin1.
    VersionResult start();
    // For a window that starts inside a text, at a line start (an index's
    // byte range): no version line is looked for; `lines_before` lines of
    // the text precede it.
    void start_at_line(std::uint32_t lines_before);

    // The text to lex now: whole lines (the last one may lack its line end
    // only at the end of the input).
    std::string_view text() const noexcept { return {buf_.get(), cut_}; }
    // Whether text follows text().
    bool more() const noexcept { return !(eof_ && cut_ == filled_); }
    // Source lines before text() (the lexer's line offset).
    std::uint32_t first_line() const noexcept { return first_line_; }
    // Drops the text before offset `keep` of text() (a line start, on line
    // `keep_line`, 1-based) and reads on: afterwards text() holds more than
    // the part kept. Throws InputError, RestartAsLatin1.
    void advance(std::size_t keep, std::uint32_t keep_line);

    // The offset in the file of offset `at` of text().
    std::uint64_t file_offset(std::size_t at) const noexcept;
    // The record of a text read as Latin-1 (it goes first in the problems),
    // once its first byte that is not UTF-8 has been met.
    const std::optional<NativeParseError>& latin1_record() const noexcept { return latin1_; }
    // Bytes held (the window's capacity).
    std::size_t capacity() const noexcept { return cap_; }

private:
    struct Anchor {
        std::size_t text;
        std::uint64_t file;
    };
    void grow();
    // Room for the next raw byte (two bytes of text in Latin-1 mode).
    bool has_room() const noexcept { return cap_ - filled_ >= (latin1_mode_ ? 2u : 1u); }
    void read_some();
    void append_raw(const char* raw, std::size_t n);
    void check_utf8();
    void set_cut();
    void drop_front(std::size_t keep);

    ByteSource& source_;
    std::unique_ptr<char[]> buf_;
    std::size_t cap_;
    std::size_t filled_ = 0;     // normalised bytes held
    std::size_t cut_ = 0;        // end of the whole lines handed out
    std::size_t validated_ = 0;  // UTF-8 checked up to here
    bool eof_ = false;
    bool pending_cr_ = false;  // the last raw byte read was a CR
    bool high_seen_ = false;   // a byte >= 0x80 before validated_, in any window
    bool latin1_mode_ = false;
    std::optional<NativeParseError> latin1_;
    std::uint32_t first_line_ = 0;
    std::uint64_t raw_read_ = 0;  // raw bytes taken from the source
    std::uint64_t source_base_;
    std::vector<Anchor> anchors_;  // where text and file offsets part; the first at text 0
    std::unique_ptr<char[]> raw_;  // a piece of raw bytes, when they are transformed
};

}  // namespace quarzel
