#include "read/latest_records.h"

#include <cstring>

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
  Part& part = latest.parts_.emplace_back();
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

namespace {

// A key range's current records that hold a value, kept in the order they
// come: user-key order.
class KeepLive final : public WinnerSink {
 public:
  explicit KeepLive(LatestRecords::Part& part) : part_(part) {}
  void winner(const RecordView& record, KeyState kind, std::size_t, std::uint64_t) override {
    if (kind == KeyState::Live) part_.keep(record);
  }

 private:
  LatestRecords::Part& part_;
};

}  // namespace

std::optional<LatestRecords> LatestRecords::merged(const RawLevelDb& db, const StoreActivity& activity,
                                                   StopToken* stop, std::size_t ranges) {
  LatestRecords latest;
  latest.parts_.resize(ranges != 0 ? ranges : KeyMerge::threads());
  std::vector<KeepLive> sinks(latest.parts_.begin(), latest.parts_.end());
  std::vector<WinnerSink*> targets;
  for (KeepLive& sink : sinks) targets.push_back(&sink);
  if (KeyMerge::run(db, activity, targets, true, stop).end == KeyMerge::End::Unsorted) return std::nullopt;
  for (Part& part : latest.parts_) part.run_ends.push_back(part.records.size());
  return latest;
}

}  // namespace vostrel
