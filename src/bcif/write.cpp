#include "bcif/write.hpp"

#include <unordered_map>

#include "bcif/encode.hpp"
#include "bcif/msgpack_write.hpp"
#include "core/error.hpp"

namespace quarzel::bcif {

std::string item_category(std::string_view tag) {
    const std::size_t dot = tag.find('.');
    if (dot != std::string_view::npos) return std::string(tag.substr(0, dot));
    const std::size_t second = tag.find('_', 1);
    return std::string(second == std::string_view::npos ? tag : tag.substr(0, second));
}

std::string loop_category(std::span<const std::string_view> tags) {
    if (tags.empty()) return "_";
    std::string_view prefix = tags[0];
    for (std::string_view t : tags.subspan(1)) {
        std::size_t n = 0;
        while (n < prefix.size() && n < t.size() && prefix[n] == t[n]) ++n;
        prefix = prefix.substr(0, n);
    }
    const std::size_t cut = prefix.rfind('_');
    if (cut == std::string_view::npos || cut == 0) return item_category(tags[0]);
    return std::string(prefix.substr(0, cut));
}

namespace {

// The column of a tag: the part after its dot, or the whole tag (for a
// tag without a dot, or one whose part after the dot would itself begin
// with an underscore and so read as a whole tag).
std::string_view column_name(std::string_view tag) {
    const std::size_t dot = tag.find('.');
    if (dot == std::string_view::npos || (dot + 1 < tag.size() && tag[dot + 1] == '_')) return tag;
    return tag.substr(dot + 1);
}

struct Planned {
    std::string name;  // spelled
    std::size_t rows = 0;
    std::vector<std::size_t> tags;  // indices into the frame's tag order
};

class BlockWriter {
public:
    BlockWriter(const FrameIn& f, const WriteOptions& o) : f_(f), o_(o) {}

    OutBlock write() {
        for (std::size_t i = 0; i < f_.tag_order.size(); ++i) position_.emplace(f_.tag_order[i], i);
        if (f_.values.size() != f_.tag_order.size())
            fail("", "the tag order and the values differ in length");
        // The loop of each looped tag.
        std::unordered_map<std::string_view, std::size_t> loop_of;
        for (std::size_t l = 0; l < f_.loops.size(); ++l)
            for (std::string_view t : f_.loops[l]) loop_of.emplace(t, l);
        std::vector<bool> loop_done(f_.loops.size(), false);
        for (std::size_t i = 0; i < f_.tag_order.size(); ++i) {
            const std::string_view tag = f_.tag_order[i];
            auto l = loop_of.find(tag);
            if (l == loop_of.end()) {
                item(i);
            } else if (!loop_done[l->second]) {
                loop_done[l->second] = true;
                loop(f_.loops[l->second]);
            }
        }
        OutBlock out;
        out.header = spelled(f_.name);
        out.categories.reserve(plan_.size());
        for (const Planned& p : plan_) {
            OutCategory& c = out.categories.emplace_back();
            c.name = p.name;
            c.rows = static_cast<std::int64_t>(p.rows);
            c.columns.reserve(p.tags.size());
            for (std::size_t i : p.tags) {
                const std::string_view tag = f_.tag_order[i];
                const std::string name = spelled(tag);
                const Declared d = o_.declared ? o_.declared(tag) : Declared::Auto;
                c.columns.push_back(encode_column(std::string(column_name(name)), f_.values[i], d));
            }
        }
        return out;
    }

private:
    [[noreturn]] void fail(std::string_view tag, const std::string& what) const {
        std::string where = "block " + quoted(f_.name);
        if (!tag.empty()) where += ", tag " + quoted(tag);
        throw WriteError(where + ": " + what);
    }

    std::string spelled(std::string_view name) const {
        if (o_.spelling) {
            std::string s = o_.spelling(name);
            if (!s.empty()) return s;
        }
        return std::string(name);
    }

    std::size_t index_of(std::string_view tag) const {
        auto it = position_.find(tag);
        if (it == position_.end()) fail(tag, "a looped tag that is not in the tag order");
        return it->second;
    }

    // Marks a tag written; false when it already is (a tag given in two
    // loops is written with the first).
    bool take(std::size_t i) {
        if (taken_.size() < f_.tag_order.size()) taken_.resize(f_.tag_order.size(), false);
        if (taken_[i]) return false;
        taken_[i] = true;
        return true;
    }

    void item(std::size_t i) {
        if (!take(i)) return;
        const std::string_view tag = f_.tag_order[i];
        const std::string category = item_category(spelled(tag));
        const std::size_t rows = f_.values[i].size();
        // One category per name and row count.
        const std::string key = lower_key(category) + "#" + std::to_string(rows);
        auto [it, added] = items_.try_emplace(key, plan_.size());
        if (added) plan_.push_back({category, rows, {}});
        plan_[it->second].tags.push_back(i);
    }

    void loop(const std::vector<std::string_view>& all_tags) {
        std::vector<std::string_view> tags;
        for (std::string_view t : all_tags)
            if (take(index_of(t))) tags.push_back(t);
        if (tags.empty()) return;
        const std::size_t rows = f_.values[index_of(tags[0])].size();
        std::vector<std::string> spelled_tags;
        std::vector<std::string_view> dotless;
        for (std::string_view t : tags) {
            const std::size_t i = index_of(t);
            if (f_.values[i].size() != rows)
                fail(t, "its loop's tags have " + std::to_string(rows) + " and " +
                            std::to_string(f_.values[i].size()) + " values");
            spelled_tags.push_back(spelled(t));
        }
        for (const std::string& s : spelled_tags)
            if (s.find('.') == std::string::npos) dotless.push_back(s);
        const std::string dotless_category = dotless.empty() ? "" : loop_category(dotless);
        // The loop's categories, in the order of their first tag.
        std::unordered_map<std::string, std::size_t> mine;
        for (std::size_t k = 0; k < tags.size(); ++k) {
            const std::string& s = spelled_tags[k];
            const std::size_t dot = s.find('.');
            const std::string category =
                dot == std::string::npos ? dotless_category : s.substr(0, dot);
            auto [it, added] = mine.try_emplace(lower_key(category), plan_.size());
            if (added) plan_.push_back({category, rows, {}});
            plan_[it->second].tags.push_back(index_of(tags[k]));
        }
    }

    static std::string lower_key(std::string_view s) {
        std::string out(s);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        return out;
    }

    const FrameIn& f_;
    const WriteOptions& o_;
    std::unordered_map<std::string_view, std::size_t> position_;
    std::unordered_map<std::string, std::size_t> items_;
    std::vector<Planned> plan_;
    std::vector<bool> taken_;
};

}  // namespace

std::string write_file(std::span<const FrameIn> blocks, const WriteOptions& options) {
    std::vector<OutBlock> out;
    out.reserve(blocks.size());
    for (const FrameIn& f : blocks) out.push_back(BlockWriter(f, options).write());
    return pack_file(out, options.encoder);
}

}  // namespace quarzel::bcif
