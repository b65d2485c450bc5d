// Carving against tables and logs written by the real LevelDB library, damaged
// byte by byte: what comes back must be exactly the records that lie in
// undamaged bytes, nothing the original did not hold, and nothing the normal
// read already gave.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "read/table_file.h"
#include "recover/log_carver.h"
#include "read/log_file.h"
#include "recover/carve_file.h"
#include "recover/loose_file.h"
#include "recover/table_carver.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::KeyValues;
using testing::random_bytes;

// --- Tables ----------------------------------------------------------------------

struct Carved {
  std::vector<Record> records;
  TableCarveCounts counts;
};

Carved carve_table(std::string_view bytes, std::span<const BlockHandle> reached = {}) {
  VectorSink sink;
  DecodeScratch scratch;
  static const SharedPath path = std::make_shared<const std::string>("f12345.bin");
  Carved out;
  out.counts = carve_table_records(MappedFile::from_bytes(bytes), reached, &path, sink, scratch);
  out.records = std::move(sink).take();
  return out;
}

using RecordKey = std::tuple<std::string, std::string, std::uint64_t, std::uint64_t, bool>;
RecordKey key_of(const Record& r, std::int64_t shift = 0) {
  return {r.key, r.value, r.seq, r.offset - static_cast<std::uint64_t>(shift), r.was_compressed};
}

KeyValues many_entries(std::size_t n) {
  KeyValues entries;
  std::mt19937 gen(11);
  for (std::size_t i = 0; i < n; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "user-%07zu", i);
    std::string value = "value " + std::to_string(i) + " " + std::string(gen() % 90, 'a' + static_cast<char>(i % 26));
    if (i % 7 == 0) value += random_bytes(gen() % 60, static_cast<std::uint32_t>(i));  // resists Snappy
    entries.emplace_back(key, std::move(value));
  }
  return entries;
}

struct TableDamage {
  const char* name;
  // Returns the damaged bytes and the undamaged byte ranges [from, to) of
  // the original, and how far the damaged file's offsets are shifted.
  std::function<std::string(const std::string&, const Footer&, std::vector<std::pair<std::size_t, std::size_t>>&,
                            std::size_t&)>
      apply;
};

const std::vector<TableDamage>& table_damages() {
  static const std::vector<TableDamage> damages = {
      {"footer cut off",
       [](const std::string& t, const Footer&, auto& intact, std::size_t&) {
         intact = {{0, t.size() - kFooterSize}};
         return t.substr(0, t.size() - kFooterSize);
       }},
      {"index block zeroed",
       [](const std::string& t, const Footer& f, auto& intact, std::size_t&) {
         std::string d = t;
         const std::size_t at = f.index.offset;
         const std::size_t n = f.index.size + kBlockTrailerSize;
         std::fill_n(d.begin() + static_cast<std::ptrdiff_t>(at), n, '\0');
         intact = {{0, at}, {at + n, t.size()}};
         return d;
       }},
      {"truncated at 50%",
       [](const std::string& t, const Footer&, auto& intact, std::size_t&) {
         intact = {{0, t.size() / 2}};
         return t.substr(0, t.size() / 2);
       }},
      {"truncated at 90%",
       [](const std::string& t, const Footer&, auto& intact, std::size_t&) {
         intact = {{0, t.size() * 9 / 10}};
         return t.substr(0, t.size() * 9 / 10);
       }},
      {"4 KiB zeroed at 30% and the footer cut off",
       [](const std::string& t, const Footer&, auto& intact, std::size_t&) {
         std::string d = t.substr(0, t.size() - kFooterSize);
         const std::size_t at = t.size() * 3 / 10;
         std::fill_n(d.begin() + static_cast<std::ptrdiff_t>(at), 4096, '\0');
         intact = {{0, at}, {at + 4096, t.size() - kFooterSize}};
         return d;
       }},
      {"first 20% missing (a fragment)",
       [](const std::string& t, const Footer&, auto& intact, std::size_t& shift) {
         shift = t.size() / 5;
         intact = {{shift, t.size()}};
         return t.substr(shift);
       }},
  };
  return damages;
}

class TableCarving : public ::testing::TestWithParam<bool> {};

TEST_P(TableCarving, EachDamageRecoversExactlyTheRecordsInIntactBlocks) {
  const std::string original = testing::real_table_bytes(many_entries(6000), 100, /*compress=*/GetParam());
  auto table = TableFile::from_mapped("000009.ldb", MappedFile::from_bytes(original));
  ASSERT_TRUE(table.has_value());
  const auto footer = decode_footer(original, "000009.ldb");
  ASSERT_TRUE(footer.has_value());
  ASSERT_GT(table->index().size(), 20u);

  for (const auto& damage : table_damages()) {
    SCOPED_TRACE(damage.name);
    std::vector<std::pair<std::size_t, std::size_t>> intact;
    std::size_t shift = 0;
    const std::string damaged = damage.apply(original, *footer, intact, shift);
    // Expected: the records of every data block that lies, trailer included,
    // inside undamaged bytes.
    std::set<RecordKey> expected;
    DecodeScratch scratch;
    for (const auto& [separator, handle] : table->index()) {
      const std::size_t from = handle.offset;
      const std::size_t to = handle.offset + handle.size + kBlockTrailerSize;
      const bool whole = std::any_of(intact.begin(), intact.end(), [&](const auto& r) {
        return r.first <= from && to <= r.second;
      });
      if (!whole) continue;
      const auto block = table->read_block(handle, scratch.stored, scratch.decompressed);
      ASSERT_TRUE(block.has_value());
      VectorSink sink;
      visit_block_records(*block, &table->shared_path(), scratch.key, sink);
      for (const Record& r : std::move(sink).take()) expected.insert(key_of(r));
    }
    ASSERT_FALSE(expected.empty());

    const Carved carved = carve_table(damaged);
    std::set<RecordKey> got;
    for (const Record& r : carved.records) {
      EXPECT_EQ(r.recovered, Recovery::CarvedBlock);
      EXPECT_EQ(r.file_type, FileType::Ldb);
      EXPECT_TRUE(got.insert(key_of(r, -static_cast<std::int64_t>(shift))).second) << "reported twice";
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(carved.counts.reached, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(RawAndSnappy, TableCarving, ::testing::Bool());

TEST(TableCarving, AnUndamagedTableCarvesNothingBeyondItsIndex) {
  for (const bool compress : {false, true}) {
    const std::string bytes = testing::real_table_bytes(many_entries(3000), 1, compress);
    auto table = TableFile::from_mapped("000009.ldb", MappedFile::from_bytes(bytes));
    ASSERT_TRUE(table.has_value());
    std::vector<BlockHandle> reached;
    for (const auto& entry : table->index()) reached.push_back(entry.second);
    const Carved carved = carve_table(bytes, reached);
    EXPECT_TRUE(carved.records.empty());
    EXPECT_EQ(carved.counts.reached, reached.size());
    // The index block and the metaindex are recognised as structure, not data.
    EXPECT_GE(carved.counts.structural, 1u);
    EXPECT_EQ(carved.counts.data, 0u);
  }
}

// Carving never invents: whatever part of a real table it is given (here
// every suffix from a 4 KiB boundary, the way a file carved out of a disk
// image loses its beginning, and every prefix), each record it reports is one
// of the table's own. A cut fragment's index and metaindex blocks hold handles
// whose offsets no longer match the fragment's, so they must be told from data
// blocks by their content alone.
TEST(TableCarving, NoCutOfARealTableInventsARecord) {
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "snappy" : "raw");
    const std::string original = testing::compacted_table_bytes(many_entries(4000), compress, /*bloom_filter=*/true);
    auto table = TableFile::from_mapped("000009.ldb", MappedFile::from_bytes(original));
    ASSERT_TRUE(table.has_value());
    std::set<std::tuple<std::string, std::string, std::uint64_t>> real;
    VectorSink all;
    DecodeScratch scratch;
    table->visit_records(all, scratch);
    for (const Record& r : std::move(all).take()) real.emplace(r.key, r.value, r.seq);
    std::size_t carved_total = 0;
    for (std::size_t cut = 0; cut < original.size(); cut += 4096) {
      for (const std::string_view part : {std::string_view(original).substr(cut),
                                          std::string_view(original).substr(0, cut)}) {
        const Carved carved = carve_table(part);
        carved_total += carved.records.size();
        for (const Record& r : carved.records) {
          ASSERT_TRUE(real.contains({r.key, r.value, r.seq}))
              << "cut at " << cut << " of " << original.size() << ": invented seq " << r.seq;
        }
      }
    }
    EXPECT_GT(carved_total, real.size());  // the cuts do recover records
  }
}

// --- Logs ------------------------------------------------------------------------

struct LogCase {
  const char* name;
  std::size_t value_size;  // values of a few KiB make first/middle/last chains across blocks
};

TEST(LogCarving, ZeroedStretchRecoversTheRecordsAfterIt) {
  for (const LogCase& c : {LogCase{"small values", 60}, LogCase{"fragmented values", 3000}}) {
    SCOPED_TRACE(c.name);
    KeyValues puts;
    for (int i = 0; i < 40000 / static_cast<int>(c.value_size / 20 + 1) + 40; ++i) {
      puts.emplace_back("k" + std::to_string(i), random_bytes(c.value_size + i % 17, static_cast<std::uint32_t>(i)));
    }
    const std::string original = testing::real_log_bytes(puts);
    ASSERT_GT(original.size(), 3 * kLogBlockSize);
    // Zeroes 4 KiB from 100 bytes before the first header past 9000 in the
    // second block: the framing loses its way there.
    std::size_t at = 0;
    walk_physical_records(std::string_view(original).substr(kLogBlockSize, kLogBlockSize),
                          [&](std::size_t pos, LogRecordType, std::string_view) {
                            if (at == 0 && pos > 9000) at = kLogBlockSize + pos - 100;
                          });
    ASSERT_GT(at, 0u);
    std::string damaged = original;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(at), 4096, '\0');

    // How many puts (one logical record each) have a physical record in the
    // zeroed bytes, from the original's framing.
    std::size_t touched = 0;
    std::uint64_t first_header = 0;
    for (std::uint64_t block_start = 0; block_start < original.size(); block_start += kLogBlockSize) {
      const std::string_view block = std::string_view(original).substr(block_start, kLogBlockSize);
      walk_physical_records(block, [&](std::size_t pos, LogRecordType type, std::string_view payload) {
        const std::uint64_t end = block_start + pos + kLogHeaderSize + payload.size();
        if (type == LogRecordType::Full || type == LogRecordType::First) first_header = block_start + pos;
        if ((type == LogRecordType::Full || type == LogRecordType::Last) && end > at && first_header < at + 4096) {
          ++touched;
        }
      });
    }
    ASSERT_GT(touched, 0u);

    const auto log = LogFile::from_mapped("000003.log", MappedFile::from_bytes(damaged));
    const std::vector<Record> normal = testing::file_records(log);
    VectorSink sink;
    std::string joined;
    const auto counts = carve_log_records(MappedFile::from_bytes(damaged), &log.shared_path(), sink, joined);
    const std::vector<Record> carved = std::move(sink).take();
    EXPECT_GT(counts.logical, 0u);

    std::set<std::tuple<std::string, std::string, std::uint64_t>> wanted;
    std::uint64_t seq = 1;
    for (const auto& [k, v] : puts) wanted.insert({k, v, seq++});
    std::set<std::tuple<std::string, std::string, std::uint64_t>> seen;
    for (const Record& r : normal) seen.insert({r.key, r.value, r.seq});
    for (const Record& r : carved) {
      EXPECT_EQ(r.recovered, Recovery::CarvedLog);
      EXPECT_TRUE(wanted.contains({r.key, r.value, r.seq})) << "not in the original: " << r.key;
      EXPECT_TRUE(seen.insert({r.key, r.value, r.seq}).second) << "already read: " << r.key;
    }
    // Every put whose physical records are untouched is back, by one road or the other.
    std::size_t back = 0;
    for (const auto& w : wanted) back += seen.contains(w);
    EXPECT_EQ(back, wanted.size() - touched);
  }
}

TEST(LogCarving, AnUndamagedLogCarvesNothing) {
  KeyValues puts;
  for (int i = 0; i < 3000; ++i) puts.emplace_back("key" + std::to_string(i), std::string(i % 300, 'x'));
  const std::string bytes = testing::real_log_bytes(puts, {"key1", "key2"});
  std::string joined;
  const auto counts = carve_log_payloads(bytes, joined, [](std::uint64_t, std::string_view) {
    ADD_FAILURE() << "carved a record the framing reads";
  });
  EXPECT_GT(counts.verified, 3000u);
  EXPECT_EQ(counts.logical, 0u);
}

// --- Nothing from nothing -----------------------------------------------------------

TEST(Carving, RandomBytesCarveNothing) {
  for (const std::uint32_t seed : {1u, 2u, 3u}) {
    const std::string bytes = random_bytes(1 << 20, seed);
    EXPECT_TRUE(carve_table(bytes).records.empty());
    std::string joined;
    EXPECT_EQ(carve_log_payloads(bytes, joined, [](std::uint64_t, std::string_view) {}).logical, 0u);
    // Read as a loose file: whatever the lenient framing makes of it, carving adds nothing.
    VectorSink sink;
    DecodeScratch scratch;
    const auto loose = LooseFile::from_mapped("f12345.bin", MappedFile::from_bytes(bytes));
    EXPECT_EQ(loose.visit_records(/*carve=*/true, sink, scratch), LooseFileKind::Log);
    for (const Record& r : std::move(sink).take()) EXPECT_EQ(r.recovered, Recovery::None);
  }
}

TEST(LooseFile, TellsTableCutTableAndLogByContent) {
  const std::string table = testing::real_table_bytes(many_entries(500), 1, true);
  const std::string log = testing::real_log_bytes({{"a", "1"}, {"b", "2"}});
  struct Case {
    std::string bytes;
    LooseFileKind kind;
    std::size_t normal;
    std::size_t carved;
  };
  const std::vector<Case> cases = {
      {table, LooseFileKind::Table, 500, 0},
      {table.substr(0, table.size() - 1), LooseFileKind::CutTable, 0, 500},
      {log, LooseFileKind::Log, 2, 0},
  };
  for (const Case& c : cases) {
    VectorSink sink;
    DecodeScratch scratch;
    const auto loose = LooseFile::from_mapped("f12345.bin", MappedFile::from_bytes(c.bytes));
    EXPECT_EQ(loose.visit_records(true, sink, scratch), c.kind);
    const auto records = std::move(sink).take();
    const auto carved = std::count_if(records.begin(), records.end(),
                                      [](const Record& r) { return r.recovered != Recovery::None; });
    EXPECT_EQ(records.size() - static_cast<std::size_t>(carved), c.normal);
    EXPECT_EQ(static_cast<std::size_t>(carved), c.carved);
  }
}

}  // namespace
}  // namespace vostrel

namespace vostrel {
namespace {

// A table far larger than the carving window, whole and with its first bytes
// gone (the search starts resynchronising): windows, each stopping at the end
// of the first block past it, give exactly what one scan of the whole bytes
// gives, each block once, at its file position.
TEST(CarveWindows, LargeTableCarvesAsOneScan) {
  KeyValues entries;
  for (std::size_t i = 0; i < 5000; ++i) {
    entries.emplace_back("user-" + std::to_string(100000 + i), random_bytes(4000, static_cast<std::uint32_t>(i)));
  }
  const std::string whole = testing::real_table_bytes(entries, 1, /*compress=*/false);
  ASSERT_GT(whole.size(), 2 * kCarveWindow);
  for (const std::size_t cut : {std::size_t{0}, std::size_t{1001}}) {
    const std::string_view bytes = std::string_view(whole).substr(cut);
    VectorSink sink;
    DecodeScratch scratch;
    const SharedPath path = std::make_shared<const std::string>("f12345.bin");
    carve_table_blocks(bytes, {}, scratch.decompressed, [&](const BlockView& block) {
      visit_block_records(block, &path, scratch.key, sink, Recovery::CarvedBlock);
    });
    const std::vector<Record> one_scan = std::move(sink).take();
    const Carved windowed = carve_table(bytes);
    ASSERT_EQ(windowed.records.size(), one_scan.size()) << cut;
    for (std::size_t i = 0; i < one_scan.size(); ++i) {
      ASSERT_EQ(key_of(windowed.records[i]), key_of(one_scan[i])) << cut << " " << i;
    }
    EXPECT_GT(one_scan.size(), entries.size() - 10);
  }
}

// A real table whose one data block (a 9 MiB value, which the library
// writes as a block of its own) lies anywhere in a file past 16 MiB: after a
// 16 MiB hole and `zeros` written zero bytes, so that the block begins before,
// at or after a window's edge and ends windows later. Carving finds it
// whole, at its position.
TEST(CarveWindows, BlockLargerThanAWindowIsFoundWherever) {
  std::string value;
  while (value.size() < (std::size_t{9} << 20)) value += "0123456789abcdef";  // no byte can start a block
  const std::string table = testing::real_table_bytes({{"big", value}}, 7, /*compress=*/false);
  constexpr std::uint64_t kHole = std::uint64_t{16} << 20;
  for (const std::uint64_t zeros : {std::uint64_t{0}, std::uint64_t{3} << 20, kCarveWindow - 100,
                                    kCarveWindow - 64 - 1, std::uint64_t{15} << 20}) {
    SCOPED_TRACE(zeros);
    testing::TempDir dir;
    const std::string name = dir.file("000009.ldb");
    {
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      const std::string written = std::string(zeros, '\0') + table;
      ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kHole)), 0);
      ASSERT_EQ(::pwrite(fd, written.data(), written.size(), static_cast<off_t>(kHole)),
                static_cast<ssize_t>(written.size()));
      ::close(fd);
    }
    const auto file = MappedFile::open(name);
    ASSERT_TRUE(file.has_value());
    VectorSink sink;
    DecodeScratch scratch;
    const SharedPath path = std::make_shared<const std::string>(name);
    const TableCarveCounts counts = carve_table_records(*file, {}, &path, sink, scratch);
    const std::vector<Record> records = std::move(sink).take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].value, value);
    EXPECT_EQ(records[0].seq, 7u);
    EXPECT_EQ(records[0].offset, kHole + zeros);
    EXPECT_EQ(counts.data, 1u);
  }
}

}  // namespace
}  // namespace vostrel
