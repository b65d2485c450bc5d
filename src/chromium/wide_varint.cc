#include "chromium/wide_varint.h"

#include "export/json_text.h"
#include "base/hex.h"

namespace vostrel::chromium {

const char* read_base128_varint(std::string_view data, std::size_t& pos, Wide& value) {
  std::size_t size = data.size();
  if (pos >= size) return "data ends inside a varint";
  auto byte = static_cast<unsigned char>(data[pos]);
  if (byte < 0x80) {
    value = byte;
    ++pos;
    return nullptr;
  }
  Wide result = byte & 0x7F;
  unsigned shift = 7;
  while (true) {
    if (++pos >= size) return "data ends inside a varint";
    byte = static_cast<unsigned char>(data[pos]);
    result |= static_cast<Wide>(byte & 0x7F) << shift;
    if (byte < 0x80) {
      value = result;
      ++pos;
      return nullptr;
    }
    shift += 7;
    if (shift > 70) return "varint too long";
  }
}


Decoded<WideVarint> read_long_varint(std::string_view data, std::size_t pos) {
  auto varint = read_wide_varint(data, pos);
  if (!varint) return std::unexpected(std::string(varint.error()));
  return *varint;
}

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
  char digits[32];
  std::size_t n = 0;
  do {
    digits[n++] = hex::kDigits[static_cast<unsigned>(value & 0xF)];
    value >>= 4;
  } while (value != 0);
  while (n != 0) out.push_back(digits[--n]);
}

}  // namespace vostrel::chromium
