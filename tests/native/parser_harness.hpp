// Running the parser over CIF text for tests: the recorded events and the
// guarantee checker's verdict.
#pragma once

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>

#include "core/lexer.hpp"
#include "core/parser.hpp"
#include "core/version.hpp"
#include "recording_sink.hpp"
#include "sink_guarantees.hpp"

namespace quarzel::testing {

struct ParseCase {
    std::string_view source;
    CifVersion version;
    std::string_view expected;  // one event a line; a leading line end is ignored
};

// The events of one parse, one a line. Adds a test failure for every broken
// sink guarantee.
inline std::string parse_events(std::string_view source, CifVersion version) {
    Lexer lexer(source, version, 0);
    RecordingSink recording;
    GuaranteeChecker checker;
    TeeSink<RecordingSink, GuaranteeChecker> tee{recording, checker};
    parse(lexer, tee);
    checker.finish();
    for (const std::string& v : checker.violations())
        ADD_FAILURE() << "guarantee broken: " << v << "\nsource: " << quoted(source)
                      << "\nevents:\n"
                      << recording.text();
    return recording.text();
}

inline void expect_cases(std::span<const ParseCase> cases) {
    for (const ParseCase& c : cases) {
        std::string_view expected = c.expected;
        if (!expected.empty() && expected.front() == '\n') expected.remove_prefix(1);
        const std::string actual = parse_events(c.source, c.version);
        EXPECT_EQ(actual, expected)
            << "source (" << (c.version == CifVersion::Cif20 ? "CIF 2.0" : "CIF 1.1")
            << "): " << quoted(c.source) << "\n--- expected:\n"
            << expected << "--- actual:\n"
            << actual;
    }
}

}  // namespace quarzel::testing
