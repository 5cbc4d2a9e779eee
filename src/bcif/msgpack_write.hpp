// Encoded blocks, categories and columns written as one BinaryCIF
// MessagePack document (msgpack-cxx's packer).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bcif/encode.hpp"

namespace quarzel::bcif {

struct OutCategory {
    std::string name;  // with its leading underscore
    std::int64_t rows = 0;
    std::vector<OutColumn> columns;
};

struct OutBlock {
    std::string header;
    std::vector<OutCategory> categories;
};

inline constexpr std::string_view kVersion = "0.3.0";

// The whole file: {version, encoder, dataBlocks}.
std::string pack_file(const std::vector<OutBlock>& blocks, std::string_view encoder);

}  // namespace quarzel::bcif
