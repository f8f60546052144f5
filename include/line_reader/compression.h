// Which compressed form a file's first bytes show. The owner types and the
// file index refuse such a file (errc::compressed) unless asked to index
// its bytes as they are: lines of compressed bytes are no lines.
// Needs C++17.
#pragma once

#include <cstddef>

namespace line_reader {

enum class Compression { none, gzip, zstd, xz, bzip2, lz4, zip };

// The form that the first `count` bytes of a file begin (8 are enough);
// none for text and for anything shorter than its form's signature.
Compression compression_of(const void* head, std::size_t count) noexcept;
// "gzip", "zstd", "xz", "bzip2", "lz4", "zip"; "" for none.
const char* name_of(Compression compression) noexcept;

} // namespace line_reader
