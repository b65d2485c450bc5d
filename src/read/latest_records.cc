#include "read/latest_records.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "read/key_merge.h"
#include "read/record_walk.h"

namespace vostrel {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
// Bytes at least this long get a chunk of their own, so that the chunk being
// filled is not left behind with its room unused.
constexpr std::size_t kOwnChunkBytes = kChunkBytes / 4;

}  // namespace

bool LatestRecords::user_key_less(const RecordView& a, const RecordView& b) noexcept {
  return read_key_of(a).user_key < read_key_of(b).user_key;
}

std::string_view LatestRecords::Part::hold(std::string_view bytes) {
  if (bytes.empty()) return {};
  char* at = nullptr;
  if (bytes.size() >= kOwnChunkBytes) {
    // Before the chunk being filled, which stays last.
    const auto place = chunks.empty() ? chunks.end() : chunks.end() - 1;
    at = chunks.insert(place, std::make_unique_for_overwrite<char[]>(bytes.size()))->get();
  } else {
    if (chunk_left < bytes.size()) {
      chunks.push_back(std::make_unique_for_overwrite<char[]>(kChunkBytes));
      chunk_left = kChunkBytes;
    }
    at = chunks.back().get() + (kChunkBytes - chunk_left);
    chunk_left -= bytes.size();
  }
  std::memcpy(at, bytes.data(), bytes.size());
  return {at, bytes.size()};
}

void LatestRecords::Part::keep(const RecordView& record) {
  RecordView held = record;
  held.key = hold(record.key);
  held.value = hold(record.value);
  records.push_back(held);
}

LatestRecords LatestRecords::collect(const RawLevelDb& db, const CurrentVersions& versions, DecodeScratch& scratch) {
  LatestRecords latest;
  Part& part = latest.part_;
  const auto keep = [&](const RecordView& record, RecordStatus status) {
    if (status == RecordStatus::Current && read_key_of(record).kind == KeyState::Live) part.keep(record);
  };
  for (const WalkUnit unit : db.reading_order(false, false)) {
    if (scratch.stop.stop_requested()) break;
    if (versions.orphaned(unit.slot)) continue;
    StatusSink<decltype(keep)> sink(versions, db, unit, keep);
    walk_whole_unit(db, unit, sink, scratch);
    db.drop_unit_pages(unit);
    part.run_ends.push_back(part.records.size());
  }
  sort_runs(std::span<RecordView>(part.records), std::span<const std::size_t>(part.run_ends), user_key_less);
  return latest;
}

// One key range's live current records into batches.
class LatestStream::Sink final : public WinnerSink {
 public:
  Sink(LatestStream& stream, std::size_t range) : stream_(stream), range_(range) {}
  void winner(const RecordView& record, KeyState kind, std::size_t position, std::uint64_t) override {
    if (kind != KeyState::Live) return;
    const std::size_t room = stream_.record_room_;
    std::size_t need = record.key.size() + record.value.size();
    if (room != 0) need = (room + need + (kRecordAlign - 1)) & ~(kRecordAlign - 1);
    if (batch_ == nullptr || batch_->capacity - batch_->used < need) {
      flush();
      batch_ = stream_.take_free(range_, need);
      if (batch_ == nullptr) return;  // stopped
    }
    char* at = batch_->bytes.get() + batch_->used + room;
    if (!record.key.empty()) std::memcpy(at, record.key.data(), record.key.size());
    if (!record.value.empty()) std::memcpy(at + record.key.size(), record.value.data(), record.value.size());
    batch_->used += need;
    RecordView& held = batch_->records.emplace_back(record);
    held.key = std::string_view(at, record.key.size());
    held.value = std::string_view(at + record.key.size(), record.value.size());
    batch_->positions.push_back(static_cast<std::uint32_t>(position));
  }
  void range_done() override {
    flush();
    stream_.range_done(range_);
  }
  void flush() {
    if (batch_ != nullptr) stream_.push(std::exchange(batch_, nullptr));
  }

 private:
  LatestStream& stream_;
  std::size_t range_;
  LatestBatch* batch_ = nullptr;
};

LatestStream::LatestStream(const RawLevelDb& db, const StoreActivity& activity, std::size_t ranges,
                           std::size_t record_room)
    : record_room_(record_room), ranges_(ranges != 0 ? ranges : KeyMerge::threads()) {
  for (std::size_t r = 0; r < ranges_.size(); ++r) sinks_.push_back(std::make_unique<Sink>(*this, r));
  merge_ = std::jthread([this, &db, activity] {
    KeyMerge::End end = KeyMerge::End::Stopped;
    std::exception_ptr error;
    try {
      std::vector<WinnerSink*> targets;
      for (auto& sink : sinks_) targets.push_back(sink.get());
      auto go_on = [&] { return !stopped_.load(std::memory_order_relaxed); };
      StopToken stop = stop_token_of(go_on);
      end = KeyMerge::run(db, activity, targets, true, &stop).end;
      // Ranges the keys were too few to cut into were never merged.
      for (auto& sink : sinks_) sink->flush();
    } catch (...) {
      error = std::current_exception();
    }
    const std::lock_guard lock(mutex_);
    end_ = end;
    error_ = error;
    done_ = true;
    ready_.notify_all();
  });
}

LatestStream::~LatestStream() {
  stop();
  merge_ = {};  // joins
}

void LatestStream::stop() {
  stopped_.store(true, std::memory_order_relaxed);
  const std::lock_guard lock(mutex_);
  room_.notify_all();
}

LatestBatch* LatestStream::take_free(std::size_t range, std::size_t need) {
  // A few batches a range, so that its merge stays a little ahead.
  constexpr std::size_t kBatchesPerRange = 4;
  Range& own = ranges_[range];
  std::unique_lock lock(mutex_);
  room_.wait(lock, [&] { return stopped_.load() || !own.free.empty() || own.made < kBatchesPerRange; });
  if (stopped_.load()) return nullptr;
  LatestBatch* batch = nullptr;
  if (!own.free.empty()) {
    batch = own.free.back();
    own.free.pop_back();
  } else {
    batch = batches_.emplace_back(std::make_unique<LatestBatch>()).get();
    batch->range = range;
    ++own.made;
  }
  lock.unlock();
  const std::size_t capacity = std::max(need, kBatchBytes);
  if (batch->capacity < capacity || batch->capacity > kBatchBytes) {
    batch->bytes = std::make_unique_for_overwrite<char[]>(capacity);
    batch->capacity = capacity;
  }
  return batch;
}

void LatestStream::push(LatestBatch* batch) {
  const std::lock_guard lock(mutex_);
  ranges_[batch->range].full.push_back(batch);
  ++full_count_;
  ready_.notify_all();
}

void LatestStream::range_done(std::size_t range) {
  const std::lock_guard lock(mutex_);
  ranges_[range].done = true;
  ready_.notify_all();
}

LatestBatch* LatestStream::pop(Range& range) {
  LatestBatch* batch = range.full.front();
  range.full.pop_front();
  --full_count_;
  return batch;
}

LatestBatch* LatestStream::next(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, wait, [&] { return full_count_ > 0 || done_; });
  for (Range& range : ranges_) {
    if (!range.full.empty()) return pop(range);
  }
  return nullptr;
}

LatestBatch* LatestStream::next_of(std::size_t range, std::chrono::milliseconds wait) {
  Range& own = ranges_[range];
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, wait, [&] { return !own.full.empty() || own.done || done_; });
  return own.full.empty() ? nullptr : pop(own);
}

void LatestStream::release(LatestBatch* batch) {
  batch->records.clear();
  batch->positions.clear();
  batch->used = 0;
  const std::lock_guard lock(mutex_);
  ranges_[batch->range].free.push_back(batch);
  room_.notify_all();
}

bool LatestStream::finished() {
  const std::lock_guard lock(mutex_);
  if (done_ && full_count_ == 0 && error_) std::rethrow_exception(std::exchange(error_, nullptr));
  return done_ && full_count_ == 0;
}

bool LatestStream::range_finished(std::size_t range) {
  const std::lock_guard lock(mutex_);
  const Range& own = ranges_[range];
  return (own.done || done_) && own.full.empty();
}

KeyMerge::End LatestStream::end() {
  const std::lock_guard lock(mutex_);
  return end_;
}

}  // namespace vostrel
