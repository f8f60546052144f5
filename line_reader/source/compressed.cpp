#include "line_reader/source/compressed.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "line_reader/index/saved_index.h"

namespace line_reader::detail {

namespace {
// The zero tail after the last piece, and room to round the last step up.
constexpr std::size_t tail_bytes = 128;
} // namespace

Output::Output(TextSink& sink, std::uint64_t offset, std::size_t piece) noexcept
    : sink_(sink), offset_(offset) {
  capacity_ = kept + piece;
  buffer_ = static_cast<unsigned char*>(
      ::operator new (capacity_ + tail_bytes, std::align_val_t{64}, std::nothrow));
}

Output::~Output() {
  if (buffer_ != nullptr) ::operator delete (buffer_, std::align_val_t{64});
}

bool Output::advance(std::size_t bytes) noexcept {
  fill_ += bytes;
  const std::size_t whole = (fill_ - handed_) & ~std::size_t{63};
  if (whole >= 64 * 1024 || (room() == 0 && whole != 0)) {
    if (!sink_.take(reinterpret_cast<const char*>(buffer_ + handed_), whole, offset_ + handed_, false))
      return false;
    handed_ += whole;
  }
  if (room() == 0) {
    // Slide: keep the last 32 KiB (from a 64-byte step, so that pieces
    // stay on 64-byte boundaries) and what is not yet handed on.
    const std::size_t from = std::min((fill_ - kept) & ~std::size_t{63}, handed_);
    std::memmove(buffer_, buffer_ + from, fill_ - from);
    fill_ -= from;
    handed_ -= from;
    offset_ += from;
  }
  return true;
}

bool Output::finish() noexcept {
  std::memset(buffer_ + fill_, 0, tail_bytes);
  const bool taken =
      sink_.take(reinterpret_cast<const char*>(buffer_ + handed_), fill_ - handed_, offset_ + handed_, true);
  handed_ = fill_;
  return taken;
}

bool read_some(const DecodeJob& job, std::uint64_t offset, unsigned char* into, std::uint32_t count,
               std::uint32_t& got) noexcept {
  got = 0;
  while (got < count) {
    std::uint32_t more = 0;
    if (job.input != nullptr ? !job.input->read(into + got, count - got, more)
                             : !platform::read_file_at(job.file, offset + got, into + got, count - got, more))
      return false;
    if (more == 0) break;
    got += more;
  }
  if (offset + got > job.read_to) job.read_to = offset + got;
  return true;
}

CompressedText::~CompressedText() { platform::close_handle(saved); }

bool CompressedText::window(const Checkpoint& point, std::vector<unsigned char>& stored) const noexcept {
  try {
    stored.resize(point.window_bytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (saved == 0) {
    if (point.window_at > windows.size() || point.window_bytes > windows.size() - point.window_at)
      return false;
    std::memcpy(stored.data(), windows.data() + point.window_at, point.window_bytes);
  } else {
    DecodeJob job;
    job.file = saved;
    std::uint32_t got = 0;
    if (!read_some(job, saved_windows_at + point.window_at, stored.data(), point.window_bytes, got) ||
        got != point.window_bytes)
      return false;
  }
  return hash_bytes(stored.data(), stored.size()) == point.window_hash;
}

bool CompressedText::take_windows_in() noexcept {
  if (saved == 0) return true;
  std::vector<unsigned char> all;
  std::vector<unsigned char> stored;
  try {
    for (Checkpoint& point : checkpoints) {
      if (point.window_bytes == 0) continue;
      if (!window(point, stored)) return false;
      point.window_at = all.size();
      all.insert(all.end(), stored.begin(), stored.end());
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  windows = std::move(all);
  platform::close_handle(saved);
  saved = 0;
  return true;
}

bool decodes(Compression kind) noexcept {
  switch (kind) {
#ifdef LINE_READER_HAVE_ZLIB
  case Compression::gzip: return true;
#endif
#ifdef LINE_READER_HAVE_ZSTD
  case Compression::zstd: return true;
#endif
#ifdef LINE_READER_HAVE_LZMA
  case Compression::xz: return true;
#endif
  default: return false;
  }
}

errc decode(Compression kind, DecodeJob& job, Output& out) noexcept {
  (void)job; // a build without decoders reads nothing
  if (!out.ok()) return errc::no_memory;
  switch (kind) {
#ifdef LINE_READER_HAVE_ZLIB
  case Compression::gzip: return decode_gzip(job, out);
#endif
#ifdef LINE_READER_HAVE_ZSTD
  case Compression::zstd: return decode_zstd(job, out);
#endif
#ifdef LINE_READER_HAVE_LZMA
  case Compression::xz: return decode_xz(job, out);
#endif
  default: return errc::compressed;
  }
}

namespace {

// Copies the part of each piece that falls in [from, from + count).
class CopySink final : public TextSink {
public:
  CopySink(std::uint64_t from, std::uint64_t count, unsigned char* into)
      : from_(from), count_(count), into_(into) {}
  bool take(const char* text, std::uint64_t bytes, std::uint64_t offset, bool) override {
    const std::uint64_t begin = std::max(offset, from_);
    const std::uint64_t end = std::min(offset + bytes, from_ + count_);
    if (begin < end) {
      std::memcpy(into_ + (begin - from_), text + (begin - offset), static_cast<std::size_t>(end - begin));
      copied_ += end - begin;
    }
    return true;
  }
  std::uint64_t copied() const { return copied_; }

private:
  std::uint64_t from_;
  std::uint64_t count_;
  unsigned char* into_;
  std::uint64_t copied_ = 0;
};

} // namespace

errc read_text(platform::Handle file, const CompressedText& text, std::uint64_t offset, std::uint64_t count,
               unsigned char* into) noexcept {
  if (count == 0) return errc{};
  const auto& points = text.checkpoints;
  auto after = std::upper_bound(points.begin(), points.end(), offset,
                                [](std::uint64_t at, const Checkpoint& point) { return at < point.out; });
  if (after == points.begin()) return errc::bad_index;
  CopySink sink(offset, count, into);
  DecodeJob job;
  job.file = file;
  job.size = text.source_size;
  job.start = *(after - 1);
  job.text = &text;
  job.stop_at = offset + count;
  // A lookup's pieces are small: most lines lie within 64 KiB of text.
  Output out(sink, job.start.out, 64 * 1024);
  if (const errc failure = decode(text.kind, job, out); failure != errc{}) return failure;
  if (!out.finish()) return errc::cancelled;
  // The indexed text is whole members: fewer bytes mean the file changed.
  return sink.copied() == count ? errc{} : errc::changed_while_reading;
}

} // namespace line_reader::detail
