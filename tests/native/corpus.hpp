// The shared corpus of real CIF files, for tests that read every one.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quarzel::testing {

// The corpus's .cif and .dic files; empty when there is no corpus.
inline std::vector<std::filesystem::path> corpus_files() {
    std::vector<std::filesystem::path> files;
    const std::filesystem::path dir = std::filesystem::path(QUARZEL_SHARED_DIR) / "corpus";
    if (!std::filesystem::exists(dir)) return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        const auto ext = entry.path().extension();
        if (ext == ".cif" || ext == ".dic") files.push_back(entry.path());
    }
    return files;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace quarzel::testing
