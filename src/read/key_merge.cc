#include "read/key_merge.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "base/varint.h"
#include "format/internal_key.h"
#include "read/current_versions.h"
#include "read/decode_scratch.h"
#include "read/table_file.h"

namespace vostrel {
namespace {

// Pages of a table behind a thread's walk are given back in steps of this
// many bytes, so that a merge over every table at once does not keep them all.
constexpr std::uint64_t kDropBytes = std::uint64_t{256} << 10;

enum : int { kGoOn = 0, kUnsorted = 1, kStopped = 2 };

std::string_view index_user_key(std::string_view key) noexcept {
  return key.size() >= kInternalKeyTrailerSize ? key.substr(0, key.size() - kInternalKeyTrailerSize) : key;
}

// Bytewise order (memcmp's), eight bytes at a time: the merge compares a
// few times a record, keys are short, and a call a comparison would cost
// more than the comparison.
bool key_less(std::string_view a, std::string_view b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; common - i >= 8; i += 8) {
    const std::uint64_t x = __builtin_bswap64(load_le64(a.data() + i));
    const std::uint64_t y = __builtin_bswap64(load_le64(b.data() + i));
    if (x != y) return x < y;
  }
  for (; i < common; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

// One record a run offers next.
struct Head {
  RecordView view;            // key and value held by the run
  std::string_view user_key;  // a prefix of view.key (tables) or view.key itself (logs)
  std::uint64_t seq = 0;
  std::uint64_t ordinal = 0;  // in its file, from where the range began in it
  KeyState kind = KeyState::Live;
};

// A log in use, read whole: the newest record of each of its user keys,
// sorted by user key. The log's own order is write order, so it cannot be
// merged as it stands.
struct LogRun {
  std::size_t position = 0;
  std::uint32_t rank = 0;
  std::vector<Head> heads;
  std::unordered_map<std::string, std::size_t> index;  // user key -> heads[i]; holds the keys
  std::deque<std::string> held;                         // the winners' keys and values, with values
};

void read_log(const RawLevelDb& db, LogRun& run, bool with_values, DecodeScratch& scratch) {
  std::uint64_t ordinal = 0;
  auto offer = [&](const RecordView& record) {
    const ReadKey read = read_key_of(record);
    const auto [at, fresh] = run.index.try_emplace(std::string(read.user_key), run.heads.size());
    // Of equal sequence numbers the first in the log's order wins.
    if (fresh) {
      run.heads.push_back(Head{RecordView{}, {}, read.seq, ordinal, read.kind});
    } else if (read.seq > run.heads[at->second].seq) {
      run.heads[at->second] = Head{RecordView{}, {}, read.seq, ordinal, read.kind};
    }
    ++ordinal;
  };
  db.visit_file_records(run.position, offer, scratch);
  for (const auto& [key, i] : run.index) {
    Head& head = run.heads[i];
    head.user_key = key;
    head.view.key = key;
    head.view.seq = head.seq;
    head.view.state = head.kind;
    head.view.file_type = FileType::Log;
  }
  if (with_values) {
    // A second reading copies out the winners whole, by ordinal.
    std::vector<Head*> by_ordinal;
    by_ordinal.reserve(run.heads.size());
    for (Head& head : run.heads) by_ordinal.push_back(&head);
    std::sort(by_ordinal.begin(), by_ordinal.end(), [](const Head* a, const Head* b) { return a->ordinal < b->ordinal; });
    std::size_t next = 0;
    ordinal = 0;
    auto keep = [&](const RecordView& record) {
      if (next < by_ordinal.size() && by_ordinal[next]->ordinal == ordinal) {
        Head& head = *by_ordinal[next++];
        std::string& bytes = run.held.emplace_back(record.key);
        bytes.append(record.value);
        head.view = record;
        head.view.key = std::string_view(bytes).substr(0, record.key.size());
        head.view.value = std::string_view(bytes).substr(record.key.size());
      }
      ++ordinal;
    };
    db.visit_file_records(run.position, keep, scratch);
  }
  std::sort(run.heads.begin(), run.heads.end(), [](const Head& a, const Head& b) { return a.user_key < b.user_key; });
}

// A table's walk within one key range: its records from the range's first
// block on, copied a data block at a time, those before the range passed
// over and the walk ended at the first beyond it; every record from the
// range's first on is checked to be in order.
class TableRun {
 public:
  TableRun(const TableFile& table, std::size_t position, std::uint32_t rank, std::uint64_t first_block,
           std::optional<std::string_view> lower, std::optional<std::string_view> upper, std::uint64_t upper_block)
      : table_(table),
        position_(position),
        rank_(rank),
        resume_(first_block),
        lower_(lower),
        upper_(upper),
        upper_block_(upper_block),
        dropped_to_(block_offset(first_block)) {}

  // The next data block's records into heads(); false when there are no
  // more, or when the order broke (then failed()).
  bool refill(const RawLevelDb& db, bool with_values, DecodeScratch& scratch) {
    // The block before stays in hand, for a record the caller still holds.
    std::swap(heads_, old_heads_);
    std::swap(bytes_, old_bytes_);
    heads_.clear();
    bytes_.clear();
    pending_.clear();
    while (heads_.empty()) {
      if (done_ || resume_ == kFileDone) {
        finish();
        return false;
      }
      const std::uint64_t first = resume_;
      const std::uint64_t before = count_;
      bool beyond = false;
      auto gather = [&](const RecordView& record) {
        if (beyond || failed_) return;
        ++count_;
        const ReadKey read = read_key_of(record);
        if (!started_) {
          if (lower_ && key_less(read.user_key, *lower_)) return;
          started_ = true;
        } else if (key_less(read.user_key, previous())) {
          failed_ = true;
          return;
        }
        if (upper_ && !key_less(read.user_key, *upper_)) {
          beyond = true;
          return;
        }
        pending_.push_back({bytes_.size(), record.key.size(), read.user_key.size(), with_values ? record.value.size() : 0});
        bytes_.insert(bytes_.end(), record.key.begin(), record.key.end());
        if (with_values) bytes_.insert(bytes_.end(), record.value.begin(), record.value.end());
        heads_.push_back(Head{record, {}, read.seq, count_ - 1, read.kind});
      };
      resume_ = db.visit_file_records_from(position_, resume_, 1, gather, scratch);
      // The block the records came from: exact unless the walk ran to the
      // end across blocks that gave nothing, when `first` is one at or
      // before it; a range end is then taken as not reached, to be safe.
      const std::uint64_t block = resume_ != kFileDone ? resume_ - 1 : first;
      if (upper_ && !upper_base_ && upper_block_ >= first && upper_block_ <= block) upper_base_ = before;
      if (resume_ == kFileDone && upper_ && !upper_base_ && upper_block_ >= table_.index().size()) {
        upper_base_ = count_;
      }
      // The next range starts this table at upper_block_: its first record
      // beyond this range must lie there or later, or the two miss records.
      if (beyond && !upper_base_) failed_ = true;
      if (failed_) return false;
      if (beyond) done_ = true;
      drop_behind(false);
    }
    for (std::size_t i = 0; i < heads_.size(); ++i) {
      const Pending& p = pending_[i];
      Head& head = heads_[i];
      head.view.key = std::string_view(bytes_.data() + p.key_at, p.key_size);
      head.view.value = std::string_view(bytes_.data() + p.key_at + p.key_size, p.value_size);
      head.user_key = head.view.key.substr(0, p.user_key_size);
    }
    last_key_.assign(heads_.back().user_key);
    next_ = 0;
    return true;
  }

  [[nodiscard]] const Head& head() const noexcept { return heads_[next_]; }
  // The user key of the last record handed out so far.
  [[nodiscard]] std::string_view last_key() const noexcept { return last_key_; }
  // To the next record; false when the run is exhausted (or failed()). The
  // record that was head() stays valid until the next call.
  bool advance(const RawLevelDb& db, bool with_values, DecodeScratch& scratch) {
    if (++next_ < heads_.size()) return true;
    return refill(db, with_values, scratch);
  }
  [[nodiscard]] bool failed() const noexcept { return failed_; }
  [[nodiscard]] std::size_t position() const noexcept { return position_; }
  [[nodiscard]] std::uint32_t rank() const noexcept { return rank_; }
  // How many of the table's records this range counted before the next
  // range's first block; nullopt if unknown (or this is the last range).
  [[nodiscard]] std::optional<std::uint64_t> upper_base() const noexcept { return upper_base_; }

 private:
  struct Pending {
    std::size_t key_at;
    std::size_t key_size;
    std::size_t user_key_size;
    std::size_t value_size;
  };

  [[nodiscard]] std::string_view previous() const noexcept {
    if (pending_.empty()) return last_key_;
    const Pending& p = pending_.back();
    return std::string_view(bytes_.data() + p.key_at, p.user_key_size);
  }

  [[nodiscard]] std::uint64_t block_offset(std::uint64_t block) const noexcept {
    const auto& index = table_.index();
    return block < index.size() ? index[block].second.offset : table_.length();
  }

  void drop_behind(bool all) {
    const std::uint64_t to = block_offset(resume_ == kFileDone ? table_.index().size() : resume_);
    if (to > dropped_to_ && (all || to - dropped_to_ >= kDropBytes)) {
      table_.file().drop_pages(dropped_to_, to - dropped_to_);
      dropped_to_ = to;
    }
  }

  void finish() {
    done_ = true;
    drop_behind(true);
  }

  const TableFile& table_;
  std::size_t position_;
  std::uint32_t rank_;
  std::uint64_t resume_;
  std::optional<std::string_view> lower_;
  std::optional<std::string_view> upper_;
  std::uint64_t upper_block_;
  std::optional<std::uint64_t> upper_base_;
  std::uint64_t dropped_to_;
  std::uint64_t count_ = 0;
  bool started_ = false;
  bool done_ = false;
  bool failed_ = false;
  // The records in hand and their bytes, and those of the block before:
  // a record stays valid through one more refill.
  std::vector<Head> heads_;
  std::vector<Pending> pending_;
  std::vector<char> bytes_;
  std::vector<Head> old_heads_;
  std::vector<char> old_bytes_;
  std::string last_key_;
  std::size_t next_ = 0;
};

// What one thread merges: its key range of every table, and its slice of
// every log. The tables go in chains: those of one level of the version, in
// the order of their smallest keys, hold apart key ranges, so each such
// chain is one run of the merge (few runs, few comparisons a record);
// every other table is a chain of its own. A chain's order across its tables
// is checked like a table's.
struct RangePlan {
  std::optional<std::string_view> lower;
  std::optional<std::string_view> upper;
  std::vector<TableRun> tables;
  const std::vector<std::vector<std::size_t>>* chains = nullptr;  // indexes into tables
  struct LogSlice {
    const LogRun* run;
    std::size_t begin;
    std::size_t end;
  };
  std::vector<LogSlice> logs;
};

// The merge of one range: a min-heap of runs (chains and log slices) by
// their next user key. A user key's records come off it one after another;
// one alone (the common case) goes to the sink as it stands, several are
// weighed against a copy of the best so far.
class RangeMerge {
 public:
  RangeMerge(const RawLevelDb& db, RangePlan& plan, WinnerSink& sink, bool with_values, DecodeScratch& scratch,
             std::atomic<int>& state)
      : db_(db), plan_(plan), sink_(sink), with_values_(with_values), scratch_(scratch), state_(state) {}

  void run() {
    const auto& chains = *plan_.chains;
    runs_.resize(chains.size() + plan_.logs.size());
    for (std::size_t c = 0; c < chains.size(); ++c) {
      runs_[c].chain = &chains[c];
      runs_[c].at = 0;
      if (!open_chain(runs_[c])) return;
      if (runs_[c].at < chains[c].size()) {
        settle(runs_[c]);
        heap_.push_back(static_cast<std::uint32_t>(c));
      }
    }
    for (std::size_t i = 0; i < plan_.logs.size(); ++i) {
      Run& run = runs_[chains.size() + i];
      run.log = &plan_.logs[i];
      run.at = plan_.logs[i].begin;
      if (run.at < run.log->end) {
        settle(run);
        heap_.push_back(static_cast<std::uint32_t>(chains.size() + i));
      }
    }
    const auto later = [&](std::uint32_t a, std::uint32_t b) {
      return key_less(head(runs_[b]).user_key, head(runs_[a]).user_key);
    };
    std::make_heap(heap_.begin(), heap_.end(), later);
    bool open = false;  // a key of several records is being weighed
    while (!heap_.empty()) {
      Run& run = runs_[heap_.front()];
      const Head& next = head(run);
      const std::size_t position = run.log != nullptr ? run.log->run->position : table(run).position();
      const std::uint32_t rank = run.log != nullptr ? run.log->run->rank : table(run).rank();
      const bool more_of_key = open && next.user_key == group_key_;
      if (more_of_key) {
        // Of equal sequence numbers the first in reading order wins.
        if (next.seq > best_.seq ||
            (next.seq == best_.seq && (rank < best_rank_ || (rank == best_rank_ && next.ordinal < best_.ordinal)))) {
          take(next, position, rank);
        }
      } else if (open) {
        emit(best_, best_position_);
        open = false;
      }
      // `next` stays valid through its run's advance.
      if (!advance(run)) {
        if (state_.load(std::memory_order_relaxed) != kGoOn) return;
        heap_.front() = heap_.back();
        heap_.pop_back();
      }
      if (!heap_.empty()) sift_down(later);
      if (!more_of_key) {
        // A key whose next record has another key is alone (the common
        // case): it goes on as it stands.
        if (heap_.empty() || head(runs_[heap_.front()]).user_key != next.user_key) {
          emit(next, position);
        } else {
          take(next, position, rank);
          open = true;
        }
      }
    }
    if (open) emit(best_, best_position_);
  }

 private:
  struct Run {
    const std::vector<std::size_t>* chain = nullptr;  // a chain of tables, or
    const RangePlan::LogSlice* log = nullptr;         // a log's slice
    std::size_t at = 0;                               // the table of the chain, or the log's next head
    std::string last;                                 // the user key the chain's last table ended with
    // Its next record, kept at hand: the heap compares runs' keys a few
    // times a record, and finding the record through the chain, its table
    // and the table's heads every time is a chain of dependent loads.
    const Head* top = nullptr;
    // The chain's own read-ahead: the runs take turns on one scratch, and
    // one window shared by them would be refilled at every turn.
    ReadWindow window;
  };

  // Lends the run's window to the scratch for the length of one step.
  class WindowLease {
   public:
    WindowLease(Run& run, DecodeScratch& scratch) : run_(run), scratch_(scratch) {
      std::swap(run_.window, scratch_.window);
    }
    WindowLease(const WindowLease&) = delete;
    WindowLease& operator=(const WindowLease&) = delete;
    ~WindowLease() { std::swap(run_.window, scratch_.window); }

   private:
    Run& run_;
    DecodeScratch& scratch_;
  };

  TableRun& table(const Run& run) { return plan_.tables[(*run.chain)[run.at]]; }
  static const Head& head(const Run& run) { return *run.top; }
  void settle(Run& run) { run.top = run.log != nullptr ? &run.log->run->heads[run.at] : &table(run).head(); }
  // From the chain's table at `at` on, the first that has records in the
  // range; false when the merge is to end.
  bool open_chain(Run& run) {
    const WindowLease lease(run, scratch_);
    for (; run.at < run.chain->size(); ++run.at) {
      TableRun& next = table(run);
      const bool has = next.refill(db_, with_values_, scratch_);
      if (!check(next)) return false;
      if (!has) continue;
      if (key_less(next.head().user_key, run.last)) {
        state_.store(kUnsorted, std::memory_order_relaxed);
        return false;
      }
      return true;
    }
    return true;
  }

  // To the run's next record; false when it has no more, or the merge is to end.
  bool advance(Run& run) {
    if (run.log != nullptr) {
      if (++run.at >= run.log->end) return false;
      settle(run);
      return true;
    }
    TableRun& current = table(run);
    {
      const WindowLease lease(run, scratch_);
      if (current.advance(db_, with_values_, scratch_)) {
        settle(run);
        return true;
      }
    }
    if (!check(current)) return false;
    run.last.assign(current.last_key());
    ++run.at;
    if (!open_chain(run) || run.at >= run.chain->size()) return false;
    settle(run);
    return true;
  }

  // False when the merge is to end: this run's order broke, or a stop.
  bool check(const TableRun& run) {
    if (run.failed()) state_.store(kUnsorted, std::memory_order_relaxed);
    if (scratch_.stop.stopped()) {
      int expected = kGoOn;
      state_.compare_exchange_strong(expected, kStopped, std::memory_order_relaxed);
    }
    return state_.load(std::memory_order_relaxed) == kGoOn;
  }

  // A copy of the best record of a key so far: its run may move on (and
  // reuse its bytes) before the key's last record is seen.
  void take(const Head& head, std::size_t position, std::uint32_t rank) {
    best_ = head;
    best_position_ = position;
    best_rank_ = rank;
    const std::string_view key = with_values_ ? head.view.key : head.user_key;
    best_bytes_.assign(key);
    if (with_values_) best_bytes_.append(head.view.value);
    best_.view.key = std::string_view(best_bytes_).substr(0, key.size());
    best_.view.value = std::string_view(best_bytes_).substr(key.size());
    group_key_ = std::string_view(best_bytes_).substr(0, head.user_key.size());
  }

  void emit(const Head& head, std::size_t position) { sink_.winner(head.view, head.kind, position, head.ordinal); }

  template <class Later>
  void sift_down(Later later) {
    const std::size_t size = heap_.size();
    std::size_t i = 0;
    const std::uint32_t item = heap_[0];
    for (;;) {
      std::size_t child = 2 * i + 1;
      if (child >= size) break;
      if (child + 1 < size && later(heap_[child], heap_[child + 1])) ++child;
      if (!later(item, heap_[child])) break;
      heap_[i] = heap_[child];
      i = child;
    }
    heap_[i] = item;
  }

  const RawLevelDb& db_;
  RangePlan& plan_;
  WinnerSink& sink_;
  bool with_values_;
  DecodeScratch& scratch_;
  std::atomic<int>& state_;
  std::vector<Run> runs_;
  std::vector<std::uint32_t> heap_;
  Head best_;
  std::size_t best_position_ = 0;
  std::uint32_t best_rank_ = 0;
  std::string best_bytes_;
  std::string_view group_key_;
};

// Cut points between ranges: user keys of the tables' index entries at even
// steps, so that each range holds about as many data blocks. Strictly
// ascending; fewer than ranges - 1 when there are too few distinct keys.
std::vector<std::string_view> cut_points(const std::vector<const TableFile*>& tables, std::size_t ranges) {
  std::vector<std::string_view> keys;
  for (const TableFile* table : tables) {
    for (const auto& entry : table->index()) keys.push_back(index_user_key(entry.first));
  }
  std::vector<std::string_view> cuts;
  if (ranges < 2 || keys.empty()) return cuts;
  std::sort(keys.begin(), keys.end());
  for (std::size_t r = 1; r < ranges; ++r) {
    const std::string_view key = keys[r * keys.size() / ranges];
    if (!key.empty() && (cuts.empty() || cuts.back() < key)) cuts.push_back(key);
  }
  return cuts;
}

std::uint64_t first_block_from(const TableFile& table, std::optional<std::string_view> lower) {
  if (!lower) return 0;
  const auto& index = table.index();
  std::uint64_t block = 0;
  while (block < index.size() && index_user_key(index[block].first) < *lower) ++block;
  return block;
}

}  // namespace

std::size_t KeyMerge::threads() noexcept {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
}

KeyMerge::Result KeyMerge::run(const RawLevelDb& db, const StoreActivity& activity, std::span<WinnerSink* const> sinks,
                               bool with_values, StopToken* stop) {
  Result result;
  DecodeScratch scratch;
  if (stop != nullptr) scratch.stop = *stop;
  const auto in_use = [&](std::size_t position) {
    return position >= activity.files.size() || activity.files[position] != FileActivity::Orphaned;
  };
  // The files in use, ranked by reading order (ties of sequence numbers).
  std::vector<std::pair<const TableFile*, std::pair<std::size_t, std::uint32_t>>> tables;
  std::deque<LogRun> logs;
  std::uint32_t rank = 0;
  for (const WalkUnit unit : db.reading_order(false, false)) {
    if (!in_use(unit.slot)) continue;
    const DataFile& file = db.data_files()[unit.slot];
    if (const auto* table = std::get_if<TableFile>(&file)) {
      tables.push_back({table, {unit.slot, rank}});
    } else {
      LogRun& log = logs.emplace_back();
      log.position = unit.slot;
      log.rank = rank;
      read_log(db, log, with_values, scratch);
      db.drop_unit_pages(unit);
    }
    ++rank;
    if (scratch.stop.stop_requested()) break;
  }
  if (scratch.stop.stopped()) {
    if (stop != nullptr) *stop = scratch.stop;
    result.end = End::Stopped;
    return result;
  }

  std::vector<const TableFile*> table_files;
  for (const auto& entry : tables) table_files.push_back(entry.first);
  const std::vector<std::string_view> cuts = cut_points(table_files, sinks.size());
  const std::size_t ranges = sinks.empty() ? 0 : cuts.size() + 1;
  // Chains: each level above 0 one, by smallest key; every other table alone.
  std::vector<std::vector<std::size_t>> chains;
  {
    std::map<int, std::vector<std::size_t>> by_level;
    for (std::size_t i = 0; i < tables.size(); ++i) {
      const std::size_t position = tables[i].second.first;
      const int level = position < activity.levels.size() ? activity.levels[position].first : -1;
      if (level > 0) {
        by_level[level].push_back(i);
      } else {
        chains.push_back({i});
      }
    }
    for (auto& [level, members] : by_level) {
      // Members were gathered in table order, which breaks ties (a plain sort
      // with the index as tie breaker rather than stable_sort, whose libstdc++
      // implementation trips a deprecation warning under clang).
      std::sort(members.begin(), members.end(), [&](std::size_t a, std::size_t b) {
        const auto& key_a = activity.levels[tables[a].second.first].second;
        const auto& key_b = activity.levels[tables[b].second.first].second;
        return key_a != key_b ? key_a < key_b : a < b;
      });
      chains.push_back(std::move(members));
    }
  }
  std::vector<RangePlan> plans(ranges);
  for (std::size_t r = 0; r < ranges; ++r) {
    RangePlan& plan = plans[r];
    if (r > 0) plan.lower = cuts[r - 1];
    if (r + 1 < ranges) plan.upper = cuts[r];
    plan.chains = &chains;
    plan.tables.reserve(tables.size());
    for (const auto& [table, place] : tables) {
      const std::uint64_t upper_block = plan.upper ? first_block_from(*table, plan.upper) : kFileDone;
      plan.tables.emplace_back(*table, place.first, place.second, first_block_from(*table, plan.lower), plan.lower,
                               plan.upper, upper_block);
    }
    for (const LogRun& log : logs) {
      const auto by_key = [](const Head& head, std::string_view key) { return head.user_key < key; };
      const auto begin = plan.lower ? std::lower_bound(log.heads.begin(), log.heads.end(), *plan.lower, by_key)
                                    : log.heads.begin();
      const auto end = plan.upper ? std::lower_bound(log.heads.begin(), log.heads.end(), *plan.upper, by_key)
                                  : log.heads.end();
      plan.logs.push_back({&log, static_cast<std::size_t>(begin - log.heads.begin()),
                           static_cast<std::size_t>(end - log.heads.begin())});
    }
  }

  std::atomic<int> state{kGoOn};
  std::vector<std::exception_ptr> errors(ranges);
  std::mutex mutex;
  std::condition_variable finished;
  std::size_t running = 0;
  std::vector<std::jthread> workers;
  const auto merge_range = [&](std::size_t r, DecodeScratch& range_scratch) {
    try {
      RangeMerge(db, plans[r], *sinks[r], with_values, range_scratch, state).run();
    } catch (...) {
      errors[r] = std::current_exception();
      state.store(kStopped, std::memory_order_relaxed);
    }
    try {
      sinks[r]->range_done();
    } catch (...) {
      if (!errors[r]) errors[r] = std::current_exception();
      state.store(kStopped, std::memory_order_relaxed);
    }
  };
  std::vector<std::size_t> here;  // ranges this thread merges: the first, and any no thread could be had for
  if (ranges > 0) here.push_back(0);
  for (std::size_t r = 1; r < ranges; ++r) {
    {
      const std::lock_guard lock(mutex);
      ++running;
    }
    try {
      workers.emplace_back([&, r] {
        DecodeScratch own;
        auto follow = [&] { return state.load(std::memory_order_relaxed) == kGoOn; };
        own.stop = stop_token_of(follow);
        merge_range(r, own);
        const std::lock_guard lock(mutex);
        --running;
        finished.notify_all();
      });
    } catch (const std::system_error&) {
      const std::lock_guard lock(mutex);
      --running;
      here.push_back(r);
    }
  }
  for (const std::size_t r : here) merge_range(r, scratch);
  {
    // The caller's token is polled on this thread only, while the others work.
    std::unique_lock lock(mutex);
    while (running > 0) {
      finished.wait_for(lock, std::chrono::milliseconds(50));
      if (scratch.stop.stop_requested()) state.store(kStopped, std::memory_order_relaxed);
    }
  }
  workers.clear();
  for (const auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  if (stop != nullptr) *stop = scratch.stop;
  if (state.load() != kGoOn) {
    result.end = state.load() == kUnsorted ? End::Unsorted : End::Stopped;
    return result;
  }
  // Each range's counts carried into the next one's bases.
  const std::size_t files = db.data_files().size();
  result.bases.assign(std::max<std::size_t>(ranges, 1), std::vector<std::uint64_t>(files, 0));
  for (std::size_t r = 0; r + 1 < ranges; ++r) {
    for (const TableRun& run : plans[r].tables) {
      const auto counted = run.upper_base();
      if (!counted) {
        result.end = End::Unsorted;
        return result;
      }
      result.bases[r + 1][run.position()] = result.bases[r][run.position()] + *counted;
    }
  }
  return result;
}

}  // namespace vostrel
