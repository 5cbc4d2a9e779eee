// Links between categories within a data block: every child row whose
// linked values are given must find a parent row with the same values
// (null components of the child match anything). One finding per link and
// frame, with the count and the first rows.
#include <algorithm>
#include <bit>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "validate/check_context.hpp"
#include "validate/key_hash.hpp"

namespace quarzel::validate::detail {

namespace {

constexpr std::size_t kShownRows = 5;

// Where each item's column is in the block's frames: looked up once per
// block, not by a scan of each frame per link.
class BlockColumns {
public:
    explicit BlockColumns(const std::vector<Frame>& frames) : frames_(frames) {
        for (std::size_t fi = 0; fi < frames.size(); ++fi)
            for (std::size_t i = 0; i < frames[fi].items.size(); ++i)
                if (frames[fi].items[i] != kNone)
                    where_.push_back({frames[fi].items[i], static_cast<std::uint32_t>(fi),
                                      static_cast<std::uint32_t>(i)});
        // By item, frame and position: one flat table, no allocation per item.
        std::sort(where_.begin(), where_.end(), [](const Place& a, const Place& b) {
            if (a.item != b.item) return a.item < b.item;
            return a.frame != b.frame ? a.frame < b.frame : a.index < b.index;
        });
    }
    // The column of `item` in frame `fi`, or null.
    const ValueColumn* column(std::size_t fi, std::uint32_t item) const {
        const Place* p = find(fi, item);
        return p ? &frames_[fi].data->columns[p->index] : nullptr;
    }
    std::string_view tag(std::size_t fi, std::uint32_t item) const {
        const Place* p = find(fi, item);
        return p ? frames_[fi].data->tag_order[p->index] : std::string_view();
    }
    // Each item given somewhere in the block, once, in rising order.
    template <class Visit>
    void for_each_item(Visit visit) const {
        for (std::size_t i = 0; i < where_.size(); ++i)
            if (i == 0 || where_[i].item != where_[i - 1].item) visit(where_[i].item);
    }
    bool present(std::uint32_t item) const {
        auto it = std::lower_bound(where_.begin(), where_.end(), item,
                                   [](const Place& a, std::uint32_t b) { return a.item < b; });
        return it != where_.end() && it->item == item;
    }

private:
    struct Place {
        std::uint32_t item, frame, index;
    };
    // The first place of `item` in frame `fi` (a tag given twice keeps its
    // first position, as a lookup by name would).
    const Place* find(std::size_t fi, std::uint32_t item) const {
        auto it = std::lower_bound(where_.begin(), where_.end(), item,
                                   [](const Place& a, std::uint32_t b) { return a.item < b; });
        for (; it != where_.end() && it->item == item; ++it)
            if (it->frame == fi) return &*it;
        return nullptr;
    }
    const std::vector<Frame>& frames_;
    std::vector<Place> where_;
};

// The key of a row that gives one component: that component's hash (never
// 0, a free slot, for it is no null), with no combining.
constexpr std::uint64_t one_key(std::uint64_t component) noexcept {
    return component;
}

// Parent keys already gathered in a block, by the parent items they hash
// (many links name the same parent items: atom_site's, for one).
using ParentCache = std::map<std::vector<std::uint32_t>, HashSet>;

// A component a frame gives of a child: its place in the link and its hashes.
struct Given {
    std::uint64_t bit;
    const std::vector<std::uint64_t>* hashes;
};

// What the link checks of a block work in, kept by the thread from block to
// block and cleared (not freed) for each link.
struct LinkScratch {
    std::vector<const ValueColumn*> parent_columns;              // ParentIndex's tables
    std::vector<std::pair<std::uint64_t, const HashSet*>> sets;  // by mask
    std::vector<std::uint32_t> items;
    std::vector<const ValueColumn*> child_columns;
    std::vector<Given> given;
    std::vector<std::size_t> shown_rows;
    std::vector<std::uint32_t> taken;
};

// The parent rows' keys of one link, over every frame of the block, by the
// components a child row gives (a mask of the present ones).
class ParentIndex {
public:
    ParentIndex(const RuleSet& rules, const LinkRule& link, const std::vector<Frame>& frames,
                const BlockColumns& columns, ParentCache& cache, ColumnHashes& hashes,
                LinkScratch& scratch)
        : rules_(rules),
          link_(link),
          cache_(cache),
          hashes_(hashes),
          tables_(scratch.parent_columns),
          sets_(scratch.sets),
          items_(scratch.items) {
        tables_.clear();
        sets_.clear();
        // Per frame that gives any parent item, its columns (or nulls).
        const std::size_t width = link.parent.size();
        for (std::size_t fi = 0; fi < frames.size(); ++fi) {
            bool any = false;
            for (std::uint32_t p : link.parent) {
                tables_.push_back(columns.column(fi, p));
                any = any || tables_.back();
            }
            if (any)
                ++count_;
            else
                tables_.resize(tables_.size() - width);
        }
    }

    bool empty() const noexcept { return count_ == 0; }

    // The keys of the parent rows that give the components of `mask`.
    const HashSet& set(std::uint64_t mask) {
        // Rows of a column mostly give the same components: the last set
        // found answers again without a lookup.
        if (last_ && mask == last_mask_) return *last_;
        auto it = std::find_if(sets_.begin(), sets_.end(),
                               [&](const auto& s) { return s.first == mask; });
        if (it == sets_.end()) {
            std::vector<std::uint32_t>& items = items_;
            items.clear();
            for (std::size_t k = 0; k < link_.parent.size() && k < 64; ++k)
                if (mask >> k & 1) items.push_back(link_.parent[k]);
            auto found = cache_.find(items);
            if (found == cache_.end()) found = cache_.emplace(items, build(mask)).first;
            sets_.emplace_back(mask, &found->second);
            it = sets_.end() - 1;
        }
        last_mask_ = mask;
        last_ = it->second;
        return *last_;
    }

private:
    HashSet build(std::uint64_t mask) {
        HashSet out;
        std::size_t total = 0;
        for (const ValueColumn* c : tables_)
            if (c) total = std::max(total, c->size());
        out.reserve(total);
        KeyHash hash;
        std::vector<const std::uint64_t*> hashed;  // the components the mask gives
        const std::size_t width = link_.parent.size();
        for (std::size_t t = 0; t < count_; ++t) {
            const ValueColumn* const* cols = tables_.data() + t * width;
            // Rows past the end of a shorter column lack a component.
            std::size_t rows = static_cast<std::size_t>(-1);
            hashed.clear();
            bool complete = true;
            for (std::size_t k = 0; k < width; ++k) {
                if (!(mask >> k & 1)) continue;
                if (!cols[k]) {
                    complete = false;  // no row of this frame has the component
                    break;
                }
                const auto& h = hashes_.of(*cols[k], rules_.items[link_.parent[k]].compare);
                hashed.push_back(h.data());
                rows = std::min(rows, h.size());
            }
            if (!complete || hashed.empty()) continue;
            if (hashed.size() == 1) {
                // One component: its hash is the key (see one_key()); a null
                // is the key of no child row.
                for (std::size_t r = 0; r < rows; ++r)
                    if (hashed[0][r] > ColumnHashes::kCompound) out.insert(hashed[0][r]);
                continue;
            }
            for (std::size_t r = 0; r < rows; ++r) {
                hash.reset();
                bool ok = true;
                for (const std::uint64_t* h : hashed) {
                    if (h[r] == ColumnHashes::kCompound) {
                        ok = false;
                        break;
                    }
                    hash.add(h[r]);
                }
                if (ok) out.insert(hash.value());
            }
        }
        return out;
    }

    const RuleSet& rules_;
    const LinkRule& link_;
    ParentCache& cache_;
    ColumnHashes& hashes_;
    // The parent items' columns of each frame that gives any: `count_`
    // rows of link.parent.size() (null where the frame lacks the item).
    std::vector<const ValueColumn*>& tables_;
    std::size_t count_ = 0;
    std::vector<std::pair<std::uint64_t, const HashSet*>>& sets_;  // found, by mask
    std::vector<std::uint32_t>& items_;
    std::uint64_t last_mask_ = 0;
    const HashSet* last_ = nullptr;
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

void check_link(Context& cx, const LinkRule& link, const std::vector<Frame>& frames,
                const BlockColumns& columns, ParentCache& cache, ColumnHashes& hashes,
                LinkScratch& scratch) {
    const RuleSet& rules = cx.rules;
    // Components beyond 64 are not keyed (no real link comes near).
    const std::size_t n = std::min<std::size_t>(link.child.size(), 64);
    bool given = false;
    for (std::size_t k = 0; k < n && !given; ++k) given = columns.present(link.child[k]);
    if (!given) return;
    ParentIndex parents(rules, link, frames, columns, cache, hashes, scratch);
    KeyHash hash;
    for (std::size_t fi = 0; fi < frames.size(); ++fi) {
        const Frame& f = frames[fi];
        std::vector<const ValueColumn*>& cols = scratch.child_columns;
        cols.assign(n, nullptr);
        bool any = false;
        for (std::size_t k = 0; k < n; ++k) {
            cols[k] = columns.column(fi, link.child[k]);
            any = any || cols[k];
        }
        if (!any) continue;
        // The components this frame gives.
        std::vector<Given>& given = scratch.given;
        given.clear();
        std::size_t rows = 0;
        for (std::size_t k = 0; k < n; ++k)
            if (cols[k]) {
                rows = std::max(rows, cols[k]->size());
                given.push_back({std::uint64_t{1} << k,
                                 &hashes.of(*cols[k], rules.items[link.child[k]].compare)});
            }
        std::size_t missing = 0, first_row = 0, checked = 0;
        std::vector<std::size_t>& shown_rows = scratch.shown_rows;
        shown_rows.clear();
        const auto parentless = [&](std::size_t r) {
            if (missing++ == 0) first_row = r;
            if (shown_rows.size() < kShownRows) shown_rows.push_back(r);
        };
        if (given.size() == 1) {
            // One component (most links): a row without it (null) or with a
            // list or table in it is not checked, and all rows look up one
            // set of parent keys.
            const std::uint64_t* const column = given[0].hashes->data();
            const std::size_t count = given[0].hashes->size();
            const auto checkable = [](std::uint64_t h) { return h > ColumnHashes::kCompound; };
            std::size_t r = 0;
            while (r < count && !checkable(column[r])) ++r;
            if (r < count && parents.empty()) {
                for (; r < count; ++r)
                    if (checkable(column[r])) {
                        ++checked;
                        parentless(r);
                    }
            } else if (r < count) {
                // The parent keys looked up from registers: nothing the loop
                // writes can move them.
                const HashSet::Lookup set = parents.set(given[0].bit).lookup();
                for (; r < count; ++r) {
                    const std::uint64_t h = column[r];
                    if (!checkable(h)) continue;
                    ++checked;
                    if (!set.contains(one_key(h))) [[unlikely]]
                        parentless(r);
                }
            }
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                std::uint64_t mask = 0, last = 0;
                hash.reset();
                bool usable = true;
                for (const Given& g : given) {
                    if (r >= g.hashes->size()) continue;
                    const std::uint64_t h = (*g.hashes)[r];
                    if (h == ColumnHashes::kCompound) {
                        usable = false;
                        break;
                    }
                    if (h == ColumnHashes::kNull) continue;
                    mask |= g.bit;
                    hash.add(h);
                    last = h;
                }
                if (!usable || mask == 0) continue;
                ++checked;
                const std::uint64_t key = std::has_single_bit(mask) ? one_key(last) : hash.value();
                if (!parents.empty() && parents.set(mask).contains(key)) continue;
                parentless(r);
            }
        }
        if (missing == 0) continue;
        // The first row without a parent, as its values read.
        std::string first_value;
        for (std::size_t k = 0; k < n; ++k) {
            if (k) first_value += ", ";
            if (!cols[k] || first_row >= cols[k]->size()) {
                first_value += "?";
                continue;
            }
            bool null;
            first_value += scalar_text((*cols[k])[first_row], null);
        }
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
            const std::string_view t = columns.tag(fi, link.child[k]);
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

void check_links(Context& cx, const std::vector<Frame>& frames, ColumnHashes& hashes) {
    if (cx.options.links == LinkMode::None || cx.rules.links.empty()) return;
    const RuleSet& rules = cx.rules;
    if (cx.options.links == LinkMode::Default &&
        rules.links_of_item.size() == rules.items.size() + 1 && rules.default_links == 0)
        return;  // none applies (DDL2 dictionaries)
    const BlockColumns columns(frames);
    ParentCache cache;
    thread_local LinkScratch scratch;
    if (rules.links_of_item.size() != rules.items.size() + 1) {
        for (const LinkRule& link : rules.links)
            if (applies(cx, link)) check_link(cx, link, frames, columns, cache, hashes, scratch);
        return;
    }
    // Only the links some child item of which the block gives, in the
    // dictionary's order (most of a dictionary's links name items that a
    // small file lacks).
    std::vector<std::uint32_t>& taken = scratch.taken;
    taken.clear();
    columns.for_each_item([&](std::uint32_t item) {
        if (item >= rules.items.size()) return;
        taken.insert(taken.end(), rules.link_ids.begin() + rules.links_of_item[item],
                     rules.link_ids.begin() + rules.links_of_item[item + 1]);
    });
    std::sort(taken.begin(), taken.end());
    taken.erase(std::unique(taken.begin(), taken.end()), taken.end());
    for (std::uint32_t li : taken) {
        const LinkRule& link = rules.links[li];
        if (applies(cx, link)) check_link(cx, link, frames, columns, cache, hashes, scratch);
    }
}

}  // namespace quarzel::validate::detail
