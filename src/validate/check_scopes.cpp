// DDLm `_dictionary_valid`: in a dictionary checked against its DDL, the
// data block (scope Dictionary) and each definition (scope from
// `_definition.scope`, Item when absent) carry the mandatory attributes,
// should carry the recommended ones and must not carry the prohibited ones.
// A name with a leading underscore is an attribute, one without a category
// of attributes.
#include <algorithm>

#include "core/ascii.hpp"
#include "core/lowercase.hpp"
#include "validate/check_context.hpp"

namespace quarzel::validate::detail {

namespace {

std::string frame_scope(const Frame& f) {
    if (f.frame == kNoIndex) return "dictionary";
    if (const ValueColumn* col = f.data->find("_definition.scope"); col && col->size()) {
        const ValueRef ref = (*col)[0];
        bool null;
        const std::string_view v = scalar_text(ref, null);
        if (!ref.compound && !null) return lower(v);
    }
    return "item";
}

}  // namespace

void check_scopes(Context& cx, const std::vector<Frame>& frames) {
    const RuleSet& rules = cx.rules;
    if (rules.scopes.empty()) return;
    for (const Frame& f : frames) {
        const std::string scope = frame_scope(f);
        const std::vector<std::string>* imported = nullptr;
        if (auto it = cx.options.imported.find({f.block, f.frame}); it != cx.options.imported.end())
            imported = &it->second;
        // The tag (or first tag of the category) by which a name is present.
        const auto present = [&](std::string_view name, std::string_view& at) {
            const bool category = !name.starts_with("_");
            for (std::size_t i = 0; i < f.data->tag_order.size(); ++i) {
                const std::string_view tag = f.data->tag_order[i];
                if (category) {
                    const std::uint32_t id = f.items[i];
                    if (id == kNone || rules.items[id].category == kNone ||
                        rules.categories[rules.items[id].category].name != name)
                        continue;
                } else if (tag != name) {
                    continue;
                }
                at = tag;
                return true;
            }
            if (imported) {
                for (const std::string& t : *imported) {
                    if (category ? (t.size() > name.size() + 1 && t[0] == '_' &&
                                    std::string_view(t).substr(1, name.size()) == name &&
                                    t[name.size() + 1] == '.')
                                 : t == name) {
                        at = {};
                        return true;
                    }
                }
            }
            return false;
        };
        const std::string_view first_tag =
            f.data->tag_order.empty() ? std::string_view() : f.data->tag_order.front();
        for (const ScopeRule& s : rules.scopes) {
            if (s.scope != scope) continue;
            for (const std::string& name : s.names) {
                std::string_view at;
                const bool has = present(name, at);
                const std::string what =
                    (name.starts_with("_") ? "attribute " : "category ") + name;
                const std::string where = "a " + scope + " definition";
                if (s.strength == Strength::Prohibited && has && !at.empty()) {
                    Finding& out = cx.add(f, Code::Prohibited, Severity::Error,
                                          what + " is not allowed in " + where, s.dict,
                                          rules.rule_of_dict(s.dict, Check::Scope));
                    out.tags.emplace_back(at);
                    out.locate_tag = std::string(at);
                } else if (s.strength != Strength::Prohibited && !has) {
                    const bool mandatory = s.strength == Strength::Mandatory;
                    Finding& out = cx.add(
                        f, mandatory ? Code::Mandatory : Code::Recommended,
                        mandatory ? Severity::Error : Severity::Info,
                        what + (mandatory ? " is missing from " : " is recommended in ") + where,
                        s.dict, rules.rule_of_dict(s.dict, Check::Scope));
                    if (name.starts_with("_")) out.tags.push_back(name);
                    out.locate_tag = std::string(first_tag);
                }
            }
        }
    }
}

}  // namespace quarzel::validate::detail
