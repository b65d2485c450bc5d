#pragma once
// The base-128 varint that Chromium's stores use outside LevelDB's own framing:
// in V8's serialized values, IndexedDB's keys and values and protobuf messages.
// Least significant group first; a varint ends at the first byte with its high
// bit clear. The decoder has always accepted up to 11 bytes (77 bits) and no
// more, so values are carried in 128 bits: ids and counts this wide exist only
// in damaged data, but they are shown as they are, never cut to 64 bits.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace vostrel::chromium {

__extension__ typedef unsigned __int128 Wide;

struct WideVarint {
  Wide value;
  std::size_t end;  // the position after it
};

// The varint at data[pos]; the reason when the data ends inside it or it runs
// past 11 bytes.
[[nodiscard]] inline std::expected<WideVarint, std::string_view> read_wide_varint(
    std::string_view data, std::size_t pos) noexcept {
  if (pos >= data.size()) return std::unexpected(std::string_view("data ends inside a varint"));
  auto byte = static_cast<std::uint8_t>(data[pos]);
  if (byte < 0x80) return WideVarint{byte, pos + 1};
  Wide result = byte & 0x7F;
  unsigned shift = 7;
  while (true) {
    ++pos;
    if (pos >= data.size()) return std::unexpected(std::string_view("data ends inside a varint"));
    byte = static_cast<std::uint8_t>(data[pos]);
    result |= static_cast<Wide>(byte & 0x7F) << shift;
    if (byte < 0x80) return WideVarint{result, pos + 1};
    shift += 7;
    if (shift > 70) return std::unexpected(std::string_view("varint too long"));
  }
}

// Whether a wide value fits 64 bits, and it in decimal.
[[nodiscard]] inline bool fits_u64(Wide value) noexcept { return (value >> 64) == 0; }
void append_wide(std::string& out, Wide value);
// Lower-case hex without leading zeros ("0" for zero), as Python's f"{n:x}".
void append_wide_hex(std::string& out, Wide value);

}  // namespace vostrel::chromium
