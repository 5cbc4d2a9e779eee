// Rule sets as text: how the dictionary compiler (Python) hands its rules to
// the native checker, once per dictionary, and how a rule set travels to
// the archive workers.
//
// The first line is `quarzel-rules 1`. Every other non-empty line is one
// record: a kind word, then fields `key=value` separated by tabs. In values
// a backslash escapes: `\\`, `\t`, `\n`, `\r`. A key given more than once
// makes a list. Items, categories and patterns are numbered by their order
// among records of their kind; fields that refer to them use those numbers.
//
//   dict      name version ddl=ddl1|ddl2|ddlm rule.<check>=<attribute cited>
//   pattern   source=<POSIX extended expression>
//   category  name dict class=any|loop|set key=<item>... keys=always|looped|never
//             mandatory=0|1 one_loop=0|1 defined=0|1 deprecated=0|1 replaced=<name>
//             unique=<item>,<item>...
//   item      name alias=... dict cat=<category> type=<contents> type_name pattern=<n>
//             su=any|no|yes container=<Single...> elements=<Table...> dim=<n|*>...
//             enum=<value>...
//             compare=exact|fold|numeric range=<low>:<high>... ranges=inclusive|exclusive
//             range_kind=number|text widen=0|1 list=any|yes|no mandatory=no|yes|implicit
//             default=0|1 deprecated=0|1 replaced=<name> ref=<item>... with=<item>...
//             su_of=<item>
//             rule.<check>=<attribute cited>
//   link      dict child_cat parent_cat child=<item>... parent=<item>... label rule
//             default=0|1
//   scope     dict scope strength=mandatory|recommended|prohibited name=...
//   problem   dict definition message
//   local     prefix=<lower-case prefix of local names>
//
// Keys and link items may also be given by name, "@_entry.id" (an item of
// an earlier dictionary); a name no item has is reported as a problem.
//
// <check> is one of: type construct enumeration range su container dimension
// looped mandatory key unique reference link category deprecated scope
// category_mandatory.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "validate/rules.hpp"

namespace quarzel::validate {

struct RulesError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws RulesError (naming the line) for text that breaks the format.
// Patterns are compiled here; one that does not compile stays in the set,
// reported by the checker, never matching.
std::shared_ptr<const RuleSet> parse_rules(std::string_view text);

}  // namespace quarzel::validate
