// The byte encodings and the inverse of the escaped one, against answers
// taken from Python 3.11 (vostrel.encodings, json, base64).

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
  // Text is copied sixteen or eight bytes at a time, and any eight holding a byte that
  // is not plain ASCII go one character at a time: every such byte (and a
  // multi-byte character straddling an eight-byte boundary) at every position
  // of a run must come out as it does alone. Pieces shorter than eight bytes
  // take the one-character path, so they are the reference.
  const std::string specials[] = {hex("00"), hex("1f"), hex("7f"), hex("80"), hex("ff"), "\\", "\"",
                                  " ", "~", hex("c3 a9"), hex("e2 80 8b"), hex("f0 9f 98 80"), hex("e2 82")};
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
  for (const auto quoting : {FieldQuoting::None, FieldQuoting::Json, FieldQuoting::CsvQuoted}) {
    for (const auto& special : specials) {
      for (std::size_t at = 0; at <= 33; ++at) {
        const std::string before = text.substr(0, at);
        const std::string after = text.substr(0, 7) + text.substr(0, 7) + text.substr(0, 7) + text.substr(0, 5);
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
