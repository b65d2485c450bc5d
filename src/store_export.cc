#include "store_export.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "record_stream.h"

namespace vostrel {
namespace {

using Clock = std::chrono::steady_clock;

// Records per step of a walk between two looks at the clock or the stop flag.
constexpr std::size_t kStepRecords = 4096;
// Chunks queued by all workers together, per thread, before a worker whose
// file is not being written waits.
constexpr std::size_t kChunksPerThread = 2;
// Chunks the file being written may queue beyond that budget.
constexpr std::size_t kHeadChunks = 2;

StoreExportResult export_in_order(const RawLevelDb& db, bool reverse, const ExportOptions& options,
                                  ChunkWriter writer, const StoreExportControl& control) {
  StoreExportResult result;
  RecordStream stream(db, reverse);
  RecordExporter exporter(options, std::move(writer));
  const auto check_in = [&] { return !control.check_in || control.check_in(stream.bytes_done(db), stream.total_bytes()); };
  auto last_check = Clock::now();
  result.stopped = control.report_ends && !check_in();
  while (!result.stopped && !stream.done() && !exporter.failed()) {
    stream.step(db, kStepRecords, exporter);
    if (const auto now = Clock::now(); now - last_check >= control.interval) {
      last_check = now;
      result.stopped = !check_in();
    }
  }
  if (!result.stopped && !exporter.failed() && control.report_ends) result.stopped = !check_in();
  if (!result.stopped) {
    if (auto finished = exporter.finish(); !finished) result.write_error = std::move(finished.error());
  }
  result.records = exporter.records_written();
  return result;
}

// The output of one data file, as its worker hands it over.
struct FileOutput {
  std::deque<ChunkBuffer> chunks;
  bool done = false;
  std::uint64_t records = 0;
  std::atomic<std::uint64_t> bytes_done{0};  // of the file's bytes, walked
};

class ParallelExport {
 public:
  ParallelExport(const RawLevelDb& db, bool reverse, const ExportOptions& options, const StoreExportControl& control)
      : db_(db), options_(options), control_(control), order_(db.iteration_order(reverse)), outputs_(order_.size()) {
    for (const auto& file : db.data_files()) total_bytes_ += length_of(file);
    budget_ = kChunksPerThread * std::min<std::size_t>(control.threads, order_.size());
  }

  // nullopt when not even one worker thread could be started.
  std::optional<StoreExportResult> run(const ChunkWriter& writer) {
    const unsigned threads = std::min<std::size_t>(control_.threads, order_.size());
    std::vector<std::jthread> workers;
    workers.reserve(threads);
    try {
      for (unsigned i = 0; i < threads; ++i) {
        try {
          workers.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
          break;  // out of threads (a process limit): go on with those there are
        }
      }
      if (workers.empty()) return std::nullopt;
      write_all(writer);
    } catch (...) {
      stop();
      throw;
    }
    for (auto& worker : workers) worker.join();
    if (failure_) std::rethrow_exception(failure_);
    return result_;
  }

 private:
  void stop() {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    room_.notify_all();
  }

  // One exporter per worker, for every file it takes: its buffers are
  // allocated once, not for each file.
  void work() {
    try {
      DecodeScratch scratch;
      std::size_t index = 0;
      FileOutput* output = nullptr;
      ExportOptions options = options_;
      options.header = false;  // the writer writes it
      // The exporter's full buffer joins the queue as it is, and a written
      // one (whose memory is already there, where a fresh megabyte would come
      // from the system and fault in page by page) takes its place.
      RecordExporter exporter(options, [&](ChunkBuffer& full) -> std::expected<void, WriteError> {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] {
          return stopping_ || queued_ < budget_ || (index == head_ && output->chunks.size() < kHeadChunks);
        });
        if (stopping_) return std::unexpected(WriteError{0, "stopped"});
        output->chunks.push_back(std::move(full));
        full = ChunkBuffer{};
        if (!spare_.empty()) {
          full = std::move(spare_.back());
          spare_.pop_back();
        }
        ++queued_;
        if (index == head_) ready_.notify_one();
        return {};
      });
      for (;;) {
        {
          const std::lock_guard lock(mutex_);
          if (stopping_ || next_ >= order_.size()) return;
          index = next_++;
          output = &outputs_[index];
        }
        const std::size_t position = order_[index];
        const std::uint64_t records_before = exporter.records_written();
        std::uint64_t resume = 0;
        do {
          resume = db_.visit_file_records_from(position, resume, kStepRecords, exporter, scratch);
          output->bytes_done.store(db_.file_bytes_before(position, resume), std::memory_order_relaxed);
        } while (resume != kFileDone && !exporter.failed());
        const bool flushed = exporter.finish().has_value();
        db_.drop_file_pages(position);
        const std::lock_guard lock(mutex_);
        if (!flushed) return;  // stopped: the writer no longer waits for it
        output->done = true;
        output->records = exporter.records_written() - records_before;
        if (index == head_) ready_.notify_one();
      }
    } catch (...) {
      const std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      stopping_ = true;
      room_.notify_all();
      ready_.notify_all();
    }
  }

  std::uint64_t bytes_done() const {
    if (head_ >= order_.size()) return finished_bytes_;
    return finished_bytes_ + outputs_[head_].bytes_done.load(std::memory_order_relaxed);
  }

  bool check_in() { return !control_.check_in || control_.check_in(bytes_done(), total_bytes_); }

  // On the caller's thread: every file's chunks in order, check-ins between.
  void write_all(const ChunkWriter& writer) {
    if (control_.report_ends && !check_in()) return halt_stopped();
    if (options_.format == ExportFormat::Csv && options_.header) {
      if (auto written = writer(csv_header(options_)); !written) {
        result_.write_error = std::move(written.error());
        return stop();
      }
    }
    auto last_check = Clock::now();
    while (head_ < order_.size()) {
      ChunkBuffer chunk;
      {
        std::unique_lock lock(mutex_);
        FileOutput& output = outputs_[head_];
        const bool ready = ready_.wait_until(lock, last_check + control_.interval, [&] {
          return stopping_ || !output.chunks.empty() || output.done;
        });
        if (stopping_) return;  // a worker failed; run() rethrows
        if (ready) {
          if (!output.chunks.empty()) {
            chunk = std::move(output.chunks.front());
            output.chunks.pop_front();
            --queued_;
            room_.notify_all();
          } else {
            result_.records += output.records;
            finished_bytes_ += length_of(db_.data_files()[order_[head_]]);
            ++head_;
            room_.notify_all();
          }
        }
      }
      if (chunk.data != nullptr) {
        if (auto written = writer(std::string_view(chunk.data.get(), chunk.size)); !written) {
          result_.write_error = std::move(written.error());
          stop();
          return;
        }
        const std::lock_guard lock(mutex_);
        if (spare_.size() < control_.threads) spare_.push_back(std::move(chunk));
      }
      if (const auto now = Clock::now(); now - last_check >= control_.interval) {
        last_check = now;
        if (!check_in()) return halt_stopped();
      }
    }
    if (control_.report_ends && !check_in()) return halt_stopped();
  }

  void halt_stopped() {
    result_.stopped = true;
    stop();
  }

  const RawLevelDb& db_;
  const ExportOptions& options_;
  const StoreExportControl& control_;
  const std::vector<std::size_t> order_;
  std::uint64_t total_bytes_ = 0;
  std::size_t budget_ = 0;

  std::mutex mutex_;
  std::condition_variable room_;   // workers wait here for room in the queue
  std::condition_variable ready_;  // the writer waits here for the head file
  std::vector<FileOutput> outputs_;
  std::size_t next_ = 0;    // the next file a worker takes
  std::size_t head_ = 0;    // the file being written
  std::size_t queued_ = 0;  // chunks queued by all files
  std::vector<ChunkBuffer> spare_;  // written chunks, for reuse
  bool stopping_ = false;
  std::exception_ptr failure_;

  // The writer's own (the caller's thread).
  std::uint64_t finished_bytes_ = 0;
  StoreExportResult result_;
};

}  // namespace

StoreExportResult export_store(const RawLevelDb& db, bool reverse, const ExportOptions& options, ChunkWriter writer,
                               const StoreExportControl& control) {
  // Fewer than two files leave nothing to do side by side.
  if (control.threads <= 1 || db.data_files().size() < 2) {
    return export_in_order(db, reverse, options, std::move(writer), control);
  }
  ParallelExport parallel(db, reverse, options, control);
  if (auto result = parallel.run(writer)) return *std::move(result);
  return export_in_order(db, reverse, options, std::move(writer), control);
}

unsigned available_cores() noexcept {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

}  // namespace vostrel
