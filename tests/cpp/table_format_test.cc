// Block handles: a table's pointers to its blocks, two varints, read from
// bytes and from a cursor (which stays where a cut handle leaves it).

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "base/varint.h"
#include "format/table_format.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::hex;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

TEST(BlockHandle, FromBytes) {
  EXPECT_EQ(BlockHandle::from_bytes(""), std::nullopt);
  EXPECT_EQ(BlockHandle::from_bytes(hex("05")), std::nullopt);
  EXPECT_EQ(BlockHandle::from_bytes(hex("05 80")), std::nullopt);
  EXPECT_EQ(BlockHandle::from_bytes(hex("05 0a ff")), (BlockHandle{5, 10}));
  EXPECT_EQ(BlockHandle::from_bytes(hex("00 00")), (BlockHandle{0, 0}));
  EXPECT_EQ(BlockHandle::from_bytes(testing::varint(kMax64) + testing::varint(1ull << 40)),
            (BlockHandle{kMax64, 1ull << 40}));
  // Twenty bytes, both fields at the varint64 limit.
  EXPECT_EQ(BlockHandle::from_bytes(std::string(20, '\xff')), (BlockHandle{kMax64, kMax64}));
}

TEST(BlockHandle, FromCursor) {
  {
    const std::string bytes;
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), std::nullopt);
    EXPECT_EQ(cursor.pos(), 0u);
  }
  {
    const std::string bytes = hex("05");
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), std::nullopt);
    EXPECT_EQ(cursor.pos(), 1u);  // just past the offset
  }
  {
    const std::string bytes = hex("80");
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), std::nullopt);
    EXPECT_EQ(cursor.pos(), 0u);
  }
  {
    const std::string bytes = hex("05 0a");
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), (BlockHandle{5, 10}));
    EXPECT_EQ(cursor.pos(), 2u);
  }
  {
    // Two handles back to back, then a third that is cut after its offset.
    const std::string bytes = hex("ac 02 01 00 7f 07");
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), (BlockHandle{300, 1}));
    EXPECT_EQ(BlockHandle::from_cursor(cursor), (BlockHandle{0, 127}));
    EXPECT_EQ(cursor.pos(), 5u);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), std::nullopt);
    EXPECT_EQ(cursor.pos(), 6u);
  }
}

}  // namespace
}  // namespace vostrel
