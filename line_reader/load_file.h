// The loader with its reasons, for the library's own use.
#pragma once

#include <cstdint>

#include "line_reader/errors.h"
#include "line_reader/line_reader.h"
#include "platform/platform.h"

namespace line_reader::detail {

// load_text_file with the reason for a failure; errc{} on success.
errc load_file(const char* name, LineRecord* record);

// Looks `name` up and opens it for reading when it is a regular file of at
// most `max_size` bytes, whose size `size` then gives as the opened file has
// it. errc{} on success; the caller closes `file`.
errc open_text_file(const char* name, std::uint64_t max_size, platform::Handle& file, std::uint64_t& size);

} // namespace line_reader::detail
