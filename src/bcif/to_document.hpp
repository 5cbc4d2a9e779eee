// A BinaryCIF file as the native document that CIF text gives: one data
// block per BinaryCIF block, a loop per category of other than one row and
// items for a category of one row, every value as its CIF text. Names are
// lower-cased as the text reader stores them.
#pragma once

#include <string_view>

#include "core/document.hpp"

namespace quarzel::bcif {

// Decodes `input` (uncompressed BinaryCIF). In the Refs layout the
// document's texts live in its arena; strings of the input are copied, so
// `input` may go once this returns. Problems are in the document's errors.
ParsedCif read_document(std::string_view input, ColumnLayout layout = ColumnLayout::Refs);

}  // namespace quarzel::bcif
