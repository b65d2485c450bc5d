// The table reader against tables written by the real LevelDB library at test
// time. Every table is read twice, by the reader and by the library itself,
// and the two must agree entry for entry; the library's own dump of the file
// is a second, textual witness. A snapshot held from the very first write
// keeps every version and every deletion through compaction, so the records
// of all tables together must be exactly the writes that were made.

#include <gtest/gtest.h>
#include <leveldb/comparator.h>
#include <leveldb/db.h>
#include <leveldb/dumpfile.h>
#include <leveldb/env.h>
#include <leveldb/iterator.h>
#include <leveldb/options.h>
#include <leveldb/table.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "read/table_file.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::dump_escaped;
using testing::dump_with_library;

struct Config {
  leveldb::CompressionType compression;
  int restart_interval;
  const char* name;
};

// --- What was written ------------------------------------------------------------

struct Write {
  std::string user_key;
  std::uint64_t seq;
  bool deletion;
  std::string value;
};

// A database built once per configuration; its directory lives for the whole run.
struct Database {
  std::unique_ptr<TempDir> dir;
  std::vector<Write> writes;
  std::vector<std::string> tables;  // paths of the .ldb files, sorted
};

class Writer {
 public:
  explicit Writer(leveldb::DB* db) : db_(db) {}

  void put(const std::string& key, const std::string& value) {
    ASSERT_TRUE(db_->Put(leveldb::WriteOptions(), key, value).ok());
    writes_.push_back({key, next_seq_++, false, value});
  }
  void del(const std::string& key) {
    ASSERT_TRUE(db_->Delete(leveldb::WriteOptions(), key).ok());
    writes_.push_back({key, next_seq_++, true, ""});
  }
  std::vector<Write> take() && { return std::move(writes_); }

 private:
  leveldb::DB* db_;
  std::uint64_t next_seq_ = 1;  // a fresh database numbers its writes from 1, one per Put/Delete
  std::vector<Write> writes_;
};

std::string numbered_key(int i) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "key%05d", i);
  return buffer;
}

// Runs of 40 keys alternate between text that Snappy shrinks well and random
// bytes that it cannot, so a compressed database also stores raw blocks.
std::string value_for(int i, int generation, std::minstd_rand& random) {
  if (i % 11 == 5) return "";
  if ((i / 40) % 2 == 1) {
    std::string bytes(60 + i % 90, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
  }
  std::string text;
  for (int r = 0; r < 1 + i % 5; ++r) {
    text += "value of " + numbered_key(i) + " in generation " + std::to_string(generation) + "; ";
  }
  return text;
}

// Keys that stress the decoder: an empty user key (an internal key of exactly
// 8 bytes), bytes 00 and FF, and a key longer than a whole block.
std::vector<std::string> special_keys() {
  return {
      std::string(),
      std::string("\x00", 1),
      std::string("bin\x00\xff\x01", 6),
      std::string(300, 'L'),
      std::string("\xff\xfe\xfd", 3),
  };
}

void build(const Config& config, Database& out) {
  constexpr int kKeys = 600;
  out.dir = std::make_unique<TempDir>();
  leveldb::Options options;
  options.create_if_missing = true;
  options.compression = config.compression;
  options.block_size = 256;  // the library raises this to its 1 KiB minimum
  options.block_restart_interval = config.restart_interval;
  options.write_buffer_size = 64 << 10;  // its minimum: memtables flush often
  leveldb::DB* raw_db = nullptr;
  ASSERT_TRUE(leveldb::DB::Open(options, out.dir->path(), &raw_db).ok());
  std::unique_ptr<leveldb::DB> db(raw_db);

  // Taken before any write (sequence 0), this snapshot makes every version of
  // every key visible to someone, so neither flushes nor compactions drop any.
  std::vector<const leveldb::Snapshot*> snapshots{db->GetSnapshot()};
  Writer writer(db.get());
  std::minstd_rand random(12345);

  for (int i = 0; i < kKeys; ++i) writer.put(numbered_key(i), value_for(i, 0, random));
  for (const auto& key : special_keys()) writer.put(key, "special " + key);
  snapshots.push_back(db->GetSnapshot());

  for (int i = 0; i < kKeys; i += 2) writer.put(numbered_key(i), value_for(i, 1, random));
  for (int i = 0; i < kKeys; i += 7) writer.del(numbered_key(i));
  writer.del(special_keys()[0]);
  writer.del("never written");
  snapshots.push_back(db->GetSnapshot());

  // Merge everything so far into the lower levels...
  db->CompactRange(nullptr, nullptr);

  // ...then write more than one memtable holds and flush the last one.
  // Compacting a range outside these keys forces the flush but leaves the
  // new level-0 tables alone, beside the merged ones.
  for (int i = 0; i < kKeys; ++i) writer.put(numbered_key(i), value_for(i, 2, random));
  const leveldb::Slice begin("a"), end("b");
  db->CompactRange(&begin, &end);

  for (const auto* snapshot : snapshots) db->ReleaseSnapshot(snapshot);
  db.reset();

  out.writes = std::move(writer).take();
  for (const auto& item : std::filesystem::directory_iterator(out.dir->path())) {
    if (item.path().extension() == ".ldb") out.tables.push_back(item.path().string());
  }
  std::sort(out.tables.begin(), out.tables.end());
}

const Database& database(const Config& config) {
  static std::map<std::string, Database> built;
  auto [it, inserted] = built.try_emplace(config.name);
  if (inserted) build(config, it->second);
  return it->second;
}

// --- What the library reads back ---------------------------------------------------

// Orders internal keys as the database does: user keys bytewise ascending,
// then the trailer (sequence << 8 | type) descending. A table opened with it
// can answer, through the library's own index lookup, which block holds a key.
class InternalKeyOrder final : public leveldb::Comparator {
 public:
  int Compare(const leveldb::Slice& a, const leveldb::Slice& b) const override {
    const int by_user_key = user(a).compare(user(b));
    if (by_user_key != 0) return by_user_key;
    const std::uint64_t ta = trailer(a), tb = trailer(b);
    return ta > tb ? -1 : ta < tb ? 1 : 0;
  }
  const char* Name() const override { return "leveldb.InternalKeyComparator"; }
  void FindShortestSeparator(std::string*, const leveldb::Slice&) const override {}
  void FindShortSuccessor(std::string*) const override {}

 private:
  static leveldb::Slice user(const leveldb::Slice& k) {
    return k.size() < 8 ? k : leveldb::Slice(k.data(), k.size() - 8);
  }
  static std::uint64_t trailer(const leveldb::Slice& k) {
    return k.size() < 8 ? 0 : load_le64(k.data() + k.size() - 8);
  }
};

struct LibraryEntry {
  std::string key;
  std::string value;
  std::uint64_t block_offset;  // where the data block holding it begins
};

struct LibraryView {
  std::vector<LibraryEntry> entries;
  std::uint64_t metaindex_offset;  // the data blocks end where the metaindex begins
};

LibraryView read_with_library(const std::string& path) {
  static const InternalKeyOrder order;
  leveldb::Env* env = leveldb::Env::Default();
  std::uint64_t size = 0;
  EXPECT_TRUE(env->GetFileSize(path, &size).ok());
  leveldb::RandomAccessFile* raw_file = nullptr;
  EXPECT_TRUE(env->NewRandomAccessFile(path, &raw_file).ok());
  const std::unique_ptr<leveldb::RandomAccessFile> file(raw_file);
  leveldb::Options options;
  options.comparator = &order;
  leveldb::Table* raw_table = nullptr;
  const leveldb::Status opened = leveldb::Table::Open(options, file.get(), size, &raw_table);
  EXPECT_TRUE(opened.ok()) << opened.ToString();
  const std::unique_ptr<leveldb::Table> table(raw_table);

  LibraryView view;
  leveldb::ReadOptions read_options;
  read_options.verify_checksums = true;
  read_options.fill_cache = false;
  const std::unique_ptr<leveldb::Iterator> it(table->NewIterator(read_options));
  for (it->SeekToFirst(); it->Valid(); it->Next()) {
    view.entries.push_back(
        {it->key().ToString(), it->value().ToString(), table->ApproximateOffsetOf(it->key())});
  }
  EXPECT_TRUE(it->status().ok()) << it->status().ToString();
  // A key after every key in the file: the library answers with the metaindex offset.
  view.metaindex_offset = table->ApproximateOffsetOf(std::string(4096, '\xff') + std::string(8, '\0'));
  return view;
}

// The reader's records in the library's dump format, one line each. A record
// the reader leaves Unknown (an empty user key) shows its type byte instead.
std::vector<std::string> dump_of(const std::vector<Record>& records) {
  std::vector<std::string> lines;
  for (const Record& r : records) {
    const bool deleted = r.state == KeyState::Deleted ||
                         (r.state == KeyState::Unknown && r.key.size() >= 8 &&
                          r.key[r.key.size() - 8] == 0);
    // Appended piecewise: g++ 12 warns falsely (-Wrestrict) on a long chain of +.
    std::string line = "'";
    line.append(dump_escaped(r.user_key())).append("' @ ").append(std::to_string(r.seq));
    line.append(" : ").append(deleted ? "del" : "val").append(" => '");
    line.append(dump_escaped(r.value)).append("'");
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Decodes a varint32 the plain way, for locating entries in the file bytes.
std::optional<std::uint64_t> varint_at(std::string_view bytes, std::size_t& pos) {
  std::uint64_t value = 0;
  for (int shift = 0; shift <= 28 && pos < bytes.size(); shift += 7) {
    const auto b = static_cast<unsigned char>(bytes[pos++]);
    value |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if (b < 0x80) return value;
  }
  return std::nullopt;
}

// --- The tests ---------------------------------------------------------------------

class RealTableTest : public ::testing::TestWithParam<Config> {};

TEST_P(RealTableTest, EveryTableMatchesTheLibrary) {
  const Database& db = database(GetParam());
  ASSERT_GE(db.tables.size(), 2u);
  std::size_t compressed_records = 0, raw_records = 0;

  for (const std::string& path : db.tables) {
    SCOPED_TRACE(path);
    const std::string bytes = read_file(path);
    const LibraryView library = read_with_library(path);
    const auto table = TableFile::open(path);
    ASSERT_TRUE(table) << table.error().message();
    const std::vector<Record> records = testing::file_records(*table);
    ASSERT_EQ(records.size(), library.entries.size());
    ASSERT_FALSE(records.empty());

    // Data blocks lie back to back; each one's trailer ends where the next
    // block (or, after the last, the metaindex) begins.
    std::vector<std::uint64_t> block_starts;
    for (const auto& e : library.entries) block_starts.push_back(e.block_offset);
    block_starts.push_back(library.metaindex_offset);
    block_starts.erase(std::unique(block_starts.begin(), block_starts.end()), block_starts.end());
    ASSERT_TRUE(std::is_sorted(block_starts.begin(), block_starts.end()));

    for (std::size_t i = 0; i < records.size(); ++i) {
      SCOPED_TRACE(i);
      const Record& r = records[i];
      const LibraryEntry& e = library.entries[i];
      ASSERT_EQ(r.key, e.key);
      EXPECT_EQ(r.value, e.value);
      EXPECT_EQ(r.file_type, FileType::Ldb);
      EXPECT_EQ(r.origin_path(), path);

      const std::uint64_t trailer = load_le64(e.key.data() + e.key.size() - 8);
      const std::uint8_t type = trailer & 0xff;
      ASSERT_LE(type, 1u);  // the library writes 0 (deletion) and 1 (value) only
      EXPECT_EQ(r.seq, trailer >> 8);
      EXPECT_EQ(r.user_key(), std::string_view(e.key).substr(0, e.key.size() - 8));
      // An empty user key leaves an internal key of exactly 8 bytes: not classified.
      const KeyState state = e.key.size() == 8 ? KeyState::Unknown
                             : type == 0       ? KeyState::Deleted
                                               : KeyState::Live;
      EXPECT_EQ(r.state, state);

      const auto next = std::upper_bound(block_starts.begin(), block_starts.end(), e.block_offset);
      ASSERT_NE(next, block_starts.end());
      const std::uint64_t block_end = *next - 5;  // the type byte's position
      const bool compressed = bytes.at(block_end) != 0;
      EXPECT_EQ(r.was_compressed, compressed);
      if (compressed) {
        ++compressed_records;
        EXPECT_EQ(r.offset, e.block_offset);
        continue;
      }
      ++raw_records;
      // A raw record's offset is where its entry begins in the file: the entry
      // found there must rebuild the tail of this key and hold this value.
      ASSERT_GE(r.offset, e.block_offset);
      ASSERT_LT(r.offset, block_end);
      std::size_t pos = r.offset;
      const auto shared = varint_at(bytes, pos);
      const auto non_shared = varint_at(bytes, pos);
      const auto value_length = varint_at(bytes, pos);
      ASSERT_TRUE(shared && non_shared && value_length);
      ASSERT_EQ(*shared + *non_shared, e.key.size());
      EXPECT_EQ(bytes.substr(pos, *non_shared), e.key.substr(*shared));
      EXPECT_EQ(bytes.substr(pos + *non_shared, *value_length), e.value);
      if (GetParam().restart_interval == 1) {
        EXPECT_EQ(*shared, 0u);
      }
    }

    const std::vector<std::string> ours = dump_of(records);
    const std::vector<std::string> theirs = lines_of(dump_with_library(path));
    EXPECT_EQ(ours.size(), theirs.size());
    for (std::size_t i = 0; i < std::min(ours.size(), theirs.size()); ++i) {
      if (ours[i] != theirs[i]) {
        ADD_FAILURE() << "dump line " << i << ":\n  reader:  " << ours[i] << "\n  library: " << theirs[i];
        break;
      }
    }
  }

  if (GetParam().compression == leveldb::kNoCompression) {
    EXPECT_EQ(compressed_records, 0u);
  } else {
    EXPECT_GT(compressed_records, 0u);
    EXPECT_GT(raw_records, 0u);  // the random runs do not compress
  }
}

TEST_P(RealTableTest, EveryWriteIsRecoveredExactlyOnce) {
  const Database& db = database(GetParam());
  using Item = std::tuple<std::string, std::uint64_t, KeyState, std::string>;
  std::vector<Item> expected;
  for (const Write& w : db.writes) {
    const KeyState state = w.user_key.empty() ? KeyState::Unknown
                           : w.deletion       ? KeyState::Deleted
                                              : KeyState::Live;
    expected.emplace_back(w.user_key, w.seq, state, w.value);
  }
  std::vector<Item> found;
  for (const std::string& path : db.tables) {
    const auto table = TableFile::open(path);
    ASSERT_TRUE(table) << table.error().message();
    for (const Record& r : testing::file_records(*table)) {
      found.emplace_back(std::string(r.user_key()), r.seq, r.state, r.value);
    }
  }
  std::sort(expected.begin(), expected.end());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found.size(), expected.size());
  const auto [f, e] = std::mismatch(found.begin(), found.end(), expected.begin(), expected.end());
  if (f != found.end() || e != expected.end()) {
    ADD_FAILURE() << "first difference at " << (f - found.begin()) << ": found "
                  << (f != found.end() ? dump_escaped(std::get<0>(*f)) + " @ " + std::to_string(std::get<1>(*f)) : "nothing")
                  << ", expected "
                  << (e != expected.end() ? dump_escaped(std::get<0>(*e)) + " @ " + std::to_string(std::get<1>(*e)) : "nothing");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, RealTableTest,
    ::testing::Values(Config{leveldb::kSnappyCompression, 1, "SnappyRestartEvery1"},
                      Config{leveldb::kSnappyCompression, 16, "SnappyRestartEvery16"},
                      Config{leveldb::kNoCompression, 1, "RawRestartEvery1"},
                      Config{leveldb::kNoCompression, 16, "RawRestartEvery16"}),
    [](const ::testing::TestParamInfo<Config>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vostrel
