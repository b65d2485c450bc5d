// A store's listing and its per-file stats, one store or many on worker
// threads, on files written by the real LevelDB library.

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/store_stats.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::TempDir;
using testing::write_file;

// A data file's counts, as the readers hand its records over.
template <class Reader>
RecordCounts counts_of(const Reader& reader) {
  RecordCounts counts;
  DecodeScratch scratch;
  reader.visit_records(counts, scratch);
  return counts;
}

// A store with a table, a table the reader rejects, two logs of one number,
// a seven-digit table and a directory under a data file's name.
struct OddStore {
  TempDir dir;
  std::string table = testing::real_table_bytes({{"a", std::string(200, 'x')}, {"b", "y"}}, 10, true);
  std::string log = testing::real_log_bytes({{"c", "1"}, {"d", "2"}}, {"c"});
  OddStore() {
    write_file(dir.file("1000002.ldb"), table);
    write_file(dir.file("000004.ldb"), table.substr(0, table.size() - 1) + "!");  // bad magic: left out
    write_file(dir.file("000005.log"), log);
    write_file(dir.file("000005.LOG"), log);
    write_file(dir.file("000003.ldb"), table);
    std::filesystem::create_directory(dir.file("000006.ldb"));
  }
};

TEST(ListDataFiles, RegularDataFilesInTheReadersOrderWithoutOpeningThem) {
  const OddStore store;
  const auto listed = list_data_files(store.dir.path());
  ASSERT_TRUE(listed);
  std::vector<std::string> paths;
  for (const ListedDataFile& file : *listed) paths.push_back(file.path);

  // The reader's iteration order over the files it opened, the rejected
  // table in its place by number.
  auto db = RawLevelDb::open(store.dir.path());
  ASSERT_TRUE(db);
  std::vector<std::string> expected;
  for (const WalkUnit unit : db->reading_order(false, false)) expected.push_back(db->slot_path(unit.slot));
  expected.insert(expected.begin() + 1, store.dir.file("000004.ldb"));
  EXPECT_EQ(paths, expected);
  EXPECT_EQ(db->listed_files().size(), listed->size());

  const auto missing = list_data_files(store.dir.file("nothing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, DbErrorKind::NotADirectory);
  EXPECT_EQ(missing.error().error.code, ENOENT);
  EXPECT_EQ(list_data_files(store.dir.file("000005.log")).error().error.code, ENOTDIR);
}

TEST(EveryFileStats, ARowPerListedFileLeftOutOnesWithZeroCounts) {
  const OddStore store;
  auto db = RawLevelDb::open(store.dir.path());
  ASSERT_TRUE(db);
  const auto rows = every_file_stats(*db);
  const RecordCounts table = counts_of(*TableFile::open(store.dir.file("000003.ldb")));
  const RecordCounts log = counts_of(*LogFile::open(store.dir.file("000005.log")));
  ASSERT_EQ(table.compressed, 2u);
  // Equal numbers by path, whatever the listing order.
  const std::vector<std::pair<std::string, RecordCounts>> expected = {
      {"000003.ldb", table}, {"000004.ldb", {}}, {"000005.LOG", log}, {"000005.log", log}, {"1000002.ldb", table}};
  ASSERT_EQ(rows.size(), expected.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].path, store.dir.file(expected[i].first));
    EXPECT_EQ(rows[i].counts, expected[i].second) << rows[i].path;
  }
  EXPECT_EQ(rows[1].size, store.table.size());
  EXPECT_EQ(rows[4].number, 0x1000002u);  // the file-number rule's reading of the stem
}

TEST(StatsOfStores, InOrderWhateverTheThreadsWithAnUnreadableStoreInTheMiddle) {
  const OddStore first;
  const OddStore last;
  const std::vector<std::string> directories = {first.dir.path(), first.dir.file("gone"), last.dir.path(),
                                                first.dir.path()};
  for (const unsigned threads : {1U, 2U, 5U}) {
    std::vector<std::size_t> indices;
    const StoreStatsReady ready = [&](std::size_t index, std::expected<StoreStats, DbError>& stats) {
      indices.push_back(index);
      if (index == 1) {
        EXPECT_FALSE(stats);
        return true;
      }
      EXPECT_TRUE(stats);
      if (!stats) return true;
      auto db = RawLevelDb::open(directories[index]);
      const auto rows = every_file_stats(*db);
      EXPECT_EQ(stats->files.size(), rows.size());
      for (std::size_t i = 0; i < rows.size() && i < stats->files.size(); ++i) {
        EXPECT_EQ(stats->files[i].path, rows[i].path);
        EXPECT_EQ(stats->files[i].counts, rows[i].counts);
      }
      EXPECT_EQ(stats->skipped, db->skipped_files());
      return true;
    };
    EXPECT_TRUE(stats_of_stores(directories, {.threads = threads}, ready));
    EXPECT_EQ(indices, (std::vector<std::size_t>{0, 1, 2, 3})) << threads;
  }
}

TEST(StatsOfStores, StopsWhenTheCallerSays) {
  const OddStore store;
  const std::vector<std::string> directories(20, store.dir.path());
  std::size_t handed = 0;
  const StoreStatsReady stop_after_two = [&](std::size_t, std::expected<StoreStats, DbError>&) {
    return ++handed < 2;
  };
  EXPECT_FALSE(stats_of_stores(directories, {.threads = 3}, stop_after_two));
  EXPECT_EQ(handed, 2u);

  handed = 0;
  const StoreStatsReady count = [&](std::size_t, std::expected<StoreStats, DbError>&) { return ++handed > 0; };
  const StoresStatsControl refuse{.threads = 2, .check_in = [] { return false; }, .interval = {}};
  EXPECT_FALSE(stats_of_stores(directories, refuse, count));
  EXPECT_EQ(handed, 0u);
}

}  // namespace
}  // namespace vostrel
