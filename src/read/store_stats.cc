#include "read/store_stats.h"

#include "base/worker_signals.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace vostrel {

std::vector<FileStatsRow> every_file_stats(const RawLevelDb& db, StopToken* stop) {
  const std::vector<DataFileStats> counted = count_records_per_file(db, stop);
  std::unordered_map<std::string_view, const DataFileStats*> by_path;
  for (const DataFileStats& stats : counted) by_path.emplace(path_of(db.data_files()[stats.position]), &stats);

  std::vector<FileStatsRow> rows;
  rows.reserve(db.listed_files().size());
  for (const ListedDataFile& file : db.listed_files()) {
    FileStatsRow row{file.path, file.type, file.number, file.size, {}};
    if (const auto found = by_path.find(file.path); found != by_path.end()) {
      row.counts = found->second->counts;
      row.size = found->second->size.value_or(file.size);
    }
    rows.push_back(std::move(row));
  }
  std::sort(rows.begin(), rows.end(), [](const FileStatsRow& a, const FileStatsRow& b) {
    if (precedes_in_file_order(a.number, a.path, b.number, b.path)) return true;
    if (precedes_in_file_order(b.number, b.path, a.number, a.path)) return false;
    return a.path < b.path;
  });
  return rows;
}

namespace {

// Stores counted ahead of the one being handed over, per thread: enough to
// keep every thread busy behind one slow store, few enough that the results
// waiting stay small.
constexpr std::size_t kStoresAheadPerThread = 4;

std::expected<StoreStats, DbError> stats_of_store(const std::string& directory, StopToken* stop) {
  const auto db = RawLevelDb::open(directory, stop);
  if (!db) return std::unexpected(db.error());
  return StoreStats{every_file_stats(*db, stop), db->skipped_files()};
}

// Worker threads take the stores in order and count them; the caller's thread
// waits for each in turn, hands it over, and checks in while it waits.
class StatsPool {
 public:
  StatsPool(std::span<const std::string> directories, const StoresStatsControl& control,
            const StoreStatsReady& ready)
      : directories_(directories), control_(control), ready_(ready) {}

  bool run() {
    const std::size_t threads = std::clamp<std::size_t>(directories_.size(), 1, std::max(control_.threads, 1U));
    ahead_ = kStoresAheadPerThread * threads;
    std::vector<std::jthread> workers;
    workers.reserve(threads);
    bool finished = false;
    try {
      for (std::size_t i = 0; i < threads; ++i) {
        try {
          workers.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
          break;  // out of threads (a process limit): go on with those there are
        }
      }
      finished = workers.empty() ? count_here() : hand_over();
    } catch (...) {
      stop();
      throw;
    }
    stop();
    workers.clear();  // joined
    if (failure_) std::rethrow_exception(failure_);
    return finished;
  }

 private:
  void stop() {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
    room_.notify_all();
  }

  static bool poll_stopped(void* pool) { return static_cast<StatsPool*>(pool)->stopped_.load(); }

  void work() {
    leave_signals_to_main_thread();
    StopToken stop(poll_stopped, this);
    std::unique_lock lock(mutex_);
    try {
      while (true) {
        room_.wait(lock, [&] { return stopped_ || next_ == directories_.size() || next_ < handed_ + ahead_; });
        if (stopped_ || next_ == directories_.size()) return;
        const std::size_t index = next_++;
        lock.unlock();
        auto stats = stats_of_store(directories_[index], &stop);
        lock.lock();
        done_.emplace(index, std::move(stats));
        done_ready_.notify_one();
      }
    } catch (...) {  // out of memory: the caller's thread raises it
      if (!lock.owns_lock()) lock.lock();
      if (!failure_) failure_ = std::current_exception();
      stopped_ = true;
      room_.notify_all();
      done_ready_.notify_one();
    }
  }

  // Whether the check-in lets the work go on; called at most every interval.
  bool check_in() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check_in_ < control_.interval) return true;
    last_check_in_ = now;
    return !control_.check_in || control_.check_in();
  }

  bool hand_over() {
    for (std::size_t index = 0; index < directories_.size(); ++index) {
      std::optional<std::expected<StoreStats, DbError>> stats;
      while (!stats) {
        {
          std::unique_lock lock(mutex_);
          done_ready_.wait_for(lock, control_.interval, [&] { return failure_ || done_.contains(index); });
          if (failure_) return false;
          if (const auto found = done_.find(index); found != done_.end()) {
            stats.emplace(std::move(found->second));
            done_.erase(found);
            handed_ = index + 1;
            room_.notify_all();
          }
        }
        if (!check_in()) return false;
      }
      if (!ready_(index, *stats)) return false;
    }
    return true;
  }

  // No worker thread could be started: the caller's thread counts the stores itself.
  bool count_here() {
    for (std::size_t index = 0; index < directories_.size(); ++index) {
      if (!check_in()) return false;
      auto stats = stats_of_store(directories_[index], nullptr);
      if (!ready_(index, stats)) return false;
    }
    return true;
  }

  std::span<const std::string> directories_;
  const StoresStatsControl& control_;
  const StoreStatsReady& ready_;
  std::size_t ahead_ = kStoresAheadPerThread;
  std::chrono::steady_clock::time_point last_check_in_ = std::chrono::steady_clock::now();

  std::mutex mutex_;
  std::condition_variable room_;        // workers wait here for a store they may begin
  std::condition_variable done_ready_;  // the caller's thread waits here for the next store's stats
  std::size_t next_ = 0;                // the next store a worker begins
  std::size_t handed_ = 0;              // stores handed over so far
  std::map<std::size_t, std::expected<StoreStats, DbError>> done_;  // counted, not yet handed over
  std::atomic<bool> stopped_ = false;
  std::exception_ptr failure_;
};

}  // namespace

bool stats_of_stores(std::span<const std::string> directories, const StoresStatsControl& control,
                     const StoreStatsReady& ready) {
  return StatsPool(directories, control, ready).run();
}

}  // namespace vostrel
