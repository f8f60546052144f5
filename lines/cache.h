// The saved indexes of the lines program: the library's cache, which the
// Python module shares.
#pragma once

#include "line_reader/index_cache.h"
#include "platform/platform.h"

namespace lines {

using Summary = line_reader::IndexSummary;
using Cache = line_reader::IndexCache;

// Whether the summary describes the file as it is now.
inline bool describes(const Summary& summary, const line_reader::platform::FileState& now, bool lf) {
  return summary.device == now.device && summary.file_id == now.file_id && summary.size == now.size &&
         summary.modified == now.modified && summary.changed == now.changed && summary.lf == lf &&
         !now.nominal_size;
}

} // namespace lines
