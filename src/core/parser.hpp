// The parser: one forward pass over the lexer's tokens that reports data
// blocks, save frames, loops, tags, values, lists, tables and every problem
// as events to a sink. It never stops on bad input: each problem becomes a
// "syntactic" record with a fixed recovery, the state is repaired, and the
// pass goes on. Only `global_` halts it.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ascii.hpp"
#include "core/error.hpp"
#include "core/event_sink.hpp"
#include "core/lexer.hpp"
#include "core/token.hpp"

namespace quarzel {

// Anything that hands out tokens one at a time, like the Lexer.
template <class T>
concept TokenSource = requires(T& source, const T& csource, Token& token) {
    { source.next(token) } -> std::same_as<bool>;
    { source.errors_of(token) } -> std::convertible_to<std::span<const LexerError>>;
    { csource.is_cif2() } -> std::same_as<bool>;
};

// A token source whose text moves on while it is read (a window at a
// time): texts held from one token to a later one must be copies.
template <class T>
concept MovingTextSource = T::kTextMoves;

namespace parser_detail {

// Where a problem was noticed: position and the text shown as its context.
struct At {
    std::uint32_t line;
    std::uint32_t column;
    std::string_view context;
};

// Why open loops, containers or tags are being closed, e.g. `new tag "_a"`
// or `terminated by loop_`. Turned into text only when a message needs it.
struct Reason {
    std::string_view prefix;
    std::string_view subject = {};
    bool quote_subject = false;
    std::string text() const;
};

enum class Slot : std::uint8_t { ExpectKey, KeyPending, ExpectValue };

// One open list or table. For a table, where it stands in the
// key, `:`, value cycle and the pending key.
struct OpenContainer {
    std::string key;  // meaningful in KeyPending (a copy: the text may move on)
    std::uint32_t key_line = 0;
    std::uint32_t key_column = 0;
    std::uint32_t key_span = 0;  // columns from the key's start to a directly following `:`
                                 // (meaningful with check_adjacent)
    ValueType key_kind = ValueType::None;
    Slot slot = Slot::ExpectKey;
    bool is_table = false;
    bool check_adjacent = false;
};

// `word` equals `lower` (already lower case) ignoring ASCII case.
inline bool keyword_is(std::string_view word, std::string_view lower) noexcept {
    return word.size() == lower.size() && ascii::starts_with_lower(word.data(), lower);
}
// `word` begins with `lower` ignoring ASCII case.
inline bool keyword_starts(std::string_view word, std::string_view lower) noexcept {
    return ascii::starts_with_lower(word, lower);
}

// Sets the adjacency rule of a table key read from a token of kind `kind`
// (`ascii`: the key is all ASCII); key_span is set where the rule applies.
void set_key_span(OpenContainer& table, std::string_view key, ValueType kind, bool ascii) noexcept;

inline ValueType sink_kind(ValueType kind) noexcept {
    return kind == ValueType::None ? ValueType::String : kind;
}

inline bool is_quoted_kind(ValueType kind) noexcept {
    return kind == ValueType::TripleDoubleQuoted || kind == ValueType::TripleSingleQuoted ||
           kind == ValueType::DoubleQuoted || kind == ValueType::SingleQuoted;
}

// Message texts with their placeholders filled in.
std::string msg_quoted(std::string_view before, std::string_view text, std::string_view after);
std::string msg_reason(std::string_view before, const Reason& reason, std::string_view after);
std::string msg_tag_reason(std::string_view tag, const Reason& reason);
std::string msg_loop_without_values(std::span<const std::string_view> tags);

template <TokenSource Source, EventSink Sink>
class Parser {
public:
    Parser(Source& source, Sink& sink)
        : source_(source), sink_(sink), containers_enabled_(source.is_cif2()) {}

    // Parses on from where it stopped. Returns at the end of the input, at
    // `global_` (finished() then), or, with pause_at_blocks, after each
    // data block's start has been reported (the block before it is then
    // complete); call run() again to go on.
    void run() {
        Token token;
        bool have = source_.next(token);
        while (have) {
            // Most of a large file: plain values in the rows of a loop.
            if (token.type == TokenType::Value && in_loop_ && token.error_count == 0 &&
                containers_.empty() && !(token.value.size() == 1 && containers_enabled_))
                [[likely]] {
                last_line_ = token.line;
                last_column_ = token.column;
                sink_.add_value(token.value, sink_kind(token.value_type));
                loop_has_values_ = true;
                // The plain words that follow go straight from the text to
                // a sink that takes them as they are.
                if constexpr (PlainWordSource<Source, Sink>) {
                    if (sink_.takes_plain_words())
                        source_.read_plain_words(sink_, last_line_, last_column_);
                }
                have = source_.next(token);
                continue;
            }
            if (token.error_count != 0) [[unlikely]]
                report_lexer_errors(token);
            last_line_ = token.line;
            last_column_ = token.column;
            switch (token.type) {
                case TokenType::Value:
                    on_value(token);
                    break;
                case TokenType::Tag:
                    on_tag(token);
                    break;
                case TokenType::Keyword:
                    if (keyword_is(token.value, "loop_")) {
                        // `token` now holds the first token after the tags.
                        have = on_loop(token);
                        continue;
                    }
                    on_keyword(token);
                    if (halted_) {
                        finished_ = true;
                        return;
                    }
                    if (paused_) [[unlikely]] {
                        paused_ = false;
                        return;
                    }
                    break;
            }
            have = source_.next(token);
        }
        end_of_input();
        finished_ = true;
    }

    // Makes run() return after each data block starts.
    void pause_at_blocks(bool on) noexcept { pause_at_blocks_ = on; }
    // For a text that begins inside a data block (and save frame): what
    // comes first belongs there. (The sink is told so by the caller.)
    void assume_inside(bool save_frame) noexcept {
        in_data_block_ = true;
        in_save_frame_ = save_frame;
    }

    // Of a source whose text moves on: the line and column of a tag the
    // sink was handed last (a loop header's, or the tag before a value), or
    // 0 and 0.
    std::pair<std::uint32_t, std::uint32_t> position_of(std::string_view tag) const noexcept {
        const char* p = tag.data();
        if (!loop_text_.empty() && p >= loop_text_.data() &&
            p < loop_text_.data() + loop_text_.size()) {
            const auto offset = static_cast<std::size_t>(p - loop_text_.data());
            for (std::size_t i = 0, from = 0; i < loop_ends_.size(); from = loop_ends_[i++])
                if (offset == from) return loop_places_[i];
        }
        if (p == tag_at_.text) return {tag_at_.line, tag_at_.column};
        return {0, 0};
    }
    bool finished() const noexcept { return finished_; }

private:
    // ---- values -----------------------------------------------------------

    void on_value(const Token& token) {
        const std::string_view v = token.value;
        const ValueType kind = sink_kind(token.value_type);
        // Lists and tables exist only in CIF 2.0: in CIF 1.1 a lone bracket,
        // brace or colon is an ordinary value ({ and } are even valid ones).
        // Only the unquoted punctuation is structure: a quoted, triple-quoted
        // or text-field "[" (or ":") is a string like any other.
        if (v.size() == 1 && containers_enabled_ && kind == ValueType::String) {
            switch (v[0]) {
                case '[':
                    open_container(token, false);
                    return;
                case '{':
                    open_container(token, true);
                    return;
                case ']':
                    close_list(token);
                    return;
                case '}':
                    close_table(token);
                    return;
                case ':':
                    if (!containers_.empty() && containers_.back().is_table) {
                        colon(token);
                        return;
                    }
                    break;
                default:
                    break;
            }
        }
        if (!containers_.empty()) {
            value_in_container(token, kind);
        } else if (in_loop_) {
            sink_.add_value(v, kind);
            loop_has_values_ = true;
        } else if (has_active_tag_) {
            sink_.add_value(v, kind);
            has_active_tag_ = false;
        } else {
            orphan_value(token, kind);
        }
    }

    [[gnu::noinline]] void orphan_value(const Token& token, ValueType kind) {
        error(at(token), msg_quoted("value ", token.value, " has no preceding tag"),
              "attached to _quarzel_error_value");
        sink_.add_tag(kErrorValueTag);
        sink_.add_value(token.value, kind);
    }

    void value_in_container(const Token& token, ValueType kind) {
        OpenContainer& top = containers_.back();
        if (!top.is_table) {
            sink_.add_value(token.value, kind);
            return;
        }
        switch (top.slot) {
            case Slot::ExpectValue:
                sink_.add_value(token.value, kind);
                top.slot = Slot::ExpectKey;
                break;
            case Slot::KeyPending:
                error(at(token), msg_quoted("table key ", top.key, " not followed by : separator"),
                      "emitted on_table_key; treating current token as value");
                sink_.on_table_key(top.key, sink_kind(top.key_kind));
                sink_.add_value(token.value, kind);
                clear_key(top);
                top.slot = Slot::ExpectKey;
                break;
            case Slot::ExpectKey:
                if (!is_quoted_kind(kind))
                    error(at(token),
                          msg_quoted(
                              "table key must be a quoted string, got unquoted: ", token.value, ""),
                          "treating as key anyway");
                set_key_span(top, token.value, kind, token.ascii);
                top.key.assign(token.value);
                top.key_kind = kind;
                top.key_line = token.line;
                top.key_column = token.column;
                top.slot = Slot::KeyPending;
                break;
        }
    }

    void colon(const Token& token) {
        OpenContainer& top = containers_.back();
        switch (top.slot) {
            case Slot::ExpectKey:
                error(at(token), "unexpected : in table \u2014 no pending key", "ignored");
                break;
            case Slot::ExpectValue:
                error(at(token), "unexpected : in table value position", "ignored");
                break;
            case Slot::KeyPending:
                if (top.check_adjacent &&
                    (token.line != top.key_line || token.column != top.key_column + top.key_span))
                    error(at(token),
                          msg_quoted("whitespace between table key ", top.key, " and : separator"),
                          "accepted");
                sink_.on_table_key(top.key, sink_kind(top.key_kind));
                clear_key(top);
                top.slot = Slot::ExpectValue;
                break;
        }
    }

    static void clear_key(OpenContainer& table) noexcept {
        table.key.clear();
        table.check_adjacent = false;
        table.key_kind = ValueType::None;
    }

    // ---- containers -------------------------------------------------------

    void open_container(const Token& token, bool table) {
        ensure_value_context(token);
        notify_parent_table_of_container_open(token);
        OpenContainer entry;
        entry.is_table = table;
        containers_.push_back(entry);
        if (table)
            sink_.on_table_start();
        else
            sink_.on_list_start();
    }

    void close_list(const Token& token) {
        if (containers_.empty() || containers_.back().is_table) {
            error(at(token), "unexpected ] \u2014 no open list", "ignored");
            return;
        }
        containers_.pop_back();
        sink_.on_list_end();
        after_close();
    }

    void close_table(const Token& token) {
        if (containers_.empty() || !containers_.back().is_table) {
            error(at(token), "unexpected } \u2014 no open table", "ignored");
            return;
        }
        OpenContainer entry = std::move(containers_.back());
        containers_.pop_back();
        cleanup_table_frame(entry, At{token.line, token.column, "}"});
        sink_.on_table_end();
        after_close();
    }

    // A container just closed, explicitly or not, was the value of the table
    // entry that holds it: that entry is complete.
    void value_closed_in_parent() noexcept {
        if (!containers_.empty()) {
            OpenContainer& top = containers_.back();
            if (top.is_table && top.slot == Slot::ExpectValue) top.slot = Slot::ExpectKey;
        }
    }

    // The container just closed by `]` or `}` was a complete value of
    // whatever holds it.
    void after_close() {
        value_closed_in_parent();
        if (has_active_tag_ && active_tag_depth_ == containers_.size()) has_active_tag_ = false;
        if (in_loop_ && containers_.empty()) loop_has_values_ = true;
    }

    void ensure_value_context(const Token& token) {
        if (in_loop_ || has_active_tag_ || !containers_.empty()) return;
        error(at(token), "container without preceding tag", "attached to _quarzel_error_value");
        sink_.add_tag(kErrorValueTag);
        active_tag_ = kErrorValueTag;
        has_active_tag_ = true;
        active_tag_depth_ = 0;
    }

    void notify_parent_table_of_container_open(const Token& token) {
        if (containers_.empty() || !containers_.back().is_table) return;
        OpenContainer& top = containers_.back();
        switch (top.slot) {
            case Slot::ExpectKey:
                error(at(token), "container in table key position",
                      "treating container as table value (no key)");
                top.slot = Slot::ExpectValue;
                break;
            case Slot::KeyPending:
                error(at(token), msg_quoted("table key ", top.key, " missing : separator"),
                      "emitted on_table_key; treating container as value");
                sink_.on_table_key(top.key, sink_kind(top.key_kind));
                clear_key(top);
                top.slot = Slot::ExpectValue;
                break;
            case Slot::ExpectValue:
                break;
        }
    }

    // `entry` has already been taken off the stack.
    void cleanup_table_frame(const OpenContainer& entry, const At& where) {
        switch (entry.slot) {
            case Slot::ExpectKey:
                break;
            case Slot::KeyPending:
                error(where, msg_quoted("table key ", entry.key, " missing : separator"),
                      "emitted on_table_key; inserted ? placeholder");
                sink_.on_table_key(entry.key, sink_kind(entry.key_kind));
                sink_.add_value("?", ValueType::Placeholder);
                break;
            case Slot::ExpectValue:
                error(where, "table key has no value", "inserted ? placeholder");
                sink_.add_value("?", ValueType::Placeholder);
                break;
        }
    }

    // Closes every open list and table, innermost first, reporting each:
    // closed because of `reason`, or (null) left open at the end of input.
    [[gnu::noinline]] void close_all_containers(const At& where, const Reason* reason) {
        const At report = reason ? where : At{where.line, where.column, ""};
        while (!containers_.empty()) {
            OpenContainer entry = std::move(containers_.back());
            containers_.pop_back();
            if (entry.is_table) {
                cleanup_table_frame(entry, where);
                sink_.on_table_end();
                error(report,
                      reason ? msg_reason("implicitly closed unclosed table (", *reason, ")")
                             : std::string("unterminated table at EOF"),
                      "emitted on_table_end");
            } else {
                sink_.on_list_end();
                error(report,
                      reason ? msg_reason("implicitly closed unclosed list (", *reason, ")")
                             : std::string("unterminated list at EOF"),
                      "emitted on_list_end");
            }
            value_closed_in_parent();
        }
        has_active_tag_ = false;
    }
    void close_all_containers(const At& where, const Reason& reason) {
        close_all_containers(where, &reason);
    }

    // ---- tags, loops and keywords -----------------------------------------

    void on_tag(const Token& token) {
        const At where = at(token);
        if (in_loop_) {
            close_loop(where, Reason{"new tag ", token.value, true});
        } else if (!containers_.empty()) {
            error(where, msg_quoted("tag ", token.value, " encountered inside open container"),
                  "implicitly closing containers");
            close_all_containers(where, Reason{"tag ", token.value, true});
        }
        close_active_tag(where, Reason{"new tag ", token.value, true});
        if (!in_data_block_)
            error(where, msg_quoted("tag ", token.value, " outside data block"), "continuing");
        active_tag_.assign(token.value);
        has_active_tag_ = true;
        active_tag_depth_ = containers_.size();
        if constexpr (MovingTextSource<Source>) tag_at_ = {token.value.data(), token.line, token.column};
        sink_.add_tag(token.value);
    }

    // Handles `loop_` and the run of tags after it. Leaves the first token
    // after the tags in `token`; returns false when there is none.
    bool on_loop(Token& token) {
        const At where = at(token);
        prepare_for_keyword(where, "loop_");
        if (!in_data_block_) error(where, "loop_ outside data block", "continuing");
        loop_tags_.clear();
        bool have;
        if constexpr (MovingTextSource<Source>) {
            // The tags are copied as they come (with where they stand): the
            // source's text may have moved on by the last one.
            loop_text_.clear();
            loop_ends_.clear();
            loop_places_.clear();
            while ((have = source_.next(token)) && token.type == TokenType::Tag) {
                if (token.error_count != 0) [[unlikely]]
                    report_lexer_errors(token);
                loop_text_.append(token.value);
                loop_ends_.push_back(loop_text_.size());
                loop_places_.emplace_back(token.line, token.column);
            }
            for (std::size_t i = 0, from = 0; i < loop_ends_.size(); from = loop_ends_[i++])
                loop_tags_.push_back(
                    std::string_view(loop_text_).substr(from, loop_ends_[i] - from));
        } else {
            while ((have = source_.next(token)) && token.type == TokenType::Tag) {
                if (token.error_count != 0) [[unlikely]]
                    report_lexer_errors(token);
                loop_tags_.push_back(token.value);
            }
        }
        if (!loop_tags_.empty()) {
            in_loop_ = true;
            loop_has_values_ = false;
            sink_.on_loop_start(std::span<const std::string_view>(loop_tags_));
        } else {
            error(where, "loop_ with no tags \u2014 loop skipped", "loop ignored");
        }
        return have;
    }

    void on_keyword(const Token& token) {
        const std::string_view t = token.value;
        const At where = at(token);
        if (keyword_is(t, "stop_")) {
            if (in_loop_)
                close_loop(where, Reason{"stop_"});
            else
                error(where, "stop_ outside loop", "ignored");
            return;
        }
        if (keyword_is(t, "global_")) {
            on_global(where);
            return;
        }
        prepare_for_keyword(where, t);
        if (t.size() <= 4) return;
        if (keyword_starts(t, "data_")) {
            // What came before belongs to the block before (a sink that
            // hands blocks out one by one sorts the records by this).
            if constexpr (requires { sink_.on_block_boundary(); }) sink_.on_block_boundary();
            if (t.size() == 5) error(where, "data block with empty name", "using empty string");
            end_save_frame();
            in_data_block_ = true;
            sink_.on_data_block(t.substr(5));
            paused_ = pause_at_blocks_;
        } else if (keyword_starts(t, "save_")) {
            if (t.size() > 5) {
                if (!in_data_block_) error(where, "save frame outside data block", "continuing");
                if (in_save_frame_) {
                    error(where, "nested save frame", "implicitly closed previous save frame");
                    sink_.on_save_frame_end();
                }
                in_save_frame_ = true;
                sink_.on_save_frame_start(t.substr(5));
            } else if (in_save_frame_) {
                end_save_frame();
            } else {
                error(where, "save_ (frame close) outside save frame", "ignored");
            }
        }
    }

    void on_global(const At& where) {
        const Reason reason{"global_"};
        if (in_loop_) {
            close_loop(where, reason);
        } else {
            if (!containers_.empty()) close_all_containers(where, reason);
            close_active_tag(where, reason);
        }
        end_save_frame();
        error(where, "global_ is reserved and not permitted in CIF", "parsing halted");
        halted_ = true;
    }

    void end_save_frame() {
        if (!in_save_frame_) return;
        sink_.on_save_frame_end();
        in_save_frame_ = false;
    }

    void prepare_for_keyword(const At& where, std::string_view keyword) {
        const Reason reason{"terminated by ", keyword};
        if (in_loop_) {
            close_loop(where, reason);
        } else {
            if (!containers_.empty()) close_all_containers(where, reason);
            close_active_tag(where, reason);
        }
    }

    void close_loop(const At& where, const Reason& reason) {
        if (!containers_.empty()) {
            close_all_containers(where, reason);
            error(where, msg_reason("unterminated container(s) in loop value (", reason, ")"),
                  "containers implicitly closed");
        }
        if (!loop_has_values_)
            error(where, msg_loop_without_values(loop_tags_), "loop emitted empty");
        sink_.on_loop_end();
        in_loop_ = false;
        loop_tags_.clear();
        loop_has_values_ = false;
    }

    void close_active_tag(const At& where, const Reason& reason) {
        if (!has_active_tag_) return;
        has_active_tag_ = false;
        error(where, msg_tag_reason(active_tag_, reason), "inserted ? placeholder");
        sink_.add_value("?", ValueType::Placeholder);
    }

    // ---- end of input -----------------------------------------------------

    void end_of_input() {
        const At where{last_line_, last_column_, "EOF"};
        if (in_loop_) close_loop(where, Reason{"EOF"});
        if (!containers_.empty()) close_all_containers(where, nullptr);
        if (has_active_tag_) {
            has_active_tag_ = false;
            error(At{last_line_, last_column_, active_tag_},
                  msg_quoted("tag ", active_tag_, " has no value at EOF"),
                  "inserted ? placeholder");
            sink_.add_value("?", ValueType::Placeholder);
        }
        if (in_save_frame_) {
            error(At{last_line_, last_column_, ""}, "unterminated save frame at EOF",
                  "emitted on_save_frame_end");
            end_save_frame();
        }
    }

    // ---- errors -----------------------------------------------------------

    static At at(const Token& token) noexcept { return At{token.line, token.column, token.value}; }

    [[gnu::cold, gnu::noinline]] void report_lexer_errors(const Token& token) {
        for (const LexerError& e : source_.errors_of(token))
            sink_.on_parse_error(NativeParseError{ErrorType::Lexical, e.message, e.line, e.column,
                                                  e.context, "lexer recovery"});
    }

    [[gnu::cold, gnu::noinline]] void error(const At& where, std::string message,
                                            std::string_view recovery) {
        sink_.on_parse_error(NativeParseError{ErrorType::Syntactic, std::move(message), where.line,
                                              where.column, std::string(where.context),
                                              std::string(recovery)});
    }

    Source& source_;
    Sink& sink_;
    const bool containers_enabled_;
    // Texts held from one token to a later one are copies, never views of the
    // source's text: a source may read its text in windows.
    std::vector<std::string_view> loop_tags_;  // tags of the open loop, as written
    // Of a source whose text moves on: the copies that loop_tags_ view, the
    // end of each, where each stood, and where the last tag stood.
    std::string loop_text_;
    std::vector<std::size_t> loop_ends_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> loop_places_;
    struct TagAt {
        const char* text = nullptr;
        std::uint32_t line = 0, column = 0;
    } tag_at_;
    std::vector<OpenContainer> containers_;  // innermost last
    std::string active_tag_;                 // meaningful while has_active_tag_
    std::size_t active_tag_depth_ = 0;
    std::uint32_t last_line_ = 1;
    std::uint32_t last_column_ = 1;
    bool has_active_tag_ = false;
    bool in_data_block_ = false;
    bool in_save_frame_ = false;
    bool in_loop_ = false;
    bool loop_has_values_ = false;
    bool halted_ = false;
    bool pause_at_blocks_ = false;
    bool paused_ = false;
    bool finished_ = false;
};

}  // namespace parser_detail

// The parser of a token source and a sink, for callers that parse in steps
// (pause_at_blocks).
template <TokenSource Source, EventSink Sink>
using Parser = parser_detail::Parser<Source, Sink>;

// Parses every token `source` yields, reporting to `sink`. Token texts must
// stay valid until the parse returns (the lexer's do: they view its text).
template <TokenSource Source, EventSink Sink>
void parse(Source& source, Sink& sink) {
    parser_detail::Parser<Source, Sink>(source, sink).run();
}

}  // namespace quarzel
