#include "format/file_name.h"

#include <vector>
#include <algorithm>

#include "base/utf8.h"

namespace vostrel {
namespace {

constexpr std::string_view kManifestPrefix = "MANIFEST-";
constexpr std::size_t kDataFileDigits = 6;

char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) noexcept {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(),
                    [](char a, char b) { return ascii_lower(a) == b; });
}

bool is_ascii_digits(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<EntryName> parse_data_file_name(std::string_view name) noexcept {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view stem = name.substr(0, dot);
  const std::string_view extension = name.substr(dot + 1);
  if (stem.size() < kDataFileDigits || !is_ascii_digits(stem)) return std::nullopt;
  if (stem.size() > kDataFileDigits && stem.front() == '0') return std::nullopt;
  FileType type;
  if (equals_ignoring_case(extension, "log")) {
    type = FileType::Log;
  } else if (equals_ignoring_case(extension, "ldb") || equals_ignoring_case(extension, "sst")) {
    type = FileType::Ldb;
  } else {
    return std::nullopt;
  }
  return EntryName{EntryKind::DataFile, type, parse_file_number(stem).value_or(kBeyondFileNumbers)};
}

std::optional<EntryName> parse_manifest_name(std::string_view name) noexcept {
  if (name.size() <= kManifestPrefix.size() || !name.starts_with(kManifestPrefix)) return std::nullopt;
  const auto number = parse_file_number(name.substr(kManifestPrefix.size()));
  if (!number) return std::nullopt;
  return EntryName{EntryKind::Manifest, FileType::Ldb, *number};
}

}  // namespace

std::optional<EntryName> parse_entry_name(std::string_view name) noexcept {
  if (!is_valid_utf8(name)) return std::nullopt;
  if (auto data_file = parse_data_file_name(name)) return data_file;
  return parse_manifest_name(name);
}

std::optional<std::uint64_t> parse_file_number(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (UINT64_MAX >> 4)) return std::nullopt;  // one more digit would overflow
    value = (value << 4) | digit;
  }
  return value;
}

std::uint64_t file_number_from_path(std::string_view path) noexcept {
  const std::string_view stem = file_stem(path);
  if (stem.empty() || !is_valid_utf8(stem)) return 0;
  if (const auto number = parse_file_number(stem)) return *number;
  // All digits and still unreadable: too long for 64 bits in base 16.
  return is_ascii_digits(stem) ? kBeyondFileNumbers : 0;
}

bool precedes_in_file_order(std::uint64_t number_a, std::string_view path_a,
                            std::uint64_t number_b, std::string_view path_b) noexcept {
  if (number_a != number_b) return number_a < number_b;
  if (number_a != kBeyondFileNumbers) return false;
  const std::string_view a = file_stem(path_a);
  const std::string_view b = file_stem(path_b);
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

std::optional<std::uint64_t> decimal_file_number(std::string_view path) noexcept {
  const std::string_view stem = file_stem(path);
  if (stem.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : stem) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace vostrel
