// The parts of the parser that do not depend on the sink: keyword tests,
// the table-key adjacency rule and the texts of its messages.
#include "core/parser.hpp"

#include "core/utf8.hpp"

namespace quarzel::parser_detail {

void set_key_span(OpenContainer& table, std::string_view key, ValueType kind, bool ascii) noexcept {
    // Columns count code points: an ASCII key spans its bytes.
    auto length = [&] { return static_cast<std::uint32_t>(ascii ? key.size() : utf8::count(key)); };
    switch (kind) {
        case ValueType::TripleDoubleQuoted:
        case ValueType::TripleSingleQuoted:
            // A key over several lines: the colon's column says nothing.
            table.check_adjacent = key.find('\n') == std::string_view::npos;
            if (table.check_adjacent) table.key_span = length() + 6;
            break;
        case ValueType::DoubleQuoted:
        case ValueType::SingleQuoted:
            table.check_adjacent = true;
            table.key_span = length() + 2;
            break;
        default:
            table.check_adjacent = false;
            break;
    }
}

std::string Reason::text() const {
    std::string out(prefix);
    if (quote_subject)
        append_quoted(out, subject);
    else
        out += subject;
    return out;
}

std::string msg_quoted(std::string_view before, std::string_view text, std::string_view after) {
    std::string out(before);
    append_quoted(out, text);
    out += after;
    return out;
}

std::string msg_reason(std::string_view before, const Reason& reason, std::string_view after) {
    std::string out(before);
    out += reason.text();
    out += after;
    return out;
}

std::string msg_tag_reason(std::string_view tag, const Reason& reason) {
    std::string out = msg_quoted("tag ", tag, " has no value (");
    out += reason.text();
    out += ')';
    return out;
}

std::string msg_loop_without_values(std::span<const std::string_view> tags) {
    return "loop has tags " + quoted_list(tags) + " but no values";
}

}  // namespace quarzel::parser_detail
