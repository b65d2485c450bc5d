// UTF-8 exactly as CPython's decoder reads it: which sequences are valid,
// decoding with replacement, and str.isprintable(), against answers taken
// from Python 3.11.

#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/utf8.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::hex;

TEST(Utf8, Corners) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", true},
      {"000005", true},
      {std::string("a\0b", 3), true},
      {"\xc3\xa9", true},                  // U+00E9
      {"\xe2\x82\xac", true},              // U+20AC
      {"\xef\xbf\xbf", true},              // U+FFFF
      {"\xf0\x9f\x98\x80", true},          // U+1F600
      {"\xf4\x8f\xbf\xbf", true},          // U+10FFFF, the last code point
      {"\xed\x9f\xbf", true},              // U+D7FF, just below the surrogates
      {"\xee\x80\x80", true},              // U+E000, just above them
      {"\xc3", false},                     // cut two-byte sequence
      {"\xc3\x41", false},                 // continuation byte missing
      {"\x80", false},                     // lone continuation byte
      {"\xbf", false},
      {"\xc0\x80", false},                 // overlong NUL
      {"\xc1\xbf", false},                 // overlong
      {"\xe0\x80\x80", false},             // overlong three-byte
      {"\xe0\x9f\xbf", false},             // overlong U+07FF
      {"\xf0\x8f\xbf\xbf", false},         // overlong U+FFFF
      {"\xed\xa0\x80", false},             // U+D800 surrogate
      {"\xed\xbf\xbf", false},             // U+DFFF surrogate
      {"\xf4\x90\x80\x80", false},         // U+110000
      {"\xf5\x80\x80\x80", false},
      {"\xf8\x88\x80\x80\x80", false},     // five-byte form
      {"\xfe", false},
      {"\xff", false},
      {"\xf0\x9f\x98", false},             // cut four-byte sequence at the end
      {"a\xe2\x82", false},                // cut three-byte sequence at the end
      {"\xe2\x82\xac\x80", false},         // stray continuation after a valid one
  };
  for (const auto& [text, valid] : cases) {
    std::string shown;
    for (const unsigned char c : text) shown += std::to_string(c) + " ";
    EXPECT_EQ(is_valid_utf8(text), valid) << shown;
  }
}

TEST(Utf8, DecodeReplaceUsesOneReplacementPerInvalidSequence) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string bytes;
    std::string decoded;
  };
  const Case cases[] = {
      {hex("e2 82"), fffd},                              // truncated at the end
      {hex("e2 82 41"), fffd + "A"},                     // truncated before ASCII
      {hex("e0 80 af"), fffd + fffd + fffd},             // overlong: E0 needs A0..BF next
      {hex("ed a0 80"), fffd + fffd + fffd},             // surrogate
      {hex("f0 9f 98"), fffd},                           // three of four bytes
      {hex("f0 9f 98 80 80"), hex("f0 9f 98 80") + fffd},  // a stray continuation after
      {hex("f4 90 80 80"), fffd + fffd + fffd + fffd},   // above U+10FFFF
      {hex("c0 af"), fffd + fffd},
      {hex("f5 80"), fffd + fffd},
      {hex("e0 a0"), fffd},
      {hex("f1 80 80 c3 a9"), fffd + hex("c3 a9")},
      {hex("ef bf bf"), hex("ef bf bf")},                // U+FFFF is a valid character
      {"plain", "plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8::decode_replace(c.bytes), c.decoded) << c.bytes;
}

TEST(Utf8, PrintableAgreesWithPython) {
  struct Case {
    char32_t cp;
    bool printable;
  };
  const Case cases[] = {
      {0x1F, false},   {0x20, true},     {0x7E, true},     {0x7F, false},  {0x85, false},
      {0xA0, false},   {0xA1, true},     {0xAD, false},    {0x301, true},  {0x378, false},
      {0x200B, false}, {0x2028, false},  {0x3000, false},  {0xE000, false}, {0xFEFF, false},
      {0xFFFD, true},  {0x1F600, true},  {0xE0100, true},  {0x10FFFF, false},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8::is_printable(c.cp), c.printable) << std::hex << static_cast<std::uint32_t>(c.cp);
}

TEST(Utf8, PrintableLookupFindsEveryRangeEdge) {
  struct Range {
    char32_t first, last;
  };
  constexpr Range ranges[] = {
#include "base/printable_ranges.inc"
  };
  for (std::size_t i = 0; i < std::size(ranges); ++i) {
    const auto [first, last] = ranges[i];
    SCOPED_TRACE(static_cast<std::uint32_t>(first));
    EXPECT_FALSE(utf8::is_printable(first));
    EXPECT_FALSE(utf8::is_printable(last));
    if (first > 0x80 && (i == 0 || ranges[i - 1].last + 1 < first)) {
      EXPECT_TRUE(utf8::is_printable(first - 1));
    }
    if (last < 0x10FFFF && (i + 1 == std::size(ranges) || last + 1 < ranges[i + 1].first)) {
      EXPECT_TRUE(utf8::is_printable(last + 1));
    }
  }
}

}  // namespace
}  // namespace vostrel
