// zstd through libzstd: frames in turn, skippable ones passed over, each
// frame's checksum checked where it has one. Every frame stands alone, so a
// frame's start is a checkpoint with no window: files of many frames are
// read from the frame that holds the bytes asked for.
#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <new>
#include <vector>

#include "line_reader/source/compressed.h"

namespace line_reader::detail {

namespace {

// Frames that start within this much text of the last checkpoint get none
// of their own: a file of tiny frames keeps a small table.
constexpr std::uint64_t least_frame_spacing = 64 * 1024;

struct Context {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ~Context() { ZSTD_freeDCtx(context); }
};

} // namespace

errc decode_zstd(DecodeJob& job, Output& out) noexcept {
  const std::size_t input_bytes = ZSTD_DStreamInSize();
  const std::unique_ptr<unsigned char[]> input(new (std::nothrow) unsigned char[input_bytes]);
  if (input == nullptr) return errc::no_memory;
  Context z;
  if (z.context == nullptr) return errc::no_memory;
  if (job.start.in_bit % 8 != 0 || job.start.window_bytes != 0) return errc::bad_index;
  std::uint64_t at = job.start.in_bit / 8;
  std::uint64_t last_point = 0;
  if (job.record != nullptr) {
    if (!job.record->checkpoints.empty()) last_point = job.record->checkpoints.back().out;
    if (job.record->checkpoints.empty() || out.total() - last_point >= least_frame_spacing) {
      Checkpoint point = job.start;
      try {
        job.record->checkpoints.push_back(point);
      } catch (const std::bad_alloc&) {
        return errc::no_memory;
      }
      last_point = point.out;
    }
  }
  job.whole_in = at;
  job.whole_out = out.total();
  job.cut = false;
  ZSTD_inBuffer in{input.get(), 0, 0};
  bool in_frame = false;
  for (;;) {
    if (in.pos == in.size) {
      const std::uint64_t left = job.size > at ? job.size - at : 0;
      const auto ask = static_cast<std::uint32_t>(left < input_bytes ? left : input_bytes);
      std::uint32_t got = 0;
      if (ask != 0 && !read_some(job, at, input.get(), ask, got)) return errc::read_error;
      if (got == 0) {
        job.cut = in_frame;
        return errc{};
      }
      at += got;
      in = {input.get(), got, 0};
    }
    if (!in_frame && job.record != nullptr && out.total() - last_point >= least_frame_spacing) {
      Checkpoint point;
      point.in_bit = (at - (in.size - in.pos)) * 8;
      point.out = out.total();
      try {
        job.record->checkpoints.push_back(point);
      } catch (const std::bad_alloc&) {
        return errc::no_memory;
      }
      last_point = point.out;
    }
    in_frame = true;
    ZSTD_outBuffer o{out.next(), out.room(), 0};
    const std::size_t hint = ZSTD_decompressStream(z.context, &o, &in);
    if (ZSTD_isError(hint)) {
      // A frame that asks for a window past the decoder's limit (128 MiB,
      // made with --long=28 or more) is refused for memory, not damage.
      const ZSTD_ErrorCode code = ZSTD_getErrorCode(hint);
      return code == ZSTD_error_memory_allocation || code == ZSTD_error_frameParameter_windowTooLarge
                 ? errc::no_memory
                 : errc::damaged;
    }
    if (o.pos != 0 && !out.advance(o.pos)) return errc::cancelled;
    if (out.total() > job.most_text) return errc::expands_too_far;
    if (hint == 0) {
      // A frame ended, and all of its text is out.
      in_frame = false;
      job.whole_in = at - (in.size - in.pos);
      job.whole_out = out.total();
    }
    if (out.total() >= job.stop_at) return errc{};
  }
}

} // namespace line_reader::detail
