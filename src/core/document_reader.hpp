// Reading an input of any size block by block: its bytes a window at a time
// (TextWindows), lexed and parsed as one text, built into a document whose
// finished blocks are handed out as they complete. With a selection only the
// chosen categories and blocks keep their values (the rest is lexed, parsed
// and counted, never stored). What is held at once: a window of text and the
// block being read (with a selection, only its chosen values), and whatever
// the caller keeps of the blocks handed out.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/byte_source.hpp"
#include "core/categories.hpp"
#include "core/document.hpp"
#include "core/text_windows.hpp"

namespace quarzel {

class DocumentReader {
public:
    struct Options {
        std::size_t window = TextWindows::kDefaultWindow;
        const Selection* selection = nullptr;  // must outlive the reader
    };
    // `open` makes the input's byte source; it is called again to read the
    // input once more as Latin-1 should it turn out not to be UTF-8 (blocks
    // and records already handed out are then passed over).
    using Opener = std::function<std::unique_ptr<ByteSource>()>;

    DocumentReader(Opener open, Options options);
    ~DocumentReader();
    DocumentReader(const DocumentReader&) = delete;
    DocumentReader& operator=(const DocumentReader&) = delete;

    // The next complete block, or none at the end of the input. Its tag
    // names view texts the reader owns: convert or copy them before the
    // reader goes. Throws InputError.
    std::optional<ParsedBlock> next_block();

    // The problem records found so far that were not taken yet, in the
    // order a whole reading gives them.
    std::vector<NativeParseError> take_errors();

    // After the first next_block(): the version the text declares.
    CifVersion version() const noexcept { return version_; }
    // Whether the text was read as Latin-1.
    bool latin1() const noexcept { return latin1_.has_value(); }

private:
    struct Run;
    void start_run();

    Opener open_;
    Options options_;
    std::unique_ptr<Run> run_;
    std::optional<NativeParseError> latin1_;
    std::deque<ParsedBlock> pending_;
    std::vector<NativeParseError> errors_;
    std::deque<std::string> names_;  // the tag names of the last blocks, once the builder is done
    CifVersion version_ = CifVersion::Cif11;
    bool done_ = false;
    bool give_latin1_first_ = false;
    // Handed out before a restart as Latin-1: passed over when read again.
    std::size_t blocks_out_ = 0, errors_out_ = 0, skip_blocks_ = 0, skip_errors_ = 0;
};

}  // namespace quarzel
