// A stream read once, in order: standard input, a pipe or a FIFO, which
// has no size, cannot be read twice and so has no index.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "lines/options.h"
#include "lines/output.h"

namespace lines {

// Reads up to `count` bytes into `into`: how many, 0 at the end, -1 on an
// error (`reason` then says why).
using ReadStream = std::function<long(char* into, std::size_t count, std::string& reason)>;

// Answers `options` from the stream in one pass: the ranges (which must
// rise) as they go by, the read ended after the last, as head ends; the last
// K lines kept as tail keeps them; the count or the summary of the whole
// stream. A compressed stream is refused unless --raw. Returns the exit
// status; `say` gets each message for standard error.
int answer_from_stream(const ReadStream& read, const Options& options, Output& out,
                       const std::function<void(const std::string&)>& say);

// Whether the ranges rise, as a stream needs them to; else the reason.
std::string ranges_rise(const Options& options);

} // namespace lines
