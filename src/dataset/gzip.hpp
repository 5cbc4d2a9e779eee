// Decompressing a gzip file: one member or many, each of which may be
// followed by zero bytes of padding. libdeflate decodes whole members when
// the build has it; zlib's streaming inflate decodes the rest, and every
// file libdeflate refuses, so that a damaged file fails with zlib's words
// for what is wrong.
#pragma once

#include <string>
#include <string_view>

#include "dataset/input.hpp"  // Bytes

namespace quarzel::dataset {

// Decompresses `raw` into `out` (cleared first; its room is kept from call
// to call). On failure returns false with `reason` set: "truncated gzip
// stream" or "corrupt gzip stream (WHAT)" with zlib's message.
bool gunzip(std::string_view raw, Bytes& out, std::string& reason);

// The fast part of gunzip: libdeflate over whole members. False (with any
// part of the text in `out`) when libdeflate refuses a member, for a member
// whose header carries a checksum (zlib checks it, libdeflate skips it),
// and always in a build without libdeflate.
bool gunzip_members(std::string_view raw, Bytes& out);

// The rest: zlib alone, in one streaming pass.
bool gunzip_stream(std::string_view raw, Bytes& out, std::string& reason);

}  // namespace quarzel::dataset
