#pragma once
// UTF-8 exactly as CPython's decoder reads it: which byte sequences are valid
// characters (the rule entry names and comparator names must pass), and, for
// output that must match what the command's Python code writes, which
// characters str.isprintable() accepts and bytes.decode("utf-8", "replace").

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vostrel {

// Strict UTF-8: every sequence valid in the sense of utf8::next below.
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace vostrel

namespace vostrel::utf8 {

// What starts a non-empty byte string: one valid character (length 1 to 4), or
// an invalid sequence, which is the longest prefix of a valid sequence found
// there (at least one byte). Valid means well-formed UTF-8: no overlong forms,
// no surrogates (U+D800..U+DFFF), nothing above U+10FFFF.
struct Step {
  char32_t code_point;  // meaningful only when valid
  std::uint8_t length;
  bool valid;
};

// Precondition: !bytes.empty(). Inline: every escaped key and value walks
// its non-ASCII bytes through it.
[[nodiscard]] inline Step next(std::string_view bytes) noexcept {
  const auto b0 = static_cast<unsigned char>(bytes[0]);
  if (b0 < 0x80) return {b0, 1, true};
  // The lead byte fixes the length and the range allowed for the second byte;
  // the narrowed ranges after E0, ED, F0 and F4 are what exclude overlong
  // forms, surrogates and code points above U+10FFFF.
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return {0, 1, false};  // a continuation byte, C0, C1 or F5..FF
  }
  std::size_t i = 1;
  for (; i < length && i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    const bool ok = i == 1 ? (b >= low && b <= high) : (b & 0xC0) == 0x80;
    if (!ok) break;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (i < length) return {0, static_cast<std::uint8_t>(i), false};
  return {cp, static_cast<std::uint8_t>(length), true};
}

// Appends the UTF-8 form of a code point that has one (below U+110000, not a
// surrogate).
void append(std::string& out, char32_t code_point);

// Python's str.isprintable() for one character.
[[nodiscard]] bool is_printable(char32_t code_point) noexcept;

// bytes.decode("utf-8", "replace") re-encoded as UTF-8: each invalid sequence
// (in the sense of Step) becomes one U+FFFD.
[[nodiscard]] std::string decode_replace(std::string_view bytes);

// A position in [at - 3, at] (3 < at < bytes.size()) where bytes can be cut
// without splitting a valid character, so that the two parts decode to the
// same characters as the whole.
[[nodiscard]] std::size_t split_point(std::string_view bytes, std::size_t at) noexcept;

}  // namespace vostrel::utf8
