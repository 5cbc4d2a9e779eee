#include "validate/rules.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "core/ascii.hpp"
#include "core/lowercase.hpp"
#include "core/number.hpp"

namespace quarzel::validate {

bool compare_key(std::string_view value, Compare compare, std::string& out) {
    switch (compare) {
        case Compare::Exact:
            out.assign(value);
            return true;
        case Compare::Fold:
            if (ascii::is_ascii(value)) {
                out.resize(value.size());
                for (std::size_t i = 0; i < value.size(); ++i) out[i] = ascii::lower(value[i]);
            } else {
                lower_into(value, out);
            }
            return true;
        case Compare::Numeric: {
            const NumberResult n = parse_number(value);
            if (n.status != NumberStatus::number) return false;
            // 1, 1.0 and 1e0 agree; an su plays no part.
            if (n.is_integer && n.int_exact) {
                out = std::to_string(n.int_value);
            } else if (n.value == std::trunc(n.value) && std::fabs(n.value) < 9.0e15) {
                out = std::to_string(static_cast<long long>(n.value));
            } else {
                char buf[32];
                const int len = std::snprintf(buf, sizeof buf, "%.17g", n.value);
                out.assign(buf, static_cast<std::size_t>(len));
            }
            return true;
        }
    }
    return false;
}

void RuleSet::prepare() {
    identity = std::make_shared<const int>(0);
    if (dictionaries.empty()) dictionaries.emplace_back();
    std::string key;
    for (ItemRule& item : items) {
        item.enum_keys.clear();
        for (const std::string& v : item.enumeration) {
            // A value that is not a number still permits itself.
            item.enum_keys.insert(compare_key(v, item.compare, key) ? key : v);
        }
    }
    for (CategoryRule& c : categories) c.mandatory_items.clear();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const ItemRule& item = items[i];
        if (item.mandatory == Mandatory::Yes && item.category != kNone)
            categories[item.category].mandatory_items.push_back(static_cast<std::uint32_t>(i));
    }
    for (LinkRule& l : links) {
        if (l.child_category == kNone) l.child_category = items[l.child[0]].category;
        if (l.parent_category == kNone) l.parent_category = items[l.parent[0]].category;
    }
    // Each item's links as a child, counted, then placed (in link order).
    links_of_item.assign(items.size() + 1, 0);
    link_ids.clear();
    const auto children = [](const LinkRule& l) {
        return std::min<std::size_t>(l.child.size(), 64);
    };
    for (const LinkRule& l : links)
        for (std::size_t k = 0; k < children(l); ++k) ++links_of_item[l.child[k] + 1];
    for (std::size_t i = 0; i < items.size(); ++i) links_of_item[i + 1] += links_of_item[i];
    default_links = static_cast<std::size_t>(
        std::count_if(links.begin(), links.end(), [](const LinkRule& l) { return l.by_default; }));
    link_ids.resize(links_of_item.back());
    std::vector<std::uint32_t> next(links_of_item.begin(), links_of_item.end() - 1);
    for (std::size_t li = 0; li < links.size(); ++li)
        for (std::size_t k = 0; k < children(links[li]); ++k)
            link_ids[next[links[li].child[k]]++] = static_cast<std::uint32_t>(li);
}

std::string_view RuleSet::rule_of_dict(std::uint32_t dict, Check check) const noexcept {
    if (dict >= dictionaries.size()) return {};
    return dictionaries[dict].rules[static_cast<std::size_t>(check)];
}

std::string_view RuleSet::rule_of(const ItemRule& item, Check check) const noexcept {
    for (const auto& [c, name] : item.rule_overrides)
        if (c == check) return name;
    return rule_of_dict(item.dict, check);
}

bool RuleSet::is_local(std::string_view lower_name) const noexcept {
    for (const std::string& p : local_prefixes)
        if (lower_name.starts_with(p)) return true;
    return false;
}

}  // namespace quarzel::validate
