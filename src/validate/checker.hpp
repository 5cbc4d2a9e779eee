// Checking a document against a rule set: every data block and save frame,
// every value of every known tag, each category's keys and mandatory items,
// loops, links between categories and (for dictionaries checked against
// their DDL) the attributes each definition scope needs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/document.hpp"
#include "validate/finding.hpp"
#include "validate/rules.hpp"

namespace quarzel::validate {

enum class LinkMode : std::uint8_t {
    Default,  // the links each dictionary applies by default (not DDL2's)
    All,
    None,
};

struct Options {
    LinkMode links = LinkMode::Default;
    double su_multiplier = 3.0;  // DDLm ranges widen by this many su
    bool ignore_case = false;    // DDL1 enumerations compare ignoring case
    // Attribute names that imports give a save frame, as if written in it
    // (keyed by block and frame index): a DDLm dictionary checked against
    // the `_dictionary_valid` scopes of its DDL.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::string>> imported;
};

// The findings of one document, in no particular order and without
// positions (see positions.hpp).
std::vector<Finding> check_document(const ParsedCif& doc, const RuleSet& rules,
                                    const Options& options);

// Puts findings in document order: by block, the block's own items before
// its save frames, then by line and column (those without a place first,
// in the order found).
void sort_findings(std::vector<Finding>& findings);

// The faults of the rule set's dictionaries themselves (from compiling
// them, and expressions that do not compile), as findings without a block.
std::vector<Finding> dictionary_findings(const RuleSet& rules);

}  // namespace quarzel::validate
