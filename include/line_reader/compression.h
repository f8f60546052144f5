// Which compressed form a file's first bytes show. The owner types and the
// file index read the text of the forms this build decodes, and refuse
// others (errc::compressed) unless asked to index the bytes as they are:
// lines of compressed bytes are no lines.
// Needs C++17.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <system_error>

namespace line_reader {

enum class Compression { none, gzip, zstd, xz, bzip2, lz4, zip };

// The form that the first `count` bytes of a file begin (8 are enough);
// none for text and for anything shorter than its form's signature.
Compression compression_of(const void* head, std::size_t count) noexcept;
// Whether this build decodes the form (gzip, zstd and xz where their
// libraries were found when it was built): FileIndex and IndexedFile then
// read such a file's text, and refuse it otherwise.
bool decodes(Compression compression) noexcept;
// Decodes a stream of the form (one decodes() reads) from its first byte:
// `read` gives up to `count` bytes at `into` (0 at its end, less than 0 on
// a failure), and `take` gets the text in order, a piece at a time; false
// from it stops the decoding, which then gives errc::cancelled.
// errc::damaged for damaged data or a stream that ends within a member,
// frame or stream (whose text before the damage has been taken),
// errc::read_error when `read` fails, errc::compressed for a form this
// build does not read.
std::error_code decode_stream(Compression compression,
                              const std::function<long(void* into, std::size_t count)>& read,
                              const std::function<bool(std::string_view text)>& take) noexcept;
// "gzip", "zstd", "xz", "bzip2", "lz4", "zip"; "" for none.
const char* name_of(Compression compression) noexcept;

} // namespace line_reader
