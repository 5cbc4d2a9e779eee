#include "validate/positions.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/lexer.hpp"
#include "core/lowercase.hpp"
#include "core/parser.hpp"

namespace quarzel::validate {

LineIndex::LineIndex(std::string_view text, std::uint32_t first_line)
    : text_(text), first_line_(first_line) {
    starts_.push_back(0);
    const char* b = text.data();
    const std::size_t n = std::min<std::size_t>(text.size(), 0xFFFFFFFFu);
    std::size_t at = 0;
    while (at < n) {
        const void* hit = std::memchr(b + at, '\n', n - at);
        if (!hit) break;
        at = static_cast<std::size_t>(static_cast<const char*>(hit) - b) + 1;
        starts_.push_back(static_cast<std::uint32_t>(at));
    }
}

void LineIndex::position(std::uint64_t offset, std::uint32_t& line, std::uint32_t& column) const {
    if (offset > text_.size() || offset > 0xFFFFFFFFu) {
        line = column = 0;
        return;
    }
    auto it = std::upper_bound(starts_.begin(), starts_.end(), static_cast<std::uint32_t>(offset));
    const std::size_t index = static_cast<std::size_t>(it - starts_.begin()) - 1;
    line = first_line_ + static_cast<std::uint32_t>(index);
    std::uint32_t col = 1;
    for (std::size_t i = starts_[index]; i < offset; ++i)
        col += (static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80;
    column = col;
}

namespace {

bool inside(std::string_view text, std::string_view part) {
    const auto p = reinterpret_cast<std::uintptr_t>(part.data());
    const auto b = reinterpret_cast<std::uintptr_t>(text.data());
    return part.data() != nullptr && p >= b && p - b <= text.size() &&
           part.size() <= text.size() - (p - b);
}

// Where the token of a value that starts at `offset` starts: before its
// quotes (one, or three in CIF 2.0) or its text field's semicolon.
std::uint64_t token_start(std::string_view text, std::uint64_t offset) {
    if (offset == 0) return 0;
    const char c = text[offset - 1];
    if (c == ';') return offset - 1;
    if (c != '\'' && c != '"') return offset;
    if (offset >= 3 && text[offset - 2] == c && text[offset - 3] == c) return offset - 3;
    return offset - 1;
}

struct Place {
    std::uint32_t line = 0, column = 0;
    bool found = false;
};

struct Request {
    bool want_tag = false;
    Place tag;
    std::map<std::int64_t, Place> rows;  // wanted rows and, once read, their places
};

using FrameKey = std::pair<std::uint32_t, std::uint32_t>;

// The lexer, remembering where its last token began (lists and tables are
// placed at their opening bracket).
class TrackingSource {
public:
    TrackingSource(Lexer& lexer) : lexer_(lexer) {}
    bool next(Token& token) {
        const bool more = lexer_.next(token);
        if (more) {
            line = token.line;
            column = token.column;
        }
        return more;
    }
    std::span<const LexerError> errors_of(const Token& token) const noexcept {
        return lexer_.errors_of(token);
    }
    bool is_cif2() const noexcept { return lexer_.is_cif2(); }

    std::uint32_t line = 0, column = 0;

private:
    Lexer& lexer_;
};

// Follows the builder's numbering of blocks, save frames, columns and rows,
// and notes the places that requests ask for.
class LocatingSink {
public:
    LocatingSink(std::string_view text, const LineIndex& lines, const TrackingSource& source,
                 std::map<FrameKey, std::unordered_map<std::string, Request>>& requests)
        : text_(text), lines_(lines), source_(source), requests_(requests) {}

    void on_data_block(std::string_view) {
        ++block_;
        frames_in_block_ = 0;
        in_frame_ = false;
        block_counts_.clear();
        frame_counts_.clear();
        pending_ = nullptr;
        reset_loop();
        depth_ = 0;
        enter(FrameKey{static_cast<std::uint32_t>(block_), kNoIndex});
    }
    void on_save_frame_start(std::string_view) {
        if (block_ < 0) return;
        in_frame_ = true;
        frame_counts_.clear();
        enter(FrameKey{static_cast<std::uint32_t>(block_), frames_in_block_});
    }
    void on_save_frame_end() {
        if (block_ < 0 || !in_frame_) return;
        in_frame_ = false;
        ++frames_in_block_;
        enter(FrameKey{static_cast<std::uint32_t>(block_), kNoIndex});
    }
    void on_loop_start(std::span<const std::string_view> tags) {
        reset_loop();
        for (std::string_view t : tags) {
            lower_into(t, scratch_);
            Track& track = track_of(scratch_);
            track.count = 0;  // the loop's column replaces any earlier one
            note_tag(track, t);
            loop_.push_back(&track);
        }
    }
    void on_loop_end() { reset_loop(); }
    void add_tag(std::string_view tag) {
        lower_into(tag, scratch_);
        pending_ = &track_of(scratch_);
        note_tag(*pending_, tag);
    }
    void add_value(std::string_view text, ValueType) {
        if (depth_ > 0) return;
        Track* track = next_track();
        if (!track) return;
        const std::int64_t row = track->count++;
        if (!track->request) return;
        auto it = track->request->rows.find(row);
        if (it == track->request->rows.end() || it->second.found) return;
        if (inside(text_, text)) {
            const std::uint64_t off =
                token_start(text_, static_cast<std::uint64_t>(text.data() - text_.data()));
            lines_.position(off, it->second.line, it->second.column);
        } else {
            it->second.line = source_.line;
            it->second.column = source_.column;
        }
        it->second.found = true;
    }
    void on_list_start() { open(); }
    void on_table_start() { open(); }
    void on_list_end() { close(); }
    void on_table_end() { close(); }
    void on_table_key(std::string_view, ValueType) {}
    void on_parse_error(NativeParseError) {}

private:
    struct Track {
        std::int64_t count = 0;
        Request* request = nullptr;
    };

    void enter(FrameKey key) {
        auto it = requests_.find(key);
        current_ = it == requests_.end() ? nullptr : &it->second;
        counts_ = in_frame_ ? &frame_counts_ : &block_counts_;
        // Block-level requests are looked up afresh after a save frame.
        for (auto& [name, track] : *counts_) {
            if (!current_) {
                track.request = nullptr;
                continue;
            }
            auto r = current_->find(name);
            track.request = r == current_->end() ? nullptr : &r->second;
        }
    }

    Track& track_of(const std::string& name) {
        if (!counts_) counts_ = &block_counts_;
        auto [it, fresh] = counts_->try_emplace(name);
        if (fresh && current_) {
            auto r = current_->find(name);
            if (r != current_->end()) it->second.request = &r->second;
        }
        return it->second;
    }

    void note_tag(Track& track, std::string_view tag) {
        if (!track.request || !track.request->want_tag || track.request->tag.found) return;
        Place& p = track.request->tag;
        if (inside(text_, tag)) {
            lines_.position(static_cast<std::uint64_t>(tag.data() - text_.data()), p.line,
                            p.column);
        } else {
            p.line = source_.line;
            p.column = source_.column;
        }
        p.found = true;
    }

    Track* next_track() {
        if (!loop_.empty()) {
            Track* t = loop_[loop_pos_];
            loop_pos_ = (loop_pos_ + 1) % loop_.size();
            return t;
        }
        Track* t = pending_;
        pending_ = nullptr;
        return t;
    }

    void open() {
        if (depth_++ > 0) return;
        Track* track = next_track();
        if (!track) return;
        const std::int64_t row = track->count++;
        if (!track->request) return;
        auto it = track->request->rows.find(row);
        if (it == track->request->rows.end() || it->second.found) return;
        it->second = {source_.line, source_.column, true};
    }
    void close() {
        if (depth_ > 0) --depth_;
    }

    void reset_loop() {
        loop_.clear();
        loop_pos_ = 0;
    }

    std::string_view text_;
    const LineIndex& lines_;
    const TrackingSource& source_;
    std::map<FrameKey, std::unordered_map<std::string, Request>>& requests_;
    std::unordered_map<std::string, Request>* current_ = nullptr;
    std::unordered_map<std::string, Track> block_counts_, frame_counts_;
    std::unordered_map<std::string, Track>* counts_ = nullptr;
    std::int64_t block_ = -1;
    std::uint32_t frames_in_block_ = 0;
    bool in_frame_ = false;
    Track* pending_ = nullptr;
    std::vector<Track*> loop_;
    std::size_t loop_pos_ = 0;
    std::size_t depth_ = 0;
    std::string scratch_;
};

const FrameData* frame_data(const ParsedCif& doc, const Finding& f) {
    if (f.block >= doc.blocks.size()) return nullptr;
    const ParsedBlock& b = doc.blocks[f.block];
    if (f.frame == kNoIndex) return &b.data;
    return f.frame < b.save_frames.size() ? &b.save_frames[f.frame].data : nullptr;
}

}  // namespace

void resolve_positions(std::vector<Finding>& findings, const ParsedCif& doc,
                       const VersionResult& detected) {
    const std::string_view text = detected.text;
    std::optional<LineIndex> lines;
    const auto index = [&]() -> const LineIndex& {
        if (!lines) lines.emplace(text, detected.line_offset + 1);
        return *lines;
    };
    std::map<FrameKey, std::unordered_map<std::string, Request>> requests;
    std::vector<Finding*> pending;
    for (Finding& f : findings) {
        if (f.locate_tag.empty() || f.block == kNoIndex) continue;
        const FrameData* data = frame_data(doc, f);
        if (!data) continue;
        const std::int64_t row = std::max<std::int64_t>(f.row, 0);
        if (!f.locate_value) {
            // The builder notes where each tag is written.
            const std::size_t p = data->position(f.locate_tag);
            if (p < data->tag_offsets.size() && data->tag_offsets[p] != FrameData::kNoOffset) {
                index().position(data->tag_offsets[p], f.line, f.column);
                continue;
            }
        }
        if (f.locate_value) {
            if (const ValueColumn* col = data->find(f.locate_tag);
                col && static_cast<std::size_t>(row) < col->size()) {
                const ValueRef ref = (*col)[static_cast<std::size_t>(row)];
                if (!ref.compound && inside(text, ref.text)) {
                    const std::uint64_t off = token_start(
                        text, static_cast<std::uint64_t>(ref.text.data() - text.data()));
                    index().position(off, f.line, f.column);
                    continue;
                }
            }
        }
        Request& r = requests[{f.block, f.frame}][f.locate_tag];
        if (f.locate_value)
            r.rows.try_emplace(row);
        else
            r.want_tag = true;
        pending.push_back(&f);
    }
    if (pending.empty()) return;
    Lexer lexer(text, detected.version, detected.line_offset);
    TrackingSource source(lexer);
    LocatingSink sink(text, index(), source, requests);
    parse(source, sink);
    for (Finding* f : pending) {
        const Request& r = requests[{f->block, f->frame}][f->locate_tag];
        const Place* p = &r.tag;
        if (f->locate_value) {
            auto it = r.rows.find(std::max<std::int64_t>(f->row, 0));
            p = it == r.rows.end() ? nullptr : &it->second;
        }
        if (p && p->found) {
            f->line = p->line;
            f->column = p->column;
        }
    }
}

}  // namespace quarzel::validate
