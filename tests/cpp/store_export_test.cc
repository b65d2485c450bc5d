// The whole-store export (export_store) and the many-store one
// (export_stores): formatted by several threads they write exactly what one
// thread writes, every chunk on the caller's thread; a failed write or a
// check-in that answers false stops them.

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "read/store.h"
#include "export/store_export.h"
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

// Many stores: the fixture's store again and again (each opened on its own),
// a missing directory and a plain file among them; tiny chunks, so that the
// queue budget and the stores opened ahead bind all the time.
TEST_F(StoreExport, ManyStoresWriteEachStoreInTurn) {
  const std::string dir = db_->in_dir();
  const std::string file = tmp_.file("plain");
  write_file(file, "not a store");
  std::vector<std::string> stores;
  for (int i = 0; i < 12; ++i) stores.push_back(i == 3 ? tmp_.file("missing") : i == 7 ? file : dir);

  for (const auto format : {ExportFormat::Jsonl, ExportFormat::Csv}) {
    // What each store writes alone, with its store field, after one header.
    ExportOptions alone{.format = format, .chunk_size = 64, .header = false, .store = dir};
    Output one;
    ASSERT_FALSE(export_store(*db_, false, alone, one.writer(), {.threads = 1}).write_error);
    alone.header = true;
    std::string expected = format == ExportFormat::Csv ? csv_header(alone) : "";
    for (const auto& store : stores) {
      if (store == dir) expected += one.text;
    }
    for (const unsigned threads : {1u, 2u, 3u, 16u}) {
      SCOPED_TRACE(::testing::Message() << "format " << static_cast<int>(format) << ", threads " << threads);
      Output many;
      std::vector<std::pair<std::size_t, bool>> reported;
      const auto result = export_stores(stores, false, {.format = format, .chunk_size = 64}, many.writer(),
                                        {.threads = threads},
                                        [&](std::size_t index, const std::expected<RawLevelDb, DbError>& store) {
                                          EXPECT_EQ(std::this_thread::get_id(), many.caller);
                                          reported.emplace_back(index, store.has_value());
                                          return true;
                                        });
      EXPECT_FALSE(result.write_error);
      EXPECT_TRUE(many.text == expected);
      EXPECT_FALSE(many.off_thread);
      ASSERT_EQ(reported.size(), stores.size());
      for (std::size_t i = 0; i < stores.size(); ++i) {
        EXPECT_EQ(reported[i], std::make_pair(i, stores[i] == dir));
      }

      // A failed write, or a report that answers false, ends it at once.
      Output failing{.fail_at = 40};
      const auto failed = export_stores(stores, false, {.chunk_size = 64}, failing.writer(), {.threads = threads},
                                        [](std::size_t, const auto&) { return true; });
      ASSERT_TRUE(failed.write_error);
      EXPECT_EQ(failing.calls, 40u);
      Output halted;
      const auto stopped = export_stores(stores, false, {.format = format, .chunk_size = 64}, halted.writer(),
                                         {.threads = threads},
                                         [](std::size_t index, const auto&) { return index < 2; });
      EXPECT_TRUE(stopped.stopped);
      EXPECT_TRUE(halted.text == expected.substr(0, expected.size() - 8 * one.text.size()));  // stores 0 and 1
    }
  }
}

}  // namespace
}  // namespace vostrel
