#pragma once
// The base-128 varint that Chromium's stores use outside LevelDB's own
// framing (IndexedDB's keys and values, protobuf messages) is V8's: read by
// read_base128_varint (codec.h), up to 11 bytes (77 bits). Values are carried in 128 bits:
// ids and counts this wide exist only in damaged data, but they are shown as
// they are, never cut to 64 bits. This header gives the IndexedDB and Local
// Storage decoders that reader in their own error form, and wide decimals.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "chromium/codec.h"

namespace vostrel::chromium {

struct WideVarint {
  Wide value;
  std::size_t end;  // the position after it
};

// The varint at data[pos]; the reason when the data ends inside it or it runs
// past 11 bytes.
[[nodiscard]] inline std::expected<WideVarint, std::string_view> read_wide_varint(
    std::string_view data, std::size_t pos) noexcept {
  Wide value = 0;
  if (const char* problem = read_base128_varint(data, pos, value)) return std::unexpected(std::string_view(problem));
  return WideVarint{value, pos};
}

// A varint of more than one byte (read_varint's other case).
[[nodiscard]] Decoded<WideVarint> read_long_varint(std::string_view data, std::size_t pos);

// A varint, its reason as an owned string (the form every Chromium decoder
// returns). Inline for the one-byte varint, which most ids, lengths and
// protobuf tags are: the decoders read several for every record.
[[nodiscard]] inline Decoded<WideVarint> read_varint(std::string_view data, std::size_t pos) {
  if (pos < data.size() && static_cast<unsigned char>(data[pos]) < 0x80) {
    return WideVarint{static_cast<unsigned char>(data[pos]), pos + 1};
  }
  return read_long_varint(data, pos);
}

[[nodiscard]] inline bool fits_u64(Wide value) noexcept { return (value >> 64) == 0; }
// In decimal.
void append_wide(std::string& out, Wide value);
// Lower-case hex without leading zeros ("0" for zero), as Python's f"{n:x}".
void append_wide_hex(std::string& out, Wide value);

}  // namespace vostrel::chromium
