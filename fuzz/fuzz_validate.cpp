// The validator over hostile rule sets and documents. The input is a rule
// set's text, a line "%%%%", then a CIF text; without the line, or when the
// rules are refused (RulesError, the one exception allowed), the whole input
// is the CIF text and a fixed rule set with every kind of rule checks it.
// Whatever the input: no crash, every finding locatable inside the text,
// lines never beyond the text's, and checking twice gives the same findings.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/pipeline.hpp"
#include "fuzz_common.hpp"
#include "validate/checker.hpp"
#include "validate/positions.hpp"
#include "validate/rules_text.hpp"

using namespace quarzel;

namespace {

// Every kind of rule: constructs (one that does not compile), forms,
// containers, ranges, enumerations, keys, references, links and scopes.
constexpr std::string_view kRules =
    "quarzel-rules 1\n"
    "dict\tname=f\tversion=1\tddl=ddl2\trule.type=_t\n"
    "dict\tname=g\tddl=ddlm\n"
    "pattern\tsource=[+-]?[0-9]+\n"
    "pattern\tsource=[][ \\\\n\\\\t_(),.;:\"&<>/\\\\{}'`~!@#$%?+=*A-Za-z0-9|^-]*\n"
    "pattern\tsource=(a|b)*c{2,3}[[:alpha:]]\n"
    "pattern\tsource=[A-Z\n"
    "category\tname=a\tkey=0\tkey=1\tmandatory=1\n"
    "category\tname=b\tdict=1\tclass=set\tkeys=looped\n"
    "category\tname=c\tdict=1\tclass=loop\tkey=9\tkeys=looped\tunique=9,10\n"
    "item\tname=_a.id\tcat=0\tpattern=0\tcompare=numeric\tmandatory=yes\n"
    "item\tname=_a.code\tcat=0\tpattern=1\tcompare=fold\tenum=X\tenum=y\n"
    "item\tname=_a.v\tcat=0\ttype=Real\trange=0:1\trange=2:2\tranges=exclusive\tsu=no\n"
    "item\tname=_a.w\tcat=0\tpattern=2\tlist=yes\tref=0\n"
    "item\tname=_a.bad\tcat=0\tpattern=3\tdeprecated=1\treplaced=_a.v\n"
    "item\tname=_b.x\tcat=1\tdict=1\ttype=Real\tsu=yes\trange=-1:1\twiden=1\tlist=no\n"
    "item\tname=_b.l\tcat=1\tdict=1\tcontainer=List\ttype=Integer|Code\tdim=3\n"
    "item\tname=_b.m\tcat=1\tdict=1\tcontainer=Matrix\ttype=Real\tdim=2\tdim=*\n"
    "item\tname=_b.t\tcat=1\tdict=1\tcontainer=Table\ttype=Date\n"
    "item\tname=_c.k\tcat=2\tdict=1\ttype=Code\tcompare=fold\talias=_c_k\n"
    "item\tname=_c.p\tcat=2\tdict=1\ttype=Count\tcompare=numeric\n"
    "item\tname=_c.s\tcat=2\tdict=1\ttype=Real,Code\tcontainer=List\tsu_of=5\n"
    "item\tname=_c.i\tcat=2\tdict=1\ttype=Implied\n"
    "item\tname=_c.e\tcat=2\tdict=1\tcontainer=List\telements=Table\n"
    "link\tchild=9\tparent=0\n"
    "link\tchild=9\tchild=10\tparent=1\tparent=0\tdefault=0\tlabel=g1\n"
    "scope\tdict=1\tscope=item\tstrength=mandatory\tname=_c.k\tname=b\n"
    "scope\tdict=1\tscope=dictionary\tstrength=prohibited\tname=a\n"
    "problem\tdefinition=d\tmessage=m\n"
    "local\tprefix=_[\n";

void run(const validate::RuleSet& rules, std::string_view text, validate::LinkMode links) {
    ParseResult parsed = parse_document(text, false);
    validate::Options options;
    options.links = links;
    options.su_multiplier = 2.5;
    options.ignore_case = true;
    std::vector<validate::Finding> findings =
        validate::check_document(parsed.document, rules, options);
    validate::resolve_positions(findings, parsed.document, parsed.detected);
    const auto lines = static_cast<std::uint32_t>(
        std::count(text.begin(), text.end(), '\n') + std::count(text.begin(), text.end(), '\r') +
        1);
    for (const validate::Finding& f : findings) {
        fuzz::check(f.block < parsed.document.blocks.size(), "finding outside the blocks");
        fuzz::check(f.line <= lines, "finding beyond the last line", f.message);
        fuzz::check(!f.message.empty(), "finding without a message");
    }
    std::vector<validate::Finding> again =
        validate::check_document(parsed.document, rules, options);
    fuzz::check(again.size() == findings.size(), "checking twice differs");
    for (std::size_t i = 0; i < again.size(); ++i)
        fuzz::check(again[i].message == findings[i].message, "checking twice differs",
                    again[i].message);
    (void)validate::dictionary_findings(rules);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::shared_ptr<const validate::RuleSet> fixed = validate::parse_rules(kRules);
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!fuzz::valid_utf8(input)) return 0;
    const std::size_t split = input.find("\n%%%%\n");
    std::shared_ptr<const validate::RuleSet> rules = fixed;
    std::string_view text = input;
    if (split != std::string_view::npos) {
        try {
            rules = validate::parse_rules(input.substr(0, split + 1));
            text = input.substr(split + 6);
        } catch (const validate::RulesError&) {
            rules = fixed;
        }
    }
    const auto links = static_cast<validate::LinkMode>(size % 3);
    run(*rules, text, links);
    return 0;
}
