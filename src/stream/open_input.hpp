// Inputs as byte sources: a plain file read a window at a time, or a gzip,
// bzip2 or xz file decompressed as a stream (never whole), told apart by
// their first bytes. Memory: the decoder's state and a buffer of compressed
// bytes, whatever the size of the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/byte_source.hpp"

namespace quarzel::stream {

enum class Compression : std::uint8_t { None, Gzip, Bzip2, Xz };

// The compression a file's first bytes announce.
Compression sniff(std::string_view head) noexcept;

// The file at `path` as its content: decompressed when its first bytes say
// it is compressed. Throws InputError when it cannot be opened; a damaged
// stream throws InputError from read() ("truncated gzip stream", "corrupt
// bzip2 stream", ...).
std::unique_ptr<ByteSource> open_input(const std::string& path);

// `compressed` decompressed as `kind` (not None).
std::unique_ptr<ByteSource> decompressing(std::unique_ptr<ByteSource> compressed, Compression kind);

}  // namespace quarzel::stream
