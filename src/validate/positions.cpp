#include "validate/positions.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "core/lexer.hpp"
#include "core/lowercase.hpp"
#include "core/parser.hpp"

namespace quarzel::validate {

namespace {

// The line breaks ('\n') in [p, end): 64 bytes a turn where the text has
// them, their matches summed in the vector's lanes.
std::size_t count_newlines(const char* p, const char* end) noexcept {
    std::size_t count = 0;
#if defined(__SSE2__) && defined(__x86_64__)
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    __m128i total = zero;  // two 64-bit sums
    for (; end - p >= 64; p += 64) {
        const auto match = [&](int at) {
            return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)),
                                  newline);
        };
        // Each lane -1 per match, at most 4 matches: -4 to 0.
        const __m128i lanes =
            _mm_add_epi8(_mm_add_epi8(match(0), match(16)), _mm_add_epi8(match(32), match(48)));
        total = _mm_add_epi64(total, _mm_sad_epu8(_mm_sub_epi8(zero, lanes), zero));
    }
    count = static_cast<std::size_t>(_mm_cvtsi128_si64(total)) +
            static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(total, total)));
#endif
    for (; p != end; ++p) count += *p == '\n';
    return count;
}

}  // namespace

void LineIndex::position(std::uint64_t offset, std::uint32_t& line, std::uint32_t& column) {
    if (offset > text_.size() || offset > 0xFFFFFFFFu) {
        line = column = 0;
        return;
    }
    const char* b = text_.data();
    const auto at = static_cast<std::size_t>(offset);
    if (at < line_start_) read_ = line_start_ = newlines_ = 0;  // behind: from the start
    if (at > read_) {
        newlines_ += static_cast<std::uint32_t>(count_newlines(b + read_, b + at));
        for (std::size_t i = at; i > read_; --i)
            if (b[i - 1] == '\n') {
                line_start_ = i;
                break;
            }
        read_ = at;
    }
    line = first_line_ + newlines_;
    std::uint32_t col = 1;
    for (std::size_t i = line_start_; i < at; ++i)
        col += (static_cast<unsigned char>(b[i]) & 0xC0) != 0x80;
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
    LocatingSink(std::string_view text, LineIndex& lines, const TrackingSource& source,
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
    LineIndex& lines_;
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
    LineIndex lines(text, detected.line_offset + 1);
    // The places found from offsets, in rising order of offset: one read of
    // the text up to the last.
    std::vector<std::pair<std::uint64_t, Finding*>> direct;
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
                direct.emplace_back(data->tag_offsets[p], &f);
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
                    direct.emplace_back(off, &f);
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
    std::sort(direct.begin(), direct.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [offset, f] : direct) lines.position(offset, f->line, f->column);
    if (pending.empty()) return;
    Lexer lexer(text, detected.version, detected.line_offset);
    TrackingSource source(lexer);
    LocatingSink sink(text, lines, source, requests);
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
