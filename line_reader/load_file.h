// The loader with its reasons, for the library's own use.
#pragma once

#include <cstddef>

#include "line_reader/errors.h"
#include "line_reader/line_reader.h"

namespace line_reader::detail {

// load_text_file with the reason for a failure; errc{} on success.
errc load_file(const char* name, LineRecord* record);

// Copies `size` bytes into a new buffer of the loader's form (on a 16-byte
// boundary, zero tail) and stores it in the empty `record`.
errc copy_into_record(const char* bytes, std::size_t size, LineRecord* record);

} // namespace line_reader::detail
