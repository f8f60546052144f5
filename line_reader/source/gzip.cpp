// gzip through zlib: every member in turn (one, many, BGZF), its CRC-32
// and size checked by zlib at its end. Checkpoints lie at a member's start,
// which needs nothing before it, or at a deflate block's end, which needs
// the bit where the next block starts and the 32 KiB of text before it.
#include <zlib.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "line_reader/index/saved_index.h"
#include "line_reader/source/compressed.h"

namespace line_reader::detail {

namespace {

constexpr std::size_t window_bytes = 32 * 1024;

struct Inflater {
  z_stream stream{};
  bool open = false;
  ~Inflater() {
    if (open) inflateEnd(&stream);
  }
};

// Deflates a window; empty when there is no memory.
bool deflate_window(const unsigned char* window, std::size_t length, std::vector<unsigned char>& into) {
  uLongf bytes = compressBound(static_cast<uLong>(length));
  const std::size_t at = into.size();
  try {
    into.resize(at + bytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (compress2(into.data() + at, &bytes, window, static_cast<uLong>(length), 1) != Z_OK) {
    into.resize(at);
    return false;
  }
  into.resize(at + bytes);
  return true;
}

// The checkpoint's window, inflated into `window`; false when the stored
// bytes cannot be had or do not inflate to its length exactly.
bool inflate_window(const Checkpoint& point, const CompressedText& text, unsigned char* window) {
  std::vector<unsigned char> stored;
  if (point.detail > window_bytes || !text.window(point, stored)) return false;
  uLongf length = point.detail;
  uLong bytes = point.window_bytes;
  return uncompress2(window, &length, stored.data(), &bytes) == Z_OK && length == point.detail &&
         bytes == point.window_bytes;
}

bool add_checkpoint(CompressedText& text, const Checkpoint& point, const unsigned char* window,
                    std::size_t length) noexcept {
  Checkpoint added = point;
  added.window_at = text.windows.size();
  added.detail = static_cast<std::uint32_t>(length);
  if (length != 0 && !deflate_window(window, length, text.windows)) return false;
  added.window_bytes = static_cast<std::uint32_t>(text.windows.size() - added.window_at);
  if (added.window_bytes != 0)
    added.window_hash = hash_bytes(text.windows.data() + added.window_at, added.window_bytes);
  try {
    text.checkpoints.push_back(added);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

} // namespace

errc decode_gzip(DecodeJob& job, Output& out) noexcept {
  // A build reads in large pieces; a lookup, which inflates about half a
  // MiB of text (some 100 KB of input), in small ones.
  const std::uint32_t input_bytes = job.record != nullptr ? 256 * 1024 : 32 * 1024;
  const std::unique_ptr<unsigned char[]> input(new (std::nothrow) unsigned char[input_bytes]);
  unsigned char window[window_bytes];
  if (input == nullptr) return errc::no_memory;
  Inflater z;
  const Checkpoint& start = job.start;
  // At a member's start zlib reads the gzip header; within one, raw deflate
  // primed with the bits left of the byte the block starts in.
  const bool member_start = start.detail == 0 && start.in_bit % 8 == 0;
  if (inflateInit2(&z.stream, member_start ? 15 + 16 : -15) != Z_OK) return errc::no_memory;
  z.open = true;
  std::uint64_t at = start.in_bit / 8; // the next byte to read
  if (!member_start) {
    if (job.text == nullptr || !inflate_window(start, *job.text, window)) return errc::bad_index;
    if (start.in_bit % 8 != 0) {
      unsigned char byte = 0;
      std::uint32_t got = 0;
      if (!read_some(job, at, &byte, 1, got)) return errc::read_error;
      if (got == 0) return errc::changed_while_reading;
      const int used = static_cast<int>(start.in_bit % 8);
      if (inflatePrime(&z.stream, 8 - used, byte >> used) != Z_OK) return errc::bad_index;
      ++at;
    }
    if (start.detail != 0 && inflateSetDictionary(&z.stream, window, start.detail) != Z_OK)
      return errc::bad_index;
  }
  bool raw = !member_start;
  std::uint64_t member_out =
      out.total() - (member_start ? 0 : start.detail); // the text's offset at the member's start
  std::uint64_t last_point =
      job.record != nullptr && !job.record->checkpoints.empty() ? job.record->checkpoints.back().out : 0;
  // A build starts at a member's start: the first checkpoint, or one after
  // the last when the file has grown far enough past it.
  if (job.record != nullptr && (job.record->checkpoints.empty() || out.total() - last_point >= job.spacing)) {
    if (!add_checkpoint(*job.record, start, nullptr, 0)) return errc::no_memory;
    last_point = out.total();
  }
  job.whole_in = at;
  job.whole_out = out.total();
  job.cut = false;
  bool in_member = true; // false between members, where the file may end
  // The next piece of input, none at the end; false on a failed read.
  auto refill = [&]() {
    const std::uint64_t left = job.size > at ? job.size - at : 0;
    std::uint32_t got = 0;
    if (left != 0 && !read_some(job, at, input.get(),
                                left < input_bytes ? static_cast<std::uint32_t>(left) : input_bytes, got))
      return false;
    at += got;
    z.stream.next_in = input.get();
    z.stream.avail_in = got;
    return true;
  };
  for (;;) {
    if (z.stream.avail_in == 0) {
      if (!refill()) return errc::read_error;
      if (z.stream.avail_in == 0) {
        job.cut = in_member;
        return errc{};
      }
    }
    if (!in_member) {
      // Another member, which must start as one does.
      if (z.stream.next_in[0] != 0x1f) return errc::damaged;
      in_member = true;
      member_out = out.total();
      if (job.record != nullptr && out.total() - last_point >= job.spacing) {
        Checkpoint point;
        point.in_bit = (at - z.stream.avail_in) * 8;
        point.out = out.total();
        if (!add_checkpoint(*job.record, point, nullptr, 0)) return errc::no_memory;
        last_point = point.out;
      }
    }
    z.stream.next_out = out.next();
    const std::size_t room = out.room() < (1u << 30) ? out.room() : std::size_t{1} << 30;
    z.stream.avail_out = static_cast<uInt>(room);
    const int result = inflate(&z.stream, job.record != nullptr ? Z_BLOCK : Z_NO_FLUSH);
    const std::size_t made = room - z.stream.avail_out;
    if (result == Z_NEED_DICT || result == Z_DATA_ERROR || result == Z_STREAM_ERROR) return errc::damaged;
    if (result == Z_MEM_ERROR) return errc::no_memory;
    if (made != 0 && !out.advance(made)) return errc::cancelled;
    if (out.total() > job.most_text) return errc::expands_too_far;
    if (result == Z_STREAM_END) {
      if (raw) {
        // A member entered within: its trailer of CRC-32 and size follows,
        // which a lookup trusts the build to have checked.
        std::uint64_t trailer = 8;
        while (trailer != 0) {
          if (z.stream.avail_in == 0) {
            if (!refill()) return errc::read_error;
            if (z.stream.avail_in == 0) {
              job.cut = true;
              return errc{};
            }
          }
          const uInt skip = z.stream.avail_in < trailer ? z.stream.avail_in : static_cast<uInt>(trailer);
          z.stream.next_in += skip;
          z.stream.avail_in -= skip;
          trailer -= skip;
        }
        if (inflateReset2(&z.stream, 15 + 16) != Z_OK) return errc::no_memory;
        raw = false;
      } else if (inflateReset(&z.stream) != Z_OK) {
        return errc::no_memory;
      }
      in_member = false;
      job.whole_in = at - z.stream.avail_in;
      job.whole_out = out.total();
    } else if (job.record != nullptr && (z.stream.data_type & 128) != 0 && (z.stream.data_type & 64) == 0 &&
               out.total() - last_point >= job.spacing) {
      // The end of a block that is not the member's last.
      Checkpoint point;
      point.in_bit = (at - z.stream.avail_in) * 8 - static_cast<unsigned>(z.stream.data_type & 7);
      point.out = out.total();
      const std::uint64_t behind = out.total() - member_out;
      const std::size_t length = behind < window_bytes ? static_cast<std::size_t>(behind) : window_bytes;
      if (length == 0) {
        // Nothing written yet in this member: its start serves, and a block end there has no window.
      } else if (!add_checkpoint(*job.record, point, out.recent(length), length)) {
        return errc::no_memory;
      }
      last_point = point.out;
    }
    if (out.total() >= job.stop_at) return errc{};
  }
}

} // namespace line_reader::detail
