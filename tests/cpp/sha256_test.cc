// SHA-256 against known digests (FIPS 180-4's "abc" and million a's among
// them), at the lengths where the padding spills into a second block, fed
// whole and in uneven pieces.

#include <gtest/gtest.h>

#include <string>

#include "base/hex.h"
#include "base/sha256.h"

namespace vostrel {
namespace {

std::string hex_digest(Sha256 hash) {
  std::string out;
  for (const std::uint8_t byte : hash.finish()) hex::append_byte(out, byte);
  return out;
}

TEST(Sha256, KnownDigestsWholeAndInPieces) {
  struct Case {
    std::string text;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    Sha256 whole;
    whole.update(c.text);
    EXPECT_EQ(hex_digest(whole), c.digest) << c.text.size();
    Sha256 pieces;
    for (std::size_t at = 0, step = 1; at < c.text.size(); at += step, step = step * 3 % 97 + 1) {
      pieces.update(std::string_view(c.text).substr(at, step));
    }
    EXPECT_EQ(hex_digest(pieces), c.digest) << c.text.size();
  }
}

}  // namespace
}  // namespace vostrel
