#include "export/store_export.h"

#include "base/worker_signals.h"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "read/current_versions.h"
#include "read/record_walk.h"
#include "recover/carve_store.h"
#include "recover/loose_file.h"

namespace vostrel {
namespace {

using Clock = std::chrono::steady_clock;

// Records per step of a walk between two looks at the clock or the stop flag.
constexpr std::size_t kStepRecords = 4096;
// Chunks queued by all workers together, per thread, before a worker whose
// file is not being written waits (unless the control says otherwise).
constexpr std::size_t kChunksPerThread = 8;
// Chunks the file being written may queue beyond that budget.
constexpr std::size_t kHeadChunks = 2;
// Stores opened ahead of the one being written, per thread.
constexpr std::size_t kStoresAheadPerThread = 4;
// A store of many whose data files are smaller than this together keeps
// their pages until it is closed, rather than giving each file's back as it is
// done: closing unmaps them anyway a few stores later, and each madvise of a
// process with threads on other cores costs every core a TLB flush, on a
// virtual machine an interrupt between processors, which for small stores
// cost more than their reading.
constexpr std::uint64_t kSmallStoreBytes = std::uint64_t{4} << 20;

// The dump's formatter: its record exporter.
class RecordFormatter final : public UnitFormatter {
 public:
  RecordFormatter(const ExportOptions& options, ChunkTaker taker) : exporter_(options, std::move(taker)) {}
  void record(const RecordView& record) override { exporter_(record); }
  void record(const RecordView& record, RecordStatus status) override { exporter_(record, status); }
  void set_store(std::string_view store, const StorePreparation*) override { exporter_.set_store(store); }
  std::expected<void, WriteError> finish() override { return exporter_.finish(); }
  bool failed() const noexcept override { return exporter_.failed(); }
  std::uint64_t records_written() const noexcept override { return exporter_.records_written(); }

 private:
  RecordExporter exporter_;
};

// Hands a walk's records to a formatter.
struct FormatterSink {
  UnitFormatter& formatter;
  void operator()(const RecordView& record) { formatter.record(record); }
  void operator()(const RecordView& record, RecordStatus status) { formatter.record(record, status); }
};

// The output of one unit of work: one unit of one store's reading order (a
// data file's normal read or its carving), or one loose file, as its worker
// hands it over.
struct UnitOutput {
  std::deque<ChunkBuffer> chunks;
  bool done = false;
  std::optional<FileFailure> failure;  // a loose file that could not be opened
  std::uint64_t records = 0;
  std::uint64_t length = 0;                  // the file's bytes
  std::atomic<std::uint64_t> bytes_done{0};  // of them, walked
  unsigned thread = 0;                       // that fills its chunks
};

// One store of the export: the caller's, or one a worker opens when it
// reaches it (and the writer closes once its output is written).
struct StoreSlot {
  enum class State : std::uint8_t { Waiting, Opening, Open };
  State state = State::Waiting;
  const RawLevelDb* db = nullptr;  // when open; nullptr if it could not be
  std::optional<std::expected<RawLevelDb, DbError>> opened;
  std::vector<WalkUnit> order;     // its reading order
  bool drop_pages = true;          // of each file once done
  std::span<const std::string> loose;  // loose files: the paths, read by content, in output order
  // With the status field: which records are current (built once the store
  // is open, before any of its units is handed out).
  std::optional<CurrentVersions> versions;
  // What the formatters take to its units (with a PrepareStore).
  std::unique_ptr<StorePreparation> prepared;
};

// The units are taken in output order, each the next data file of the store
// being handed out, by threads - 1 worker threads and by the caller's thread,
// which also writes every unit's chunks in order: whenever it has a chunk of
// its own to hand over, between its units, and when there is nothing left to
// take. A caller that writes while it works never has to be woken for each
// unit another thread finishes, which on a virtual machine costs more than
// the small stores' units themselves.
//
// With many stores the threads open each store as they reach it, at most
// kStoresAheadPerThread stores per thread ahead of the one being written, so
// that open stores (their descriptors and mappings) stay bounded however many
// there are; the caller's thread closes each store once its output is written.
class OrderedExport {
 public:
  // One store, the caller's (carved after its normal read, with carve).
  OrderedExport(const RawLevelDb& db, bool reverse, bool carve, const ExportOptions& options,
                const StoreExportControl& control, const ChunkWriter& writer, const FormatterFactory* make = nullptr)
      : reverse_(reverse), options_(options), control_(control), writer_(writer), make_(make), slots_(1) {
    slots_[0].db = &db;
    slots_[0].order = db.reading_order(reverse, carve);
    for (const WalkUnit unit : slots_[0].order) total_bytes_ += db.unit_length(unit);
    open_one_slot();
  }

  // Loose files, in the order given: each one unit.
  OrderedExport(std::span<const std::string> paths, const ExportOptions& options, const StoreExportControl& control,
                const ChunkWriter& writer)
      : reverse_(false), options_(options), control_(control), writer_(writer), slots_(1) {
    slots_[0].loose = paths;
    for (std::size_t i = 0; i < paths.size(); ++i) slots_[0].order.push_back({WalkPass::Read, i});
    open_one_slot();
  }

  // Many stores, each opened (and prepared, with `prepare`) by the thread
  // that reaches it.
  OrderedExport(std::span<const std::string> directories, bool reverse, const ExportOptions& options,
                const StoreExportControl& control, const ChunkWriter& writer, const StoreOpened& on_store,
                const FormatterFactory* make = nullptr, const PrepareStore* prepare = nullptr)
      : reverse_(reverse),
        options_(options),
        control_(control),
        writer_(writer),
        make_(make),
        prepare_(prepare),
        directories_(directories),
        on_store_(&on_store),
        slots_(directories.size()),
        threads_(std::max(control.threads, 1U)) {
    budget_ = chunks_per_thread() * threads_;
    spare_.resize(threads_);
  }

  [[nodiscard]] std::size_t chunks_per_thread() const noexcept {
    return control_.chunks_per_thread != 0 ? control_.chunks_per_thread : kChunksPerThread;
  }

  void open_one_slot() {
    slots_[0].state = StoreSlot::State::Open;
    opened_ = 1;
    threads_ = static_cast<unsigned>(std::clamp<std::size_t>(slots_[0].order.size(), 1, control_.threads));
    budget_ = chunks_per_thread() * threads_;
    spare_.resize(threads_);
  }

  StoreExportResult run() {
    // One store's current records are found on the caller's thread before
    // any unit is walked (many stores: by the thread that opens each).
    if (options_.status && on_store_ == nullptr && slots_[0].db != nullptr) {
      last_check_ = Clock::now();
      if (control_.report_ends && !check_in()) {
        halt_stopped();
        return result_;
      }
      auto go_on = [this] { return check_in_if_due(); };
      StopToken stop = stop_token_of(go_on);
      slots_[0].versions.emplace(CurrentVersions::of_store(*slots_[0].db, &stop));
      if (stop.stopped()) {
        halt_stopped();
        return result_;
      }
    }
    std::vector<std::jthread> workers;
    workers.reserve(threads_ - 1);
    try {
      for (unsigned i = 1; i < threads_; ++i) {
        try {
          workers.emplace_back([this, i] { work(i); });
        } catch (const std::system_error&) {
          break;  // out of threads (a process limit): go on with those there are
        }
      }
      write_all();
    } catch (...) {
      stop();
      throw;
    }
    stop();  // after an early end, workers still waiting leave
    for (auto& worker : workers) worker.join();
    if (failure_) std::rethrow_exception(failure_);
    return result_;
  }

 private:
  // What a thread needs to work on one unit.
  struct Unit {
    const RawLevelDb* db = nullptr;
    const CurrentVersions* versions = nullptr;  // with the status field
    const StorePreparation* prepared = nullptr;  // with a PrepareStore
    const std::string* loose = nullptr;  // or a loose file's path
    bool drop_pages = true;
    std::size_t store = 0;
    WalkUnit walk;             // of the store's reading order
    std::uint64_t index = 0;   // the unit's number in output order
    UnitOutput* output = nullptr;
    unsigned thread = 0;  // the thread walking it: 0 the caller's, then the workers
  };

  void stop() {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    halting_.store(true, std::memory_order_relaxed);
    room_.notify_all();
    ready_.notify_all();
  }

  // The next unit, under the lock; false once there is none, or (unless
  // `wait`) none yet. While the store to hand out next is still being opened,
  // a thread opens the one after it.
  bool take_unit(std::unique_lock<std::mutex>& lock, bool wait, Unit& unit) {
    for (;;) {
      if (stopping_ || next_store_ >= slots_.size()) return false;
      StoreSlot& slot = slots_[next_store_];
      if (slot.state == StoreSlot::State::Open) {
        if (next_file_ < slot.order.size()) {
          unit.db = slot.db;
          unit.versions = slot.versions ? &*slot.versions : nullptr;
          unit.prepared = slot.prepared.get();
          unit.drop_pages = slot.drop_pages;
          unit.store = next_store_;
          unit.walk = slot.order[next_file_++];
          unit.loose = slot.loose.empty() ? nullptr : &slot.loose[unit.walk.slot];
          unit.index = head_unit_ + outputs_.size();
          unit.output = &outputs_.emplace_back();
          unit.output->thread = unit.thread;
          unit.output->length = unit.db != nullptr ? unit.db->unit_length(unit.walk) : 0;
          return true;
        }
        ++next_store_;
        next_file_ = 0;
        continue;
      }
      if (opened_ < slots_.size() && opened_ < head_store_ + kStoresAheadPerThread * threads_) {
        open_store(lock, opened_++, unit.thread == 0);
        continue;
      }
      if (!wait) return false;
      room_.wait(lock);
    }
  }

  // caller: whether this is the caller's thread, which checks in while it
  // finds a store's current records.
  void open_store(std::unique_lock<std::mutex>& lock, std::size_t index, bool caller) {
    StoreSlot& slot = slots_[index];
    slot.state = StoreSlot::State::Opening;
    lock.unlock();
    std::optional<std::expected<RawLevelDb, DbError>> opened;
    std::vector<WalkUnit> order;
    std::optional<CurrentVersions> versions;
    std::unique_ptr<StorePreparation> prepared;
    std::uint64_t bytes = 0;
    try {
      // No stop token: opening polls nothing of the caller's, and a store's
      // listing is quick next to reading it.
      opened.emplace(RawLevelDb::open(directories_[index], nullptr, FileAccess::CopySmall));
      if (opened->has_value()) {
        order = (*opened)->reading_order(reverse_, false);
        for (const auto& file : (*opened)->data_files()) bytes += length_of(file);
        // The caller's thread, the only writer, writes what the others have
        // ready as it goes: a store's first pass or current records can take
        // long enough for every other thread to fill the queue and wait.
        std::function<bool()> go_on = [&] {
          return !halting_.load(std::memory_order_relaxed) && (!caller || (check_in_if_due() && write_ready()));
        };
        if (options_.status) {
          StopToken stop = stop_token_of(go_on);
          versions.emplace(CurrentVersions::of_store(**opened, &stop));
        }
        // Shared out over as many threads as the export has: when the others
        // are busy with the stores before it they only take turns on the
        // cores, and when they are waiting for it (a large store after small
        // ones, or alone) it is ready sooner.
        if (prepare_ != nullptr) prepared = (*prepare_)(index, **opened, threads_, go_on);
      }
    } catch (...) {
      lock.lock();
      throw;
    }
    lock.lock();
    slot.opened = std::move(opened);
    slot.db = slot.opened->has_value() ? &**slot.opened : nullptr;
    slot.order = std::move(order);
    slot.versions = std::move(versions);
    slot.prepared = std::move(prepared);
    slot.drop_pages = bytes >= kSmallStoreBytes;
    slot.state = StoreSlot::State::Open;
    total_bytes_ += bytes;
    room_.notify_all();
    if (index == head_store_) ready_.notify_one();
  }

  // Walks one unit into the exporter; between steps, between_steps() false
  // ends it. Returns whether the unit was finished and handed over whole.
  // exporter_store: the store whose field the exporter writes.
  template <typename BetweenSteps>
  bool walk(const Unit& unit, UnitFormatter& exporter, std::size_t& exporter_store, DecodeScratch& scratch,
            BetweenSteps between_steps) {
    if (on_store_ != nullptr && unit.store != exporter_store) {
      exporter.set_store(directories_[unit.store], unit.prepared);
      exporter_store = unit.store;
    }
    const std::uint64_t records_before = exporter.records_written();
    std::optional<FileFailure> failure;
    std::uint64_t resume = 0;
    if (unit.loose != nullptr) {
      // A loose file is carved as a whole, its normal records first.
      if (auto file = LooseFile::open(*unit.loose)) {
        FormatterSink sink{exporter};
        file->visit_records(true, sink, scratch);
      } else {
        failure = FileFailure{*unit.loose, file.error()};
      }
      resume = kFileDone;
    } else {
      const auto walk_steps = [&](auto& sink) {
        do {
          resume = walk_unit(*unit.db, unit.walk, resume, kStepRecords, sink, scratch, StoreCarver{});
          if (unit.walk.pass == WalkPass::Read) {
            unit.output->bytes_done.store(unit.db->file_bytes_before(unit.walk.slot, resume),
                                          std::memory_order_relaxed);
          }
        } while (resume != kFileDone && !exporter.failed() && between_steps());
      };
      if (unit.versions != nullptr) {
        // Units are whole files in their own order: ordinals line up.
        FormatterSink sink{exporter};
        StatusSink<FormatterSink> with_status(*unit.versions, *unit.db, unit.walk, sink);
        walk_steps(with_status);
      } else {
        FormatterSink sink{exporter};
        walk_steps(sink);
      }
    }
    const bool flushed = resume == kFileDone && exporter.finish().has_value();
    if (unit.drop_pages && unit.db != nullptr) unit.db->drop_unit_pages(unit.walk);
    if (!flushed) return false;
    const std::lock_guard lock(mutex_);
    unit.output->failure = std::move(failure);
    unit.output->done = true;
    unit.output->records = exporter.records_written() - records_before;
    if (unit.index == head_unit_) ready_.notify_one();
    return true;
  }

  // Queues a full chunk of `unit` and leaves a spare in its place, under the
  // lock: the one this thread filled last, whose lines are likely still in
  // its core's cache, or else another thread's.
  void queue_chunk(const Unit& unit, ChunkBuffer& full) {
    unit.output->chunks.push_back(std::move(full));
    full = ChunkBuffer{};
    for (unsigned i = 0; i < threads_; ++i) {
      auto& spares = spare_[(unit.thread + i) % threads_];
      if (spares.empty()) continue;
      full = std::move(spares.back());
      spares.pop_back();
      --spare_count_;
      break;
    }
    ++queued_;
  }

  // A worker thread: one exporter for every unit it takes, its buffers
  // allocated once.
  void work(unsigned thread) {
    leave_signals_to_main_thread();
    try {
      DecodeScratch scratch;
      scratch.positions = options_.positions;
      Unit unit;
      unit.thread = thread;
      ExportOptions options = options_;
      options.header = false;  // the caller's thread writes it
      // The exporter's full buffer joins the queue as it is, and a written
      // one (whose memory is already there, where a fresh megabyte would come
      // from the system and fault in page by page) takes its place.
      const auto formatter = make_formatter(options, [&](ChunkBuffer& full) -> std::expected<void, WriteError> {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] {
          return stopping_ || queued_ < budget_ ||
                 (unit.index == head_unit_ && unit.output->chunks.size() < kHeadChunks);
        });
        if (stopping_) return std::unexpected(WriteError{0, "stopped"});
        queue_chunk(unit, full);
        if (unit.index == head_unit_) ready_.notify_one();
        return {};
      });
      std::size_t exporter_store = SIZE_MAX;
      for (;;) {
        {
          std::unique_lock lock(mutex_);
          if (!take_unit(lock, true, unit)) return;
        }
        if (!walk(unit, *formatter, exporter_store, scratch, [] { return true; })) return;  // stopped
      }
    } catch (...) {
      const std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      stopping_ = true;
      room_.notify_all();
      ready_.notify_all();
    }
  }

  // A thread's formatter: the caller's, or the dump's record exporter.
  std::unique_ptr<UnitFormatter> make_formatter(const ExportOptions& options, ChunkTaker taker) const {
    if (make_ != nullptr) return (*make_)(std::move(taker));
    return std::make_unique<RecordFormatter>(options, std::move(taker));
  }

  // Under the lock: whether the caller's thread has something to write (or
  // a store to report or close).
  bool head_ready() const {
    if (head_store_ >= slots_.size()) return true;
    const StoreSlot& slot = slots_[head_store_];
    if (slot.state != StoreSlot::State::Open) return false;
    if (!head_begun_ || head_written_ == slot.order.size()) return true;
    return !outputs_.empty() && (!outputs_.front().chunks.empty() || outputs_.front().done);
  }

  // On the caller's thread: writes whatever is ready in output order,
  // reporting each store as its turn comes and closing it once written.
  // false when the export is to end (stopped, a write failed, or a worker
  // failed: run() rethrows).
  bool write_ready() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopping_) return false;
      if (head_store_ >= slots_.size()) return true;
      StoreSlot& slot = slots_[head_store_];
      if (slot.state != StoreSlot::State::Open) return true;
      if (!head_begun_) {
        head_begun_ = true;
        const bool doubt = slot.versions && files_in_doubt(slot.versions->activity()) && control_.files_in_doubt;
        if (on_store_ != nullptr || doubt) {
          lock.unlock();  // the slot is open: nothing but this thread changes it now
          if ((on_store_ != nullptr && !(*on_store_)(head_store_, *slot.opened)) ||
              (doubt && !control_.files_in_doubt(head_store_, slot.versions->activity()))) {
            halt_stopped();
            return false;
          }
          lock.lock();
        }
        continue;
      }
      if (head_written_ == slot.order.size()) {
        if (on_store_ != nullptr) {
          slot.db = nullptr;
          slot.versions.reset();
          slot.prepared.reset();
          slot.opened.reset();  // closes the store: its output is written
          slot.order = {};
        }
        ++head_store_;
        head_begun_ = false;
        head_written_ = 0;
        room_.notify_all();
        continue;
      }
      if (outputs_.empty()) return true;
      UnitOutput& output = outputs_.front();
      if (!output.chunks.empty()) {
        ChunkBuffer chunk = std::move(output.chunks.front());
        output.chunks.pop_front();
        const unsigned filled_by = output.thread;
        --queued_;
        room_.notify_all();
        lock.unlock();
        if (auto written = writer_(chunk.bytes()); !written) {
          result_.write_error = std::move(written.error());
          stop();
          return false;
        }
        lock.lock();
        if (spare_count_ < budget_ + kHeadChunks) {
          spare_[filled_by].push_back(std::move(chunk));
          ++spare_count_;
        }
        continue;
      }
      if (!output.done) return true;
      if (output.failure) {
        // The files before it are written; the export ends with its error.
        result_.file_failure = std::move(output.failure);
        lock.unlock();
        stop();
        return false;
      }
      result_.records += output.records;
      finished_bytes_ += output.length;
      outputs_.pop_front();
      ++head_unit_;
      ++head_written_;
      room_.notify_all();
    }
  }

  // Under the lock.
  std::uint64_t bytes_done() const {
    if (outputs_.empty()) return finished_bytes_;
    return finished_bytes_ + outputs_.front().bytes_done.load(std::memory_order_relaxed);
  }

  bool check_in() {
    if (!control_.check_in) return true;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    {
      const std::lock_guard lock(mutex_);
      done = bytes_done();
      total = total_bytes_;
    }
    return control_.check_in(done, total);
  }

  // Checks in if the interval has passed; false (the export halted) when the
  // caller asks to stop.
  bool check_in_if_due() {
    if (const auto now = Clock::now(); now - last_check_ >= control_.interval) {
      last_check_ = now;
      if (!check_in()) {
        halt_stopped();
        return false;
      }
    }
    return true;
  }

  // The caller's thread: takes units while there are any, writes what is
  // ready between them, and waits for the others' units at the end.
  void write_all() {
    if (control_.report_ends && !check_in()) return halt_stopped();
    if (make_ == nullptr && options_.format == ExportFormat::Csv && options_.header) {
      if (auto written = writer_(csv_header(options_)); !written) {
        result_.write_error = std::move(written.error());
        return stop();
      }
    }
    DecodeScratch scratch;
    scratch.positions = options_.positions;
    Unit unit;
    ExportOptions options = options_;
    options.header = false;
    // Its full chunks are queued like any other and written at once when its
    // unit is the one being written; otherwise, over the budget, it writes
    // the others' chunks until there is room.
    const auto formatter = make_formatter(options, [&](ChunkBuffer& full) -> std::expected<void, WriteError> {
      {
        const std::lock_guard lock(mutex_);
        queue_chunk(unit, full);
      }
      for (;;) {
        if (!write_ready() || !check_in_if_due()) return std::unexpected(WriteError{0, "stopped"});
        std::unique_lock lock(mutex_);
        if (queued_ < budget_ || unit.index == head_unit_) return {};
        ready_.wait_until(lock, last_check_ + control_.interval, [&] { return stopping_ || head_ready(); });
      }
    });
    std::size_t exporter_store = SIZE_MAX;
    last_check_ = Clock::now();
    for (;;) {
      if (!write_ready() || !check_in_if_due()) return;
      std::unique_lock lock(mutex_);
      if (head_store_ >= slots_.size()) break;
      if (take_unit(lock, false, unit)) {
        lock.unlock();
        if (!walk(unit, *formatter, exporter_store, scratch, [&] { return check_in_if_due(); })) return;
        continue;
      }
      ready_.wait_until(lock, last_check_ + control_.interval, [&] { return stopping_ || head_ready(); });
    }
    if (control_.report_ends && !check_in()) return halt_stopped();
  }

  void halt_stopped() {
    result_.stopped = true;
    stop();
  }

  const bool reverse_;
  const ExportOptions& options_;
  const StoreExportControl& control_;
  const ChunkWriter& writer_;
  const FormatterFactory* const make_ = nullptr;     // nullptr: the dump's records
  const PrepareStore* const prepare_ = nullptr;      // many stores only, if any
  const std::span<const std::string> directories_;  // many stores only
  const StoreOpened* const on_store_ = nullptr;      // many stores only
  std::size_t budget_ = 0;

  std::mutex mutex_;
  std::condition_variable room_;   // workers wait here for room in the queue, or a store to open
  std::condition_variable ready_;  // the caller's thread waits here for something to write
  std::vector<StoreSlot> slots_;
  unsigned threads_ = 1;
  std::size_t opened_ = 0;      // stores taken to be opened
  std::size_t next_store_ = 0;  // the store whose units are being handed out
  std::size_t next_file_ = 0;   // of its order, the next to hand out
  std::size_t head_store_ = 0;  // the store being written
  bool head_begun_ = false;     // reported to on_store
  std::size_t head_written_ = 0;    // of its units
  std::deque<UnitOutput> outputs_;  // the units handed out and not yet written, in order
  std::uint64_t head_unit_ = 0;     // the number of the unit at outputs_'s front
  std::size_t queued_ = 0;          // chunks queued by all units
  std::vector<std::vector<ChunkBuffer>> spare_;  // written chunks, for reuse, by the thread that filled them
  std::size_t spare_count_ = 0;
  std::uint64_t total_bytes_ = 0;   // of the stores opened
  std::uint64_t finished_bytes_ = 0;
  bool stopping_ = false;
  std::atomic<bool> halting_{false};  // stopping_, for a walk to poll without the lock
  std::exception_ptr failure_;

  // The caller's thread's own.
  Clock::time_point last_check_;
  StoreExportResult result_;
};

}  // namespace

StoreExportResult export_store(const RawLevelDb& db, bool reverse, const ExportOptions& options, ChunkWriter writer,
                               const StoreExportControl& control, bool carve) {
  return OrderedExport(db, reverse, carve, options, control, writer).run();
}

StoreExportResult export_store_formatted(const RawLevelDb& db, bool reverse, const ExportOptions& options,
                                         const FormatterFactory& make, ChunkWriter writer,
                                         const StoreExportControl& control) {
  return OrderedExport(db, reverse, false, options, control, writer, &make).run();
}

StoreExportResult export_files(std::span<const std::string> paths, const ExportOptions& options,
                               ChunkWriter writer, const StoreExportControl& control) {
  return OrderedExport(paths, options, control, writer).run();
}

StoreExportResult export_stores(std::span<const std::string> directories, bool reverse, ExportOptions options,
                                ChunkWriter writer, const StoreExportControl& control, const StoreOpened& on_store) {
  options.store.emplace();  // the store column of the CSV header; each store sets its own field
  return OrderedExport(directories, reverse, options, control, writer, on_store).run();
}

StoreExportResult export_stores_formatted(std::span<const std::string> directories, bool reverse,
                                          const ExportOptions& options, const FormatterFactory& make,
                                          const PrepareStore& prepare, ChunkWriter writer,
                                          const StoreExportControl& control, const StoreOpened& on_store) {
  return OrderedExport(directories, reverse, options, control, writer, on_store, &make, prepare ? &prepare : nullptr)
      .run();
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
