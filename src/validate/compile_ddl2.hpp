// Compiling a DDL2 dictionary (PDBx/mmCIF, ModelCIF, mmcif_ddl.dic) into
// rule-set text, natively: the largest dictionaries have thousands of save
// frames, and this keeps loading one well under the time of reading it
// twice.
//
// Types come from the dictionary's own _item_type_list: the construct is
// matched as a POSIX extended expression, the primitive code says how
// values compare (uchar ignoring case, numb as numbers, char exactly).
// An item's own save frame (named after it) defines it; a frame that only
// lists it (a parent naming its children) lends the type code the own frame
// lacks, and everything when there is no own frame. _item_range rows are
// exclusive bounds, a row whose minimum equals its maximum allowing exactly
// that value. _item_related replacedby and the WWPDB_DEPRECATED context mark
// replaced definitions. Links (_item_linked pairs and
// _pdbx_item_linked_group_list groups) are off unless asked for: real
// entries break them by design. `deposition` applies _pdbx_item_enumeration,
// _pdbx_item_range and _pdbx_item_type where they exist.
#pragma once

#include <string>
#include <string_view>

#include "core/document.hpp"

namespace quarzel::validate {

// The rule-set text (see rules_text.hpp) of the dictionary in `doc`, its
// name taken from _dictionary.title (else `fallback_name`). Faults of the
// dictionary become `problem` records.
std::string compile_ddl2(const ParsedCif& doc, std::string_view fallback_name, bool deposition);

// Whether `doc` holds DDL2 definitions (save frames with _item.name or
// _category.id).
bool is_ddl2(const ParsedCif& doc);

}  // namespace quarzel::validate
