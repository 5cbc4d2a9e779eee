// The whole native pipeline in one call: version detection, lexing, parsing
// and building.
#pragma once

#include <string_view>

#include "core/document.hpp"
#include "core/version.hpp"

namespace quarzel {

struct ParseResult {
    VersionResult detected;  // owns (or views) the text the document points into
    ParsedCif document;
};

// `source` must outlive the result. Value columns take `layout`.
// `plain_words` off sends every value through the parser's general path
// (the same document, slower; for tests).
ParseResult parse_document(std::string_view source, bool strict,
                           ColumnLayout layout = ColumnLayout::Refs, bool plain_words = true);

}  // namespace quarzel
