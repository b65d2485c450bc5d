#pragma once
// Write batches, the payload of every logical record of a write-ahead log:
// sequence (8 bytes LE), count (4 bytes LE), then `count` entries of
// tag (1 = put, 0 = deletion, other = unrecognised, read like a put),
// varint32 key length, key, and, unless the tag is 0, varint32 value length
// and value. The entries take consecutive sequence numbers from the header's.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "format/log_format.h"
#include "format/record.h"
#include "base/varint.h"

namespace vostrel {

inline constexpr std::size_t kBatchHeaderSize = 12;

// Decodes one logical record as a write batch and hands each entry to sink.
// Damage ends the batch quietly; the entries before it stay. `offset` is the
// logical record's offset; an entry's record offset is offset + 12 + the
// position of its tag byte in the batch body. With `fragments` (the physical
// records the payload was joined from), each record carries its position:
// the fragments its entry's bytes lie in, its tag byte's file position, and
// whether every fragment's checksum holds.
template <RecordSink Sink>
void decode_write_batch(std::uint64_t offset, std::string_view payload, const SharedPath* path,
                        Sink& sink, const std::vector<LogFragment>* fragments = nullptr) {
  if (payload.size() < kBatchHeaderSize) return;
  const std::uint32_t count = load_le32(payload.data() + 8);
  if (count == 0) return;
  RecordPosition place;
  PayloadPlaces starts({});
  PayloadPlaces ends({});
  if (fragments != nullptr) {
    place.checksum_ok = std::all_of(fragments->begin(), fragments->end(),
                                    [](const LogFragment& fragment) { return fragment.checksum_ok; });
    starts = PayloadPlaces(*fragments);
    ends = PayloadPlaces(*fragments);
  }
  const std::uint64_t sequence = load_le64(payload.data());
  const std::string_view body = payload.substr(kBatchHeaderSize);
  const std::size_t n = body.size();
  std::size_t t = 0;
  for (std::uint32_t j = 0; j < count; ++j) {
    if (t >= n || n - t < 2) return;  // no entry, or a tag with nothing after it
    const auto tag = static_cast<std::uint8_t>(body[t]);
    const auto key_length = decode_varint(body, t + 1, /*narrow=*/true);
    if (!key_length) return;
    const std::size_t key_start = t + 1 + key_length->length;
    const std::uint64_t k = key_length->value & 0xFFFFFFFFu;
    if (k > n - key_start) return;
    const std::size_t key_end = key_start + static_cast<std::size_t>(k);
    std::string_view value;
    std::size_t entry_end = key_end;
    if (tag != 0) {
      if (key_end == n) return;
      const auto value_length = decode_varint(body, key_end, /*narrow=*/true);
      if (!value_length) return;
      const std::size_t value_start = key_end + value_length->length;
      const std::uint64_t v = value_length->value & 0xFFFFFFFFu;
      if (v > n - value_start) return;
      value = body.substr(value_start, static_cast<std::size_t>(v));
      entry_end = value_start + static_cast<std::size_t>(v);
    }
    const KeyState state = tag == 1 ? KeyState::Live : tag == 0 ? KeyState::Deleted : KeyState::Unknown;
    if (fragments != nullptr) {
      // The entry runs from its tag byte to its last byte (entry_end > t).
      place.file_position = starts.file_position(kBatchHeaderSize + t);
      const std::size_t first = starts.fragment_of(kBatchHeaderSize + t);
      const std::size_t last = ends.fragment_of(kBatchHeaderSize + entry_end - 1);
      place.fragments = first < fragments->size()
                            ? std::span(*fragments).subspan(first, std::min(last, fragments->size() - 1) - first + 1)
                            : std::span<const LogFragment>();
    }
    sink(RecordView{
        .key = body.substr(key_start, static_cast<std::size_t>(k)),
        .value = value,
        .seq = sequence + j,  // wraps at 2^64 by design
        .state = state,
        .file_type = FileType::Log,
        .origin_file = path,
        .offset = offset + kBatchHeaderSize + t,
        .was_compressed = false,
        .position = fragments != nullptr ? &place : nullptr,
    });
    t = entry_end;
  }
}

}  // namespace vostrel
