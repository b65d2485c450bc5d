// Feeds arbitrary bytes to the decoder of Blink/V8 serialized values, with and
// without external objects. Damaged input may only fail: the decoder must not
// crash, read out of bounds, recurse or allocate without bound, and a failure
// must leave the output as it was.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "chromium/blink_value.h"

namespace {

[[noreturn]] void fail() { __builtin_trap(); }
void require(bool condition) {
  if (!condition) fail();
}

const std::vector<std::string> kExternals = {R"({"size": 1})", R"({"name": "a"})"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (std::size_t count : {std::size_t{0}, kExternals.size()}) {
    std::string out = "prefix";
    auto first = vostrel::chromium::append_script_value(
        out, input, std::span<const std::string>(kExternals.data(), count));
    if (!first) {
      require(out == "prefix");
      require(!first.error().empty());
      continue;
    }
    require(out.size() > 6);
    // Decoding is a pure function of the bytes: the reused tables carry
    // nothing from one value to the next.
    std::string again = "prefix";
    require(vostrel::chromium::append_script_value(
                again, input, std::span<const std::string>(kExternals.data(), count))
                .has_value());
    require(again == out);
  }
  return 0;
}
