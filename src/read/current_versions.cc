#include "read/current_versions.h"

#include <cstring>
#include <functional>

#include "base/varint.h"
#include "format/internal_key.h"

namespace vostrel {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

std::uint64_t hash_of(std::string_view key) noexcept { return std::hash<std::string_view>{}(key); }

// Counts one file's records and offers each to the table.
struct Offer {
  std::function<void(std::string_view, std::uint64_t, std::uint64_t)> offer;
  std::uint64_t base;
  std::uint64_t ordinal = 0;
  void operator()(const RecordView& record) {
    const ReadKey read = read_key_of(record);
    offer(read.user_key, read.seq, base | ordinal++);
  }
};

}  // namespace

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

CurrentVersions CurrentVersions::build(const RawLevelDb& db, const StoreActivity& activity, StopToken stop) {
  CurrentVersions versions;
  versions.activity_ = activity;
  DecodeScratch scratch;
  scratch.stop = stop;
  for (const std::size_t position : db.iteration_order(false)) {
    if (scratch.stop.stop_requested()) break;
    if (versions.activity_.files[position] == FileActivity::Orphaned) continue;
    Offer offer{[&](std::string_view key, std::uint64_t seq, std::uint64_t place) { versions.offer(key, seq, place); },
                static_cast<std::uint64_t>(position) << kOrdinalBits};
    db.visit_file_records(position, offer, scratch);
    db.drop_file_pages(position);
  }
  return versions;
}

std::string_view CurrentVersions::key_at(std::uint64_t slot_key) const {
  const std::uint64_t at = (slot_key >> kTagBits) - 1;
  const std::size_t chunk = static_cast<std::size_t>(at / kChunkBytes);
  const std::size_t offset = static_cast<std::size_t>(at % kChunkBytes);
  const char* base = chunks_[chunk].get() + offset;
  // A length prefix (varint), then the key.
  const auto length = decode_varint(std::string_view(base, chunk_sizes_[chunk] - offset), 0, /*narrow=*/false);
  return std::string_view(base + length->length, static_cast<std::size_t>(length->value));
}

std::uint64_t CurrentVersions::store_key(std::string_view key) {
  char prefix[10];
  std::size_t prefix_size = 0;
  for (std::uint64_t n = key.size(); ; n >>= 7) {
    prefix[prefix_size++] = static_cast<char>((n & 0x7f) | (n >= 0x80 ? 0x80 : 0));
    if (n < 0x80) break;
  }
  const std::size_t need = prefix_size + key.size();
  if (chunks_.empty() || chunk_sizes_.back() - chunk_used_ < need) {
    // A key longer than a chunk gets a chunk of its own size; offsets address
    // chunks by index, so every chunk counts as kChunkBytes of address space.
    const std::size_t size = need > kChunkBytes ? need : kChunkBytes;
    chunks_.push_back(std::make_unique<char[]>(size));
    chunk_sizes_.push_back(size);
    chunk_used_ = 0;
  }
  const std::size_t chunk = chunks_.size() - 1;
  char* at = chunks_[chunk].get() + chunk_used_;
  std::memcpy(at, prefix, prefix_size);
  if (!key.empty()) std::memcpy(at + prefix_size, key.data(), key.size());
  const std::uint64_t ref = 1 + static_cast<std::uint64_t>(chunk) * kChunkBytes + chunk_used_;
  chunk_used_ += need;
  // A key of its own chunk fills it: the next key opens a fresh chunk.
  if (need > kChunkBytes) chunk_used_ = chunk_sizes_.back();
  return ref;
}

const CurrentVersions::Slot* CurrentVersions::find(std::string_view user_key, std::uint64_t hash) const {
  if (slots_.empty()) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = hash >> (64 - kTagBits);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.key == 0) return nullptr;
    if ((slot.key & ((1u << kTagBits) - 1)) == tag && key_at(slot.key) == user_key) return &slot;
  }
}

void CurrentVersions::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.key == 0) continue;
    std::size_t i = hash_of(key_at(slot.key)) & mask;
    while (slots_[i].key != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

void CurrentVersions::offer(std::string_view user_key, std::uint64_t seq, std::uint64_t place) {
  // Kept at most three quarters full, so that probes stay short.
  if ((count_ + 1) * 4 > slots_.size() * 3) grow();
  const std::uint64_t hash = hash_of(user_key);
  const std::uint64_t tag = hash >> (64 - kTagBits);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.key == 0) {
      slot = Slot{store_key(user_key) << kTagBits | tag, seq, place};
      ++count_;
      return;
    }
    if ((slot.key & ((1u << kTagBits) - 1)) == tag && key_at(slot.key) == user_key) {
      if (seq > slot.seq) {
        slot.seq = seq;
        slot.place = place;
      }
      return;
    }
  }
}

RecordStatus CurrentVersions::status_of(std::size_t position, std::uint64_t ordinal, const RecordView& record) const {
  if (position < activity_.files.size() && activity_.files[position] == FileActivity::Orphaned) {
    return RecordStatus::Orphaned;
  }
  const ReadKey read = read_key_of(record);
  const Slot* slot = find(read.user_key, hash_of(read.user_key));
  const std::uint64_t place = static_cast<std::uint64_t>(position) << kOrdinalBits | ordinal;
  return slot != nullptr && slot->place == place ? RecordStatus::Current : RecordStatus::Superseded;
}

}  // namespace vostrel
