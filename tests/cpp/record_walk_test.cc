// The stepwise walk (RecordStream, the readers' visit_records_from): any step
// size hands over exactly the records and order of the whole walk, across
// tables, logs with fragmented batches and damaged framing, and reports its
// progress in bytes.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/store.h"
#include "read/record_walk.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::TempDir;
using testing::write_file;

// Steps through the store `want` records at a time; checks on the way that
// every step but the last hands over at least `want` and that progress only
// grows.
std::vector<Record> stepwise(const RawLevelDb& db, bool reverse, std::size_t want) {
  RecordStream stream(db, reverse);
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

TEST(MappedFile, BytesStayReadableAfterTheirPagesAreDropped) {
  const TempDir tmp;
  std::string content(3 * 4096 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31);
  write_file(tmp.file("f"), content);
  const auto file = MappedFile::open(tmp.file("f"));
  ASSERT_TRUE(file.has_value() && file->has_mapping());
  ByteBuffer buffer;
  ASSERT_EQ(file->read(0, content.size(), buffer), content);
  file->drop_pages();
  EXPECT_EQ(file->read(0, content.size(), buffer), content);
  MappedFile::from_bytes(content).drop_pages();  // in memory: nothing to drop, nothing lost
}

}  // namespace
}  // namespace vostrel
