// How the file index is built: the size of each thread's pieces and the
// least bytes that a thread takes. The tests make both small, so that range
// seams and piece edges fall at every offset of a small text.
#pragma once

#include <cstdint>

namespace line_reader::detail {

struct BuildTuning {
  std::uint32_t piece_bytes = 256 * 1024; // read into a buffer of a thread, scanned while in cache
  std::uint64_t least_range_bytes = 4 << 20;
};

// The tuning that builds use; not for changing while one runs.
BuildTuning& build_tuning() noexcept;

} // namespace line_reader::detail
