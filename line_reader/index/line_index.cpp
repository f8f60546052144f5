#include "line_reader/index/line_index.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace line_reader::detail {

namespace {

// Chunks start small, so that a short file takes little, and double up to
// 1 MiB; a full block never straddles two, and every block size divides a
// chunk's, so a chunk of full blocks wastes nothing.
constexpr std::size_t first_chunk_bytes = 4096;
constexpr std::size_t last_chunk_bytes = std::size_t{1} << 20;

// Grows an array of T to hold `count` more than `size`, doubling; false when
// there is no memory (the array is then as it was).
template <class T> bool grow(T*& items, std::size_t size, std::size_t& capacity, std::size_t minimum) {
  if (size < capacity) return true;
  const std::size_t wanted = capacity == 0 ? minimum : capacity * 2;
  if (wanted > SIZE_MAX / sizeof(T)) return false;
  void* moved = std::realloc(items, wanted * sizeof(T));
  if (moved == nullptr) return false;
  items = static_cast<T*>(moved);
  capacity = wanted;
  return true;
}

} // namespace

LineIndex::~LineIndex() {
  for (std::size_t i = 0; i < chunk_count_; ++i) {
    if (!chunks_[i].borrowed) platform::heap_free(platform::process_heap(), chunks_[i].memory);
  }
  std::free(chunks_);
  std::free(blocks_);
}

void* LineIndex::room_for(std::size_t bytes) noexcept {
  if (chunk_count_ != 0) {
    Chunk& last = chunks_[chunk_count_ - 1];
    if (last.capacity - last.used >= bytes) {
      void* room = last.memory + last.used;
      last.used += bytes;
      return room;
    }
  }
  if (!grow(chunks_, chunk_count_, chunk_capacity_, 16)) return nullptr;
  std::size_t capacity = chunk_count_ == 0 ? first_chunk_bytes : chunks_[chunk_count_ - 1].capacity * 2;
  if (capacity > last_chunk_bytes) capacity = last_chunk_bytes;
  // From the platform's heap: a chunk of 1 MiB then comes with its pages
  // present, where faulting them in one by one cost a tenth of the build.
  auto* memory =
      static_cast<unsigned char*>(platform::heap_allocate_zeroed(platform::process_heap(), capacity));
  if (memory == nullptr) return nullptr;
  chunks_[chunk_count_++] = Chunk{memory, capacity, bytes, false};
  return memory;
}

bool LineIndex::append(const std::uint64_t* staged, std::uint32_t count, bool first_is_text_start,
                       int known_kind) noexcept {
  if (count == 0) return true;
  if (!grow(blocks_, block_count_, block_capacity_, 4)) return false;
  const std::uint64_t base = start_of_staged(staged[0]);
  const std::uint64_t span = start_of_staged(staged[count - 1]) - base;
  const std::uint64_t width = span <= 0xFFFF ? 0 : span <= 0xFFFFFFFFu ? 1 : 2;
  // The kind of the line ends before the starts: the text's start follows
  // none, and takes the kind of the next so as not to make a block mixed.
  std::uint64_t kind = known_kind == kind_unknown ? kind_mixed : static_cast<std::uint64_t>(known_kind);
  if (known_kind == kind_unknown) {
    std::uint64_t any = 0;
    std::uint64_t all = 1;
    for (std::uint32_t k = first_is_text_start ? 1 : 0; k < count; ++k) {
      any |= staged[k] & 1;
      all &= staged[k] & 1;
    }
    const bool ends_any = count > (first_is_text_start ? 1u : 0u);
    kind = !ends_any || any == 0 ? kind_none : all != 0 ? kind_all : kind_mixed;
  }
  const std::size_t bitmap = kind == kind_mixed ? bitmap_bytes : 0;
  auto* room = static_cast<unsigned char*>(room_for(bitmap + count * (std::size_t{2} << width)));
  if (room == nullptr) return false;
  if (kind == kind_mixed) {
    std::memset(room, 0, bitmap_bytes);
    for (std::uint32_t k = 0; k < count; ++k)
      room[k >> 3] = static_cast<unsigned char>(room[k >> 3] | (staged[k] & 1) << (k & 7));
  }
  void* offsets = room + bitmap;
  switch (width) {
  case 0: {
    auto* out = static_cast<std::uint16_t*>(offsets);
    for (std::uint32_t k = 0; k < count; ++k)
      out[k] = static_cast<std::uint16_t>(start_of_staged(staged[k]) - base);
    break;
  }
  case 1: {
    auto* out = static_cast<std::uint32_t*>(offsets);
    for (std::uint32_t k = 0; k < count; ++k)
      out[k] = static_cast<std::uint32_t>(start_of_staged(staged[k]) - base);
    break;
  }
  default: {
    auto* out = static_cast<std::uint64_t*>(offsets);
    for (std::uint32_t k = 0; k < count; ++k)
      out[k] = start_of_staged(staged[k]);
  }
  }
  blocks_[block_count_++] = Block{base | kind << kind_shift | width << width_shift, offsets};
  entries_in_last_block_ = count;
  return true;
}

void LineIndex::shrink() noexcept {
  if (chunk_count_ != 0) {
    Chunk& last = chunks_[chunk_count_ - 1];
    if (last.used < last.capacity && !last.borrowed) {
      auto* fitted =
          static_cast<unsigned char*>(platform::heap_allocate_zeroed(platform::process_heap(), last.used));
      if (fitted != nullptr) {
        std::memcpy(fitted, last.memory, last.used);
        // The blocks whose offsets lie in the last chunk are the last ones;
        // each moves by as much as the chunk did.
        for (std::size_t b = block_count_; b-- > 0;) {
          const auto* offsets = static_cast<const unsigned char*>(blocks_[b].offsets);
          if (offsets < last.memory || offsets >= last.memory + last.used) break;
          blocks_[b].offsets = fitted + (offsets - last.memory);
        }
        platform::heap_free(platform::process_heap(), last.memory);
        last.memory = fitted;
        last.capacity = last.used;
      }
    }
  }
  if (chunk_count_ != 0 && chunk_count_ < chunk_capacity_) {
    if (void* fitted = std::realloc(chunks_, chunk_count_ * sizeof(Chunk)); fitted != nullptr) {
      chunks_ = static_cast<Chunk*>(fitted);
      chunk_capacity_ = chunk_count_;
    }
  }
  if (block_count_ != 0 && block_count_ < block_capacity_) {
    if (void* fitted = std::realloc(blocks_, block_count_ * sizeof(Block)); fitted != nullptr) {
      blocks_ = static_cast<Block*>(fitted);
      block_capacity_ = block_count_;
    }
  }
}

std::size_t LineIndex::block_bytes(std::size_t b) const noexcept {
  const std::size_t entries = b + 1 < block_count_ ? 256 : entries_in_last_block_;
  return ((blocks_[b].base >> kind_shift & 3) == kind_mixed ? bitmap_bytes : 0) +
         entries * (std::size_t{2} << (blocks_[b].base >> width_shift));
}

std::size_t LineIndex::data_bytes_for(const std::uint64_t* words, std::size_t block_count,
                                      std::uint64_t entries) noexcept {
  if (block_count == 0 || entries > block_count * std::uint64_t{256} ||
      entries <= (block_count - 1) * std::uint64_t{256})
    return entries == 0 && block_count == 0 ? 0 : SIZE_MAX;
  std::uint64_t total = 0;
  std::uint64_t previous_base = 0;
  for (std::size_t b = 0; b < block_count; ++b) {
    const std::uint64_t width = words[b] >> width_shift;
    const std::uint64_t kind = words[b] >> kind_shift & 3;
    const std::uint64_t base = words[b] & base_mask;
    if (width > 2 || kind > kind_mixed || base < previous_base) return SIZE_MAX;
    previous_base = base;
    const std::uint64_t in_block =
        b + 1 < block_count ? 256 : entries - (block_count - 1) * std::uint64_t{256};
    total += (kind == kind_mixed ? bitmap_bytes : 0) + in_block * (std::uint64_t{2} << width);
  }
  return total > SIZE_MAX / 2 ? SIZE_MAX : static_cast<std::size_t>(total);
}

bool LineIndex::adopt(const std::uint64_t* words, std::size_t block_count, std::uint64_t entries,
                      unsigned char* data, std::size_t data_bytes, bool borrowed) noexcept {
  if (!grow(chunks_, chunk_count_, chunk_capacity_, 1)) {
    if (!borrowed) platform::heap_free(platform::process_heap(), data);
    return false;
  }
  chunks_[chunk_count_++] = Chunk{data, data_bytes, data_bytes, borrowed};
  if (block_count == 0) return true;
  auto* blocks = static_cast<Block*>(std::malloc(block_count * sizeof(Block)));
  if (blocks == nullptr) return false;
  std::free(blocks_);
  blocks_ = blocks;
  block_count_ = block_capacity_ = block_count;
  entries_in_last_block_ = static_cast<std::uint32_t>(entries - (block_count - 1) * std::uint64_t{256});
  std::size_t at = 0;
  for (std::size_t b = 0; b < block_count; ++b) {
    const std::size_t bitmap = (words[b] >> kind_shift & 3) == kind_mixed ? bitmap_bytes : 0;
    blocks_[b] = Block{words[b], data + at + bitmap};
    at += block_bytes(b);
  }
  return true;
}

std::uint32_t LineIndex::partial_block(std::uint64_t* staged) const noexcept {
  if (block_count_ == 0 || entries_in_last_block_ >= 256) return 0;
  const std::uint64_t first = (block_count_ - 1) * std::uint64_t{256};
  for (std::uint32_t k = 0; k < entries_in_last_block_; ++k)
    staged[k] = 2 * start(first + k) + (after_two_bytes(first + k) ? 1 : 0);
  return entries_in_last_block_;
}

bool LineIndex::absorb(LineIndex& tail) noexcept {
  const bool partial = block_count_ != 0 && entries_in_last_block_ < 256;
  const std::size_t kept = block_count_ - (partial ? 1 : 0);
  // Room first, so that nothing after it can fail.
  while (block_capacity_ < kept + tail.block_count_) {
    if (!grow(blocks_, block_capacity_, block_capacity_, 4)) return false;
  }
  while (chunk_capacity_ < chunk_count_ + tail.chunk_count_) {
    if (!grow(chunks_, chunk_capacity_, chunk_capacity_, 4)) return false;
  }
  if (partial) {
    // Its bytes go back when they end the last chunk of the index's own.
    const auto* data = static_cast<const unsigned char*>(block_data(kept));
    const std::size_t bytes = block_bytes(kept);
    Chunk& last = chunks_[chunk_count_ - 1];
    if (!last.borrowed && data + bytes == last.memory + last.used) last.used -= bytes;
  }
  std::memcpy(blocks_ + kept, tail.blocks_, tail.block_count_ * sizeof(Block));
  std::memcpy(chunks_ + chunk_count_, tail.chunks_, tail.chunk_count_ * sizeof(Chunk));
  block_count_ = kept + tail.block_count_;
  chunk_count_ += tail.chunk_count_;
  entries_in_last_block_ = tail.block_count_ != 0 ? tail.entries_in_last_block_ : kept != 0 ? 256 : 0;
  tail.block_count_ = tail.chunk_count_ = 0;
  tail.entries_in_last_block_ = 0;
  return true;
}

std::size_t LineIndex::bytes() const noexcept {
  std::size_t total = block_capacity_ * sizeof(Block) + chunk_capacity_ * sizeof(Chunk);
  for (std::size_t i = 0; i < chunk_count_; ++i)
    total += chunks_[i].capacity;
  return total;
}

LineIndexBuilder::LineIndexBuilder(LineIndex& into, const LineEndStages& stages, bool lf,
                                   bool from_text_start) noexcept
    : stage_(lf ? stages.lf : stages.crlf), widest_(stages.widest), index_(&into),
      from_text_start_(from_text_start), line_start_known_(from_text_start) {
  if (from_text_start) {
    scan_.staged[0] = 0; // the first line starts at the first byte
    scan_.staged_count = 1;
    measured_ = 1;
  }
  scan_.take = take;
  scan_.builder = this;
}

void LineIndexBuilder::take(LineEndScan& scan) noexcept {
  static_cast<LineIndexBuilder*>(scan.builder)->hand_over(false);
}

void LineIndexBuilder::hand_over(bool all) noexcept {
  const std::uint32_t count = scan_.staged_count;
  const std::uint64_t* staged = scan_.staged;
  // The length of each line that a staged start ends, its line end not
  // counted: the longest first, in the stage's vector lanes; the line that
  // has it is looked for only when it beats the longest so far, which is
  // rare after the first few blocks. Strictly longer wins, so the first of
  // equal lengths stays.
  std::uint32_t from = measured_;
  std::uint64_t two_any = carried_any_;
  std::uint64_t two_all = carried_all_;
  if (!line_start_known_ && from < count) {
    // A range's first line end ends a line that began before the range.
    first_found_ = staged[from++];
    two_any |= first_found_ & 1;
    two_all &= first_found_ & 1;
    line_start_known_ = true;
  }
  const std::uint64_t first_start = from == 0 ? line_start_ : staged[from - 1];
  const std::uint64_t widest = widest_(staged + from, count - from, first_start, two_any, two_all);
  // Blocks of starts that all follow line ends of one kind take it without
  // a look at each (the text's start, which follows none, counts as either).
  const int kind = two_all != 0   ? static_cast<int>(LineIndex::kind_all)
                   : two_any == 0 ? static_cast<int>(LineIndex::kind_none)
                                  : LineIndex::kind_unknown;
  if (count > from && widest > longest_length_) {
    std::uint32_t k = from;
    for (std::uint64_t previous = first_start; staged_line_length(previous, staged[k]) != widest; ++k)
      previous = staged[k];
    longest_length_ = widest;
    longest_line_ = lines_ + 1 + (k - measured_);
  }
  lines_ += count - measured_;

  std::uint32_t handed = 0;
  while (count - handed >= lines_per_block || (all && handed < count)) {
    const std::uint32_t block = count - handed < lines_per_block ? count - handed : lines_per_block;
    const bool text_start = from_text_start_ && handed == 0 && index_->entry_count() == 0;
    if (!out_of_memory_ && !index_->append(staged + handed, block, text_start, kind)) out_of_memory_ = true;
    handed += block;
  }
  carried_any_ = two_any;
  carried_all_ = two_all;
  if (kind == LineIndex::kind_unknown) {
    // The starts left over, looked at again so that one mixed block does
    // not make every later one looked at.
    carried_any_ = 0;
    carried_all_ = 1;
    for (std::uint32_t k = handed; k < count; ++k) {
      carried_any_ |= staged[k] & 1;
      carried_all_ &= staged[k] & 1;
    }
  }
  line_start_ = handed == 0 ? line_start_ : staged[handed - 1];
  for (std::uint32_t k = handed; k < count; ++k)
    scan_.staged[k - handed] = staged[k];
  scan_.staged_count = count - handed;
  measured_ = count - handed;
}

bool LineIndexBuilder::finish(std::uint64_t size, LineTotals& totals) noexcept {
  // Text after the last line end is a line when it is not empty; its end
  // is the start after it. It has no line end, so it is not measured.
  const std::uint64_t last_start =
      start_of_staged(scan_.staged_count != 0 ? scan_.staged[scan_.staged_count - 1] : line_start_);
  totals.trailing = last_start < size;
  hand_over(false);
  if (totals.trailing) scan_.staged[scan_.staged_count++] = 2 * size;
  measured_ = scan_.staged_count;
  hand_over(true);
  if (out_of_memory_) return false;
  index_->shrink();
  totals.line_count = lines_ + (totals.trailing ? 1 : 0);
  totals.longest_line = longest_line_;
  totals.longest_length = longest_length_;
  return true;
}

bool LineIndexBuilder::finish_range(RangeTotals& totals) noexcept {
  const std::uint32_t staged = scan_.staged_count;
  totals.last_found = staged != 0 ? scan_.staged[staged - 1] : line_start_;
  measured_ = measured_ < staged ? measured_ : staged;
  hand_over(true);
  if (out_of_memory_) return false;
  index_->shrink();
  totals.found = lines_;
  totals.first_found = first_found_;
  totals.longest_line = longest_line_;
  totals.longest_length = longest_length_;
  return true;
}

} // namespace line_reader::detail
