#pragma once
// Lower-case hexadecimal, the one form of hex digits every text this program
// writes uses: hex-encoded bytes, \xNN escapes, JSON's \uNNNN, Python repr()
// escapes, blob paths and error messages alike.

#include <cstdint>
#include <string>

namespace vostrel::hex {

inline constexpr char kDigits[] = "0123456789abcdef";

// The value of one lower-case hex digit, or -1 for any other character
// (upper-case digits included).
[[nodiscard]] constexpr int lower_digit_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The low `count` hex digits of value, most significant first, zeros kept.
inline void append_digits(std::string& out, std::uint32_t value, int count) {
  for (int shift = (count - 1) * 4; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
}

// A byte as two digits, written at dst; returns the end.
constexpr char* write_byte(char* dst, std::uint8_t byte) noexcept {
  *dst++ = kDigits[byte >> 4];
  *dst++ = kDigits[byte & 0xF];
  return dst;
}

// The same, appended.
inline void append_byte(std::string& out, std::uint8_t byte) { append_digits(out, byte, 2); }

}  // namespace vostrel::hex
