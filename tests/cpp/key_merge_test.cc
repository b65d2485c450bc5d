// The merge by user key against the table of every key: both tell the
// current records exactly, so on every store the real library writes they
// agree, however many key ranges the merge is cut into; a store whose tables
// are in another order makes the merge give up rather than answer.
#include <gtest/gtest.h>
#include <leveldb/comparator.h>
#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "read/current_versions.h"
#include "read/key_merge.h"
#include "read/latest_records.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::TempDir;

// Level-0 tables of overlapping ranges and compacted ones, many data blocks
// each, overwrites, deletions, the empty key and an unflushed log.
void write_overlapping(const std::string& dir, const leveldb::Comparator* comparator, std::size_t value_size = 20) {
  leveldb::Options options;
  options.create_if_missing = true;
  options.write_buffer_size = 64 * 1024;
  options.block_size = 1024;
  if (comparator != nullptr) options.comparator = comparator;
  leveldb::DB* raw = nullptr;
  ASSERT_TRUE(leveldb::DB::Open(options, dir, &raw).ok());
  std::unique_ptr<leveldb::DB> db(raw);
  std::uint32_t state = 12345;
  for (int i = 0; i < 30000; ++i) {
    state = state * 1103515245 + 12345;
    std::string key = "k";
    key += std::to_string(state % 6000);
    if (i % 11 == 0) {
      ASSERT_TRUE(db->Delete({}, key).ok());
    } else {
      ASSERT_TRUE(db->Put({}, key, std::string(value_size + i % 50, static_cast<char>('a' + i % 26))).ok());
    }
    if (i == 20000) db->CompactRange(nullptr, nullptr);
  }
  ASSERT_TRUE(db->Put({}, "", "the empty key").ok());
}

struct ReverseOrder final : leveldb::Comparator {
  int Compare(const leveldb::Slice& a, const leveldb::Slice& b) const override { return b.compare(a); }
  const char* Name() const override { return "test.ReverseOrder"; }
  void FindShortestSeparator(std::string*, const leveldb::Slice&) const override {}
  void FindShortSuccessor(std::string*) const override {}
};

using Latest = std::vector<std::tuple<std::string, std::string, std::uint64_t, std::string, std::uint64_t>>;

Latest latest_of(const LatestRecords& latest) {
  Latest out;
  auto add = [&](const RecordView& r) {
    out.emplace_back(std::string(r.key), std::string(r.value), r.seq, **r.origin_file, r.offset);
  };
  latest.visit(add);
  return out;
}

// Everything a stream hands out, as they come or range after range (then
// with room before each record), joined in range order; checks how each
// record lies. `end`: how the merge ended.
Latest drain(const RawLevelDb& db, const StoreActivity& activity, std::size_t ranges, bool in_order,
             KeyMerge::End& end) {
  const std::size_t room = in_order ? 40 : 0;
  LatestStream stream(db, activity, ranges, room);
  std::vector<Latest> parts(stream.ranges());
  std::size_t range = 0;
  while (in_order ? range < stream.ranges() : !stream.finished()) {
    LatestBatch* batch = in_order ? stream.next_of(range, std::chrono::milliseconds(50))
                                  : stream.next(std::chrono::milliseconds(50));
    if (batch == nullptr) {
      if (in_order && stream.range_finished(range)) ++range;
      continue;
    }
    for (std::size_t i = 0; i < batch->records.size(); ++i) {
      const RecordView& r = batch->records[i];
      EXPECT_EQ(path_of(db.data_files()[batch->positions[i]]), **r.origin_file);
      EXPECT_EQ(r.key.data() + r.key.size(), r.value.data());
      if (room != 0) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(r.key.data() - room) % LatestStream::kRecordAlign, 0U);
      }
      parts[batch->range].emplace_back(std::string(r.key), std::string(r.value), r.seq, **r.origin_file, r.offset);
    }
    stream.release(batch);
  }
  while (!stream.finished()) EXPECT_EQ(stream.next(std::chrono::milliseconds(50)), nullptr);
  end = stream.end();
  Latest all;
  for (const Latest& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

void expect_same(const RawLevelDb& db, const CurrentVersions& a, const CurrentVersions& b) {
  for (std::size_t i = 0; i < db.data_files().size(); ++i) {
    const auto x = a.current_of(i);
    const auto y = b.current_of(i);
    EXPECT_EQ(std::vector<std::uint64_t>(x.begin(), x.end()), std::vector<std::uint64_t>(y.begin(), y.end()))
        << path_of(db.data_files()[i]);
  }
}

struct CountingSink final : WinnerSink {
  void winner(const RecordView&, KeyState, std::size_t, std::uint64_t) override { ++count; }
  std::size_t count = 0;
};

TEST(KeyMerge, AgreesWithTheKeyTableInAnyNumberOfRanges) {
  const struct {
    const char* name;
    void (*write)(const std::string&);
  } stores[] = {
      {"overlapping tables", [](const std::string& dir) { write_overlapping(dir, nullptr); }},
      // Earlier sessions' logs put back: without the manifest they count as
      // in use, and their records tie with the tables flushed from them.
      {"several sessions", [](const std::string& dir) { testing::build_real_database(dir); }},
  };
  for (const auto& store : stores) {
    TempDir dir;
    store.write(dir.path());
    auto db = RawLevelDb::open(dir.path());
    ASSERT_TRUE(db) << store.name;
    for (const bool manifest : {true, false}) {
      const StoreActivity activity = classify_files(*db, manifest ? replay_manifest(*db) : std::nullopt);
      const CurrentVersions hashed = CurrentVersions::hashed(*db, activity);
      DecodeScratch scratch;
      const Latest expected = latest_of(LatestRecords::collect(*db, hashed, scratch));
      ASSERT_GT(expected.size(), 100U);
      for (const std::size_t ranges : {1, 2, 3, 5}) {
        SCOPED_TRACE(std::string(store.name) + (manifest ? "" : ", no manifest") + ", ranges " +
                     std::to_string(ranges));
        const auto merged = CurrentVersions::merged(*db, activity, nullptr, ranges);
        ASSERT_TRUE(merged);
        EXPECT_EQ(merged->keys(), hashed.keys());
        expect_same(*db, *merged, hashed);
        KeyMerge::End end{};
        EXPECT_EQ(drain(*db, activity, ranges, ranges % 2 == 1, end), expected);
        EXPECT_EQ(end, KeyMerge::End::Done);
      }
    }
  }
}

TEST(KeyMerge, CutsTheKeysIntoRanges) {
  TempDir dir;
  write_overlapping(dir.path(), nullptr);
  auto db = RawLevelDb::open(dir.path());
  ASSERT_TRUE(db);
  CountingSink sinks[3];
  WinnerSink* targets[] = {&sinks[0], &sinks[1], &sinks[2]};
  const auto result = KeyMerge::run(*db, classify_files(*db, replay_manifest(*db)), targets, false, nullptr);
  ASSERT_EQ(result.end, KeyMerge::End::Done);
  for (const CountingSink& sink : sinks) EXPECT_GT(sink.count, 1000U);
}

TEST(KeyMerge, TablesInAnotherOrderLeaveItToTheKeyTable) {
  TempDir dir;
  const ReverseOrder reverse;
  write_overlapping(dir.path(), &reverse);
  auto db = RawLevelDb::open(dir.path());
  ASSERT_TRUE(db);
  const StoreActivity activity = classify_files(*db, replay_manifest(*db));
  for (const std::size_t ranges : {1, 3}) {
    EXPECT_FALSE(CurrentVersions::merged(*db, activity, nullptr, ranges));
    KeyMerge::End end{};
    (void)drain(*db, activity, ranges, false, end);
    EXPECT_EQ(end, KeyMerge::End::Unsorted);
  }
  const CurrentVersions built = CurrentVersions::build(*db, activity);
  const CurrentVersions hashed = CurrentVersions::hashed(*db, activity);
  EXPECT_GT(built.keys(), 1000U);
  expect_same(*db, built, hashed);
}

TEST(LatestStream, HandsOverTheCurrentRecordsAsTheyComeOrRangeByRange) {
  TempDir dir;
  write_overlapping(dir.path(), nullptr, 1000);  // more than a range's batches hold
  auto db = RawLevelDb::open(dir.path());
  ASSERT_TRUE(db);
  const StoreActivity activity = classify_files(*db, replay_manifest(*db));
  DecodeScratch scratch;
  const Latest expected = latest_of(LatestRecords::collect(*db, CurrentVersions::hashed(*db, activity), scratch));
  for (const bool in_order : {false, true}) {
    SCOPED_TRACE(in_order ? "range by range" : "as they come");
    KeyMerge::End end{};
    EXPECT_EQ(drain(*db, activity, 3, in_order, end), expected);
    EXPECT_EQ(end, KeyMerge::End::Done);
  }
}

TEST(LatestStream, EndsWhenLeftWhileTheMergeWaitsForRoom) {
  TempDir dir;
  write_overlapping(dir.path(), nullptr, 1000);  // more than its batches hold
  auto db = RawLevelDb::open(dir.path());
  ASSERT_TRUE(db);
  LatestStream stream(*db, classify_files(*db, replay_manifest(*db)), 3);
  // Batches taken and not given back until none come: the merge waits.
  std::size_t taken = 0;
  while (stream.next(std::chrono::milliseconds(200)) != nullptr) ++taken;
  EXPECT_FALSE(stream.finished());
  EXPECT_GT(taken, 0U);
}

}  // namespace
}  // namespace vostrel
