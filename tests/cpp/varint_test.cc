// Varints and length-prefixed blobs, the primitives every reader builds on:
// the cursor and the free functions, at every length and limit.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "test_support.h"
#include "base/varint.h"

namespace vostrel {
namespace {

using testing::hex;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// ---------------------------------------------------------------------------
// Varints

struct VarintCase {
  const char* name;
  std::string bytes;  // hex
  bool narrow;
  std::optional<std::uint64_t> value;
  std::size_t consumed;  // expected pos afterwards (0 when absent)
};

void PrintTo(const VarintCase& c, std::ostream* os) { *os << c.name; }

class VarintRead : public ::testing::TestWithParam<VarintCase> {};

TEST_P(VarintRead, CursorAndFreeFunctionAgree) {
  const VarintCase& c = GetParam();
  const std::string bytes = hex(c.bytes);
  SliceCursor cursor(bytes);
  const auto value = cursor.read_varint(c.narrow);
  EXPECT_EQ(value, c.value);
  EXPECT_EQ(cursor.pos(), c.consumed);

  // The same varint behind a prefix, decoded in place: the rule must not
  // depend on the varint starting at index 0.
  const std::string prefixed = "\x07\x07\x07" + bytes;
  const auto decoded = decode_varint(prefixed, 3, c.narrow);
  ASSERT_EQ(decoded.has_value(), c.value.has_value());
  if (decoded) {
    EXPECT_EQ(decoded->value, *c.value);
    EXPECT_EQ(decoded->length, c.consumed);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VarintRead,
    ::testing::Values(
        VarintCase{"empty_wide", "", false, std::nullopt, 0},
        VarintCase{"empty_narrow", "", true, std::nullopt, 0},
        VarintCase{"zero", "00", false, 0, 1},
        VarintCase{"ac02_is_300", "ac 02", false, 300, 2},
        VarintCase{"ac02_is_300_narrow", "ac 02", true, 300, 2},
        VarintCase{"lone_7f", "7f", false, 127, 1},
        VarintCase{"lone_80_absent", "80", false, std::nullopt, 0},
        VarintCase{"lone_80_absent_narrow", "80", true, std::nullopt, 0},
        VarintCase{"cut_after_three", "ff ff ff", false, std::nullopt, 0},
        VarintCase{"non_minimal_zero", "80 00", false, 0, 2},
        VarintCase{"trailing_bytes_left", "01 02 03", false, 1, 1},
        VarintCase{"ten_ff_all_bits", "ff ff ff ff ff ff ff ff ff ff", false, kMax64, 10},
        VarintCase{"ten_ff_then_more", "ff ff ff ff ff ff ff ff ff ff 05", false, kMax64, 10},
        VarintCase{"nine_ff_absent", "ff ff ff ff ff ff ff ff ff", false, std::nullopt, 0},
        VarintCase{"ten_80_then_01", "80 80 80 80 80 80 80 80 80 80 01", false, 0, 10},
        // The tenth byte contributes only its lowest bit, as bit 63.
        VarintCase{"tenth_byte_bit63", "80 80 80 80 80 80 80 80 80 01", false,
                   std::uint64_t{1} << 63, 10},
        VarintCase{"tenth_byte_high_bits_dropped", "80 80 80 80 80 80 80 80 80 7e", false, 0, 10},
        VarintCase{"nine_ff_then_7f", "ff ff ff ff ff ff ff ff ff 7f", false, kMax64, 10},
        VarintCase{"five_ff_narrow", "ff ff ff ff ff", true, (std::uint64_t{1} << 35) - 1, 5},
        VarintCase{"six_ff_narrow_stops_at_five", "ff ff ff ff ff ff", true,
                   (std::uint64_t{1} << 35) - 1, 5},
        VarintCase{"five_ff_wide_absent", "ff ff ff ff ff", false, std::nullopt, 0},
        VarintCase{"five_80_narrow_at_end", "80 80 80 80 80", true, 0, 5},
        VarintCase{"four_80_narrow_absent", "80 80 80 80", true, std::nullopt, 0},
        VarintCase{"narrow_fifth_byte_bits", "80 80 80 80 0f", true, std::uint64_t{0xF} << 28, 5},
        VarintCase{"narrow_max_u32", "ff ff ff ff 0f", true, 0xFFFFFFFFu, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Varint, TenBytesThenNextReadSeesTheRest) {
  const std::string bytes = hex("80 80 80 80 80 80 80 80 80 80 01");
  SliceCursor cursor(bytes);
  EXPECT_EQ(cursor.read_varint(false), 0u);
  EXPECT_EQ(cursor.pos(), 10u);
  EXPECT_EQ(cursor.read_varint(false), 1u);
  EXPECT_EQ(cursor.pos(), 11u);
  EXPECT_EQ(cursor.remaining(), 0u);
  EXPECT_EQ(cursor.read_varint(false), std::nullopt);
  EXPECT_EQ(cursor.pos(), 11u);
}

TEST(Varint, NarrowFiveFfLow32Bits) {
  const std::string bytes = hex("ff ff ff ff ff");
  SliceCursor cursor(bytes);
  const auto value = cursor.read_varint(true);
  ASSERT_TRUE(value);
  EXPECT_EQ(static_cast<std::uint32_t>(*value), 0xFFFFFFFFu);
}

TEST(Varint, RoundTripsEncoder) {
  std::vector<std::uint64_t> values = {0, 1, 127, 128, 300, 16383, 16384, 0xFFFFFFFFu,
                                       std::uint64_t{1} << 35, kMax64 - 1, kMax64};
  for (int shift = 0; shift < 64; ++shift) values.push_back(std::uint64_t{1} << shift);
  for (const auto v : values) {
    const std::string bytes = testing::varint(v);
    SliceCursor cursor(bytes);
    EXPECT_EQ(cursor.read_varint(false), v) << v;
    EXPECT_EQ(cursor.pos(), bytes.size()) << v;
  }
}

// A failed read in the middle of the data must leave the position where it was.
TEST(Varint, FailedReadAfterSuccessKeepsPosition) {
  const std::string bytes = hex("05 ff ff");
  SliceCursor cursor(bytes);
  EXPECT_EQ(cursor.read_varint(false), 5u);
  EXPECT_EQ(cursor.read_varint(false), std::nullopt);
  EXPECT_EQ(cursor.pos(), 1u);
  EXPECT_EQ(cursor.read_length_prefixed_blob(), std::nullopt);
  EXPECT_EQ(cursor.pos(), 1u);
}

// ---------------------------------------------------------------------------
// Length-prefixed blobs

struct BlobCase {
  const char* name;
  std::string bytes;  // hex
  std::optional<std::string> blob;  // hex
  std::size_t consumed;
};

void PrintTo(const BlobCase& c, std::ostream* os) { *os << c.name; }

class BlobRead : public ::testing::TestWithParam<BlobCase> {};

TEST_P(BlobRead, Table) {
  const BlobCase& c = GetParam();
  const std::string bytes = hex(c.bytes);
  SliceCursor cursor(bytes);
  const auto blob = cursor.read_length_prefixed_blob();
  ASSERT_EQ(blob.has_value(), c.blob.has_value());
  if (blob) {
    EXPECT_EQ(std::string(*blob), hex(*c.blob));
    // A view into the cursor's bytes, not a copy.
    if (!blob->empty()) {
      EXPECT_EQ(blob->data(), bytes.data() + (c.consumed - blob->size()));
    }
  }
  EXPECT_EQ(cursor.pos(), c.consumed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BlobRead,
    ::testing::Values(
        BlobCase{"empty_input", "", std::nullopt, 0},
        BlobCase{"abc", "03 61 62 63", "61 62 63", 4},
        BlobCase{"abc_then_more", "03 61 62 63 64", "61 62 63", 4},
        BlobCase{"one_short", "03 61 62", std::nullopt, 0},
        BlobCase{"empty_blob", "00", "", 1},
        BlobCase{"cut_length", "80", std::nullopt, 0},
        BlobCase{"two_byte_length", "81 00 61", "61", 3},
        // A length near 2^64 must not wrap around the bounds check.
        BlobCase{"huge_length", "ff ff ff ff ff ff ff ff ff 01 61 62", std::nullopt, 0},
        BlobCase{"length_2pow63", "80 80 80 80 80 80 80 80 80 01 61", std::nullopt, 0},
        BlobCase{"length_bits_past_63_dropped", "81 80 80 80 80 80 80 80 80 7e 61", "61", 11}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Blob, AfterAnotherRead) {
  const std::string bytes = hex("05 02 61 62 00");
  SliceCursor cursor(bytes);
  EXPECT_EQ(cursor.read_varint(true), 5u);
  EXPECT_EQ(cursor.read_length_prefixed_blob(), std::string_view("ab"));
  EXPECT_EQ(cursor.pos(), 4u);
  EXPECT_EQ(cursor.read_length_prefixed_blob(), std::string_view());
  EXPECT_EQ(cursor.pos(), 5u);
  EXPECT_EQ(cursor.read_length_prefixed_blob(), std::nullopt);
  EXPECT_EQ(cursor.pos(), 5u);
}

}  // namespace
}  // namespace vostrel
