#include "validate/compile_ddl2.hpp"

#include <array>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/builder.hpp"
#include "core/lowercase.hpp"
#include "core/number.hpp"

namespace quarzel::validate {

namespace {

using Text = std::optional<std::string_view>;

// The scalar at row `i` of `tag`, or nothing (absent, `?`, `.`, a list).
Text at(const FrameData& f, std::string_view tag, std::size_t i) {
    const ValueColumn* col = f.find(tag);
    if (!col || i >= col->size()) return std::nullopt;
    const ValueRef ref = (*col)[i];
    if (ref.compound) return std::nullopt;
    if (ref.text.size() == 1 && (ref.text[0] == '?' || ref.text[0] == '.')) return std::nullopt;
    return stored_value_text(ref.text);
}

std::size_t rows_of(const FrameData& f, std::string_view tag) {
    const ValueColumn* col = f.find(tag);
    return col ? col->size() : 0;
}

std::vector<std::string_view> texts(const FrameData& f, std::string_view tag) {
    std::vector<std::string_view> out;
    for (std::size_t i = 0, n = rows_of(f, tag); i < n; ++i)
        if (Text t = at(f, tag, i)) out.push_back(*t);
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

bool contains_upper(std::string_view text, std::string_view word) {
    if (word.size() > text.size()) return false;
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i)
        if (iequals(text.substr(i, word.size()), word)) return true;
    return false;
}

// Rows of a definition's loop that belong to item `key`: all of them when
// the loop has no `name_tag` column, else those naming it.
template <std::size_t N>
std::vector<std::array<Text, N>> rows(const FrameData& f, std::string_view name_tag,
                                      std::string_view key,
                                      const std::array<std::string_view, N>& tags) {
    std::vector<std::array<Text, N>> out;
    std::size_t n = 0;
    for (std::string_view t : tags) n = std::max(n, rows_of(f, t));
    if (n == 0) return out;
    const ValueColumn* names = name_tag.empty() ? nullptr : f.find(name_tag);
    for (std::size_t i = 0; i < n; ++i) {
        if (names && i < names->size()) {
            const ValueRef ref = (*names)[i];
            if (!ref.compound && !iequals(stored_value_text(ref.text), key)) continue;
        }
        std::array<Text, N> row;
        for (std::size_t k = 0; k < N; ++k) row[k] = at(f, tags[k], i);
        out.push_back(row);
    }
    return out;
}

bool is_number(std::string_view v) {
    return parse_number(v).status == NumberStatus::number;
}

// Records in the rule-set text format.
class Records {
public:
    void start(std::string_view kind) { out_ += kind; }
    void field(std::string_view key, std::string_view value) {
        out_ += '\t';
        out_ += key;
        out_ += '=';
        // Runs without a character to escape go in whole.
        while (!value.empty()) {
            std::size_t k = 0;
            while (k < value.size() && !escaped(value[k])) ++k;
            out_.append(value.substr(0, k));
            if (k == value.size()) break;
            switch (value[k]) {
                case '\\':
                    out_ += "\\\\";
                    break;
                case '\t':
                    out_ += "\\t";
                    break;
                case '\n':
                    out_ += "\\n";
                    break;
                default:
                    out_ += "\\r";
            }
            value.remove_prefix(k + 1);
        }
    }
    void field(std::string_view key, std::size_t value) { field(key, std::to_string(value)); }
    void end() { out_ += '\n'; }
    std::string& text() { return out_; }

private:
    static bool escaped(char c) noexcept {
        return c == '\\' || c == '\t' || c == '\n' || c == '\r';
    }

    std::string out_;
};

struct Category {
    std::string name;
    bool mandatory = false;
    bool deprecated = false;
    bool defined = false;           // by a category frame (else perhaps an earlier dictionary's)
    std::vector<std::string> keys;  // item numbers, or "@name" for items not defined here
};

struct Own {
    const ParsedSaveFrame* own = nullptr;
    const ParsedSaveFrame* listed = nullptr;  // first frame listing it, with its row there
    std::size_t row = 0;
};

class Ddl2 {
public:
    Ddl2(const ParsedCif& doc, bool deposition) : doc_(doc), deposition_(deposition) {}

    std::string run(std::string_view fallback_name) {
        const ParsedBlock* head = nullptr;
        for (const ParsedBlock& b : doc_.blocks)
            if (!b.save_frames.empty()) {
                head = &b;
                break;
            }
        if (!head && !doc_.blocks.empty()) head = &doc_.blocks.front();
        std::string_view title = fallback_name, version;
        if (head) {
            if (Text t = at(head->data, "_dictionary.title", 0))
                title = *t;
            else if (Text t2 = at(head->data, "_datablock.id", 0))
                title = *t2;
            if (Text v = at(head->data, "_dictionary.version", 0)) version = *v;
        }
        dict_.start("dict");
        dict_.field("name", title);
        dict_.field("version", version);
        dict_.field("ddl", "ddl2");
        for (const auto& [check, attribute] : kRules)
            dict_.field("rule." + std::string(check), attribute);
        dict_.end();
        read_types();
        for (const ParsedBlock& b : doc_.blocks)
            for (const ParsedSaveFrame& f : b.save_frames) frames_.push_back(&f);
        read_categories();
        read_items();
        read_keys();
        read_links();
        std::string out = "quarzel-rules 1\n";
        out += dict_.text();
        out += patterns_.text();
        for (const Category& c : categories_) {
            Records r;
            r.start("category");
            r.field("name", c.name);
            r.field("keys", "always");
            if (c.mandatory) r.field("mandatory", "1");
            if (c.deprecated) r.field("deprecated", "1");
            if (!c.defined) r.field("defined", "0");
            for (const std::string& k : c.keys) r.field("key", k);
            r.end();
            out += r.text();
        }
        out += items_.text();
        out += links_.text();
        out += problems_.text();
        return out;
    }

private:
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 17> kRules{{
        {"type", "_item_type.code"},
        {"construct", "_item_type_list.construct"},
        {"enumeration", "_item_enumeration.value"},
        {"range", "_item_range"},
        {"su", "_item_type_conditions.code"},
        {"mandatory", "_item.mandatory_code"},
        {"key", "_category_key.name"},
        {"unique", "_category_key.name"},
        {"link", "_item_linked"},
        {"category", "_item.category_id"},
        {"deprecated", "_item_related.function_code"},
        {"category_mandatory", "_category.mandatory_code"},
        {"looped", "_item.name"},
        {"container", "_item_type.code"},
        {"dimension", "_item_type.code"},
        {"reference", "_item_linked"},
        {"scope", "_item.name"},
    }};

    void problem(std::string_view definition, const std::string& message) {
        problems_.start("problem");
        problems_.field("definition", definition);
        problems_.field("message", message);
        problems_.end();
    }

    std::size_t pattern(std::string_view source) {
        auto [it, fresh] = pattern_ids_.try_emplace(std::string(source), pattern_ids_.size());
        if (fresh) {
            patterns_.start("pattern");
            patterns_.field("source", source);
            patterns_.end();
        }
        return it->second;
    }

    std::size_t category(std::string_view name) {
        std::string key = lower(name);
        auto [it, fresh] = category_ids_.try_emplace(key, categories_.size());
        if (fresh) categories_.push_back({key, false, false, false, {}});
        return it->second;
    }

    void read_types() {
        for (const ParsedBlock& b : doc_.blocks) {
            const FrameData& t = b.data;
            for (std::size_t i = 0, n = rows_of(t, "_item_type_list.code"); i < n; ++i) {
                Text code = at(t, "_item_type_list.code", i);
                if (!code) continue;
                Text prim = at(t, "_item_type_list.primitive_code", i);
                Text cons = at(t, "_item_type_list.construct", i);
                types_[lower(*code)] = {
                    prim ? lower(*prim) : std::string("char"),
                    cons ? std::optional<std::string>(std::string(*cons)) : std::nullopt};
            }
        }
    }

    void read_categories() {
        for (const ParsedSaveFrame* f : frames_) {
            Text cid = at(f->data, "_category.id", 0);
            if (!cid) continue;
            Category& c = categories_[category(*cid)];
            c.defined = true;
            Text m = at(f->data, "_category.mandatory_code", 0);
            c.mandatory = m && iequals(*m, "yes");
            for (std::string_view ctx : texts(f->data, "_pdbx_category_context.type"))
                c.deprecated = c.deprecated || contains_upper(ctx, "WWPDB_DEPRECATED");
        }
    }

    void read_items() {
        std::unordered_map<std::string, Own> by_name;
        std::vector<std::string> order;
        for (const ParsedSaveFrame* f : frames_) {
            const ValueColumn* names = f->data.find("_item.name");
            if (!names) continue;
            for (std::size_t i = 0; i < names->size(); ++i) {
                const ValueRef ref = (*names)[i];
                if (ref.compound) continue;
                std::string key = lower(stored_value_text(ref.text));
                auto [it, fresh] = by_name.try_emplace(key);
                if (fresh) order.push_back(key);
                Own& o = it->second;
                if (f->name == key) {
                    o.own = f;
                    if (!o.listed) o.listed = f, o.row = i;
                } else if (!o.listed || o.listed == o.own) {
                    o.listed = f;
                    o.row = i;
                }
            }
        }
        for (const std::string& key : order) item(key, by_name[key]);
    }

    void item(const std::string& key, const Own& o) {
        const ParsedSaveFrame* frame = o.own ? o.own : o.listed;
        const FrameData& t = frame->data;
        const FrameData* lent = o.listed != frame ? &o.listed->data : nullptr;
        std::size_t i = o.row;
        if (o.own) {
            i = 0;
            const ValueColumn* names = t.find("_item.name");
            for (std::size_t k = 0; names && k < names->size(); ++k) {
                const ValueRef ref = (*names)[k];
                if (!ref.compound && lower(stored_value_text(ref.text)) == key) {
                    i = k;
                    break;
                }
            }
        }
        const Text written = at(t, "_item.name", i);
        const std::string name(written ? *written : std::string_view(key));
        const std::string where = "save_" + frame->name;
        std::optional<std::string_view> category = at(t, "_item.category_id", i);
        std::string derived;
        if (!category) {
            const std::size_t dot = name.find('.');
            if (dot != std::string::npos && dot > 1) {
                derived = name.substr(1, dot - 1);
                category = derived;
            }
        }
        std::optional<std::size_t> cat;
        if (category) cat = this->category(*category);
        Text mandatory = at(t, "_item.mandatory_code", i);
        std::string_view mandatory_code = "no";
        if (mandatory && iequals(*mandatory, "yes")) mandatory_code = "yes";
        if (mandatory && iequals(*mandatory, "implicit")) mandatory_code = "implicit";

        Text code = at(t, "_item_type.code", 0);
        if (!code && lent) code = at(*lent, "_item_type.code", 0);
        std::vector<std::string_view> enumeration;
        for (const auto& r : rows<1>(t, "_item_enumeration.name", key, {"_item_enumeration.value"}))
            if (r[0]) enumeration.push_back(*r[0]);
        auto ranges =
            rows<2>(t, "_item_range.name", key, {"_item_range.minimum", "_item_range.maximum"});
        std::vector<std::pair<std::string_view, std::string_view>> overrides;
        if (deposition_) {
            for (const auto& r : rows<1>(t, "_pdbx_item_type.name", key, {"_pdbx_item_type.code"}))
                if (r[0]) {
                    code = r[0];
                    overrides.push_back({"type", "_pdbx_item_type.code"});
                    overrides.push_back({"construct", "_pdbx_item_type.code"});
                    break;
                }
            std::vector<std::string_view> penum;
            for (const auto& r :
                 rows<1>(t, "_pdbx_item_enumeration.name", key, {"_pdbx_item_enumeration.value"}))
                if (r[0]) penum.push_back(*r[0]);
            if (!penum.empty()) {
                enumeration = std::move(penum);
                overrides.push_back({"enumeration", "_pdbx_item_enumeration.value"});
            }
            auto prange = rows<2>(t, "_pdbx_item_range.name", key,
                                  {"_pdbx_item_range.minimum", "_pdbx_item_range.maximum"});
            if (!prange.empty()) {
                ranges = std::move(prange);
                overrides.push_back({"range", "_pdbx_item_range"});
            }
        }
        Records& r = items_;
        r.start("item");
        r.field("name", name);
        if (cat) r.field("cat", *cat);
        r.field("mandatory", mandatory_code);
        if (code) {
            auto it = types_.find(lower(*code));
            if (it == types_.end()) {
                problem(where, "type code '" + std::string(*code) + "' of " + name +
                                   " is not in _item_type_list");
            } else {
                r.field("type_name", *code);
                if (it->second.construct) r.field("pattern", pattern(*it->second.construct));
                const std::string& prim = it->second.primitive;
                r.field("compare", prim == "uchar" ? "fold" : prim == "numb" ? "numeric" : "exact");
            }
        }
        for (std::string_view e : enumeration) r.field("enum", e);
        bool any_range = false;
        for (const auto& row : ranges) {
            const std::string_view lo = row[0] ? *row[0] : std::string_view();
            const std::string_view hi = row[1] ? *row[1] : std::string_view();
            if ((!lo.empty() && !is_number(lo)) || (!hi.empty() && !is_number(hi))) {
                problem(where, "range " + std::string(row[0] ? lo : "?") + ":" +
                                   std::string(row[1] ? hi : "?") + " of " + name +
                                   " is not numeric");
                continue;
            }
            r.field("range", std::string(lo) + ":" + std::string(hi));
            any_range = true;
        }
        if (any_range) r.field("ranges", "exclusive");
        bool deprecated = false;
        std::string replaced;
        for (const auto& row :
             rows<2>(t, "_item_related.name", key,
                     {"_item_related.related_name", "_item_related.function_code"}))
            if (row[1] && iequals(*row[1], "replacedby") && row[0]) {
                deprecated = true;
                replaced += (replaced.empty() ? "" : ", ") + std::string(*row[0]);
            }
        if (!replaced.empty()) r.field("replaced", replaced);
        for (std::string_view ctx : texts(t, "_pdbx_item_context.type"))
            deprecated = deprecated || contains_upper(ctx, "WWPDB_DEPRECATED");
        if (deprecated) r.field("deprecated", "1");
        for (const auto& [check, attribute] : overrides)
            r.field("rule." + std::string(check), attribute);
        item_ids_.emplace(key, item_ids_.size());
        if (o.own) {
            for (std::string_view alias : texts(t, "_item_aliases.alias_name")) {
                std::string a = lower(alias);
                if (a != key && !aliases_.count(a)) {
                    aliases_.insert(a);
                    r.field("alias", alias);
                }
            }
        }
        r.end();
    }

    std::optional<std::size_t> item_id(std::string_view name) const {
        auto it = item_ids_.find(lower(name));
        if (it == item_ids_.end()) return std::nullopt;
        return it->second;
    }

    // An item's number, or "@name" for one this dictionary does not define.
    std::string ref(std::string_view name) const {
        if (auto id = item_id(name)) return std::to_string(*id);
        return "@" + std::string(name);
    }

    void read_keys() {
        for (const ParsedSaveFrame* f : frames_) {
            Text cid = at(f->data, "_category.id", 0);
            if (!cid) continue;
            Category& c = categories_[category(*cid)];
            for (std::string_view k : texts(f->data, "_category_key.name")) {
                if (auto id = item_id(k))
                    c.keys.push_back(std::to_string(*id));
                else  // perhaps an earlier dictionary's
                    c.keys.push_back("@" + std::string(k));
            }
        }
    }

    void read_links() {
        std::unordered_map<std::string, bool> grouped;  // "child\tparent"
        for (const ParsedBlock& b : doc_.blocks) {
            const FrameData& t = b.data;
            std::unordered_map<std::string, std::string_view> labels;
            for (const auto& r : rows<3>(
                     t, "", "",
                     {"_pdbx_item_linked_group.category_id",
                      "_pdbx_item_linked_group.link_group_id", "_pdbx_item_linked_group.label"}))
                if (r[0] && r[1] && r[2]) labels[lower(*r[0]) + "\t" + std::string(*r[1])] = *r[2];
            struct Group {
                std::string id;
                std::vector<std::string> child, parent;
            };
            std::vector<Group> groups;
            std::unordered_map<std::string, std::size_t> group_of;
            for (const auto& r : rows<4>(t, "", "",
                                         {"_pdbx_item_linked_group_list.child_category_id",
                                          "_pdbx_item_linked_group_list.link_group_id",
                                          "_pdbx_item_linked_group_list.child_name",
                                          "_pdbx_item_linked_group_list.parent_name"})) {
                if (!r[0] || !r[2] || !r[3]) continue;
                const std::string gid = lower(*r[0]) + "\t" + std::string(r[1] ? *r[1] : "");
                auto [it, fresh] = group_of.try_emplace(gid, groups.size());
                if (fresh) groups.push_back({gid, {}, {}});
                Group& g = groups[it->second];
                g.child.push_back(ref(*r[2]));
                g.parent.push_back(ref(*r[3]));
                grouped[lower(*r[2]) + "\t" + lower(*r[3])] = true;
            }
            for (const Group& g : groups) {
                if (g.child.empty()) continue;
                const std::size_t tab = g.id.find('\t');
                std::string label = "link group " + g.id.substr(tab + 1);
                if (auto it = labels.find(g.id); it != labels.end())
                    label += " " + std::string(it->second);
                links_.start("link");
                for (const std::string& c : g.child) links_.field("child", c);
                for (const std::string& p : g.parent) links_.field("parent", p);
                links_.field("label", label);
                links_.field("rule", "_pdbx_item_linked_group_list");
                links_.field("default", "0");
                links_.end();
            }
        }
        for (const ParsedSaveFrame* f : frames_) {
            for (const auto& r : rows<2>(f->data, "", "",
                                         {"_item_linked.child_name", "_item_linked.parent_name"})) {
                if (!r[0] || !r[1]) continue;
                const std::string pair = lower(*r[0]) + "\t" + lower(*r[1]);
                if (grouped.count(pair)) continue;
                grouped[pair] = true;
                links_.start("link");
                links_.field("child", ref(*r[0]));
                links_.field("parent", ref(*r[1]));
                links_.field("default", "0");
                links_.end();
            }
        }
    }

    struct TypeDef {
        std::string primitive;
        std::optional<std::string> construct;
    };

    const ParsedCif& doc_;
    bool deposition_;
    std::vector<const ParsedSaveFrame*> frames_;
    std::unordered_map<std::string, TypeDef> types_;
    std::unordered_map<std::string, std::size_t> category_ids_;
    std::vector<Category> categories_;
    std::unordered_map<std::string, std::size_t> item_ids_;
    std::unordered_set<std::string> aliases_;
    std::unordered_map<std::string, std::size_t> pattern_ids_;
    Records dict_, patterns_, items_, links_, problems_;
};

}  // namespace

bool is_ddl2(const ParsedCif& doc) {
    for (const ParsedBlock& b : doc.blocks) {
        std::size_t n = 0;
        for (const ParsedSaveFrame& f : b.save_frames) {
            if (f.data.find("_item.name") || f.data.find("_category.id")) return true;
            if (++n == 50) break;
        }
    }
    return false;
}

std::string compile_ddl2(const ParsedCif& doc, std::string_view fallback_name, bool deposition) {
    return Ddl2(doc, deposition).run(fallback_name);
}

}  // namespace quarzel::validate
