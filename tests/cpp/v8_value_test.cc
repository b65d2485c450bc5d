// The JSON form of V8/Blink serialized values (blink_value.h): every kind of
// value, shared and cyclic references, the $-forms, and damaged input with the
// reason it fails with. The expected texts are what the Python decoder
// (vostrel.chromium: decode_script_value, to_json, json.dumps) gave for the
// same bytes; the second table's values were written by Chromium into the
// committed test store (tests/data/chromium/IndexedDB).

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "chromium/blink_value.h"
#include "chromium/v8_value.h"

namespace vostrel::chromium {
namespace {

const std::string kHeader("\xff\x0f", 2);  // V8 version 15

std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

const std::vector<std::string> kExternals = {R"({"path": "/b/1", "size": 3})"};

struct Case {
  const char* name;
  std::string data;
  std::size_t externals;  // how many of kExternals the value is given
  bool ok;
  std::string_view expected;  // the JSON, or the reason
};

// Hand-built values: the version header FF 0F (V8 version 15) unless a case
// is about the header.
const Case kCases[] = {
    {"numbers", std::string("\xff""\x0f""A\x07""I\x03""I\xff""\xff""\xff""\xff""\x0f""U\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x01""N\x00""\x00""\x00""\x00""\x00""\x00""\xf8""\x7f""N\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x80""N\x00""\x80""\xe0""7y\xc3""ACN\x00""\x00""\x00""\x00""\x00""\x00""\xf0""\xff""$\x00""\x07""", 63), 0, true,
     "[-2, -2147483648, 1180591620717411303424, {\"$number\": \"NaN\"}, -0.0, 1e+16, {\"$number\": \"-Infinity\"}]"},
    {"strings", std::string("\xff""\x0f""A\x04""\"\x07""a\"b\\\x0a""\x01""\xe9""c\x08""=\xd8""\x00""\xde""\x00""\xd8""x\x00""\x00""c\x06""p\x00""a\x00""d\x00""S\x04""a\xff""b\xe2""$\x00""\x04""", 41), 0, true,
     "[\"a\\\"b\\\\\\n\\u0001\xc3""\xa9""\", \"\xf0""\x9f""\x98""\x80""\\ud800x\", \"pad\", \"a\xef""\xbf""\xbd""b\xef""\xbf""\xbd""\"]"},
    {"singletons", std::string("\xff""\x0f""A\x05""0_TF-$\x00""\x05""", 12), 0, true,
     "[null, {\"$undefined\": true}, true, false, {\"$undefined\": true}]"},
    {"bigints", std::string("\xff""\x0f""A\x04""Z\x11""\xff""\xff""\xff""\xff""\xff""\xff""\xff""\xff""Z\x00""Z\x03""\x00""Z\x10""\xff""\xff""\xff""\xff""\xff""\xff""\xff""\xff""$\x00""\x04""", 32), 0, true,
     "[{\"$bigint\": \"-18446744073709551615\"}, {\"$bigint\": \"0\"}, {\"$bigint\": \"0\"}, {\"$bigint\": \"18446744073709551615\"}]"},
    {"dates", std::string("\xff""\x0f""A\x04""D\x00""\xa0""c!B\xf3""xBD\x00""\x00""\x00""\x00""\x00""\x00""\xf8""\x7f""D\x00""\x80""\xfa""\xca""s\xf9""\x3f""C^\x01""$\x00""\x04""", 36), 0, true,
     "[{\"$date\": \"2024-05-01T12:30:00.250Z\"}, {\"$date\": null, \"ms\": \"NaN\"}, {\"$date\": null, \"ms\": 9000000000000000.0}, {\"$date\": \"2024-05-01T12:30:00.250Z\"}]"},
    {"regexp", std::string("\xff""\x0f""R\"\x03""a.b\xff""\x03""", 10), 0, true,
     "{\"$regexp\": \"a.b\", \"flags\": \"dgimsuvyl\"}"},
    {"regexp before version 12", std::string("\xff""\x0b""R\x03""a.b\x03""", 8), 0, true,
     "{\"$regexp\": \"a.b\", \"flags\": \"gi\"}"},
    {"object keys", std::string("\xff""\x0f""o\"\x01""aI\x02""I\x06""TN\x00""\x00""\x00""\x00""\x00""\x00""\xf8""\x3f""FN@\x8c""\xb5""x\x1d""\xaf""\x15""D0U\x07""_c\x02""k\x00""I\x00""{\x06""", 42), 0, true,
     "{\"a\": 1, \"3\": true, \"1.5\": false, \"100000000000000000000\": null, \"7\": {\"$undefined\": true}, \"k\": 0}"},
    {"key set twice keeps its first place", std::string("\xff""\x0f""o\"\x01""aI\x02""\"\x01""bI\x04""\"\x01""aI\x06""{\x03""", 20), 0, true,
     "{\"a\": 3, \"b\": 2}"},
    {"$object wrapping", std::string("\xff""\x0f""A\x03""o\"\x02""$xT{\x01""o\"\x02""$xT\"\x01""yF{\x02""o\"\x02""x$T{\x01""$\x00""\x03""", 35), 0, true,
     "[{\"$object\": {\"$x\": true}}, {\"$object\": {\"$x\": true, \"y\": false}}, {\"x$\": true}]"},
    {"array with properties", std::string("\xff""\x0f""A\x02""I\x02""-\"\x01""pT\"\x02""$qF$\x02""\x02""", 19), 0, true,
     "{\"$array\": [1, {\"$undefined\": true}], \"properties\": {\"p\": true, \"$q\": false}}"},
    {"sparse array indices", std::string("\xff""\x0f""a\x0a""\"\x03""007Tc\x02""a\x06""F\"\x01""x0\"\x01""7_@\x04""\x0a""", 26), 0, true,
     "{\"$sparse_array\": {\"7\": {\"$undefined\": true}, \"1\": false, \"x\": null}, \"length\": 10}"},
    {"map and set", std::string("\xff""\x0f""A\x02"";\"\x01""kI\x02""o{\x00""T:\x04""'I\x02""\"\x01""s,\x02""$\x00""\x02""", 27), 0, true,
     "[{\"$map\": [[\"k\", 1], [{}, true]]}, {\"$set\": [1, \"s\"]}]"},
    {"buffers and views", std::string("\xff""\x0f""A\x05""B\x04""\x01""\x02""\x03""\x04""B\x08""\xfe""\xff""\x03""\x00""\x00""\x00""\xc0""\x7f""Vw\x00""\x04""\x00""^\x01""V\x3f""\x02""\x02""\x00""B\x08""\xfb""\xff""\xff""\xff""\xff""\xff""\xff""\xff""Vq\x00""\x08""\x00""B\x02""\x00""<Vh\x00""\x02""\x00""$\x00""\x05""", 59), 0, true,
     "[{\"$bytes\": \"AQIDBA==\"}, {\"$typed_array\": \"Int16Array\", \"buffer\": {\"$bytes\": \"/v8DAAAAwH8=\"}, \"byte_offset\": 0, \"byte_length\": 4}, {\"$typed_array\": \"DataView\", \"buffer\": {\"$ref\": \"$/0\"}, \"byte_offset\": 2, \"byte_length\": 2}, {\"$typed_array\": \"BigInt64Array\", \"values\": [\"-5\"]}, {\"$typed_array\": \"Float16Array\", \"values\": [1.0]}]"},
    {"views sharing a buffer", std::string("\xff\x0f" "A\x03" "B\x04\x01\x02\x03\x04" "VB\x00\x02\x00" "^\x01" "V?\x02\x02\x00" "^\x01" "$\x00\x03", 27), 0, true,
     "[{\"$typed_array\": \"Uint8Array\", \"buffer\": {\"$bytes\": \"AQIDBA==\"}, \"byte_offset\": 0, \"byte_length\": 2}, {\"$typed_array\": \"DataView\", \"buffer\": {\"$ref\": \"$/0/buffer\"}, \"byte_offset\": 2, \"byte_length\": 2}, {\"$ref\": \"$/0/buffer\"}]"},
    {"error", std::string("\xff""\x0f""rRm\"\x04""booms\"\x04""at xcI\x02"".", 22), 0, true,
     "{\"$error\": \"RangeError\", \"message\": \"boom\", \"stack\": \"at x\", \"cause\": 1}"},
    {"error with plain data as message", std::string("\xff""\x0f""rmA\x02""I\x02""o\"\x01""a0{\x01""$\x00""\x02"".", 19), 0, true,
     "{\"$error\": \"Error\", \"message\": [1, {\"a\": null}]}"},
    {"error without text", std::string("\xff""\x0f""rc0.", 6), 0, true,
     "{\"$error\": \"Error\", \"message\": null}"},
    {"blobs and files", std::string("\xff""\x0f""A\x05""\\i\x00""\\e\x05""\\L\x02""\x00""\x01""\\b\x04""uuid\x0a""text/plain\x03""^\x02""$\x00""\x05""", 39), 1, true,
     "[{\"$blob\": {\"path\": \"/b/1\", \"size\": 3}}, {\"$file\": {\"index\": 5}}, [{\"$file\": {\"path\": \"/b/1\", \"size\": 3}}, {\"$file\": {\"index\": 1}}], {\"$blob\": {\"uuid\": \"uuid\", \"type\": \"text/plain\", \"size\": 3}}, {\"$ref\": \"$/1\"}]"},
    {"host objects without a host tag before version 13", std::string("\xff""\x0c""A\x02""i\x00""e\x00""$\x00""\x02""", 11), 0, true,
     "[{\"$blob\": {\"index\": 0}}, {\"$file\": {\"index\": 0}}]"},
    {"wrapper objects", std::string("\xff""\x0f""A\x07""n\x00""\x00""\x00""\x00""\x00""\x00""\x04""@^\x01""yxz\x02""\x05""s\"\x01""w^\x05""$\x00""\x07""", 29), 0, true,
     "[2.5, 2.5, true, false, {\"$bigint\": \"5\"}, \"w\", \"w\"]"},
    {"shared and cyclic", std::string("\xff""\x0f""o\"\x01""ao\"\x04""self^\x01""{\x01""\"\x01""b^\x01""\"\x01""m;\"\x01""k^\x01"":\x02""{\x03""", 35), 0, true,
     "{\"a\": {\"self\": {\"$ref\": \"$/a\"}}, \"b\": {\"$ref\": \"$/a\"}, \"m\": {\"$map\": [[\"k\", {\"$ref\": \"$/a\"}]]}}"},
    {"key with a slash is one escaped step", std::string("\xff\x0f" "o" "\"\x03" "a/b" "o\"\x01" "sI\x02" "{\x01"
                                                         "\"\x01" "a" "o\"\x01" "b" "o\"\x01" "tI\x04" "{\x01" "{\x01"
                                                         "\"\x01" "x^\x01" "\"\x01" "~" "o{\x00" "\"\x01" "y^\x04" "{\x05", 51), 0, true,
     "{\"a/b\": {\"s\": 1}, \"a\": {\"b\": {\"t\": 2}}, \"x\": {\"$ref\": \"$/a~1b\"}, \"~\": {}, \"y\": {\"$ref\": \"$/~0\"}}"},
    {"Date past JSON's numbers", std::string("\xff""\x0f""D\x00""\x00""\x00""\x00""\x00""\x00""\xf0""\x7f""", 11), 0, true,
     "{\"$date\": null, \"ms\": \"Infinity\"}"},
    {"array with properties refers to itself", std::string("\xff""\x0f""A\x02""I\x02""A\x01""^\x00""$\x00""\x01""\"\x01""pT$\x01""\x02""", 20), 0, true,
     "{\"$array\": [1, [[1, {\"$ref\": \"$/1\"}]]], \"properties\": {\"p\": true}}"},
    {"replaced value met again", std::string("\xff""\x0f""o\"\x01""ao\"\x01""xI\x02""{\x01""\"\x01""aT\"\x01""b^\x01""{\x03""", 25), 0, true,
     "{\"a\": true, \"b\": {\"x\": 1}}"},
    {"envelope with trailer", std::string("\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x0f""\"\x01""v", 20), 0, true,
     "\"v\""},
    {"shared header before version 16", std::string("\xff""\x0f""\"\x01""v", 5), 0, true,
     "\"v\""},
    {"many keys, one set twice", std::string("\xff""\x0f""o\"\x02""k0I\x00""\"\x02""k1I\x02""\"\x02""k2I\x04""\"\x02""k3I\x06""\"\x02""k4I\x08""\"\x02""k5I\x0a""\"\x02""k6I\x0c""\"\x02""k7I\x0e""\"\x02""k8I\x10""\"\x02""k9I\x12""\"\x03""k10I\x14""\"\x03""k11I\x16""\"\x03""k12I\x18""\"\x03""k13I\x1a""\"\x03""k14I\x1c""\"\x03""k15I\x1e""\"\x03""k16I \"\x03""k17I\"\"\x03""k18I$\"\x03""k19I&\"\x02""k3T{\x15""", 140), 0, true,
     "{\"k0\": 0, \"k1\": 1, \"k2\": 2, \"k3\": true, \"k4\": 4, \"k5\": 5, \"k6\": 6, \"k7\": 7, \"k8\": 8, \"k9\": 9, \"k10\": 10, \"k11\": 11, \"k12\": 12, \"k13\": 13, \"k14\": 14, \"k15\": 15, \"k16\": 16, \"k17\": 17, \"k18\": 18, \"k19\": 19}"},
    {"nesting at the limit", kHeader + repeat("A\x01", 200) + std::string("0", 1) + repeat(std::string("$\0\x01", 3), 200), 0, true,
     "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[null]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"},
    {"empty", std::string("", 0), 0, false,
     "data ends where a value should begin"},
    {"header only", std::string("\xff""\x0f""", 2), 0, false,
     "data ends where a value should begin"},
    {"varint cut short", std::string("\xff""\x0f""I\x80""", 4), 0, false,
     "data ends inside a varint"},
    {"varint too long", std::string("\xff""\x0f""U\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x01""", 15), 0, false,
     "varint too long"},
    {"unknown tag", std::string("\xff""\x0f""Q", 3), 0, false,
     "unknown tag 0x51 at byte 2"},
    {"second version header", std::string("\xff""\x0f""\xff""\x0f""", 4), 0, false,
     "a second version header inside the value"},
    {"unknown reference", std::string("\xff""\x0f""^\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x80""\x02""", 13), 0, false,
     "reference to unknown object 18446744073709551616"},
    {"string past the end", std::string("\xff""\x0f""\"\x05""ab", 6), 0, false,
     "data ends inside a string"},
    {"odd two-byte string", std::string("\xff""\x0f""c\x03""abc", 7), 0, false,
     "bad two-byte string"},
    {"double cut short", std::string("\xff""\x0f""N\x00""\x00""", 5), 0, false,
     "data ends inside a double"},
    {"dense array longer than its data", std::string("\xff""\x0f""A\x09""\x00""", 5), 0, false,
     "dense array longer than its data"},
    {"object count mismatch", std::string("\xff""\x0f""o\"\x01""aT{\x02""", 9), 0, false,
     "object property count does not match"},
    {"object never ends", std::string("\xff""\x0f""o\"\x01""aT", 7), 0, false,
     "data ends inside an object"},
    {"key neither string nor number", std::string("\xff""\x0f""oTT{\x01""", 7), 0, false,
     "property key is neither a string nor a number"},
    {"nested too deeply", kHeader + repeat("A\x01", 201) + std::string("0", 1) + repeat(std::string("$\0\x01", 3), 201), 0, false,
     "values nested too deeply"},
    {"string objects nested without end", kHeader + std::string(600, 's') + "\"\x01x", 0, false,
     "value nested too deeply"},
    {"sparse key of other digits", std::string("\xff""\x0f""a\x01""\"\x01""\xb2""T@\x01""\x01""", 11), 0, false,
     "invalid literal for int() with base 10: '\xc2""\xb2""'"},
    {"view outside its buffer", std::string("\xff""\x0f""B\x02""\x00""\x00""Vd\x00""\x04""\x00""", 11), 0, false,
     "view lies outside its buffer"},
    {"unknown view type", std::string("\xff""\x0f""B\x02""\x00""\x00""Vk\x00""\x02""\x00""", 11), 0, false,
     "unknown view type 0x6b"},
    {"unknown Error field", std::string("\xff""\x0f""rX.", 5), 0, false,
     "unknown Error field 0x58"},
    {"RegExp source not a string", std::string("\xff""\x0f""RI\x02""\x00""", 6), 0, false,
     "RegExp source is not a string"},
    {"unsupported Blink object", std::string("\xff""\x0f""\\\"", 4), 0, false,
     "unsupported Blink object '\"'"},
    {"host object cut short", std::string("\xff""\x0f""\\", 3), 0, false,
     "data ends inside a host object"},
    {"FileList longer than its data", std::string("\xff""\x0f""\\L\x05""\x00""", 6), 0, false,
     "FileList longer than its data"},
    {"envelope without its trailer offset", std::string("\xff""\x15""\xff""\x0f""", 4), 0, false,
     "Blink envelope without its trailer offset"},
    {"no version tag", std::string("\x00""\x00""\"\x01""a", 5), 0, false,
     "not a serialized value: no version tag"},
    {"envelope cut short", std::string("\xff""\x15""\xfe""\x00""", 4), 0, false,
     "data ends inside Blink's envelope"},
};

TEST(ScriptValue, MatchesThePythonForm) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::span<const std::string> externals(kExternals.data(), c.externals);
    // Twice: the reader's reused tables must not carry anything over.
    for (int round = 0; round < 2; ++round) {
      std::string out = "before|";
      auto result = append_script_value(out, c.data, externals);
      ASSERT_EQ(result.has_value(), c.ok) << (result ? out : result.error());
      if (c.ok) {
        EXPECT_EQ(out, "before|" + std::string(c.expected));
      } else {
        EXPECT_EQ(result.error(), c.expected);
        EXPECT_EQ(out, "before|");  // rolled back
      }
    }
  }
}

struct RealValue {
  const char* data;
  std::size_t size;
  bool has_externals;
  std::string_view expected;
};

const std::vector<std::string> kStoreExternals = {
    R"({"object_type": "blob", "size": 10})", R"({"object_type": "file", "name": "note.txt"})"};

const RealValue kRealValues[] = {
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""0", 18, false, "null"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""_", 18, false, "{\"$undefined\": true}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""T", 18, false, "true"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""F", 18, false, "false"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""IT", 19, false, "42"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""I\x0d""", 19, false, "-7"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""N\x00""\x00""\x00""\x00""\x00""\x00""\x0a""@", 26, false, "3.25"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""N\x00""\x00""\x00""\x00""\x00""\x00""pB", 26, false, "1099511627776.0"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""N\x00""\x00""\x00""\x00""\x00""\x00""\xf8""\x7f""", 26, false, "{\"$number\": \"NaN\"}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""N\x00""\x00""\x00""\x00""\x00""\x00""\xf0""\xff""", 26, false, "{\"$number\": \"-Infinity\"}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\"\x0c""caf\xe9"" au lait", 31, false, "\"caf\xc3""\xa9"" au lait\""},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\x00""c\x16""\x3f""\x04""@\x04""8\x04""2\x04""5\x04""B\x04"" \x00""\x13""' \x00""=\xd8""\x00""\xde""", 42, false, "\"\xd0""\xbf""\xd1""\x80""\xd0""\xb8""\xd0""\xb2""\xd0""\xb5""\xd1""\x82"" \xe2""\x9c""\x93"" \xf0""\x9f""\x98""\x80""\""},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\"\x00""", 19, false, "\"\""},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""oI\x0e""\"\x05""seven\"\x04""kind\"\x04""note\"\x04""text\"\x05""hello\"\x01""nI\x02""\"\x06""nestedo\"\x04""deepA\x02""I\x02""\"\x03""two$\x00""\x02""{\x01""{\x05""", 88, false, "{\"7\": \"seven\", \"kind\": \"note\", \"text\": \"hello\", \"n\": 1, \"nested\": {\"deep\": [1, \"two\"]}}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""A\x05""I\x02""\"\x03""two0_o\"\x05""threeI\x06""{\x01""$\x00""\x05""", 43, false, "[1, \"two\", null, {\"$undefined\": true}, {\"three\": 3}]"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""A\x02""I\x02""I\x04""\"\x05""label\"\x15""dense with a property$\x01""\x02""", 56, false, "{\"$array\": [1, 2], \"properties\": {\"label\": \"dense with a property\"}}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""a3I\x00""I\x02""Id\"\x03""far\"\x05""extra\"\x04""prop@\x03""3", 46, false, "{\"$sparse_array\": {\"0\": 1, \"50\": \"far\", \"extra\": \"prop\"}, \"length\": 51}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""D\x00""\xe0""\xfa""\x87""M\xdf""xB", 26, false, "{\"$date\": \"2024-02-29T12:30:45.678Z\"}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""D\x00""\x00""\x00""\x00""\x00""\x00""\xf8""\x7f""", 26, false, "{\"$date\": null, \"ms\": \"NaN\"}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""R\"\x07""ab+c\\/d\x13""", 28, false, "{\"$regexp\": \"ab+c\\\\/d\", \"flags\": \"giu\"}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10"";\"\x01""kI\x02""I\x04""\"\x01""vo\"\x01""oI\x02""{\x01""A\x01""T$\x00""\x01"":\x06""", 44, false, "{\"$map\": [[\"k\", 1], [2, \"v\"], [{\"o\": 1}, [true]]]}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""'I\x02""\"\x01""a0,\x03""", 26, false, "{\"$set\": [1, \"a\", null]}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""B\x08""\x01""\x02""\x03""\x04""\x05""\x06""\x07""\x08""", 27, false, "{\"$bytes\": \"AQIDBAUGBwg=\"}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x02""u8B\x03""\x00""\x7f""\xff""VB\x00""\x03""\x00""\"\x03""i16B\x04""\xfe""\xff"",\x01""Vw\x00""\x04""\x00""\"\x03""f64B\x10""\x00""\x00""\x00""\x00""\x00""\x00""\xf8""\x3f""\x00""\x00""\x00""\x00""\x00""\x00""\xd0""\xbf""VF\x00""\x10""\x00""\"\x03""u32B\x04""\x00""(k\xee""VD\x00""\x04""\x00""\"\x05""big64B\x10""\xfb""\xff""\xff""\xff""\xff""\xff""\xff""\xff""\x01""\x00""\x00""\x00""\x00""\x00"" \x00""Vq\x00""\x10""\x00""\"\x04""viewB\x08""\x01""\x02""\x03""\x04""\x05""\x06""\x07""\x08""VB\x02""\x03""\x00""\"\x02""dv^\x0b""V\x3f""\x04""\x04""\x00""{\x07""", 156, false, "{\"u8\": {\"$typed_array\": \"Uint8Array\", \"values\": [0, 127, 255]}, \"i16\": {\"$typed_array\": \"Int16Array\", \"values\": [-2, 300]}, \"f64\": {\"$typed_array\": \"Float64Array\", \"values\": [1.5, -0.25]}, \"u32\": {\"$typed_array\": \"Uint32Array\", \"values\": [4000000000]}, \"big64\": {\"$typed_array\": \"BigInt64Array\", \"values\": [\"-5\", \"9007199254740993\"]}, \"view\": {\"$typed_array\": \"Uint8Array\", \"buffer\": {\"$bytes\": \"AQIDBAUGBwg=\"}, \"byte_offset\": 2, \"byte_length\": 3}, \"dv\": {\"$typed_array\": \"DataView\", \"buffer\": {\"$ref\": \"$/view/buffer\"}, \"byte_offset\": 4, \"byte_length\": 4}}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x03""posZ \xcb""DBqvN\xb6""B\x9d""\x02""\x00""\x00""\x00""\x00""\x00""\x00""\"\x03""negZ\x11""*\x00""\x00""\x00""\x00""\x00""\x00""\x00""\"\x04""zeroZ\x00""{\x03""", 66, false, "{\"pos\": {\"$bigint\": \"12345678901234567890123\"}, \"neg\": {\"$bigint\": \"-42\"}, \"zero\": {\"$bigint\": \"0\"}}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x01""bx\"\x01""nn\x00""\x00""\x00""\x00""\x00""\x00""\x04""@\"\x01""ss\"\x05""boxed{\x03""", 47, false, "{\"b\": false, \"n\": 2.5, \"s\": \"boxed\"}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x01""ao\"\x06""sharedT{\x01""\"\x01""b^\x01""\"\x04""listA\x01""^\x01""$\x00""\x01""{\x03""", 53, false, "{\"a\": {\"shared\": true}, \"b\": {\"$ref\": \"$/a\"}, \"list\": [{\"$ref\": \"$/a\"}]}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x04""name\"\x05""cycle\"\x04""self^\x00""{\x02""", 41, false, "{\"name\": \"cycle\", \"self\": {\"$ref\": \"$\"}}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""rRm\"\x0c""out of ranges\"DRangeError: out of range\x0a""    at main (http://127.0.0.1:8765/:151:24).", 106, false, "{\"$error\": \"RangeError\", \"message\": \"out of range\", \"stack\": \"RangeError: out of range\\n    at main (http://127.0.0.1:8765/:151:24)\"}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x05""$date\"\x0a""not a date{\x01""", 39, false, "{\"$object\": {\"$date\": \"not a date\"}}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x14""\x00""\x00""\x00""\x06""\xff""\x10""\\i\x00""\xa0""\x00""\x00""\x00""\x01""i", 26, true, "{\"$blob\": {\"object_type\": \"blob\", \"size\": 10}}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x14""\x00""\x00""\x00""\x06""\xff""\x10""\\e\x00""\xa0""\x00""\x00""\x00""\x01""e", 26, true, "{\"$file\": {\"object_type\": \"blob\", \"size\": 10}}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\"\x08""date key", 27, false, "\"date key\""},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\"\x0a""binary key", 29, false, "\"binary key\""},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\"\x09""array key", 28, false, "\"array key\""},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\"\x13""negative number key", 38, false, "\"negative number key\""},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\"\x0c""two-byte key", 31, false, "\"two-byte key\""},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x04""kind\"\x04""note\"\x01""vI\x02""{\x02""", 37, false, "{\"kind\": \"note\", \"v\": 1}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x04""kind\"\x04""note\"\x01""vI\x04""{\x02""", 37, false, "{\"kind\": \"note\", \"v\": 2}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\"\x0b""short-lived", 30, false, "\"short-lived\""},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x04""name\"\x03""Ada\"\x04""bornD\x00""\x00"" H\xd6""\xaf""\x91""\xc2""{\x02""", 46, false, "{\"name\": \"Ada\", \"born\": {\"$date\": \"1815-12-10T00:00:00.000Z\"}}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x04""name\"\x05""Grace{\x01""", 33, false, "{\"name\": \"Grace\"}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""o\"\x04""kind\"\x04""note\"\x01""vI\x06""{\x02""", 37, false, "{\"kind\": \"note\", \"v\": 3}"},
    {"\xff""\x15""\xfe""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\x00""\xff""\x10""\"\x1d""written in the second session", 48, false, "\"written in the second session\""},
};

TEST(ScriptValue, RealValuesWrittenByChromium) {
  for (const RealValue& v : kRealValues) {
    std::string_view data(v.data, v.size);
    std::span<const std::string> externals;
    if (v.has_externals) externals = kStoreExternals;
    std::string out;
    auto result = append_script_value(out, data, externals);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(out, v.expected);
  }
}

// Every prefix of a real value fails cleanly (or, for a prefix that happens
// to be complete, succeeds) and never leaves a partial value in out.
TEST(ScriptValue, TruncatedValuesRollBack) {
  for (const RealValue& v : kRealValues) {
    for (std::size_t size = 0; size < v.size; ++size) {
      std::string out = "x";
      auto result = append_script_value(out, std::string_view(v.data, size), {});
      if (!result) {
        EXPECT_EQ(out, "x");
      }
    }
  }
}

// A sink takes each value in place of its JSON (the integer views' values
// then only counted): a value must fail exactly where it fails without one.
// Here a 64 KiB Uint8Array (320 KiB of text) and m references to an object
// nested 100 deep under 200-byte keys (20 KiB of path each): the first m
// whose JSON passes the size bound fails with the sink too, one fewer not.
class MarkSink final : public ScriptValueSink {
 public:
  void take(v8::Reader&, std::string& out) override { out += "#"; }
};

void append_varint(std::string& out, std::size_t value) {
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<char>(0x80 | (value & 0x7F)));
  out.push_back(static_cast<char>(value));
}

std::string references_value(std::size_t refs) {
  const std::string key(200, 'k');
  std::string data = kHeader + "o\"\x01""d";
  for (int i = 0; i < 100; ++i) {
    data += "o\"";
    append_varint(data, key.size());
    data += key;
  }
  data += "o{";
  data.push_back('\0');
  for (int i = 0; i < 100; ++i) data += "{\x01";
  data += "\"\x01uB";
  append_varint(data, 65536);
  data += std::string(65536, '\xff') + "VB";
  data.push_back('\0');
  append_varint(data, 65536);
  data.push_back('\0');
  data += "\"\x01rA";
  append_varint(data, refs);
  for (std::size_t i = 0; i < refs; ++i) data += "^d";  // object 100, 100 steps down
  data += "$";
  data.push_back('\0');
  append_varint(data, refs);
  data += "{\x03";
  return data;
}

bool written(std::size_t refs, bool with_sink) {
  MarkSink sink;
  ScriptValueSink* previous = set_script_value_sink(with_sink ? &sink : nullptr);
  std::string out;
  const auto result = append_script_value(out, references_value(refs), {});
  set_script_value_sink(previous);
  if (!result) {
    EXPECT_EQ(result.error(), "value too large to write");
  } else if (with_sink) {
    EXPECT_EQ(out, "#");
  }
  return result.has_value();
}

TEST(ScriptValue, ASinkSeesTheVerdictTheJsonGets) {
  std::size_t fits = 0, fails = 1000;  // fails without the sink, fits with
  ASSERT_TRUE(written(fits, false));
  ASSERT_FALSE(written(fails, false));
  while (fails - fits > 1) {
    const std::size_t middle = (fits + fails) / 2;
    (written(middle, false) ? fits : fails) = middle;
  }
  EXPECT_TRUE(written(fits, true));
  EXPECT_FALSE(written(fails, true));
}

}  // namespace
}  // namespace vostrel::chromium
