// The repository's real CIF files (tests/data), for tests that read every one.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quarzel::testing {

// Every .cif and .dic file below tests/data, sorted; empty only when the
// folder is missing, which the tests report as a failure.
inline std::vector<std::filesystem::path> corpus_files() {
    std::vector<std::filesystem::path> files;
    const std::filesystem::path dir(QUARZEL_TEST_DATA_DIR);
    if (!std::filesystem::exists(dir)) return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        const auto ext = entry.path().extension();
        if (ext == ".cif" || ext == ".dic") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace quarzel::testing
