// A saved index taken apart into what it says (each range's starts and
// their line ends, the header's totals, a compressed file's checkpoints
// and windows) and written back with every hash right, so that the soak can
// make it lie as an attacker would: starts moved, line ends dropped or
// repeated, checkpoints moved. Only what the loader's checks let through
// is worth writing; each mutation keeps starts within the file and rising
// where the lie does not need otherwise.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace soak {

struct SavedStart {
  std::uint64_t start = 0; // where the line after the line end begins
  bool two = false;        // the line end before it is two bytes
};

struct SavedCheckpoint {
  std::uint64_t in_bit = 0;
  std::uint64_t out = 0;
  std::uint32_t detail = 0;
  std::string window; // as stored (deflated); empty for none
};

struct SavedIndex {
  std::string header; // the 128 bytes as read; totals and counts rewritten on writing
  std::vector<std::vector<SavedStart>> ranges;
  bool compressed = false;
  std::uint32_t kind = 0; // 1 gzip, 2 zstd, 3 xz
  std::uint64_t source_size = 0;
  std::vector<SavedCheckpoint> checkpoints;

  std::uint64_t size() const;         // the bytes (of text) indexed
  std::uint64_t found() const;        // line ends, over every range
  std::uint64_t longest_line() const; // as the header says
  std::uint64_t longest_length() const;
  void set_longest(std::uint64_t line, std::uint64_t length);
};

// False when `bytes` is not a saved index of the format this soak knows.
bool parse_saved(const std::string& bytes, SavedIndex& into);
// The index in its saved form, every hash made right.
std::string write_saved(const SavedIndex& index);

// The mutations, by name; "any" picks one that applies. Returns the one
// applied, or "" when none of that kind applies to this index.
std::vector<std::string> mutation_kinds();
std::string mutate_saved(SavedIndex& index, const std::string& kind, std::mt19937_64& rng);

// Mutates the saved index at `path` in place: 0 done (its kind in
// `applied`), 4 when none applies, 2 when it cannot be read or written.
int mutate_file(const std::string& path, const std::string& kind, std::uint64_t seed, std::string& applied);

} // namespace soak
