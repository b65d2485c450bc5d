// Logs written by the real LevelDB library at test time, read back with
// LogFile. LevelDB's own file dumper serves as an independent second reader.
//
// A large write buffer keeps every write in the log: nothing is flushed to a
// table, and the database is closed without reopening (reopening would replay
// the log into a table and delete it).

#include <leveldb/db.h>
#include <leveldb/dumpfile.h>
#include <leveldb/env.h>
#include <leveldb/options.h>
#include <leveldb/write_batch.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "format/file_name.h"
#include "read/log_file.h"
#include "io/mapped_file.h"
#include "test_support.h"
#include "format/record.h"
#include "base/varint.h"

namespace vostrel {
namespace {

using testing::TempDir;
using testing::dump_escaped;
using testing::dump_with_library;

// One entry as it was written.
struct Written {
  std::string key;
  std::string value;
  std::uint64_t seq;
  KeyState state;
};

// Writes through a real database and remembers what each write assigned.
// A fresh database gives its first write sequence number 1, and every entry of
// a batch takes the next number.
class Writer {
 public:
  explicit Writer(const std::string& dir) {
    leveldb::Options options;
    options.create_if_missing = true;
    options.error_if_exists = true;
    options.write_buffer_size = 512u << 20;  // never flush the memtable to a table
    leveldb::DB* db = nullptr;
    const leveldb::Status status = leveldb::DB::Open(options, dir, &db);
    EXPECT_TRUE(status.ok()) << status.ToString();
    db_.reset(db);
  }

  void put(const std::string& key, const std::string& value) {
    ASSERT_TRUE(db_->Put({}, key, value).ok());
    written_.push_back({key, value, next_seq_++, KeyState::Live});
  }
  void del(const std::string& key) {
    ASSERT_TRUE(db_->Delete({}, key).ok());
    written_.push_back({key, "", next_seq_++, KeyState::Deleted});
  }
  // A batch from (key, optional value) pairs; no value means a deletion.
  void batch(const std::vector<std::pair<std::string, std::optional<std::string>>>& entries) {
    leveldb::WriteBatch batch;
    for (const auto& [key, value] : entries) {
      if (value) {
        batch.Put(key, *value);
        written_.push_back({key, *value, next_seq_++, KeyState::Live});
      } else {
        batch.Delete(key);
        written_.push_back({key, "", next_seq_++, KeyState::Deleted});
      }
    }
    ASSERT_TRUE(db_->Write({}, &batch).ok());
  }
  void close() { db_.reset(); }
  [[nodiscard]] const std::vector<Written>& written() const { return written_; }

 private:
  std::unique_ptr<leveldb::DB> db_;
  std::vector<Written> written_;
  std::uint64_t next_seq_ = 1;
};

std::vector<std::string> log_files(const std::string& dir) {
  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".log") logs.push_back(entry.path().string());
  }
  std::sort(logs.begin(), logs.end());
  return logs;
}

// ---------------------------------------------------------------------------
// The dumper as an oracle

// The line the dumper prints for an entry.
std::string entry_line(const Record& r) {
  if (r.state == KeyState::Deleted) return "  del '" + dump_escaped(r.key) + "'";
  return "  put '" + dump_escaped(r.key) + "' '" + dump_escaped(r.value) + "'";
}

struct DumpedBatch {
  std::uint64_t physical_offset;  // where the batch's first physical record starts
  std::uint64_t seq;
  std::vector<std::string> lines;
};

std::vector<DumpedBatch> dump(const std::string& path) {
  const std::string text = dump_with_library(path);
  std::vector<DumpedBatch> batches;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    unsigned long long offset = 0;
    unsigned long long seq = 0;
    if (std::sscanf(line.c_str(), "--- offset %llu; sequence %llu", &offset, &seq) == 2) {
      batches.push_back({offset, seq, {}});
    } else {
      EXPECT_FALSE(batches.empty()) << line;
      EXPECT_TRUE(line.starts_with("  put '") || line.starts_with("  del '")) << line;
      if (!batches.empty()) batches.back().lines.push_back(line);
    }
  }
  return batches;
}

// Parses "  put 'k' 'v'" / "  del 'k'" back into key and state, for keys
// without quotes or backslashes (the dumper escapes neither).
std::pair<std::string, KeyState> parse_line(std::string_view line) {
  const KeyState state = line.starts_with("  del") ? KeyState::Deleted : KeyState::Live;
  line.remove_prefix(7);
  const std::size_t quote = line.find('\'');
  std::string key;
  const std::string_view text = line.substr(0, quote);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      key.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16)));
      i += 3;
    } else {
      key.push_back(text[i]);
    }
  }
  return {key, state};
}

// ---------------------------------------------------------------------------
// Physical layout, walked independently of the reader: the file position of
// every payload byte of the logical record whose first header is at `start`.

struct PhysicalRecord {
  std::vector<std::uint64_t> positions;  // file position of each payload byte
  std::uint64_t first_end = 0;           // end of the first physical record
  std::uint64_t end = 0;                 // end of the last physical record
};

PhysicalRecord physical_layout(std::string_view file, std::uint64_t start) {
  PhysicalRecord out;
  std::uint64_t pos = start;
  for (bool first = true;; first = false) {
    const std::uint64_t block_left = kLogBlockSize - pos % kLogBlockSize;
    if (block_left < kLogHeaderSize) pos += block_left;  // trailer padding
    if (pos + kLogHeaderSize > file.size()) {
      ADD_FAILURE() << "record at " << start << " runs past the file";
      return out;
    }
    const std::size_t length = static_cast<unsigned char>(file[pos + 4]) |
                               static_cast<std::size_t>(static_cast<unsigned char>(file[pos + 5])) << 8;
    const auto type = static_cast<unsigned char>(file[pos + 6]);
    for (std::size_t i = 0; i < length; ++i) out.positions.push_back(pos + kLogHeaderSize + i);
    pos += kLogHeaderSize + length;
    if (first) {
      out.first_end = pos;
      EXPECT_TRUE(type == 1 || type == 2) << "type " << int{type} << " at " << start;
    }
    if (type == 1 || type == 4) break;
    if (!first) {
      EXPECT_EQ(type, 3) << "at " << pos;
    }
  }
  out.end = pos;
  return out;
}

// ---------------------------------------------------------------------------

std::string pattern_value(std::size_t size, std::uint32_t seed) {
  std::string value(size, '\0');
  std::mt19937 rng(seed);
  for (auto& c : value) c = static_cast<char>(rng());
  return value;
}

// Builds a log with puts, deletes, overwrites, batches, empty and binary keys,
// and values large enough to span several 32 KiB blocks.
void write_workload(Writer& w) {
  for (int i = 0; i < 300; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "key%05d", i);
    w.put(key, "value-" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), 'x'));
  }
  w.put("key00007", "overwritten");
  w.del("key00008");
  w.del("never-existed");
  w.put("", "");
  w.put("empty-value", "");
  w.put(std::string("bin\0key\x01\xff\x7f", 10), std::string("v\0\n\r\xfe", 5));
  w.put("big-100k", pattern_value(100 * 1024, 1));
  w.batch({{"b1", "one"}, {"b2", std::nullopt}, {"b3", "three"}, {"b1", "again"}, {"b4", std::nullopt}});
  w.put("big-70000", pattern_value(70000, 2));
  // Sizes around a block, so fragments end on and near block boundaries.
  for (std::size_t size : {32768u - 7u - 12u - 14u, 32768u - 7u, 32768u, 32768u + 1u, 65536u}) {
    w.put("near-block-" + std::to_string(size), pattern_value(size, static_cast<std::uint32_t>(size)));
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> large_batch;
  for (int i = 0; i < 400; ++i) {
    const std::string key = "lb" + std::to_string(i);
    if (i % 7 == 3) {
      large_batch.emplace_back(key, std::nullopt);
    } else {
      large_batch.emplace_back(key, pattern_value(static_cast<std::size_t>(i * 13 % 500), static_cast<std::uint32_t>(i)));
    }
  }
  w.batch(large_batch);
  w.batch({{"after-large", "x"}, {"big-in-batch", pattern_value(40000, 3)}, {"gone", std::nullopt}});
  for (int i = 0; i < 50; ++i) w.del("key" + std::to_string(i));
  w.put("last", "the end");
}

class RealLog : public ::testing::Test {
 protected:
  void SetUp() override {
    Writer w(dir_.path());
    write_workload(w);
    w.close();
    written_ = w.written();
    const auto logs = log_files(dir_.path());
    ASSERT_EQ(logs.size(), 1u);
    path_ = logs[0];
    bytes_ = testing::read_file(path_);
    ASSERT_GT(bytes_.size(), 4 * kLogBlockSize);
  }

  TempDir dir_;
  std::vector<Written> written_;
  std::string path_;
  std::string bytes_;
};

TEST_F(RealLog, EveryWrittenEntryComesBack) {
  auto log = LogFile::open(path_);
  ASSERT_TRUE(log.has_value()) << log.error().message();
  EXPECT_EQ(log->number(), file_number_from_path(path_));
  EXPECT_EQ(log->length(), bytes_.size());
  const auto records = testing::file_records(*log);
  ASSERT_EQ(records.size(), written_.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const Record& r = records[i];
    const Written& w = written_[i];
    EXPECT_EQ(r.key, w.key);
    EXPECT_EQ(r.user_key(), w.key);
    EXPECT_EQ(r.value.size(), w.value.size());
    EXPECT_TRUE(r.value == w.value);
    EXPECT_EQ(r.seq, w.seq);
    EXPECT_EQ(r.state, w.state);
    EXPECT_EQ(r.file_type, FileType::Log);
    EXPECT_FALSE(r.was_compressed);
    EXPECT_EQ(r.origin_path(), path_);
  }
  EXPECT_EQ(testing::file_records(*log), records);
}

TEST_F(RealLog, MatchesTheDumper) {
  const auto batches = dump(path_);
  auto log = LogFile::open(path_);
  ASSERT_TRUE(log.has_value());
  const auto records = testing::file_records(*log);

  // Every entry the dumper prints, by sequence number, as the line it prints.
  std::map<std::uint64_t, std::string> expected;
  for (const auto& b : batches) {
    for (std::size_t i = 0; i < b.lines.size(); ++i) expected[b.seq + i] = b.lines[i];
  }
  std::map<std::uint64_t, std::string> actual;
  for (const auto& r : records) actual[r.seq] = entry_line(r);
  ASSERT_EQ(actual.size(), records.size());  // sequence numbers are unique
  EXPECT_EQ(actual.size(), expected.size());
  EXPECT_TRUE(actual == expected);
  for (const auto& [seq, line] : expected) {
    const auto it = actual.find(seq);
    if (it == actual.end()) {
      ADD_FAILURE() << "missing seq " << seq << ": " << line.substr(0, 80);
    } else if (it->second != line) {
      ADD_FAILURE() << "seq " << seq << ": " << it->second.substr(0, 80) << " vs " << line.substr(0, 80);
    }
  }

  // The same as (seq, key, state) triples, parsed from the dumper's text.
  std::size_t parsed = 0;
  std::map<std::uint64_t, const Record*> by_seq;
  for (const auto& r : records) by_seq[r.seq] = &r;
  for (const auto& [seq, line] : expected) {
    const auto [key, state] = parse_line(line);
    const Record* r = by_seq.count(seq) ? by_seq[seq] : nullptr;
    if (r == nullptr || r->key.find_first_of("'\\") != std::string::npos) continue;
    EXPECT_EQ(r->key, key) << seq;
    EXPECT_EQ(r->state, state) << seq;
    ++parsed;
  }
  EXPECT_EQ(parsed, records.size());  // no key of the workload has a quote or backslash
}

TEST_F(RealLog, OffsetsFollowThePhysicalLayout) {
  const auto batches = dump(path_);
  auto log = LogFile::open(path_);
  ASSERT_TRUE(log.has_value());
  const auto records = testing::file_records(*log);
  std::map<std::uint64_t, const Record*> by_seq;
  for (const auto& r : records) by_seq[r.seq] = &r;

  std::uint64_t previous_batch_offset = 0;
  std::size_t fragmented = 0;
  for (const auto& b : batches) {
    SCOPED_TRACE(b.seq);
    const PhysicalRecord layout = physical_layout(bytes_, b.physical_offset);
    if (layout.positions.size() > layout.first_end - b.physical_offset - kLogHeaderSize) ++fragmented;
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < b.lines.size(); ++i) {
      ASSERT_TRUE(by_seq.count(b.seq + i));
      const Record& r = *by_seq[b.seq + i];
      // A record's offset counts from the end of the physical record holding
      // the batch's first fragment, through the joined payload: 12 header
      // bytes, then the position of the entry's tag within the body.
      ASSERT_GE(r.offset, layout.first_end + 12);
      const std::uint64_t in_payload = r.offset - layout.first_end;
      ASSERT_LT(in_payload, layout.positions.size());
      if (i == 0) {
        EXPECT_EQ(in_payload, 12u);
        EXPECT_GT(r.offset, previous_batch_offset);
        previous_batch_offset = r.offset;
      } else {
        EXPECT_GT(r.offset, previous);
      }
      previous = r.offset;
      // The tag byte in the file, then the key length and the key.
      const auto at = [&](std::uint64_t k) { return bytes_[layout.positions[in_payload + k]]; };
      EXPECT_EQ(at(0), r.state == KeyState::Live ? '\x01' : '\x00');
      std::string length_bytes;
      for (std::size_t k = 1; k <= 5 && in_payload + k < layout.positions.size(); ++k) length_bytes.push_back(at(k));
      SliceCursor cursor(length_bytes);
      const auto key_length = cursor.read_varint(true);
      ASSERT_TRUE(key_length.has_value());
      ASSERT_EQ(*key_length, r.key.size());
      std::string key;
      for (std::size_t k = 0; k < r.key.size(); ++k) key.push_back(at(1 + cursor.pos() + k));
      EXPECT_TRUE(key == r.key);
    }
  }
  EXPECT_GT(fragmented, 5u);  // the workload must exercise fragmentation
}

TEST_F(RealLog, TruncatedLogYieldsTheCompleteBatches) {
  const auto batches = dump(path_);
  std::vector<std::uint64_t> batch_end;  // physical end of each batch, in file order
  for (const auto& b : batches) batch_end.push_back(physical_layout(bytes_, b.physical_offset).end);
  auto full = LogFile::open(path_);
  ASSERT_TRUE(full.has_value());
  const auto all = testing::file_records(*full);

  std::vector<std::size_t> cuts;
  for (std::size_t cut = 0; cut < bytes_.size(); cut += 4099) cuts.push_back(cut);
  for (std::size_t block = kLogBlockSize; block < bytes_.size(); block += kLogBlockSize) {
    for (int d = -8; d <= 8; ++d) cuts.push_back(block + static_cast<std::size_t>(d));
  }
  for (std::size_t i = 0; i < batch_end.size(); i += 5) {
    cuts.push_back(batch_end[i] - 1);
    cuts.push_back(batch_end[i]);
  }
  for (const std::size_t cut : cuts) {
    if (cut > bytes_.size()) continue;
    SCOPED_TRACE(cut);
    std::size_t expected_count = 0;
    for (std::size_t i = 0; i < batches.size(); ++i) {
      if (batch_end[i] <= cut) expected_count += batches[i].lines.size();
    }
    const std::string head = bytes_.substr(0, cut);
    const auto records = testing::file_records(LogFile::from_mapped(path_, MappedFile::from_bytes(head)));
    ASSERT_EQ(records.size(), expected_count);
    for (std::size_t i = 0; i < records.size(); ++i) ASSERT_TRUE(records[i] == all[i]) << i;
  }
}

// A log is read while the database that writes it is still open; what is
// appended after open is not read.
TEST(RealLogLive, BytesAppendedAfterOpenAreNotRead) {
  TempDir dir;
  Writer w(dir.path());
  w.put("first", "1");
  w.put("big", pattern_value(50000, 9));
  const auto logs = log_files(dir.path());
  ASSERT_EQ(logs.size(), 1u);
  auto early = LogFile::open(logs[0]);
  ASSERT_TRUE(early.has_value());
  w.put("later", "2");
  w.batch({{"later-batch", "3"}, {"first", std::nullopt}});
  auto late = LogFile::open(logs[0]);
  ASSERT_TRUE(late.has_value());
  EXPECT_LT(early->length(), late->length());
  EXPECT_EQ(testing::file_records(*early).size(), 2u);
  EXPECT_EQ(testing::file_records(*late).size(), 5u);
  w.close();
  const auto records = testing::file_records(*late);
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[4].key, "first");
  EXPECT_EQ(records[4].state, KeyState::Deleted);
  EXPECT_EQ(records[4].seq, 5u);
}

}  // namespace
}  // namespace vostrel
