// The JSON writer against what Python's json.dumps(ensure_ascii=False) wrote,
// encoded with errors="backslashreplace" (each expectation was produced by
// Python itself).
#include "export/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace vostrel::json {
namespace {

template <class F>
std::string written(F f) {
  std::string out = "prefix:";
  f(out);
  EXPECT_EQ(out.substr(0, 7), "prefix:");  // appends, never replaces
  return out.substr(7);
}

TEST(JsonText, DoublesAsPythonRepr) {
  const struct { double value; const char* text; } cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {0.1, "0.1"}, {100.0, "100.0"}, {-2.5, "-2.5"},
      {1e16, "1e+16"}, {1e15, "1000000000000000.0"}, {9999999999999998.0, "9999999999999998.0"},
      {1.2345678901234568e+17, "1.2345678901234568e+17"}, {1e-4, "0.0001"}, {1e-5, "1e-05"},
      {1.5e-5, "1.5e-05"}, {0.001234, "0.001234"}, {5e-324, "5e-324"}, {1e22, "1e+22"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(written([&](std::string& o) { append_double(o, c.value); }), c.text) << c.value;
  }
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(written([&](std::string& o) { append_number(o, std::nan("")); }), R"({"$number": "NaN"})");
  EXPECT_EQ(written([&](std::string& o) { append_number(o, -inf); }), R"({"$number": "-Infinity"})");
}

TEST(JsonText, StringsPerCodec) {
  // Escapes, and bytes 0x7f and above left alone.
  EXPECT_EQ(written([](std::string& o) { append_text(o, "tab\tquote\"back\\slash\x01\x1f\x7f"); }),
            "\"tab\\tquote\\\"back\\\\slash\\u0001\\u001f\x7f\"");
  const std::string mixed = "bad\xff\xc3(\xed\xa0\x80" "end";
  EXPECT_EQ(written([&](std::string& o) { append_utf8_replace(o, mixed); }),
            "\"bad\xef\xbf\xbd\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd" "end\"");
  EXPECT_EQ(written([&](std::string& o) { append_utf8_surrogateescape(o, mixed); }),
            R"("bad\udcff\udcc3(\udced\udca0\udc80end")");
  EXPECT_EQ(written([](std::string& o) { append_utf8_surrogateescape(o, "caf\xc3\xa9 \xf0\x9f\x98\x80"); }),
            "\"caf\xc3\xa9 \xf0\x9f\x98\x80\"");
  EXPECT_EQ(written([](std::string& o) { append_latin1(o, std::string("\xe9\0\xff\"", 4)); }),
            "\"\xc3\xa9\\u0000\xc3\xbf\\\"\"");
  const struct { std::string bytes; const char* text; } utf16[] = {
      {std::string("h\0i\0", 4), "\"hi\""},
      {std::string("=\xd8\x00\xde", 4), "\"\xf0\x9f\x98\x80\""},          // a pair joins
      {std::string("=\xd8" "a\0", 4), R"("\ud83da")"},     // a high surrogate alone
      {std::string("\x00\xdc=\xd8", 4), R"("\udc00\ud83d")"},              // low before high: both alone
      {std::string("\n\0\xe9\0", 4), "\"\\n\xc3\xa9\""},
  };
  for (const auto& c : utf16) {
    EXPECT_EQ(written([&](std::string& o) { append_utf16(o, c.bytes, false); }), c.text);
    std::string swapped = c.bytes;
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    EXPECT_EQ(written([&](std::string& o) { append_utf16(o, swapped, true); }), c.text);
  }
}

TEST(JsonText, TimesAndJavaScriptDates) {
  const struct { double ms; const char* text; } dates[] = {
      {0.0, R"({"$date": "1970-01-01T00:00:00.000Z"})"},
      {1714566600250.0, R"({"$date": "2024-05-01T12:30:00.250Z"})"},
      {-1.0, R"({"$date": "1969-12-31T23:59:59.999Z"})"},
      {-62135596800000.0, R"({"$date": "0001-01-01T00:00:00.000Z"})"},
      {253402300799999.0, R"({"$date": "9999-12-31T23:59:59.999Z"})"},
      {253402300800000.0, R"({"$date": null, "ms": 253402300800000.0})"},  // past year 9999
      {-62135596800001.0, R"({"$date": null, "ms": -62135596800001.0})"},  // before year 1
      {8.64e15, R"({"$date": null, "ms": 8640000000000000.0})"},
      {8.7e15, R"({"$date": null, "ms": 8700000000000000.0})"},  // past JavaScript's range
      {-INFINITY, R"({"$date": null, "ms": "-Infinity"})"},
      {std::nan(""), R"({"$date": null, "ms": "NaN"})"},
  };
  for (const auto& c : dates) {
    EXPECT_EQ(written([&](std::string& o) { append_js_date(o, c.ms); }), c.text) << c.ms;
  }
  // Fractions of a millisecond round as timedelta(milliseconds=ms) does.
  const struct { double ms; std::int64_t micros; } rounding[] = {
      {0.0015, 2}, {0.0025, 2}, {0.0035, 4}, {0.0005, 0}, {-0.0005, 0}, {1.0005, 1000}, {123.4567, 123457},
  };
  for (const auto& c : rounding) {
    std::int64_t micros = -1;
    ASSERT_TRUE(js_time_to_unix_microseconds(c.ms, micros));
    EXPECT_EQ(micros, c.micros) << c.ms;
  }
  EXPECT_FALSE(written([](std::string& o) { EXPECT_FALSE(append_utc_time(o, -62135596800000001)); }).size());
}

}  // namespace
}  // namespace vostrel::json

namespace vostrel::json {
namespace {

// Long text is passed over sixteen and then eight bytes at a time: each byte
// value, at each place of a block (and across two), is written as it is
// alone; so is a character of two to four bytes that straddles a block.
TEST(JsonText, EveryByteAtEveryPlaceOfLongText) {
  using Writer = void (*)(std::string&, std::string_view);
  const auto check = [](Writer write, const std::string& alone, const char* name) {
    std::string escaped;
    write(escaped, alone);
    escaped = escaped.substr(1, escaped.size() - 2);
    for (std::size_t at = 0; at < 40; ++at) {
      const std::string text = std::string(at, 'a') + alone + std::string(40 - at, 'b');
      std::string out;
      write(out, text);
      std::string expected(1, '"');
      expected.append(at, 'a').append(escaped).append(40 - at, 'b').push_back('"');
      EXPECT_EQ(out, expected) << name << " " << testing::PrintToString(alone) << " at " << at;
    }
  };
  for (int byte = 0; byte < 256; ++byte) {
    const std::string alone(1, static_cast<char>(byte));
    check(append_utf8_replace, alone, "utf8_replace");
    check(append_latin1, alone, "latin1");
    if (byte < 0x80) check(append_text, alone, "text");
  }
  for (const std::string alone : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xe2\x82"}) {
    check(append_utf8_replace, alone, "utf8_replace");
    check(append_utf8_surrogateescape, alone, "surrogateescape");
  }
}

}  // namespace
}  // namespace vostrel::json
