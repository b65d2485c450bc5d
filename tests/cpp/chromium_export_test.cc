// The Chromium driver: which kind a store is (by its keys, then by its
// directory's name), and the export's chunks and write errors, over stores
// written by the real LevelDB library.

#include <gtest/gtest.h>
#include <leveldb/db.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chromium/chromium_export.h"
#include "chromium/indexeddb.h"
#include "chromium/store_kind.h"
#include "read/record_walk.h"
#include "test_support.h"

namespace vostrel::chromium {
namespace {

using testing::hex;
using testing::KeyValues;
using testing::TempDir;

TEST(StoreKind, DirectoryNames) {
  struct Case {
    const char* path;
    std::optional<StoreKind> kind;
  };
  const Case cases[] = {
      {"Default/IndexedDB/https_a.test_0.indexeddb.leveldb/", StoreKind::IndexedDb},
      {"x/HTTPS_A_0.IndexedDB.LevelDB", StoreKind::IndexedDb},
      {"Default/Session Storage/.", StoreKind::SessionStorage},
      {"Session Storage/sub/..", StoreKind::SessionStorage},
      {"Default/Local Storage", StoreKind::LocalStorage},
      {"LOCAL STORAGE//LevelDB/", StoreKind::LocalStorage},
      {"Local Storage/leveldb/../leveldb", StoreKind::LocalStorage},
      {"/leveldb", std::nullopt},
      {"leveldb", std::nullopt},
      {"Session Storage/..", std::nullopt},
      {"", std::nullopt},
      {"Default/Local Extension Settings/abcdef", StoreKind::ExtensionSettings},
      {"sync extension settings/abcdef/", StoreKind::ExtensionSettings},
      {"Managed Extension Settings/x/../y", StoreKind::ExtensionSettings},
      {"Local Extension Settings", std::nullopt},
      {"Other Extension Settings/abcdef", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(kind_of_directory_name(c.path), c.kind) << c.path;
}

TEST(StoreKind, Keys) {
  struct Case {
    std::string key;
    std::optional<StoreKind> kind;
  };
  const Case cases[] = {
      {"VERSION", StoreKind::LocalStorage},
      {"META:https://a.test", StoreKind::LocalStorage},
      {std::string("_https://a.test\0\1k", 18), StoreKind::LocalStorage},
      {"_no-nul", std::nullopt},
      {"map-1-k", StoreKind::SessionStorage},
      {"next-map-id", StoreKind::SessionStorage},
      {std::string("\0\0\0\0", 4), StoreKind::IndexedDb},
      {std::string("\0\1\1\1\1", 5), StoreKind::IndexedDb},
      {std::string("\1\0\1\1\1", 5), std::nullopt},
      {std::string("\1\1\1\1", 4), std::nullopt},
      {"version2", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(kind_of_key(c.key), c.kind) << testing::hex(c.key);
}

std::string store(const TempDir& dir, const std::string& name, const KeyValues& puts) {
  const std::string path = dir.file(name);
  std::filesystem::create_directories(path);
  if (!puts.empty()) testing::write_file(path + "/000003.log", testing::real_log_bytes(puts));
  return path;
}

RawLevelDb open(const std::string& path) {
  auto db = RawLevelDb::open(path);
  EXPECT_TRUE(db.has_value());
  return std::move(*db);
}

// A store the real library writes, uncompressed, a table every
// `write_buffer` bytes or so; nullptr (and a failure) if it cannot.
std::unique_ptr<leveldb::DB> new_store(const std::string& path, std::size_t write_buffer) {
  leveldb::Options options;
  options.create_if_missing = true;
  options.compression = leveldb::kNoCompression;
  options.write_buffer_size = write_buffer;
  leveldb::DB* raw = nullptr;
  EXPECT_TRUE(leveldb::DB::Open(options, path, &raw).ok());
  return std::unique_ptr<leveldb::DB>(raw);
}

TEST(StoreKind, KeysOutvoteTheNameAndTiesGoToTheFirstKind) {
  const TempDir dir;
  const std::string session = store(dir, "Local Storage", {{"map-1-a", "x"}, {"map-1-b", "y"}, {"VERSION", "1"}});
  EXPECT_EQ(detect_store_kind(open(session), false, session), StoreKind::SessionStorage);
  const std::string tie = store(dir, "tie", {{"map-1-a", "x"}, {"VERSION", "1"}});
  EXPECT_EQ(detect_store_kind(open(tie), false, tie), StoreKind::LocalStorage);
  const std::string named = store(dir, "Session Storage", {{"unknown", "x"}});
  EXPECT_EQ(detect_store_kind(open(named), true, named), StoreKind::SessionStorage);
  const std::string nameless = store(dir, "empty", {});
  const RawLevelDb db = open(nameless);
  const auto result = export_chromium(db, nameless, {}, [](std::string_view) -> std::expected<void, WriteError> {
    ADD_FAILURE() << "nothing may be written for a store of no kind";
    return {};
  });
  EXPECT_FALSE(result.has_value());
}

TEST(StoreKind, AnExtensionSettingsPlaceDecidesOverTheKeys) {
  const TempDir dir;
  const std::string path =
      store(dir, "Local Extension Settings/abcdef", {{"map-1-a", "{\"v\": [1]}"}, {"VERSION", "not json"}});
  const RawLevelDb db = open(path);
  EXPECT_EQ(detect_store_kind(db, false, path), StoreKind::ExtensionSettings);
  ChromiumExportOptions options;
  options.store = "S\xff";
  std::string out;
  auto result = export_chromium(db, path, options, [&](std::string_view chunk) -> std::expected<void, WriteError> {
    out += chunk;
    return {};
  });
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->entries, 2u);
  const std::string lead =
      "{\"store\": \"S\xef\xbf\xbd\", \"kind\": \"extension_settings\", \"type\": \"setting\", \"area\": "
      "\"local\", \"extension_id\": \"abcdef\", ";
  EXPECT_TRUE(out.starts_with(lead + "\"key\": \"map-1-a\", \"value\": {\"v\": [1]}, \"seq\": 1,")) << out;
  EXPECT_NE(out.find(lead + "\"key\": \"VERSION\", \"value\": null, \"error\": \"value is not JSON text\", "
                            "\"raw_key\": \"56455253494f4e\""),
            std::string::npos)
      << out;

  // Said by kind, any store reads plainly: escaped key, JSON or escaped value.
  options = {};
  options.kind = StoreKind::LevelDb;
  out.clear();
  const std::string plain = store(dir, "plain", {{std::string("k\0\\", 3), "[1,2]"}, {"t", "a\\\n"}});
  ASSERT_TRUE(export_chromium(open(plain), plain, options, [&](std::string_view chunk) -> std::expected<void, WriteError> {
                out += chunk;
                return {};
              }).has_value());
  EXPECT_NE(out.find("{\"kind\": \"leveldb\", \"type\": \"record\", \"key\": \"k\\\\x00\\\\\\\\\", \"value\": [1, 2], "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"key\": \"t\", \"value\": \"a\\\\\\\\\\\\x0a\", "), std::string::npos) << out;
}

TEST(ChromiumExport, ChunksJoinToTheWholeAndAWriteErrorStopsTheRun) {
  const TempDir dir;
  KeyValues puts;
  for (int i = 0; i < 300; ++i) puts.emplace_back("map-1-key" + std::to_string(i), std::string(40, 'v'));
  const std::string path = store(dir, "s", puts);
  const RawLevelDb db = open(path);

  std::string whole;
  auto one = export_chromium(db, path, {}, [&](std::string_view chunk) -> std::expected<void, WriteError> {
    whole += chunk;
    return {};
  });
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->entries, 300u);
  EXPECT_NE(whole.find("{\"kind\": \"sessionstorage\", \"type\": \"item\""), std::string::npos);

  ChromiumExportOptions small;
  small.chunk_size = 1000;
  std::vector<std::string> chunks;
  auto many = export_chromium(
      db, path, small,
      [&](std::string_view chunk) -> std::expected<void, WriteError> {
        chunks.emplace_back(chunk);
        return {};
      },
      [] { return true; }, 7);
  ASSERT_TRUE(many.has_value());
  EXPECT_GT(chunks.size(), 10u);
  std::string joined;
  for (const std::string& chunk : chunks) {
    EXPECT_LT(chunk.size(), 2000u);
    joined += chunk;
  }
  EXPECT_EQ(joined, whole);

  int calls = 0;
  auto failed = export_chromium(db, path, small, [&](std::string_view) -> std::expected<void, WriteError> {
    ++calls;
    return std::unexpected(WriteError{32, "broken pipe"});
  });
  ASSERT_TRUE(failed.has_value());
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(failed->write_error.has_value());
  EXPECT_EQ(failed->write_error->error_number, 32);

  ChromiumExportOptions deleted_only;
  deleted_only.selection.states = std::vector<KeyState>{KeyState::Deleted};
  auto none = export_chromium(db, path, deleted_only, [&](std::string_view chunk) -> std::expected<void, WriteError> {
    ADD_FAILURE() << chunk;
    return {};
  });
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->entries, 0u);

  // A stop asked for during the first pass (here Session Storage's, which
  // learns each map's origin) ends the run before any entry is written.
  auto stopped = export_chromium(
      db, path, {},
      [&](std::string_view chunk) -> std::expected<void, WriteError> {
        ADD_FAILURE() << chunk;
        return {};
      },
      [] { return false; }, 1);
  ASSERT_TRUE(stopped.has_value());
  EXPECT_TRUE(stopped->stopped);
  EXPECT_EQ(stopped->entries, 0u);
}

// An IndexedDB store at `path` in up to three tables, whose later tables
// change names an earlier one gave (object store 1 renamed, object store 2's
// name deleted, a database renamed).
void write_renamed_indexeddb(const std::string& path) {
  const auto db = new_store(path, 64 * 1024);  // up to three tables, no compaction
  ASSERT_NE(db, nullptr);
  // The database "n" of origin "o"; its object stores' names; records of
  // both stores and their blob entries, enough to fill a table.
  const std::string database = hex("00 00 00 00 c9 01 006f 01 006e");
  const std::string store_name[] = {hex("00 01 00 00 32 01 00"), hex("00 01 00 00 32 02 00")};
  int next = 0;
  auto fill = [&] {
    for (int i = 0; i < 40; ++i, ++next) {
      const std::string key = hex("01 02") + char(next >> 8) + char(next);  // a two-unit string key
      for (const char store : {'\1', '\2'}) {
        ASSERT_TRUE(db->Put({}, hex("00 01") + store + '\1' + key, hex("01") + std::string(900, 'v')).ok());
        ASSERT_TRUE(db->Put({}, hex("00 01") + store + '\3' + key, hex("00")).ok());
      }
    }
  };
  const std::pair<std::string, std::string> steps[] = {
      {database, hex("01")}, {store_name[0], hex("0073")}, {store_name[1], hex("0074")},  // "s", "t"
      {store_name[0], hex("0072")},                                                      // renamed "r"
      {hex("00 00 00 00 c9 01 006f 01 006d"), hex("01")},                                // database "m"
  };
  for (const auto& [key, value] : steps) {
    ASSERT_TRUE(db->Put({}, key, value).ok());
    fill();
    if (key == store_name[1]) {
      ASSERT_TRUE(db->Delete({}, store_name[1]).ok());
    }
  }
}

// IndexedDB's first pass shared out over threads, each data file learned from
// apart, learns what one walk learns: here the names that a later table
// changes (object store 1 renamed, object store 2's name deleted, a database
// renamed) are those of the records of every file, in either order.
TEST(ChromiumExport, TheFirstPassSharedOutLearnsWhatOneWalkDoes) {
  const TempDir dir;
  const std::string path = dir.file("o.indexeddb.leveldb");
  write_renamed_indexeddb(path);
  std::size_t tables = 0;
  for (const auto& file : std::filesystem::directory_iterator(path)) tables += file.path().extension() == ".ldb";
  ASSERT_GE(tables, 2u);
  const RawLevelDb db = open(path);
  for (const bool reverse : {false, true}) {
    std::string outputs[3];
    for (unsigned threads = 1; threads <= 3; ++threads) {
      ChromiumExportOptions options;
      options.reverse = reverse;
      options.threads = threads;
      ASSERT_TRUE(export_chromium(db, path, options, [&](std::string_view chunk) -> std::expected<void, WriteError> {
                    outputs[threads - 1] += chunk;
                    return {};
                  }).has_value());
    }
    EXPECT_EQ(outputs[1], outputs[0]) << reverse;
    EXPECT_EQ(outputs[2], outputs[0]) << reverse;
    EXPECT_NE(outputs[0].find("\"database\": \"m\", \"database_id\": 1, \"object_store\": \"r\""),
              std::string::npos);
    EXPECT_NE(outputs[0].find("\"object_store\": \"t\", \"object_store_id\": 2"), std::string::npos);
    EXPECT_EQ(outputs[0].find("\"object_store\": \"s\""), std::string::npos);
  }
}

// IndexedDB's first pass passes over the data blocks that hold only one
// object store's records, exists or index entries: the entries are those of
// a pass over every record. Two databases, so that the second's names lie
// past the first's data blocks, and blob entries filling blocks of their own.
TEST(ChromiumExport, TheFirstPassSkipsOnlyBlocksItLearnsNothingFrom) {
  const TempDir dir;
  const std::string path = dir.file("o.indexeddb.leveldb");
  {
    const auto db = new_store(path, 128 * 1024);
    ASSERT_NE(db, nullptr);
    for (const char database : {'\1', '\2'}) {
      const std::string prefix = hex("00") + database;
      // The database "n" (then "o") of origin "o".
      const std::string name = hex("00 00 00 00 c9 01 006f 01 00") + char('m' + database);
      ASSERT_TRUE(db->Put({}, name, std::string(1, database)).ok());
      ASSERT_TRUE(db->Put({}, prefix + hex("00 00 32 01 00"), hex("0073")).ok());  // object store 1: "s"
      // Object stores 2 to 120, their names long enough to fill blocks of
      // metadata alone, and a record of the last.
      for (char store = 2; store <= 120; ++store) {
        std::string name;
        for (int unit = 0; unit < 40; ++unit) name += std::string(1, '\0') + char('a' + store % 26);
        ASSERT_TRUE(db->Put({}, prefix + hex("00 00 32") + store + hex("00"), name).ok());
      }
      ASSERT_TRUE(db->Put({}, prefix + char(120) + hex("01 01 01 0061"), hex("05 ff0f 54")).ok());
      // Values kept in blob files, which their blob entries (written after
      // them, as Chromium does) list: blob number i % 100 + 2, 3 bytes. And
      // records of filler beside them.
      const auto key = [](int i) { return hex("01 01") + char(i >> 8) + char(i); };  // a one-unit string
      for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(db->Put({}, prefix + hex("01 01") + key(i), hex("05 ff1101 03 00")).ok());
        if (i % 3 == 0) {
          const std::string filler = prefix + hex("01 01 01 02 007a") + char(i >> 8) + char(i);
          ASSERT_TRUE(db->Put({}, filler, std::string(600, 'v')).ok());
        }
      }
      for (int i = 0; i < 1000; ++i) {
        const std::string blobs = hex("00") + char(i % 100 + 2) + hex("0100 61 03");
        ASSERT_TRUE(db->Put({}, prefix + hex("01 03") + key(i), blobs).ok());
      }
    }
  }
  const RawLevelDb db = open(path);
  std::size_t skippable = 0;
  for (const auto& file : db.data_files()) {
    if (const auto* table = std::get_if<TableFile>(&file)) {
      for (std::size_t i = 1; i < table->index().size(); ++i) {
        skippable += IndexedDbDecoder::nothing_to_learn_between(table->index()[i - 1].first, table->index()[i].first);
      }
    }
  }
  ASSERT_GT(skippable, 10u);

  // Every record learned from, then every record written.
  IndexedDbDecoder decoder(dir.file("o.indexeddb.blob"));
  struct Each {
    std::function<void(const RecordView&)> f;
    void operator()(const RecordView& record) { f(record); }
  };
  std::string expected;
  for (const bool learning : {true, false}) {
    Each each{[&](const RecordView& record) {
      if (learning) {
        decoder.learn(record);
      } else {
        decoder.append_entry(expected, record);
      }
    }};
    RecordStream stream(db, false);
    while (stream.step(db, 4096, each)) {
    }
  }
  ASSERT_NE(expected.find("\"database\": \"o\""), std::string::npos);
  ASSERT_NE(expected.find("blob file"), std::string::npos);
  for (unsigned threads = 1; threads <= 2; ++threads) {
    ChromiumExportOptions options;
    options.threads = threads;
    std::string out;
    ASSERT_TRUE(export_chromium(db, path, options, [&](std::string_view chunk) -> std::expected<void, WriteError> {
                  out += chunk;
                  return {};
                }).has_value());
    EXPECT_EQ(out, expected) << threads;
  }
}

// Many stores in one export: each store's lines are what its own export
// writes with its path as the store field, in the order given, whatever the
// threads that share out their files and prepare each store (two IndexedDB
// stores of several tables, whose first passes run on the threads that open
// them; a store that cannot be opened; one of no kind told, written plainly).
TEST(ChromiumExport, ManyStoresAreEachWhatTheirOwnExportWrites) {
  const TempDir dir;
  const std::vector<std::string> stores = {dir.file("a/o.indexeddb.leveldb"), dir.file("gone"),
                                           store(dir, "plain", {{"k", "v"}, {"j", "{\"a\": 1}"}}),
                                           dir.file("b/o.indexeddb.leveldb")};
  std::filesystem::create_directories(dir.file("a"));
  write_renamed_indexeddb(stores[0]);
  std::filesystem::create_directories(stores[3]);
  std::filesystem::copy(stores[0], stores[3]);
  for (const bool status : {false, true}) {
    ChromiumExportOptions options;
    options.selection.status = status;
    options.chunk_size = 4096;  // many chunks a file
    std::string expected;
    for (const std::string& path : {stores[0], stores[2], stores[3]}) {
      options.store = path;
      options.fallback_kind = StoreKind::LevelDb;
      ASSERT_TRUE(export_chromium(open(path), path, options, [&](std::string_view chunk) -> std::expected<void, WriteError> {
                    expected += chunk;
                    return {};
                  }).has_value());
    }
    ASSERT_NE(expected.find("\"kind\": \"leveldb\""), std::string::npos);
    ASSERT_NE(expected.find("\"object_store\": \"r\""), std::string::npos);
    options.store.reset();
    options.fallback_kind.reset();
    for (unsigned threads = 1; threads <= 3; ++threads) {
      options.threads = threads;
      std::string out;
      std::vector<std::pair<std::size_t, bool>> told;
      const StoreExportResult result = export_chromium_stores(
          stores, options,
          [&](std::string_view chunk) -> std::expected<void, WriteError> {
            out += chunk;
            return {};
          },
          {}, [&](std::size_t index, const std::expected<RawLevelDb, DbError>& db) {
            told.emplace_back(index, db.has_value());
            return true;
          });
      EXPECT_EQ(out, expected) << status << threads;
      EXPECT_EQ(result.records, static_cast<std::uint64_t>(std::count(out.begin(), out.end(), '\n')));
      const std::vector<std::pair<std::size_t, bool>> in_order = {{0, true}, {1, false}, {2, true}, {3, true}};
      EXPECT_EQ(told, in_order);
    }
  }
}

}  // namespace
}  // namespace vostrel::chromium
