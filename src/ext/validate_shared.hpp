// What the validator's bindings share: the rule-set capsule and findings as
// Python tuples.
#pragma once

#include <memory>
#include <vector>

#include "binding/pyref.hpp"
#include "core/byte_buffer.hpp"
#include "core/document.hpp"
#include "validate/checker.hpp"
#include "validate/finding.hpp"
#include "validate/rules.hpp"

namespace quarzel::ext {

// The rule set a capsule made by compile_rules holds; null with TypeError
// set for any other object.
std::shared_ptr<const validate::RuleSet> rules_of(PyObject* capsule, const char* param);

// One tuple per finding: (code, severity, message, block, frame, category,
// tags, value, row, line, column, rule, dictionary index); block and frame
// are names (None for findings of the dictionary itself or outside frames),
// the dictionary index None when there is none.
py::PyRef findings_list(const std::vector<validate::Finding>& findings, const ParsedCif* doc);

// The calling thread's mappings freed by the documents of earlier calls,
// for those of the next (a validation of document after document would
// otherwise have the system map and zero their pages afresh each time): a
// call installs it (MappingCache::Use) before it makes its document.
inline constexpr std::size_t kCallMappingBytes = std::size_t{32} << 20;
MappingCache& call_mappings();

// The options validate_text and validate_document share (links: 0 each
// dictionary's default, 1 all, 2 none; imported may be null). False with
// an error set for a wrong argument.
bool read_options(PyObject* links, PyObject* su_multiplier, PyObject* ignore_case,
                  PyObject* imported, validate::Options& options);

}  // namespace quarzel::ext
