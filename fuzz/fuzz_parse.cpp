// Parsing into a sink that checks, event by event, every promise the parser
// makes to its sinks.
#include "core/lexer.hpp"
#include "core/parser.hpp"
#include "core/version.hpp"
#include "fuzz_common.hpp"
#include "sink_guarantees.hpp"

using namespace quarzel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto in = fuzz::split(data, size);
    VersionResult v = detect_version(in.text);
    CifVersion version = (in.flags & 1) ? CifVersion::Cif20 : v.version;
    Lexer lexer(v.text, version, v.line_offset);
    testing::GuaranteeChecker checker;
    parse(lexer, checker);
    checker.finish();
    if (!checker.violations().empty())
        fuzz::fail("sink guarantee broken:", checker.violations()[0]);
    return 0;
}
