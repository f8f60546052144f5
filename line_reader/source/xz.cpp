// xz through liblzma, a block at a time: streams in turn, each block
// decoded by itself (its check verified), each stream's index held to the
// blocks it followed. A block's start is a checkpoint with no window, so a
// file of many blocks (xz -T0) is read from the block that holds the bytes
// asked for; a file of one block is read from its start.
#include <lzma.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "line_reader/source/compressed.h"

namespace line_reader::detail {

namespace {

constexpr std::size_t input_bytes = 256 * 1024;
// Checkpoint::detail: a block's start, with the stream's check type in the
// low bits; without it, a stream's start.
constexpr std::uint32_t block_start = 0x100;

// The file's bytes from a place, a buffer at a time.
struct Reader {
  const DecodeJob& job;
  std::uint64_t size;
  std::uint64_t buffer_at; // where buffer[0] lies in the file
  std::vector<unsigned char> buffer;
  std::size_t pos = 0;
  std::size_t end = 0;
  bool failed = false;

  std::uint64_t offset() const { return buffer_at + pos; }
  const unsigned char* ptr() const { return buffer.data() + pos; }
  std::size_t ready() const { return end - pos; }
  // At least `n` bytes ready; false at the end of the file (or on a failure).
  bool have(std::size_t n) {
    if (ready() >= n) return true;
    std::memmove(buffer.data(), buffer.data() + pos, ready());
    buffer_at += pos;
    end -= pos;
    pos = 0;
    while (end < n) {
      const std::uint64_t at = buffer_at + end;
      const std::uint64_t left = size > at ? size - at : 0;
      const std::uint64_t room = buffer.size() - end;
      std::uint32_t got = 0;
      if (left != 0 && !read_some(job, at, buffer.data() + end,
                                  static_cast<std::uint32_t>(left < room ? left : room), got)) {
        failed = true;
        return false;
      }
      if (got == 0) return false;
      end += got;
    }
    return true;
  }
  // Refills when empty; false at the end.
  bool more() { return ready() != 0 || have(1); }
};

struct Stream {
  lzma_stream stream{};
  ~Stream() { lzma_end(&stream); }
};

struct IndexHash {
  lzma_index_hash* hash = nullptr;
  ~IndexHash() { lzma_index_hash_end(hash, nullptr); }
};

errc from_lzma(lzma_ret result) {
  return result == LZMA_MEM_ERROR || result == LZMA_MEMLIMIT_ERROR ? errc::no_memory : errc::damaged;
}

} // namespace

errc decode_xz(DecodeJob& job, Output& out) noexcept {
  Reader in{job, job.size, job.start.in_bit / 8, {}};
  try {
    in.buffer.resize(input_bytes);
  } catch (const std::bad_alloc&) {
    return errc::no_memory;
  }
  if (job.start.in_bit % 8 != 0 || job.start.window_bytes != 0) return errc::bad_index;
  bool stream_start = (job.start.detail & block_start) == 0;
  lzma_stream_flags flags{};
  flags.check = static_cast<lzma_check>(job.start.detail & 15);
  const bool building = job.record != nullptr;
  std::uint64_t last_point =
      building && !job.record->checkpoints.empty() ? job.record->checkpoints.back().out : 0;
  bool first_point = building && job.record->checkpoints.empty();
  IndexHash hash;
  job.whole_in = in.offset();
  job.whole_out = out.total();
  job.cut = false;
  auto cut = [&]() {
    job.cut = true;
    return in.failed ? errc::read_error : errc{};
  };
  for (;;) {
    if (stream_start) {
      if (!in.have(LZMA_STREAM_HEADER_SIZE)) return in.ready() == 0 && !in.failed ? errc{} : cut();
      if (lzma_stream_header_decode(&flags, in.ptr()) != LZMA_OK) return errc::damaged;
      in.pos += LZMA_STREAM_HEADER_SIZE;
      stream_start = false;
      if (building) {
        lzma_index_hash_end(hash.hash, nullptr);
        hash.hash = lzma_index_hash_init(nullptr, nullptr);
        if (hash.hash == nullptr) return errc::no_memory;
      }
    }
    if (!in.have(1)) return cut();
    if (in.ptr()[0] == 0) {
      // The stream's index, then its footer and padding.
      const std::uint64_t index_at = in.offset();
      Stream s;
      lzma_index* index = nullptr;
      if (!building) {
        if (const lzma_ret r = lzma_index_decoder(&s.stream, &index, UINT64_MAX); r != LZMA_OK)
          return from_lzma(r);
      }
      for (;;) {
        if (!in.more()) return cut();
        lzma_ret r;
        if (building) {
          std::size_t pos = in.pos;
          r = lzma_index_hash_decode(hash.hash, in.buffer.data(), &pos, in.end);
          in.pos = pos;
        } else {
          s.stream.next_in = in.ptr();
          s.stream.avail_in = in.ready();
          r = lzma_code(&s.stream, LZMA_RUN);
          in.pos = in.end - s.stream.avail_in;
        }
        if (r == LZMA_STREAM_END) break;
        if (r != LZMA_OK) return from_lzma(r);
      }
      if (index != nullptr) lzma_index_end(index, nullptr);
      const std::uint64_t index_size = in.offset() - index_at;
      if (!in.have(LZMA_STREAM_HEADER_SIZE)) return cut();
      lzma_stream_flags footer{};
      if (lzma_stream_footer_decode(&footer, in.ptr()) != LZMA_OK ||
          lzma_stream_flags_compare(&flags, &footer) != LZMA_OK || footer.backward_size != index_size)
        return errc::damaged;
      in.pos += LZMA_STREAM_HEADER_SIZE;
      while (in.have(4) && std::memcmp(in.ptr(), "\0\0\0\0", 4) == 0)
        in.pos += 4;
      job.whole_in = in.offset();
      job.whole_out = out.total();
      stream_start = true;
      continue;
    }
    // A block.
    const std::uint64_t block_at = in.offset();
    if (building && (first_point || out.total() - last_point >= job.spacing)) {
      Checkpoint point;
      point.in_bit = block_at * 8;
      point.out = out.total();
      point.detail = block_start | static_cast<std::uint32_t>(flags.check);
      try {
        job.record->checkpoints.push_back(point);
      } catch (const std::bad_alloc&) {
        return errc::no_memory;
      }
      last_point = point.out;
      first_point = false;
    }
    lzma_filter filters[LZMA_FILTERS_MAX + 1];
    lzma_block block{};
    block.version = 1;
    block.check = flags.check;
    block.filters = filters;
    block.header_size = lzma_block_header_size_decode(in.ptr()[0]);
    if (!in.have(block.header_size)) return cut();
    if (const lzma_ret r = lzma_block_header_decode(&block, nullptr, in.ptr()); r != LZMA_OK)
      return from_lzma(r);
    in.pos += block.header_size;
    Stream s;
    const lzma_ret started = lzma_block_decoder(&s.stream, &block);
    for (std::size_t k = 0; filters[k].id != LZMA_VLI_UNKNOWN; ++k)
      std::free(filters[k].options);
    if (started != LZMA_OK) return from_lzma(started);
    for (;;) {
      if (!in.more()) return cut();
      s.stream.next_in = in.ptr();
      s.stream.avail_in = in.ready();
      s.stream.next_out = out.next();
      s.stream.avail_out = out.room();
      const lzma_ret r = lzma_code(&s.stream, LZMA_RUN);
      in.pos = in.end - s.stream.avail_in;
      const std::size_t made = out.room() - s.stream.avail_out;
      if (made != 0 && !out.advance(made)) return errc::cancelled;
      if (out.total() > job.most_text) return errc::expands_too_far;
      if (!building && out.total() >= job.stop_at) return errc{};
      if (r == LZMA_STREAM_END) break;
      if (r != LZMA_OK) return from_lzma(r);
    }
    if (building && lzma_index_hash_append(hash.hash, lzma_block_unpadded_size(&block),
                                           block.uncompressed_size) != LZMA_OK)
      return errc::damaged;
  }
}

} // namespace line_reader::detail
