// The structure walk against files written by the real LevelDB library: its
// data blocks are the ones the library's own table finds keys in, a flipped
// byte marks exactly the block that holds it, a zeroed stretch of a log shows
// as zeros between intact records, and a manifest shows its edits.

#include <gtest/gtest.h>
#include <leveldb/env.h>
#include <leveldb/iterator.h>
#include <leveldb/options.h>
#include <leveldb/table.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "read/file_structure.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::KeyValues;
using testing::TempDir;

struct Walked {
  StructureSummary summary;
  std::vector<BlockItem> blocks;  // copies; their key views are cleared
  std::vector<StretchItem> stretches;
  std::vector<PhysicalRecordItem> records;
  std::vector<BatchItem> batches;
  std::vector<EditItem> edits;

  [[nodiscard]] std::vector<BlockItem> of_role(BlockRole role) const {
    std::vector<BlockItem> out;
    for (const auto& block : blocks) {
      if (block.role == role) out.push_back(block);
    }
    return out;
  }
};

Walked walk(std::string_view bytes, std::string_view name) {
  Walked out;
  StopToken stop;
  const MappedFile file = MappedFile::from_bytes(bytes);
  out.summary = walk_file_structure(
      file, name,
      [&](const StructureItem& item) {
        if (const auto* block = std::get_if<BlockItem>(&item)) {
          out.blocks.push_back(*block);
          out.blocks.back().first_key = out.blocks.back().last_key = {};
        } else if (const auto* stretch = std::get_if<StretchItem>(&item)) {
          out.stretches.push_back(*stretch);
        } else if (const auto* record = std::get_if<PhysicalRecordItem>(&item)) {
          out.records.push_back(*record);
        } else if (const auto* batch = std::get_if<BatchItem>(&item)) {
          out.batches.push_back(*batch);
        } else if (const auto* edit = std::get_if<EditItem>(&item)) {
          out.edits.push_back(*edit);
        }
      },
      stop);
  return out;
}

KeyValues many_puts(int n) {
  KeyValues puts;
  for (int i = 0; i < n; ++i) {
    puts.emplace_back("key" + std::to_string(100000 + i), testing::random_bytes(20, i) + std::string(40, 'v'));
  }
  return puts;
}

// The offsets of the data blocks the real library finds the table's keys in.
std::set<std::uint64_t> library_block_offsets(const std::string& bytes) {
  const TempDir dir;
  const std::string path = dir.file("000001.ldb");
  testing::write_file(path, bytes);
  leveldb::RandomAccessFile* raw_file = nullptr;
  EXPECT_TRUE(leveldb::Env::Default()->NewRandomAccessFile(path, &raw_file).ok());
  const std::unique_ptr<leveldb::RandomAccessFile> file(raw_file);
  leveldb::Table* raw_table = nullptr;
  EXPECT_TRUE(leveldb::Table::Open(leveldb::Options(), file.get(), bytes.size(), &raw_table).ok());
  const std::unique_ptr<leveldb::Table> table(raw_table);
  const std::unique_ptr<leveldb::Iterator> it(table->NewIterator(leveldb::ReadOptions()));
  std::set<std::uint64_t> offsets;
  for (it->SeekToFirst(); it->Valid(); it->Next()) offsets.insert(table->ApproximateOffsetOf(it->key()));
  return offsets;
}

struct TableCase {
  const char* name;
  std::string bytes;
  bool has_filter;
};

std::vector<TableCase> real_tables() {
  const KeyValues puts = many_puts(3000);
  return {{"raw", testing::real_table_bytes(puts, 1, false), false},
          {"snappy", testing::real_table_bytes(puts, 1, true), false},
          {"compacted with filter", testing::compacted_table_bytes(puts, true, true), true}};
}

TEST(FileStructure, DataBlocksAreThoseTheLibraryReadsAndAllIsIntact) {
  for (const auto& table : real_tables()) {
    SCOPED_TRACE(table.name);
    const Walked walked = walk(table.bytes, "000001.ldb");
    EXPECT_EQ(walked.summary.kind, StructureKind::Table);
    EXPECT_FALSE(walked.summary.damaged());
    std::set<std::uint64_t> offsets;
    std::uint64_t entries = 0;
    for (const auto& block : walked.of_role(BlockRole::Data)) {
      offsets.insert(block.handle.offset);
      entries += block.entries;
      EXPECT_EQ(block.crc, CrcCheck::Ok);
      EXPECT_TRUE(block.error.empty()) << block.error;
    }
    EXPECT_GT(offsets.size(), 10u);
    EXPECT_EQ(offsets, library_block_offsets(table.bytes));
    EXPECT_EQ(entries, 3000u);
    EXPECT_EQ(walked.of_role(BlockRole::Meta).size(), table.has_filter ? 1u : 0u);
  }
}

TEST(FileStructure, OneFlippedByteMarksExactlyItsBlockBad) {
  for (auto& table : real_tables()) {
    SCOPED_TRACE(table.name);
    const auto data = walk(table.bytes, "000001.ldb").of_role(BlockRole::Data);
    const BlockItem& target = data[data.size() / 2];
    table.bytes[target.handle.offset + target.handle.size / 2] ^= 0x10;
    const Walked walked = walk(table.bytes, "000001.ldb");
    EXPECT_EQ(walked.summary.bad_crcs, 1u);
    for (const auto& block : walked.blocks) {
      EXPECT_EQ(block.crc, block.handle == target.handle ? CrcCheck::Bad : CrcCheck::Ok) << block.handle.offset;
    }
  }
}

TEST(FileStructure, BytesBeforeTheFooterAreAGapAndAfterItTrailing) {
  std::string bytes = testing::real_table_bytes(many_puts(50), 1, false);
  const std::size_t footer = bytes.size() - kFooterSize;
  bytes.insert(footer, std::string(64, '\0'));
  bytes.append("slack after the file");
  const Walked walked = walk(bytes, "000001.ldb");
  ASSERT_EQ(walked.summary.kind, StructureKind::Table);
  ASSERT_EQ(walked.stretches.size(), 2u);
  EXPECT_EQ(walked.stretches[0].kind, StretchKind::Gap);
  EXPECT_EQ(walked.stretches[0].offset, footer);
  EXPECT_EQ(walked.stretches[0].length, 64u);
  EXPECT_TRUE(walked.stretches[0].all_zero);
  EXPECT_EQ(walked.stretches[1].kind, StretchKind::Trailing);
  EXPECT_FALSE(walked.stretches[1].all_zero);
  EXPECT_EQ(walked.summary.trailing_bytes, 20u);
  EXPECT_EQ(walked.summary.bad_crcs + walked.summary.unreadable_blocks, 0u);
}

TEST(FileStructure, ZeroedStretchOfALogShowsAsZerosBetweenIntactRecords) {
  KeyValues puts = many_puts(600);
  std::string bytes = testing::real_log_bytes(puts);
  ASSERT_GT(bytes.size(), 32768u);
  const Walked intact = walk(bytes, "000003.log");
  EXPECT_FALSE(intact.summary.damaged());
  EXPECT_EQ(intact.batches.size(), 600u);
  std::fill(bytes.begin() + 8192, bytes.begin() + 12288, '\0');
  const Walked walked = walk(bytes, "000003.log");
  EXPECT_EQ(walked.summary.kind, StructureKind::Log);
  EXPECT_EQ(walked.summary.zero_stretches, 1u);
  const auto zeros = std::find_if(walked.stretches.begin(), walked.stretches.end(),
                                  [](const StretchItem& s) { return s.kind == StretchKind::Zeros; });
  ASSERT_NE(zeros, walked.stretches.end());
  EXPECT_GE(zeros->offset, 8192u - 130);
  // The zero-type headers end within a header of the zeros' end: the framing
  // reads the last few zero bytes as the start of the next header.
  EXPECT_LE(zeros->offset + zeros->length, 12288u);
  EXPECT_GT(zeros->offset + zeros->length, 12288u - kLogHeaderSize);
  // Intact records before the zeros, and again from the next block on.
  EXPECT_EQ(walked.records.front().offset, 0u);
  EXPECT_TRUE(walked.records.front().crc_ok);
  const auto after = std::find_if(walked.records.begin(), walked.records.end(),
                                  [](const PhysicalRecordItem& r) { return r.offset >= 32768; });
  ASSERT_NE(after, walked.records.end());
  EXPECT_TRUE(after->crc_ok);
}

TEST(FileStructure, ManifestShowsItsEdits) {
  const TempDir dir;
  testing::build_real_database(dir.path());
  std::string manifest;
  for (const std::string& name : testing::list_directory(dir.path())) {
    if (name.starts_with("MANIFEST-")) manifest = name;
  }
  ASSERT_FALSE(manifest.empty());
  const std::string bytes = testing::read_file(dir.file(manifest));
  const Walked walked = walk(bytes, manifest);
  EXPECT_EQ(walked.summary.kind, StructureKind::Manifest);
  EXPECT_FALSE(walked.summary.damaged());
  ASSERT_GE(walked.edits.size(), 2u);
  EXPECT_EQ(walked.edits.front().offset, 0u);
  EXPECT_EQ(walked.edits.front().edit.comparator, "leveldb.BytewiseComparator");
  std::size_t new_files = 0;
  for (const auto& edit : walked.edits) new_files += edit.edit.new_files.size();
  EXPECT_GT(new_files, 0u);
  // The same bytes under a log's name are write batches, not edits.
  EXPECT_TRUE(walk(bytes, "000009.log").edits.empty());
}

// Hand-made damage: every kind of stretch of the framing, and tables whose
// handles lie.
TEST(FileStructure, FramingStretchesAreNamed) {
  struct Case {
    const char* name;
    std::string bytes;
    StretchKind kind;
  };
  const std::string record = testing::log_physical_record(1, std::string(12, 'b'));
  std::string junk_to_block_end = record + std::string(9, '\x07');
  junk_to_block_end.resize(kLogBlockSize, 'x');
  const std::vector<Case> cases = {
      {"zero-type headers", std::string(98, '\0') + record, StretchKind::Zeros},
      {"unknown type, then a record in the next block", junk_to_block_end + record, StretchKind::Skipped},
      {"unknown type to the end", record + std::string(9, '\x07'), StretchKind::Trailing},
      {"block trailer", testing::log_physical_record(1, std::string(kLogBlockSize - 10, 'a')) + std::string(3, '\0') +
                            record,
       StretchKind::Padding},
      {"header cut short", record + "\x01\x02", StretchKind::Trailing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Walked walked = walk(c.bytes, "000003.log");
    ASSERT_EQ(walked.stretches.size(), 1u);
    EXPECT_EQ(walked.stretches[0].kind, c.kind);
  }
}

TEST(FileStructure, AnIndexHandlePastTheFileLeavesTheDataBlocksAsGaps) {
  std::string bytes = testing::real_table_bytes(many_puts(50), 1, false);
  const auto footer = decode_footer(bytes, "");
  ASSERT_TRUE(footer.has_value());
  std::string forged = testing::varint(footer->metaindex.offset) + testing::varint(footer->metaindex.size) +
                       testing::varint(std::uint64_t{1} << 40) + testing::varint(10);
  forged.resize(kFooterSize - 8, '\0');
  bytes.replace(bytes.size() - kFooterSize, kFooterSize - 8, forged);
  const Walked walked = walk(bytes, "000001.ldb");
  EXPECT_EQ(walked.summary.kind, StructureKind::Table);
  EXPECT_EQ(walked.summary.unreadable_blocks, 1u);
  EXPECT_EQ(walked.summary.bad_crcs, 0u);
  // Before the metaindex: the data blocks; after it: the index block.
  ASSERT_EQ(walked.stretches.size(), 2u);
  EXPECT_EQ(walked.stretches[0].offset, 0u);
  EXPECT_EQ(walked.stretches[0].length, footer->metaindex.offset);
  EXPECT_EQ(walked.stretches[1].offset + walked.stretches[1].length, bytes.size() - kFooterSize);
}

TEST(FileStructure, EveryByteIsReadOnceWhateverTheHandlesName) {
  // Both footer handles name the index block: read as the metaindex, its
  // entries name the data blocks as meta blocks; read again as the index, it
  // overlaps itself and is not read twice, nor are the data blocks.
  std::string bytes = testing::real_table_bytes(many_puts(300), 1, true);
  const auto footer = decode_footer(bytes, "");
  ASSERT_TRUE(footer.has_value());
  std::string forged = testing::varint(footer->index.offset) + testing::varint(footer->index.size) +
                       testing::varint(footer->index.offset) + testing::varint(footer->index.size);
  forged.resize(kFooterSize - 8, '\0');
  bytes.replace(bytes.size() - kFooterSize, kFooterSize - 8, forged);
  const Walked walked = walk(bytes, "000001.ldb");
  const auto index = walked.of_role(BlockRole::Index);
  ASSERT_EQ(index.size(), 1u);
  EXPECT_TRUE(index[0].error.starts_with("overlaps")) << index[0].error;
  EXPECT_EQ(walked.summary.unreadable_blocks, 1u);
  EXPECT_TRUE(walked.of_role(BlockRole::Data).empty());
  EXPECT_GT(walked.of_role(BlockRole::Meta).size(), 2u);
  EXPECT_EQ(walked.summary.gaps, 1u);  // the metaindex block nobody names
}

}  // namespace
}  // namespace vostrel
