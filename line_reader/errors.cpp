#include "line_reader/errors.h"

#include <string>

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
    case errc::too_large: return "the file is larger than this process can hold";
    case errc::no_memory: return "not enough memory";
    case errc::read_error: return "the file could not be read";
    case errc::changed_while_reading: return "the file changed while it was being read";
    case errc::bad_index: return "the saved index is damaged or not an index";
    case errc::stale_index: return "the saved index describes another file, or this one before it changed";
    case errc::cancelled: return "cancelled";
    case errc::unsupported_index:
      return "the saved index is of an older format, which this version does not read";
    case errc::other_line_ends: return "the saved index was made for other line ends";
    case errc::compressed: return "the file is compressed in a form this build does not read";
    case errc::damaged: return "the compressed data is damaged";
    case errc::expands_too_far: return "the compressed data expands past the limit set for it";
    }
    return "unknown error";
  }
};

} // namespace

const std::error_category& category() noexcept {
  static const Category instance;
  return instance;
}

} // namespace line_reader
