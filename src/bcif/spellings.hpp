// The spelling of tags and data block names in a CIF text: the document
// keeps them lower-cased, while BinaryCIF readers (and viewers) look
// columns up as the dictionary spells them ("Cartn_x").
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace quarzel::bcif {

// Lower-cased tag or block name → its first spelling in `text`, for the
// names whose spelling is not already lower case.
std::unordered_map<std::string, std::string> name_spellings(std::string_view text);

}  // namespace quarzel::bcif
