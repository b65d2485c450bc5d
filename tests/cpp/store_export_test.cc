// The whole-store export (export_store): formatted by several threads it
// writes exactly what one thread writes, every chunk on the caller's thread;
// a failed write or a check-in that answers false stops it.

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db.h"
#include "store_export.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::TempDir;
using testing::write_file;

struct Output {
  std::string text = {};
  std::size_t calls = 0;
  std::size_t fail_at = 0;  // the call that fails with ENOSPC; 0: none
  bool off_thread = false;  // a chunk was written from another thread
  std::thread::id caller = std::this_thread::get_id();

  ChunkWriter writer() {
    return [this](std::string_view chunk) -> std::expected<void, WriteError> {
      if (std::this_thread::get_id() != caller) off_thread = true;
      if (++calls == fail_at) return std::unexpected(WriteError{28, "No space left on device"});
      text += chunk;
      return {};
    };
  }
};

class StoreExport : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string dir = tmp_.file("db");
    testing::build_real_database(dir);
    // Logs with batches fragmented across blocks, so that one file's output
    // spans many chunks, and an empty one.
    const std::string big(70000, 'b');
    write_file(dir + "/000900.log", testing::real_log_bytes({{"s1", "x\n\"y"}, {"big1", big}, {"s2", "y,z"}}));
    write_file(dir + "/000901.log", testing::real_log_bytes({{"big2", big + big}, {"s3", "\xff"}}, {"s1"}));
    write_file(dir + "/000902.log", "");
    auto opened = RawLevelDb::open(dir);
    ASSERT_TRUE(opened.has_value());
    db_.emplace(std::move(*opened));
    ASSERT_GT(db_->data_files().size(), 4u);
  }

  TempDir tmp_;
  std::optional<RawLevelDb> db_;
};

TEST_F(StoreExport, ThreadsWriteWhatOneThreadWrites) {
  for (const bool reverse : {false, true}) {
    for (const auto format : {ExportFormat::Jsonl, ExportFormat::Csv}) {
      // Tiny chunks: every file queues far more than the budget allows.
      for (const std::size_t chunk_size : {std::size_t{64}, std::size_t{1} << 20}) {
        const ExportOptions options{.format = format, .chunk_size = chunk_size};
        Output one;
        const auto expected = export_store(*db_, reverse, options, one.writer(), {.threads = 1});
        ASSERT_FALSE(expected.write_error);
        ASSERT_GT(expected.records, 100u);
        for (const unsigned threads : {2u, 3u, 16u}) {
          SCOPED_TRACE(::testing::Message() << "reverse " << reverse << ", format " << static_cast<int>(format)
                                            << ", chunk " << chunk_size << ", threads " << threads);
          Output many;
          std::uint64_t last_done = 0;
          std::size_t check_ins = 0;
          const auto result = export_store(*db_, reverse, options, many.writer(),
                                           {.threads = threads,
                                            .check_in =
                                                [&](std::uint64_t done, std::uint64_t total) {
                                                  EXPECT_GE(done, last_done);
                                                  EXPECT_LE(done, total);
                                                  last_done = done;
                                                  ++check_ins;
                                                  return true;
                                                },
                                            .report_ends = true});
          EXPECT_FALSE(result.write_error);
          EXPECT_FALSE(result.stopped);
          EXPECT_EQ(result.records, expected.records);
          EXPECT_TRUE(many.text == one.text);  // not EXPECT_EQ: megabytes of diff on failure
          EXPECT_FALSE(many.off_thread);
          EXPECT_GE(check_ins, 2u);
        }
      }
    }
  }
}

TEST_F(StoreExport, FailedWriteOrStopEndsIt) {
  for (const unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    Output failing{.fail_at = 3};
    const auto failed = export_store(*db_, false, {.chunk_size = 64}, failing.writer(), {.threads = threads});
    ASSERT_TRUE(failed.write_error);
    EXPECT_EQ(failed.write_error->error_number, 28);
    EXPECT_EQ(failing.calls, 3u);  // nothing offered after the failure

    Output stopped;
    std::size_t check_ins = 0;
    const auto result = export_store(*db_, false, {.chunk_size = 64}, stopped.writer(),
                                     {.threads = threads,
                                      .check_in = [&](std::uint64_t, std::uint64_t) { return ++check_ins < 2; },
                                      .interval = std::chrono::milliseconds(0),
                                      .report_ends = true});
    EXPECT_TRUE(result.stopped);
    EXPECT_FALSE(result.write_error);
    EXPECT_EQ(check_ins, 2u);
  }
}

}  // namespace
}  // namespace vostrel
