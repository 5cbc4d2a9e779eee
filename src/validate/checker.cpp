#include "validate/checker.hpp"

#include <algorithm>
#include <unordered_set>

#include "core/builder.hpp"
#include "validate/check_context.hpp"
#include "validate/key_hash.hpp"

namespace quarzel::validate {

std::string_view code_name(Code code) noexcept {
    static constexpr std::string_view kNames[] = {
        "type",          "enumeration", "range",      "su",         "mandatory",     "key",
        "duplicate-key", "link",        "looped",     "not-looped", "loop-category", "unknown",
        "deprecated",    "container",   "dictionary", "alias",      "prohibited",    "recommended"};
    return kNames[static_cast<std::size_t>(code)];
}

std::string_view severity_name(Severity severity) noexcept {
    static constexpr std::string_view kNames[] = {"error", "warning", "info"};
    return kNames[static_cast<std::size_t>(severity)];
}

namespace detail {

std::string shown(std::string_view value) {
    constexpr std::size_t kLimit = 60;
    std::string out = "'";
    if (value.size() <= kLimit) {
        out.append(value);
    } else {
        std::size_t cut = kLimit - 3;
        // Not inside a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
        out.append(value.substr(0, cut));
        out += "...";
    }
    for (char& c : out)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    out += '\'';
    return out;
}

Finding& Context::add(const Frame& frame, Code code, Severity severity, std::string message,
                      std::uint32_t dict, std::string_view rule) {
    Finding& f = out_.emplace_back();
    f.code = code;
    f.severity = severity;
    f.block = frame.block;
    f.frame = frame.frame;
    f.dict = dict;
    f.message = std::move(message);
    f.rule = std::string(rule);
    return f;
}

Finding& Context::add_for_item(const Frame& frame, Code code, Severity severity,
                               std::string message, std::uint32_t item, Check check) {
    const ItemRule& rule = rules.items[item];
    Finding& f =
        add(frame, code, severity, std::move(message), rule.dict, rules.rule_of(rule, check));
    if (rule.category != kNone) f.category = rules.categories[rule.category].name;
    return f;
}

namespace {

Frame scan_frame(const FrameData& data, std::uint32_t block, std::uint32_t frame) {
    Frame f;
    f.data = &data;
    f.block = block;
    f.frame = frame;
    f.loop_of.assign(data.tag_order.size(), -1);
    for (std::size_t li = 0; li < data.loops.size(); ++li)
        for (std::string_view tag : data.loops[li]) {
            const std::size_t p = data.position(tag);
            if (p < f.loop_of.size()) f.loop_of[p] = static_cast<std::int32_t>(li);
        }
    return f;
}

// Categories that every data block needs and this one (with its save
// frames) lacks.
void check_mandatory_categories(Context& cx, const std::vector<Frame>& frames) {
    const RuleSet& rules = cx.rules;
    bool any = false;
    for (const CategoryRule& c : rules.categories) any = any || c.mandatory;
    if (!any || frames.empty()) return;
    std::unordered_set<std::uint32_t> present;
    for (const Frame& f : frames)
        for (std::uint32_t item : f.items)
            if (item != kNone && rules.items[item].category != kNone)
                present.insert(rules.items[item].category);
    for (std::size_t c = 0; c < rules.categories.size(); ++c) {
        const CategoryRule& cat = rules.categories[c];
        if (!cat.mandatory || present.count(static_cast<std::uint32_t>(c))) continue;
        Finding& f = cx.add(frames.front(), Code::Mandatory, Severity::Error,
                            "mandatory category " + cat.name + " is missing", cat.dict,
                            rules.rule_of_dict(cat.dict, Check::CategoryMandatory));
        f.category = cat.name;
    }
}

}  // namespace
}  // namespace detail

std::vector<Finding> check_document(const ParsedCif& doc, const RuleSet& rules,
                                    const Options& options) {
    using namespace detail;
    std::vector<Finding> out;
    Context cx(rules, options, out);
    for (std::size_t b = 0; b < doc.blocks.size(); ++b) {
        const ParsedBlock& block = doc.blocks[b];
        std::vector<Frame> frames;
        frames.reserve(1 + block.save_frames.size());
        frames.push_back(scan_frame(block.data, static_cast<std::uint32_t>(b), kNoIndex));
        for (std::size_t s = 0; s < block.save_frames.size(); ++s)
            frames.push_back(scan_frame(block.save_frames[s].data, static_cast<std::uint32_t>(b),
                                        static_cast<std::uint32_t>(s)));
        // A column's key hashes serve its unique keys and its links alike.
        thread_local ColumnHashes hashes;
        hashes.clear();
        for (Frame& f : frames) {
            check_tags(cx, f);
            check_categories(cx, f, hashes);
        }
        check_mandatory_categories(cx, frames);
        check_links(cx, frames, hashes);
        check_scopes(cx, frames);
    }
    return out;
}

void sort_findings(std::vector<Finding>& findings) {
    std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
        if (a.block != b.block) return a.block < b.block;
        // kNoIndex (the block's own items) before frame 0.
        const std::uint32_t fa = a.frame + 1, fb = b.frame + 1;
        if (fa != fb) return fa < fb;
        if (a.line != b.line) return a.line < b.line;
        return a.column < b.column;
    });
}

std::vector<Finding> dictionary_findings(const RuleSet& rules) {
    std::vector<Finding> out;
    for (const Problem& p : rules.problems) {
        Finding& f = out.emplace_back();
        f.code = Code::Dictionary;
        f.severity = Severity::Error;
        f.dict = p.dict;
        f.message = p.definition.empty() ? p.message : p.definition + ": " + p.message;
    }
    // Each expression that does not compile, with the items it leaves
    // unchecked.
    std::vector<std::vector<std::string>> users(rules.patterns.size());
    std::vector<std::uint32_t> dict_of(rules.patterns.size(), 0);
    for (const ItemRule& item : rules.items)
        if (item.pattern != kNone && !rules.patterns[item.pattern].ok()) {
            users[item.pattern].push_back(item.name);
            dict_of[item.pattern] = item.dict;
        }
    for (std::size_t i = 0; i < rules.patterns.size(); ++i) {
        const Pattern& p = rules.patterns[i];
        if (p.ok()) continue;
        Finding& f = out.emplace_back();
        f.code = Code::Dictionary;
        f.severity = Severity::Error;
        f.dict = dict_of[i];
        f.rule = std::string(rules.rule_of_dict(dict_of[i], Check::Construct));
        std::string names;
        for (std::size_t k = 0; k < users[i].size() && k < 5; ++k)
            names += (k ? ", " : "") + users[i][k];
        if (users[i].size() > 5) names += ", ... (" + std::to_string(users[i].size()) + " items)";
        f.message = "regular expression " + detail::shown(p.source()) + " does not compile (" +
                    p.error() + ")" +
                    (names.empty() ? std::string()
                                   : "; values of " + names + " are not checked against it");
        f.value = p.source();
    }
    return out;
}

}  // namespace quarzel::validate
