// CSV rows of entry lines, against what Python's json and csv modules made of
// the same lines (each expectation written by Python 3.11), and lines that
// are not whole JSON.
#include "chromium/entry_csv.h"

#include <gtest/gtest.h>

#include <string>

#include "chromium/protobuf.h"

namespace vostrel::chromium {
namespace {

std::string row_of(std::string_view line, std::string_view store = "s") {
  std::string out;
  append_csv_row(out, line, store);
  return out;
}

TEST(EntryCsv, RowsAsPythonWroteThem) {
  const struct { const char* line; const char* row; } cases[] = {
      {R"({"kind": "k", "type": "t", "seq": 1, "state": "live", "origin_file": "f", "offset": 2})",
       "s,k,t,,,,,1,live,f,2,\n"},
      // JSON columns written back as json.dumps does; null and a missing field differ.
      {R"({"kind": "k", "key": "a,b", "value": null, "origin": null})", "s,k,,,,\"\"\"a,b\"\"\",null,,,,,\n"},
      {R"({"value": {"a": 1, "b": [2.50, -0, 1E400, 1e-7], "a": {"x": "\u00e9\n"}}})",
       "s,,,,,,\"{\"\"a\"\": {\"\"x\"\": \"\"\xc3\xa9\\n\"\"}, \"\"b\"\": [2.5, 0, Infinity, 1e-07]}\",,,,,\n"},
      // Escapes resolved: a pair joins, a lone surrogate stays as \udxxx text.
      {R"({"key": "\ud83d\ude00\udc80\/", "error": "x\"y"})", "s,,,,,\"\"\"\xf0\x9f\x98\x80\\udc80/\"\"\",,,,,,\"x\"\"y\"\n"},
      {R"({"origin": "o", "origin_raw": "r\tq", "offset": 18446744073709551615})",
       "s,,,o,r\tq,,,,,,18446744073709551615,\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(row_of(c.line), c.row) << c.line;
  // The store's undecodable bytes as Python's surrogateescape and backslashreplace write them.
  EXPECT_EQ(row_of("{}", "a\xff,b").substr(0, 14), "\"a\\udcff,b\",,,");
}

TEST(EntryCsv, TextThatIsNotJsonKeepsItsCells) {
  // A field that does not read is copied as it stands; the fields before it stay.
  EXPECT_EQ(row_of(R"({"kind": "k", "value": [1, )"), "s,k,,,,,,,,,,\n");
  EXPECT_EQ(row_of(R"({"kind": "k", "key": "\q", "seq": 3})"), "s,k,,,,\"\"\"\\q\"\"\",,3,,,,\n");
  EXPECT_EQ(row_of(""), "s,,,,,,,,,,,\n");
  const std::string deep = "{\"value\": " + std::string(5000, '[') + std::string(5000, ']') + "}";
  EXPECT_EQ(row_of(deep).size(), std::string("s,,,,,,,,,,,\n").size() + 10000);
}

TEST(Protobuf, TypedFormOnlyOfWholeStrictMessages) {
  const struct { std::string bytes; const char* json; } cases[] = {
      {std::string("\x08\x96\x01\x12\x04\x1a\x02hi", 9), R"({"1": 150, "2": {"3": "hi"}})"},
      {std::string("\x0d\x01\x00\x00\x00\x11\x02\x00\x00\x00\x00\x00\x00\x00", 14),
       R"({"1": {"$fixed32": 1}, "2": {"$fixed64": 2}})"},
      {std::string("\x0a\x00\x0a\x02\xff\xfe", 6), R"({"1": ["", {"$bytes": "//4="}]})"},
      {std::string("\x00\x01", 2), nullptr},                              // field number 0
      {std::string("\xf8\xff\xff\xff\x7f\x01", 6), nullptr},              // field number 2^32 - 1
      {std::string("\x08") + std::string(10, '\xff') + "\x01", nullptr},  // an 11-byte varint
      {std::string("\x12\x05" "ab", 4), nullptr},                         // runs past the end
      {std::string(), nullptr},
  };
  ProtobufJson protobuf;
  for (const auto& c : cases) {
    std::string out = "x";
    const bool read = protobuf.append_typed(out, c.bytes).has_value();
    EXPECT_EQ(read, c.json != nullptr) << out;
    EXPECT_EQ(out, c.json != nullptr ? std::string("x") + c.json : "x");
  }
}

}  // namespace
}  // namespace vostrel::chromium
