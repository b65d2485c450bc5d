#include "chromium/wide_varint.h"

#include "json_text.h"

namespace vostrel::chromium {

void append_wide(std::string& out, Wide value) {
  if (fits_u64(value)) {
    json::append_uint(out, static_cast<std::uint64_t>(value));
    return;
  }
  char digits[40];
  std::size_t n = 0;
  while (value != 0) {
    digits[n++] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  }
  while (n != 0) out.push_back(digits[--n]);
}

void append_wide_hex(std::string& out, Wide value) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[32];
  std::size_t n = 0;
  do {
    digits[n++] = kHex[static_cast<unsigned>(value & 0xF)];
    value >>= 4;
  } while (value != 0);
  while (n != 0) out.push_back(digits[--n]);
}

}  // namespace vostrel::chromium
