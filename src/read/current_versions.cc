#include "read/current_versions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>

#include "base/large_array.h"
#include "base/sorted_runs.h"
#include "base/varint.h"
#include "format/internal_key.h"
#include "read/decode_scratch.h"
#include "read/key_merge.h"
#include "read/record_walk.h"

namespace vostrel {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
constexpr std::uint64_t kOrdinalBits = 40;
constexpr std::uint64_t kOrdinalMask = (std::uint64_t{1} << kOrdinalBits) - 1;

std::uint64_t hash_of(std::string_view key) noexcept { return std::hash<std::string_view>{}(key); }

// The first pass's table: every distinct user key with its newest record's
// sequence number and place (position << 40 | ordinal). Open addressing with
// linear probing; a key's first slot comes from the top bits of its hash,
// which its slot keeps as a tag, so that the table grows (up to 2^28 slots)
// without reading a key again, and most probes compare the tag, not the key.
class KeyTable {
 public:
  void offer(std::string_view user_key, std::uint64_t hash, std::uint64_t seq, std::uint64_t place) {
    // Kept at most three quarters full, so that probes stay short.
    if ((count_ + 1) * 4 > slots_.size() * 3) grow();
    const std::uint64_t tag = hash >> (64 - kTagBits);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(hash);; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.key == 0) {
        slot = Slot{store_key(user_key) << kTagBits | tag, seq, place};
        ++count_;
        return;
      }
      if ((slot.key & kTagMask) == tag && key_at(slot.key) == user_key) {
        if (seq > slot.seq) {
          slot.seq = seq;
          slot.place = place;
        }
        return;
      }
    }
  }

  // Where a key's probe begins: worth prefetching ahead of offer().
  [[nodiscard]] const void* home_address(std::uint64_t hash) const noexcept {
    return slots_.empty() ? nullptr : &slots_[home(hash)];
  }

  // Every key's winning place, in no order.
  template <class Fn>
  void for_each_place(Fn fn) const {
    for (const Slot& slot : slots_) {
      if (slot.key != 0) fn(slot.place);
    }
  }
  [[nodiscard]] std::size_t count() const noexcept { return count_; }

 private:
  // 24 bytes a key. `key`: 0 for an empty slot, else (1 + the key's place in
  // the arena) << 28 | the top 28 bits of its hash.
  struct Slot {
    std::uint64_t key;
    std::uint64_t seq;
    std::uint64_t place;
  };
  static constexpr std::uint64_t kTagBits = 28;
  static constexpr std::uint64_t kTagMask = (std::uint64_t{1} << kTagBits) - 1;

  [[nodiscard]] std::size_t home(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>(hash >> (64 - slot_bits_));
  }

  [[nodiscard]] std::string_view key_at(std::uint64_t slot_key) const {
    const std::uint64_t at = (slot_key >> kTagBits) - 1;
    const auto chunk = static_cast<std::size_t>(at / kChunkBytes);
    const auto offset = static_cast<std::size_t>(at % kChunkBytes);
    const char* base = chunks_[chunk].get() + offset;
    // A length prefix (varint), then the key.
    const auto length = decode_varint(std::string_view(base, chunk_sizes_[chunk] - offset), 0, /*narrow=*/false);
    return std::string_view(base + length->length, static_cast<std::size_t>(length->value));
  }

  // The key copied into the arena; returns 1 + its place there.
  std::uint64_t store_key(std::string_view key) {
    char prefix[10];
    std::size_t prefix_size = 0;
    for (std::uint64_t n = key.size();; n >>= 7) {
      prefix[prefix_size++] = static_cast<char>((n & 0x7f) | (n >= 0x80 ? 0x80 : 0));
      if (n < 0x80) break;
    }
    const std::size_t need = prefix_size + key.size();
    if (chunks_.empty() || chunk_sizes_.back() - chunk_used_ < need) {
      // A key longer than a chunk gets a chunk of its own; places address
      // chunks by index, each counting as kChunkBytes of place.
      const std::size_t size = std::max(need, kChunkBytes);
      chunks_.push_back(std::make_unique<char[]>(size));
      chunk_sizes_.push_back(size);
      chunk_used_ = 0;
    }
    const std::size_t chunk = chunks_.size() - 1;
    // 36 bits of place: 64 GiB of keys, more than any memory holds them in.
    if (chunk >= (std::uint64_t{1} << (64 - kTagBits)) / kChunkBytes - 1) throw std::bad_alloc();
    char* at = chunks_[chunk].get() + chunk_used_;
    std::memcpy(at, prefix, prefix_size);
    if (!key.empty()) std::memcpy(at + prefix_size, key.data(), key.size());
    const std::uint64_t ref = 1 + static_cast<std::uint64_t>(chunk) * kChunkBytes + chunk_used_;
    chunk_used_ = need > kChunkBytes ? chunk_sizes_.back() : chunk_used_ + need;
    return ref;
  }

  void grow() {
    LargeArray<Slot> old = std::move(slots_);
    slot_bits_ = old.empty() ? 10 : slot_bits_ + 1;
    slots_ = LargeArray<Slot>(std::size_t{1} << slot_bits_);  // zero-filled: every slot empty
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.key == 0) continue;
      const std::uint64_t hash =
          slot_bits_ <= kTagBits ? (slot.key & kTagMask) << (64 - kTagBits) : hash_of(key_at(slot.key));
      std::size_t i = home(hash);
      while (slots_[i].key != 0) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

  LargeArray<Slot> slots_;
  unsigned slot_bits_ = 0;  // slots_.size() == 2^slot_bits_
  std::size_t count_ = 0;
  std::vector<std::unique_ptr<char[]>> chunks_;
  std::vector<std::size_t> chunk_sizes_;
  std::size_t chunk_used_ = 0;
};

// Offers one file's records to the table a batch at a time: each batch's
// slots are prefetched before any of them is probed, so that the cache misses
// of a table far larger than the caches overlap instead of adding up. A
// record's key lives only during the sink call, so the batch keeps copies.
class BatchedOffer {
 public:
  BatchedOffer(KeyTable& table, std::uint64_t base) : table_(table), base_(base) {}
  BatchedOffer(const BatchedOffer&) = delete;
  BatchedOffer& operator=(const BatchedOffer&) = delete;
  ~BatchedOffer() { flush(); }

  void operator()(const RecordView& record) {
    const ReadKey read = read_key_of(record);
    Pending& pending = batch_[size_++];
    pending.key.assign(read.user_key);
    pending.hash = hash_of(read.user_key);
    pending.seq = read.seq;
    pending.place = base_ | (ordinal_++ & kOrdinalMask);
    if (const void* slot = table_.home_address(pending.hash)) __builtin_prefetch(slot, 1);
    if (size_ == kBatch) flush();
  }

  void flush() {
    for (std::size_t i = 0; i < size_; ++i) {
      table_.offer(batch_[i].key, batch_[i].hash, batch_[i].seq, batch_[i].place);
    }
    size_ = 0;
  }

 private:
  static constexpr std::size_t kBatch = 16;
  struct Pending {
    std::string key;
    std::uint64_t hash = 0;
    std::uint64_t seq = 0;
    std::uint64_t place = 0;
  };
  KeyTable& table_;
  std::uint64_t base_;
  std::uint64_t ordinal_ = 0;
  std::array<Pending, kBatch> batch_;
  std::size_t size_ = 0;
};

// Each key range's current records, as ordinals in their files counted from
// where the range began.
class OrdinalSink final : public WinnerSink {
 public:
  explicit OrdinalSink(std::size_t files) : ordinals(files) {}
  void winner(const RecordView&, KeyState, std::size_t position, std::uint64_t ordinal) override {
    ordinals[position].push_back(ordinal);
  }
  std::vector<std::vector<std::uint64_t>> ordinals;  // by position
};

}  // namespace

std::optional<CurrentVersions> CurrentVersions::merged(const RawLevelDb& db, const StoreActivity& activity,
                                                       StopToken* stop, std::size_t ranges) {
  const std::size_t files = db.data_files().size();
  std::vector<OrdinalSink> sinks(ranges != 0 ? ranges : KeyMerge::threads(), OrdinalSink(files));
  std::vector<WinnerSink*> targets;
  for (OrdinalSink& sink : sinks) targets.push_back(&sink);
  const KeyMerge::Result result = KeyMerge::run(db, activity, targets, false, stop);
  if (result.end == KeyMerge::End::Unsorted) return std::nullopt;
  CurrentVersions versions;
  versions.activity_ = activity;
  versions.starts_.assign(files + 1, 0);
  if (result.end == KeyMerge::End::Stopped) return versions;
  for (std::size_t i = 0; i < files; ++i) {
    std::size_t count = 0;
    for (const OrdinalSink& sink : sinks) count += sink.ordinals[i].size();
    versions.starts_[i + 1] = versions.starts_[i] + count;
  }
  // The ranges in key order, which is each table's own order; a log's
  // winners come in key order and are sorted.
  versions.winners_.reserve(versions.starts_[files]);
  for (std::size_t i = 0; i < files; ++i) {
    for (std::size_t r = 0; r < sinks.size(); ++r) {
      const std::uint64_t base = r < result.bases.size() ? result.bases[r][i] : 0;
      for (const std::uint64_t ordinal : sinks[r].ordinals[i]) versions.winners_.push_back(base + ordinal);
      std::vector<std::uint64_t>().swap(sinks[r].ordinals[i]);
    }
  }
  sort_runs(std::span<std::uint64_t>(versions.winners_),
            std::span<const std::size_t>(versions.starts_).subspan(1), std::less<>());
  return versions;
}

std::string_view status_name(RecordStatus status) noexcept {
  switch (status) {
    case RecordStatus::Current: return "current";
    case RecordStatus::Superseded: return "superseded";
    case RecordStatus::Orphaned: break;
  }
  return "orphaned";
}

ReadKey read_key_of(const RecordView& record) noexcept {
  if (record.file_type == FileType::Log || record.key.size() < kInternalKeyTrailerSize) {
    return {record.key, record.seq, record.state};
  }
  const std::uint64_t trailer = load_le64(record.key.data() + record.key.size() - kInternalKeyTrailerSize);
  const auto type = static_cast<std::uint8_t>(trailer & 0xff);
  const KeyState kind = type == 1 ? KeyState::Live : type == 0 ? KeyState::Deleted : KeyState::Unknown;
  return {record.key.substr(0, record.key.size() - kInternalKeyTrailerSize), trailer >> 8, kind};
}

CurrentVersions CurrentVersions::build(const RawLevelDb& db, const StoreActivity& activity, StopToken* stop) {
  if (auto versions = merged(db, activity, stop)) return std::move(*versions);
  return hashed(db, activity, stop);
}

CurrentVersions CurrentVersions::hashed(const RawLevelDb& db, const StoreActivity& activity, StopToken* stop) {
  CurrentVersions versions;
  versions.activity_ = activity;
  const std::size_t files = db.data_files().size();
  // Places keep 24 bits of position: more data files than that cannot be
  // told apart, so none of them is given a current record.
  const std::size_t placeable = std::min<std::size_t>(files, std::size_t{1} << (64 - kOrdinalBits));
  {
    KeyTable table;
    DecodeScratch scratch;
    if (stop != nullptr) scratch.stop = *stop;
    for (const WalkUnit unit : db.reading_order(false, false)) {
      if (scratch.stop.stop_requested()) break;
      const std::size_t position = unit.slot;
      if (position >= placeable || versions.orphaned(position)) continue;
      {
        BatchedOffer offer(table, static_cast<std::uint64_t>(position) << kOrdinalBits);
        walk_whole_unit(db, unit, offer, scratch);
      }
      db.drop_unit_pages(unit);
    }
    if (stop != nullptr && scratch.stop.stopped()) *stop = scratch.stop;
    // The winners, grouped by file (counting first, then placing), each
    // file's sorted; the table goes with this scope.
    versions.starts_.assign(files + 1, 0);
    table.for_each_place([&](std::uint64_t place) { ++versions.starts_[(place >> kOrdinalBits) + 1]; });
    for (std::size_t i = 0; i < files; ++i) versions.starts_[i + 1] += versions.starts_[i];
    versions.winners_.resize(table.count());
    std::vector<std::size_t> next(versions.starts_.begin(), versions.starts_.end() - 1);
    table.for_each_place([&](std::uint64_t place) {
      versions.winners_[next[place >> kOrdinalBits]++] = place & kOrdinalMask;
    });
  }
  for (std::size_t i = 0; i < files; ++i) {
    std::sort(versions.winners_.begin() + static_cast<std::ptrdiff_t>(versions.starts_[i]),
              versions.winners_.begin() + static_cast<std::ptrdiff_t>(versions.starts_[i + 1]));
  }
  return versions;
}

CurrentVersions CurrentVersions::of_store(const RawLevelDb& db, StopToken* stop) {
  const auto history = replay_manifest(db, stop);
  return build(db, classify_files(db, history), stop);
}

std::optional<RecordStatus> CurrentVersions::shared_status(const RawLevelDb& db, WalkUnit unit) const {
  if (unit.pass == WalkPass::Read) {
    if (orphaned(unit.slot)) return RecordStatus::Orphaned;
    return std::nullopt;
  }
  // A table the normal read could not open has no position: its path tells.
  const bool orphaned_file =
      unit.slot < activity_.files.size()
          ? orphaned(unit.slot)
          : std::find(activity_.orphaned_paths.begin(), activity_.orphaned_paths.end(), db.slot_path(unit.slot)) !=
                activity_.orphaned_paths.end();
  return orphaned_file ? RecordStatus::Orphaned : RecordStatus::Superseded;
}

std::span<const std::uint64_t> CurrentVersions::current_of(std::size_t position) const noexcept {
  if (position + 1 >= starts_.size()) return {};
  return std::span<const std::uint64_t>(winners_.data() + starts_[position], starts_[position + 1] - starts_[position]);
}

}  // namespace vostrel
