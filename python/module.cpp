// The Python module line_reader: IndexedFile and FileIndex with Python's
// conventions (lines from 0 for [], negatives and slices; bytes without
// their line ends; Python's own exceptions).
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

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
  if (error.category() == std::system_category()) raise_as(error_type.ptr(), error.value());
  // The message alone, as the library says it: OSError's str() of a
  // filename without an errno would read "[Errno None] None".
  PyErr_SetObject(error_type.ptr(), py::str(message).ptr());
  throw py::error_already_set();
}

// An index from 0, negatives from the end; IndexError outside.
std::uint64_t index_of(std::int64_t i, std::uint64_t count) {
  const auto n = static_cast<std::int64_t>(count);
  if (i < 0) i += n;
  if (i < 0 || i >= n) throw py::index_error("line index out of range");
  return static_cast<std::uint64_t>(i);
}

py::bytes bytes_of(std::string_view text) { return py::bytes(text.data(), text.size()); }

// The lines that `slice` picks of `count`, each `line(number)` (from 1).
template <class Line> py::list lines_of(const py::slice& slice, std::uint64_t count, Line line) {
  std::size_t start = 0, stop = 0, step = 0, length = 0;
  if (!slice.compute(static_cast<std::size_t>(count), &start, &stop, &step, &length))
    throw py::error_already_set();
  py::list lines(length);
  for (std::size_t k = 0; k < length; ++k, start += step)
    lines[k] = line(start + 1);
  return lines;
}

// The owner, shared by the object and the iterators and views made from it.
using SharedFile = std::shared_ptr<IndexedFile>;

struct LineIterator {
  SharedFile file;
  std::uint64_t next = 0;
};

// A str, bytes or os.PathLike path as the file system's bytes.
std::string path_text(const py::object& path) {
  return py::bytes(py::module_::import("os").attr("fsencode")(path)).cast<std::string>();
}

// Calls a Python progress callback from the build, with the GIL held; an
// exception from it stops the build and is raised again afterwards.
struct Progress {
  py::object callback;
  std::optional<py::error_already_set> raised;
  bool operator()(std::uint64_t done, std::uint64_t total) {
    py::gil_scoped_acquire gil;
    try {
      const py::object result = callback(done, total);
      return !(py::isinstance<py::bool_>(result) && !result.cast<bool>());
    } catch (py::error_already_set& error) {
      raised.emplace(std::move(error));
      return false;
    }
  }
};

line_reader::IndexOptions options_of(const std::string& ends, unsigned threads) {
  line_reader::IndexOptions options;
  options.ends = ends_of(ends);
  options.threads = threads;
  return options;
}

// What a call that may have been stopped by its progress callback ends
// with: the callback's exception, else the library's error.
void finish(const std::error_code& error, Progress* progress, const std::string& path) {
  if (progress != nullptr && progress->raised) {
    py::error_already_set raised = std::move(*progress->raised);
    progress->raised.reset();
    throw raised;
  }
  if (error) raise(error, path);
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
      .def(py::init([](const py::object& path, const std::string& ends) {
             const std::string name = path_text(path);
             const LineEnds rule = ends_of(ends);
             std::error_code error;
             IndexedFile file;
             {
               py::gil_scoped_release released;
               file = IndexedFile::open(name.c_str(), error, rule);
             }
             if (error) raise(error, name);
             return std::make_shared<IndexedFile>(std::move(file));
           }),
           py::arg("path"), py::arg("ends") = "lf")
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
           [](const IndexedFile& self, std::int64_t i) {
             return bytes_of(self.line(index_of(i, self.line_count()) + 1));
           })
      .def("__getitem__",
           [](const IndexedFile& self, const py::slice& slice) {
             return lines_of(slice, self.line_count(),
                             [&](std::uint64_t number) { return bytes_of(self.line(number)); });
           })
      .def("__iter__",
           [](const SharedFile& self) {
             return LineIterator{self, 0};
           })
      .def(
          "line",
          [](const IndexedFile& self, std::uint64_t number) {
            if (number < 1 || number > self.line_count()) throw py::index_error("line number out of range");
            return bytes_of(self.line(number));
          },
          py::arg("number"), "Line `number`, from 1, without its line end.")
      .def(
          "view",
          [](const py::object& self, std::int64_t i) {
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

  py::class_<FileIndex>(module, "FileIndex", "The line index of a file that stays on disk.")
      .def_static(
          "build",
          [](const py::object& path, const std::string& ends, unsigned threads, const py::object& progress) {
            const std::string name = path_text(path);
            line_reader::IndexOptions options = options_of(ends, threads);
            // The index keeps its options and calls them again as it refreshes.
            auto report = std::make_shared<Progress>(Progress{progress, std::nullopt});
            if (!progress.is_none())
              options.progress = [report](std::uint64_t done, std::uint64_t total) {
                return (*report)(done, total);
              };
            std::error_code error;
            FileIndex index;
            {
              py::gil_scoped_release released;
              index = FileIndex::build(name.c_str(), error, options);
            }
            finish(error, report.get(), name);
            return index;
          },
          py::arg("path"), py::arg("ends") = "lf", py::arg("threads") = 0, py::arg("progress") = py::none())
      .def_static(
          "load",
          [](const py::object& index_path, const py::object& path, const std::string& ends,
             unsigned threads) {
            const std::string saved = path_text(index_path);
            const std::string name = path_text(path);
            const line_reader::IndexOptions options = options_of(ends, threads);
            std::error_code error;
            FileIndex index;
            {
              py::gil_scoped_release released;
              index = FileIndex::load(saved.c_str(), name.c_str(), error, options);
            }
            finish(error, nullptr,
                   error == errc::bad_index || error == errc::stale_index || error == errc::unsupported_index
                       ? saved
                       : name);
            return index;
          },
          py::arg("index_path"), py::arg("path"), py::arg("ends") = "lf", py::arg("threads") = 0)
      .def(
          "save",
          [](const FileIndex& self, const py::object& index_path) {
            const std::string saved = path_text(index_path);
            std::error_code error;
            {
              py::gil_scoped_release released;
              self.save(saved.c_str(), error);
            }
            finish(error, nullptr, saved);
          },
          py::arg("index_path"))
      .def("__len__", [](const FileIndex& self) { return self.line_count(); })
      .def("__getitem__",
           [](const FileIndex& self, std::int64_t i) {
             std::string buffer;
             std::error_code error;
             const std::string_view line = self.read_line(index_of(i, self.line_count()) + 1, buffer, error);
             if (error) raise(error, "<indexed file>");
             return bytes_of(line);
           })
      .def("__getitem__",
           [](const FileIndex& self, const py::slice& slice) {
             std::string buffer;
             std::error_code error;
             return lines_of(slice, self.line_count(), [&](std::uint64_t number) {
               const std::string_view line = self.read_line(number, buffer, error);
               if (error) raise(error, "<indexed file>");
               return bytes_of(line);
             });
           })
      .def(
          "span",
          [](const FileIndex& self, std::int64_t i) {
            const FileIndex::Span span = self.span(index_of(i, self.line_count()) + 1);
            return py::make_tuple(span.offset, span.length);
          },
          py::arg("index"),
          "(offset, length) of line `index` (from 0) in the file, its line end not counted.")
      .def("refresh",
           [](FileIndex& self) {
             std::error_code error;
             FileIndex::Change change = FileIndex::Change::none;
             {
               py::gil_scoped_release released;
               change = self.refresh(error);
             }
             finish(error, nullptr, "<indexed file>");
             return change == FileIndex::Change::none       ? "none"
                    : change == FileIndex::Change::appended ? "appended"
                                                            : "replaced";
           })
      .def_property_readonly("longest_line", &FileIndex::longest_line)
      .def_property_readonly("longest_length", &FileIndex::longest_length)
      .def_property_readonly("index_bytes", &FileIndex::index_bytes)
      .def_property_readonly("indexed_bytes", &FileIndex::indexed_bytes);
}
