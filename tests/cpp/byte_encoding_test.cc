// The byte encodings and the UTF-8 rules under them, against answers taken from
// Python 3.11 (bytes.decode, str.isprintable, vostrel.encodings, json, base64).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "export/byte_encoding.h"
#include "test_support.h"
#include "base/utf8.h"

namespace vostrel {
namespace {

using testing::hex;

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

TEST(ByteEncoding, EscapedTextInEachQuoting) {
  struct Case {
    std::string bytes;
    std::string plain;  // vostrel.encodings.escape
    std::string json;   // ... inside json.encoder.encode_basestring
    std::string csv;    // ... inside a quoted CSV field
  };
  const Case cases[] = {
      {"plain text", "plain text", "plain text", "plain text"},
      {R"(a\b)", R"(a\\b)", R"(a\\\\b)", R"(a\\b)"},
      {R"(say "hi")", R"(say "hi")", R"(say \"hi\")", R"(say ""hi"")"},
      {hex("00 1f 7f 0a"), R"(\x00\x1f\x7f\x0a)", R"(\\x00\\x1f\\x7f\\x0a)", R"(\x00\x1f\x7f\x0a)"},
      {hex("63 61 66 c3 a9"), "caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
      // zero-width space, line separator, no-break space: valid but not printable
      {hex("e2 80 8b e2 80 a8 c2 a0"), R"(\xe2\x80\x8b\xe2\x80\xa8\xc2\xa0)",
       R"(\\xe2\\x80\\x8b\\xe2\\x80\\xa8\\xc2\\xa0)", R"(\xe2\x80\x8b\xe2\x80\xa8\xc2\xa0)"},
      {hex("ff e2 82 41"), R"(\xff\xe2\x82A)", R"(\\xff\\xe2\\x82A)", R"(\xff\xe2\x82A)"},
      {hex("ed a0 80"), R"(\xed\xa0\x80)", R"(\\xed\\xa0\\x80)", R"(\xed\xa0\x80)"},
      {hex("f0 9f 98 80"), hex("f0 9f 98 80"), hex("f0 9f 98 80"), hex("f0 9f 98 80")},
      {R"(\x41)", R"(\\x41)", R"(\\\\x41)", R"(\\x41)"},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode(c.bytes, ByteEncoding::Escaped), c.plain) << c.plain;
    EXPECT_EQ(encode(c.bytes, ByteEncoding::Escaped, FieldQuoting::Json), c.json) << c.plain;
    EXPECT_EQ(encode(c.bytes, ByteEncoding::Escaped, FieldQuoting::CsvQuoted), c.csv) << c.plain;
  }
}

TEST(ByteEncoding, EscapedRunsOfTextAroundEveryKindOfByte) {
  // Text is copied eight bytes at a time, and any eight holding a byte that
  // is not plain ASCII go one character at a time: every such byte (and a
  // multi-byte character straddling an eight-byte boundary) at every position
  // of a run must come out as it does alone. Pieces shorter than eight bytes
  // take the one-character path, so they are the reference.
  const std::string specials[] = {hex("00"), hex("1f"), hex("7f"), hex("80"), hex("ff"), "\\", "\"",
                                  " ", "~", hex("c3 a9"), hex("e2 80 8b"), hex("f0 9f 98 80"), hex("e2 82")};
  const std::string text = "0123456789abcdefghijklmnopqrstuv";
  for (const auto quoting : {FieldQuoting::None, FieldQuoting::Json, FieldQuoting::CsvQuoted}) {
    for (const auto& special : specials) {
      for (std::size_t at = 0; at <= 17; ++at) {
        const std::string before = text.substr(0, at);
        const std::string after = text.substr(0, 7) + text.substr(0, 7) + text.substr(0, 5);
        std::string expected;
        for (std::size_t i = 0; i < before.size(); i += 7) expected += encode(before.substr(i, 7), ByteEncoding::Escaped, quoting);
        expected += encode(special, ByteEncoding::Escaped, quoting);
        for (std::size_t i = 0; i < after.size(); i += 7) expected += encode(after.substr(i, 7), ByteEncoding::Escaped, quoting);
        EXPECT_EQ(encode(before + special + after, ByteEncoding::Escaped, quoting), expected)
            << encode(special, ByteEncoding::Hex) << " at " << at;
      }
    }
  }
}

TEST(ByteEncoding, PiecesCutAtSplitPointsEncodeLikeTheWhole) {
  // Valid characters of every length, invalid sequences and escapes.
  const std::string bytes = "a\\\"" + hex("c3 a9 e2 82 ac f0 9f 98 80 e2 80 8b ff e2 82 41 80 80 80 80 f4 8f bf bf 0a");
  for (const auto encoding : {ByteEncoding::Escaped, ByteEncoding::Hex, ByteEncoding::Base64}) {
    for (const auto quoting : {FieldQuoting::None, FieldQuoting::Json, FieldQuoting::CsvQuoted}) {
      const std::string whole = encode(bytes, encoding, quoting);
      for (std::size_t at = 4; at < bytes.size(); ++at) {
        const std::size_t cut = encoding_split_point(bytes, at, encoding);
        ASSERT_LE(cut, at);
        ASSERT_GE(cut + 3, at);
        EXPECT_EQ(encode(bytes.substr(0, cut), encoding, quoting) + encode(bytes.substr(cut), encoding, quoting),
                  whole)
            << "at " << at;
      }
    }
  }
}

// Text only C++ can hand over (Python's str is always valid UTF-8): raw bytes
// that are not UTF-8 are written as \xNN, so no text holds them; positions
// count characters, not bytes.
TEST(ByteEncoding, DecodeEscapedRefusesRawBytesThatAreNotText) {
  EXPECT_EQ(decode_escaped(hex("ff")).error(), "not escaped text: a character written as \\xNN at position 0");
  EXPECT_EQ(decode_escaped(hex("c3 a9 e2 82")).error(), "not escaped text: a character written as \\xNN at position 1");
  EXPECT_EQ(decode_escaped(hex("c3 a9") + "\\xff\\\\").value(), hex("c3 a9 ff 5c"));
}

}  // namespace
}  // namespace vostrel
