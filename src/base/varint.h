#pragma once
// Base-128 varints (least significant group first) and length-prefixed byte
// strings, the primitive encodings shared by the table, log and manifest formats.
//
// Every varint in the system is read by one rule: a varint ends at the first
// byte whose high bit is clear, or at the byte that reaches the form's limit
// (5 bytes for varint32, 10 for varint64), whatever that byte's high bit says.
// Over-long and non-minimal encodings are accepted; bits past bit 63 are
// dropped. Only running out of bytes before the varint ends is a failure.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vostrel {

inline constexpr std::size_t kVarint32MaxBytes = 5;
inline constexpr std::size_t kVarint64MaxBytes = 10;

struct DecodedVarint {
  std::uint64_t value;
  std::size_t length;  // bytes consumed, 1 to the form's limit
};

// Decodes the varint that starts at data[pos]. REQUIRES: pos <= data.size().
// Returns nullopt when data ends before the varint does.
[[nodiscard]] inline std::optional<DecodedVarint> decode_varint(std::string_view data,
                                                                std::size_t pos, bool narrow) {
  const std::size_t limit = narrow ? kVarint32MaxBytes : kVarint64MaxBytes;
  const std::size_t available = data.size() - pos;
  // Fast path: a single byte with the high bit clear.
  if (available > 0) {
    const auto first = static_cast<std::uint8_t>(data[pos]);
    if (first < 0x80) return DecodedVarint{first, 1};
  }
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < limit; ++i) {
    if (i == available) return std::nullopt;
    const auto b = static_cast<std::uint8_t>(data[pos + i]);
    const unsigned shift = 7 * static_cast<unsigned>(i);
    if (shift < 64) value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if (b < 0x80) return DecodedVarint{value, i + 1};
  }
  return DecodedVarint{value, limit};
}

// A forward cursor over a borrowed byte range. Reads are total: on failure they
// return nullopt and leave the position where it was. The cursor never owns,
// copies or modifies the bytes; views it returns live as long as those bytes.
class SliceCursor {
 public:
  explicit SliceCursor(std::string_view data) noexcept : data_(data) {}

  [[nodiscard]] std::optional<std::uint64_t> read_varint(bool narrow) noexcept {
    const auto decoded = decode_varint(data_, pos_, narrow);
    if (!decoded) return std::nullopt;
    pos_ += decoded->length;
    return decoded->value;
  }

  // A varint64 length followed by that many bytes, returned as a view into data.
  [[nodiscard]] std::optional<std::string_view> read_length_prefixed_blob() noexcept {
    const auto length = decode_varint(data_, pos_, /*narrow=*/false);
    if (!length) return std::nullopt;
    // Compared as a subtraction from what remains, so a huge length cannot wrap.
    const std::size_t after_prefix = remaining() - length->length;
    if (length->value > after_prefix) return std::nullopt;
    const std::string_view blob =
        data_.substr(pos_ + length->length, static_cast<std::size_t>(length->value));
    pos_ += length->length + blob.size();
    return blob;
  }

  [[nodiscard]] std::size_t pos() const noexcept { return pos_; }
  [[nodiscard]] std::string_view data() const noexcept { return data_; }
  [[nodiscard]] std::size_t remaining() const noexcept { return data_.size() - pos_; }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;  // invariant: pos_ <= data_.size()
};

// Little-endian fixed-width reads. REQUIRES: 4 (or 8) bytes at p.
[[nodiscard]] inline std::uint32_t load_le32(const char* p) noexcept {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint32_t>(u[0]) | (static_cast<std::uint32_t>(u[1]) << 8) |
         (static_cast<std::uint32_t>(u[2]) << 16) | (static_cast<std::uint32_t>(u[3]) << 24);
}
[[nodiscard]] inline std::uint64_t load_le64(const char* p) noexcept {
  return static_cast<std::uint64_t>(load_le32(p)) |
         (static_cast<std::uint64_t>(load_le32(p + 4)) << 32);
}

}  // namespace vostrel
