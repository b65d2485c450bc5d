#include "chromium/ascii_text.h"

#include <cstdint>
#include <string>

#include "base/hex.h"

namespace vostrel::chromium {

Decoded<void> check_ascii(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(bytes[i]);
    if (byte >= 0x80) {
      std::string reason = "'ascii' codec can't decode byte 0x";
      hex::append_byte(reason, byte);
      reason += " in position " + std::to_string(i) + ": ordinal not in range(128)";
      return std::unexpected(std::move(reason));
    }
  }
  return {};
}

}  // namespace vostrel::chromium
