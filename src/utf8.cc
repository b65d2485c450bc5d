#include "utf8.h"

#include <algorithm>
#include <iterator>

namespace vostrel {

bool is_valid_utf8(std::string_view text) noexcept {
  while (!text.empty()) {
    const utf8::Step step = utf8::next(text);
    if (!step.valid) return false;
    text.remove_prefix(step.length);
  }
  return true;
}

}  // namespace vostrel

namespace vostrel::utf8 {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

constexpr Range kNonPrintable[] = {
#include "printable_ranges.inc"
};

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

Step next(std::string_view bytes) noexcept {
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
    const bool ok = i == 1 ? (b >= low && b <= high) : is_continuation(b);
    if (!ok) break;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (i < length) return {0, static_cast<std::uint8_t>(i), false};
  return {cp, static_cast<std::uint8_t>(length), true};
}

bool is_printable(char32_t code_point) noexcept {
  if (code_point < 0x80) return code_point >= 0x20 && code_point < 0x7F;
  // The last range whose first code point is <= code_point.
  const auto* after = std::upper_bound(std::begin(kNonPrintable), std::end(kNonPrintable), code_point,
                                       [](char32_t cp, const Range& r) { return cp < r.first; });
  if (after == std::begin(kNonPrintable)) return true;
  return code_point > std::prev(after)->last;
}

std::string decode_replace(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Step step = next(bytes);
    if (step.valid) {
      out.append(bytes.substr(0, step.length));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    bytes.remove_prefix(step.length);
  }
  return out;
}

std::size_t split_point(std::string_view bytes, std::size_t at) noexcept {
  // A valid character is a non-continuation byte and at most three
  // continuation bytes, so cutting just before a non-continuation byte, or
  // after three continuation bytes in a row, splits none.
  for (std::size_t cut = at; cut + 3 >= at; --cut) {
    if (!is_continuation(static_cast<unsigned char>(bytes[cut]))) return cut;
  }
  return at;
}

}  // namespace vostrel::utf8
