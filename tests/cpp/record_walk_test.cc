// The stepwise walk (RecordStream, the readers' visit_records_from): any step
// size hands over exactly the records and order of the whole walk, across
// tables, logs with fragmented batches and damaged framing, and reports its
// progress in bytes.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <leveldb/db.h>
#include <leveldb/options.h>

#include "read/store.h"
#include "read/record_walk.h"
#include "recover/carve_store.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::TempDir;
using testing::write_file;

// Steps through the store `want` records at a time; checks on the way that
// every step but the last hands over at least `want` and that progress only
// grows.
// `ahead`, when given, is called on the stream before the first step and
// again after it.
template <class Ahead = void (*)(RecordStream&, bool)>
std::vector<Record> stepwise(const RawLevelDb& db, bool reverse, std::size_t want,
                             Ahead ahead = [](RecordStream&, bool) {}) {
  RecordStream stream(db, reverse);
  ahead(stream, true);
  std::vector<Record> records;
  std::size_t in_step = 0;
  auto sink = [&](const RecordView& view) {
    ++in_step;
    VectorSink one;
    one(view);
    records.push_back(std::move(std::move(one).take().front()));
  };
  std::uint64_t last_bytes = 0;
  bool more = !stream.done();
  while (more) {
    in_step = 0;
    more = stream.step(db, want, sink);
    ahead(stream, false);
    if (more) {
      EXPECT_GE(in_step, want);
    }
    EXPECT_GE(stream.bytes_done(db), last_bytes);
    last_bytes = stream.bytes_done(db);
  }
  EXPECT_EQ(stream.bytes_done(db), stream.total_bytes());
  return records;
}

TEST(RecordStream, AnyStepSizeGivesTheWholeWalk) {
  const TempDir tmp;
  const std::string dir = tmp.file("db");
  testing::build_real_database(dir);
  // Batches larger than a log block (fragmented across blocks) and small ones
  // between them, and a log whose second block is damaged: the walk skips the
  // rest of that block and goes on with the next.
  const std::string big(70000, 'b');
  write_file(dir + "/000900.log",
             testing::real_log_bytes({{"s1", "x"}, {"big1", big}, {"s2", "y"}, {"big2", big + big}, {"s3", "z"}}));
  std::string damaged =
      testing::real_log_bytes({{"d1", std::string(20000, 'd')}, {"d2", std::string(20000, 'e')},
                               {"d3", std::string(40000, 'f')}, {"d4", "g"}});
  damaged[32768 + 6] = 9;  // an undefined record type at the start of block 1
  write_file(dir + "/000901.log", damaged);
  write_file(dir + "/000902.log", "");

  const auto opened = RawLevelDb::open(dir);
  ASSERT_TRUE(opened.has_value());
  const RawLevelDb& db = *opened;
  for (const bool reverse : {false, true}) {
    const auto whole = testing::store_records(db, reverse);
    ASSERT_GT(whole.size(), 100u);
    for (const std::size_t want : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1000},
                                   std::numeric_limits<std::size_t>::max()}) {
      SCOPED_TRACE(::testing::Message() << "reverse " << reverse << ", want " << want);
      EXPECT_EQ(stepwise(db, reverse, want), whole);
    }
  }
}

// A store of several hundred small blocks (many more than the read-ahead
// ring holds), Snappy-compressed and stored raw, one of them damaged, and a
// log: walked with its blocks read ahead on a helper thread, in steps of any
// size, with the helper ended halfway, or with a table abandoned after its
// first step as the iterator abandons a table whose records ran out of
// memory, it hands over what the same walk reading its own blocks does.
TEST(RecordStream, ReadingAheadHandsOverTheSameRecords) {
  const TempDir tmp;
  const std::string dir = tmp.file("db");
  {
    leveldb::Options options;
    options.create_if_missing = true;
    options.block_size = 256;
    leveldb::DB* raw = nullptr;
    ASSERT_TRUE(leveldb::DB::Open(options, dir, &raw).ok());
    const std::unique_ptr<leveldb::DB> db(raw);
    std::uint64_t state = 7;
    for (int i = 0; i < 16000; ++i) {
      std::string value(40 + i % 60, static_cast<char>('a' + i % 26));
      if (i % 200 < 100) {  // runs of incompressible values: raw blocks
        for (char& c : value) c = static_cast<char>((state = state * 6364136223846793005u + 1) >> 56);
      }
      ASSERT_TRUE(db->Put({}, "k" + std::to_string(i * 7919 % 16000), value).ok());
      if (i == 12000) db->CompactRange(nullptr, nullptr);
    }
    ASSERT_TRUE(db->Delete({}, "k5").ok());
  }
  std::string damaged;
  for (const auto& name : testing::list_directory(dir)) {
    if (name.ends_with(".ldb") && (damaged.empty() || name < damaged)) damaged = name;
  }
  ASSERT_FALSE(damaged.empty());
  std::string table = testing::read_file(dir + "/" + damaged);
  ASSERT_GT(table.size(), 1000u);
  for (std::size_t i = 600; i < 640; ++i) table[i] = static_cast<char>(table[i] ^ 0x5a);
  write_file(dir + "/" + damaged, table);

  const auto opened = RawLevelDb::open(dir);
  ASSERT_TRUE(opened.has_value());
  const RawLevelDb& db = *opened;
  std::uint64_t blocks = 0;
  for (const auto& file : db.data_files()) {
    if (const auto* t = std::get_if<TableFile>(&file)) blocks += t->index().size();
  }
  ASSERT_GT(blocks, 2 * BlockAhead::kSlots);

  for (const bool reverse : {false, true}) {
    const auto whole = testing::store_records(db, reverse);
    ASSERT_GT(whole.size(), 15000u);
    for (const std::size_t want : {std::size_t{1}, std::size_t{7}, std::numeric_limits<std::size_t>::max()}) {
      SCOPED_TRACE(::testing::Message() << "reverse " << reverse << ", want " << want);
      std::uint64_t handed_out = 0;
      EXPECT_EQ(stepwise(db, reverse, want,
                         [&](RecordStream& stream, bool first) {
                           if (first) stream.read_ahead(db);
                           if (stream.block_ahead() != nullptr) handed_out = stream.block_ahead()->handed_out();
                         }),
                whole);
      EXPECT_GT(handed_out, blocks / 2);
    }
    std::size_t steps = 0;
    EXPECT_EQ(stepwise(db, reverse, 50,
                       [&](RecordStream& stream, bool first) {
                         if (first) stream.read_ahead(db);
                         if (!first && ++steps == 20) stream.stop_reading_ahead();
                       }),
              whole);
    const auto abandoning = [&](bool ahead) {
      std::vector<Record> records;
      RecordStream stream(db, reverse);
      if (ahead) stream.read_ahead(db);
      auto sink = [&](const RecordView& view) {
        VectorSink one;
        one(view);
        records.push_back(std::move(std::move(one).take().front()));
      };
      for (std::size_t step = 0; stream.step(db, 30, sink); ++step) {
        if (step % 10 == 3) stream.abandon_unit(db);
      }
      return records;
    };
    const auto without = abandoning(false);
    ASSERT_LT(without.size(), whole.size());
    EXPECT_EQ(abandoning(true), without);
  }
}

TEST(RecordStream, EmptyStoreIsDoneAtOnce) {
  const TempDir tmp;
  const auto db = RawLevelDb::open(tmp.path());
  ASSERT_TRUE(db.has_value());
  RecordStream stream(*db, false);
  EXPECT_TRUE(stream.done());
  VectorSink sink;
  EXPECT_FALSE(stream.step(*db, 10, sink));
  EXPECT_EQ(stream.bytes_done(*db), 0u);
}

// With carving, the reading order is the normal read of every data file,
// then the carving of every file (unopened tables in their place by number);
// walked whole or in steps, the records come in that order.
TEST(RecordWalk, CarvingFollowsTheNormalReadFileByFile) {
  const TempDir tmp;
  const std::string dir = tmp.file("db");
  testing::build_real_database(dir);
  std::string damaged;
  for (const auto& name : testing::list_directory(dir)) {
    if (name.ends_with(".ldb") && (damaged.empty() || name < damaged)) damaged = name;
  }
  ASSERT_FALSE(damaged.empty());
  const std::string table = testing::read_file(dir + "/" + damaged);
  write_file(dir + "/" + damaged, table.substr(0, table.size() - 48));  // no footer

  const auto opened = RawLevelDb::open(dir);
  ASSERT_TRUE(opened.has_value());
  const RawLevelDb& db = *opened;
  ASSERT_EQ(db.unopened_tables().size(), 1u);
  for (const bool reverse : {false, true}) {
    SCOPED_TRACE(::testing::Message() << "reverse " << reverse);
    const auto order = db.reading_order(reverse, true);
    const std::size_t files = db.data_files().size();
    ASSERT_EQ(order.size(), 2 * files + 1);
    std::vector<std::uint64_t> carved_numbers;
    for (std::size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(order[i].pass, i < files ? WalkPass::Read : WalkPass::Carve) << i;
      if (i < files) {
        EXPECT_EQ(order[i], db.reading_order(reverse, false)[i]);
      } else {
        carved_numbers.push_back(file_number_from_path(db.slot_path(order[i].slot)));
      }
    }
    EXPECT_TRUE(reverse ? std::is_sorted(carved_numbers.rbegin(), carved_numbers.rend())
                        : std::is_sorted(carved_numbers.begin(), carved_numbers.end()));

    VectorSink sink;
    DecodeScratch scratch;
    walk_units(db, order, sink, scratch, [](WalkUnit, auto&& walk) {
      walk();
      return true;
    }, StoreCarver{});
    const auto records = std::move(sink).take();
    const auto normal = testing::store_records(db, reverse);
    ASSERT_GT(records.size(), normal.size());
    EXPECT_TRUE(std::equal(normal.begin(), normal.end(), records.begin()));
    std::size_t from_damaged = 0;
    for (std::size_t i = normal.size(); i < records.size(); ++i) {
      EXPECT_NE(records[i].recovered, Recovery::None);
      from_damaged += records[i].origin_path() == dir + "/" + damaged;
    }
    EXPECT_GT(from_damaged, 0u);

    // In steps, as the iterator and the chromium decoders walk.
    RecordStream stream(db, reverse, true);
    std::vector<Record> stepped;
    auto one_by_one = [&](const RecordView& view) {
      VectorSink one;
      one(view);
      stepped.push_back(std::move(std::move(one).take().front()));
    };
    while (stream.step(db, 7, one_by_one, StoreCarver{})) {
    }
    EXPECT_EQ(stepped, records);
  }
}

}  // namespace
}  // namespace vostrel
