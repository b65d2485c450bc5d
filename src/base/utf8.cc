#include "base/utf8.h"

#include <algorithm>
#include <array>
#include <cstdint>
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
#include "base/printable_ranges.inc"
};

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

// Below U+0800 (every one- and two-byte character), a bit per code point,
// built from the ranges at compile time: most text that is not ASCII is
// there, and binary data decodes as two-byte characters far more often than
// as longer ones.
constexpr char32_t kBitmapEnd = 0x800;
constexpr std::array<std::uint64_t, kBitmapEnd / 64> kPrintableBelow800 = [] {
  std::array<std::uint64_t, kBitmapEnd / 64> bits{};
  for (char32_t cp = 0x20; cp < 0x7F; ++cp) bits[cp / 64] |= std::uint64_t{1} << (cp % 64);
  for (char32_t cp = 0x80; cp < kBitmapEnd; ++cp) bits[cp / 64] |= std::uint64_t{1} << (cp % 64);
  for (const Range& r : kNonPrintable) {
    for (char32_t cp = r.first; cp <= r.last && cp < kBitmapEnd; ++cp) {
      bits[cp / 64] &= ~(std::uint64_t{1} << (cp % 64));
    }
  }
  return bits;
}();

bool is_printable(char32_t code_point) noexcept {
  if (code_point < kBitmapEnd) return (kPrintableBelow800[code_point / 64] >> (code_point % 64)) & 1;
  // The last range whose first code point is <= code_point.
  const auto* after = std::upper_bound(std::begin(kNonPrintable), std::end(kNonPrintable), code_point,
                                       [](char32_t cp, const Range& r) { return cp < r.first; });
  if (after == std::begin(kNonPrintable)) return true;
  return code_point > std::prev(after)->last;
}

void append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
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
