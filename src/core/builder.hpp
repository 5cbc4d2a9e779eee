// The sink that turns parser events into a native document.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/categories.hpp"
#include "core/document.hpp"
#include "core/error.hpp"
#include "core/token.hpp"
#include "core/version.hpp"

namespace quarzel {

// The value a stored scalar stands for. The builder keeps a quoted "?" or
// "." as the text with its quotes (from static storage), apart from the
// bare placeholders; this gives back the one character for those and the
// text itself for any other.
std::string_view stored_value_text(std::string_view stored) noexcept;

class RawBuilder {
public:
    // `text` is the text being lexed: scalar values that are slices of it are
    // stored as views. `strict` stops at the first semantic problem. Value
    // columns take `layout`.
    RawBuilder(CifVersion version, bool strict, std::string_view text,
               ColumnLayout layout = ColumnLayout::Refs);
    ~RawBuilder();
    RawBuilder(RawBuilder&&) noexcept;
    RawBuilder& operator=(RawBuilder&&) noexcept;

    void on_data_block(std::string_view name);
    void on_save_frame_start(std::string_view name);
    void on_save_frame_end();
    void on_loop_start(std::span<const std::string_view> tags);
    void on_loop_end();
    void add_tag(std::string_view tag);
    // Most values are plain words of a loop's rows: they take an inline lane
    // straight to their column. A one-byte "." or "?" stays bare only as a
    // placeholder (a CIF 1.1 '''?''' is a STRING): the slow path quotes it.
    void add_value(std::string_view text, ValueType kind) {
        if (lane_->columns != nullptr && kind != ValueType::MultilineString &&
            (text.size() != 1 || kind == ValueType::Placeholder ||
             (kind == ValueType::String && text[0] != '.' && text[0] != '?'))) [[likely]] {
            add_plain_word(text);
            return;
        }
        add_value_slow(text, kind);
    }
    // Plain bare words of a loop's rows (kind String or Placeholder), which
    // a lexer may hand over straight from the text while the lane is open.
    bool takes_plain_words() const noexcept { return plain_words_ && lane_->columns != nullptr; }
    // Stores values, in order, on the open lane.
    void add_plain_words(std::span<const std::string_view> words);
    // The text that add_plain_refs' references point into: the text being
    // lexed when its columns keep references into it (the Refs layout),
    // else empty (no references taken).
    std::string_view plain_refs_base() const noexcept { return refs_base_; }
    // add_plain_words for words given as ColumnBase::ref_of(offset, length)
    // of plain_refs_base() (the length may exceed a reference's).
    void add_plain_refs(std::span<const std::uint64_t> refs);
    // Whether the open lane only counts (a loop a selective reading skips):
    // the words need not be handed over, only their number.
    bool counts_plain_words() const noexcept { return lane_->skipped; }
    // Counts `n` values on the open lane, position by position.
    void add_plain_word_count(std::uint64_t n);
    // Stores a value on the open lane.
    void add_plain_word(std::string_view text) {
        LoopLane& lane = *lane_;
        ValueColumn* column = lane.columns[lane.pos];
        if (++lane.pos == lane.size) lane.pos = 0;
        if (!column->push_slice(text)) [[unlikely]]
            push_kept(*column, text);
    }
    // Whether takes_plain_words() may be true: off, every value comes
    // through add_value (tests compare the two paths).
    void set_plain_words(bool on) noexcept { plain_words_ = on; }
    // The number of source lines before `text`, for the positions of the
    // builder's own problem records.
    void set_line_offset(std::uint32_t lines) noexcept;
    // For a text that is not one piece (read in windows): where a name the
    // builder reports stands, when it is not a slice of the text (0 and 0
    // when not known). Set before the first event.
    void set_positions(std::function<std::pair<std::uint32_t, std::uint32_t>(std::string_view)> f);

    // Keeps the values of the categories and blocks `selection` names (it
    // must outlive the builder) and only counts the others: their tags,
    // loops and value counts stay in the document (the rows of a batch
    // depend on them), their columns take the Count layout, and every
    // problem record is the one a full reading gives. Set before the first
    // event.
    void set_selection(const Selection* selection) noexcept;

    // Finished blocks, taken out of the document as they complete (the
    // document keeps only the one still open): a reader may hand each on
    // and free it. The texts that values point into outside the lexed text
    // (`ParsedCif::arena`) stay with the document. With `marks`, the number
    // of problem records (taken or not) that belong to each block and those
    // before it: up to the keyword that starts the next block.
    std::vector<ParsedBlock> take_blocks(std::vector<std::size_t>* marks = nullptr);
    // Problem records so far, taken out of the document.
    std::vector<NativeParseError> take_errors();
    // The parser is about to start a new data block: the records so far
    // belong to the open block, if any.
    void on_block_boundary();
    // Problem records so far, taken or not.
    std::size_t error_count() const noexcept;
    // Drops the document's arena; for a builder whose columns hold copies
    // of every value (Packed, no lexed text), between blocks.
    void clear_arena();

    void on_list_start();
    void on_list_end();
    void on_table_start();
    void on_table_key(std::string_view key, ValueType kind);
    void on_table_end();
    void on_parse_error(NativeParseError error);

    // The document; with `marks`, those of its blocks (as take_blocks gives
    // them).
    ParsedCif finish(std::vector<std::size_t>* marks = nullptr) &&;
    // The same into `out` (what it held goes), without moving the
    // document's texts as a whole.
    void finish_into(ParsedCif& out) &&;

    // The open loop as the value path sees it: the column of each header
    // position and the next position. `columns` is null unless plain values
    // go straight to the loop (a loop is open, no list or table is, the
    // builder has not stopped).
    struct LoopLane {
        ValueColumn* const* columns = nullptr;
        std::uint32_t size = 0;
        std::uint32_t pos = 0;
        bool skipped = false;  // every column only counts
    };

private:
    struct State;
    void add_value_slow(std::string_view text, ValueType kind);
    void push_kept(ValueColumn& column, std::string_view text);

    std::unique_ptr<State> s_;
    LoopLane* lane_;              // inside *s_
    std::string_view refs_base_;  // see plain_refs_base()
    bool plain_words_ = true;
};

}  // namespace quarzel
