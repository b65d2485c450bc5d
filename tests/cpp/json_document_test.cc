// JSON text kept as a value: what is taken as one JSON document, and the
// form it is copied in.

#include <gtest/gtest.h>

#include <string>

#include "chromium/json_document.h"
#include "test_support.h"

namespace vostrel::chromium {
namespace {

TEST(JsonDocument, CopiesDocumentsInTheEntryForm) {
  struct Case {
    std::string text;
    std::string copy;
  };
  const Case cases[] = {
      {"1", "1"},
      {" -0.5e+3 ", "-0.5e+3"},
      {"\"caf\xc3\xa9 \\u00e9 \\/\"", "\"caf\xc3\xa9 \\u00e9 \\/\""},
      {"{\n \"a\" : [1,true , null,false], \"b\":{}}", "{\"a\": [1, true, null, false], \"b\": {}}"},
      {"[[],[[]]]", "[[], [[]]]"},
      // An object led by a "$" key takes the entries' wrapper, at any depth.
      {"{\"$ref\":1}", "{\"$object\": {\"$ref\": 1}}"},
      {"[{ \"\\u0024x\" :{\"$\":{}}}]", "[{\"$object\": {\"\\u0024x\": {\"$object\": {\"$\": {}}}}}]"},
      {"{\"a\":1,\"$b\":2}", "{\"a\": 1, \"$b\": 2}"},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    EXPECT_TRUE(append_json_document(out, c.text)) << c.text;
    EXPECT_EQ(out, "x" + c.copy) << c.text;
  }
}

TEST(JsonDocument, RefusesAnythingElseLeavingTheOutputAsItWas) {
  const std::string refused[] = {
      "", " ", "01", "1.", ".5", "-", "1e", "+1", "tru", "nul", "True", "NaN", "'a'", "\"a", "\"\t\"",
      "\"\\x\"", "\"\\u12\"", "\"\xff\"", "\"\xed\xa0\x80\"", "[1,]", "[1 2]", "{\"a\"}", "{\"a\":}", "{1:2}",
      "{\"a\":1,}", "[", "]", "[}", "{]", "1 2", "[]]", "{}x", std::string("1\0", 2), "{not json",
  };
  for (const std::string& text : refused) {
    std::string out = "kept";
    EXPECT_FALSE(append_json_document(out, text)) << testing::hex(text);
    EXPECT_EQ(out, "kept");
  }
}

TEST(JsonDocument, DeepNestingNeedsNoRecursion) {
  const std::size_t depth = 200000;
  const std::string text = std::string(depth, '[') + std::string(depth, ']');
  std::string out;
  EXPECT_TRUE(append_json_document(out, text));
  EXPECT_EQ(out, text);
  EXPECT_FALSE(append_json_document(out, std::string(depth, '[')));
}

}  // namespace
}  // namespace vostrel::chromium
