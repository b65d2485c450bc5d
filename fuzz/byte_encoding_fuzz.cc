// The escaped text form and its inverse on arbitrary bytes: the input's text
// must decode back to the input, and the input read as text must either be
// refused or decode to bytes whose text it is. No input may crash or read
// out of bounds (a backslash at the very end, a cut \x escape, raw bytes that
// are not UTF-8).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "export/byte_encoding.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vostrel::ByteEncoding;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto back = vostrel::decode_escaped(vostrel::encode(input, ByteEncoding::Escaped));
  require(back.has_value() && *back == input);
  if (const auto bytes = vostrel::decode_escaped(input)) {
    require(vostrel::encode(*bytes, ByteEncoding::Escaped) == input);
  }
  return 0;
}
