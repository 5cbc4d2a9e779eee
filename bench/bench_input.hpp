// The input file of a native benchmark, read whole.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

namespace quarzel::bench {

// The bytes of `path`; false, with a message on stderr, when it cannot be read.
inline bool read_input(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return false;
    }
    std::ostringstream buffer;  // one bulk copy, not a character at a time
    buffer << in.rdbuf();
    out = std::move(buffer).str();
    return true;
}

}  // namespace quarzel::bench
