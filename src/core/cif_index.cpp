#include "core/cif_index.hpp"

#include <algorithm>
#include <memory>
#include <span>
#include <utility>

#include "core/builder.hpp"
#include "core/lowercase.hpp"
#include "core/parser.hpp"
#include "core/windowed_lexer.hpp"

namespace quarzel {

namespace {

// Where a tag or keyword stands in the file.
struct Place {
    std::uint64_t line_start = 0, line_end = 0;
    std::uint32_t line = 0, column = 0;  // column: bytes into the line
};

// The lexer, noting where each tag and keyword stands.
class PlacedSource {
public:
    static constexpr bool kTextMoves = true;

    explicit PlacedSource(WindowedLexer& lexer) : lexer_(lexer) {}

    [[gnu::always_inline]] bool next(Token& out) {
        if (!lexer_.next(out)) return false;
        if (out.type != TokenType::Value) [[unlikely]]
            note(out);
        return true;
    }
    template <class Sink>
    void read_plain_words(Sink& sink, std::uint32_t& line, std::uint32_t& column) {
        lexer_.read_plain_words(sink, line, column);
    }
    std::span<const LexerError> errors_of(const Token& token) const noexcept {
        return lexer_.errors_of(token);
    }
    bool is_cif2() const noexcept { return lexer_.is_cif2(); }

    const Place& last_tag() const noexcept { return tag_; }
    const Place& last_keyword() const noexcept { return keyword_; }

private:
    [[gnu::noinline]] void note(const Token& token) {
        Place& p = token.type == TokenType::Tag ? tag_ : keyword_;
        p.line_start = lexer_.line_start_offset(token.value);
        p.line_end = lexer_.line_end_offset(token.value);
        p.line = token.line;
        p.column = static_cast<std::uint32_t>(lexer_.file_offset(token.value) - p.line_start);
    }
    WindowedLexer& lexer_;
    Place tag_, keyword_;
};

// The builder (counting everything) plus the index's own notes: which
// group of rows each tag and loop starts, where, and which group each
// problem record is found in.
class IndexSink {
public:
    IndexSink(RawBuilder& builder, PlacedSource& places, CifIndex& index)
        : builder_(builder), places_(places), index_(index) {}

    void on_data_block(std::string_view name) {
        const Place& at = places_.last_keyword();
        close_group(at.line_end);
        if (!index_.blocks.empty()) {
            IndexBlock& last = index_.blocks.back();
            last.end = std::max(last.end, at.line_start);
            close_frame(at.line_start);
        }
        builder_.on_data_block(name);
        IndexBlock block;
        block.name = lower(name);
        block.begin = at.line_start;
        block.line = at.line;
        block.column = at.column;
        index_.blocks.push_back(std::move(block));
        frame_ = -1;
        block_loops_ = 0;
        block_first_ = index_.entries.size();
        attribute();
    }
    void on_save_frame_start(std::string_view name) {
        const Place& at = places_.last_keyword();
        close_group(at.line_end);
        builder_.on_save_frame_start(name);
        if (!index_.blocks.empty()) {
            auto& frames = index_.blocks.back().frames;
            frames.push_back({lower(name), at.line_start, 0, at.line});
            frame_ = static_cast<std::int32_t>(frames.size()) - 1;
            frame_open_ = true;
            frame_loops_ = 0;
        }
        attribute();
    }
    void on_save_frame_end() {
        const Place& at = places_.last_keyword();
        close_group(at.line_end);
        builder_.on_save_frame_end();
        close_frame(at.line_end);
        attribute();
    }
    void on_loop_start(std::span<const std::string_view> tags) {
        const Place& at = places_.last_keyword();
        close_group(at.line_end);
        builder_.on_loop_start(tags);
        if (!index_.blocks.empty()) {
            std::vector<std::string> lowered;
            for (std::string_view t : tags) lowered.push_back(lower(t));
            std::vector<std::string_view> views(lowered.begin(), lowered.end());
            const std::vector<std::string> categories = loop_categories(views, TagCategories{});
            const std::uint32_t group = next_group_++;
            const std::int32_t loop = frame_open_ ? frame_loops_++ : block_loops_++;
            for (std::size_t i = 0; i < lowered.size(); ++i) {
                IndexEntry* e = nullptr;
                for (std::size_t k : open_)
                    if (index_.entries[k].category == categories[i]) e = &index_.entries[k];
                if (e == nullptr) {
                    IndexEntry entry;
                    entry.block = static_cast<std::uint32_t>(index_.blocks.size() - 1);
                    entry.frame = frame_open_ ? frame_ : -1;
                    entry.loop = loop;
                    entry.group = group;
                    entry.category = categories[i];
                    entry.begin = at.line_start;
                    entry.line = at.line;
                    entry.column = at.column;
                    index_.entries.push_back(std::move(entry));
                    open_.push_back(index_.entries.size() - 1);
                    e = &index_.entries.back();
                }
                if (std::find(e->tags.begin(), e->tags.end(), lowered[i]) == e->tags.end())
                    e->tags.push_back(lowered[i]);
            }
            group_ = group;
        }
        attribute();
    }
    void on_loop_end() {
        builder_.on_loop_end();
        attribute();
    }
    void add_tag(std::string_view tag) {
        builder_.add_tag(tag);
        if (index_.blocks.empty()) return attribute();
        const Place& at = places_.last_tag();
        lower_into(tag, scratch_);
        const std::string_view category = item_category(scratch_);
        const auto block = static_cast<std::uint32_t>(index_.blocks.size() - 1);
        const std::int32_t frame = frame_open_ ? frame_ : -1;
        // The same scalar group as the tag before: nothing changes.
        if (open_.size() == 1) {
            const IndexEntry& e = index_.entries[open_[0]];
            if (e.loop < 0 && e.category == category && e.block == block && e.frame == frame) {
                add_tag_once(index_.entries[open_[0]], scratch_);
                return attribute();
            }
        }
        close_group(at.line_end);
        // Tags of a category that stand alone make one group per frame,
        // however scattered.
        std::size_t found = index_.entries.size();
        for (std::size_t k = block_first_; k < index_.entries.size(); ++k) {
            const IndexEntry& e = index_.entries[k];
            if (e.loop < 0 && e.block == block && e.frame == frame && e.category == category)
                found = k;
        }
        if (found == index_.entries.size()) {
            IndexEntry entry;
            entry.block = block;
            entry.frame = frame;
            entry.group = next_group_++;
            entry.category = std::string(category);
            entry.begin = at.line_start;
            entry.line = at.line;
            entry.column = at.column;
            index_.entries.push_back(std::move(entry));
        }
        if (tag == kErrorValueTag) {
            // A value without a tag: no token of its own starts its rows.
            IndexEntry& e = index_.entries[found];
            const IndexBlock& b = index_.blocks.back();
            e.from_block_start = true;
            e.begin = b.begin;
            e.line = b.line;
            e.column = b.column;
        }
        add_tag_once(index_.entries[found], scratch_);
        open_.assign(1, found);
        group_ = index_.entries[found].group;
        attribute();
    }

    void add_value(std::string_view text, ValueType kind) { builder_.add_value(text, kind); }
    bool takes_plain_words() const noexcept { return builder_.takes_plain_words(); }
    bool counts_plain_words() const noexcept { return builder_.counts_plain_words(); }
    void add_plain_word_count(std::uint64_t n) { builder_.add_plain_word_count(n); }
    void add_plain_words(std::span<const std::string_view> words) {
        builder_.add_plain_words(words);
    }
    void on_list_start() { builder_.on_list_start(); }
    void on_list_end() { builder_.on_list_end(); }
    void on_table_start() { builder_.on_table_start(); }
    void on_table_key(std::string_view key, ValueType kind) { builder_.on_table_key(key, kind); }
    void on_table_end() { builder_.on_table_end(); }
    void on_parse_error(NativeParseError error) {
        builder_.on_parse_error(std::move(error));
        attribute();
    }
    void on_block_boundary() { builder_.on_block_boundary(); }

    // At the end of the input, `end` bytes into the file.
    void finish(std::uint64_t end) {
        close_group(end);
        if (!index_.blocks.empty()) {
            index_.blocks.back().end = end;
            close_frame(end);
        }
        attribute();
    }
    // The groups of records found so far, one per record.
    std::vector<std::int64_t>& groups() noexcept { return groups_; }

private:
    static void add_tag_once(IndexEntry& e, const std::string& tag) {
        if (std::find(e.tags.begin(), e.tags.end(), tag) == e.tags.end()) e.tags.push_back(tag);
    }
    // The open group's rows end with the line that holds what comes next.
    void close_group(std::uint64_t end) {
        for (std::size_t k : open_) index_.entries[k].end = std::max(index_.entries[k].end, end);
        open_.clear();
    }
    void close_frame(std::uint64_t end) {
        if (frame_open_ && !index_.blocks.empty() && frame_ >= 0)
            index_.blocks.back().frames[static_cast<std::size_t>(frame_)].end = end;
        frame_open_ = false;
    }
    // Records the builder holds that have no group yet go to the open one.
    void attribute() {
        const std::size_t n = builder_.error_count();
        while (groups_.size() < n) groups_.push_back(open_.empty() ? -1 : group_);
    }

    RawBuilder& builder_;
    PlacedSource& places_;
    CifIndex& index_;
    std::vector<std::size_t> open_;  // the entries of the group read now
    std::int64_t group_ = -1;
    std::uint32_t next_group_ = 0;
    std::int32_t frame_ = -1;
    bool frame_open_ = false;
    std::int32_t block_loops_ = 0, frame_loops_ = 0;  // loops started in each
    std::size_t block_first_ = 0;                     // the first entry of the open block
    std::vector<std::int64_t> groups_;
    std::string scratch_;
};

// Rows of the entries of one finished block, from its counted columns.
void count_rows(CifIndex& index, std::size_t first, std::size_t stop, const ParsedBlock& block) {
    const FrameData* scalar_of = nullptr;  // the frame whose scalar_rows are known
    std::size_t scalar_rows = 0;
    for (std::size_t k = first; k < stop; ++k) {
        IndexEntry& e = index.entries[k];
        const FrameData* data = &block.data;
        if (e.frame >= 0) {
            const std::string& name =
                index.blocks[e.block].frames[static_cast<std::size_t>(e.frame)].name;
            // Frames are kept in the order they end, which is the order they start.
            if (static_cast<std::size_t>(e.frame) >= block.save_frames.size() ||
                block.save_frames[static_cast<std::size_t>(e.frame)].name != name)
                continue;
            data = &block.save_frames[static_cast<std::size_t>(e.frame)].data;
        }
        if (e.loop >= 0) {
            if (static_cast<std::size_t>(e.loop) >= data->loops.size()) continue;
            const auto& loop = data->loops[static_cast<std::size_t>(e.loop)];
            const ValueColumn* first = loop.empty() ? nullptr : data->find(loop.front());
            e.rows = first ? first->size() : 0;
        } else {
            // The same for every such group of the frame: worked out once,
            // the looped tags sorted (a block of a thousand tags is not a
            // million comparisons).
            if (data != scalar_of) {
                std::vector<std::string_view> looped;
                for (const auto& loop : data->loops)
                    looped.insert(looped.end(), loop.begin(), loop.end());
                std::sort(looped.begin(), looped.end());
                scalar_rows = 0;
                for (std::size_t i = 0; i < data->tag_order.size() && i < data->columns.size(); ++i)
                    if (!std::binary_search(looped.begin(), looped.end(), data->tag_order[i]))
                        scalar_rows = std::max(scalar_rows, data->columns[i].size());
                scalar_of = data;
            }
            e.rows = scalar_rows;
        }
    }
}

struct IndexRun {
    std::unique_ptr<ByteSource> source;
    TextWindows windows;
    VersionResult detected;
    RawBuilder builder;
    WindowedLexer lexer;
    PlacedSource places;
    IndexSink sink;
    Parser<PlacedSource, IndexSink> parser;
    IndexRun(std::unique_ptr<ByteSource> s, std::size_t window, const Selection& nothing,
             CifIndex& index)
        : source(std::move(s)),
          windows(*source, window, index.latin1),
          detected(windows.start()),
          builder(detected.version, false, {}, ColumnLayout::Packed),
          lexer(windows, detected.version),
          places(lexer),
          sink(builder, places, index),
          parser(places, sink) {
        builder.set_selection(&nothing);
        builder.set_positions([this](std::string_view t) { return parser.position_of(t); });
        if (index.latin1) sink.on_parse_error(*index.latin1);
        for (const NativeParseError& e : detected.errors) sink.on_parse_error(e);
        parser.pause_at_blocks(true);
    }
};

}  // namespace

CifIndex build_index(const DocumentReader::Opener& open, std::size_t window) {
    const Selection nothing = Selection::nothing();
    std::optional<NativeParseError> latin1;
    for (;;) {
        CifIndex index;
        index.latin1 = latin1;
        try {
            IndexRun run(open(), window, nothing, index);
            index.version = run.detected.version;
            std::size_t first_entry = 0;  // of the block that is open
            std::uint32_t finished_blocks = 0;
            for (;;) {
                run.parser.run();
                const bool finished = run.parser.finished();
                std::vector<ParsedBlock> blocks;
                ParsedCif doc;  // its names hold the tag names of the blocks
                if (finished) {
                    run.sink.finish(run.windows.file_offset(run.windows.text().size()));
                    doc = std::move(run.builder).finish();
                    blocks = std::move(doc.blocks);
                    for (NativeParseError& e : doc.errors) index.errors.push_back(std::move(e));
                } else {
                    blocks = run.builder.take_blocks();
                    for (NativeParseError& e : run.builder.take_errors())
                        index.errors.push_back(std::move(e));
                    run.builder.clear_arena();
                }
                // A finished block: its entries follow one another.
                for (const ParsedBlock& block : blocks) {
                    const std::uint32_t b = finished_blocks++;
                    std::size_t stop = first_entry;
                    while (stop < index.entries.size() && index.entries[stop].block == b) ++stop;
                    count_rows(index, first_entry, stop, block);
                    first_entry = stop;
                }
                if (finished) break;
            }
            index.error_groups = std::move(run.sink.groups());
            index.error_groups.resize(index.errors.size(), -1);
            return index;
        } catch (RestartAsLatin1& restart) {
            latin1 = std::move(restart.record);
        }
    }
}

ParsedCif read_index_range(ByteSource& range, const CifIndex& index, const IndexEntry& entry,
                           const Selection& selection, std::size_t window) {
    const IndexBlock& block = index.blocks[entry.block];
    // Latin-1 from the start when the whole was (the record is the index's).
    TextWindows windows(range, window, index.latin1, entry.begin);
    windows.start_at_line(entry.line - 1);
    RawBuilder builder(index.version, false, {}, ColumnLayout::Packed);
    builder.set_selection(&selection);
    // Inside the block (and frame) from the first byte, unless the range
    // starts with the block's own `data_`.
    if (!entry.from_block_start) {
        builder.on_data_block(block.name);
        if (entry.frame >= 0)
            builder.on_save_frame_start(block.frames[static_cast<std::size_t>(entry.frame)].name);
    }
    WindowedLexer lexer(windows, index.version, entry.column);
    Parser<WindowedLexer, RawBuilder> parser(lexer, builder);
    builder.set_positions([&parser](std::string_view t) { return parser.position_of(t); });
    if (!entry.from_block_start) parser.assume_inside(entry.frame >= 0);
    parser.run();
    ParsedCif doc = std::move(builder).finish();
    doc.blocks.resize(std::min<std::size_t>(doc.blocks.size(), 1));
    return doc;
}

}  // namespace quarzel
