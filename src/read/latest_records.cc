#include "read/latest_records.h"

#include <cstring>

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

std::string_view LatestRecords::hold(std::string_view bytes) {
  if (bytes.empty()) return {};
  char* at = nullptr;
  if (bytes.size() >= kOwnChunkBytes) {
    // Before the chunk being filled, which stays last.
    const auto place = chunks_.empty() ? chunks_.end() : chunks_.end() - 1;
    at = chunks_.insert(place, std::make_unique_for_overwrite<char[]>(bytes.size()))->get();
  } else {
    if (chunk_left_ < bytes.size()) {
      chunks_.push_back(std::make_unique_for_overwrite<char[]>(kChunkBytes));
      chunk_left_ = kChunkBytes;
    }
    at = chunks_.back().get() + (kChunkBytes - chunk_left_);
    chunk_left_ -= bytes.size();
  }
  std::memcpy(at, bytes.data(), bytes.size());
  return {at, bytes.size()};
}

LatestRecords LatestRecords::collect(const RawLevelDb& db, const CurrentVersions& versions, DecodeScratch& scratch) {
  LatestRecords latest;
  const auto keep = [&](const RecordView& record, RecordStatus status) {
    if (status != RecordStatus::Current || read_key_of(record).kind != KeyState::Live) return;
    RecordView held = record;
    held.key = latest.hold(record.key);
    held.value = latest.hold(record.value);
    latest.records_.push_back(held);
  };
  for (const WalkUnit unit : db.reading_order(false, false)) {
    if (scratch.stop.stop_requested()) break;
    if (versions.orphaned(unit.slot)) continue;
    StatusSink<decltype(keep)> sink(versions, db, unit, keep);
    walk_whole_unit(db, unit, sink, scratch);
    db.drop_unit_pages(unit);
    latest.run_ends_.push_back(latest.records_.size());
  }
  sort_runs(std::span<RecordView>(latest.records_), std::span<const std::size_t>(latest.run_ends_), user_key_less);
  return latest;
}

}  // namespace vostrel
