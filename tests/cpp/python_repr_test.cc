// Python's repr() of text, against the answers of Python 3.11:
// repr(bytes.decode("utf-8", "surrogateescape")).

#include <string>

#include <gtest/gtest.h>

#include "export/python_repr.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::hex;

TEST(PythonRepr, QuotesAndEscapesAsPython) {
  struct Case {
    std::string text;
    std::string repr;
  };
  const Case cases[] = {
      {"", "''"},
      {"plain", "'plain'"},
      {"it's", R"("it's")"},                             // a ' alone takes "
      {R"(say "hi")", R"('say "hi"')"},
      {R"(both ' and ")", R"('both \' and "')"},        // both: ' and the ' escaped
      {R"(back\slash)", R"('back\\slash')"},
      {hex("09 0a 0d 00 1f 7f"), R"('\t\n\r\x00\x1f\x7f')"},
      {hex("63 61 66 c3 a9"), "'caf\xC3\xA9'"},          // printable: itself
      {hex("c2 a0 c2 ad"), R"('\xa0\xad')"},             // below U+0100, not printable
      {hex("e2 80 8b e2 80 a8"), R"('\u200b\u2028')"},
      {hex("f0 9f 98 80"), "'\xF0\x9F\x98\x80'"},
      {hex("f3 a0 80 81"), R"('\U000e0001')"},
      {hex("ff"), R"('\udcff')"},                         // undecodable: its surrogate
      {hex("61 e2 82"), R"('a\udce2\udc82')"},
      {hex("ed a0 80"), R"('\udced\udca0\udc80')"},
  };
  for (const auto& c : cases) {
    std::string out = "<";
    append_python_repr(out, c.text);
    EXPECT_EQ(out, "<" + c.repr) << c.repr;
  }
}

}  // namespace
}  // namespace vostrel
