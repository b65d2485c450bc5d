// Records: the user key of a table or log key (internal_key.h), and the
// integer values and names of the enumerations the bindings expose.

#include <string>

#include <gtest/gtest.h>

#include "format/internal_key.h"
#include "format/record.h"

namespace vostrel {
namespace {

TEST(UserKey, TableKeysLoseTheirTrailerLogKeysNever) {
  const std::string eight(8, 'x');
  const std::string five = "abcde";
  const std::string twelve = "user" + std::string(8, '\x01');
  const std::string twenty(20, 'k');
  EXPECT_EQ(user_key_of(eight, FileType::Ldb), "");
  EXPECT_EQ(user_key_of(five, FileType::Ldb), five);
  EXPECT_EQ(user_key_of(twelve, FileType::Ldb), "user");
  EXPECT_EQ(user_key_of("", FileType::Ldb), "");
  EXPECT_EQ(user_key_of(twenty, FileType::Log), twenty);
  EXPECT_EQ(user_key_of(eight, FileType::Log), eight);
  EXPECT_EQ(user_key_of(five, FileType::Log), five);

  Record table;
  table.key = eight;
  table.file_type = FileType::Ldb;
  EXPECT_EQ(table.user_key(), "");
  table.key = five;
  EXPECT_EQ(table.user_key(), five);
  Record log;
  log.key = twenty;
  log.file_type = FileType::Log;
  EXPECT_EQ(log.user_key(), twenty);
  EXPECT_EQ(log.user_key().size(), 20u);
}

TEST(Enums, IntegerValuesAndNames) {
  EXPECT_EQ(static_cast<int>(KeyState::Deleted), 0);
  EXPECT_EQ(static_cast<int>(KeyState::Live), 1);
  EXPECT_EQ(static_cast<int>(KeyState::Unknown), 2);
  EXPECT_EQ(static_cast<int>(FileType::Ldb), 1);
  EXPECT_EQ(static_cast<int>(FileType::Log), 2);
  EXPECT_EQ(to_string(KeyState::Deleted), "Deleted");
  EXPECT_EQ(to_string(KeyState::Live), "Live");
  EXPECT_EQ(to_string(KeyState::Unknown), "Unknown");
  EXPECT_EQ(to_string(FileType::Ldb), "Ldb");
  EXPECT_EQ(to_string(FileType::Log), "Log");
}

}  // namespace
}  // namespace vostrel
