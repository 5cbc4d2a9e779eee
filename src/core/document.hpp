// The native document that the builder produces and the conversions read.
//
// Scalar texts are views: into the lexed text (most values), into the
// document's arena (values that had to be rewritten, such as transformed text
// fields) or into static storage. A document must not outlive the text it was
// built from.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/name_index.hpp"
#include "core/value_column.hpp"
#include "core/version.hpp"

namespace quarzel {

// The content of one data block or save frame. Tag names are views of
// texts the document owns (one copy of each distinct name, however many
// frames and loops name it).
//
// A tag given again (a second item, or a column of a later loop) replaces
// what it had: the builder drops the earlier occurrence, which leaves the
// tag order and its loop, and adds the tag anew. Once the frame is complete
// (settle()) every tag appears once in the tag order and in at most one
// loop, and the columns of a loop have one length.
struct FrameData {
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr std::uint32_t kNoLoop = static_cast<std::uint32_t>(-1);
    static constexpr std::uint32_t kNoOffset = 0xFFFFFFFFu;

    std::vector<std::string_view> tag_order;           // lower-cased, in order, each once
    std::vector<std::vector<std::string_view>> loops;  // each loop's tags, header order
    std::vector<ValueColumn> columns;                  // columns[i]: the values of tag_order[i]
    // tag_offsets[i]: where tag_order[i] is written (the occurrence whose
    // values it holds), as a byte offset into the lexed text (kNoOffset for
    // a tag the parser supplied, or beyond 4 GiB): findings about a tag
    // point there.
    std::vector<std::uint32_t> tag_offsets;

    // The position of `tag` in the tag order, or npos.
    std::size_t position(std::string_view tag) const noexcept {
        return index_.find(tag_order, tag);
    }
    // The same, `hash` being NameIndex::hash(tag).
    std::size_t position(std::string_view tag, std::uint64_t hash) const noexcept {
        return index_.find(tag_order, tag, hash);
    }
    const ValueColumn* find(std::string_view tag) const noexcept {
        const std::size_t i = position(tag);
        return i < columns.size() ? &columns[i] : nullptr;
    }
    ValueColumn* find(std::string_view tag) noexcept {
        const std::size_t i = position(tag);
        return i < columns.size() ? &columns[i] : nullptr;
    }
    // Enters a tag that is not in the tag order yet, with its column and
    // where it is written; `tag` must live as long as the frame. A loop's
    // column names the loop (its index in `loops`) and its place in the
    // loop's tags.
    ValueColumn& add(std::string_view tag, ValueColumn&& column, std::uint32_t loop = kNoLoop,
                     std::uint32_t place = 0, std::uint32_t offset = kNoOffset);
    // The same, `hash` being NameIndex::hash(tag).
    ValueColumn& add_hashed(std::uint64_t hash, std::string_view tag, ValueColumn&& column,
                            std::uint32_t loop = kNoLoop, std::uint32_t place = 0,
                            std::uint32_t offset = kNoOffset);
    // Room for `tags` tags before the vectors grow (a frame takes room for
    // eight at its first tag otherwise).
    void reserve(std::size_t tags);
    // Whether the tag at `position` is a column of a loop.
    bool in_loop(std::size_t position);
    // Takes the tag at `position` out of the frame: out of the tag order and
    // out of its loop, with its values. find() no longer finds it, and it
    // may be added again; the room it took goes at settle().
    void drop(std::size_t position);
    // Completes the frame: removes what drop() left (a loop whose every tag
    // was dropped goes too, so later loops move up) and gives back the
    // spare room of its vectors (documents of many small frames would
    // otherwise keep about a third more than they use).
    void settle();
    // Frees every column (the tag order stays): after the values have been
    // handed over, find() finds nothing.
    void release_values() noexcept { std::vector<ValueColumn>().swap(columns); }

private:
    struct Place {
        std::uint32_t loop = kNoLoop;
        std::uint32_t at = 0;  // in the loop's tags
    };
    NameIndex index_;  // of tag_order
    // add() but for the index.
    ValueColumn& push(std::string_view tag, ValueColumn&& column, std::uint32_t loop,
                      std::uint32_t place, std::uint32_t offset);
    // places_[i]: where tag_order[i] is looped; empty until the frame asks
    // (in_loop), and again after settle().
    std::vector<Place> places_;
    std::size_t dropped_ = 0;  // entries left blank by drop()
};

struct ParsedSaveFrame {
    std::string name;  // lower-cased
    FrameData data;
};

struct ParsedBlock {
    std::string name;  // lower-cased
    FrameData data;
    std::vector<ParsedSaveFrame> save_frames;  // in order of their end
};

struct ParsedCif {
    std::vector<ParsedBlock> blocks;
    std::vector<NativeParseError> errors;
    CifVersion version = CifVersion::Cif11;
    // Owned texts that scalar views may point into. Deque elements never move.
    std::deque<std::string> arena;
    // One copy of each distinct tag name, which frames and loops view.
    std::deque<std::string> names;
};

}  // namespace quarzel
