#pragma once
// The number in a data file's or manifest's name. Every reader reads it the
// same way: base 16 (not 10), one optional leading '+', at least one hex digit,
// value below 2^64. For names of decimal digits base 16 keeps their numeric
// order (000009 < 000010), which is all the ordering of files relies on.

#include <cstdint>
#include <optional>
#include <string_view>

namespace vostrel {

// The strict rule: nullopt for an empty text, a lone sign, a '-', any
// non-hex character, or a value that reaches 2^64.
[[nodiscard]] std::optional<std::uint64_t> parse_hex_u64(std::string_view text) noexcept;

// The final component of a '/'-separated path (the text after the last '/').
[[nodiscard]] std::string_view final_component(std::string_view path) noexcept;

// The final component without its last extension: "000123" for
// "dir/000123.ldb", "a.b" for "a.b.c". A name whose only '.' is its first
// character has no extension, so ".x" is its own stem.
[[nodiscard]] std::string_view file_stem(std::string_view path) noexcept;

// The data-file rule: the stem read by parse_hex_u64, or 0 when there is no
// stem, it is not UTF-8 or it does not parse. Never an error.
[[nodiscard]] std::uint64_t file_number_from_path(std::string_view path) noexcept;

[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace vostrel
