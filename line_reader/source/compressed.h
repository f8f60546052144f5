// Compressed files as a source of text: gzip, zstd and xz, each decoder in a
// file of its own (gzip.cpp, zstd.cpp, xz.cpp), built where its library is.
// A decoder reads the file from a checkpoint, a place where decoding can
// start, and hands its text to an Output in order. The build records
// checkpoints as it goes; a lookup starts at the last one before the bytes
// it wants and stops once it has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "line_reader/compression.h"
#include "line_reader/errors.h"
#include "platform/platform.h"

namespace line_reader::detail {

struct Checkpoint {
  std::uint64_t in_bit = 0;       // where decoding starts in the compressed file, in bits
  std::uint64_t out = 0;          // the text's offset there
  std::uint64_t window_at = 0;    // where its window lies in CompressedText::windows
  std::uint32_t window_bytes = 0; // its window as stored (deflated); 0 for none
  // gzip: the window's length (0 at a member's start, up to 32 KiB);
  // xz: the stream's check type; zstd: 0.
  std::uint32_t detail = 0;
  std::uint64_t window_hash = 0; // XXH3-64 of its window as stored
};

// What an index keeps of a compressed file beside its lines. The windows
// are in memory, or, loaded from a saved index, left in it and read (and
// their hashes checked) when a lookup needs one.
struct CompressedText {
  Compression kind = Compression::none;
  // The compressed bytes indexed: up to the end of the last whole member,
  // frame or stream. The file's identity is taken over these.
  std::uint64_t source_size = 0;
  std::vector<Checkpoint> checkpoints; // their `out` rise, the first at 0
  std::vector<unsigned char> windows;
  platform::Handle saved = 0;         // the saved index whose windows these are, or 0
  std::uint64_t saved_windows_at = 0; // where they lie in it

  CompressedText() = default;
  CompressedText(const CompressedText&) = delete;
  CompressedText& operator=(const CompressedText&) = delete;
  ~CompressedText();
  // The checkpoint's window as stored, checked against its hash; false when
  // it cannot be read or is damaged.
  bool window(const Checkpoint& point, std::vector<unsigned char>& stored) const noexcept;
  // Every window into memory, checked, and the saved index let go: before
  // checkpoints are added. False when one is damaged or there is no memory.
  bool take_windows_in() noexcept;
};

// Takes the text in order. Each piece but the last is a multiple of 64
// bytes on a 64-byte boundary; after the last (`last`), 64 zero bytes
// follow it. False stops the decoding, which then fails with `stopped`.
class TextSink {
public:
  virtual bool take(const char* text, std::uint64_t bytes, std::uint64_t offset, bool last) = 0;

protected:
  ~TextSink() = default;
};

// The buffer that a decoder writes into: it hands whole 64-byte steps to the
// sink and keeps the last 32 KiB written, which a gzip checkpoint takes as
// its window.
class Output {
public:
  static constexpr std::size_t kept = 32 * 1024;
  // Text handed on from `offset`, in pieces of up to `piece` bytes.
  Output(TextSink& sink, std::uint64_t offset, std::size_t piece = std::size_t{1} << 20) noexcept;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output();
  bool ok() const noexcept { return buffer_ != nullptr; }
  unsigned char* next() noexcept { return buffer_ + fill_; }
  std::size_t room() const noexcept { return capacity_ - fill_; }
  // `bytes` were written at next(): false when the sink stopped.
  bool advance(std::size_t bytes) noexcept;
  // The last `length` bytes written (at most `kept`, and at most total() -
  // the offset the output began at).
  const unsigned char* recent(std::size_t length) const noexcept { return buffer_ + fill_ - length; }
  std::uint64_t total() const noexcept { return offset_ + fill_; }
  // Hands the rest to the sink as its last piece.
  bool finish() noexcept;

private:
  TextSink& sink_;
  unsigned char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::uint64_t offset_; // where buffer_[0] stands in the text
  std::size_t fill_ = 0;
  std::size_t handed_ = 0;
};

// Where a decoder's bytes come from when not from a file: a stream, read
// in order from its start (offsets only rise).
class ByteInput {
public:
  // Up to `count` bytes; 0 at the end; false on a failure.
  virtual bool read(unsigned char* into, std::uint32_t count, std::uint32_t& got) = 0;

protected:
  ~ByteInput() = default;
};

// A decoding, from a checkpoint to the end of the file's first `size`
// bytes or until the text reaches `stop_at`.
struct DecodeJob {
  platform::Handle file = 0;
  ByteInput* input = nullptr; // read instead of the file, from its start
  std::uint64_t size = 0;
  Checkpoint start;
  const CompressedText* text = nullptr; // where the start's window lies (gzip)
  std::uint64_t stop_at = UINT64_MAX;
  std::uint64_t most_text = UINT64_MAX; // beyond this: expands_too_far
  // Building: checkpoints are added here about every `spacing` bytes of text.
  CompressedText* record = nullptr;
  std::uint64_t spacing = 1u << 20;
  // Set by the decoder: where the last whole member, frame or stream ended,
  // in the file and in the text, and whether the file ends within one.
  std::uint64_t whole_in = 0;
  std::uint64_t whole_out = 0;
  bool cut = false;
  // How far the file has been read, for progress.
  mutable std::uint64_t read_to = 0;
};

// errc{} when the file ends, whole or cut (job.cut), or the text reaches
// stop_at; errc::damaged, read_error, expands_too_far, no_memory, or
// cancelled when the sink stopped. errc::compressed when this build has no
// decoder for the kind.
errc decode(Compression kind, DecodeJob& job, Output& out) noexcept;

// Whether this build reads the kind.
bool decodes(Compression kind) noexcept;

// `count` bytes of the text from `offset` into `into`, decoded from the
// last checkpoint before them.
errc read_text(platform::Handle file, const CompressedText& text, std::uint64_t offset, std::uint64_t count,
               unsigned char* into) noexcept;

// The decoders, each compiled where its library is.
errc decode_gzip(DecodeJob& job, Output& out) noexcept;
errc decode_zstd(DecodeJob& job, Output& out) noexcept;
errc decode_xz(DecodeJob& job, Output& out) noexcept;

// Reads up to `count` bytes at `offset` of the job's file or input; false
// on a read failure. Fewer at the end.
bool read_some(const DecodeJob& job, std::uint64_t offset, unsigned char* into, std::uint32_t count,
               std::uint32_t& got) noexcept;

} // namespace line_reader::detail
