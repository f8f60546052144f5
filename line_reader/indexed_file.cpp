#include "line_reader/indexed_file.h"

#include <stdexcept>
#include <string>

#include "line_reader/load_file.h"

namespace line_reader {

namespace {

class Category : public std::error_category {
public:
  const char* name() const noexcept override { return "line_reader"; }
  std::string message(int code) const override {
    switch (static_cast<errc>(code)) {
    case errc::not_found: return "no such file";
    case errc::not_a_regular_file: return "not a regular file";
    case errc::no_access: return "the file cannot be opened for reading";
    case errc::too_large: return "the file is too large or has too many lines";
    case errc::no_memory: return "not enough memory";
    case errc::read_error: return "the file could not be read";
    case errc::changed_while_reading: return "the file changed while it was being read";
    }
    return "unknown error";
  }
};

std::uint32_t run(LineRecord& record, std::uint32_t command) {
  record.command = command;
  return run_line_command(&record);
}

} // namespace

const std::error_category& category() noexcept {
  static const Category instance;
  return instance;
}

IndexedFile IndexedFile::indexed(LineRecord record, errc loaded, std::error_code& error) noexcept {
  error = loaded == errc{} ? std::error_code() : make_error_code(loaded);
  IndexedFile file;
  if (loaded != errc{}) return file;
  file.record_ = record;
  // Data of two bytes or fewer fails the build and has no lines, as the
  // record reports it; the buffer is still owned and freed.
  if (record.size > 2 && run(file.record_, LINE_CMD_BUILD) == 0) {
    // The table size needs more than 32 bits when none was stored.
    error = make_error_code(file.record_.table_bytes == 0 ? errc::too_large : errc::no_memory);
    file.release();
  }
  file.record_.command = 0;
  return file;
}

IndexedFile IndexedFile::open(const char* path, std::error_code& error) noexcept {
  LineRecord record{};
  const errc loaded = detail::load_file(path, &record);
  return indexed(record, loaded, error);
}

IndexedFile IndexedFile::copy_of(std::string_view bytes, std::error_code& error) noexcept {
  LineRecord record{};
  const errc copied = detail::copy_into_record(bytes.data(), bytes.size(), &record);
  return indexed(record, copied, error);
}

IndexedFile::IndexedFile(IndexedFile&& other) noexcept : record_(other.record_) {
  other.record_ = LineRecord{};
}

IndexedFile& IndexedFile::operator=(IndexedFile&& other) noexcept {
  if (this != &other) {
    release();
    record_ = other.record_;
    other.record_ = LineRecord{};
  }
  return *this;
}

IndexedFile::~IndexedFile() { release(); }

void IndexedFile::release() noexcept {
  if (record_.buffer != nullptr || record_.table != nullptr) run(record_, LINE_CMD_RELEASE);
  record_ = LineRecord{};
}

std::string_view IndexedFile::line(std::uint32_t number) const {
  if (number < 1 || number > record_.line_count) {
    throw std::out_of_range("line " + std::to_string(number) + " of " + std::to_string(record_.line_count));
  }
  const LineEntry& entry = record_.table[number - 1];
  return {entry.start, entry.length};
}

bool IndexedFile::nul_terminate() noexcept {
  if (record_.line_count == 0) return false;
  const bool done = run(record_, LINE_CMD_TERMINATE) == 1;
  record_.command = 0;
  return done;
}

} // namespace line_reader
