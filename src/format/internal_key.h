#pragma once
// Internal keys: how a table file stores a key. The user key is followed by an
// 8-byte little-endian trailer, (sequence number << 8) | value type, where
// value type 0 marks a deletion and 1 a value. Log files store user keys with
// the sequence number in the write batch header instead (see write_batch.h).

#include <cstdint>
#include <string_view>

#include "format/record.h"
#include "base/varint.h"

namespace vostrel {

inline constexpr std::size_t kInternalKeyTrailerSize = 8;

// A table record's key is the internal key: it loses its trailer. Log keys are
// user keys already and are never cut; nor is a table key too short to carry
// a trailer.
[[nodiscard]] constexpr std::string_view user_key_of(std::string_view key, FileType type) noexcept {
  if (type == FileType::Ldb && key.size() >= kInternalKeyTrailerSize) {
    return key.substr(0, key.size() - kInternalKeyTrailerSize);
  }
  return key;
}

struct InternalKeyMeaning {
  std::uint64_t seq;
  KeyState state;
};

// The sequence number and state that an internal key's trailer encodes. A key
// shorter than a trailer says nothing (0, Unknown); a key that is only a
// trailer has a sequence number but no user key, so its state is Unknown. Any
// value type other than 0 reads as Live.
[[nodiscard]] inline InternalKeyMeaning split_internal_key(std::string_view key) noexcept {
  if (key.size() < kInternalKeyTrailerSize) return {0, KeyState::Unknown};
  const std::uint64_t trailer = load_le64(key.data() + key.size() - kInternalKeyTrailerSize);
  if (key.size() == kInternalKeyTrailerSize) return {trailer >> 8, KeyState::Unknown};
  return {trailer >> 8, (trailer & 0xFF) == 0 ? KeyState::Deleted : KeyState::Live};
}

}  // namespace vostrel
