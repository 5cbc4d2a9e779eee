#include "core/builder.hpp"
#include "core/placeholders.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/event_sink.hpp"
#include "core/lowercase.hpp"
#include "core/textfield.hpp"

namespace quarzel {

namespace {

// Texts the builder substitutes; static, so views of them never dangle.
constexpr std::string_view kDot = ".";
constexpr std::string_view kQuestion = "?";
constexpr std::string_view kQuotedDot = "\".\"";
constexpr std::string_view kQuotedQuestion = "\"?\"";

// The most tags a block, or names a document, takes room for ahead after
// a larger one.
constexpr std::size_t kBlockTagsAhead = 512;

struct OpenBlock {
    std::string name;
    FrameData data;
    std::vector<ParsedSaveFrame> save_frames;
};

struct OpenFrame {
    std::string name;
    FrameData data;
};

// One open list or table, written in the builder's node store from `start`
// (its key first, in a table). `head` is the index of its head node.
struct Container {
    bool is_table = false;
    std::size_t start = 0;
    std::size_t head = 0;
    // Its parent (if any) counts it already and gave it its pending key.
    bool counted = false;
    std::string_view parent_key;
    std::optional<std::string_view> pending_key;  // tables: the key awaiting its value
};

}  // namespace

std::string_view quoted_placeholder(char c) noexcept {
    return c == '.' ? kQuotedDot : kQuotedQuestion;
}

std::string_view stored_value_text(std::string_view stored) noexcept {
    if (stored.data() == kQuotedDot.data()) return kQuotedDot.substr(1, 1);
    if (stored.data() == kQuotedQuestion.data()) return kQuotedQuestion.substr(1, 1);
    return stored;
}

struct RawBuilder::State {
    const char* base;
    std::size_t base_size;
    std::uint32_t line_offset = 0;  // source lines before the text
    bool strict;
    ColumnLayout layout;
    bool stopped = false;

    ParsedCif doc;  // errors, finished blocks, version and the arena
    std::optional<OpenBlock> block;
    std::optional<OpenFrame> frame;

    bool has_pending_tag = false;
    bool pending_is_new = false;     // the frame lacks the pending tag (add_tag looked)
    std::string pending_tag;         // lower-cased
    std::uint64_t pending_hash = 0;  // NameIndex::hash(pending_tag)
    std::uint32_t pending_offset = FrameData::kNoOffset;  // where the pending tag is written
    std::vector<Container> containers;
    NodeStore open_value;  // the list or table being read, nested ones inside it

    // The open loop. Values go round the header positions, each into a
    // column of its own (of a tag repeated in the header, the last column is
    // kept). The lane holds the position and the count.
    bool collecting_loop = false;
    bool loop_repeats_tag = false;                   // some tag stands twice in the header
    std::vector<std::string_view> loop_tags;         // interned
    std::vector<std::uint32_t> loop_tag_offsets;     // where each is written
    std::vector<std::uint64_t> loop_tag_hashes;      // NameIndex::hash of each
    std::vector<ValueColumn*> loop_position_column;  // header position -> its column
    std::vector<ValueColumn> loop_columns;
    LoopLane lane;

    // Records per block: the boundary before the next block's keyword, and
    // the mark of each block closed and not taken yet.
    std::size_t errors_taken = 0;
    std::optional<std::size_t> boundary;
    std::vector<std::size_t> marks;

    // A selective reading: what it keeps, whether the open block is one of
    // its blocks, and whether the pending tag's values are kept.
    const Selection* selection = nullptr;
    bool block_wanted = true;
    bool pending_wanted = true;

    // Positions of names that are no slices of the text (set_positions).
    std::function<std::pair<std::uint32_t, std::uint32_t>(std::string_view)> positions;

    // Where the last position asked for stands (position_of).
    std::size_t seen_offset = 0;
    std::uint32_t seen_line = 0;  // 0: nothing asked yet
    std::size_t seen_line_start = 0;

    // One copy of each distinct tag name, in the document's `names`:
    // written back to back into strings of a few KB, whose bytes never move
    // (their capacity is reserved up front), instead of one string and one
    // hash node per name.
    std::vector<std::string_view> names;
    NameIndex name_index;
    std::unordered_set<std::string> seen_block_names;
    std::unordered_set<std::string> seen_frame_names;
    std::string scratch;
    NameIndex loop_index;  // of loop_tags, while on_loop_start reads a header
    // The tags of the block closed last, kept across restarts: a block
    // takes that much room up front, since the blocks a thread reads one
    // after another tend to be alike (small files of one kind), and its
    // columns then never move while it grows.
    std::size_t last_block_tags = 0;

    State(CifVersion version, bool strict_mode, std::string_view text, ColumnLayout column_layout) {
        names.reserve(64);
        restart(version, strict_mode, text, column_layout);
    }

    // Makes the state that of a new builder, keeping the room of its
    // vectors and tables: every member is set here.
    void restart(CifVersion version, bool strict_mode, std::string_view text,
                 ColumnLayout column_layout) {
        base = text.data();
        base_size = text.size();
        line_offset = 0;
        strict = strict_mode;
        layout = column_layout;
        stopped = false;
        doc.blocks.clear();
        doc.errors.clear();
        doc.version = version;
        doc.arena.clear();
        doc.names.clear();
        block.reset();
        frame.reset();
        has_pending_tag = false;
        pending_is_new = false;
        pending_tag.clear();
        pending_hash = 0;
        pending_offset = FrameData::kNoOffset;
        containers.clear();
        open_value = NodeStore(text.data(), text.size());
        reset_loop();
        errors_taken = 0;
        boundary.reset();
        marks.clear();
        selection = nullptr;
        block_wanted = true;
        pending_wanted = true;
        positions = nullptr;
        seen_offset = 0;
        seen_line = 0;
        seen_line_start = 0;
        // The names of the document read last (views of it, not read
        // again) tell how many this one will likely have: its index takes
        // room for as many up front.
        const std::size_t names_before = std::min(names.size(), kBlockTagsAhead);
        names.clear();
        name_index.reset();
        name_index.reserve(names, names_before);
        seen_block_names.clear();
        seen_frame_names.clear();
        scratch.clear();
        loop_index.reset();
    }

    // The state a builder on this thread gave back, kept for the next one:
    // most calls read small texts, whose working vectors and tables would
    // otherwise be allocated afresh for each.
    static std::unique_ptr<State>& spare() noexcept {
        static thread_local std::unique_ptr<State> kept;
        return kept;
    }
    // A state for a new builder: the thread's spare one when there is one
    // (a builder made while another is open on the thread gets a new one).
    static std::unique_ptr<State> make(CifVersion version, bool strict_mode, std::string_view text,
                                       ColumnLayout column_layout) {
        if (std::unique_ptr<State> state = std::move(spare())) {
            state->restart(version, strict_mode, text, column_layout);
            return state;
        }
        return std::make_unique<State>(version, strict_mode, text, column_layout);
    }
    // Gives a finished builder's state back to its thread, unless the
    // thread keeps one already or this one holds more than a few MiB (one
    // huge text must not pin its tables) or a document never taken.
    static void give_back(std::unique_ptr<State> state) noexcept {
        constexpr std::size_t kKeptBytes = std::size_t{4} << 20;
        if (!state || spare() || !state->doc.blocks.empty() || !state->doc.arena.empty() ||
            !state->doc.names.empty() || state->block || state->frame)
            return;
        state->open_value.clear();
        state->positions = nullptr;
        state->selection = nullptr;
        state->reset_loop();
        state->containers.clear();
        state->seen_block_names.clear();
        state->seen_frame_names.clear();
        if (state->kept_bytes() > kKeptBytes) return;
        spare() = std::move(state);
    }
    // About the bytes the emptied state's vectors and tables hold.
    std::size_t kept_bytes() const noexcept {
        return names.capacity() * sizeof(std::string_view) + name_index.capacity_bytes() +
               loop_index.capacity_bytes() + loop_tags.capacity() * sizeof(std::string_view) +
               loop_tag_offsets.capacity() * sizeof(std::uint32_t) +
               loop_tag_hashes.capacity() * sizeof(std::uint64_t) +
               loop_position_column.capacity() * sizeof(ValueColumn*) +
               loop_columns.capacity() * sizeof(ValueColumn) +
               containers.capacity() * sizeof(Container) + marks.capacity() * sizeof(std::size_t) +
               doc.errors.capacity() * sizeof(NativeParseError) +
               doc.blocks.capacity() * sizeof(ParsedBlock) +
               (seen_block_names.bucket_count() + seen_frame_names.bucket_count()) * sizeof(void*) +
               pending_tag.capacity() + scratch.capacity();
    }

    bool in_text(std::string_view t) const noexcept {
        auto p = reinterpret_cast<std::uintptr_t>(t.data());
        auto b = reinterpret_cast<std::uintptr_t>(base);
        return base != nullptr && p >= b && t.size() <= base_size && p - b <= base_size - t.size();
    }

    // A view of `t` that lives as long as the document: `t` itself when it
    // lies in the lexed text, otherwise a copy in the arena.
    std::string_view keep(std::string_view t) {
        if (in_text(t)) return t;
        if (t.empty()) return kDot.substr(0, 0);
        return doc.arena.emplace_back(t);
    }

    // Moves the open block, if any, into the document.
    void close_block() {
        if (!block) return;
        marks.push_back(boundary.value_or(errors_taken + doc.errors.size()));
        boundary.reset();
        last_block_tags = block->data.tag_order.size();
        block->data.settle();
        doc.blocks.push_back(ParsedBlock{std::move(block->name), std::move(block->data),
                                         std::move(block->save_frames)});
        block.reset();
    }

    FrameData* target() noexcept {
        if (frame) return &frame->data;
        if (block) return &block->data;
        return nullptr;
    }

    // Records a block or frame name (`lname`, lower-cased); a name seen
    // before is reported.
    void note_name(std::unordered_set<std::string>& seen, const std::string& lname,
                   std::string_view name, std::string_view what, std::string_view stored) {
        if (seen.insert(lname).second) return;
        semantic_error("duplicate " + std::string(what) + " name: " + quoted(name),
                       "duplicate " + std::string(stored) + " stored with distinct internal id");
    }

    void semantic_error(std::string message, std::string recovery_action) {
        NativeParseError e;
        e.error_type = ErrorType::Semantic;
        e.message = std::move(message);
        e.line = 0;
        e.column = 0;
        e.context = "RawBuilder";
        e.recovery_action = std::move(recovery_action);
        add_semantic(std::move(e));
    }
    void add_semantic(NativeParseError e) {
        doc.errors.push_back(std::move(e));
        if (strict) {
            stopped = true;
            refresh_lane();
        }
    }

    // The line and column of a name that is a slice of the lexed text, as
    // the lexer counts them; 0 and 0 for any other text. Asked in text order
    // (as problems arise), each question scans on from the last.
    [[gnu::cold]] std::pair<std::uint32_t, std::uint32_t> position_of(std::string_view t) {
        if (!in_text(t))
            return positions ? positions(t) : std::pair<std::uint32_t, std::uint32_t>{};
        const std::size_t offset = static_cast<std::size_t>(t.data() - base);
        if (seen_line == 0 || offset < seen_offset) {
            seen_offset = 0;
            seen_line = line_offset + 1;
            seen_line_start = 0;
        }
        for (std::size_t p = seen_offset; p < offset; ++p) {
            if (base[p] == '\n') {
                ++seen_line;
                seen_line_start = p + 1;
            }
        }
        seen_offset = offset;
        std::uint32_t column = 1;
        for (std::size_t p = seen_line_start; p < offset; ++p)
            column += (static_cast<unsigned char>(base[p]) & 0xC0) != 0x80;
        return {seen_line, column};
    }

    // A tag given again: `written` as the parser passed it. `recovery` says
    // which occurrence was dropped.
    [[gnu::cold, gnu::noinline]] void duplicate_tag(std::string_view written,
                                                    std::string_view recovery) {
        NativeParseError e;
        e.error_type = ErrorType::Semantic;
        e.message = "duplicate data name: " + quoted(written);
        std::tie(e.line, e.column) = position_of(written);
        e.context = std::string(written);
        e.recovery_action = strict ? std::string("stopped") : std::string(recovery);
        add_semantic(std::move(e));
    }

    // The recovery phrase for a tag given again whose earlier occurrence
    // is at `position` of `data`.
    static std::string_view replaced(FrameData& data, std::size_t position) {
        return data.in_loop(position) ? "later occurrence kept, earlier loop column dropped"
                                      : "later occurrence kept, earlier value dropped";
    }

    // Opens or closes the lane after any change of the loop, the open
    // containers or the stop flag.
    void refresh_lane() noexcept {
        const bool open =
            collecting_loop && containers.empty() && !stopped && !loop_position_column.empty();
        lane.columns = open ? loop_position_column.data() : nullptr;
    }

    void reset_loop() noexcept {
        collecting_loop = false;
        loop_repeats_tag = false;
        loop_tags.clear();
        loop_tag_offsets.clear();
        loop_tag_hashes.clear();
        loop_position_column.clear();
        loop_columns.clear();
        lane = LoopLane{};
    }

    // The column of the loop's next value, or null without loop tags.
    ValueColumn* next_loop_column() noexcept {
        const std::size_t n = loop_position_column.size();
        if (n == 0) return nullptr;
        ValueColumn* col = loop_position_column[lane.pos];
        if (++lane.pos == n) lane.pos = 0;
        return col;
    }

    // The document's copy of a (lower-cased) tag name.
    // (`h` is NameIndex::hash(name): each tag is hashed once, for this
    // index and the frame's.)
    std::string_view intern(std::string_view name, std::uint64_t h) {
        if (const std::size_t at = name_index.find(names, name, h); at != NameIndex::npos)
            return names[at];
        const std::string_view copy = copy_name(name);
        names.push_back(copy);
        name_index.appended(names, h);
        return copy;
    }
    std::string_view intern(std::string_view name) { return intern(name, NameIndex::hash(name)); }

    // A copy of `name` in the last string of the document's `names`, or in
    // a new one when it has no room left (the strings are never grown, so
    // views of them hold).
    std::string_view copy_name(std::string_view name) {
        constexpr std::size_t kFirstChunk = 1024, kMaxChunk = 64 * 1024;
        std::deque<std::string>& chunks = doc.names;
        if (chunks.empty() || chunks.back().capacity() - chunks.back().size() < name.size()) {
            const std::size_t last = chunks.empty() ? 0 : chunks.back().capacity();
            std::string& chunk = chunks.emplace_back();
            chunk.reserve(std::max({kFirstChunk, std::min(2 * last, kMaxChunk), name.size()}));
        }
        std::string& chunk = chunks.back();
        const std::size_t at = chunk.size();
        chunk.append(name);
        return std::string_view(chunk).substr(at, name.size());
    }

    // The layout of a new column: the builder's, or Count for values a
    // selective reading skips.
    ColumnLayout layout_for(bool wanted) const noexcept {
        return wanted ? layout : ColumnLayout::Count;
    }

    // Whether a selective reading keeps the values of `category` here.
    bool wants(std::string_view category) const {
        return selection == nullptr || (block_wanted && selection->wants_category(category));
    }

    // The column of `tag` in `data`, entered at the end of the tag order when
    // new (with the layout for `wanted` values), noting where it is written.
    ValueColumn& column_of(FrameData& data, std::string_view tag, bool wanted = true,
                           std::uint32_t offset = FrameData::kNoOffset) {
        if (ValueColumn* column = data.find(tag)) return *column;
        return data.add(intern(tag), ValueColumn(base, base_size, layout_for(wanted)),
                        FrameData::kNoLoop, 0, offset);
    }

    // The byte offset of a text written in the lexed text, for positions.
    std::uint32_t offset_of(std::string_view t) const noexcept {
        if (!in_text(t)) return FrameData::kNoOffset;
        const std::size_t off = static_cast<std::size_t>(t.data() - base);
        return off < FrameData::kNoOffset ? static_cast<std::uint32_t>(off) : FrameData::kNoOffset;
    }

    // Whether the next scalar value would only be counted.
    bool next_value_counted() noexcept {
        if (selection == nullptr || !containers.empty()) return false;
        if (collecting_loop)
            return !loop_position_column.empty() && loop_position_column[lane.pos]->counted();
        if (!has_pending_tag) return false;
        return !pending_wanted;
    }

    // The column of the pending tag, which add_tag() looked for already.
    ValueColumn& pending_column(FrameData& data) {
        if (pending_is_new)
            return data.add_hashed(pending_hash, intern(pending_tag, pending_hash),
                                   ValueColumn(base, base_size, layout_for(pending_wanted)),
                                   FrameData::kNoLoop, 0, pending_offset);
        return column_of(data, pending_tag, pending_wanted, pending_offset);
    }

    // Stores a scalar in a column: as a view when it is a slice of the
    // lexed text, else from static storage or a copy in the arena.
    [[gnu::always_inline]] void push_scalar(ValueColumn& col, std::string_view text,
                                            bool is_static) {
        if (!col.push_slice(text)) [[unlikely]]
            push_other(col, text, is_static);
    }
    [[gnu::noinline]] void push_other(ValueColumn& col, std::string_view text, bool is_static) {
        col.push_text(is_static ? text : keep(text));
    }

    // Routes a scalar to the open list or table, the open loop or the
    // pending tag. `is_static` marks texts that live as long as the
    // document already (static or in the arena).
    void dispatch_scalar(std::string_view text, bool is_static) {
        if (!containers.empty()) {
            if (take_element()) open_value.push_text(is_static ? text : keep(text));
        } else if (collecting_loop) {
            if (ValueColumn* col = next_loop_column()) push_scalar(*col, text, is_static);
        } else if (has_pending_tag) {
            has_pending_tag = false;
            if (FrameData* data = target()) push_scalar(pending_column(*data), text, is_static);
        }
    }

    // Makes room for one more element of the innermost open list or table:
    // counts it and writes the key it pairs with. False when a table has no
    // key waiting, and the element is dropped.
    bool take_element() {
        Container& c = containers.back();
        if (c.is_table) {
            if (!c.pending_key) return false;
            open_value.push_text(*c.pending_key);
            c.pending_key.reset();
        }
        open_value.add_to_count(c.head, 1);
        return true;
    }

    void open_container(bool is_table) {
        Container c;
        c.is_table = is_table;
        if (containers.empty()) {
            open_value.reset();
        } else {
            const std::optional<std::string_view> key = containers.back().pending_key;
            c.start = open_value.size();
            c.counted = take_element();
            if (c.counted && key) c.parent_key = *key;
        }
        c.head = open_value.push_head(is_table ? NodeKind::Table : NodeKind::List);
        containers.push_back(c);
        refresh_lane();
    }

    // Ends the innermost open list or table: kept when `is_table` matches
    // and its parent took it, else dropped with everything in it.
    void close_container(bool is_table) {
        Container c = containers.back();
        containers.pop_back();
        if (c.is_table != is_table || (!containers.empty() && !c.counted)) {
            open_value.truncate(c.start);
            if (!containers.empty() && c.counted) {
                Container& parent = containers.back();
                open_value.add_to_count(parent.head, -1);
                if (parent.is_table) parent.pending_key = c.parent_key;
            }
        } else if (containers.empty()) {
            dispatch_open_value();
        }
        refresh_lane();
    }

    // Stores the finished outermost list or table.
    void dispatch_open_value() {
        if (collecting_loop) {
            if (ValueColumn* col = next_loop_column()) col->push_value(open_value);
            return;
        }
        if (!has_pending_tag) return;
        has_pending_tag = false;
        if (FrameData* data = target()) pending_column(*data).push_value(open_value);
    }
};

RawBuilder::RawBuilder(CifVersion version, bool strict, std::string_view text, ColumnLayout layout)
    : s_(State::make(version, strict, text, layout)),
      lane_(&s_->lane),
      refs_base_(layout == ColumnLayout::Refs ? text : std::string_view()) {}
RawBuilder::~RawBuilder() {
    State::give_back(std::move(s_));
}
RawBuilder::RawBuilder(RawBuilder&&) noexcept = default;
RawBuilder& RawBuilder::operator=(RawBuilder&&) noexcept = default;

void RawBuilder::set_line_offset(std::uint32_t lines) noexcept {
    s_->line_offset = lines;
}

void RawBuilder::on_parse_error(NativeParseError error) {
    s_->doc.errors.push_back(std::move(error));
}

void RawBuilder::set_positions(
    std::function<std::pair<std::uint32_t, std::uint32_t>(std::string_view)> f) {
    s_->positions = std::move(f);
}

void RawBuilder::set_selection(const Selection* selection) noexcept {
    s_->selection = selection;
}

std::vector<ParsedBlock> RawBuilder::take_blocks(std::vector<std::size_t>* marks) {
    if (marks != nullptr) *marks = std::move(s_->marks);
    s_->marks.clear();
    return std::exchange(s_->doc.blocks, {});
}

std::vector<NativeParseError> RawBuilder::take_errors() {
    s_->errors_taken += s_->doc.errors.size();
    return std::exchange(s_->doc.errors, {});
}

std::size_t RawBuilder::error_count() const noexcept {
    return s_->errors_taken + s_->doc.errors.size();
}

void RawBuilder::on_block_boundary() {
    State& s = *s_;
    if (s.block) s.boundary = s.errors_taken + s.doc.errors.size();
}

void RawBuilder::clear_arena() {
    s_->doc.arena.clear();
}

void RawBuilder::on_data_block(std::string_view name) {
    State& s = *s_;
    if (s.stopped) return;
    s.close_block();
    std::string lname = lower(name);
    s.note_name(s.seen_block_names, lname, name, "data block", "block");
    s.frame.reset();
    s.has_pending_tag = false;
    s.reset_loop();
    s.containers.clear();
    s.seen_frame_names.clear();
    s.block_wanted = s.selection == nullptr || s.selection->wants_block(lname);
    s.block.emplace();
    s.block->name = std::move(lname);
    if (s.last_block_tags > 8) s.block->data.reserve(std::min(s.last_block_tags, kBlockTagsAhead));
}

void RawBuilder::on_save_frame_start(std::string_view name) {
    State& s = *s_;
    if (s.stopped || !s.block) return;
    std::string lname = lower(name);
    s.note_name(s.seen_frame_names, lname, name, "save frame", "save frame");
    s.frame.emplace();
    s.frame->name = std::move(lname);
}

void RawBuilder::on_save_frame_end() {
    State& s = *s_;
    if (s.stopped || !s.block || !s.frame) return;
    s.frame->data.settle();
    s.block->save_frames.push_back(
        ParsedSaveFrame{std::move(s.frame->name), std::move(s.frame->data)});
    s.frame.reset();
}

void RawBuilder::on_loop_start(std::span<const std::string_view> tags) {
    State& s = *s_;
    if (s.stopped) return;
    s.reset_loop();
    s.loop_tags.reserve(tags.size());
    // A tag given again, in this header or earlier in the frame, is
    // reported where it stands again; the loop's end drops the earlier one.
    FrameData* data = s.target();
    NameIndex& index = s.loop_index;
    index.reset();
    for (std::string_view tag : tags) {
        lower_into(tag, s.scratch);
        const std::uint64_t h = NameIndex::hash(s.scratch);
        const std::string_view t = s.intern(s.scratch, h);
        if (index.find(s.loop_tags, t, h) != NameIndex::npos) [[unlikely]] {
            s.loop_repeats_tag = true;
            s.duplicate_tag(tag, "later column kept, earlier one dropped");
        } else if (data) {
            if (const std::size_t at = data->position(t, h); at != FrameData::npos) [[unlikely]]
                s.duplicate_tag(tag, State::replaced(*data, at));
        }
        if (s.stopped) {
            s.reset_loop();
            return;
        }
        s.loop_tags.push_back(t);
        s.loop_tag_offsets.push_back(s.offset_of(tag));
        s.loop_tag_hashes.push_back(h);
        index.appended(s.loop_tags, h);
    }
    s.collecting_loop = true;
    s.loop_columns.reserve(s.loop_tags.size());
    // A selective reading keeps the positions of its categories.
    std::vector<std::string> categories;
    if (s.selection != nullptr && s.block_wanted)
        categories = loop_categories(s.loop_tags, s.selection->dictionary());
    bool any_wanted = false;
    for (std::size_t i = 0; i < s.loop_tags.size(); ++i) {
        const bool wanted = s.selection == nullptr ||
                            (s.block_wanted && s.selection->wants_category(categories[i]));
        any_wanted |= wanted;
        s.loop_columns.emplace_back(s.base, s.base_size, s.layout_for(wanted));
    }
    // The columns are all in place: their addresses hold from here on.
    for (ValueColumn& column : s.loop_columns) s.loop_position_column.push_back(&column);
    s.lane.size = static_cast<std::uint32_t>(s.loop_position_column.size());
    s.lane.skipped = !any_wanted;
    s.refresh_lane();
}

void RawBuilder::on_loop_end() {
    State& s = *s_;
    if (s.stopped) return;
    const std::size_t n = s.loop_tags.size();
    if (n == 0) {
        s.collecting_loop = false;
        return;
    }
    // Every value went to one of the loop's columns.
    std::uint64_t c = 0;
    for (const ValueColumn& column : s.loop_columns) c += column.size();
    if (c % n != 0) {
        const std::uint64_t m = n - c % n;
        std::string tags;
        for (std::size_t i = 0; i < n; ++i) {
            if (i) tags += ", ";
            tags += s.loop_tags[i];
        }
        s.semantic_error(
            "loop value count " + std::to_string(c) + " is not divisible by tag count " +
                std::to_string(n) + " (" + std::to_string(m) +
                " value(s) missing from final row); tags: " + tags,
            s.strict ? std::string("stopped") : "padded " + std::to_string(m) + " placeholder(s)");
        if (s.stopped) {
            s.reset_loop();
            return;
        }
        for (std::uint64_t i = 0; i < m; ++i) s.push_scalar(*s.next_loop_column(), kQuestion, true);
    }
    if (FrameData* data = s.target()) {
        // Of a tag repeated in the header, the last position is kept.
        std::vector<bool> dropped;
        if (s.loop_repeats_tag) [[unlikely]] {
            dropped.assign(n, false);
            NameSet later;
            for (std::size_t i = n; i-- > 0;) dropped[i] = !later.insert(s.loop_tags[i]);
        }
        const auto loop = static_cast<std::uint32_t>(data->loops.size());
        std::vector<std::string_view>& stored = data->loops.emplace_back();
        stored.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (!dropped.empty() && dropped[i]) continue;
            const std::string_view tag = s.loop_tags[i];
            const std::uint64_t h = s.loop_tag_hashes[i];
            // A tag the frame had before leaves its earlier place.
            if (const std::size_t at = data->position(tag, h); at != FrameData::npos) [[unlikely]]
                data->drop(at);
            data->add_hashed(h, tag, std::move(s.loop_columns[i]), loop,
                             static_cast<std::uint32_t>(stored.size()), s.loop_tag_offsets[i]);
            stored.push_back(tag);
        }
    }
    s.reset_loop();
}

void RawBuilder::add_tag(std::string_view tag) {
    State& s = *s_;
    if (s.stopped) return;
    lower_into(tag, s.pending_tag);
    s.pending_hash = NameIndex::hash(s.pending_tag);
    s.pending_offset = s.offset_of(tag);
    s.has_pending_tag = true;
    s.pending_is_new = false;
    if (s.selection != nullptr) s.pending_wanted = s.wants(item_category(s.pending_tag));
    // A tag given again replaces what it had (its value comes next). The
    // reserved tag gathers every value that has no tag of its own.
    FrameData* data = s.target();
    if (!data) return;
    const std::size_t at = data->position(s.pending_tag, s.pending_hash);
    if (at == FrameData::npos) [[likely]] {
        s.pending_is_new = true;
        return;
    }
    if (s.pending_tag == kErrorValueTag && !data->in_loop(at)) return;
    s.duplicate_tag(tag, State::replaced(*data, at));
    if (s.stopped) return;
    data->drop(at);
    s.pending_is_new = true;
}

void RawBuilder::add_plain_words(std::span<const std::string_view> words) {
    LoopLane& lane = *lane_;
    const std::uint32_t size = lane.size;
    if (lane.skipped) {
        add_plain_word_count(words.size());
        return;
    }
    // Every header position has a column of its own: each column takes its
    // words of the batch in one pass, worth it from a few words each.
    if (words.size() < 4 * std::size_t{size}) {
        for (std::string_view word : words) add_plain_word(word);
        return;
    }
    std::uint32_t position = lane.pos;
    for (std::size_t first = 0; first < size; ++first) {
        ValueColumn& column = *lane.columns[position];
        if (++position == size) position = 0;
        for (std::size_t i = column.push_slices(words, first, size); i < words.size();
             i = column.push_slices(words, i + size, size))
            push_kept(column, words[i]);
    }
    lane.pos = static_cast<std::uint32_t>((lane.pos + words.size()) % size);
}

// The lexer writes a word's reference itself, its length at bit 32.
static_assert(ColumnBase::kLenShift == 32);

void RawBuilder::add_plain_refs(std::span<const std::uint64_t> refs) {
    LoopLane& lane = *lane_;
    const std::uint32_t size = lane.size;
    if (lane.skipped) {
        add_plain_word_count(refs.size());
        return;
    }
    const auto text_of = [base = refs_base_.data()](std::uint64_t r) {
        return std::string_view(base + static_cast<std::uint32_t>(r),
                                static_cast<std::size_t>(r >> ColumnBase::kLenShift));
    };
    // As add_plain_words: column by column from a few words each.
    if (refs.size() < 4 * std::size_t{size}) {
        for (std::uint64_t r : refs) add_plain_word(text_of(r));
        return;
    }
    std::uint32_t position = lane.pos;
    for (std::size_t first = 0; first < size; ++first) {
        ValueColumn& column = *lane.columns[position];
        if (++position == size) position = 0;
        RefColumn* values = column.refs_column();
        if (values == nullptr) [[unlikely]] {
            // Not kept as references (a column a selective reading counts).
            for (std::size_t i = first; i < refs.size(); i += size)
                if (!column.push_slice(text_of(refs[i]))) push_kept(column, text_of(refs[i]));
            continue;
        }
        for (std::size_t i = values->push_refs(refs, first, size); i < refs.size();
             i = values->push_refs(refs, i + size, size))
            push_kept(column, text_of(refs[i]));
    }
    lane.pos = static_cast<std::uint32_t>((lane.pos + refs.size()) % size);
}

void RawBuilder::add_plain_word_count(std::uint64_t n) {
    LoopLane& lane = *lane_;
    const std::uint32_t size = lane.size;
    // Position by position: the first `extra` after the lane's take one more.
    const std::uint64_t each = n / size, extra = n % size;
    std::uint32_t position = lane.pos;
    for (std::uint64_t k = 0; k < size; ++k) {
        lane.columns[position]->add_count(each + (k < extra));
        if (++position == size) position = 0;
    }
    lane.pos = static_cast<std::uint32_t>((lane.pos + n) % size);
}

void RawBuilder::push_kept(ValueColumn& column, std::string_view text) {
    s_->push_other(column, text, false);
}

void RawBuilder::add_value_slow(std::string_view text, ValueType kind) {
    State& s = *s_;
    if (s.stopped) return;
    if (kind == ValueType::MultilineString) {
        if (s.next_value_counted())
            s.dispatch_scalar(text, false);
        else if (auto changed = transform_multiline_if_changed(text))
            s.dispatch_scalar(s.doc.arena.emplace_back(std::move(*changed)), true);
        else
            s.dispatch_scalar(text, false);
    } else if (text.size() == 1 && (text[0] == '.' || text[0] == '?')) {
        // Only an unquoted placeholder stays a bare "." or "?"; the same
        // character quoted is stored with its quotes to keep it apart.
        if (kind != ValueType::Placeholder)
            s.dispatch_scalar(text[0] == '.' ? kQuotedDot : kQuotedQuestion, true);
        else if (s.in_text(text))
            s.dispatch_scalar(text, false);
        else
            s.dispatch_scalar(text[0] == '.' ? kDot : kQuestion, true);
    } else {
        s.dispatch_scalar(text, false);
    }
}

void RawBuilder::on_list_start() {
    State& s = *s_;
    if (s.stopped) return;
    s.open_container(false);
}

void RawBuilder::on_table_start() {
    State& s = *s_;
    if (s.stopped) return;
    s.open_container(true);
}

void RawBuilder::on_table_key(std::string_view key, ValueType) {
    State& s = *s_;
    if (s.stopped || s.containers.empty() || !s.containers.back().is_table) return;
    s.containers.back().pending_key = s.keep(key);
}

void RawBuilder::on_list_end() {
    State& s = *s_;
    if (s.stopped || s.containers.empty()) return;
    s.close_container(false);
}

void RawBuilder::on_table_end() {
    State& s = *s_;
    if (s.stopped || s.containers.empty()) return;
    s.close_container(true);
}

ParsedCif RawBuilder::finish(std::vector<std::size_t>* marks) && {
    s_->close_block();
    if (marks != nullptr) *marks = std::move(s_->marks);
    ParsedCif doc;
    std::move(*this).finish_into(doc);
    return doc;
}

void RawBuilder::finish_into(ParsedCif& out) && {
    State& s = *s_;
    s.close_block();
    // Member by member: moving a deque allocates an empty one in its place.
    out.blocks.swap(s.doc.blocks);
    out.errors.swap(s.doc.errors);
    out.version = s.doc.version;
    out.arena.swap(s.doc.arena);
    out.names.swap(s.doc.names);
    s.doc.blocks.clear();
    s.doc.errors.clear();
    s.doc.arena.clear();
    s.doc.names.clear();
    State::give_back(std::move(s_));
}

}  // namespace quarzel
