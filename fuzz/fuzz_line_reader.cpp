// Drives run_line_command with data and a command sequence taken from the
// input and checks every result, the record, the table and the buffer
// against a model built on the naive reference index. Any difference aborts.
//
// Input: byte 0 picks the data's distance from a 16-byte boundary (low four
// bits) and how many command pairs follow (the rest); then pairs of (command
// 0..7 in the low three bits, the block stage to run it with in the rest;
// line number hint); the remaining bytes are the data.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "line_reader/line_reader.h"
#include "line_reader/scan/variants.h"
#include "line_reader/text_file.h"
#include "platform/platform.h"
#include "reference_index.h"

namespace {

[[noreturn]] void differ(const char* what) {
  std::fprintf(stderr, "line reader differs from the model: %s\n", what);
  std::abort();
}

void expect(bool holds, const char* what) {
  if (!holds) differ(what);
}

// A record holding `bytes` the way the loader would, but `offset` bytes past
// a 16-byte boundary; the block keeps the zero tail after the data.
LineRecord load(const std::string& bytes, std::uint32_t offset) {
  LineRecord record{};
  record.buffer_block =
      line_reader::platform::block_allocate_zeroed(file_buffer_bytes(bytes.size() + offset));
  record.buffer = static_cast<char*>(line_reader::platform::block_lock(record.buffer_block)) + offset;
  record.size = static_cast<std::uint32_t>(bytes.size());
  std::memcpy(record.buffer, bytes.data(), bytes.size());
  return record;
}

// What the record must hold: the bytes as they now stand and the index that
// the last build made of them.
struct Model {
  std::string bytes;
  bool indexed = false;
  ReferenceIndex index;
  char* current_line = nullptr;
  std::uint32_t current_length = 0;

  // The reference works on its own copy at the same distance from a 16-byte
  // boundary, so that a reader that damaged its buffer cannot fool it.
  void build(std::uint32_t offset) {
    PlacedData copy(bytes, offset);
    index = reference_index(copy.data(), copy.size());
    indexed = true;
  }
};

void check_record(const LineRecord& record, const Model& model) {
  expect(std::memcmp(record.buffer, model.bytes.data(), model.bytes.size()) == 0, "buffer bytes");
  expect(record.current_line == model.current_line, "current_line");
  expect(record.current_length == model.current_length, "current_length");
  const ReferenceIndex& want = model.index;
  expect(record.heap != 0 && record.table != nullptr, "index exists");
  expect(record.line_count == want.lines.size(), "line_count");
  expect(record.unterminated == (want.trailing ? 1u : 0u), "unterminated");
  expect(record.longest_length == want.longest_length, "longest_length");
  expect(record.longest_line == want.longest_line, "longest_line");
  expect(record.table_bytes == (want.breaks + 1) * sizeof(LineEntry), "table_bytes");
  for (std::size_t i = 0; i < want.lines.size(); ++i) {
    expect(record.table[i].start == record.buffer + want.lines[i].offset, "entry start");
    expect(record.table[i].length == want.lines[i].length, "entry length");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t offset = input[0] & 15;
  const std::size_t commands = std::min<std::size_t>(input[0] >> 4, (size - 1) / 2);
  const std::uint8_t* program = input + 1;
  Model model;
  model.bytes.assign(reinterpret_cast<const char*>(program + 2 * commands), size - 1 - 2 * commands);

  LineRecord record = load(model.bytes, offset);
  bool loaded = true;
  for (std::size_t k = 0; k < commands; ++k) {
    const std::uint32_t code = program[2 * k] & 7;
    const std::uint8_t hint = program[2 * k + 1];
    if (!loaded) { // a release came before: load the same bytes again
      record = load(model.bytes, offset);
      Model fresh;
      fresh.bytes = model.bytes;
      model = fresh;
      loaded = true;
    }
    const std::uint32_t line_count = model.indexed ? static_cast<std::uint32_t>(model.index.lines.size()) : 0;
    // Line numbers around both ends of the range, and the far end of 32 bits.
    const std::uint32_t line_number = hint == 255  ? 0xFFFFFFFFu
                                      : hint < 128 ? hint % 8
                                                   : line_count + hint % 4 - 1;
    const auto variants = line_reader::available_scan_variants();
    line_reader::select_scan_variant(variants[(program[2 * k] >> 3) % variants.size()]);
    record.command = code;
    record.line_number = line_number;
    LineRecord before = record;
    LineFetch fetched{reinterpret_cast<char*>(1), 7};
    const std::uint32_t result = run_line_command(&record, &fetched);

    std::uint32_t want = 0;
    const bool release = code == LINE_CMD_RELEASE || code == LINE_CMD_RELEASE_ALT;
    static const LineRecord empty{};
    if (code == 0 || code == 7 || (model.bytes.size() <= 2 && !release)) {
      expect(std::memcmp(&before, &record, sizeof record) == 0, "failed validation changed the record");
    } else if (release) {
      // A record too small to index still gives its buffer back, but fails.
      expect(std::memcmp(&record, &empty, sizeof record) == 0, "release clears the record");
      want = model.bytes.size() <= 2 ? 0 : 1;
      loaded = false;
    } else {
      if (code == LINE_CMD_BUILD || !model.indexed) model.build(offset);
      if (code == LINE_CMD_BUILD) {
        want = 1;
      } else if (code == LINE_CMD_TERMINATE) {
        const std::size_t ended = model.index.lines.size() - (model.index.trailing ? 1 : 0);
        want = ended == 0 ? 0 : 1;
        for (std::size_t i = 0; i < ended; ++i) {
          const ReferenceLine& line = model.index.lines[i];
          model.bytes[line.offset + line.length] = 0;
          model.bytes[line.offset + line.length + 1] = 0;
        }
      } else if (line_number >= 1 && line_number <= model.index.lines.size()) {
        want = 1;
        model.current_line = record.buffer + model.index.lines[line_number - 1].offset;
        model.current_length = model.index.lines[line_number - 1].length;
      }
      check_record(record, model);
      if (code == LINE_CMD_FETCH_RETURN) {
        expect(fetched.line == record.current_line && fetched.length == record.current_length,
               "code 3 outputs");
      }
    }
    expect(result == want, "result");
    expect(record.command == code || !loaded, "command field kept");
  }
  if (loaded) {
    record.command = LINE_CMD_RELEASE;
    run_line_command(&record);
  }
  return 0;
}
