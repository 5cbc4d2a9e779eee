// Links between categories within a data block: every child row whose
// linked values are given must find a parent row with the same values
// (null components of the child match anything). One finding per link and
// frame, with the count and the first rows.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "validate/check_context.hpp"

namespace quarzel::validate::detail {

namespace {

constexpr std::size_t kShownRows = 5;

const ValueColumn* column_of(const Frame& f, std::uint32_t item) {
    for (std::size_t i = 0; i < f.items.size(); ++i)
        if (f.items[i] == item) return &f.data->columns[i];
    return nullptr;
}

std::string_view tag_of(const Frame& f, std::uint32_t item) {
    for (std::size_t i = 0; i < f.items.size(); ++i)
        if (f.items[i] == item) return f.data->tag_order[i];
    return {};
}

// The parent rows' values of one link, over every frame of the block,
// keyed by the components a child row gives (by mask of present ones).
class ParentIndex {
public:
    ParentIndex(const RuleSet& rules, const LinkRule& link, const std::vector<Frame>& frames)
        : rules_(rules), link_(link) {
        for (const Frame& f : frames) {
            std::vector<const ValueColumn*> cols;
            bool any = false;
            for (std::uint32_t p : link.parent) {
                cols.push_back(column_of(f, p));
                any = any || cols.back();
            }
            if (any) tables_.push_back(std::move(cols));
        }
    }

    bool empty() const noexcept { return tables_.empty(); }

    bool contains(std::uint64_t mask, const std::string& key) {
        auto it = sets_.find(mask);
        if (it == sets_.end()) it = sets_.emplace(mask, build(mask)).first;
        return it->second.count(key) != 0;
    }

private:
    std::unordered_set<std::string> build(std::uint64_t mask) const {
        std::unordered_set<std::string> out;
        std::string key, part;
        for (const auto& cols : tables_) {
            std::size_t rows = 0;
            for (const ValueColumn* c : cols)
                if (c) rows = std::max(rows, c->size());
            for (std::size_t r = 0; r < rows; ++r) {
                key.clear();
                bool ok = true;
                for (std::size_t k = 0; k < cols.size() && ok; ++k) {
                    if (!(mask >> k & 1)) continue;
                    if (!cols[k] || r >= cols[k]->size()) {
                        ok = false;
                        break;
                    }
                    const ValueRef ref = (*cols[k])[r];
                    if (ref.compound) {
                        ok = false;
                        break;
                    }
                    bool null;
                    const std::string_view v = scalar_text(ref, null);
                    if (!compare_key(v, rules_.items[link_.parent[k]].compare, part))
                        part.assign(v);
                    key += std::to_string(part.size());
                    key += ':';
                    key += part;
                }
                if (ok) out.insert(key);
            }
        }
        return out;
    }

    const RuleSet& rules_;
    const LinkRule& link_;
    std::vector<std::vector<const ValueColumn*>> tables_;
    std::unordered_map<std::uint64_t, std::unordered_set<std::string>> sets_;
};

// Item names without their category's part: "_atom_site.label_comp_id" as
// "label_comp_id"; several joined by commas.
std::string short_items(const RuleSet& rules, const std::vector<std::uint32_t>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::string_view n = rules.items[items[i]].name;
        const std::size_t dot = n.find('.');
        if (dot != std::string_view::npos) n.remove_prefix(dot + 1);
        if (i) out += ", ";
        out += n;
    }
    return out;
}

bool applies(const Context& cx, const LinkRule& link) {
    switch (cx.options.links) {
        case LinkMode::All:
            return true;
        case LinkMode::None:
            return false;
        case LinkMode::Default:
            return link.by_default;
    }
    return false;
}

void check_link(Context& cx, const LinkRule& link, const std::vector<Frame>& frames) {
    const RuleSet& rules = cx.rules;
    // Components beyond 64 are not keyed (no real link comes near).
    const std::size_t n = std::min<std::size_t>(link.child.size(), 64);
    ParentIndex parents(rules, link, frames);
    for (const Frame& f : frames) {
        std::vector<const ValueColumn*> cols(n, nullptr);
        bool any = false;
        for (std::size_t k = 0; k < n; ++k) {
            cols[k] = column_of(f, link.child[k]);
            any = any || cols[k];
        }
        if (!any) continue;
        std::size_t rows = 0;
        for (const ValueColumn* c : cols)
            if (c) rows = std::max(rows, c->size());
        std::size_t missing = 0, first_row = 0, checked = 0;
        std::vector<std::size_t> shown_rows;
        std::string first_value, key, part, shown_key;
        for (std::size_t r = 0; r < rows; ++r) {
            std::uint64_t mask = 0;
            key.clear();
            shown_key.clear();
            bool usable = true;
            for (std::size_t k = 0; k < n; ++k) {
                if (k) shown_key += ", ";
                if (!cols[k] || r >= cols[k]->size()) {
                    shown_key += "?";
                    continue;
                }
                const ValueRef ref = (*cols[k])[r];
                if (ref.compound) {
                    usable = false;
                    break;
                }
                bool null;
                const std::string_view v = scalar_text(ref, null);
                shown_key += v;
                if (null) continue;
                mask |= std::uint64_t{1} << k;
                if (!compare_key(v, rules.items[link.child[k]].compare, part)) part.assign(v);
                key += std::to_string(part.size());
                key += ':';
                key += part;
            }
            if (!usable || mask == 0) continue;
            ++checked;
            if (!parents.empty() && parents.contains(mask, key)) continue;
            if (missing++ == 0) {
                first_row = r;
                first_value = shown_key;
            }
            if (shown_rows.size() < kShownRows) shown_rows.push_back(r);
        }
        if (missing == 0) continue;
        const std::string parent_cat =
            link.parent_category != kNone ? rules.categories[link.parent_category].name : "?";
        const std::string child_cat =
            link.child_category != kNone ? rules.categories[link.child_category].name : "?";
        std::string rows_text;
        for (std::size_t i = 0; i < shown_rows.size(); ++i)
            rows_text += (i ? ", " : "") + std::to_string(shown_rows[i]);
        if (missing > shown_rows.size()) rows_text += ", ...";
        std::string message;
        if (parents.empty()) {
            message = "the parent " + join_items(rules, link.parent) + " is absent (category " +
                      parent_cat + "): " + std::to_string(missing) + " row" +
                      (missing == 1 ? "" : "s") + " of " + child_cat + " refer to it";
        } else {
            message = std::to_string(missing) + " of " + std::to_string(checked) + " row" +
                      (checked == 1 ? "" : "s") + " of " + child_cat + " have no parent row in " +
                      parent_cat;
        }
        message += " (" + short_items(rules, link.child) + " -> " +
                   short_items(rules, link.parent) + (link.label.empty() ? "" : "; " + link.label) +
                   "); rows " + rows_text + "; first: " + shown(first_value);
        Finding& out = cx.add(f, Code::Link, Severity::Error, std::move(message), link.dict,
                              link.rule.empty() ? rules.rule_of_dict(link.dict, Check::Link)
                                                : std::string_view(link.rule));
        out.category = child_cat;
        std::string_view first_tag;
        for (std::size_t k = 0; k < n; ++k) {
            if (!cols[k]) continue;
            const std::string_view t = tag_of(f, link.child[k]);
            out.tags.emplace_back(t);
            if (first_tag.empty()) first_tag = t;
        }
        out.value = first_value;
        // A row outside loops is no row.
        const std::size_t p = f.data->position(first_tag);
        const bool looped = p < f.loop_of.size() && f.loop_of[p] >= 0;
        out.row = looped || rows > 1 ? static_cast<std::int64_t>(first_row) : -1;
        out.locate_tag = std::string(first_tag);
        out.locate_value = true;
    }
}

}  // namespace

std::string join_items(const RuleSet& rules, const std::vector<std::uint32_t>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? "+" : "") + rules.items[items[i]].name;
    return out;
}

void check_links(Context& cx, const std::vector<Frame>& frames) {
    for (const LinkRule& link : cx.rules.links)
        if (applies(cx, link)) check_link(cx, link, frames);
}

}  // namespace quarzel::validate::detail
