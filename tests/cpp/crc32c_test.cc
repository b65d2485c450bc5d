// CRC32C as LevelDB stores it (masked), and the algebra the carvers use to
// check a checksum over any range from two prefix registers.

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/crc32c.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::random_bytes;

TEST(Crc32c, KnownValuesAndMask) {
  // The values LevelDB's own tests pin, and the common check value.
  std::string ascending(32, '\0');
  for (int i = 0; i < 32; ++i) ascending[i] = static_cast<char>(i);
  const std::vector<std::pair<std::string, std::uint32_t>> cases = {
      {std::string(32, '\0'), 0x8a9136aau},
      {std::string(32, '\xff'), 0x62a8ab43u},
      {ascending, 0x46dd794eu},
      {"123456789", 0xe3069283u},
      {"", 0u},
  };
  for (const auto& [data, expected] : cases) {
    EXPECT_EQ(crc32c(data), expected) << data.size();
    EXPECT_EQ(crc32c_unmask(crc32c_mask(expected)), expected);
    EXPECT_NE(crc32c_mask(expected), expected);
  }
}

TEST(Crc32c, RangeFromPrefixRegistersEqualsDirect) {
  const std::string data = random_bytes(5000, 7);
  std::vector<std::uint32_t> prefix(data.size() + 1, kCrc32cInit);
  for (std::size_t i = 0; i < data.size(); ++i) prefix[i + 1] = crc32c_step(prefix[i], static_cast<std::uint8_t>(data[i]));
  EXPECT_EQ(prefix.back(), crc32c_run(kCrc32cInit, data));
  std::mt19937 gen(3);
  for (int i = 0; i < 300; ++i) {
    std::size_t s = gen() % data.size();
    std::size_t e = gen() % data.size();
    if (s > e) std::swap(s, e);
    ASSERT_EQ(crc32c_of_range(prefix[s], prefix[e], e - s), crc32c(std::string_view(data).substr(s, e - s)))
        << s << ".." << e;
  }
  // A length beyond the cached powers goes through squaring.
  const std::string big = random_bytes(70000, 9);
  EXPECT_EQ(crc32c_of_range(kCrc32cInit, crc32c_run(kCrc32cInit, big), big.size()), crc32c(big));
  for (std::uint32_t r : {0u, 1u, 0x80000000u, 0xdeadbeefu, 0xffffffffu}) {
    EXPECT_EQ(crc32c_times_x_minus8(crc32c_times_x8(r)), r);
    EXPECT_EQ(crc32c_multiply(r, crc32c_times_x8(kPolyOne)), crc32c_times_x8(r));
  }
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t a = static_cast<std::uint32_t>(gen());
    const std::uint32_t b = static_cast<std::uint32_t>(gen());
    ASSERT_EQ(crc32c_multiply(a, b), crc32c_multiply_portable(a, b)) << a << " * " << b;
  }
}

}  // namespace
}  // namespace vostrel
