// The validator's method-table entries, shared by quarzel._native and the
// Arrow-free quarzel._validate_native. Expands QUARZEL_EXT_METHOD, which the
// including module defines.
#pragma once

#define QUARZEL_VALIDATE_METHODS                                                                 \
    QUARZEL_EXT_METHOD("compile_rules", py_compile_rules,                                        \
                       "compile_rules(text)\n--\n\n"                                             \
                       "A rule set for the validator from the dictionary compiler's text."),     \
        QUARZEL_EXT_METHOD(                                                                      \
            "compile_ddl2", py_compile_ddl2,                                                     \
            "compile_ddl2(text, name, deposition=False)\n--\n\n"                                 \
            "The rule-set text of a DDL2 dictionary, or None (the GIL is released)."),           \
        QUARZEL_EXT_METHOD("rules_info", py_rules_info,                                          \
                           "rules_info(rules)\n--\n\n"                                           \
                           "(dictionary labels, findings about the dictionaries, item count)."), \
        QUARZEL_EXT_METHOD(                                                                      \
            "validate_text", py_validate_text,                                                   \
            "validate_text(rules, text, links=0, su_multiplier=3.0, ignore_case=False, "         \
            "imported=None)\n--\n\n"                                                             \
            "(findings, reader errors) of a CIF text checked against a rule set (the GIL is "    \
            "released)."),                                                                       \
        QUARZEL_EXT_METHOD(                                                                      \
            "validate_document", py_validate_document,                                           \
            "validate_document(rules, document, links=0, su_multiplier=3.0, ignore_case=False)"  \
            "\n--\n\n"                                                                           \
            "(findings, []) of a CifFile or parse_raw result checked against a rule set, or "    \
            "None for one that must be written out first.")
