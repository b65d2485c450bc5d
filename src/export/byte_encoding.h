#pragma once
// The three lossless text forms of raw bytes (keys, values) in exported
// records, written straight into an output buffer:
//
//   Escaped  printable UTF-8 text as it is; a backslash as two backslashes;
//            every byte of invalid UTF-8 and every byte of a non-printable
//            character (as Python's str.isprintable() judges it) as \xNN with
//            lower-case hex digits.
//   Hex      two lower-case hex digits per byte.
//   Base64   standard alphabet, with padding.
//
// The output format may wrap the text further (FieldQuoting); doing that in
// the same pass means no encoded copy of a field is ever built.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace vostrel {

enum class ByteEncoding : std::uint8_t { Escaped, Hex, Base64 };

// How the encoded text appears in its output format.
enum class FieldQuoting : std::uint8_t {
  None,       // the text itself
  Json,       // inside a JSON string: '\' and '"' preceded by a backslash
  CsvQuoted,  // inside a quoted CSV field: '"' doubled
};

// Most bytes write_encoded may produce for `size` input bytes. Meant for
// pieces of bounded size: size must not exceed SIZE_MAX / 5.
[[nodiscard]] constexpr std::size_t max_encoded_size(ByteEncoding encoding, std::size_t size) noexcept {
  switch (encoding) {
    case ByteEncoding::Hex: return 2 * size;
    case ByteEncoding::Base64: return (size + 2) / 3 * 4;
    case ByteEncoding::Escaped: break;
  }
  // An invalid byte as \\xNN inside a JSON string, and 3 bytes that the
  // writer may store past the end of its text (it copies 8 bytes at a time).
  return 5 * size + 3;
}

// Writes the text of bytes at dst, which has room for max_encoded_size bytes,
// and returns the end of what it wrote.
char* write_encoded(char* dst, std::string_view bytes, ByteEncoding encoding,
                    FieldQuoting quoting) noexcept;

// The same as a string (for tests and small fields).
[[nodiscard]] std::string encode(std::string_view bytes, ByteEncoding encoding,
                                 FieldQuoting quoting = FieldQuoting::None);

// The inverse of the escaped form (FieldQuoting::None): the bytes whose
// escaped text is `text`. Text that no bytes escape to (a backslash followed
// by anything but a backslash or x and two lower-case hex digits, a raw
// character the escaped form writes as \xNN, an escape standing for text it
// writes as itself) gives the reason instead, naming the character position
// (counted in UTF-8 characters) where it goes wrong.
[[nodiscard]] std::expected<std::string, std::string> decode_escaped(std::string_view text);

// Whether a CSV writer must quote this field: its text holds ',', '"' or a
// line feed.
[[nodiscard]] bool csv_needs_quotes(std::string_view bytes, ByteEncoding encoding) noexcept;

// A position in [at - 3, at] (3 < at < bytes.size()) where bytes can be cut
// into two pieces whose texts, written one after the other, equal the text of
// the whole.
[[nodiscard]] std::size_t encoding_split_point(std::string_view bytes, std::size_t at,
                                               ByteEncoding encoding) noexcept;

}  // namespace vostrel
