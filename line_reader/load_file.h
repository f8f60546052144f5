// The loader with its reasons, for the library's own use.
#pragma once

#include <cstdint>
#include <system_error>

#include "line_reader/errors.h"
#include "line_reader/line_reader.h"
#include "platform/platform.h"

namespace line_reader::detail {

// Why a lookup or an open failed: an errc, or the system's own code where
// none says what happened.
std::error_code reason_for(const platform::OpenFailure& failure) noexcept;

// load_text_file with the reason for a failure; none on success.
std::error_code load_file(const char* name, LineRecord* record);

// Looks `name` up and opens it for reading when it is a regular file of at
// most `max_size` bytes, whose state `state` then gives as the opened file
// has it. None on success, and the caller closes `file`; an errc, or the
// system's own code where no errc says what happened.
std::error_code open_text_file(const char* name, std::uint64_t max_size, platform::Handle& file,
                               platform::FileState& state);

} // namespace line_reader::detail
