// The Python module line_reader: IndexedFile and FileIndex with Python's
// conventions (lines from 0 for [], negatives and slices; bytes without
// their line ends; Python's own exceptions).
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "line_reader/file_index.h"
#include "line_reader/index_cache.h"
#include "line_reader/indexed_file.h"
#include "line_reader/parts.h"
#include "line_reader/version.h"

namespace py = pybind11;
using line_reader::errc;
using line_reader::FileIndex;
using line_reader::IndexedFile;
using line_reader::LineEnds;

namespace {

// line_reader.Error, an OSError whose message is the library's.
py::object error_type;

LineEnds ends_of(const std::string& ends) {
  if (ends == "lf") return LineEnds::lf;
  if (ends == "crlf") return LineEnds::crlf;
  throw py::value_error("ends must be 'lf' or 'crlf', not '" + ends + "'");
}

// Raises the Python exception for `error`, which concerns `path`.
[[noreturn]] void raise(const std::error_code& error, const std::string& path) {
  const std::string message = error.message();
  auto raise_as = [&](PyObject* type, int number) {
    PyErr_SetObject(type, py::make_tuple(number, message, path).ptr());
    throw py::error_already_set();
  };
  if (error == errc::not_found) raise_as(PyExc_FileNotFoundError, ENOENT);
  if (error == errc::no_access) raise_as(PyExc_PermissionError, EACCES);
  std::error_code ignored;
  if (error == errc::not_a_regular_file && std::filesystem::is_directory(path, ignored))
    raise_as(PyExc_IsADirectoryError, EISDIR);
  if (error == errc::no_memory) throw std::bad_alloc();
  // OSError(errno, reason, path) is made as the subclass that the errno
  // names (FileNotFoundError, IsADirectoryError, ...), as open() raises it.
  if (error.category() == std::system_category()) raise_as(PyExc_OSError, error.value());
  // The message alone, as the library says it: OSError's str() of a
  // filename without an errno would read "[Errno None] None".
  PyErr_SetObject(error_type.ptr(), py::str(message).ptr());
  throw py::error_already_set();
}

// Any integer that Python takes as an index (int, bool, numpy's), as a
// long long; `outside` says it is beyond one, either way.
long long integer_of(const py::handle& value, bool& outside) {
  const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long i = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  outside = overflow != 0;
  return i;
}

// An index as Python gives it, taken before any lock (its __index__ may run
// Python code), then placed among `count` lines: from 0, negatives from the
// end; IndexError outside, however far.
struct Index {
  long long value = 0;
  bool outside = false;
};
Index index_arg(const py::handle& value) {
  Index i;
  i.value = integer_of(value, i.outside);
  return i;
}
std::uint64_t index_in(Index index, std::uint64_t count) {
  long long i = index.value;
  const auto n = static_cast<long long>(std::min<std::uint64_t>(count, LLONG_MAX));
  if (i < 0) i += n;
  if (index.outside || i < 0 || i >= n) throw py::index_error("line index out of range");
  return static_cast<std::uint64_t>(i);
}
std::uint64_t index_of(const py::handle& value, std::uint64_t count) {
  return index_in(index_arg(value), count);
}

// A line number from 1; IndexError outside.
std::uint64_t number_of(const py::handle& value, std::uint64_t count) {
  bool outside = false;
  const long long i = integer_of(value, outside);
  if (outside || i < 1 || static_cast<std::uint64_t>(i) > count)
    throw py::index_error("line number out of range");
  return static_cast<std::uint64_t>(i);
}

py::bytes bytes_of(std::string_view text) { return py::bytes(text.data(), text.size()); }

// A slice's bounds as Python gives them, read before any lock (their
// __index__ may run Python code), then placed among `count` lines.
struct Slice {
  Py_ssize_t start = 0, stop = 0, step = 0;
  explicit Slice(const py::handle& key) {
    if (PySlice_Unpack(key.ptr(), &start, &stop, &step) < 0) throw py::error_already_set();
  }
  // How many lines it picks; `start` is then the first one's index and
  // `step` the distance to the next.
  std::size_t picks(std::uint64_t count) {
    const auto n = static_cast<Py_ssize_t>(std::min<std::uint64_t>(count, PY_SSIZE_T_MAX));
    return static_cast<std::size_t>(PySlice_AdjustIndices(n, &start, &stop, step));
  }
};

// The owner, shared by the object and the iterators and views made from it.
using SharedFile = std::shared_ptr<IndexedFile>;

struct LineIterator {
  SharedFile file;
  std::uint64_t next = 0;
};

// A str, bytes or os.PathLike path as the file system's bytes; ValueError
// for a NUL byte, as open() gives, which would otherwise end the name early.
std::string path_text(const py::object& path) {
  std::string name = py::bytes(py::module_::import("os").attr("fsencode")(path)).cast<std::string>();
  if (name.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return name;
}

// Calls a Python progress callback from the build, with the GIL held; an
// exception from it stops the build and is raised again afterwards.
struct Progress {
  py::object callback;
  std::optional<py::error_already_set> raised;
  bool operator()(std::uint64_t done, std::uint64_t total) {
    py::gil_scoped_acquire gil;
    if (callback.is_none()) return true; // cleared by the collector
    try {
      const py::object result = callback(done, total);
      return !(py::isinstance<py::bool_>(result) && !result.cast<bool>());
    } catch (py::error_already_set& error) {
      raised.emplace(std::move(error));
      return false;
    }
  }
  // The exception that stopped the work, taken out, if any.
  std::optional<py::error_already_set> take() {
    std::optional<py::error_already_set> taken = std::move(raised);
    raised.reset();
    return taken;
  }
};

line_reader::IndexOptions options_of(const std::string& ends, unsigned threads, bool raw) {
  line_reader::IndexOptions options;
  options.ends = ends_of(ends);
  options.threads = threads;
  options.raw = raw;
  return options;
}

// Loading a saved index a piece at a time, as lookups need them, read
// rather than viewed (see _from_saved_path).
line_reader::IndexOptions lazy_options(line_reader::IndexOptions options) {
  options.lazy = true;
  options.lazy_reads = true;
  return options;
}

// What a call that may have been stopped by its progress callback ends
// with: the callback's exception, else the library's error.
void finish(const std::error_code& error, Progress* progress, const std::string& path) {
  if (progress != nullptr) {
    if (std::optional<py::error_already_set> raised = progress->take()) throw std::move(*raised);
  }
  if (error) raise(error, path);
}

// A FileIndex as Python holds it, with its file's name for messages and
// its progress callback, which refresh() calls again. One object may serve
// many threads: lookups share `lock` and refresh() takes it alone, so that
// each lookup sees the index as it was before a refresh or after it. The
// GIL is never held while waiting for the lock, and no Python code runs
// while a lookup holds it; a refresh's callback runs while the refresh
// holds it, on `refresher`, where the object cannot be used.
struct SharedIndex {
  FileIndex index;
  std::string path;
  bool raw = false; // built or loaded with raw=True, which a copy keeps
  // The saved index it was loaded from, while no refresh has changed it
  // since: a pickle names it instead of carrying the saved form.
  std::string saved_path;
  std::shared_ptr<Progress> progress;
  mutable std::shared_mutex lock;
  std::atomic<std::thread::id> refresher{};
};

void refuse_within_refresh(const SharedIndex& self) {
  if (self.refresher.load() == std::this_thread::get_id()) {
    PyErr_SetString(PyExc_RuntimeError, "the index is being refreshed: its progress callback cannot use it");
    throw py::error_already_set();
  }
}

// `work()` with the lock shared.
template <class Work> auto shared_use(const SharedIndex& self, Work work) {
  refuse_within_refresh(self);
  std::shared_lock<std::shared_mutex> held(self.lock, std::try_to_lock);
  if (!held.owns_lock()) {
    py::gil_scoped_release released;
    held.lock();
  }
  return work();
}

// The indices a call names, read before any lock: a buffer of integers
// (array, numpy) element by element, else any iterable of integers.
std::vector<Index> indices_of(const py::object& indices) {
  std::vector<Index> asked;
  if (PyObject_CheckBuffer(indices.ptr()) && !py::isinstance<py::bytes>(indices) &&
      !py::isinstance<py::bytearray>(indices)) {
    const py::buffer_info info = py::buffer(indices).request();
    const char kind = info.format.empty() ? '?' : info.format.back();
    if (info.ndim != 1 || std::string("bBhHiIlLqQnN").find(kind) == std::string::npos)
      throw py::type_error("indices must be a one-dimensional buffer of integers");
    asked.resize(static_cast<std::size_t>(info.shape[0]));
    const auto* base = static_cast<const char*>(info.ptr);
    for (std::size_t k = 0; k < asked.size(); ++k) {
      const char* at = base + static_cast<py::ssize_t>(k) * info.strides[0];
      auto take = [&](auto value) {
        using T = decltype(value);
        std::memcpy(&value, at, sizeof value);
        if constexpr (std::is_unsigned_v<T>) {
          asked[k].outside = value > static_cast<unsigned long long>(LLONG_MAX);
          asked[k].value = static_cast<long long>(value);
        } else {
          asked[k].value = static_cast<long long>(value);
        }
      };
      switch (info.itemsize) {
      case 1: kind == 'b' ? take(std::int8_t{}) : take(std::uint8_t{}); break;
      case 2: std::islower(kind) ? take(std::int16_t{}) : take(std::uint16_t{}); break;
      case 4: std::islower(kind) ? take(std::int32_t{}) : take(std::uint32_t{}); break;
      case 8: std::islower(kind) ? take(std::int64_t{}) : take(std::uint64_t{}); break;
      default: throw py::type_error("indices must be a buffer of integers of 1 to 8 bytes");
      }
    }
    return asked;
  }
  for (const py::handle item : indices)
    asked.push_back(index_arg(item));
  return asked;
}

// Lines that lie this close (a page) are read in one read, up to this much at once.
constexpr std::uint64_t joined_gap = 4096;
constexpr std::uint64_t joined_most = 4u << 20;

// work(from, to, error) over [0, count): the second half on a thread of
// its own where there are at least `least` and two cores (else, or when no
// thread starts, all on this one); the first failure in `error`.
template <class Work>
void in_two_halves(std::size_t count, std::size_t least, Work work, std::error_code& error) {
  const std::size_t half = count >= least && std::thread::hardware_concurrency() > 1 ? count / 2 : 0;
  std::error_code second;
  std::thread helper;
  if (half != 0) {
    try {
      helper = std::thread([&] { work(half, count, second); });
    } catch (const std::system_error&) { // no thread: this one does it all
    }
  }
  work(0, helper.joinable() ? half : count, error);
  if (helper.joinable()) {
    helper.join();
    if (!error) error = second;
  }
}

// Where each asked line's bytes lie once read: in the text of the thread
// that read it.
struct ReadLine {
  std::size_t text = 0; // which thread's
  std::size_t at = 0;
  std::size_t length = 0;
};

// The lines of `order` [from, to) (sorted by number): their spans looked up,
// then read one group a read, each line's bytes appended to `text` and
// placed in `out`.
void read_groups(const FileIndex& index, const std::vector<std::uint64_t>& numbers,
                 const std::vector<std::size_t>& order, std::size_t from, std::size_t to, std::size_t which,
                 std::string& text, std::vector<ReadLine>& out, std::error_code& error) {
  std::vector<FileIndex::Span> spans(to - from);
  for (std::size_t g = from; g < to && !error; ++g)
    spans[g - from] = index.span(numbers[order[g]], error);
  auto span = [&](std::size_t g) -> const FileIndex::Span& { return spans[g - from]; };
  std::string buffer;
  for (std::size_t g = from; g < to && !error;) {
    const std::uint64_t first = span(g).offset;
    std::uint64_t last = first + span(g).length;
    std::size_t end = g + 1;
    while (end < to && span(end).offset <= last + joined_gap &&
           span(end).offset + span(end).length - first <= joined_most) {
      last = std::max(last, span(end).offset + span(end).length);
      ++end;
    }
    const std::string_view read = index.read_bytes(first, last - first, buffer, error);
    for (; g < end && !error; ++g) {
      const auto length = static_cast<std::size_t>(span(g).length);
      out[order[g]] = {which, text.size(), length};
      text.append(read.substr(static_cast<std::size_t>(span(g).offset - first), length));
    }
  }
}

// Lines `numbers` (from 1), read in file order with nearby reads joined;
// many lines on two threads, each a half. `texts` holds what each thread
// read, `out` where each asked line lies in it, in the order asked.
void read_many(const FileIndex& index, const std::vector<std::uint64_t>& numbers, std::string (&texts)[2],
               std::vector<ReadLine>& out, std::error_code& error) {
  std::vector<std::size_t> order(numbers.size());
  for (std::size_t k = 0; k < order.size(); ++k)
    order[k] = k;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return numbers[a] < numbers[b]; });
  out.resize(numbers.size());
  in_two_halves(
      order.size(), 512,
      [&](std::size_t from, std::size_t to, std::error_code& failed) {
        const std::size_t which = from == 0 ? 0 : 1;
        read_groups(index, numbers, order, from, to, which, texts[which], out, failed);
      },
      error);
}

// Where line i (from 0) starts; the indexed end for i == count.
std::uint64_t start_at(const FileIndex& index, std::uint64_t i, std::error_code& error) {
  return i >= index.line_count() ? index.indexed_bytes() : index.span(i + 1, error).offset;
}

// A name of its own in the temporary folder, for a saved form in passing.
std::string scratch_path() {
  static std::atomic<std::uint64_t> made{0};
  return (std::filesystem::temp_directory_path() /
          ("line_reader_" + std::to_string(std::random_device()()) + "_" + std::to_string(++made) + ".idx"))
      .string();
}

// The file's bytes, the file removed.
py::bytes read_and_remove(const std::string& path) {
  // Read straight into the bytes object: one copy of a form of many MiB.
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  py::bytes bytes;
  bool read = size >= 0;
  if (read) {
    bytes =
        py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) throw py::error_already_set();
    in.seekg(0);
    read = static_cast<bool>(in.read(PyBytes_AS_STRING(bytes.ptr()), size));
  }
  in.close();
  std::remove(path.c_str());
  if (!read) raise(std::make_error_code(std::errc::io_error), path);
  return bytes;
}

// Which file a failed load concerns: the saved index, unless the text file
// cannot be opened itself (the load opens it first).
const std::string& failed_file(const std::error_code& error, const std::string& saved,
                               const std::string& name) {
  if (error == errc::bad_index || error == errc::stale_index || error == errc::unsupported_index ||
      error == errc::other_line_ends)
    return saved;
  const bool open_failure = error == errc::not_found || error == errc::no_access ||
                            error == errc::not_a_regular_file || error.category() == std::system_category();
  std::error_code ignored;
  if (open_failure && std::filesystem::is_regular_file(name, ignored) &&
      std::ifstream(name, std::ios::binary).is_open())
    return saved;
  return name;
}

} // namespace

// A column of unsigned 64-bit integers that Python sees as a read-only
// buffer. Of many MiB, it asks for huge pages where the system has them:
// writing a fresh column costs its page faults more than its values.
class Column {
public:
  explicit Column(std::size_t count) : count_(count) {
    const std::size_t bytes = std::max<std::size_t>(count, 1) * 8;
#ifdef __linux__
    constexpr std::size_t huge = std::size_t{2} << 20;
    if (bytes >= huge) {
      data_ = static_cast<std::uint64_t*>(std::aligned_alloc(huge, (bytes + huge - 1) / huge * huge));
      if (data_ != nullptr) (void)madvise(data_, (bytes + huge - 1) / huge * huge, MADV_HUGEPAGE);
    }
#endif
    if (data_ == nullptr) data_ = static_cast<std::uint64_t*>(std::malloc(bytes));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() { std::free(data_); }
  std::uint64_t* data() { return data_; }
  py::buffer_info info() const {
    return py::buffer_info(data_, 8, py::format_descriptor<std::uint64_t>::format(), 1,
                           {static_cast<py::ssize_t>(count_)}, {py::ssize_t{8}}, true);
  }
  std::size_t size() const { return count_; }

private:
  std::uint64_t* data_ = nullptr;
  std::size_t count_;
};

// Lines first.. (from 1) into the columns, a half on each of two threads
// where there are many.
void fill_spans(const FileIndex& index, std::uint64_t first, Column& offsets, Column& lengths,
                std::error_code& error) {
  auto fill = [&](std::size_t from, std::size_t to, std::error_code& failed) {
    std::vector<FileIndex::Span> spans(std::min<std::size_t>(to - from, 16384));
    for (std::size_t k = from; k < to && !failed; k += spans.size()) {
      const std::size_t n = std::min(spans.size(), to - k);
      index.spans(first + k, n, spans.data(), failed);
      for (std::size_t j = 0; j < n; ++j) {
        offsets.data()[k + j] = spans[j].offset;
        lengths.data()[k + j] = spans[j].length;
      }
    }
  };
  in_two_halves(offsets.size(), std::size_t{1} << 20, fill, error);
}

// About a MiB of lines [start, stop) read at once into `text`, their spans
// (from the text's start) into `spans`: iteration's piece. None past the end.
void read_piece(const SharedIndex& self, std::uint64_t start, std::uint64_t stop, std::string& text,
                std::vector<FileIndex::Span>& spans) {
  std::error_code error;
  spans.clear();
  shared_use(self, [&] {
    const FileIndex& index = self.index;
    const std::uint64_t count = std::min(index.line_count(), stop);
    if (start >= count) return 0;
    py::gil_scoped_release released;
    // Spans in steps of 4,096 lines until a MiB of text is covered.
    std::uint64_t next = start;
    while (next < count && !error &&
           (spans.empty() || spans.back().offset + spans.back().length - spans.front().offset < (1u << 20))) {
      const std::size_t had = spans.size();
      const std::uint64_t n = std::min<std::uint64_t>(4096, count - next);
      spans.resize(had + static_cast<std::size_t>(n));
      index.spans(next + 1, n, spans.data() + had, error);
      next += n;
    }
    if (error || spans.empty()) return 0;
    const std::uint64_t from = spans.front().offset;
    (void)index.read_bytes(from, spans.back().offset + spans.back().length - from, text, error);
    for (FileIndex::Span& span : spans)
      span.offset -= from;
    return 0;
  });
  if (error) {
    spans.clear();
    raise(error, self.path);
  }
}

// An iterator over a FileIndex's lines, written with the C API: its
// __next__ runs once a line, and a class of pybind11 or a generator would
// cost as much again as making the line's bytes.
struct PieceReader {
  py::object owner; // the FileIndex, kept alive
  const SharedIndex* index;
  std::uint64_t next; // the first line of the next piece
  std::uint64_t stop;
  std::string text;
  std::vector<FileIndex::Span> spans;
  std::size_t at = 0;
};
struct LinesIteratorObject {
  PyObject_HEAD PieceReader* reader;
};

PyObject* lines_next(PyObject* object) {
  PieceReader* reader = reinterpret_cast<LinesIteratorObject*>(object)->reader;
  if (reader == nullptr) {
    PyErr_SetString(PyExc_TypeError, "this iterator is made by iter(FileIndex)");
    return nullptr;
  }
  try {
    if (reader->at == reader->spans.size()) {
      reader->at = 0;
      read_piece(*reader->index, reader->next, reader->stop, reader->text, reader->spans);
      if (reader->spans.empty()) return nullptr; // the end: StopIteration
      reader->next += reader->spans.size();
    }
    const FileIndex::Span& span = reader->spans[reader->at++];
    return PyBytes_FromStringAndSize(reader->text.data() + span.offset, static_cast<Py_ssize_t>(span.length));
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return nullptr;
}

void lines_dealloc(PyObject* object) {
  delete reinterpret_cast<LinesIteratorObject*>(object)->reader;
  Py_TYPE(object)->tp_free(object);
}

// A static type, ready once: with no tp_new, Python code cannot make one.
PyTypeObject lines_iterator_object_type{};

void make_lines_iterator_type() {
  PyTypeObject& type = lines_iterator_object_type;
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1); // held by the module for good
  type.tp_name = "line_reader._LinesIterator";
  type.tp_basicsize = sizeof(LinesIteratorObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_dealloc = lines_dealloc;
  type.tp_iter = PyObject_SelfIter;
  type.tp_iternext = lines_next;
  if (PyType_Ready(&type) < 0) throw py::error_already_set();
}

// Lines [start, stop) of the FileIndex `self` (stop: at most its count as
// each piece is read).
py::object lines_iterator(const py::object& self, std::uint64_t start, std::uint64_t stop) {
  PyTypeObject* type = &lines_iterator_object_type;
  auto object = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
  if (!object) throw py::error_already_set();
  reinterpret_cast<LinesIteratorObject*>(object.ptr())->reader =
      new PieceReader{self, &self.cast<const SharedIndex&>(), start, stop, {}, {}, 0};
  return object;
}

PYBIND11_MODULE(_line_reader, module) {
  module.doc() = "Any line of a text file of any size, by number, from an index of its lines.";
  module.attr("__version__") = LINE_READER_VERSION;
  error_type = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "line_reader.Error", "A failure of the line reader; its message is the library's.", PyExc_OSError,
      nullptr));
  module.attr("Error") = error_type;
  make_lines_iterator_type();
  py::class_<Column>(module, "_Column", py::buffer_protocol()).def_buffer(&Column::info);

  py::class_<LineIterator>(module, "_LineIterator")
      .def("__iter__", [](LineIterator& self) -> LineIterator& { return self; })
      .def("__next__", [](LineIterator& self) {
        if (self.next >= self.file->line_count()) throw py::stop_iteration();
        return bytes_of(self.file->line(++self.next));
      });

  py::class_<IndexedFile, SharedFile>(module, "IndexedFile", py::buffer_protocol(),
                                      "A text file in memory with a compact index of its lines.")
      .def(py::init([](const py::object& path, const std::string& ends, bool raw) {
             const std::string name = path_text(path);
             const LineEnds rule = ends_of(ends);
             std::error_code error;
             IndexedFile file;
             {
               py::gil_scoped_release released;
               file = IndexedFile::open(name.c_str(), error, rule, raw);
             }
             if (error) raise(error, name);
             return std::make_shared<IndexedFile>(std::move(file));
           }),
           py::arg("path"), py::arg("ends") = "lf", py::arg("raw") = false)
      .def_static(
          "from_bytes",
          [](const py::bytes& bytes, const std::string& ends) {
            const auto text = static_cast<std::string_view>(bytes);
            std::error_code error;
            IndexedFile file = IndexedFile::copy_of(text, error, ends_of(ends));
            if (error) raise(error, "<bytes>");
            return std::make_shared<IndexedFile>(std::move(file));
          },
          py::arg("data"), py::arg("ends") = "lf")
      .def("__len__", [](const IndexedFile& self) { return self.line_count(); })
      .def("__getitem__",
           [](const IndexedFile& self, const py::object& key) -> py::object {
             if (py::isinstance<py::slice>(key)) {
               Slice slice(key);
               py::list lines(slice.picks(self.line_count()));
               for (std::size_t k = 0; k < lines.size(); ++k, slice.start += slice.step)
                 lines[k] = bytes_of(self.line(static_cast<std::uint64_t>(slice.start) + 1));
               return lines;
             }
             return bytes_of(self.line(index_of(key, self.line_count()) + 1));
           })
      .def("__iter__",
           [](const SharedFile& self) {
             return LineIterator{self, 0};
           })
      .def(
          "line",
          [](const IndexedFile& self, const py::object& number) {
            return bytes_of(self.line(number_of(number, self.line_count())));
          },
          py::arg("number"), "Line `number`, from 1, without its line end.")
      .def(
          "view",
          [](const py::object& self, const py::object& i) {
            const auto& file = self.cast<const IndexedFile&>();
            const std::string_view line = file.line(index_of(i, file.line_count()) + 1);
            const auto from = static_cast<py::ssize_t>(line.data() - file.text().data());
            // A slice of a view of the whole text keeps the file alive.
            return py::object(py::memoryview(
                py::buffer(self))[py::slice(from, from + static_cast<py::ssize_t>(line.size()), 1)]);
          },
          py::arg("index"), "Line `index` (from 0) as a read-only memoryview into the file's text.")
      .def_buffer([](IndexedFile& self) {
        const std::string_view text = self.text();
        return py::buffer_info(const_cast<char*>(text.data()), 1,
                               py::format_descriptor<std::uint8_t>::format(), 1,
                               {static_cast<py::ssize_t>(text.size())}, {1}, true);
      })
      .def_property_readonly("longest_line", &IndexedFile::longest_line)
      .def_property_readonly("longest_length", &IndexedFile::longest_length)
      .def_property_readonly("index_bytes", &IndexedFile::index_bytes)
      .def("__reduce_ex__", [](const IndexedFile&, int) -> py::object {
        throw py::type_error("an IndexedFile holds its text in memory and does not pickle: pickle a "
                             "line_reader.FileIndex, which reads each line from the file");
      });

  py::class_<SharedIndex>(module, "FileIndex", "The line index of a file that stays on disk.",
                          // The progress callback may hold the object (a bound method of its
                          // owner): the collector sees it through the object and can break the cycle.
                          py::custom_type_setup([](PyHeapTypeObject* heap_type) {
                            auto* type = &heap_type->ht_type;
                            type->tp_flags |= Py_TPFLAGS_HAVE_GC;
                            type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) {
                              Py_VISIT(Py_TYPE(self));
                              try {
                                const auto& index = py::cast<const SharedIndex&>(py::handle(self));
                                if (index.progress) Py_VISIT(index.progress->callback.ptr());
                              } catch (...) { // not made yet
                                PyErr_Clear();
                              }
                              return 0;
                            };
                            type->tp_clear = [](PyObject* self) {
                              try {
                                auto& index = py::cast<SharedIndex&>(py::handle(self));
                                if (index.progress) index.progress->callback = py::none();
                              } catch (...) {
                                PyErr_Clear();
                              }
                              return 0;
                            };
                          }))
      .def_static(
          "build",
          [](const py::object& path, const std::string& ends, unsigned threads, const py::object& progress,
             bool raw) {
            auto self = std::make_unique<SharedIndex>();
            self->path = path_text(path);
            self->raw = raw;
            line_reader::IndexOptions options = options_of(ends, threads, raw);
            // The index keeps its options and calls them again as it refreshes.
            self->progress = std::make_shared<Progress>(Progress{progress, std::nullopt});
            if (!progress.is_none())
              options.progress = [report = self->progress](std::uint64_t done, std::uint64_t total) {
                return (*report)(done, total);
              };
            std::error_code error;
            {
              py::gil_scoped_release released;
              self->index = FileIndex::build(self->path.c_str(), error, options);
            }
            finish(error, self->progress.get(), self->path);
            return self;
          },
          py::arg("path"), py::arg("ends") = "lf", py::arg("threads") = 0, py::arg("progress") = py::none(),
          py::arg("raw") = false)
      .def_static(
          "load",
          [](const py::object& index_path, const py::object& path, const std::string& ends, unsigned threads,
             bool raw) {
            auto self = std::make_unique<SharedIndex>();
            const std::string saved = path_text(index_path);
            self->path = path_text(path);
            self->raw = raw;
            const line_reader::IndexOptions options = options_of(ends, threads, raw);
            std::error_code error;
            {
              py::gil_scoped_release released;
              self->index = FileIndex::load(saved.c_str(), self->path.c_str(), error, options);
            }
            if (error) raise(error, failed_file(error, saved, self->path));
            self->saved_path = std::filesystem::absolute(saved).string();
            return self;
          },
          py::arg("index_path"), py::arg("path"), py::arg("ends") = "lf", py::arg("threads") = 0,
          py::arg("raw") = false)
      .def(
          "save",
          [](const SharedIndex& self, const py::object& index_path) {
            const std::string saved = path_text(index_path);
            refuse_within_refresh(self);
            std::error_code error;
            {
              py::gil_scoped_release released;
              std::shared_lock<std::shared_mutex> held(self.lock);
              self.index.save(saved.c_str(), error);
            }
            if (error) raise(error, saved);
          },
          py::arg("index_path"))
      .def("__len__",
           [](const SharedIndex& self) { return shared_use(self, [&] { return self.index.line_count(); }); })
      .def("__getitem__",
           [](const SharedIndex& self, const py::object& key) -> py::object {
             std::error_code error;
             if (py::isinstance<py::slice>(key)) {
               Slice slice(key);
               std::vector<std::string> lines;
               shared_use(self, [&] {
                 lines.resize(slice.picks(self.index.line_count()));
                 std::string buffer;
                 for (std::size_t k = 0; k < lines.size() && !error; ++k, slice.start += slice.step)
                   lines[k] =
                       self.index.read_line(static_cast<std::uint64_t>(slice.start) + 1, buffer, error);
                 return 0;
               });
               if (error) raise(error, self.path);
               py::list list(lines.size());
               for (std::size_t k = 0; k < lines.size(); ++k)
                 list[k] = bytes_of(lines[k]);
               return list;
             }
             std::string buffer;
             const Index i = index_arg(key);
             const std::string_view line = shared_use(self, [&] {
               // Read into `buffer`, which no refresh touches.
               const std::string_view read =
                   self.index.read_line(index_in(i, self.index.line_count()) + 1, buffer, error);
               return std::string_view(error ? std::string_view() : read);
             });
             if (error) raise(error, self.path);
             return bytes_of(line);
           })
      .def(
          "span",
          [](const SharedIndex& self, const py::object& i) {
            std::error_code error;
            const Index at = index_arg(i);
            const FileIndex::Span span = shared_use(
                self, [&] { return self.index.span(index_in(at, self.index.line_count()) + 1, error); });
            if (error) raise(error, self.path);
            return py::make_tuple(span.offset, span.length);
          },
          py::arg("index"),
          "(offset, length) of line `index` (from 0) in the file, its line end not counted.")
      .def(
          "lines",
          [](const SharedIndex& self, const py::object& indices) {
            const std::vector<Index> asked = indices_of(indices);
            std::string texts[2];
            std::vector<ReadLine> lines;
            std::error_code error;
            shared_use(self, [&] {
              const std::uint64_t count = self.index.line_count();
              std::vector<std::uint64_t> numbers(asked.size());
              for (std::size_t k = 0; k < asked.size(); ++k)
                numbers[k] = index_in(asked[k], count) + 1;
              py::gil_scoped_release released;
              read_many(self.index, numbers, texts, lines, error);
              return 0;
            });
            if (error) raise(error, self.path);
            // Made with the C API: one call a line.
            auto list = py::reinterpret_steal<py::list>(PyList_New(static_cast<Py_ssize_t>(lines.size())));
            if (!list) throw py::error_already_set();
            for (std::size_t k = 0; k < lines.size(); ++k) {
              PyObject* line = PyBytes_FromStringAndSize(texts[lines[k].text].data() + lines[k].at,
                                                         static_cast<Py_ssize_t>(lines[k].length));
              if (line == nullptr) throw py::error_already_set();
              PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k), line);
            }
            return list;
          },
          py::arg("indices"),
          "The lines at `indices` (from 0; a list, a range, an array of integers), in the order asked.")
      .def(
          "read",
          [](const SharedIndex& self, const py::object& start, const py::object& stop) {
            const py::slice bounds(start, stop, py::none());
            Slice slice(bounds);
            std::string text;
            std::error_code error;
            shared_use(self, [&] {
              const std::size_t picked = slice.picks(self.index.line_count());
              if (picked == 0) return 0;
              py::gil_scoped_release released;
              const auto first = static_cast<std::uint64_t>(slice.start);
              (void)self.index.read_lines(first + 1, first + picked, text, error);
              return 0;
            });
            if (error) raise(error, self.path);
            return py::bytes(text);
          },
          py::arg("start") = py::none(), py::arg("stop") = py::none(),
          "Lines [start, stop) as one bytes, each with its line end as the file has it.")
      .def(
          "spans",
          [](const SharedIndex& self, const py::object& start, const py::object& stop) {
            const py::slice bounds(start, stop, py::none());
            Slice slice(bounds);
            std::unique_ptr<Column> offsets;
            std::unique_ptr<Column> lengths;
            std::error_code error;
            shared_use(self, [&] {
              const std::size_t picked = slice.picks(self.index.line_count());
              offsets = std::make_unique<Column>(picked);
              lengths = std::make_unique<Column>(picked);
              py::gil_scoped_release released;
              fill_spans(self.index, static_cast<std::uint64_t>(slice.start) + 1, *offsets, *lengths, error);
              return 0;
            });
            if (error) raise(error, self.path);
            // Each view holds its column, which frees its memory when the last goes.
            return py::make_tuple(py::memoryview(py::cast(std::move(offsets))),
                                  py::memoryview(py::cast(std::move(lengths))));
          },
          py::arg("start") = 0, py::arg("stop") = py::none(),
          "(offsets, lengths) of lines [start, stop) as read-only buffers of unsigned 64-bit integers.")
      .def(
          "split",
          [](const SharedIndex& self, long long parts, const std::string& by) {
            if (parts < 1 || parts > (1 << 24)) throw py::value_error("parts must be from 1 to 2**24");
            if (by != "lines" && by != "bytes") throw py::value_error("by must be 'lines' or 'bytes'");
            std::vector<std::uint64_t> firsts(static_cast<std::size_t>(parts) + 1);
            std::vector<std::uint64_t> starts(firsts.size());
            std::error_code error;
            shared_use(self, [&] {
              const FileIndex& index = self.index;
              const std::uint64_t count = index.line_count();
              const std::uint64_t size = index.indexed_bytes();
              const auto n = static_cast<std::uint64_t>(parts);
              for (std::uint64_t k = 0; k <= n && !error; ++k) {
                std::uint64_t first = 0;
                if (by == "lines") {
                  first = line_reader::detail::share(count, k, n);
                } else {
                  // The first line that starts at or after the part's share of the bytes.
                  const std::uint64_t target = line_reader::detail::share(size, k, n);
                  std::uint64_t low = 0;
                  std::uint64_t high = count;
                  while (low < high && !error) {
                    const std::uint64_t middle = low + (high - low) / 2;
                    if (start_at(index, middle, error) < target) {
                      low = middle + 1;
                    } else {
                      high = middle;
                    }
                  }
                  first = k == n ? count : low;
                }
                firsts[k] = std::max(first, k == 0 ? 0 : firsts[k - 1]);
                starts[k] = start_at(index, firsts[k], error);
              }
              return 0;
            });
            if (error) raise(error, self.path);
            py::list list(static_cast<std::size_t>(parts));
            for (std::size_t k = 0; k < list.size(); ++k)
              list[k] = py::make_tuple(firsts[k], firsts[k + 1], starts[k], starts[k + 1] - starts[k]);
            return list;
          },
          py::arg("parts"), py::arg("by") = "lines",
          "`parts` parts covering every line once, as (first, stop, offset, length): by lines, or by bytes "
          "cut at line starts.")
      .def(
          "sample",
          [](const SharedIndex& self, long long k, const py::object& seed) {
            const std::uint64_t count = shared_use(self, [&] { return self.index.line_count(); });
            if (k < 0 || static_cast<std::uint64_t>(k) > count)
              throw py::value_error("sample larger than the lines, or negative");
            return line_reader::detail::sample_of(count, static_cast<std::uint64_t>(k),
                                                  seed.is_none() ? std::random_device()()
                                                                 : seed.cast<std::uint64_t>());
          },
          py::arg("k"), py::arg("seed") = py::none(),
          "`k` distinct line indices chosen uniformly, in file order; the same for the same seed.")
      .def("__iter__", [](const py::object& self) { return lines_iterator(self, 0, UINT64_MAX); })
      .def(
          "_iterate",
          [](const py::object& self, std::uint64_t start, std::uint64_t stop) {
            return lines_iterator(self, start, stop);
          },
          py::arg("start"), py::arg("stop"))
      .def("__reduce__",
           [](const py::object& object) {
             const auto& self = object.cast<const SharedIndex&>();
             refuse_within_refresh(self);
             // Loaded from a saved index and not changed since: its path, which
             // the unpickled index loads, checked the same way.
             std::string saved_path;
             LineEnds saved_ends = LineEnds::lf;
             {
               std::shared_lock<std::shared_mutex> held(self.lock);
               saved_path = self.saved_path;
               saved_ends = self.index.ends();
             }
             if (!saved_path.empty())
               return py::make_tuple(py::module_::import("line_reader").attr("_index_from_saved_path"),
                                     py::make_tuple(py::bytes(self.path),
                                                    saved_ends == LineEnds::lf ? "lf" : "crlf", self.raw,
                                                    py::bytes(saved_path)));
             // The saved form, through a scratch file: unpickled, it is
             // checked against the file as load() checks it.
             const std::string scratch = scratch_path();
             std::error_code error;
             LineEnds ends = LineEnds::lf;
             {
               py::gil_scoped_release released;
               std::shared_lock<std::shared_mutex> held(self.lock);
               ends = self.index.ends();
               self.index.save(scratch.c_str(), error, false);
             }
             if (error) raise(error, scratch);
             const py::bytes form = read_and_remove(scratch);
             // Unpickled by a function of the package, which pickle finds by its name.
             return py::make_tuple(
                 py::module_::import("line_reader").attr("_index_from_saved_form"),
                 py::make_tuple(py::bytes(self.path), ends == LineEnds::lf ? "lf" : "crlf", self.raw, form));
           })
      .def_static(
          "cached",
          [](const py::object& path, const std::string& ends, unsigned threads, bool raw) {
            auto self = std::make_unique<SharedIndex>();
            self->path = path_text(path);
            self->raw = raw;
            const line_reader::IndexOptions options = lazy_options(options_of(ends, threads, raw));
            std::error_code error;
            std::string warning;
            {
              py::gil_scoped_release released;
              line_reader::IndexCache cache(true, [&warning](const std::string& what) { warning = what; });
              self->index = cache.index_of(self->path.c_str(), error, options, &self->saved_path);
            }
            if (error) raise(error, self->path);
            // The cache's problems, as lines says them: the answer still comes.
            if (!warning.empty())
              PyErr_WarnEx(PyExc_RuntimeWarning, ("line_reader cache: " + warning).c_str(), 1);
            return self;
          },
          py::arg("path"), py::arg("ends") = "lf", py::arg("threads") = 0, py::arg("raw") = false,
          "The index that the lines program uses for `path`, from the user's cache: loaded from its saved "
          "index while that describes the file, else built and saved there.")
      .def_static(
          "_from_saved_path",
          [](const py::bytes& path, const std::string& ends, bool raw, const py::bytes& saved) {
            auto self = std::make_unique<SharedIndex>();
            self->path = path_text(path);
            self->raw = raw;
            const std::string saved_path = path_text(saved);
            // Read a piece at a time as lookups need them, so that a worker
            // starts at once whatever the index's size; never viewed, since a
            // view of a saved index truncated in place would end the
            // interpreter with SIGBUS.
            const line_reader::IndexOptions options = lazy_options(options_of(ends, 0, raw));
            std::error_code error;
            {
              py::gil_scoped_release released;
              self->index = FileIndex::load(saved_path.c_str(), self->path.c_str(), error, options);
            }
            if (error) raise(error, failed_file(error, saved_path, self->path));
            self->saved_path = saved_path;
            return self;
          },
          py::arg("path"), py::arg("ends"), py::arg("raw"), py::arg("saved"))
      .def_static(
          "_from_saved_form",
          [](const py::bytes& path, const std::string& ends, bool raw, const py::bytes& form) {
            auto self = std::make_unique<SharedIndex>();
            self->path = path_text(path);
            self->raw = raw;
            const std::string scratch = scratch_path();
            {
              std::ofstream out(scratch, std::ios::binary);
              const auto bytes = static_cast<std::string_view>(form);
              out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
              if (!out) {
                std::remove(scratch.c_str());
                raise(std::make_error_code(std::errc::io_error), scratch);
              }
            }
            const line_reader::IndexOptions options = options_of(ends, 0, raw);
            std::error_code error;
            {
              py::gil_scoped_release released;
              self->index = FileIndex::load(scratch.c_str(), self->path.c_str(), error, options);
            }
            // An index of a compressed file reads its windows from the
            // saved form, which stays open: the name alone goes.
            std::remove(scratch.c_str());
            if (error) raise(error, self->path);
            return self;
          },
          py::arg("path"), py::arg("ends"), py::arg("raw"), py::arg("form"))
      .def("refresh",
           [](SharedIndex& self) {
             refuse_within_refresh(self); // from its own progress callback
             std::error_code error;
             FileIndex::Change change = FileIndex::Change::none;
             std::optional<py::error_already_set> raised;
             {
               py::gil_scoped_release released;
               std::unique_lock<std::shared_mutex> held(self.lock);
               self.refresher = std::this_thread::get_id();
               change = self.index.refresh(error);
               self.refresher = std::thread::id();
               // Taken while the lock is held: a refresh on another thread may follow.
               if (self.progress) raised = self.progress->take();
             }
             if (change != FileIndex::Change::none) self.saved_path.clear();
             if (raised) throw std::move(*raised);
             if (error) raise(error, self.path);
             return change == FileIndex::Change::none       ? "none"
                    : change == FileIndex::Change::appended ? "appended"
                                                            : "replaced";
           })
      .def_property_readonly(
          "longest_line",
          [](const SharedIndex& self) { return shared_use(self, [&] { return self.index.longest_line(); }); })
      .def_property_readonly("longest_length",
                             [](const SharedIndex& self) {
                               return shared_use(self, [&] { return self.index.longest_length(); });
                             })
      .def_property_readonly(
          "index_bytes",
          [](const SharedIndex& self) { return shared_use(self, [&] { return self.index.index_bytes(); }); })
      .def_property_readonly("indexed_bytes",
                             [](const SharedIndex& self) {
                               return shared_use(self, [&] { return self.index.indexed_bytes(); });
                             })
      .def_property_readonly("compression", [](const SharedIndex& self) {
        return std::string(shared_use(self, [&] { return line_reader::name_of(self.index.compression()); }));
      });
}
