// Where the time of reading every record goes, measured against baselines in
// the same run. A database of 300,000 records (16-byte keys, 100-byte values,
// Snappy tables plus a log) is written once with the real LevelDB library
// under $TMPDIR, or VOSTREL_BENCH_DB names an existing directory. Then:
//
//   TouchEveryByte    copies every data file out (as the readers do, fault-safe)
//                     and sums its bytes: the floor
//   DecodeOnly        decodes every record into a sink that only counts
//   DecodeToVector    decodes into owned Records (iterate_records_raw)
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

#include "db.h"
#include "safe_copy.h"

namespace {

// Removes the written database when the program ends.
struct TempRoot {
  std::string path;
  ~TempRoot() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};
TempRoot temp_root;

std::string write_database() {
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                     "/vostrel-iterate-bench-XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  temp_root.path = path;
  path += "/db";
  leveldb::Options options;
  options.create_if_missing = true;
  options.write_buffer_size = 4 << 20;
  leveldb::DB* raw = nullptr;
  if (!leveldb::DB::Open(options, path, &raw).ok()) throw std::runtime_error("cannot write " + path);
  const std::unique_ptr<leveldb::DB> db(raw);
  std::mt19937_64 random(20261207);
  char key[17];
  std::string value(100, '\0');
  for (int batch_start = 0; batch_start < 300000; batch_start += 1000) {
    leveldb::WriteBatch batch;
    for (int i = batch_start; i < batch_start + 1000; ++i) {
      std::snprintf(key, sizeof key, "%016llu", static_cast<unsigned long long>(random() % 1000000));
      // Half text, half noise: Snappy shrinks it somewhat, like application data.
      for (std::size_t j = 0; j < value.size(); ++j) {
        value[j] = j < 50 ? static_cast<char>('a' + j % 7) : static_cast<char>(random());
      }
      batch.Put(key, value);
    }
    db->Write(leveldb::WriteOptions(), &batch);
  }
  return path;
}

const vostrel::RawLevelDb& database() {
  static const vostrel::RawLevelDb db = [] {
    const char* given = std::getenv("VOSTREL_BENCH_DB");
    auto opened = vostrel::RawLevelDb::open(given != nullptr ? given : write_database());
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
  database().visit_records(false, counter);
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
    database().visit_records(false, sink);
    benchmark::DoNotOptimize(sink.bytes);
    state.SetItemsProcessed(state.items_processed() + static_cast<std::int64_t>(sink.n));
  }
}

void DecodeToVector(benchmark::State& state) {
  for (auto _ : state) {
    const auto records = database().iterate_records_raw(false);
    benchmark::DoNotOptimize(records.data());
    state.SetItemsProcessed(state.items_processed() + static_cast<std::int64_t>(records.size()));
  }
}

BENCHMARK(TouchEveryByte)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeToVector)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
