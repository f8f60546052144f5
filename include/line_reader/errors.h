// Why a file could not be loaded and indexed, as std::error_code values of
// the category line_reader::category(). Failures that none of these
// describes are the system's own codes, in std::system_category().
#pragma once

#include <system_error>

namespace line_reader {

enum class errc {
  not_found = 1,         // nothing has that name
  not_a_regular_file,    // a directory, FIFO or device
  no_access,             // it exists but cannot be opened for reading
  too_large,             // larger than the record (4 GiB - 34 bytes) or the address space takes
  no_memory,             // no memory for the text or its index
  read_error,            // the system failed a read
  changed_while_reading, // replaced after its size was taken, or shorter than that size
  bad_index,             // a saved index is damaged or not an index
  stale_index,           // a saved index describes another file, or this one before it changed
  cancelled,             // the progress callback stopped the work
  unsupported_index,     // a saved index of a format that this version does not read (an older one)
  other_line_ends,       // a saved index made for the other line-end rule
  compressed,      // a compressed file (compression_of() says which), refused unless its bytes are asked for
  damaged,         // compressed data that is damaged, or whose checksum or size disagrees with its bytes
  expands_too_far, // compressed data that decompresses past IndexOptions::most_expansion times its size
};

const std::error_category& category() noexcept;

inline std::error_code make_error_code(errc e) noexcept { return {static_cast<int>(e), category()}; }

} // namespace line_reader

template <> struct std::is_error_code_enum<line_reader::errc> : std::true_type {};
