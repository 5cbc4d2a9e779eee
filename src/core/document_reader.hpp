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
        // After a restart as Latin-1: true passes over the blocks handed out
        // before; false hands every block out again from the first, and the
        // caller, seeing restarts() grow, drops what it made of them.
        bool pass_over_handed_out = true;
        // Packed: values as cell texts (lists and tables as their text),
        // ready for Arrow. Refs: as the document of a whole reading has
        // them (lists and tables as nodes), each value a copy in the
        // document's arena, which is cleared when the next block is asked
        // for.
        ColumnLayout layout = ColumnLayout::Packed;
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
    // names (and in the Refs layout its values) view texts the reader owns:
    // convert or copy them before the reader goes (and, for values, before
    // the next call). With `errors`, the problem records that belong to the
    // block are moved there: those up to the keyword of the next block (the
    // first block also takes those before it, the last those at the end of
    // the input). Throws InputError.
    std::optional<ParsedBlock> next_block(std::vector<NativeParseError>* errors = nullptr);

    // The problem records found so far that were not taken yet, in the
    // order a whole reading gives them.
    std::vector<NativeParseError> take_errors();

    // After the first next_block(): the version the text declares.
    CifVersion version() const noexcept { return version_; }
    // Whether the text was read as Latin-1.
    bool latin1() const noexcept { return latin1_.has_value(); }
    // How often reading started again from the first byte (0 or 1).
    std::size_t restarts() const noexcept { return restarts_; }

private:
    struct Run;
    void start_run();

    Opener open_;
    Options options_;
    std::unique_ptr<Run> run_;
    std::optional<NativeParseError> latin1_;
    struct Pending {
        ParsedBlock block;
        std::size_t mark;  // records up to here belong to it and the blocks before
    };
    void take_from_builder(bool finished);
    void move_errors(std::size_t mark, std::vector<NativeParseError>* to);

    std::deque<Pending> pending_;
    std::deque<NativeParseError> errors_;  // not taken yet, from record number first_error_
    std::size_t first_error_ = 0;
    // The tag names and kept texts of the last blocks, once the builder is done.
    std::deque<std::string> names_, arena_;
    CifVersion version_ = CifVersion::Cif11;
    bool done_ = false;
    // Blocks handed out, passed over when the input is read again as
    // Latin-1; the Latin-1 record then goes with the next block handed out.
    std::size_t blocks_out_ = 0, skip_blocks_ = 0, restarts_ = 0;
    std::optional<NativeParseError> carry_;
};

}  // namespace quarzel
