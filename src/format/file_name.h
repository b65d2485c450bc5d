#pragma once
// What the name of a directory entry says about the file:
//
// - data files: six or more ASCII digits, a '.', then "log" (a write-ahead
//   log) or "ldb" / "sst" (a sorted table), the extension in any case:
//   "000005.log", "000123.LDB", "1000002.ldb". LevelDB names files with
//   "%06llu", so a number from 1,000,000 on has seven or more digits and never
//   a leading zero: a stem longer than six digits that starts with '0'
//   ("0000005.log") is no LevelDB name and is not taken;
// - manifests: "MANIFEST-" (exactly, upper case) then a file number.
//
// A file number is read from text one way everywhere: base 16 (not 10), one
// optional leading '+', at least one hex digit, value below 2^64. For names of
// decimal digits base 16 keeps their numeric order (000009 < 000010), also
// across lengths when longer stems have no leading zero (999999 < 1000000),
// which is all that the ordering of files relies on. A reader given a path
// derives its file's number from the stem by the same rule.
//
// Base 16 holds at most 16 digits in 64 bits, while LevelDB's numbers reach 20
// decimal digits. A data file stem of 17 or more digits therefore gets the
// number kBeyondFileNumbers (no stem of at most 16 decimal digits reads as that
// value in base 16), and such files are ordered after every other by (length,
// text) of their stems: numeric order for digit strings without leading zeros,
// with no limit on their length (precedes_in_file_order).

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/path.h"
#include "format/record.h"

namespace vostrel {

enum class EntryKind : std::uint8_t { DataFile, Manifest };

struct EntryName {
  EntryKind kind;
  FileType file_type;    // data files only; Ldb for a manifest
  std::uint64_t number;  // by the file-number rule
  friend bool operator==(const EntryName&, const EntryName&) = default;
};

// The one rule for entry names: a data file, a manifest, or nullopt for every
// other name (including names that are not valid UTF-8).
[[nodiscard]] std::optional<EntryName> parse_entry_name(std::string_view name) noexcept;

// The number given to a data file whose all-digit stem is too long for the
// file-number rule.
inline constexpr std::uint64_t kBeyondFileNumbers = UINT64_MAX;

// The file-number rule: nullopt for an empty text, a lone sign, a '-', any
// non-hex character, or a value that reaches 2^64.
[[nodiscard]] std::optional<std::uint64_t> parse_file_number(std::string_view text) noexcept;

// The number of a data file opened by path: its stem read by the file-number
// rule; kBeyondFileNumbers for a stem of 17 or more ASCII digits; 0 when there
// is no stem, it is not UTF-8 or it does not parse otherwise. Never an error.
[[nodiscard]] std::uint64_t file_number_from_path(std::string_view path) noexcept;

// The number LevelDB gave the file, as its manifest records it: the stem's
// decimal digits (LevelDB writes "%06llu"). nullopt for a stem that is not
// all digits or does not fit in 64 bits. The file-number rule above reads the
// same digits in base 16, which orders alike but is not this number.
[[nodiscard]] std::optional<std::uint64_t> decimal_file_number(std::string_view path) noexcept;

// Whether the data file (number_a, path_a) comes before (number_b, path_b) in
// file order: by number, and among files numbered kBeyondFileNumbers by the
// (length, text) of their stems. False for files of equal place, which keep
// the order they were listed in.
[[nodiscard]] bool precedes_in_file_order(std::uint64_t number_a, std::string_view path_a,
                                          std::uint64_t number_b, std::string_view path_b) noexcept;

}  // namespace vostrel
