// The Python module line_reader: IndexedFile and FileIndex with Python's
// conventions (lines from 0 for [], negatives and slices; bytes without
// their line ends; Python's own exceptions).
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "line_reader/file_index.h"
#include "line_reader/indexed_file.h"
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

PYBIND11_MODULE(_line_reader, module) {
  module.doc() = "Any line of a text file of any size, by number, from an index of its lines.";
  module.attr("__version__") = LINE_READER_VERSION;
  error_type = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "line_reader.Error", "A failure of the line reader; its message is the library's.", PyExc_OSError,
      nullptr));
  module.attr("Error") = error_type;

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
      .def_property_readonly("index_bytes", &IndexedFile::index_bytes);

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
            const line_reader::IndexOptions options = options_of(ends, threads, raw);
            std::error_code error;
            {
              py::gil_scoped_release released;
              self->index = FileIndex::load(saved.c_str(), self->path.c_str(), error, options);
            }
            if (error) raise(error, failed_file(error, saved, self->path));
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
