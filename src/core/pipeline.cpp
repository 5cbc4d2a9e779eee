#include "core/pipeline.hpp"

#include "core/builder.hpp"
#include "core/lexer.hpp"
#include "core/parser.hpp"

namespace quarzel {

// The lexer feeds the builder's plain-word lane; were either to drift from
// the concept, the parser would quietly take the general path for every
// value.
static_assert(PlainWordSource<Lexer, RawBuilder>);

ParseResult parse_document(std::string_view source, bool strict, ColumnLayout layout,
                           bool plain_words) {
    ParseResult result;
    result.detected = detect_version(source);
    const VersionResult& d = result.detected;
    RawBuilder builder(d.version, strict, d.text, layout);
    builder.set_plain_words(plain_words);
    builder.set_line_offset(d.line_offset);
    for (const NativeParseError& e : d.errors) builder.on_parse_error(e);
    Lexer lexer(d.text, d.version, d.line_offset);
    parse(lexer, builder);
    std::move(builder).finish_into(result.document);
    return result;
}

}  // namespace quarzel
