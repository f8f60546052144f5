// Throughput of the line reader beside its baselines, in one run.
//
//   cmake --preset default && cmake --build --preset default
//   build/default/bench/line_reader_bench                            # 64 KiB and 256 MiB
//   LINE_READER_BENCH_1GIB=1 build/default/bench/line_reader_bench   # and 1 GiB
//
// Every figure is bytes of input per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "baselines.h"
#include "line_reader/index/line_index.h"
#include "line_reader/indexed_file.h"
#include "line_reader/line_reader.h"
#include "line_reader/scan/variants.h"
#include "line_reader/text_file.h"
#include "platform/platform.h"
#include "text_shapes.h"

using namespace line_reader;

namespace {

// A loaded-form buffer (data on a 16-byte boundary, zero tail) that lives
// for the whole run; each benchmark indexes its own copy of the record.
struct Text {
  platform::Handle block;
  char* data;
  std::uint32_t size;
};

const Text& text_of(Shape shape, std::uint64_t size) {
  static std::map<std::pair<Shape, std::uint64_t>, Text> texts;
  auto [at, added] = texts.try_emplace({shape, size});
  if (added) {
    at->second.block = platform::block_allocate_zeroed(file_buffer_bytes(size));
    at->second.data = static_cast<char*>(platform::block_lock(at->second.block));
    at->second.size = static_cast<std::uint32_t>(size);
    fill_text(shape, at->second.data, size);
  }
  return at->second;
}

LineRecord record_over(const Text& text) {
  LineRecord record{};
  record.buffer = text.data;
  record.size = text.size;
  return record;
}

// Frees the table only: the buffer belongs to the Text.
void drop_index(LineRecord& record) {
  if (record.table != nullptr) platform::heap_free(record.heap, record.table);
  record = record_over(Text{0, record.buffer, record.size});
}

void count_bytes(benchmark::State& state, std::uint64_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void stream_read(benchmark::State& state, Shape shape, std::uint64_t size) {
  const Text& text = text_of(shape, size);
  for (auto _ : state)
    benchmark::DoNotOptimize(sum_words(text.data, text.size));
  count_bytes(state, size);
}

void count_lines(benchmark::State& state, Shape shape, std::uint64_t size, ScanVariant variant) {
  const Text& text = text_of(shape, size);
  for (auto _ : state)
    benchmark::DoNotOptimize(count_crlf_with(variant, text.data, text.size));
  count_bytes(state, size);
}

// Code 1 through run_line_command: count, table allocation, fill, statistics.
void build_index(benchmark::State& state, Shape shape, std::uint64_t size, ScanVariant variant) {
  const Text& text = text_of(shape, size);
  const ScanVariant before = selected_scan_variant();
  select_scan_variant(variant);
  LineRecord record = record_over(text);
  record.command = LINE_CMD_BUILD;
  for (auto _ : state) {
    if (run_line_command(&record) != 1) state.SkipWithError("build failed");
    benchmark::DoNotOptimize(record.line_count);
  }
  drop_index(record);
  select_scan_variant(before);
  count_bytes(state, size);
}

template <class Index>
void baseline_index(benchmark::State& state, Shape shape, std::uint64_t size, Index index) {
  const Text& text = text_of(shape, size);
  std::vector<LineEntry> table;
  for (auto _ : state) {
    // A fresh table each time, as code 1 allocates one.
    std::vector<LineEntry>().swap(table);
    benchmark::DoNotOptimize(index(text.data, text.size, table));
  }
  count_bytes(state, size);
}

void terminate_lines(benchmark::State& state, Shape shape, std::uint64_t size) {
  // Its own copy of the text: terminating changes the bytes.
  const Text& source = text_of(shape, size);
  const platform::Handle block = platform::block_allocate_zeroed(file_buffer_bytes(size));
  LineRecord record = record_over(Text{block, static_cast<char*>(platform::block_lock(block)), source.size});
  std::memcpy(record.buffer, source.data, size);
  record.command = LINE_CMD_BUILD;
  run_line_command(&record);
  record.command = LINE_CMD_TERMINATE;
  for (auto _ : state)
    benchmark::DoNotOptimize(run_line_command(&record));
  drop_index(record);
  platform::block_free(block);
  count_bytes(state, size);
}

// The owner type's index alone, on text in memory: the line-end scan and
// the blocks of offsets, a fresh index each time. The text gets its own
// buffer with the 64-byte zero tail that the scan's last step reads.
void build_owner_index(benchmark::State& state, Shape shape, std::uint64_t size, ScanVariant variant,
                       LineEnds ends) {
  const Text& source = text_of(shape, size);
  const platform::Handle block = platform::block_allocate_zeroed(size + 64);
  char* text = static_cast<char*>(platform::block_lock(block));
  std::memcpy(text, source.data, size);
  const detail::LineEndStages stages = line_end_stages_with(variant);
  std::uint64_t bytes_a_line = 0;
  std::uint64_t lines = 0;
  for (auto _ : state) {
    detail::LineIndex index;
    detail::LineIndexBuilder builder(index, stages, ends == LineEnds::lf);
    builder.scan(text, 0, (size + 63) & ~std::uint64_t{63});
    detail::LineTotals totals;
    if (!builder.finish(size, totals)) state.SkipWithError("no memory");
    benchmark::DoNotOptimize(totals.line_count);
    bytes_a_line = totals.line_count == 0 ? 0 : index.bytes() * 1000 / totals.line_count;
    lines = totals.line_count;
  }
  state.counters["index_bytes_a_line"] = static_cast<double>(bytes_a_line) / 1000;
  // Seconds a line, shown by the benchmark library in its own units (ns).
  state.counters["time_a_line"] =
      benchmark::Counter(static_cast<double>(lines),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  platform::block_free(block);
  count_bytes(state, size);
}

void fetch_every_line(benchmark::State& state, Shape shape, std::uint64_t size) {
  LineRecord record = record_over(text_of(shape, size));
  record.command = LINE_CMD_BUILD;
  run_line_command(&record);
  record.command = LINE_CMD_FETCH;
  for (auto _ : state) {
    for (record.line_number = 1; run_line_command(&record) == 1; ++record.line_number) {
      benchmark::DoNotOptimize(record.current_line);
    }
  }
  drop_index(record);
  count_bytes(state, size);
}

std::string file_of(Shape shape, std::uint64_t size) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("line_reader_bench_" + std::string(shape_name(shape)) + "_" + std::to_string(size));
  if (!std::filesystem::exists(path) || std::filesystem::file_size(path) != size) {
    const Text& text = text_of(shape, size);
    std::ofstream(path, std::ios::binary).write(text.data, static_cast<std::streamsize>(size));
  }
  return path.string();
}

void load_file(benchmark::State& state, Shape shape, std::uint64_t size, bool and_build) {
  const std::string name = file_of(shape, size);
  for (auto _ : state) {
    LineRecord record{};
    if (load_text_file(name.c_str(), &record) != 1) state.SkipWithError("load failed");
    if (and_build) {
      record.command = LINE_CMD_BUILD;
      run_line_command(&record);
    }
    benchmark::DoNotOptimize(record.line_count);
    record.command = LINE_CMD_RELEASE;
    run_line_command(&record);
  }
  count_bytes(state, size);
}

// IndexedFile::open of a page-cached file: the read and the index in one.
void open_owner(benchmark::State& state, Shape shape, std::uint64_t size) {
  const std::string name = file_of(shape, size);
  for (auto _ : state) {
    std::error_code error;
    const IndexedFile file = IndexedFile::open(name.c_str(), error);
    if (error) state.SkipWithError("open failed");
    benchmark::DoNotOptimize(file.line_count());
  }
  count_bytes(state, size);
}

std::string size_name(std::uint64_t size) {
  return size >= (1u << 30)   ? std::to_string(size >> 30) + "GiB"
         : size >= (1u << 20) ? std::to_string(size >> 20) + "MiB"
                              : std::to_string(size >> 10) + "KiB";
}

void register_all() {
  std::vector<std::uint64_t> sizes = {std::uint64_t{64} << 10, std::uint64_t{256} << 20};
  if (const char* big = std::getenv("LINE_READER_BENCH_1GIB"); big != nullptr && *big == '1') {
    sizes.push_back(std::uint64_t{1} << 30);
  }
  const Shape shapes[] = {Shape::prose,     Shape::short_lines, Shape::long_lines,
                          Shape::no_breaks, Shape::bare_crs,    Shape::dense};
  for (std::uint64_t size : sizes) {
    for (Shape shape : shapes) {
      const std::string tail = std::string("/") + shape_name(shape) + "/" + size_name(size);
      auto add = [&](const std::string& name, auto&& run) {
        auto* bench = benchmark::RegisterBenchmark((name + tail).c_str(), run);
        bench->Unit(benchmark::kMillisecond)->UseRealTime();
        if (size > (1u << 20)) bench->Iterations(size > (std::uint64_t{1} << 28) ? 3 : 10);
      };
      add("baseline_stream_read", [=](benchmark::State& s) { stream_read(s, shape, size); });
      add("baseline_memchr_index",
          [=](benchmark::State& s) { baseline_index(s, shape, size, memchr_index); });
      add("baseline_byte_loop_index",
          [=](benchmark::State& s) { baseline_index(s, shape, size, byte_loop_index); });
      for (ScanVariant variant : available_scan_variants()) {
        const std::string v = std::string("/") + scan_variant_name(variant);
        add("count_crlf" + v, [=](benchmark::State& s) { count_lines(s, shape, size, variant); });
        add("build" + v, [=](benchmark::State& s) { build_index(s, shape, size, variant); });
        add("owner_index_crlf" + v,
            [=](benchmark::State& s) { build_owner_index(s, shape, size, variant, LineEnds::crlf); });
        add("owner_index_lf" + v,
            [=](benchmark::State& s) { build_owner_index(s, shape, size, variant, LineEnds::lf); });
      }
      add("terminate", [=](benchmark::State& s) { terminate_lines(s, shape, size); });
      add("fetch_every_line", [=](benchmark::State& s) { fetch_every_line(s, shape, size); });
      if (shape == Shape::prose) {
        add("load_cached_file", [=](benchmark::State& s) { load_file(s, shape, size, false); });
        add("load_and_build", [=](benchmark::State& s) { load_file(s, shape, size, true); });
        add("owner_open", [=](benchmark::State& s) { open_owner(s, shape, size); });
      }
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
