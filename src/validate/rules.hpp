// Compiled dictionary rules: what the checker applies to a document. A rule
// set holds the items, categories, links and definition scopes of one or
// more dictionaries (DDL1, DDL2 or DDLm alike), already resolved by the
// compiler (imports, aliases, inherited attributes), so that checking needs
// no knowledge of which DDL wrote them beyond the names of the attributes
// that findings cite.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "validate/contents.hpp"
#include "validate/pattern.hpp"

namespace quarzel::validate {

inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// The checks a finding can come from; each dictionary names the attribute
// that stands behind each (DDL1 `_enumeration`, DDL2
// `_item_enumeration.value`, DDLm `_enumeration_set.state`, ...).
enum class Check : std::uint8_t {
    Type,               // the value's form
    Construct,          // a regular expression of the type
    Enumeration,        // permitted values
    Range,              // numeric or character bounds
    Su,                 // standard uncertainty allowed or not
    Container,          // DDLm list, array, matrix, table
    Dimension,          // DDLm list sizes
    Looped,             // may or must be looped
    Mandatory,          // required items
    Key,                // category keys present
    Unique,             // key values unique
    Reference,          // DDL1 items that must share a loop
    Link,               // parent values present
    Category,           // the category an item belongs to
    Deprecated,         // replaced definitions
    Scope,              // DDLm attributes per definition scope
    CategoryMandatory,  // categories every data block needs
    Count_,
};
inline constexpr std::size_t kCheckCount = static_cast<std::size_t>(Check::Count_);

enum class Ddl : std::uint8_t { Ddl1, Ddl2, Ddlm };

struct DictionaryInfo {
    std::string name;
    std::string version;
    Ddl ddl = Ddl::Ddl2;
    std::array<std::string, kCheckCount> rules;  // attribute cited per check

    // "name version" as findings cite it.
    std::string label() const { return version.empty() ? name : name + " " + version; }
};

enum class SuPolicy : std::uint8_t { Any, Forbidden, Allowed };
// How values of an item compare with each other and with enumerated ones.
enum class Compare : std::uint8_t { Exact, Fold, Numeric };
enum class ListPolicy : std::uint8_t { Any, Yes, No };
// Yes: present whenever its category is; Implicit: may be left out (its
// value follows from elsewhere).
enum class Mandatory : std::uint8_t { No, Yes, Implicit };

// One end of a range: a number, or for character ranges (DDL1) a text.
struct Bound {
    bool set = false;
    bool is_text = false;
    double number = 0.0;
    std::string text;
};

// `low <= v <= high` (ends inclusive) or, DDL2 style, `low < v < high`
// with rows whose ends are equal allowing exactly that value.
struct Range {
    Bound low, high;
    bool exclusive = false;
};

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

struct ItemRule {
    std::string name;  // as the dictionary writes it
    std::uint32_t category = kNone;
    std::uint32_t dict = 0;

    TypeSpec type;                  // form of each value (element)
    std::string type_name;          // the type as findings name it (DDL2 code)
    std::uint32_t pattern = kNone;  // a construct to match, index into patterns
    SuPolicy su = SuPolicy::Any;
    Container container = Container::Single;
    Container elements = Container::Single;  // of a list: Table for a list of tables
    std::vector<std::int64_t> dimension;     // per level, -1 for any size
    bool has_dimension = false;

    std::vector<std::string> enumeration;  // as written
    Compare compare = Compare::Exact;
    std::vector<Range> ranges;     // any one matching passes
    bool su_widens_range = false;  // DDLm: su times the multiplier

    ListPolicy list = ListPolicy::Any;
    Mandatory mandatory = Mandatory::No;
    bool has_default = false;  // a default value: never missing as a key
    bool deprecated = false;
    std::string replaced_by;                // may be empty when deprecated
    std::vector<std::uint32_t> references;  // DDL1 items that must share its loop
    std::vector<std::uint32_t> companions;  // DDL1 mandatory items defined with it, likewise
    std::uint32_t su_of = kNone;            // DDLm: the measurand whose su this gives

    // Attribute names that this item cites instead of its dictionary's.
    std::vector<std::pair<Check, std::string>> rule_overrides;

    // Filled by RuleSet::prepare(): the enumeration as compared.
    std::unordered_set<std::string, StringHash, std::equal_to<>> enum_keys;
};

enum class CategoryClass : std::uint8_t { Any, Loop, Set };
enum class KeyPolicy : std::uint8_t {
    Always,  // keys present whenever the category is (DDL2)
    Looped,  // keys present when the category is given as a loop (DDLm)
    Never,
};

struct CategoryRule {
    std::string name;  // lower case
    std::uint32_t dict = 0;
    CategoryClass cls = CategoryClass::Any;
    std::vector<std::uint32_t> keys;
    KeyPolicy key_policy = KeyPolicy::Always;
    bool mandatory = false;  // must appear in every data block
    bool one_loop = true;    // its items in one loop (DDL1 categories may span several)
    bool deprecated = false;
    std::string replaced_by;
    std::vector<std::vector<std::uint32_t>> unique_sets;  // further unique combinations

    // Filled by prepare(): items with Mandatory::Yes, in definition order.
    std::vector<std::uint32_t> mandatory_items;
};

struct LinkRule {
    std::uint32_t dict = 0;
    std::uint32_t child_category = kNone;
    std::uint32_t parent_category = kNone;
    std::vector<std::uint32_t> child, parent;  // items, pairwise
    std::string label;                         // e.g. the link group
    std::string rule;                          // cited instead of the dictionary's
    bool by_default = true;                    // applied unless links are turned off
};

enum class Strength : std::uint8_t { Mandatory, Recommended, Prohibited };

// DDLm `_dictionary_valid`: attributes a definition of a scope must, should
// or must not carry. Names without a leading underscore are categories.
struct ScopeRule {
    std::uint32_t dict = 0;
    std::string scope;  // lower case: dictionary, category, item
    Strength strength = Strength::Mandatory;
    std::vector<std::string> names;  // lower case
};

// A fault of a dictionary found while compiling it.
struct Problem {
    std::uint32_t dict = 0;
    std::string definition;
    std::string message;
};

using NameMap = std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>>;

struct RuleSet {
    std::vector<DictionaryInfo> dictionaries;
    std::vector<Pattern> patterns;
    std::vector<ItemRule> items;
    std::vector<CategoryRule> categories;
    std::vector<LinkRule> links;
    std::vector<ScopeRule> scopes;
    std::vector<Problem> problems;
    std::vector<std::string> local_prefixes;  // lower case, e.g. "_[local]"

    NameMap item_names;      // lower-case name or alias -> item
    NameMap category_names;  // lower-case name -> category

    // Filled by prepare(): the links each item is a child component of (its
    // first 64, those checked), in rising order: links_of_item[item] up to
    // links_of_item[item + 1] index link_ids.
    std::vector<std::uint32_t> links_of_item;
    std::vector<std::uint32_t> link_ids;
    std::size_t default_links = 0;  // applied by default (none of DDL2's)
    // Made by prepare(): this rule set's own token (null before), for
    // lookups a thread keeps from document to document; whoever keeps it
    // (weakly) keeps its address from being another set's.
    std::shared_ptr<const int> identity;

    // Indexes, enumeration keys and per-category lists, after the rules
    // are complete; problems found on the way are added.
    void prepare();

    std::uint32_t find_item(std::string_view lower_name) const noexcept {
        auto it = item_names.find(lower_name);
        return it == item_names.end() ? kNone : it->second;
    }
    std::uint32_t find_category(std::string_view lower_name) const noexcept {
        auto it = category_names.find(lower_name);
        return it == category_names.end() ? kNone : it->second;
    }
    // The attribute an item's finding of kind `check` cites.
    std::string_view rule_of(const ItemRule& item, Check check) const noexcept;
    std::string_view rule_of_dict(std::uint32_t dict, Check check) const noexcept;
    bool is_local(std::string_view lower_name) const noexcept;
};

// The key under which a value is compared: itself, case-folded, or a
// canonical number; false when a Numeric value is not a number.
bool compare_key(std::string_view value, Compare compare, std::string& out);

}  // namespace quarzel::validate
