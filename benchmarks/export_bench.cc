// What formatting costs on top of reading: every record of a database visited
// with a sink that does nothing, against the same visit through the record
// exporter in each format and encoding (output counted, then dropped).
//
// The database, 1,000,000 records of 16-byte keys and 100-byte values (half
// text, half noise, as in iterate_bench), is written once with the real
// LevelDB library under $TMPDIR, or VOSTREL_BENCH_DB names an existing one.
// items_per_second is records per second of CPU time; compare the rows, not
// absolute times.

#include <benchmark/benchmark.h>
#include <leveldb/db.h>
#include <leveldb/options.h>
#include <leveldb/write_batch.h>

#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "bench_store.h"
#include "read/store.h"
#include "export/record_export.h"
#include "export/store_export.h"

namespace {

constexpr int kRecords = 1000000;

const vostrel::RawLevelDb& database() {
  static const vostrel::RawLevelDb db = [] {
    const char* given = std::getenv("VOSTREL_BENCH_DB");
    auto opened = vostrel::RawLevelDb::open(
        given != nullptr ? given : vostrel_bench::write_database("export-bench", kRecords, 10000000));
    if (!opened) throw std::runtime_error(opened.error().message());
    return std::move(*opened);
  }();
  return db;
}

void VisitOnly(benchmark::State& state) {
  for (auto _ : state) {
    struct Sink {
      std::size_t n = 0;
      void operator()(const vostrel::RecordView& r) {
        benchmark::DoNotOptimize(r.key.data());
        ++n;
      }
    } sink;
    vostrel_bench::walk_all(database(), sink);
    state.SetItemsProcessed(state.items_processed() + static_cast<std::int64_t>(sink.n));
  }
}

void Export(benchmark::State& state, vostrel::ExportFormat format, vostrel::ByteEncoding encoding) {
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    vostrel::RecordExporter exporter({.format = format, .encoding = encoding},
                                     [&](std::string_view chunk) -> std::expected<void, vostrel::WriteError> {
                                       benchmark::DoNotOptimize(chunk.data());
                                       bytes += chunk.size();
                                       return {};
                                     });
    vostrel_bench::walk_all(database(), exporter);
    if (!exporter.finish()) state.SkipWithError("write failed");
    state.SetItemsProcessed(state.items_processed() + static_cast<std::int64_t>(exporter.records_written()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

double thread_cpu_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The whole store through export_store with state.range(0) threads (1: the
// caller's thread alone). Time is wall time, CPU the whole process's; on a
// machine whose cores are busy with other work the wall time cannot drop, so
// caller_cpu (the writing thread's CPU seconds per iteration) and the CPU
// column tell what the split costs and where the work went.
void StoreExport(benchmark::State& state) {
  const auto threads = static_cast<unsigned>(state.range(0));
  double caller_cpu = 0;
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    const double start = thread_cpu_seconds();
    const auto result = vostrel::export_store(
        database(), false, {},
        [&](std::string_view chunk) -> std::expected<void, vostrel::WriteError> {
          benchmark::DoNotOptimize(chunk.data());
          bytes += chunk.size();
          return {};
        },
        {.threads = threads});
    caller_cpu += thread_cpu_seconds() - start;
    if (result.write_error) state.SkipWithError("write failed");
    state.SetItemsProcessed(state.items_processed() + static_cast<std::int64_t>(result.records));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["caller_cpu"] = benchmark::Counter(caller_cpu, benchmark::Counter::kAvgIterations);
}

using vostrel::ByteEncoding;
using vostrel::ExportFormat;
BENCHMARK(VisitOnly)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Export, JsonlEscaped, ExportFormat::Jsonl, ByteEncoding::Escaped)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Export, CsvEscaped, ExportFormat::Csv, ByteEncoding::Escaped)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Export, JsonlHex, ExportFormat::Jsonl, ByteEncoding::Hex)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Export, JsonlBase64, ExportFormat::Jsonl, ByteEncoding::Base64)->Unit(benchmark::kMillisecond);
BENCHMARK(StoreExport)->Arg(1)->Arg(2)->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  database();  // written or opened before any timing starts
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
