// The directory reader: which entries become data files, the errors of open,
// the order of iteration, entry paths, descriptor use, and damage isolation,
// on files written by the real LevelDB library.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/store.h"
#include "read/table_file.h"
#include "read/log_file.h"
#include "test_support.h"

namespace vostrel {
namespace {

namespace fs = std::filesystem;
using testing::KeyValues;
using testing::TempDir;
using testing::read_file;
using testing::write_file;

// A few genuine files, each with its own keys so that their records can be
// told apart. Written once by the real library and reused.
struct Samples {
  std::string log_a = testing::real_log_bytes({{"log-a-1", "one"}, {"log-a-2", "two"}}, {"log-a-1"});
  std::string log_b = testing::real_log_bytes({{"log-b-1", "uno"}, {"log-b-2", "dos"}, {"log-b-3", "tres"}});
  std::string table_a = testing::real_table_bytes({{"tbl-a-1", "x"}, {"tbl-a-2", "y"}}, 100, false);
  std::string table_b = testing::real_table_bytes(
      {{"tbl-b-1", std::string(300, 'p')}, {"tbl-b-2", std::string(300, 'q')}}, 200, true);
  std::string table_c = testing::real_table_bytes({{"tbl-c-1", "z"}}, 300, false);
};

const Samples& samples() {
  static const Samples instance;
  return instance;
}

bool is_log_name(std::string_view name) {
  const auto dot = name.rfind('.');
  std::string extension(name.substr(dot + 1));
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == "log";
}

// The records of one file, straight from its own reader.
std::vector<Record> file_records(const std::string& path) {
  if (is_log_name(path)) {
    auto log = LogFile::open(path);
    if (!log) throw std::runtime_error("cannot open log " + path);
    return testing::file_records(*log);
  }
  auto table = TableFile::open(path);
  if (!table) throw std::runtime_error("cannot open table " + path);
  return testing::file_records(*table);
}

std::vector<Record> concat(const std::vector<std::vector<Record>>& parts) {
  std::vector<Record> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The origin paths of records in order, each run collapsed to one entry.
std::vector<std::string> origin_runs(const std::vector<Record>& records) {
  std::vector<std::string> runs;
  for (const Record& record : records) {
    if (runs.empty() || runs.back() != record.origin_path()) runs.push_back(record.origin_path());
  }
  return runs;
}

std::map<std::string, std::vector<Record>> by_origin(const std::vector<Record>& records) {
  std::map<std::string, std::vector<Record>> grouped;
  for (const Record& record : records) grouped[record.origin_path()].push_back(record);
  return grouped;
}

std::set<std::string> data_file_paths(const RawLevelDb& db) {
  std::set<std::string> paths;
  for (const DataFile& file : db.data_files()) {
    paths.insert(std::visit([](const auto& f) { return f.path(); }, file));
  }
  return paths;
}

RawLevelDb open_ok(const std::string& path) {
  auto db = RawLevelDb::open(path);
  if (!db) throw std::runtime_error("open failed: " + db.error().message());
  return std::move(*db);
}

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST(DbOpen, EmptyDirectoryHasNoFilesNoManifestAndNoRecords) {
  const TempDir dir;
  const RawLevelDb db = open_ok(dir.path());
  EXPECT_EQ(db.in_dir(), dir.path());
  EXPECT_TRUE(db.data_files().empty());
  EXPECT_FALSE(db.manifest().has_value());
  EXPECT_TRUE(testing::store_records(db, false).empty());
  EXPECT_TRUE(testing::store_records(db, true).empty());
}

TEST(DbOpen, AdmitsOnlyNamesOfTheDataFileRule) {
  const TempDir dir;
  const Samples& s = samples();
  // Admitted, whatever the case of the extension.
  write_file(dir.file("000005.LOG"), s.log_a);
  write_file(dir.file("000006.Sst"), s.table_a);
  write_file(dir.file("000007.ldb"), s.table_b);
  // Valid contents under names that break the rule.
  for (const std::string name :
       {"5.log", "0000005.log", "00000a.log", "000005.log.bak", "000005", "000005.txt", ".log",
        "\xd9\xa0\xd9\xa0\xd9\xa0\xd9\xa0\xd9\xa0\xd9\xa5.log", "00001\xff.log", "000012.log\xff",
        "\xff\xfe.ldb"}) {
    write_file(dir.file(name), s.log_b);
  }
  write_file(dir.file("0000009.ldb"), s.table_c);

  const RawLevelDb db = open_ok(dir.path());
  EXPECT_EQ(data_file_paths(db), (std::set<std::string>{dir.file("000005.LOG"), dir.file("000006.Sst"),
                                                         dir.file("000007.ldb")}));
  for (const DataFile& file : db.data_files()) {
    const bool is_log = std::holds_alternative<LogFile>(file);
    EXPECT_EQ(is_log, is_log_name(std::visit([](const auto& f) { return f.path(); }, file)));
  }
  EXPECT_EQ(testing::store_records(db, false),
            concat({file_records(dir.file("000005.LOG")), file_records(dir.file("000006.Sst")),
                    file_records(dir.file("000007.ldb"))}));
}

TEST(DbOpen, SkipsDirectoriesSpecialFilesAndDanglingLinksButFollowsLinksToFiles) {
  const TempDir outside;
  write_file(outside.file("table"), samples().table_a);
  fs::create_directory(outside.file("subdir"));

  const TempDir dir;
  fs::create_directory(dir.file("000005.ldb"));
  // A FIFO must be skipped by its type, never opened: opening it would block.
  ASSERT_EQ(::mkfifo(dir.file("000006.log").c_str(), 0644), 0);
  fs::create_symlink(outside.file("table"), dir.file("000007.ldb"));
  fs::create_symlink(dir.file("missing-target"), dir.file("000008.log"));
  fs::create_symlink(outside.file("subdir"), dir.file("000009.ldb"));
  // A link loop cannot be followed either.
  fs::create_symlink(dir.file("000010.log"), dir.file("000010.log"));

  const RawLevelDb db = open_ok(dir.path());
  ASSERT_EQ(db.data_files().size(), 1u);
  ASSERT_TRUE(std::holds_alternative<TableFile>(db.data_files()[0]));
  EXPECT_EQ(std::get<TableFile>(db.data_files()[0]).number(), 7u);

  // The records are the target's, carried under the link's path.
  std::vector<Record> expected = file_records(outside.file("table"));
  ASSERT_FALSE(expected.empty());
  const auto link_path = std::make_shared<const std::string>(dir.file("000007.ldb"));
  for (Record& record : expected) record.origin_file = link_path;
  EXPECT_EQ(testing::store_records(db, false), expected);
}

TEST(DbOpen, LeavesOutFilesItsReadersRejectAndOpensTheRest) {
  const TempDir dir;
  const Samples& s = samples();
  write_file(dir.file("000003.ldb"), s.table_a);
  std::string bad_magic = s.table_b;
  bad_magic.back() = static_cast<char>(bad_magic.back() ^ 0x01);
  write_file(dir.file("000004.ldb"), bad_magic);
  write_file(dir.file("000005.sst"), s.table_c.substr(0, 40));  // no footer: opens, no blocks
  write_file(dir.file("000006.log"), "");                       // opens, holds nothing
  write_file(dir.file("000007.log"), s.log_b);

  const RawLevelDb db = open_ok(dir.path());
  EXPECT_EQ(data_file_paths(db), (std::set<std::string>{dir.file("000003.ldb"), dir.file("000005.sst"),
                                                         dir.file("000006.log"), dir.file("000007.log")}));
  EXPECT_EQ(testing::store_records(db, false),
            concat({file_records(dir.file("000003.ldb")), file_records(dir.file("000007.log"))}));
}

// ---------------------------------------------------------------------------
// Errors

TEST(DbOpen, PathThatIsNotADirectoryNamesThePathAsPassed) {
  const TempDir dir;
  write_file(dir.file("plain"), "x");
  fs::create_directory(dir.file("real"));
  fs::create_symlink(dir.file("real"), dir.file("link-to-dir"));

  for (const std::string& path : {dir.file("missing"), dir.file("plain"), dir.file("plain/"),
                                 dir.file("plain/sub"), std::string("relative/does/not/exist"),
                                 std::string(""),
                                 // The system would stop at the NUL and find the directory.
                                 dir.path() + std::string("\0/x", 3)}) {
    const auto db = RawLevelDb::open(path);
    ASSERT_FALSE(db.has_value()) << path;
    EXPECT_EQ(db.error().kind, DbErrorKind::NotADirectory) << path;
    EXPECT_EQ(db.error().message(), "Not a directory: " + path);
  }
  // A link to a directory is a directory.
  const auto linked = RawLevelDb::open(dir.file("link-to-dir"));
  ASSERT_TRUE(linked.has_value());
  EXPECT_EQ(linked->in_dir(), dir.file("link-to-dir"));
}

TEST(DbOpen, DirectoryThatCannotBeListedIsAnIoError) {
  const TempDir dir;
  // The child runs as an unprivileged user, which must be able to reach the
  // directory but not list it.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string locked = dir.file("locked");
  fs::create_directory(locked);
  write_file(locked + "/000005.log", samples().log_a);
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);

  const auto outcome = testing::run_unprivileged([&] {
    const auto db = RawLevelDb::open(locked);
    return db ? std::string("opened") : (db.error().kind == DbErrorKind::Io ? "io:" : "other:") + db.error().message();
  });
  ::chmod(locked.c_str(), 0755);
  if (!outcome) GTEST_SKIP() << "cannot drop root privileges here, and root lists any directory";
  ASSERT_TRUE(outcome->starts_with("io:IO error: ")) << *outcome;
  EXPECT_TRUE(outcome->ends_with(" (os error 13)")) << *outcome;
}

// ---------------------------------------------------------------------------
// Entry paths

class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& path) : saved_(fs::current_path()) { fs::current_path(path); }
  ~WorkingDirectory() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST(DbOpen, EntryPathsAreTheDirectoryAsPassedPlusTheName) {
  const TempDir dir;
  fs::create_directory(dir.file("sub"));
  write_file(dir.file("sub/000005.log"), samples().log_a);
  const WorkingDirectory cwd(dir.path());

  for (const std::string& path : {dir.file("sub"), dir.file("sub/"), dir.path() + "//sub//",
                                 std::string("sub"), std::string("sub/"), std::string("./sub"),
                                 std::string("../") + fs::path(dir.path()).filename().string() + "/sub"}) {
    const RawLevelDb db = open_ok(path);
    EXPECT_EQ(db.in_dir(), path);
    const std::string expected = path + (path.ends_with('/') ? "" : "/") + "000005.log";
    const auto records = testing::store_records(db, false);
    ASSERT_FALSE(records.empty()) << path;
    for (const Record& record : records) EXPECT_EQ(record.origin_path(), expected);
  }
}

// ---------------------------------------------------------------------------
// Iteration order

TEST(DbIterate, FilesInNumberOrderForwardAndReverseRecordsInFileOrderBothWays) {
  const TempDir dir;
  const Samples& s = samples();
  write_file(dir.file("000003.ldb"), s.table_a);
  write_file(dir.file("000005.log"), s.log_a);
  write_file(dir.file("000004.ldb"), s.table_b);
  const auto three = file_records(dir.file("000003.ldb"));
  const auto four = file_records(dir.file("000004.ldb"));
  const auto five = file_records(dir.file("000005.log"));
  ASSERT_FALSE(three.empty());
  ASSERT_FALSE(four.empty());
  ASSERT_FALSE(five.empty());

  const RawLevelDb db = open_ok(dir.path());
  EXPECT_EQ(testing::store_records(db, false), concat({three, four, five}));
  EXPECT_EQ(testing::store_records(db, true), concat({five, four, three}));
  // Nothing is cached or consumed: a second call gives the same.
  EXPECT_EQ(testing::store_records(db, false), concat({three, four, five}));

  // The order is one of positions; the files themselves stay in listing order.
  const auto numbers_in = [&](const std::vector<WalkUnit>& order) {
    std::vector<std::uint64_t> numbers;
    for (const WalkUnit unit : order) {
      EXPECT_EQ(unit.pass, WalkPass::Read);
      numbers.push_back(number_of(db.data_files().at(unit.slot)));
    }
    return numbers;
  };
  EXPECT_EQ(numbers_in(db.reading_order(false, false)), (std::vector<std::uint64_t>{3, 4, 5}));
  EXPECT_EQ(numbers_in(db.reading_order(true, false)), (std::vector<std::uint64_t>{5, 4, 3}));
}

TEST(DbIterate, OneFileIsTheSameEitherWay) {
  const TempDir dir;
  write_file(dir.file("000042.log"), samples().log_b);
  const RawLevelDb db = open_ok(dir.path());
  const auto forward = testing::store_records(db, false);
  EXPECT_EQ(forward, file_records(dir.file("000042.log")));
  EXPECT_EQ(testing::store_records(db, true), forward);
}

TEST(DbIterate, EqualNumbersKeepListingOrderAndSwapInReverse) {
  const TempDir dir;
  const Samples& s = samples();
  write_file(dir.file("000007.log"), s.log_a);
  write_file(dir.file("000007.ldb"), s.table_a);
  write_file(dir.file("000010.log"), s.log_b);  // 0x10 = 16: after 9 as in decimal
  write_file(dir.file("000009.ldb"), s.table_c);

  // The order in which this file system lists the two sevens.
  std::vector<std::string> sevens;
  for (const std::string& name : testing::list_directory(dir.path())) {
    if (name.starts_with("000007")) sevens.push_back(dir.file(name));
  }
  ASSERT_EQ(sevens.size(), 2u);

  const RawLevelDb db = open_ok(dir.path());
  const auto first = file_records(sevens[0]);
  const auto second = file_records(sevens[1]);
  const auto nine = file_records(dir.file("000009.ldb"));
  const auto sixteen = file_records(dir.file("000010.log"));
  EXPECT_EQ(testing::store_records(db, false), concat({first, second, nine, sixteen}));
  EXPECT_EQ(testing::store_records(db, true), concat({sixteen, nine, second, first}));
  EXPECT_EQ(origin_runs(testing::store_records(db, false)),
            (std::vector<std::string>{sevens[0], sevens[1], dir.file("000009.ldb"), dir.file("000010.log")}));
}

// ---------------------------------------------------------------------------
// Databases written by the real library

TEST(DbRealDatabase, EveryRecordOfEveryFileInFileNumberOrder) {
  const TempDir tmp;
  const std::string dir = tmp.file("db");
  const auto live = testing::build_real_database(dir);

  std::map<std::uint64_t, std::string> by_number;  // stems are unique here
  int logs = 0;
  int tables = 0;
  for (const std::string& name : testing::list_directory(dir)) {
    const auto named = parse_entry_name(name);
    if (!named || named->kind != EntryKind::DataFile) continue;
    (named->file_type == FileType::Log ? logs : tables) += 1;
    by_number[named->number] = dir + "/" + name;
  }
  ASSERT_GE(logs, 3);
  ASSERT_GE(tables, 3);

  std::vector<std::vector<Record>> per_file;
  for (const auto& [number, path] : by_number) per_file.push_back(file_records(path));
  const RawLevelDb db = open_ok(dir);
  EXPECT_EQ(db.data_files().size(), by_number.size());
  const auto forward = testing::store_records(db, false);
  EXPECT_EQ(forward, concat(per_file));
  std::reverse(per_file.begin(), per_file.end());
  EXPECT_EQ(testing::store_records(db, true), concat(per_file));

  // Every key LevelDB reports live is among the records, with its last value.
  std::set<std::pair<std::string, std::string>> live_records;
  for (const Record& record : forward) {
    if (record.state == KeyState::Live) live_records.emplace(record.user_key(), record.value);
  }
  for (const auto& [key, value] : live) {
    EXPECT_TRUE(live_records.contains({key, value})) << "live key missing: " << key;
  }
  // Deletions and compressed blocks are both represented.
  EXPECT_TRUE(std::any_of(forward.begin(), forward.end(),
                          [](const Record& r) { return r.state == KeyState::Deleted; }));
  EXPECT_TRUE(std::any_of(forward.begin(), forward.end(), [](const Record& r) { return r.was_compressed; }));
  ASSERT_TRUE(db.manifest().has_value());
  std::string current = read_file(dir + "/CURRENT");
  while (!current.empty() && current.back() == '\n') current.pop_back();
  EXPECT_EQ(db.manifest()->path(), dir + "/" + current);
}

// ---------------------------------------------------------------------------
// Descriptors: every file is mapped, its descriptor kept only while the
// process's files hold fewer than a quarter of the limit

class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t soft) {
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) throw std::runtime_error("getrlimit");
    rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) throw std::runtime_error("setrlimit");
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(DbOpen, MoreDataFilesThanTheDescriptorLimitAllReturnTheirRecords) {
  const TempDir dir;
  const Samples& s = samples();
  constexpr int kFiles = 200;
  for (int i = 1; i <= kFiles; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.%s", i, i % 2 ? "log" : "ldb");
    write_file(dir.file(name), i % 2 ? s.log_b : s.table_b);
  }
  const std::size_t per_log = file_records(dir.file("000001.log")).size();
  const std::size_t per_table = file_records(dir.file("000002.ldb")).size();
  ASSERT_GT(per_log, 0u);
  ASSERT_GT(per_table, 0u);

  std::optional<RawLevelDb> db;
  std::size_t before = 0;
  std::size_t after = 0;
  {
    const DescriptorLimit limit(64);
    before = open_descriptor_count();
    db.emplace(open_ok(dir.path()));
    after = open_descriptor_count();
  }
  EXPECT_LE(after - before, 64u / 4) << "open keeps descriptors past its budget";
  ASSERT_EQ(db->data_files().size(), static_cast<std::size_t>(kFiles));
  const auto grouped = by_origin(testing::store_records(*db, false));
  ASSERT_EQ(grouped.size(), static_cast<std::size_t>(kFiles));
  for (const auto& [path, records] : grouped) {
    EXPECT_EQ(records.size(), is_log_name(path) ? per_log : per_table) << path;
  }
}

// ---------------------------------------------------------------------------
// Damage: a damaged file never disturbs the records of the other files

TEST(DbDamage, CorruptedOrTruncatedFilesNeverDisturbTheOthers) {
  const TempDir tmp;
  const std::string dir = tmp.file("db");
  testing::build_real_database(dir);
  std::vector<std::string> names = testing::list_directory(dir);
  std::sort(names.begin(), names.end());

  const auto baseline = by_origin(testing::store_records(open_ok(dir), false));
  ASSERT_GE(baseline.size(), 6u);

  enum class Damage { Flip, Zero, Truncate };
  std::size_t cases = 0;
  int failures = 0;
  for (const std::string& name : names) {
    if (name.starts_with("LOG")) continue;  // LevelDB's text info log: nothing reads it
    const std::string path = dir + "/" + name;
    const std::string original = read_file(path);
    const std::size_t size = original.size();
    std::set<std::size_t> positions = {0, 1, 6, 7, 8};
    for (std::size_t p = 0; p < size; p += 97) positions.insert(p);
    for (const std::size_t back : {1, 2, 5, 7, 8, 40, 47, 48, 49}) {
      if (back <= size) positions.insert(size - back);
    }
    for (const std::size_t boundary : {32767, 32768, 32769}) positions.insert(boundary);
    for (const std::size_t p : positions) {
      if (p >= size) continue;
      for (const Damage damage : {Damage::Flip, Damage::Zero, Damage::Truncate}) {
        std::string bytes = original;
        if (damage == Damage::Flip) bytes[p] = static_cast<char>(bytes[p] ^ 0xFF);
        if (damage == Damage::Zero) bytes[p] = '\0';
        if (damage == Damage::Truncate) bytes.resize(p);
        write_file(path, bytes);
        ++cases;

        const auto db = RawLevelDb::open(dir);
        ASSERT_TRUE(db.has_value());
        const auto grouped = by_origin(testing::store_records(*db, false));
        bool same = true;
        for (const auto& [origin, records] : baseline) {
          if (origin == path) continue;
          const auto found = grouped.find(origin);
          if (found == grouped.end() || found->second != records) same = false;
        }
        for (const auto& [origin, records] : grouped) {
          if (origin != path && !baseline.contains(origin)) same = false;
        }
        if (!same && ++failures <= 5) {
          ADD_FAILURE() << name << " damaged at " << p << " (kind " << static_cast<int>(damage)
                        << ") changed the records of other files";
        }
      }
    }
    write_file(path, original);
  }
  EXPECT_EQ(failures, 0);
  EXPECT_GT(cases, 1000u);
  // Restored: everything as at the start.
  EXPECT_EQ(by_origin(testing::store_records(open_ok(dir), false)), baseline);
}

}  // namespace
}  // namespace vostrel
