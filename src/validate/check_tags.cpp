// Per tag of a frame: is it defined (or local), deprecated, given twice
// under two names, looped where it may not be or unlooped where it must be
// looped; then its values.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "validate/check_context.hpp"

namespace quarzel::validate::detail {

namespace {

// Where each item was first given in the frame being checked: one slot per
// item of the rule set, kept by the thread from frame to frame and stamped
// with the frame's turn, so that no frame clears it or allocates.
class FirstPositions {
public:
    // Starts a frame of a rule set of `items` items.
    void begin(std::size_t items) {
        if (slots_.size() < items) slots_.resize(items);
        ++turn_;  // 64 bits: never back to a turn a slot holds
    }
    // Records `position` for `id` when it is the item's first in the frame;
    // otherwise gives (in `first`) the position it was first given at.
    bool first(std::uint32_t id, std::size_t position, std::size_t& first) noexcept {
        Slot& s = slots_[id];
        if (s.turn == turn_) {
            first = s.position;
            return false;
        }
        s = {turn_, position};
        return true;
    }

private:
    struct Slot {
        std::uint64_t turn = 0;
        std::size_t position = 0;
    };
    std::vector<Slot> slots_;
    std::uint64_t turn_ = 0;
};

// The items of a frame's tags (find_item() of each), looked up again only
// when the tags are not those of the thread's last frame, in the same order
// and under the same rule set: the small files of an archive repeat theirs.
class TagItems {
public:
    const std::vector<std::uint32_t>& of(const RuleSet& rules,
                                         const std::vector<std::string_view>& tags) {
        if (!same(rules, tags)) {
            owner_ = rules.identity;
            text_.clear();
            ends_.clear();
            ids_.clear();
            for (const std::string_view t : tags) {
                text_.append(t);
                ends_.push_back(text_.size());
                ids_.push_back(rules.find_item(t));
            }
        }
        return ids_;
    }

private:
    bool same(const RuleSet& rules, const std::vector<std::string_view>& tags) const noexcept {
        // owner_ keeps the token's address from being another set's; a rule
        // set never prepared has none.
        if (!rules.identity || rules.identity.get() != owner_.lock().get() ||
            tags.size() != ends_.size())
            return false;
        std::size_t start = 0;
        for (std::size_t i = 0; i < tags.size(); ++i) {
            if (std::string_view(text_).substr(start, ends_[i] - start) != tags[i]) return false;
            start = ends_[i];
        }
        return true;
    }

    std::weak_ptr<const int> owner_;  // the rule set's identity
    std::string text_;                // the tags one after another
    std::vector<std::size_t> ends_;   // where each ends in text_
    std::vector<std::uint32_t> ids_;
};

void tag_finding(Finding& f, std::string_view tag) {
    f.tags.emplace_back(tag);
    f.locate_tag = std::string(tag);
    f.locate_value = false;
}

}  // namespace

void check_tags(Context& cx, Frame& frame) {
    const RuleSet& rules = cx.rules;
    const FrameData& data = *frame.data;
    const std::size_t n = data.tag_order.size();
    frame.items.assign(n, kNone);
    thread_local FirstPositions first_positions;
    first_positions.begin(rules.items.size());
    thread_local TagItems tag_items;
    const std::vector<std::uint32_t>& ids = tag_items.of(rules, data.tag_order);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view tag = data.tag_order[i];
        const std::uint32_t id = ids[i];
        if (id == kNone) {
            const bool local = rules.is_local(tag);
            Finding& f = cx.add(frame, Code::Unknown, local ? Severity::Info : Severity::Warning,
                                std::string(local ? "local data name " : "unknown data name ") +
                                    std::string(tag) +
                                    (local ? " (not checked)" : " (not in the dictionary)"),
                                0, {});
            tag_finding(f, tag);
            continue;
        }
        frame.items[i] = id;
        const ItemRule& item = rules.items[id];
        if (std::size_t before = 0; !first_positions.first(id, i, before)) {
            Finding& f =
                cx.add_for_item(frame, Code::Alias, Severity::Error,
                                std::string(tag) + " and " + std::string(data.tag_order[before]) +
                                    " name the same item (" + item.name + "): give it once",
                                id, Check::Category);
            tag_finding(f, tag);
            f.tags.emplace_back(data.tag_order[before]);
        }
        if (item.deprecated) {
            Finding& f = cx.add_for_item(
                frame, Code::Deprecated, Severity::Warning,
                std::string(tag) + " is deprecated" +
                    (item.replaced_by.empty() ? std::string()
                                              : "; use " + item.replaced_by + " instead"),
                id, Check::Deprecated);
            tag_finding(f, tag);
        }
        if (item.category != kNone && rules.categories[item.category].deprecated) {
            const CategoryRule& cat = rules.categories[item.category];
            // Once per category and frame: at its first tag.
            bool first = true;
            for (std::size_t k = 0; k < i && first; ++k)
                first = frame.items[k] == kNone ||
                        rules.items[frame.items[k]].category != item.category;
            if (first) {
                Finding& f = cx.add_for_item(
                    frame, Code::Deprecated, Severity::Warning,
                    "category " + cat.name + " is deprecated" +
                        (cat.replaced_by.empty() ? std::string()
                                                 : "; use " + cat.replaced_by + " instead"),
                    id, Check::Deprecated);
                tag_finding(f, tag);
            }
        }
        const bool looped = frame.loop_of[i] >= 0;
        if (looped && item.list == ListPolicy::No) {
            Finding& f = cx.add_for_item(frame, Code::Looped, Severity::Error,
                                         std::string(tag) + " may not be given in a loop", id,
                                         Check::Looped);
            tag_finding(f, tag);
        } else if (!looped && item.list == ListPolicy::Yes) {
            Finding& f =
                cx.add_for_item(frame, Code::NotLooped, Severity::Error,
                                std::string(tag) + " must be given in a loop", id, Check::Looped);
            tag_finding(f, tag);
        }
        check_values(cx, frame, i);
    }
}

}  // namespace quarzel::validate::detail
