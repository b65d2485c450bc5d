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

// Precondition: !bytes.empty().
[[nodiscard]] Step next(std::string_view bytes) noexcept;

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
