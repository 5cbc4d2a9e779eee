#include "validate/rules_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

#include "core/lowercase.hpp"
#include "core/number.hpp"

namespace quarzel::validate {

namespace {

constexpr std::string_view kCheckNames[kCheckCount] = {
    "type",      "construct",         "enumeration", "range",     "su",
    "container", "dimension",         "looped",      "mandatory", "key",
    "unique",    "reference",         "link",        "category",  "deprecated",
    "scope",     "category_mandatory"};

struct Field {
    std::string_view key;
    std::string value;
};

class Record {
public:
    Record(std::string_view line, std::size_t number) : number_(number) {
        std::size_t tab = line.find('\t');
        kind_ = line.substr(0, tab);
        while (tab != std::string_view::npos) {
            const std::size_t start = tab + 1;
            tab = line.find('\t', start);
            std::string_view f =
                line.substr(start, tab == std::string_view::npos ? tab : tab - start);
            const std::size_t eq = f.find('=');
            if (eq == std::string_view::npos) fail("field without '='");
            fields_.push_back({f.substr(0, eq), unescape(f.substr(eq + 1))});
        }
    }

    std::string_view kind() const noexcept { return kind_; }
    const std::vector<Field>& fields() const noexcept { return fields_; }

    [[noreturn]] void fail(std::string_view why) const {
        throw RulesError("rules line " + std::to_string(number_) + ": " + std::string(why));
    }

    const std::string* find(std::string_view key) const noexcept {
        for (const Field& f : fields_)
            if (f.key == key) return &f.value;
        return nullptr;
    }
    std::string text(std::string_view key) const {
        const std::string* v = find(key);
        return v ? *v : std::string();
    }
    std::vector<std::string> all(std::string_view key) const {
        std::vector<std::string> out;
        for (const Field& f : fields_)
            if (f.key == key) out.push_back(f.value);
        return out;
    }
    std::uint32_t index(std::string_view key, std::uint32_t fallback = kNone) const {
        const std::string* v = find(key);
        return v ? to_index(*v) : fallback;
    }
    std::vector<std::uint32_t> indices(std::string_view key) const {
        std::vector<std::uint32_t> out;
        for (const Field& f : fields_)
            if (f.key == key) out.push_back(to_index(f.value));
        return out;
    }
    bool flag(std::string_view key) const {
        const std::string* v = find(key);
        if (!v || v->empty() || *v == "0") return false;
        if (*v == "1") return true;
        fail("'" + std::string(key) + "' is neither 0 nor 1");
    }
    std::uint32_t to_index(std::string_view v) const {
        std::uint32_t out = 0;
        auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
        if (ec != std::errc() || p != v.data() + v.size() || out == kNone)
            fail("'" + std::string(v) + "' is not an index");
        return out;
    }

private:
    std::string unescape(std::string_view v) const {
        std::size_t i = v.find('\\');
        if (i == std::string_view::npos) return std::string(v);
        std::string out;
        out.reserve(v.size());
        out.append(v.substr(0, i));
        for (; i < v.size(); ++i) {
            if (v[i] != '\\') {
                out += v[i];
                continue;
            }
            if (++i == v.size()) fail("value ends in a backslash");
            switch (v[i]) {
                case '\\':
                    out += '\\';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                default:
                    fail("unknown escape");
            }
        }
        return out;
    }

    std::string_view kind_;
    std::vector<Field> fields_;
    std::size_t number_;
};

std::optional<Check> check_named(std::string_view name) {
    for (std::size_t i = 0; i < kCheckCount; ++i)
        if (kCheckNames[i] == name) return static_cast<Check>(i);
    return std::nullopt;
}

template <class T>
T choose(const Record& r, std::string_view key, T fallback,
         std::initializer_list<std::pair<std::string_view, T>> options) {
    const std::string* v = r.find(key);
    if (!v) return fallback;
    for (const auto& [name, value] : options)
        if (*v == name) return value;
    r.fail("unknown " + std::string(key) + " '" + *v + "'");
}

Bound bound(const Record& r, std::string_view text, bool is_text) {
    Bound b;
    if (text.empty()) return b;
    b.set = true;
    if (is_text) {
        b.is_text = true;
        b.text = std::string(text);
        return b;
    }
    const NumberResult n = parse_number(text);
    if (n.status != NumberStatus::number) r.fail("range bound '" + std::string(text) + "'");
    b.number = n.value;
    return b;
}

// Items referred to by name ("@_entry.id"), resolved once every item is
// read: an extension dictionary's keys and links may name items of the
// dictionaries before it.
enum class Named : std::uint8_t { Key, Child, Parent };
struct NamedRef {
    Named kind;
    std::size_t owner;     // category or link
    std::size_t position;  // in its list
    std::string name;
    std::uint32_t dict;
};
thread_local std::vector<NamedRef>* named_refs = nullptr;

std::vector<std::uint32_t> item_refs(const Record& r, std::string_view key, const RuleSet& set,
                                     Named kind, std::size_t owner) {
    std::vector<std::uint32_t> out;
    for (const Field& f : r.fields()) {
        if (f.key != key) continue;
        if (!f.value.empty() && f.value[0] == '@') {
            if (named_refs)
                named_refs->push_back(
                    {kind, owner, out.size(), f.value.substr(1), r.index("dict", 0)});
            out.push_back(kNone);
        } else {
            out.push_back(r.to_index(f.value));
        }
    }
    (void)set;
    return out;
}

// Puts the items that named references name in place; a name that no item
// has becomes a problem of its dictionary, and the key or link is dropped.
void resolve_named(RuleSet& set, std::vector<NamedRef>& refs) {
    std::vector<bool> drop_link(set.links.size(), false);
    for (const NamedRef& n : refs) {
        const std::uint32_t id = set.find_item(lower(n.name));
        if (id == kNone)
            set.problems.push_back({n.dict, std::string(),
                                    (n.kind == Named::Key ? "key item " : "linked item ") + n.name +
                                        " is not defined"});
        switch (n.kind) {
            case Named::Key:
                set.categories[n.owner].keys[n.position] = id;
                break;
            case Named::Child:
                set.links[n.owner].child[n.position] = id;
                break;
            case Named::Parent:
                set.links[n.owner].parent[n.position] = id;
                break;
        }
        if (id == kNone && n.kind != Named::Key) drop_link[n.owner] = true;
    }
    for (CategoryRule& c : set.categories) std::erase(c.keys, kNone);
    std::size_t k = 0;
    std::erase_if(set.links, [&](const LinkRule&) { return drop_link[k++]; });
}

void read_dict(const Record& r, RuleSet& set) {
    DictionaryInfo d;
    d.name = r.text("name");
    d.version = r.text("version");
    d.ddl = choose(r, "ddl", Ddl::Ddl2,
                   {{"ddl1", Ddl::Ddl1}, {"ddl2", Ddl::Ddl2}, {"ddlm", Ddl::Ddlm}});
    for (const Field& f : r.fields()) {
        if (!f.key.starts_with("rule.")) continue;
        auto c = check_named(f.key.substr(5));
        if (!c) r.fail("unknown check '" + std::string(f.key.substr(5)) + "'");
        d.rules[static_cast<std::size_t>(*c)] = f.value;
    }
    set.dictionaries.push_back(std::move(d));
}

void read_category(const Record& r, RuleSet& set) {
    CategoryRule c;
    c.name = lower(r.text("name"));
    c.dict = r.index("dict", 0);
    c.cls = choose(
        r, "class", CategoryClass::Any,
        {{"any", CategoryClass::Any}, {"loop", CategoryClass::Loop}, {"set", CategoryClass::Set}});
    c.keys = item_refs(r, "key", set, Named::Key, set.categories.size());
    c.key_policy = choose(r, "keys", KeyPolicy::Always,
                          {{"always", KeyPolicy::Always},
                           {"looped", KeyPolicy::Looped},
                           {"never", KeyPolicy::Never}});
    c.mandatory = r.flag("mandatory");
    if (r.find("one_loop")) c.one_loop = r.flag("one_loop");
    c.deprecated = r.flag("deprecated");
    if (r.find("defined") && !r.flag("defined"))
        set.problems.push_back(
            {c.dict, std::string(), "category " + c.name + " is not defined (its items name it)"});
    c.replaced_by = r.text("replaced");
    for (const std::string& u : r.all("unique")) {
        std::vector<std::uint32_t> group;
        std::string_view rest = u;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            group.push_back(r.to_index(rest.substr(0, comma)));
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
        if (!group.empty()) c.unique_sets.push_back(std::move(group));
    }
    const auto id = static_cast<std::uint32_t>(set.categories.size());
    if (!c.name.empty()) set.category_names.emplace(c.name, id);
    set.categories.push_back(std::move(c));
}

void read_item(const Record& r, RuleSet& set) {
    ItemRule item;
    item.name = r.text("name");
    if (item.name.empty()) r.fail("item without a name");
    item.dict = r.index("dict", 0);
    item.category = r.index("cat");
    if (const std::string* t = r.find("type")) {
        auto spec = parse_type_spec(*t);
        if (!spec) r.fail("unknown type '" + *t + "'");
        item.type = std::move(*spec);
    }
    item.type_name = r.text("type_name");
    item.pattern = r.index("pattern");
    item.su =
        choose(r, "su", SuPolicy::Any,
               {{"any", SuPolicy::Any}, {"no", SuPolicy::Forbidden}, {"yes", SuPolicy::Allowed}});
    if (const std::string* c = r.find("container")) {
        auto container = container_from_name(*c);
        if (!container) r.fail("unknown container '" + *c + "'");
        item.container = *container;
    }
    if (const std::string* c = r.find("elements")) {
        auto container = container_from_name(*c);
        if (!container) r.fail("unknown container '" + *c + "'");
        item.elements = *container;
    }
    for (const std::string& d : r.all("dim")) {
        item.has_dimension = true;
        if (d == "*") {
            item.dimension.push_back(-1);
        } else {
            std::int64_t n = 0;
            auto [p, ec] = std::from_chars(d.data(), d.data() + d.size(), n);
            if (ec != std::errc() || p != d.data() + d.size() || n < 0)
                r.fail("dimension '" + d + "'");
            item.dimension.push_back(n);
        }
    }
    item.enumeration = r.all("enum");
    item.compare =
        choose(r, "compare", Compare::Exact,
               {{"exact", Compare::Exact}, {"fold", Compare::Fold}, {"numeric", Compare::Numeric}});
    const bool text_ranges = choose(r, "range_kind", false, {{"number", false}, {"text", true}});
    const bool exclusive = choose(r, "ranges", false, {{"inclusive", false}, {"exclusive", true}});
    for (const std::string& range : r.all("range")) {
        const std::size_t colon = range.find(':');
        if (colon == std::string::npos) r.fail("range '" + range + "' without ':'");
        Range x;
        x.low = bound(r, std::string_view(range).substr(0, colon), text_ranges);
        x.high = bound(r, std::string_view(range).substr(colon + 1), text_ranges);
        x.exclusive = exclusive;
        item.ranges.push_back(std::move(x));
    }
    item.su_widens_range = r.flag("widen");
    item.list =
        choose(r, "list", ListPolicy::Any,
               {{"any", ListPolicy::Any}, {"yes", ListPolicy::Yes}, {"no", ListPolicy::No}});
    item.mandatory =
        choose(r, "mandatory", Mandatory::No,
               {{"no", Mandatory::No}, {"yes", Mandatory::Yes}, {"implicit", Mandatory::Implicit}});
    item.has_default = r.flag("default");
    item.deprecated = r.flag("deprecated");
    item.replaced_by = r.text("replaced");
    item.references = r.indices("ref");
    item.companions = r.indices("with");
    item.su_of = r.index("su_of");
    for (const Field& f : r.fields()) {
        if (!f.key.starts_with("rule.")) continue;
        auto c = check_named(f.key.substr(5));
        if (!c) r.fail("unknown check '" + std::string(f.key.substr(5)) + "'");
        item.rule_overrides.emplace_back(*c, f.value);
    }
    const auto id = static_cast<std::uint32_t>(set.items.size());
    set.item_names.emplace(lower(item.name), id);
    for (const std::string& alias : r.all("alias")) set.item_names.emplace(lower(alias), id);
    set.items.push_back(std::move(item));
}

void read_link(const Record& r, RuleSet& set) {
    LinkRule l;
    l.dict = r.index("dict", 0);
    l.child_category = r.index("child_cat");
    l.parent_category = r.index("parent_cat");
    l.child = item_refs(r, "child", set, Named::Child, set.links.size());
    l.parent = item_refs(r, "parent", set, Named::Parent, set.links.size());
    if (l.child.size() != l.parent.size()) r.fail("link with unpaired items");
    l.label = r.text("label");
    l.rule = r.text("rule");
    l.by_default = r.find("default") ? r.flag("default") : true;
    set.links.push_back(std::move(l));
}

void read_scope(const Record& r, RuleSet& set) {
    ScopeRule s;
    s.dict = r.index("dict", 0);
    s.scope = lower(r.text("scope"));
    s.strength = choose(r, "strength", Strength::Mandatory,
                        {{"mandatory", Strength::Mandatory},
                         {"recommended", Strength::Recommended},
                         {"prohibited", Strength::Prohibited}});
    for (const std::string& n : r.all("name")) s.names.push_back(lower(n));
    set.scopes.push_back(std::move(s));
}

// Every number that refers to an item, category, pattern or dictionary
// names one that exists.
void check_references(const RuleSet& set) {
    const auto bad = [](std::string_view what, std::size_t at) {
        throw RulesError("rules: " + std::string(what) + " " + std::to_string(at) +
                         " refers to something undefined");
    };
    const auto in = [](std::uint32_t i, std::size_t n, bool optional) {
        return (optional && i == kNone) || i < n;
    };
    const std::size_t ni = set.items.size(), nc = set.categories.size();
    const std::size_t nd = std::max<std::size_t>(set.dictionaries.size(), 1);
    for (std::size_t k = 0; k < set.items.size(); ++k) {
        const ItemRule& it = set.items[k];
        if (!in(it.category, nc, true) || !in(it.dict, nd, false) ||
            !in(it.pattern, set.patterns.size(), true) || !in(it.su_of, ni, true))
            bad("item", k);
        for (std::uint32_t r : it.references)
            if (!in(r, ni, false)) bad("item", k);
        for (std::uint32_t r : it.companions)
            if (!in(r, ni, false)) bad("item", k);
        if (it.has_dimension && it.dimension.empty()) bad("item", k);
    }
    for (std::size_t k = 0; k < set.categories.size(); ++k) {
        const CategoryRule& c = set.categories[k];
        if (!in(c.dict, nd, false)) bad("category", k);
        for (std::uint32_t r : c.keys)
            if (!in(r, ni, false)) bad("category", k);
        for (const auto& group : c.unique_sets)
            for (std::uint32_t r : group)
                if (!in(r, ni, false)) bad("category", k);
    }
    for (std::size_t k = 0; k < set.links.size(); ++k) {
        const LinkRule& l = set.links[k];
        if (l.child.empty() || !in(l.dict, nd, false) || !in(l.child_category, nc, true) ||
            !in(l.parent_category, nc, true))
            bad("link", k);
        for (std::uint32_t r : l.child)
            if (!in(r, ni, false)) bad("link", k);
        for (std::uint32_t r : l.parent)
            if (!in(r, ni, false)) bad("link", k);
    }
    for (std::size_t k = 0; k < set.scopes.size(); ++k)
        if (!in(set.scopes[k].dict, nd, false)) bad("scope", k);
    for (std::size_t k = 0; k < set.problems.size(); ++k)
        if (!in(set.problems[k].dict, nd, false)) bad("problem", k);
}

}  // namespace

std::shared_ptr<const RuleSet> parse_rules(std::string_view text) {
    auto set = std::make_shared<RuleSet>();
    std::vector<NamedRef> refs;
    named_refs = &refs;
    struct Reset {
        ~Reset() { named_refs = nullptr; }
    } reset;
    std::size_t number = 0;
    bool header = false;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (!header) {
            if (line != "quarzel-rules 1")
                throw RulesError("rules line 1: not a rule set (expected 'quarzel-rules 1')");
            header = true;
            continue;
        }
        Record r(line, number);
        if (r.kind() == "dict") {
            read_dict(r, *set);
        } else if (r.kind() == "pattern") {
            set->patterns.push_back(Pattern::compile(r.text("source")));
        } else if (r.kind() == "category") {
            read_category(r, *set);
        } else if (r.kind() == "item") {
            read_item(r, *set);
        } else if (r.kind() == "link") {
            read_link(r, *set);
        } else if (r.kind() == "scope") {
            read_scope(r, *set);
        } else if (r.kind() == "problem") {
            set->problems.push_back({r.index("dict", 0), r.text("definition"), r.text("message")});
        } else if (r.kind() == "local") {
            set->local_prefixes.push_back(lower(r.text("prefix")));
        } else {
            r.fail("unknown record '" + std::string(r.kind()) + "'");
        }
    }
    if (!header) throw RulesError("rules line 1: not a rule set (expected 'quarzel-rules 1')");
    resolve_named(*set, refs);
    check_references(*set);
    set->prepare();
    return set;
}

}  // namespace quarzel::validate
