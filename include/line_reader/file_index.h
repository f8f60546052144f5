// The line index of a file that stays on disk: for files larger than memory,
// followed as they grow, and saved for the next open.
//
//   std::error_code error;
//   auto index = line_reader::FileIndex::build("huge.log", error);
//   if (error) { std::cerr << error.message() << '\n'; return 1; }
//   std::string buffer;
//   std::cout << index.read_line(17000000, buffer, error) << '\n';
//
// No text is held: each line is read from the file when it is asked for.
// The index takes about two bytes a line, as IndexedFile's, and its lines and
// statistics are IndexedFile's for the same bytes and line ends. Building
// reads the file on every core, in pieces into a small buffer a thread. The
// object is move-only and holds the file open. Needs C++17.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "line_reader/compression.h"
#include "line_reader/errors.h"
#include "line_reader/line_ends.h"

namespace line_reader {

struct IndexOptions {
  LineEnds ends = LineEnds::crlf;
  unsigned threads = 0; // 0: one for each core this process may run on
  // build: read the file through a view of it in memory where the system has
  // one (64-bit POSIX systems): no copy out of the page cache. Only as fast
  // as reads on files written a little at a time, as logs are, and a file
  // truncated while it is read this way raises SIGBUS in the reading thread,
  // which the program must then handle (see the README); the build then
  // fails with errc::changed_while_reading if the handler returns.
  // load: every piece of the saved index is still checked at once, and the
  // index is then served from the view instead of a copy in memory. The
  // saved index must then not be truncated in place while it is in use.
  bool mapped = false;
  // load: serve the saved index from a view of it, reading and checking
  // only the header and its small top table at once, and each page of block
  // words and each block of offsets when a lookup first needs it (a few KiB
  // a lookup, whatever the file's size). A damaged piece is then found by
  // the lookup: span() throws std::system_error with errc::bad_index and
  // read_line() sets it. Where the system has no views, load reads and
  // checks everything, as without it. The view's rule is `mapped`'s.
  bool lazy = false;
  // load, with `lazy`: read each piece of the saved index into memory when a
  // lookup first needs it, instead of viewing it (and on systems without
  // views too). Nothing is then viewed, so a saved index truncated in place
  // while in use fails the lookups that need its lost pieces
  // (errc::bad_index) instead of raising SIGBUS. The index keeps the saved
  // index open, which on Windows keeps another file from being renamed
  // over it.
  bool lazy_reads = false;
  // build, load, refresh: index a compressed file's bytes as they are,
  // instead of its text (gzip, zstd, xz) or refusing it (errc::compressed,
  // for other forms and for those this build does not read).
  bool raw = false;
  // A compressed file's checkpoints, where a lookup starts decoding, lie
  // about this many bytes of text apart (0: 1 MiB): each costs up to 32 KiB
  // of window, deflated, in the index, and a lookup decodes from the last
  // one before the line.
  std::uint64_t checkpoint_spacing = 0;
  // A compressed file whose text exceeds this many times its compressed
  // bytes (plus 16 MiB) is refused with errc::expands_too_far, as a bomb
  // (0: no limit). gzip cannot pass 1,032 to 1; zstd and xz of very
  // repetitive text can. An index that would take more than a quarter of
  // the machine's memory is refused with errc::no_memory either way.
  std::uint32_t most_expansion = 4096;
  // Called from the calling thread now and then with the bytes indexed so
  // far and the bytes to index (of a compressed file, its compressed bytes);
  // returning false stops the work, which then fails with errc::cancelled
  // (as does an exception from it, which is not passed on).
  std::function<bool(std::uint64_t done, std::uint64_t total)> progress;
};

class FileIndex {
public:
  FileIndex() noexcept = default; // no file: no lines
  // Indexes the regular file `path` as it is now. On failure `error` says
  // why and the result holds no lines.
  static FileIndex build(const char* path, std::error_code& error, const IndexOptions& options = {}) noexcept;
  // A saved index of `path`, checked against the file: when the file has
  // only grown since, the new bytes are indexed. Nothing in it is trusted:
  // errc::bad_index when the saved bytes are damaged, not an index, or
  // describe lines that no build makes (starts outside the file or out of
  // order, counts that disagree); errc::unsupported_index when it is of an
  // older format, which this version does not read;
  // errc::other_line_ends when it was made for the other line-end rule;
  // errc::stale_index when it describes another file or a changed one.
  static FileIndex load(const char* index_path, const char* path, std::error_code& error,
                        const IndexOptions& options = {}) noexcept;
  // Writes the index whole or not at all (a file beside it, then a rename),
  // flushed to the disk first. A failure is the system's own reason, in
  // std::system_category() (no such folder, a folder under the name, no
  // room left). Unflushed, as a cache may keep it, a crash
  // soon after can leave the file damaged, which load() then says. The file
  // is readable by its owner alone (mode 0600 on POSIX systems): it tells of
  // the indexed file's contents.
  void save(const char* index_path, std::error_code& error, bool flushed = true) const noexcept;

  FileIndex(FileIndex&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }
  FileIndex& operator=(FileIndex&& other) noexcept;
  FileIndex(const FileIndex&) = delete;
  FileIndex& operator=(const FileIndex&) = delete;
  ~FileIndex();

  std::uint64_t line_count() const noexcept;
  // As IndexedFile: the first of the longest lines that end in a line end.
  std::uint64_t longest_line() const noexcept;
  std::uint64_t longest_length() const noexcept;
  std::uint64_t indexed_bytes() const noexcept; // the file's size when it was last indexed
  std::size_t index_bytes() const noexcept;     // memory that the index holds
  LineEnds ends() const noexcept;
  // The compression that the file's text was decoded from: none for a
  // plain file (or one indexed raw), else gzip, zstd or xz. Lines, spans
  // and indexed_bytes() are of the text; a lookup decodes it from the
  // checkpoint before the line.
  Compression compression() const noexcept;
  // Which file the index describes, as the system numbers it, and its
  // times when it was last indexed (the system's own units): a program that
  // opened the file by the same name can tell whether it is the same file.
  struct FileId {
    std::uint64_t device;
    std::uint64_t file;
    std::int64_t modified;
    std::int64_t changed;
  };
  FileId file_id() const noexcept;

  // The line's bytes in the file, its line end not counted.
  struct Span {
    std::uint64_t offset;
    std::uint64_t length;
  };
  // Line `number`, from 1; throws std::out_of_range outside 1..line_count(),
  // and std::system_error (errc::bad_index) when a lazily loaded saved
  // index is damaged where the line lies. A span never lies outside
  // indexed_bytes(), whatever the saved index held.
  Span span(std::uint64_t number) const;
  // The same, with a damaged saved index said in `error` (and {0, 0}).
  Span span(std::uint64_t number, std::error_code& error) const;
  // Lines first .. first + count - 1 into `into` (`count` spans), about
  // twice as fast a line as span(); throws std::out_of_range when they are
  // not all within 1..line_count(), and says a damaged saved index in
  // `error` (the spans before it are filled).
  void spans(std::uint64_t first, std::uint64_t count, Span* into, std::error_code& error) const;
  // Line `number` read from the file into `buffer` (one positioned read),
  // without its line end. An empty view and `error` set when the read fails,
  // the file has become shorter, the line does not fit in memory
  // (errc::no_memory) or the saved index is damaged there. Throws
  // std::out_of_range as span() does, and nothing else.
  std::string_view read_line(std::uint64_t number, std::string& buffer, std::error_code& error) const;
  // Lines first..last in one read, each with its line end as the file has it;
  // errors and exceptions as read_line().
  std::string_view read_lines(std::uint64_t first, std::uint64_t last, std::string& buffer,
                              std::error_code& error) const;

  // `count` bytes of the file from `offset`, as read_lines() reads them;
  // throws std::out_of_range past indexed_bytes().
  std::string_view read_bytes(std::uint64_t offset, std::uint64_t count, std::string& buffer,
                              std::error_code& error) const;

  enum class Change { none, appended, replaced };
  // Looks at the file under the path again. Bytes appended since the last
  // index are indexed, and the old last line may grow. A file that shrank,
  // a different file under the path, a new change time at the same size, or
  // an indexed part that changed (the hashed stretches at both ends) is
  // indexed anew: `replaced`. On failure `error` says why and the index is
  // kept as it was (`none`). Const calls may run together on many threads;
  // refresh() and assignment need the object to themselves, as with the
  // standard containers.
  Change refresh(std::error_code& error) noexcept;

  // The file's identity, the index and its statistics, opaque to users.
  struct State;

private:
  explicit FileIndex(State* state) noexcept : state_(state) {}
  State* state_ = nullptr;
};

} // namespace line_reader
