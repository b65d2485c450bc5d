// Where the time of reading every record goes, measured against baselines in
// the same run. A database of 300,000 records (16-byte keys, 100-byte values,
// Snappy tables plus a log) is written once with the real LevelDB library
// under $TMPDIR, or VOSTREL_BENCH_DB names an existing directory. Then:
//
//   TouchEveryByte    copies every data file out (as the readers do, fault-safe)
//                     and sums its bytes: the floor
//   DecodeOnly        decodes every record into a sink that only counts
//   DecodeToVector    decodes into owned Records (VectorSink)
//
// items_per_second is records per second; compare the rows, not absolute times.

#include <benchmark/benchmark.h>
#include <leveldb/db.h>
#include <leveldb/options.h>
#include <leveldb/write_batch.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "bench_store.h"
#include "read/store.h"
#include "io/safe_copy.h"

namespace {

const vostrel::RawLevelDb& database() {
  static const vostrel::RawLevelDb db = [] {
    const char* given = std::getenv("VOSTREL_BENCH_DB");
    auto opened = vostrel::RawLevelDb::open(
        given != nullptr ? given : vostrel_bench::write_database("iterate-bench", 300000, 1000000));
    if (!opened) throw std::runtime_error(opened.error().message());
    return std::move(*opened);
  }();
  return db;
}

std::size_t record_count() {
  struct Counter {
    std::size_t n = 0;
    void operator()(const vostrel::RecordView&) { ++n; }
  } counter;
  vostrel_bench::walk_all(database(), counter);
  return counter.n;
}

void TouchEveryByte(benchmark::State& state) {
  const std::size_t records = record_count();
  for (auto _ : state) {
    std::uint64_t sum = 0;
    vostrel::ByteBuffer buffer;
    vostrel::prepare_fault_guard();
    for (const auto& file : database().data_files()) {
      const vostrel::MappedFile& mapped =
          std::visit([](const auto& f) -> const vostrel::MappedFile& { return f.file(); }, file);
      for (std::uint64_t at = 0; at < mapped.size(); at += 1 << 20) {
        for (const char c : mapped.read(at, 1 << 20, buffer)) sum += static_cast<unsigned char>(c);
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
}

void DecodeOnly(benchmark::State& state) {
  for (auto _ : state) {
    struct Sink {
      std::uint64_t bytes = 0;
      std::size_t n = 0;
      void operator()(const vostrel::RecordView& r) {
        bytes += r.key.size() + r.value.size();
        ++n;
      }
    } sink;
    vostrel_bench::walk_all(database(), sink);
    benchmark::DoNotOptimize(sink.bytes);
    state.SetItemsProcessed(state.items_processed() + static_cast<std::int64_t>(sink.n));
  }
}

void DecodeToVector(benchmark::State& state) {
  for (auto _ : state) {
    vostrel::VectorSink sink;
    vostrel_bench::walk_all(database(), sink);
    const auto records = std::move(sink).take();
    benchmark::DoNotOptimize(records.data());
    state.SetItemsProcessed(state.items_processed() + static_cast<std::int64_t>(records.size()));
  }
}

BENCHMARK(TouchEveryByte)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeToVector)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
