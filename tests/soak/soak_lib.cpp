// The soak test's worker for the C++ library (README.md beside it): random
// changes to real files, FileIndex and IndexedFile asked about them, on
// threads too, saved indexes made to lie, and the platform layer made to
// fail, every answer compared with a model that holds the file's text and
// splits it the plainest way.
//
//   soak_lib --seed S --seconds N --workdir DIR --log STEPS.jsonl [--steps REPLAY.jsonl] [--known FILE]
//   soak_lib --mutate KIND --seed N --index PATH
//
// The second form changes a saved index in place as an attacker would, its
// hashes made right again (soak_lib_saved.h), for the faces that drive
// the lines program.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "line_reader/file_index.h"
#include "line_reader/indexed_file.h"
#include "platform/fault_injection.h"
#include "soak_lib_saved.h"
#include "soak_lib_steps.h"

namespace {

using line_reader::Compression;
using line_reader::FileIndex;
using line_reader::IndexedFile;
using line_reader::IndexOptions;
using line_reader::LineEnds;
namespace faults = line_reader::platform::faults;

// A difference from the model: the step's op and this kind make its signature.
struct Defect {
  std::string kind; // wrong, status, changed, error, leak
  std::string detail;
};

[[noreturn]] void fail(const std::string& kind, const std::string& detail) { throw Defect{kind, detail}; }

std::string quote(std::string_view bytes) {
  std::string shown(bytes.substr(0, 80));
  return soak::json_string(shown) + (bytes.size() > 80 ? "..." : "") + " (" + std::to_string(bytes.size()) +
         " bytes)";
}

// The model --------------------------------------------------------------------

struct Line {
  std::uint64_t offset;
  std::uint64_t length;
  std::uint64_t end; // the line end's bytes: 0, 1 or 2
};

// The lines of `text` the plainest way. LF: an LF ends a line, and a CR
// right before it belongs to the line end; CR LF: only the pair does. Text
// after the last line end is a line; an empty text has none.
std::vector<Line> split(const std::string& text, LineEnds ends) {
  std::vector<Line> lines;
  std::uint64_t start = 0;
  for (;;) {
    const std::size_t at = text.find(ends == LineEnds::lf ? "\n" : "\r\n", start);
    if (at == std::string::npos) break;
    if (ends == LineEnds::lf && at > start && text[at - 1] == '\r')
      lines.push_back({start, at - 1 - start, 2});
    else
      lines.push_back({start, at - start, ends == LineEnds::lf ? 1u : 2u});
    start = at + (ends == LineEnds::lf ? 1 : 2);
  }
  if (start < text.size()) lines.push_back({start, text.size() - start, 0});
  return lines;
}

// The first of the longest lines that end in a line end; 0 when none is
// longer than 0 bytes.
std::pair<std::uint64_t, std::uint64_t> longest(const std::vector<Line>& lines) {
  std::pair<std::uint64_t, std::uint64_t> best{0, 0};
  for (std::size_t k = 0; k < lines.size(); ++k)
    if (lines[k].end != 0 && lines[k].length > best.second) best = {k + 1, lines[k].length};
  return best;
}

// A file as it is on disk: its bytes, and for a compressed one the text of
// its whole members (a member cut short, or zeros after the last, add none).
struct Inode {
  std::string form = "none"; // what its members are: none, gzip, zstd, xz
  std::string bytes;
  std::string text;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> members; // each one's end in bytes and text
  std::uint64_t version = 0;                                    // every change adds one
  std::string cut_text; // the text of a member cut short after the whole ones

  std::uint64_t whole_end() const { return members.empty() ? 0 : members.back().first; }
  const std::string& text_of(bool raw) const { return raw || form == "none" ? bytes : text; }
  // What a decoder may give from here: the text, then a prefix of what the
  // member cut short held.
  std::string readable(bool raw) const { return raw || form == "none" ? bytes : text + cut_text; }
  // What the library should call it: a compressed form once its signature is there.
  Compression compression(bool raw) const {
    if (raw || form == "none" || bytes.size() < 16) return Compression::none;
    return form == "gzip" ? Compression::gzip : form == "zstd" ? Compression::zstd : Compression::xz;
  }
};

std::shared_ptr<Inode> new_inode(const std::string& form) {
  auto file = std::make_shared<Inode>();
  file->form = form;
  return file;
}

// What an index saw when it last indexed the file it holds open.
struct Snapshot {
  std::shared_ptr<Inode> inode;
  std::uint64_t version = 0;
  std::uint64_t size = 0; // the file's bytes then
  std::string source;     // the bytes it indexed: all, or the whole members
  std::string text;
  std::vector<Line> lines;
  bool raw = false;
  Compression compression = Compression::none;
  LineEnds ends = LineEnds::lf;

  void take(const std::shared_ptr<Inode>& file, bool raw_bytes, LineEnds line_ends) {
    inode = file;
    version = file->version;
    size = file->bytes.size();
    raw = raw_bytes;
    ends = line_ends;
    compression = file->compression(raw);
    source = compression == Compression::none ? file->bytes : file->bytes.substr(0, file->whole_end());
    text = file->text_of(raw);
    lines = split(text, ends);
  }
  // Whether the bytes indexed are still the file's: only appends since.
  bool intact() const {
    return inode->bytes.size() >= source.size() && inode->bytes.compare(0, source.size(), source) == 0;
  }
};

// A slot: one name in the folder, its file (through a link, maybe) and the
// index of it that the steps ask.
struct Slot {
  std::string path;
  std::string form; // of the members appended: none, gzip, zstd, xz
  std::shared_ptr<Inode> inode;
  unsigned links = 0;
  FileIndex index;
  bool indexed = false; // built or loaded: `seen` holds what it saw
  Snapshot seen;
  IndexOptions options;
};

constexpr const char* slot_forms[] = {"none", "gzip", "zstd", "xz"};

// Changes to real files -----------------------------------------------------------

void write_all(int fd, const std::string& bytes, std::uint64_t piece) {
  for (std::uint64_t at = 0; at < bytes.size();) {
    const std::uint64_t count = std::min<std::uint64_t>(piece, bytes.size() - at);
    const ssize_t wrote = ::write(fd, bytes.data() + at, count);
    if (wrote <= 0) throw std::runtime_error("write failed: " + std::string(std::strerror(errno)));
    at += static_cast<std::uint64_t>(wrote);
  }
}

// Appends as a log is written: in small writes.
void append_file(Slot& slot, const std::string& bytes, std::uint64_t piece) {
  const int fd = ::open(slot.path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) throw std::runtime_error("open " + slot.path + ": " + std::strerror(errno));
  write_all(fd, bytes, piece);
  ::close(fd);
  if (!slot.inode) slot.inode = new_inode(slot.form);
  if (bytes.empty()) return;
  slot.inode->bytes += bytes;
  if (slot.inode->form == "none") slot.inode->text = slot.inode->bytes;
  ++slot.inode->version;
}

void truncate_file(Slot& slot, std::uint64_t size) {
  Inode& file = *slot.inode;
  if (::truncate(slot.path.c_str(), static_cast<off_t>(size)) != 0)
    throw std::runtime_error("truncate " + slot.path + ": " + std::strerror(errno));
  file.bytes.resize(size);
  ++file.version;
  if (file.form == "none") {
    file.text = file.bytes;
    return;
  }
  // Members past the new end are cut short, or gone.
  const std::string all = file.text + file.cut_text;
  while (!file.members.empty() && file.members.back().first > size)
    file.members.pop_back();
  file.text = all.substr(0, file.members.empty() ? 0 : file.members.back().second);
  file.cut_text = size > file.whole_end() ? all.substr(file.text.size()) : std::string();
}

// A new file under the slot's name, empty, in place of what was there.
void create_anew(Slot& slot) {
  const int fd = ::open(slot.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL, 0644);
  if (fd < 0) throw std::runtime_error("create " + slot.path + ": " + std::strerror(errno));
  ::close(fd);
  slot.inode = new_inode(slot.form);
}

// The library's runs ------------------------------------------------------------

const char* error_name(const std::error_code& error) {
  if (error.category() != line_reader::category()) return "system";
  static const char* const names[] = {"?",
                                      "not_found",
                                      "not_a_regular_file",
                                      "no_access",
                                      "too_large",
                                      "no_memory",
                                      "read_error",
                                      "changed_while_reading",
                                      "bad_index",
                                      "stale_index",
                                      "cancelled",
                                      "unsupported_index",
                                      "other_line_ends",
                                      "compressed",
                                      "damaged",
                                      "expands_too_far"};
  return error.value() >= 0 && error.value() < 16 ? names[error.value()] : "?";
}
std::string said(const std::error_code& error) {
  return std::string(error_name(error)) + " (" + error.message() + ")";
}
bool is(const std::error_code& error, line_reader::errc e) { return error == make_error_code(e); }

// How strictly answers are held to the model: every one right; right or a
// refusal (faults, a saved index that lies); or, for a file changed under
// the index other than by appends, right, a refusal, or the bytes that the
// file now holds where the line lay.
enum class Hold { strict, refusal, changed };

struct Checker {
  const Snapshot& model;
  Hold hold;
  std::string what; // said before each difference: which index

  // A refusal where none is allowed is a status defect; a refusal that blames
  // the file (damaged) for what a saved index says is one too.
  void refused(const std::string& call, const std::string& reason, bool blames_file) const {
    if (hold == Hold::strict) fail("status", what + call + " failed: " + reason);
    if (blames_file && hold == Hold::refusal)
      fail("status", what + call + " said the file is damaged, which it is not: " + reason);
  }
  void refused(const std::string& call, const std::error_code& error) const {
    refused(call, said(error), is(error, line_reader::errc::damaged));
  }
  void bytes(const std::string& call, std::string_view got, std::uint64_t offset, std::uint64_t count) const {
    const std::string_view want = std::string_view(model.text).substr(offset, count);
    if (got == want) return;
    // What the file holds there now is no wrong answer either (of a
    // compressed file, its text now).
    const std::string now = model.inode->readable(model.raw);
    if (hold == Hold::changed && offset + count <= now.size() &&
        got == std::string_view(now).substr(offset, count))
      return;
    fail("wrong", what + call + " gave " + quote(got) + ", the model " + quote(want));
  }
  void number(const std::string& call, std::uint64_t got, std::uint64_t want) const {
    if (got != want)
      fail("wrong", what + call + " gave " + std::to_string(got) + ", the model " + std::to_string(want));
  }

  std::uint64_t count() const { return model.lines.size(); }
  std::uint64_t line_end(std::uint64_t n) const {
    const Line& line = model.lines[n - 1];
    return line.offset + line.length + line.end;
  }

  void totals(const FileIndex& index) const {
    number("line_count()", index.line_count(), count());
    const auto [line, length] = longest(model.lines);
    number("longest_line()", index.longest_line(), line);
    number("longest_length()", index.longest_length(), length);
    number("indexed_bytes()", index.indexed_bytes(), model.text.size());
    number("compression()", static_cast<std::uint64_t>(index.compression()),
           static_cast<std::uint64_t>(model.compression));
    number("ends()", static_cast<std::uint64_t>(index.ends()), static_cast<std::uint64_t>(model.ends));
  }

  void span(const FileIndex& index, std::uint64_t n) const {
    const std::string call = "span(" + std::to_string(n) + ")";
    if (n == 0 || n > count()) {
      try {
        (void)index.span(n);
      } catch (const std::out_of_range&) {
        return;
      } catch (const std::exception& e) {
        fail("error", what + call + " past the lines threw " + e.what() + ", not out_of_range");
      }
      fail("status", what + call + " past " + std::to_string(count()) + " lines did not throw");
    }
    std::error_code error;
    FileIndex::Span got{};
    try {
      got = index.span(n, error);
    } catch (const std::exception& e) {
      return refused(call, e.what(), false);
    }
    if (error) return refused(call, error);
    const Line& line = model.lines[n - 1];
    if (got.offset != line.offset || got.length != line.length)
      fail("wrong", what + call + " gave {" + std::to_string(got.offset) + ", " + std::to_string(got.length) +
                        "}, the model {" + std::to_string(line.offset) + ", " + std::to_string(line.length) +
                        "}");
  }

  void spans(const FileIndex& index, std::uint64_t first, std::uint64_t n) const {
    if (n == 0) return;
    std::vector<FileIndex::Span> got(n);
    std::error_code error;
    try {
      index.spans(first, n, got.data(), error);
    } catch (const std::exception& e) {
      return refused("spans", e.what(), false);
    }
    // Those before a damaged piece are filled; a refusal leaves the rest.
    for (std::uint64_t k = 0; k < n; ++k) {
      const Line& line = model.lines[first - 1 + k];
      if (got[k].offset == line.offset && got[k].length == line.length) continue;
      if (error) return refused("spans(" + std::to_string(first) + ", " + std::to_string(n) + ")", error);
      fail("wrong", what + "spans(" + std::to_string(first) + ", " + std::to_string(n) + ") gave line " +
                        std::to_string(first + k) + " as {" + std::to_string(got[k].offset) + ", " +
                        std::to_string(got[k].length) + "}, the model {" + std::to_string(line.offset) +
                        ", " + std::to_string(line.length) + "}");
    }
    if (error) refused("spans", error);
  }

  void read_line(const FileIndex& index, std::uint64_t n, std::string& buffer) const {
    const std::string call = "read_line(" + std::to_string(n) + ")";
    std::error_code error;
    std::string_view got;
    try {
      got = index.read_line(n, buffer, error);
    } catch (const std::exception& e) {
      if (n == 0 || n > count()) return;
      return refused(call, e.what(), false);
    }
    if (n == 0 || n > count())
      fail("status", what + call + " past " + std::to_string(count()) + " lines did not throw");
    if (error) return refused(call, error);
    bytes(call, got, model.lines[n - 1].offset, model.lines[n - 1].length);
  }

  void read_lines(const FileIndex& index, std::uint64_t first, std::uint64_t last,
                  std::string& buffer) const {
    const std::string call = "read_lines(" + std::to_string(first) + ", " + std::to_string(last) + ")";
    std::error_code error;
    std::string_view got;
    try {
      got = index.read_lines(first, last, buffer, error);
    } catch (const std::exception& e) {
      return refused(call, e.what(), false);
    }
    if (error) return refused(call, error);
    const std::uint64_t from = model.lines[first - 1].offset;
    bytes(call, got, from, line_end(last) - from);
  }

  void read_bytes(const FileIndex& index, std::uint64_t offset, std::uint64_t n, std::string& buffer) const {
    const std::string call = "read_bytes(" + std::to_string(offset) + ", " + std::to_string(n) + ")";
    std::error_code error;
    std::string_view got;
    const bool past = offset > model.text.size() || n > model.text.size() - offset;
    try {
      got = index.read_bytes(offset, n, buffer, error);
    } catch (const std::out_of_range&) {
      if (past) return;
      return refused(call, "out_of_range", false);
    } catch (const std::exception& e) {
      return refused(call, e.what(), false);
    }
    if (past)
      fail("status", what + call + " past " + std::to_string(model.text.size()) + " bytes did not throw");
    if (error) return refused(call, error);
    bytes(call, got, offset, n);
  }

  // Every statistic, every span, the whole text, and `reads` lines and
  // pieces chosen by `rng` (the first and last among them), plus `lines`.
  void all(const FileIndex& index, std::mt19937_64& rng, unsigned reads,
           const std::vector<std::uint64_t>& lines = {}) const {
    totals(index);
    std::string buffer;
    spans(index, 1, count());
    auto any_line = [&]() { return std::uniform_int_distribution<std::uint64_t>(1, count())(rng); };
    span(index, 0);
    span(index, count() + 1);
    read_line(index, count() + 1, buffer);
    if (count() == 0) {
      read_bytes(index, 0, 0, buffer);
      read_bytes(index, 0, 1, buffer);
      return;
    }
    // The whole text in one read, where the text is not too large.
    if (model.text.size() <= (8u << 20)) read_lines(index, 1, count(), buffer);
    read_line(index, 1, buffer);
    read_line(index, count(), buffer);
    for (const std::uint64_t n : lines)
      if (n >= 1 && n <= count()) read_line(index, n, buffer);
    for (unsigned k = 0; k < reads; ++k) {
      const std::uint64_t n = any_line();
      span(index, n);
      read_line(index, n, buffer);
      const std::uint64_t m = std::min<std::uint64_t>(count(), n + rng() % 4);
      read_lines(index, n, m, buffer);
      const std::uint64_t offset = rng() % (model.text.size() + 1);
      read_bytes(index, offset, rng() % (model.text.size() - offset + 2), buffer);
    }
  }
};

// An IndexedFile against the model of `text`.
void check_indexed_file(const IndexedFile& file, const std::string& text, LineEnds ends,
                        const std::string& what) {
  const std::vector<Line> lines = split(text, ends);
  if (file.line_count() != lines.size())
    fail("wrong", what + "line_count() gave " + std::to_string(file.line_count()) + ", the model " +
                      std::to_string(lines.size()));
  const auto [line, length] = longest(lines);
  if (file.longest_line() != line || file.longest_length() != length)
    fail("wrong", what + "longest gave line " + std::to_string(file.longest_line()) + " of " +
                      std::to_string(file.longest_length()) + ", the model line " + std::to_string(line) +
                      " of " + std::to_string(length));
  if (file.text() != text)
    fail("wrong", what + "text() gave " + quote(file.text()) + ", the model " + quote(text));
  std::uint64_t n = 0;
  for (const std::string_view got : file) {
    const std::string_view want = std::string_view(text).substr(lines[n].offset, lines[n].length);
    if (got != want || file.line(n + 1) != want)
      fail("wrong",
           what + "line " + std::to_string(n + 1) + " gave " + quote(got) + ", the model " + quote(want));
    ++n;
  }
  try {
    (void)file.line(lines.size() + 1);
    fail("status", what + "line(" + std::to_string(lines.size() + 1) + ") past the lines did not throw");
  } catch (const std::out_of_range&) {
  }
}

// The worker ---------------------------------------------------------------------

// The step's op without the form of its file: "build_xz" builds the xz file's index.
std::string base_op(const std::string& op) {
  for (const char* form : slot_forms) {
    const std::string suffix = std::string("_") + form;
    if (op.size() > suffix.size() && op.compare(op.size() - suffix.size(), suffix.size(), suffix) == 0)
      return op.substr(0, op.size() - suffix.size());
  }
  return op;
}

class Worker {
public:
  explicit Worker(std::string folder) : folder_(std::move(folder)) { start(); }

  void run(const soak::Step& step);
  soak::Step generate(std::mt19937_64& rng) const;
  // Every file and index afresh.
  void start();
  // After a known defect in the step: its file and index afresh, where the
  // step may have left them apart from the model (a lying saved index
  // leaves nothing behind).
  void recover(const soak::Step& step);

private:
  Slot& slot_of(const soak::Step& step);
  std::string fresh_name(const std::string& stem) {
    return folder_ + "/" + stem + "." + std::to_string(++names_);
  }

  void append(const soak::Step& step);
  void change(const soak::Step& step, const std::string& op);
  void build(const soak::Step& step, bool faulted);
  void refresh(const soak::Step& step, bool faulted);
  void save_load(const soak::Step& step, bool faulted);
  void query(const soak::Step& step, bool faulted);
  void indexed_file(const soak::Step& step, bool faulted);
  void threads(const soak::Step& step);
  void hostile(const soak::Step& step, const std::string& kind);
  void fault(const soak::Step& step);

  // How answers of the slot's index are held: strictly while its file only grew.
  Hold hold_of(const Slot& slot) const { return slot.seen.intact() ? Hold::strict : Hold::changed; }
  void check_slot(Slot& slot, std::uint64_t seed, unsigned reads, Hold hold) {
    std::mt19937_64 rng(seed);
    if (!slot.indexed) {
      if (slot.index.line_count() != 0)
        fail("wrong", "an index that failed holds " + std::to_string(slot.index.line_count()) + " lines");
      return;
    }
    Checker{slot.seen, hold, ""}.all(slot.index, rng, reads);
  }

  std::string folder_;
  std::vector<Slot> slots_;
  unsigned names_ = 0;
};

void Worker::recover(const soak::Step& step) {
  faults::reset();
  if (base_op(step.op()).compare(0, 7, "mutate_") == 0) return;
  Slot& slot = slot_of(step);
  const std::string command = "rm -f '" + slot.path + "' '" + slot.path + "'.*";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot remove " + slot.path);
  slot.inode.reset();
  slot.index = FileIndex();
  slot.indexed = false;
}

void Worker::start() {
  slots_.clear();
  std::string command = "rm -rf '" + folder_ + "'";
  if (std::system(command.c_str()) != 0 || ::mkdir(folder_.c_str(), 0755) != 0)
    throw std::runtime_error("cannot make " + folder_);
  slots_.resize(std::size(slot_forms));
  for (std::size_t k = 0; k < slots_.size(); ++k) {
    slots_[k].path = folder_ + "/s" + std::to_string(k);
    slots_[k].form = slot_forms[k];
  }
}

// Appends to the slot's file (making it when it is not there): bytes to a
// plain one; a whole member, one cut short or zeros after the last (gzip)
// to a compressed one, whose writer starts again after its whole members
// when it left a cut one or padding.
void Worker::append(const soak::Step& step) {
  Slot& slot = slot_of(step);
  const std::uint64_t size = step.number("size");
  if (slot.inode && slot.inode->bytes.size() + size > (48u << 20)) return;
  const std::string text = soak::make_bytes(step.number("seed"), size, step.text("shape"));
  const std::uint64_t piece = 1 + step.number("piece", 4096);
  if (slot.form == "none") return append_file(slot, text, piece);
  if (!slot.inode) create_anew(slot);
  Inode& file = *slot.inode;
  const std::string how = step.text("how");
  if (how == "zeros" && (slot.form != "gzip" || file.whole_end() == 0)) return;
  if (file.bytes.size() > file.whole_end()) truncate_file(slot, file.whole_end());
  if (how == "zeros") {
    return append_file(slot, std::string(1 + size % 4096, '\0'), piece);
  }
  const std::string member =
      soak::compress(slot.form, text, static_cast<int>(1 + step.number("level") % 9), step.number("flush"));
  if (how == "cut") {
    if (member.size() < 18) return;
    append_file(slot, member.substr(0, 16 + step.number("seed") % (member.size() - 17)), piece);
    file.cut_text = text;
    return;
  }
  append_file(slot, member, piece);
  file.text += text;
  file.members.emplace_back(file.bytes.size(), file.text.size());
}

// Truncation, a rewrite in place with the time put back, rotation, a link.
void Worker::change(const soak::Step& step, const std::string& op) {
  Slot& slot = slot_of(step);
  if (op == "truncate") {
    if (!slot.inode || slot.inode->bytes.empty()) return;
    std::uint64_t size = step.number("at") % slot.inode->bytes.size();
    // Fewer bytes than a compressed form's signature would read as text.
    if (slot.form != "none" && size < 16) size = 0;
    return truncate_file(slot, size);
  }
  if (op == "rewrite") {
    // Within the first 64 KiB, which a refresh hashes: a rewrite elsewhere
    // at the same size and times is beyond what the index can see.
    if (!slot.inode || slot.inode->bytes.empty() || slot.form != "none") return;
    Inode& file = *slot.inode;
    const std::uint64_t at = step.number("at") % std::min<std::uint64_t>(file.bytes.size(), 65536);
    std::string bytes = soak::make_bytes(step.number("seed"),
                                         std::min<std::uint64_t>(16, file.bytes.size() - at), "cut_ends");
    struct stat before {};
    if (::stat(slot.path.c_str(), &before) != 0) throw std::runtime_error("stat " + slot.path);
    const int fd = ::open(slot.path.c_str(), O_WRONLY);
    if (fd < 0 || ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)) !=
                      static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("rewrite " + slot.path);
    ::close(fd);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ::utimensat(AT_FDCWD, slot.path.c_str(), times, 0);
    file.bytes.replace(at, bytes.size(), bytes);
    file.text = file.bytes;
    ++file.version;
    return;
  }
  if (op == "rotate") {
    if (slot.inode) {
      const std::string away = slot.path + ".1";
      if (::rename(slot.path.c_str(), away.c_str()) != 0) throw std::runtime_error("rename " + slot.path);
    }
    create_anew(slot);
    if (step.number("size") != 0) append(step);
    return;
  }
  if (op == "link") {
    // The name becomes a link to another file, which holds bytes of its own.
    const std::string target = slot.path + ".t" + std::to_string(++slot.links);
    const std::string old_target = slot.path + ".t" + std::to_string(slot.links - 1);
    ::unlink(slot.path.c_str());
    ::unlink(old_target.c_str());
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) throw std::runtime_error("create " + target);
    ::close(fd);
    if (::symlink(target.c_str(), slot.path.c_str()) != 0) throw std::runtime_error("symlink " + slot.path);
    slot.inode = new_inode(slot.form);
    if (step.number("size") != 0) append(step);
  }
}

IndexOptions options_of(const soak::Step& step) {
  IndexOptions options;
  options.ends = step.number("crlf") % 2 != 0 ? LineEnds::crlf : LineEnds::lf;
  options.threads = 1 + static_cast<unsigned>(step.number("threads") % 2);
  options.mapped = step.number("mapped") % 2 != 0;
  options.raw = step.number("raw") % 4 == 1;
  static constexpr std::uint64_t spacings[] = {0, 4096, 65536, 300000};
  options.checkpoint_spacing = spacings[step.number("spacing") % 4];
  return options;
}

void Worker::build(const soak::Step& step, bool faulted) {
  Slot& slot = slot_of(step);
  slot.options = options_of(step);
  std::error_code error;
  slot.index = FileIndex::build(slot.path.c_str(), error, slot.options);
  faults::reset();
  slot.indexed = false;
  if (!slot.inode) {
    if (!error) fail("status", "build of a name that is not there succeeded");
    return check_slot(slot, step.number("seed"), 0, Hold::strict);
  }
  if (error) {
    if (!faulted) fail("status", "build failed: " + said(error));
    return check_slot(slot, step.number("seed"), 0, Hold::strict);
  }
  slot.indexed = true;
  slot.seen.take(slot.inode, slot.options.raw, slot.options.ends);
  check_slot(slot, step.number("seed"), 8, Hold::strict);
}

// What a refresh, or a load of an index saved before, should find.
enum class Expect { same, grown, same_or_grown, same_or_new, grown_or_new, other };
Expect expected_change(const Slot& slot) {
  const Snapshot& seen = slot.seen;
  if (slot.inode != seen.inode) return Expect::other;
  const Inode& file = *slot.inode;
  if (file.version == seen.version) return Expect::same;
  if (!seen.intact()) return Expect::other;
  // An empty file that a compressed form's first bytes then filled: its
  // text is now decoded, whether the index grows or starts again.
  if (seen.compression != file.compression(seen.raw)) return Expect::grown_or_new;
  // The bytes indexed and no more, written again (or a compressed file's
  // bytes past its whole members taken off): a new change time at the
  // same size.
  if (file.bytes.size() == seen.source.size()) return Expect::same_or_new;
  const bool text_grew = file.text_of(seen.raw).size() > seen.text.size();
  // A compressed file's bytes past its whole members may have gone before
  // it grew: it shrank, and grew, and its indexed part stayed.
  if (file.bytes.size() < seen.size) return text_grew ? Expect::grown_or_new : Expect::same_or_new;
  if (seen.compression != Compression::none) return text_grew ? Expect::grown : Expect::same_or_grown;
  return Expect::grown;
}

const char* change_name(FileIndex::Change change) {
  return change == FileIndex::Change::none       ? "none"
         : change == FileIndex::Change::appended ? "appended"
                                                 : "replaced";
}

void Worker::refresh(const soak::Step& step, bool faulted) {
  Slot& slot = slot_of(step);
  if (!slot.indexed) return;
  const Expect expect = expected_change(slot);
  std::error_code error;
  const FileIndex::Change change = slot.index.refresh(error);
  faults::reset();
  if (error) {
    if (!faulted) fail("status", "refresh failed: " + said(error));
    if (change != FileIndex::Change::none)
      fail("status", std::string("a failed refresh said ") + change_name(change));
    // Kept as it was.
    return check_slot(slot, step.number("seed"), 4, hold_of(slot));
  }
  using C = FileIndex::Change;
  bool fits = false;
  switch (expect) {
  case Expect::same: fits = change == C::none; break;
  case Expect::grown: fits = change == C::appended; break;
  case Expect::same_or_grown: fits = change != C::replaced; break;
  case Expect::same_or_new: fits = change != C::appended; break;
  case Expect::grown_or_new: fits = change != C::none; break;
  case Expect::other: fits = change == C::replaced; break;
  }
  static const char* const expected[] = {
      "none", "appended", "none or appended", "none or replaced", "appended or replaced", "replaced"};
  // A read that failed while the ends were hashed may take the file for
  // another: indexed anew, which is no wrong answer.
  if (!fits && !(faulted && change == C::replaced))
    fail("wrong", std::string("refresh said ") + change_name(change) + ", the model " +
                      expected[static_cast<int>(expect)]);
  slot.seen.take(slot.inode, slot.options.raw, slot.options.ends);
  check_slot(slot, step.number("seed"), 8, Hold::strict);
}

const char* const load_modes[] = {"read", "mapped", "lazy", "lazy_reads"};
IndexOptions load_options(const IndexOptions& built, std::uint64_t mode) {
  IndexOptions options = built;
  options.mapped = mode % 4 == 1;
  options.lazy = mode % 4 >= 2;
  options.lazy_reads = mode % 4 == 3;
  return options;
}

// Saves the slot's index, then loads it in one of the modes: the loaded
// index is the slot's from then on.
void Worker::save_load(const soak::Step& step, bool faulted) {
  Slot& slot = slot_of(step);
  if (!slot.indexed) return;
  const std::string saved = fresh_name("index");
  std::error_code error;
  slot.index.save(saved.c_str(), error, step.number("flushed") % 2 != 0);
  if (error) fail("status", "save failed: " + said(error));
  IndexOptions options = load_options(slot.options, step.number("mode"));
  const bool other_ends = step.number("other_ends") % 8 == 0;
  if (other_ends) options.ends = options.ends == LineEnds::lf ? LineEnds::crlf : LineEnds::lf;
  const Expect expect = expected_change(slot);
  if (faulted) {
    const std::uint64_t nth = 1 + step.number("nth") % 12;
    const std::string kind = step.text("fault");
    if (kind == "fail") faults::fail_read(static_cast<unsigned>(nth));
    if (kind == "early") faults::end_read_early(static_cast<unsigned>(nth));
    if (kind == "short") faults::limit_read(static_cast<std::uint32_t>(nth));
    if (kind == "alloc") faults::fail_allocation(static_cast<unsigned>(nth));
  }
  FileIndex loaded = FileIndex::load(saved.c_str(), slot.path.c_str(), error, options);
  faults::reset();
  ::unlink(saved.c_str());
  const std::string mode = std::string("load (") + load_modes[step.number("mode") % 4] + ")";
  if (other_ends) {
    if (faulted && error) return;
    // Which of the two a changed file's index is said to be, the order of
    // the checks decides.
    const bool changed = expect != Expect::same && expect != Expect::grown && expect != Expect::same_or_grown;
    if (changed && is(error, line_reader::errc::stale_index)) return;
    if (!is(error, line_reader::errc::other_line_ends))
      fail("status", mode + " with the other line ends gave " + (error ? said(error) : "success"));
    return;
  }
  if (error) {
    if (faulted) return;
    if (is(error, line_reader::errc::stale_index) && expect != Expect::same && expect != Expect::grown &&
        expect != Expect::same_or_grown)
      return;
    fail("status", mode + " failed: " + said(error));
  }
  if (expect == Expect::other) fail("status", mode + " of a changed file succeeded, not stale_index");
  slot.index = std::move(loaded);
  slot.options = options;
  slot.seen.take(slot.inode, slot.options.raw, slot.options.ends);
  check_slot(slot, step.number("seed"), 8, faulted ? Hold::refusal : Hold::strict);
}

void Worker::query(const soak::Step& step, bool faulted) {
  Slot& slot = slot_of(step);
  if (!slot.indexed) return check_slot(slot, 0, 0, Hold::strict);
  const Hold hold = faulted && hold_of(slot) == Hold::strict ? Hold::refusal : hold_of(slot);
  std::mt19937_64 rng(step.number("seed"));
  Checker{slot.seen, hold, ""}.all(slot.index, rng, 2 + static_cast<unsigned>(step.number("reads") % 24));
  faults::reset();
}

void Worker::indexed_file(const soak::Step& step, bool faulted) {
  Slot& slot = slot_of(step);
  const LineEnds ends = step.number("crlf") % 2 != 0 ? LineEnds::crlf : LineEnds::lf;
  const bool raw = step.number("raw") % 4 == 1;
  std::error_code error;
  const IndexedFile file = IndexedFile::open(slot.path.c_str(), error, ends, raw);
  faults::reset();
  if (!slot.inode) {
    if (!error) fail("status", "IndexedFile::open of a name that is not there succeeded");
    return;
  }
  if (error) {
    if (!faulted) fail("status", "IndexedFile::open failed: " + said(error));
    return;
  }
  check_indexed_file(file, slot.inode->text_of(raw), ends, "IndexedFile: ");
  if (step.number("copy") % 4 == 0) {
    const IndexedFile copy = IndexedFile::copy_of(slot.inode->text_of(raw), error, ends);
    if (error) fail("status", "IndexedFile::copy_of failed: " + said(error));
    check_indexed_file(copy, slot.inode->text_of(raw), ends, "IndexedFile::copy_of: ");
  }
}

// Several threads ask one FileIndex and one IndexedFile at once; the
// contract allows const calls together, and nothing else runs meanwhile.
void Worker::threads(const soak::Step& step) {
  Slot& slot = slot_of(step);
  if (!slot.indexed || !slot.inode) return;
  const unsigned count = 2 + static_cast<unsigned>(step.number("count") % 3);
  std::error_code error;
  const IndexedFile file = IndexedFile::open(slot.path.c_str(), error, slot.options.ends, slot.options.raw);
  if (error) fail("status", "IndexedFile::open failed: " + said(error));
  const std::string text = slot.inode->text_of(slot.options.raw);
  const std::vector<Line> lines = split(text, slot.options.ends);
  std::mutex lock;
  std::string first_defect_kind, first_defect;
  std::vector<std::thread> running;
  const Hold hold = hold_of(slot);
  // A compressed file's lookup decodes up to a checkpoint's spacing of text.
  const int rounds = slot.seen.compression == Compression::none ? 200 : 16;
  for (unsigned t = 0; t < count; ++t) {
    running.emplace_back([&, t]() {
      std::mt19937_64 rng(step.number("seed") + t);
      try {
        Checker check{slot.seen, hold, "thread " + std::to_string(t) + ": "};
        std::string buffer;
        for (int k = 0; k < rounds; ++k) {
          if (check.count() != 0) {
            const std::uint64_t n = 1 + rng() % check.count();
            check.span(slot.index, n);
            check.read_line(slot.index, n, buffer);
            check.read_lines(slot.index, n, std::min<std::uint64_t>(check.count(), n + rng() % 3), buffer);
          }
          check.totals(slot.index);
          if (!lines.empty()) {
            const std::uint64_t n = rng() % lines.size();
            const std::string_view want = std::string_view(text).substr(lines[n].offset, lines[n].length);
            if (file.line(n + 1) != want)
              fail("wrong", "thread " + std::to_string(t) + ": IndexedFile line " + std::to_string(n + 1) +
                                " gave " + quote(file.line(n + 1)) + ", the model " + quote(want));
          }
        }
      } catch (const Defect& defect) {
        const std::lock_guard<std::mutex> hold_lock(lock);
        if (first_defect.empty()) first_defect_kind = defect.kind, first_defect = defect.detail;
      }
    });
  }
  for (std::thread& thread : running)
    thread.join();
  if (!first_defect.empty()) fail(first_defect_kind, first_defect);
}

// A saved index of the slot's file made to lie, its hashes right, then
// loaded in one of the modes: every answer must be the model's or a
// refusal, and a refusal must not blame the file.
void Worker::hostile(const soak::Step& step, const std::string& kind) {
  Slot& slot = slot_of(step);
  if (!slot.indexed || expected_change(slot) != Expect::same) return;
  const std::string saved = fresh_name("index");
  std::error_code error;
  slot.index.save(saved.c_str(), error);
  if (error) fail("status", "save failed: " + said(error));
  soak::SavedIndex before, after;
  {
    std::ifstream in(saved, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!soak::parse_saved(bytes.str(), before))
      throw std::runtime_error("the saved index at " + saved + " could not be taken apart");
  }
  after = before;
  std::mt19937_64 mutation(step.number("seed"));
  const std::string applied = soak::mutate_saved(after, kind, mutation);
  if (applied.empty()) return (void)::unlink(saved.c_str());
  {
    const std::string bytes = soak::write_saved(after);
    std::ofstream out(saved, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + saved);
  }
  // The lines that a moved checkpoint's decoding gives: a lie there shows
  // only in lines read from it.
  std::vector<std::uint64_t> lines;
  for (std::size_t k = 0; k < before.checkpoints.size() && k < after.checkpoints.size(); ++k) {
    const soak::SavedCheckpoint& was = before.checkpoints[k];
    const soak::SavedCheckpoint& now = after.checkpoints[k];
    if (was.in_bit == now.in_bit && was.out == now.out && was.window == now.window) continue;
    for (const std::uint64_t out : {was.out, now.out}) {
      const auto at =
          std::upper_bound(slot.seen.lines.begin(), slot.seen.lines.end(), out,
                           [](std::uint64_t offset, const Line& line) { return offset < line.offset; });
      const auto n = static_cast<std::uint64_t>(at - slot.seen.lines.begin());
      for (std::uint64_t m = n; m < n + 3; ++m)
        lines.push_back(m);
    }
  }
  const std::uint64_t mode = step.number("mode");
  FileIndex loaded =
      FileIndex::load(saved.c_str(), slot.path.c_str(), error, load_options(slot.options, mode));
  const std::string what =
      std::string("load (") + load_modes[mode % 4] + ") of an index with " + applied + ": ";
  Checker check{slot.seen, Hold::refusal, what};
  if (error) {
    check.refused("load", error);
  } else {
    std::mt19937_64 rng(step.number("seed"));
    check.all(loaded, rng, 24, lines);
  }
  loaded = FileIndex();
  ::unlink(saved.c_str());
}

// A fault planned in the platform layer, then one of the steps that reads:
// its answer must be the model's or a refusal, never a wrong line.
void Worker::fault(const soak::Step& step) {
  const std::string kind = step.text("fault");
  const std::string then = step.text("then");
  const auto nth = static_cast<unsigned>(1 + step.number("nth") % 12);
  if (then == "save_load") return save_load(step, true); // planned after its save
  // A fault that the step did not reach must not fall on the next one.
  struct Unplan {
    ~Unplan() { faults::reset(); }
  } unplan;
  if (kind == "fail") faults::fail_read(nth);
  if (kind == "early") faults::end_read_early(nth);
  if (kind == "short") faults::limit_read(nth);
  if (kind == "alloc") faults::fail_allocation(nth);
  // Reads cut short are no failure: every answer must still come.
  const bool faulted = kind != "short";
  if (then == "build") return build(step, faulted);
  if (then == "refresh") return refresh(step, faulted);
  if (then == "query") return query(step, faulted);
  return indexed_file(step, faulted);
}

Slot& Worker::slot_of(const soak::Step& step) {
  const std::string op = step.op();
  for (std::size_t k = 1; k < slots_.size(); ++k) {
    const std::string suffix = std::string("_") + slot_forms[k];
    if (op.size() > suffix.size() && op.compare(op.size() - suffix.size(), suffix.size(), suffix) == 0)
      return slots_[k];
  }
  return slots_[0];
}

void Worker::run(const soak::Step& step) {
  const std::string op = base_op(step.op());
  if (op == "append") return append(step);
  if (op == "truncate" || op == "rewrite" || op == "rotate" || op == "link") return change(step, op);
  if (op == "build") return build(step, false);
  if (op == "refresh") return refresh(step, false);
  if (op == "save_load") return save_load(step, false);
  if (op == "query") return query(step, false);
  if (op == "indexed_file") return indexed_file(step, false);
  if (op == "threads") return threads(step);
  if (op == "fault") return fault(step);
  if (op.compare(0, 7, "mutate_") == 0) return hostile(step, op.substr(7));
  throw std::runtime_error("no op " + op);
}

// The fields each op reads; the others are left out of its step.
const char* const fields_of[][2] = {
    {"append", "seed size shape piece how level flush"},
    {"truncate", "at"},
    {"rewrite", "at seed"},
    {"rotate", "seed size shape piece how level flush"},
    {"link", "seed size shape piece how level flush"},
    {"build", "seed crlf threads mapped raw spacing"},
    {"refresh", "seed"},
    {"save_load", "seed mode flushed other_ends"},
    {"query", "seed reads"},
    {"indexed_file", "crlf raw copy"},
    {"threads", "seed count"},
    {"mutate", "seed mode"},
};

soak::Step Worker::generate(std::mt19937_64& rng) const {
  auto below = [&](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); };
  struct Weighted {
    const char* op;
    unsigned weight;
  };
  static constexpr Weighted ops[] = {
      {"append", 28},      {"refresh", 10}, {"build", 6},    {"query", 10},  {"save_load", 6},
      {"indexed_file", 4}, {"threads", 2},  {"truncate", 3}, {"rewrite", 3}, {"rotate", 3},
      {"link", 2},         {"mutate", 14},  {"fault", 6},
  };
  unsigned total = 0;
  for (const Weighted& w : ops)
    total += w.weight;
  std::uint64_t pick = below(total);
  std::string op;
  for (const Weighted& w : ops) {
    if (pick < w.weight) {
      op = w.op;
      break;
    }
    pick -= w.weight;
  }
  soak::Step all;
  all.numbers["seed"] = rng() >> 16;
  // Mostly small, so that thousands of steps run; now and then a few MiB.
  const std::uint64_t r = below(100);
  std::size_t shape_count = 0;
  while (soak::shapes[shape_count] != nullptr)
    ++shape_count;
  std::string shape = soak::shapes[below(shape_count - 2)];
  // Plain files half the time, each compressed form a sixth.
  std::uint64_t form = below(2) == 0 ? 0 : 1 + below(3);
  // Compressed members of some KiB, so that checkpoints within them come.
  std::uint64_t size = below(form == 0 ? 2000 : 16000);
  if (r >= 80) size = below(64 << 10);
  if (r >= 95) size = below(1 << 20);
  if (r == 98) shape = "many_lines", size = 150000 + below(100000);
  if (r == 99) shape = "long_line", size = (1 << 20) + below(3 << 20);
  all.strings["shape"] = shape;
  all.numbers["size"] = (op == "rotate" || op == "link") && below(2) == 0 ? 0 : size;
  static const char* const hows[] = {"whole", "whole", "whole", "whole", "whole", "whole", "cut", "zeros"};
  all.strings["how"] = hows[below(8)];
  all.numbers["piece"] = below(4) == 0 ? below(64) : 4095;
  all.numbers["level"] = below(9);
  all.numbers["flush"] = below(2) == 0 ? 0 : 256 + below(8192);
  all.numbers["at"] = rng() >> 16;
  all.numbers["crlf"] = below(4) == 0 ? 1 : 0;
  all.numbers["threads"] = below(2);
  all.numbers["mapped"] = below(2);
  all.numbers["raw"] = below(8);
  all.numbers["spacing"] = below(4);
  all.numbers["mode"] = below(4);
  all.numbers["reads"] = below(24);
  all.numbers["count"] = below(3);
  all.numbers["flushed"] = below(2);
  all.numbers["other_ends"] = below(8);
  all.numbers["copy"] = below(4);
  std::string fields;
  std::string base = op;
  if (op == "mutate") {
    const std::vector<std::string> kinds = soak::mutation_kinds();
    op = "mutate_" + kinds[below(kinds.size())];
  }
  // A compressed file's checkpoints lie only where there is one; windows only in gzip.
  if (op.find("checkpoint") != std::string::npos) form = 1 + below(3);
  if (op.find("window") != std::string::npos) form = 1;
  soak::Step step;
  if (op == "fault") {
    static const char* const kinds[] = {"fail", "early", "short", "alloc"};
    static const char* const thens[] = {"build", "refresh", "save_load", "query", "indexed_file"};
    step.strings["fault"] = kinds[below(4)];
    base = thens[below(5)];
    step.strings["then"] = base;
    step.numbers["nth"] = below(12);
  }
  for (const auto& [name, keys] : fields_of)
    if (base == name) fields = std::string(" ") + keys + " ";
  for (const auto& [key, value] : all.strings)
    if (fields.find(" " + key + " ") != std::string::npos) step.strings[key] = value;
  for (const auto& [key, value] : all.numbers)
    if (fields.find(" " + key + " ") != std::string::npos) step.numbers[key] = value;
  step.strings["op"] = form == 0 ? op : op + "_" + slot_forms[form];
  return step;
}

bool read_lines(const std::string& path, std::vector<std::string>& into) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) into.push_back(line);
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: soak_lib --seed S --seconds N --workdir DIR --log STEPS.jsonl [--steps REPLAY.jsonl] "
               "[--known FILE]\n       soak_lib --mutate KIND --seed N --index PATH\n");
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  std::string seed_text, seconds_text, workdir, log_path, steps_path, known_path, mutate, index_path;
  for (int k = 1; k < argc; ++k) {
    const std::string option = argv[k];
    if (k + 1 >= argc) return usage();
    const std::string value = argv[++k];
    if (option == "--seed")
      seed_text = value;
    else if (option == "--seconds")
      seconds_text = value;
    else if (option == "--workdir")
      workdir = value;
    else if (option == "--log")
      log_path = value;
    else if (option == "--steps")
      steps_path = value;
    else if (option == "--known")
      known_path = value;
    else if (option == "--mutate")
      mutate = value;
    else if (option == "--index")
      index_path = value;
    else
      return usage();
  }
  const std::uint64_t seed = std::strtoull(seed_text.c_str(), nullptr, 10);
  if (!mutate.empty()) {
    if (index_path.empty()) return usage();
    std::string applied;
    const int status = soak::mutate_file(index_path, mutate, seed, applied);
    if (status == 2)
      std::fprintf(stderr, "soak_lib: %s: not a saved index this soak reads\n", index_path.c_str());
    std::printf("%s\n", status == 0 ? applied.c_str() : "none");
    return status;
  }
  if (seed_text.empty() || seconds_text.empty() || workdir.empty() || log_path.empty()) return usage();
  std::set<std::string> known;
  if (!known_path.empty()) {
    std::vector<std::string> lines;
    read_lines(known_path, lines);
    known.insert(lines.begin(), lines.end());
  }
  std::vector<soak::Step> replay;
  if (!steps_path.empty()) {
    std::vector<std::string> lines;
    if (!read_lines(steps_path, lines)) return usage();
    for (const std::string& line : lines) {
      soak::Step step;
      if (!soak::from_json(line, step)) {
        std::fprintf(stderr, "soak_lib: %s: not a step: %s\n", steps_path.c_str(), line.c_str());
        return 2;
      }
      replay.push_back(step);
    }
  }
  std::FILE* log = std::fopen(log_path.c_str(), "a");
  if (log == nullptr) return usage();
  Worker worker(workdir);
  std::mt19937_64 rng(seed);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(std::stod(seconds_text));
  for (std::size_t n = 0;; ++n) {
    soak::Step step;
    if (!steps_path.empty()) {
      if (n == replay.size()) break;
      step = replay[n];
    } else {
      if (std::chrono::steady_clock::now() >= deadline) break;
      step = worker.generate(rng);
    }
    std::fprintf(log, "%s\n", soak::to_json(step).c_str());
    std::fflush(log);
    try {
      worker.run(step);
    } catch (const Defect& defect) {
      faults::reset();
      const std::string signature = "lib." + step.op() + "." + defect.kind;
      const std::string detail = soak::json_string(defect.detail.substr(0, 4000));
      if (known.count(signature) != 0) {
        std::printf("KNOWN %s %s\n", signature.c_str(), detail.c_str());
        std::fflush(stdout);
        worker.recover(step);
        continue;
      }
      std::printf("DEFECT %s %s\n", signature.c_str(), detail.c_str());
      std::fflush(stdout);
      return 3;
    }
  }
  return 0;
}
