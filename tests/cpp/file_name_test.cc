// The file-name rules: which entry names are data files or manifests, and the
// file-number rule.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/file_name.h"

namespace vostrel {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// ---------------------------------------------------------------------------
// Which entries are data files

TEST(DataFileName, SixOrMoreAsciiDigitsAndAKnownExtensionInAnyCase) {
  struct Case {
    std::string name;
    std::optional<FileType> type;
  };
  const std::vector<Case> cases = {
      {"000005.log", FileType::Log},
      {"000005.LOG", FileType::Log},
      {"000005.lOg", FileType::Log},
      {"000005.ldb", FileType::Ldb},
      {"000005.LDB", FileType::Ldb},
      {"000005.sst", FileType::Ldb},
      {"000005.Sst", FileType::Ldb},
      {"999999.log", FileType::Log},
      {"000000.log", FileType::Log},
      // Past 999,999 LevelDB's "%06llu" gives longer names, never with a leading zero.
      {"1000002.ldb", FileType::Ldb},
      {"1000004.log", FileType::Log},
      {"18446744073709551615.sst", FileType::Ldb},
      {"123456789012345678901234.log", FileType::Log},
      {"0999999.log", std::nullopt},
      {"5.log", std::nullopt},
      {"00005.log", std::nullopt},
      {"0000005.log", std::nullopt},
      {"00000a.log", std::nullopt},
      {"00000A.ldb", std::nullopt},
      {"+00005.log", std::nullopt},
      {"-00005.log", std::nullopt},
      {" 00005.log", std::nullopt},
      {"000005.log.bak", std::nullopt},
      {"000005.bak.log", std::nullopt},
      {"000005", std::nullopt},
      {"000005.", std::nullopt},
      {"000005.txt", std::nullopt},
      {"000005.logx", std::nullopt},
      {".log", std::nullopt},
      {".000005", std::nullopt},
      {"", std::nullopt},
      // Six Arabic-Indic digits: twelve bytes, not six.
      {"\xd9\xa0\xd9\xa0\xd9\xa0\xd9\xa0\xd9\xa0\xd9\xa5.log", std::nullopt},
      // Fullwidth digits.
      {"\xef\xbc\x90\xef\xbc\x90\xef\xbc\x90\xef\xbc\x90\xef\xbc\x90\xef\xbc\x95.ldb", std::nullopt},
      {"MANIFEST-000005", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto named = parse_entry_name(c.name);
    const bool is_data_file = named && named->kind == EntryKind::DataFile;
    EXPECT_EQ(is_data_file ? std::optional<FileType>(named->file_type) : std::nullopt, c.type)
        << "name: " << c.name;
  }
}

// Data files in file order: by number across name lengths, and names too long
// for a 64-bit number after all others by their decimal value.
TEST(DataFileName, FileOrderIsNumericAcrossNameLengths) {
  const std::vector<std::string> ordered = {
      "000009.log", "000010.ldb", "999999.ldb", "1000000.log", "1000002.ldb", "9999999999999999.log",
      "10000000000000000.ldb", "18446744073709551615.ldb", "99999999999999999999.log",
      "100000000000000000000.log"};
  std::vector<std::uint64_t> numbers;
  for (const auto& name : ordered) {
    const auto named = parse_entry_name(name);
    ASSERT_TRUE(named) << name;
    EXPECT_EQ(named->number, file_number_from_path("dir/" + name)) << name;
    numbers.push_back(named->number);
  }
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    for (std::size_t j = 0; j < ordered.size(); ++j) {
      EXPECT_EQ(precedes_in_file_order(numbers[i], ordered[i], numbers[j], ordered[j]), i < j)
          << ordered[i] << " vs " << ordered[j];
    }
  }
}

// ---------------------------------------------------------------------------
// File numbers

struct HexCase {
  std::string text;
  std::optional<std::uint64_t> value;
};

TEST(FileNumber, ParseHex) {
  const std::vector<HexCase> cases = {
      {"000005", 5},
      {"000010", 16},
      {"00001a", 26},
      {"00001A", 26},
      {"+1F", 31},
      {"+0", 0},
      {"abcdef", 0xabcdef},
      {"ABCDEF", 0xABCDEF},
      {"ffffffffffffffff", kMax64},
      {"0000ffffffffffffffff", kMax64},  // leading zeros do not count towards overflow
      {"10000000000000000", std::nullopt},  // 17 significant digits: 2^64
      {"1ffffffffffffffff", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {"00000g", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"", std::nullopt},
      {"++1", std::nullopt},
      {"+-1", std::nullopt},
      {"1+", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"0x10", std::nullopt},
      {std::string("1\0", 2), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_file_number(c.text), c.value) << '"' << c.text << '"';
}

TEST(FileNumber, FromPath) {
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"/db/000005.log", 5},
      {"/db/000010.log", 16},
      {"/db/00001a.log", 26},
      {"/db/+1F.log", 31},
      {"/db/-1.log", 0},
      {"/db/00000g.log", 0},
      {"/db/+.log", 0},
      {"/db/.log", 0},  // ".log" is its own stem
      {"/db/", 0},      // no stem at all
      {"", 0},
      {"/db/10000000000000000.log", kBeyondFileNumbers},  // decimal digits past 64 bits
      {"/db/1000000000000000x.log", 0},
      {"/db/ffffffffffffffff.log", kMax64},
      {"/db.d/000007", 7},
      {"/db/000007.log.bak", 0},
      {"/db/\xff" "00005.log", 0},   // not UTF-8
      {"/\xff/000005.log", 5},       // only the stem must be UTF-8
      {"/db/000005.\xff", 5},
  };
  for (const auto& [path, number] : cases) EXPECT_EQ(file_number_from_path(path), number) << path;
}

TEST(FileNumber, DecimalNamesKeepTheirOrder) {
  std::uint64_t previous = 0;
  for (int i = 1; i <= 2000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/db/%06d.log", i);
    const std::uint64_t n = file_number_from_path(name);
    EXPECT_GT(n, previous) << name;
    previous = n;
  }
}

}  // namespace
}  // namespace vostrel
