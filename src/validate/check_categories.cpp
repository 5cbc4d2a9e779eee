// Loops and categories of one frame: each loop within one category, each
// category in one loop (or as single items), its mandatory and key items
// present, its keys unique, and DDL1's references (items that must share a
// loop with another).
#include <algorithm>
#include <unordered_map>

#include "core/number.hpp"
#include "validate/check_context.hpp"
#include "validate/key_hash.hpp"

namespace quarzel::validate::detail {

namespace {

struct Category {
    std::uint32_t id;
    std::vector<std::size_t> positions;  // tag positions in the frame, in order
};

// What the checks of a frame work in, kept by the thread from frame to
// frame and cleared (not freed) for the next: a small file's frame would
// otherwise allocate each of these anew.
struct CategoryScratch {
    std::vector<std::pair<std::uint32_t, std::size_t>> position;  // sorted by item
    std::vector<Category> categories;  // the first `used` are the frame's
    std::size_t used = 0;
    std::vector<std::uint32_t> loop_categories;
    std::vector<std::int32_t> loops;
    // check_unique()
    std::vector<const ValueColumn*> cols;
    std::vector<std::size_t> positions;
    std::vector<std::uint32_t> slots;
    std::vector<std::string_view> values;
    std::vector<std::uint64_t> keys;
    std::vector<const std::vector<std::uint64_t>*> hashed;
    std::vector<const std::uint64_t*> hashed_data;  // each one's values
    // check_references()
    std::vector<std::vector<std::uint32_t>> loop_keys;

    // The tables of a big loop are not kept for the frames that follow.
    void release_large() {
        constexpr std::size_t kKeptRows = std::size_t{1} << 14;
        if (values.capacity() > kKeptRows) std::vector<std::string_view>().swap(values);
        if (keys.capacity() > kKeptRows) std::vector<std::uint64_t>().swap(keys);
        if (slots.capacity() > 4 * kKeptRows) std::vector<std::uint32_t>().swap(slots);
    }
};

// Whether each value of `col` is a count written plainly (digits, no
// leading zero but in 0 itself) above the one before, as row numbers are:
// values that are then all different (as texts, folded or as numbers),
// with no table of them built.
bool rising_counts(const ValueColumn& col) noexcept {
    const RefColumn* refs = col.refs_column();
    if (!refs || !refs->all_slices()) return false;
    // Below 10^15: each count a number of its own however it is compared
    // (as a double too).
    constexpr std::size_t kMostDigits = 15;
    std::uint64_t last = 0;
    for (std::size_t r = 0; r < refs->size(); ++r) {
        const std::string_view v = (*refs)[r].text;
        if (v.empty() || v.size() > kMostDigits || (v[0] == '0' && v.size() > 1)) return false;
        std::uint64_t n = 0;
        for (const char c : v) {
            const unsigned d = static_cast<unsigned char>(c - '0');
            if (d > 9) return false;
            n = n * 10 + d;
        }
        if (r != 0 && n <= last) return false;
        last = n;
    }
    return true;
}

void locate_tag(Finding& f, std::string_view tag) {
    f.locate_tag = std::string(tag);
    f.locate_value = false;
}

class CategoryCheck {
public:
    CategoryCheck(Context& cx, const Frame& frame, ColumnHashes& hashes, CategoryScratch& scratch)
        : cx_(cx),
          rules_(cx.rules),
          frame_(frame),
          position_(scratch.position),
          s_(scratch),
          hashes_(hashes) {
        position_.clear();
        s_.used = 0;
        for (std::size_t i = 0; i < frame.items.size(); ++i) {
            const std::uint32_t id = frame.items[i];
            if (id == kNone) continue;
            position_.push_back({id, i});
            const std::uint32_t cat = rules_.items[id].category;
            if (cat == kNone) continue;
            const auto used = s_.categories.begin() + static_cast<std::ptrdiff_t>(s_.used);
            auto it = std::find_if(s_.categories.begin(), used,
                                   [&](const Category& c) { return c.id == cat; });
            if (it == used) {
                if (s_.used == s_.categories.size()) s_.categories.emplace_back();
                it = s_.categories.begin() + static_cast<std::ptrdiff_t>(s_.used++);
                it->id = cat;
                it->positions.clear();
            }
            it->positions.push_back(i);
        }
        // By item, then position: the first position of an item given twice.
        std::sort(position_.begin(), position_.end());
    }

    void run() {
        check_loops();
        for (std::size_t c = 0; c < s_.used; ++c) check_category(s_.categories[c]);
        check_references();
        check_su_items();
    }

private:
    std::string_view tag_at(std::size_t p) const { return frame_.data->tag_order[p]; }

    std::size_t position_of(std::uint32_t item) const {
        auto it = std::lower_bound(position_.begin(), position_.end(), item,
                                   [](const std::pair<std::uint32_t, std::size_t>& a,
                                      std::uint32_t b) { return a.first < b; });
        return it == position_.end() || it->first != item ? static_cast<std::size_t>(-1)
                                                          : it->second;
    }

    // Each loop holds the items of one category.
    void check_loops() {
        const FrameData& data = *frame_.data;
        for (std::size_t li = 0; li < data.loops.size(); ++li) {
            std::vector<std::uint32_t>& cats = s_.loop_categories;
            cats.clear();
            std::uint32_t first_item = kNone;
            std::string_view stray;
            for (std::string_view tag : data.loops[li]) {
                const std::size_t p = data.position(tag);
                if (p >= frame_.items.size() || frame_.items[p] == kNone) continue;
                const std::uint32_t cat = rules_.items[frame_.items[p]].category;
                if (cat == kNone) continue;
                if (cats.empty()) first_item = frame_.items[p];
                if (std::find(cats.begin(), cats.end(), cat) == cats.end()) {
                    cats.push_back(cat);
                    if (cats.size() == 2) stray = tag;
                }
            }
            if (cats.size() < 2) continue;
            std::string names;
            for (std::size_t i = 0; i < cats.size(); ++i)
                names += (i ? ", " : "") + rules_.categories[cats[i]].name;
            Finding& f = cx_.add_for_item(frame_, Code::LoopCategory, Severity::Error,
                                          "a loop mixes the categories " + names, first_item,
                                          Check::Category);
            for (std::string_view tag : data.loops[li]) f.tags.emplace_back(tag);
            locate_tag(f, stray);
        }
    }

    void check_category(const Category& c) {
        const CategoryRule& cat = rules_.categories[c.id];
        const FrameData& data = *frame_.data;
        std::vector<std::int32_t>& loops = s_.loops;
        loops.clear();
        for (std::size_t p : c.positions)
            if (std::find(loops.begin(), loops.end(), frame_.loop_of[p]) == loops.end())
                loops.push_back(frame_.loop_of[p]);
        const bool consistent = loops.size() == 1;
        const bool looped = consistent && loops[0] >= 0;
        const std::string_view first_tag = tag_at(c.positions.front());
        if (!consistent && cat.one_loop) {
            const bool singles = std::find(loops.begin(), loops.end(), -1) != loops.end();
            const std::size_t n_loops = loops.size() - (singles ? 1 : 0);
            Finding& f = cx_.add(frame_, Code::LoopCategory, Severity::Error,
                                 "category " + cat.name + " is split over " +
                                     std::to_string(n_loops) + " loop" + (n_loops == 1 ? "" : "s") +
                                     (singles ? " and single items" : ""),
                                 cat.dict, rules_.rule_of_dict(cat.dict, Check::Category));
            f.category = cat.name;
            for (std::size_t p : c.positions) f.tags.emplace_back(tag_at(p));
            locate_tag(f, first_tag);
        }
        const bool keys_required =
            cat.key_policy == KeyPolicy::Always || (cat.key_policy == KeyPolicy::Looped && looped);
        const auto is_required_key = [&](std::uint32_t item) {
            return keys_required &&
                   std::find(cat.keys.begin(), cat.keys.end(), item) != cat.keys.end();
        };
        for (std::uint32_t m : cat.mandatory_items) {
            if (position_of(m) != static_cast<std::size_t>(-1) || is_required_key(m)) continue;
            Finding& f = cx_.add_for_item(frame_, Code::Mandatory, Severity::Error,
                                          "mandatory item " + rules_.items[m].name +
                                              " of category " + cat.name + " is missing",
                                          m, Check::Mandatory);
            f.tags.push_back(rules_.items[m].name);
            locate_tag(f, first_tag);
        }
        if (keys_required) {
            for (std::uint32_t k : cat.keys) {
                const ItemRule& key = rules_.items[k];
                if (position_of(k) != static_cast<std::size_t>(-1) || key.has_default ||
                    key.mandatory == Mandatory::Implicit)
                    continue;
                Finding& f = cx_.add_for_item(
                    frame_, Code::Key, Severity::Error,
                    "category " + cat.name + " lacks its key item " + key.name, k, Check::Key);
                f.tags.push_back(key.name);
                locate_tag(f, first_tag);
            }
        }
        if (!cat.keys.empty()) check_unique(cat, cat.keys, Check::Key);
        for (const auto& set : cat.unique_sets) check_unique(cat, set, Check::Unique);
        (void)data;
    }

    // No two rows with equal values of all of `items` (compared as each
    // item compares values), when they are all given, in one loop.
    void check_unique(const CategoryRule& cat, const std::vector<std::uint32_t>& items,
                      Check check) {
        const FrameData& data = *frame_.data;
        std::vector<const ValueColumn*>& cols = s_.cols;
        std::vector<std::size_t>& positions = s_.positions;
        cols.clear();
        positions.clear();
        for (std::uint32_t item : items) {
            const std::size_t p = position_of(item);
            if (p == static_cast<std::size_t>(-1)) return;
            if (!positions.empty() && frame_.loop_of[p] != frame_.loop_of[positions[0]]) return;
            cols.push_back(&data.columns[p]);
            positions.push_back(p);
        }
        const std::size_t rows = cols[0]->size();
        if (rows < 2) return;
        for (const ValueColumn* col : cols)
            if (col->size() != rows) return;
        // One key of rising row numbers: unique however the item compares.
        if (cols.size() == 1 && rising_counts(*cols[0])) return;
        if (cols.size() == 1 && rules_.items[items[0]].compare == Compare::Exact) {
            // One key compared exactly: the values themselves, no copies, in
            // an open-addressing table of row numbers placed by the column's
            // hashes (shared with the links that name it).
            std::size_t size = 16;
            while (size < 2 * rows) size *= 2;
            std::vector<std::uint32_t>& slots = s_.slots;  // row + 1, 0 free
            slots.assign(size, 0);
            std::vector<std::string_view>& values = s_.values;
            values.assign(rows, std::string_view());
            const std::vector<std::uint64_t>& hashed = hashes_.of(*cols[0], Compare::Exact);
            // The values, a column of plain slices read in one pass.
            const RefColumn* refs =
                cols[0]->side_values().empty() ? cols[0]->refs_column() : nullptr;
            if (refs) {
                std::string_view* to = values.data();
                refs->for_each_slice([&](std::string_view t) {
                    bool null;
                    *to++ = scalar_text(ValueRef{t}, null);
                });
            } else {
                for (std::size_t r = 0; r < rows; ++r) {
                    bool null;
                    if (hashed[r] != ColumnHashes::kCompound)
                        values[r] = scalar_text((*cols[0])[r], null);
                }
            }
            for (std::size_t r = 0; r < rows; ++r) {
                if (hashed[r] == ColumnHashes::kCompound) continue;
                const std::string_view v = values[r];
                // Bits 0 and 1 mark nulls and lists (of()): the place from above them.
                for (std::size_t s = (hashed[r] >> 2) & (size - 1);; s = (s + 1) & (size - 1)) {
                    if (slots[s] == 0) {
                        slots[s] = static_cast<std::uint32_t>(r + 1);
                        break;
                    }
                    if (values[slots[s] - 1] == v) {
                        duplicate(cat, items, positions, check, r, slots[s] - 1, std::string(v));
                        break;
                    }
                }
            }
            return;
        }
        // Rows by the hashes of their components (each column hashed once);
        // rows whose hashes agree are compared value by value.
        std::vector<const std::vector<std::uint64_t>*>& hashed = s_.hashed;
        hashed.clear();
        s_.hashed_data.clear();
        for (std::size_t k = 0; k < cols.size(); ++k) {
            hashed.push_back(&hashes_.of(*cols[k], rules_.items[items[k]].compare));
            s_.hashed_data.push_back(hashed.back()->data());
        }
        std::size_t size = 16;
        while (size < 2 * rows) size *= 2;
        std::vector<std::uint32_t>& slots = s_.slots;  // row + 1, 0 free
        slots.assign(size, 0);
        std::vector<std::uint64_t>& keys = s_.keys;
        keys.assign(rows, 0);
        // The loop reads through plain pointers, which nothing it writes
        // can move.
        const std::size_t nk = hashed.size();
        const std::uint64_t* const* const column = s_.hashed_data.data();
        std::uint64_t* const key = keys.data();
        std::uint32_t* const slot = slots.data();
        const std::size_t mask = size - 1;
        for (std::size_t r = 0; r < rows; ++r) {
            KeyHash h;
            h.reset();
            std::size_t k = 0;
            for (; k < nk; ++k) {
                const std::uint64_t x = column[k][r];
                if (x == ColumnHashes::kCompound) break;
                h.add(x);
            }
            if (k < nk) continue;  // a list or table in the key: not compared
            key[r] = h.value();
            // Bit 0 of a key is always set: the place from above it.
            for (std::size_t s = (key[r] >> 1) & mask;; s = (s + 1) & mask) {
                if (slot[s] == 0) {
                    slot[s] = static_cast<std::uint32_t>(r + 1);
                    break;
                }
                const std::size_t first = slot[s] - 1;
                if (key[first] == key[r] && same_key(cols, items, first, r)) {
                    std::string shown_key;
                    for (std::size_t c = 0; c < cols.size(); ++c) {
                        bool null;
                        if (c) shown_key += ", ";
                        shown_key += scalar_text((*cols[c])[r], null);
                    }
                    duplicate(cat, items, positions, check, r, first, shown_key);
                    break;
                }
            }
        }
    }

    // Rows `a` and `b` agree on every column, as the items compare values.
    bool same_key(const std::vector<const ValueColumn*>& cols,
                  const std::vector<std::uint32_t>& items, std::size_t a, std::size_t b) {
        std::string ka, kb;
        for (std::size_t k = 0; k < cols.size(); ++k) {
            bool null;
            const std::string_view va = scalar_text((*cols[k])[a], null);
            const std::string_view vb = scalar_text((*cols[k])[b], null);
            const Compare c = rules_.items[items[k]].compare;
            if (!compare_key(va, c, ka)) ka.assign(va);
            if (!compare_key(vb, c, kb)) kb.assign(vb);
            if (ka != kb) return false;
        }
        return true;
    }

    void duplicate(const CategoryRule& cat, const std::vector<std::uint32_t>& items,
                   const std::vector<std::size_t>& positions, Check check, std::size_t r,
                   std::size_t first, const std::string& shown_key) {
        Finding& f = cx_.add_for_item(frame_, Code::DuplicateKey, Severity::Error,
                                      "row " + std::to_string(r) + " repeats the " +
                                          (items.size() == 1 ? "key " : "key combination ") +
                                          join_items(rules_, items) + " = " + shown(shown_key) +
                                          " of row " + std::to_string(first),
                                      items[0], check);
        f.category = cat.name;
        for (std::size_t p : positions) f.tags.emplace_back(tag_at(p));
        f.value = shown_key;
        f.row = static_cast<std::int64_t>(r);
        f.locate_tag = std::string(tag_at(positions[0]));
        f.locate_value = true;
    }

    // DDL1 _list_reference: a looped item needs the items it refers to in
    // its loop (one finding per missing item and loop), and the items a
    // loop's items refer to are that loop's key: unique together.
    void check_references() {
        std::vector<std::vector<std::uint32_t>>& loop_keys = s_.loop_keys;
        if (loop_keys.size() < frame_.data->loops.size())
            loop_keys.resize(frame_.data->loops.size());
        for (std::size_t li = 0; li < frame_.data->loops.size(); ++li) loop_keys[li].clear();
        for (std::size_t i = 0; i < frame_.items.size(); ++i) {
            const std::uint32_t id = frame_.items[i];
            if (id == kNone || frame_.loop_of[i] < 0) continue;
            auto& keys = loop_keys[static_cast<std::size_t>(frame_.loop_of[i])];
            for (std::uint32_t r : rules_.items[id].references) {
                const std::size_t rp = position_of(r);
                if (rp != static_cast<std::size_t>(-1) && frame_.loop_of[rp] == frame_.loop_of[i] &&
                    std::find(keys.begin(), keys.end(), r) == keys.end())
                    keys.push_back(r);
            }
        }
        for (std::size_t li = 0; li < frame_.data->loops.size(); ++li) {
            std::vector<std::uint32_t>& keys = loop_keys[li];
            if (keys.empty()) continue;
            std::sort(keys.begin(), keys.end(), [&](std::uint32_t a, std::uint32_t b) {
                return position_of(a) < position_of(b);
            });
            const std::uint32_t cat = rules_.items[keys[0]].category;
            if (cat != kNone) check_unique(rules_.categories[cat], keys, Check::Reference);
        }
        missing_references();
    }

    // DDLm SU items: a standard uncertainty is never negative, and one given
    // in its own item is not given again in parentheses on the measurand.
    void check_su_items() {
        const FrameData& data = *frame_.data;
        for (std::size_t i = 0; i < frame_.items.size(); ++i) {
            const std::uint32_t id = frame_.items[i];
            if (id == kNone || rules_.items[id].su_of == kNone) continue;
            const ValueColumn& su = data.columns[i];
            const std::size_t mp = position_of(rules_.items[id].su_of);
            const ValueColumn* measured = mp != static_cast<std::size_t>(-1) &&
                                                  frame_.loop_of[mp] == frame_.loop_of[i] &&
                                                  data.columns[mp].size() == su.size()
                                              ? &data.columns[mp]
                                              : nullptr;
            const bool looped = frame_.loop_of[i] >= 0 || su.size() > 1;
            for (std::size_t r = 0; r < su.size(); ++r) {
                const ValueRef ref = su[r];
                bool null;
                const std::string_view v =
                    ref.compound ? std::string_view() : scalar_text(ref, null);
                if (ref.compound || null) continue;
                const NumberResult n = parse_number(v);
                std::string message;
                Severity severity = Severity::Error;
                if (n.status == NumberStatus::number && n.value < 0) {
                    message = shown(v) + " is negative; a standard uncertainty never is";
                } else if (measured) {
                    const ValueRef m = (*measured)[r];
                    bool mnull;
                    const std::string_view mv =
                        m.compound ? std::string_view() : scalar_text(m, mnull);
                    if (m.compound || mnull || mv.find('(') == std::string_view::npos ||
                        !parse_number(mv).has_su)
                        continue;
                    message = "the su of " + std::string(data.tag_order[mp]) + " = " + shown(mv) +
                              " is given again here";
                    severity = Severity::Warning;
                } else {
                    continue;
                }
                Finding& f =
                    cx_.add_for_item(frame_, Code::Su, severity, std::move(message), id, Check::Su);
                f.tags.emplace_back(data.tag_order[i]);
                f.value = std::string(v);
                f.row = looped ? static_cast<std::int64_t>(r) : -1;
                f.locate_tag = std::string(data.tag_order[i]);
                f.locate_value = true;
            }
        }
    }

    // Items a looped item needs beside it in its loop: those it refers to
    // (key, _list_reference), then the mandatory items defined with it
    // (mandatory, _list_mandatory) that are not already reported.
    void missing_references() {
        struct Missing {
            std::int32_t loop;
            std::uint32_t ref;
            bool mandatory;
            std::vector<std::size_t> needers;
        };
        std::vector<Missing> missing;
        const auto note = [&](std::size_t i, std::uint32_t r, bool mandatory) {
            const std::uint32_t id = frame_.items[i];
            const std::int32_t loop = frame_.loop_of[i];
            const std::size_t rp = position_of(r);
            if (r == id || (rp != static_cast<std::size_t>(-1) && frame_.loop_of[rp] == loop))
                return;
            auto it = std::find_if(missing.begin(), missing.end(),
                                   [&](const Missing& m) { return m.loop == loop && m.ref == r; });
            if (it == missing.end()) {
                missing.push_back({loop, r, mandatory, {}});
                it = missing.end() - 1;
            } else if (it->mandatory != mandatory) {
                return;  // already missing as a reference
            }
            it->needers.push_back(i);
        };
        for (bool mandatory : {false, true}) {
            for (std::size_t i = 0; i < frame_.items.size(); ++i) {
                const std::uint32_t id = frame_.items[i];
                if (id == kNone || frame_.loop_of[i] < 0) continue;
                const ItemRule& item = rules_.items[id];
                for (std::uint32_t r : mandatory ? item.companions : item.references)
                    note(i, r, mandatory);
            }
        }
        for (const Missing& m : missing) {
            std::string needers;
            for (std::size_t k = 0; k < m.needers.size() && k < 4; ++k)
                needers += (k ? ", " : "") + std::string(tag_at(m.needers[k]));
            if (m.needers.size() > 4) needers += ", ...";
            const std::uint32_t first = frame_.items[m.needers[0]];
            Finding& f = cx_.add_for_item(
                frame_, m.mandatory ? Code::Mandatory : Code::Key, Severity::Error,
                rules_.items[m.ref].name + " is missing from the loop of " + needers +
                    (m.needers.size() == 1 ? ", which needs it" : ", which need it"),
                first, m.mandatory ? Check::Mandatory : Check::Reference);
            f.tags.push_back(rules_.items[m.ref].name);
            for (std::size_t p : m.needers) f.tags.emplace_back(tag_at(p));
            locate_tag(f, tag_at(m.needers[0]));
        }
    }

    Context& cx_;
    const RuleSet& rules_;
    const Frame& frame_;
    std::vector<std::pair<std::uint32_t, std::size_t>>& position_;  // sorted by item
    CategoryScratch& s_;
    ColumnHashes& hashes_;
};

}  // namespace

void check_categories(Context& cx, const Frame& frame, ColumnHashes& hashes) {
    thread_local CategoryScratch scratch;
    CategoryCheck(cx, frame, hashes, scratch).run();
    scratch.release_large();
}

}  // namespace quarzel::validate::detail
