// Log framing and write batch decoding, on hand-built bytes. Real logs written
// by LevelDB itself are covered by real_log_test.cc.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "read/log_file.h"
#include "io/mapped_file.h"
#include "test_support.h"
#include "format/record.h"

namespace vostrel {
namespace {

using testing::fixed32;
using testing::fixed64;
using testing::hex;
using testing::TempDir;
using testing::varint;
using testing::write_file;

constexpr std::size_t kBlock = kLogBlockSize;

// One physical record: checksum (any 4 bytes: it is never checked), payload
// length LE16, type, payload. `length` overrides the length field.
std::string physical(std::uint8_t type, std::string_view payload, int length = -1) {
  const auto n = static_cast<std::uint16_t>(length < 0 ? payload.size() : static_cast<std::size_t>(length));
  std::string out = "\xde\xad\xbe\xef";
  out.push_back(static_cast<char>(n & 0xFF));
  out.push_back(static_cast<char>(n >> 8));
  out.push_back(static_cast<char>(type));
  out.append(payload);
  return out;
}

// A physical record whose whole extent (header + payload) is `total` bytes.
std::string physical_of_size(std::uint8_t type, std::size_t total, char fill) {
  return physical(type, std::string(total - kLogHeaderSize, fill));
}

// Builds a log image and keeps track of positions.
class LogImage {
 public:
  LogImage& add(std::uint8_t type, std::string_view payload) {
    bytes_ += physical(type, payload);
    return *this;
  }
  LogImage& raw(std::string_view bytes) {
    bytes_ += bytes;
    return *this;
  }
  // Pads with `fill` up to an absolute position.
  LogImage& pad_to(std::size_t pos, char fill = '\0') {
    EXPECT_LE(bytes_.size(), pos);
    bytes_.resize(pos, fill);
    return *this;
  }
  LogImage& pad_to_block(std::size_t block, char fill = '\0') { return pad_to(block * kBlock, fill); }
  // Fills up to an absolute position with one zero-type record, the way to
  // place a record at any position of a block: plain zero bytes would be read
  // as 7-byte empty records and misalign a header that does not start at a
  // multiple of 7.
  LogImage& skip_to(std::size_t pos) {
    EXPECT_GE(pos, bytes_.size() + kLogHeaderSize);
    bytes_ += physical(0, std::string(pos - bytes_.size() - kLogHeaderSize, '\x5a'));
    return *this;
  }
  [[nodiscard]] std::size_t size() const { return bytes_.size(); }
  [[nodiscard]] const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

std::string batch(std::uint64_t seq, std::uint32_t count, std::string_view body) {
  return fixed64(seq) + fixed32(count) + std::string(body);
}

std::vector<LogicalRecord> frame(const std::string& bytes) { return read_logical_records(bytes); }

const SharedPath& test_path() {
  static const SharedPath path = std::make_shared<const std::string>("/db/000001.log");
  return path;
}

std::vector<Record> decode(std::string_view payload, std::uint64_t offset = 0) {
  VectorSink sink;
  decode_write_batch(offset, payload, &test_path(), sink);
  return std::move(sink).take();
}

std::vector<Record> records_of(const std::string& bytes, std::string path = "/db/000001.log") {
  return testing::file_records(LogFile::from_mapped(std::move(path), MappedFile::from_bytes(bytes)));
}

// The 25-byte batch: put a=1, delete b, put c=2 at sequence 100.
const std::string kBody = hex("01 01 61 01 31  00 01 62  01 01 63 01 32");

// ---------------------------------------------------------------------------
// Framing

TEST(Framing, EmptyInputHasNoRecords) { EXPECT_TRUE(frame("").empty()); }

TEST(Framing, ZeroFilledSpaceYieldsNothing) {
  EXPECT_TRUE(frame(std::string(7, '\0')).empty());
  EXPECT_TRUE(frame(std::string(2 * kBlock + 100, '\0')).empty());
  // Preallocated zeros after real data do not add or disturb anything.
  LogImage image;
  image.add(1, "abc").pad_to(3 * kBlock + 5);
  EXPECT_EQ(frame(image.bytes()), (std::vector<LogicalRecord>{{10, "abc"}}));
}

TEST(Framing, FullRecordOffsetIsItsEnd) {
  const std::string payload(20, 'p');
  EXPECT_EQ(frame(physical(1, payload)), (std::vector<LogicalRecord>{{27, payload}}));
}

TEST(Framing, EmptyFullRecord) {
  EXPECT_EQ(frame(physical(1, "")), (std::vector<LogicalRecord>{{7, ""}}));
}

TEST(Framing, ConsecutiveFullRecords) {
  LogImage image;
  image.add(1, "one").add(1, "").add(1, "three");
  EXPECT_EQ(frame(image.bytes()),
            (std::vector<LogicalRecord>{{10, "one"}, {17, ""}, {29, "three"}}));
}

TEST(Framing, ChecksumIsIgnored) {
  std::string bytes = physical(1, "data");
  bytes[0] = bytes[1] = bytes[2] = bytes[3] = '\0';
  EXPECT_EQ(frame(bytes), (std::vector<LogicalRecord>{{11, "data"}}));
}

TEST(Framing, FragmentsJoinAcrossBlockBoundary) {
  // First fragment ends at 32000, zeros fill the rest of block 0, the last
  // fragment opens block 1.
  const std::string head(32000 - kLogHeaderSize, 'h');
  LogImage image;
  image.add(2, head).pad_to_block(1).add(4, "tail");
  EXPECT_EQ(frame(image.bytes()), (std::vector<LogicalRecord>{{32000, head + "tail"}}));
}

TEST(Framing, FragmentsSpanningWholeBlocks) {
  // first fills block 0 exactly, middle fills block 1 exactly, last in block 2.
  const std::string a(kBlock - kLogHeaderSize, 'a');
  const std::string b(kBlock - kLogHeaderSize, 'b');
  LogImage image;
  image.add(2, a).add(3, b).add(4, "c").add(1, "next");
  ASSERT_EQ(image.size(), 2 * kBlock + 8 + 11);
  EXPECT_EQ(frame(image.bytes()),
            (std::vector<LogicalRecord>{{kBlock, a + b + "c"}, {2 * kBlock + 19, "next"}}));
}

TEST(Framing, UnknownTypeSkipsRestOfBlockOnly) {
  for (const int bad : {5, 9, 0x7F, 0x80, 0xFF}) {
    SCOPED_TRACE(bad);
    // A first fragment closes block 0; block 1 starts with a header of an
    // unknown type followed by what would be a valid full record; the last
    // fragment opens block 2.
    const std::string head(100, 'h');
    LogImage image;
    image.skip_to(kBlock - kLogHeaderSize - head.size())
        .add(2, head)
        .add(static_cast<std::uint8_t>(bad), "junk")
        .add(1, "hidden")
        .pad_to_block(2, '\x01')
        .add(4, "tail");
    ASSERT_EQ(image.size(), 2 * kBlock + 11);
    EXPECT_EQ(frame(image.bytes()), (std::vector<LogicalRecord>{{kBlock, head + "tail"}}));
  }
}

TEST(Framing, LengthPastBlockSkipsRestOfBlock) {
  LogImage image;
  image.add(1, "A")
      .raw(physical(1, "", 40000))   // claims 40000 bytes: past the block
      .add(1, "hidden")              // inside the skipped rest of block 0
      .pad_to_block(1, '\x02')
      .add(1, "B");
  EXPECT_EQ(frame(image.bytes()), (std::vector<LogicalRecord>{{8, "A"}, {kBlock + 8, "B"}}));

  // A length that would fit in the file but not in the block.
  LogImage straddle;
  straddle.skip_to(kBlock - 20).raw(physical(1, std::string(13, 'x'), 100)).pad_to_block(1, 'y');
  straddle.add(1, "C");
  EXPECT_EQ(frame(straddle.bytes()), (std::vector<LogicalRecord>{{kBlock + 8, "C"}}));
}

TEST(Framing, LengthPastEndOfFile) {
  LogImage image;
  image.add(1, "A").raw(physical(1, "short", 6));
  EXPECT_EQ(frame(image.bytes()), (std::vector<LogicalRecord>{{8, "A"}}));
  EXPECT_TRUE(frame(physical(1, "ab", 0xFFFF)).empty());
}

TEST(Framing, RecordEndingExactlyAtBlockEnd) {
  // Full records whose last byte is the last byte of the block are read,
  // including an empty one whose header takes the last 7 bytes.
  LogImage image;
  image.raw(physical_of_size(1, kBlock - kLogHeaderSize, 'x')).add(1, "").add(1, "n");
  const auto records = frame(image.bytes());
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].offset, kBlock - kLogHeaderSize);
  EXPECT_EQ(records[1], (LogicalRecord{kBlock, ""}));
  EXPECT_EQ(records[2], (LogicalRecord{kBlock + 8, "n"}));
}

TEST(Framing, TrailerShorterThanHeaderIsPadding) {
  for (std::size_t trailer = 1; trailer < kLogHeaderSize; ++trailer) {
    SCOPED_TRACE(trailer);
    // The trailer bytes look like the start of a full record header; read
    // with the next block's bytes they would frame a bogus record.
    LogImage image;
    image.raw(physical_of_size(1, kBlock - trailer, 'x'))
        .raw(std::string("\x01\x02\x03\x04\x01\x00", trailer))
        .add(1, "next");
    ASSERT_EQ(image.size(), kBlock + 11);
    const auto records = frame(image.bytes());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].offset, kBlock - trailer);
    EXPECT_EQ(records[1], (LogicalRecord{kBlock + 11, "next"}));

    // The same trailer at the very end of the file is ignored as well.
    LogImage tail;
    tail.add(1, "only").raw(std::string("\x01\x02\x03\x04\x01\x00", trailer));
    EXPECT_EQ(frame(tail.bytes()), (std::vector<LogicalRecord>{{11, "only"}}));
  }
}

TEST(Framing, ZeroTypeSkippedByItsLength) {
  // A zero-type record's payload is skipped even when it looks like records.
  LogImage image;
  image.raw(physical(0, physical(1, "inner"))).add(1, "outer");
  EXPECT_EQ(frame(image.bytes()), (std::vector<LogicalRecord>{{31, "outer"}}));
}

TEST(Framing, ZeroTypeKeepsPendingRecord) {
  LogImage image;
  image.add(2, "ab").add(0, "zz").add(0, "").add(4, "cd");
  EXPECT_EQ(frame(image.bytes()), (std::vector<LogicalRecord>{{9, "abcd"}}));
}

struct FragmentCase {
  const char* name;
  std::vector<std::pair<std::uint8_t, std::string>> records;
  std::vector<LogicalRecord> expected;
};

void PrintTo(const FragmentCase& c, std::ostream* os) { *os << c.name; }

class Fragments : public ::testing::TestWithParam<FragmentCase> {};

TEST_P(Fragments, Table) {
  LogImage image;
  for (const auto& [type, payload] : GetParam().records) image.add(type, payload);
  EXPECT_EQ(frame(image.bytes()), GetParam().expected);
}

// Each physical record below is 7 + 2 bytes, so the n-th ends at 9n.
INSTANTIATE_TEST_SUITE_P(
    Table, Fragments,
    ::testing::Values(
        FragmentCase{"first_middle_last", {{2, "aa"}, {3, "bb"}, {3, "cc"}, {4, "dd"}}, {{9, "aabbccdd"}}},
        FragmentCase{"first_first_last", {{2, "aa"}, {2, "bb"}, {4, "cc"}}, {{18, "bbcc"}}},
        FragmentCase{"first_full_last", {{2, "aa"}, {1, "ff"}, {4, "cc"}}, {{18, "ff"}}},
        FragmentCase{"first_full_middle_last", {{2, "aa"}, {1, "ff"}, {3, "mm"}, {4, "cc"}}, {{18, "ff"}}},
        FragmentCase{"middle_at_start", {{3, "mm"}, {1, "ff"}}, {{18, "ff"}}},
        FragmentCase{"last_at_start", {{4, "ll"}}, {}},
        FragmentCase{"middle_last_at_start", {{3, "mm"}, {4, "ll"}, {2, "aa"}, {4, "bb"}}, {{27, "aabb"}}},
        FragmentCase{"last_twice", {{2, "aa"}, {4, "bb"}, {4, "cc"}}, {{9, "aabb"}}},
        FragmentCase{"first_at_end_dropped", {{1, "ff"}, {2, "aa"}, {3, "bb"}}, {{9, "ff"}}},
        FragmentCase{"first_last_empty", {{2, ""}, {4, ""}}, {{7, ""}}},
        FragmentCase{"two_joined_records", {{2, "a1"}, {4, "a2"}, {2, "b1"}, {3, "b2"}, {4, "b3"}},
                     {{9, "a1a2"}, {27, "b1b2b3"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Framing, PendingRecordCarriesOverUnreadableBlocks) {
  // Block 1 is a bad length right at its start; block 2 has the middle and
  // block 3 the last fragment.
  LogImage image;
  image.skip_to(kBlock - 10).add(2, "abc").raw(physical(1, "", 0xFFFF)).pad_to_block(2);
  image.add(3, "def").pad_to_block(3).add(4, "ghi");
  EXPECT_EQ(frame(image.bytes()), (std::vector<LogicalRecord>{{kBlock, "abcdefghi"}}));
}

// ---------------------------------------------------------------------------
// Write batches

TEST(Batch, ExampleInAFile) {
  const std::string payload = batch(100, 3, kBody);
  ASSERT_EQ(payload.size(), 25u);
  const auto records = records_of(physical(1, payload));
  ASSERT_EQ(records.size(), 3u);
  const auto& path = test_path();
  EXPECT_EQ(records[0], (Record{"a", "1", 100, KeyState::Live, FileType::Log, path, 44, false}));
  EXPECT_EQ(records[1], (Record{"b", "", 101, KeyState::Deleted, FileType::Log, path, 49, false}));
  EXPECT_EQ(records[2], (Record{"c", "2", 102, KeyState::Live, FileType::Log, path, 52, false}));
  for (const auto& r : records) {
    EXPECT_EQ(r.user_key(), r.key);
    EXPECT_EQ(r.origin_path(), "/db/000001.log");
  }
}

TEST(Batch, CountBoundsTheEntries) {
  EXPECT_EQ(decode(batch(100, 2, kBody)).size(), 2u);
  EXPECT_EQ(decode(batch(100, 1, kBody)).size(), 1u);
  EXPECT_EQ(decode(batch(100, 5, kBody)).size(), 3u);
  EXPECT_EQ(decode(batch(100, 0xFFFFFFFFu, kBody)).size(), 3u);
  EXPECT_TRUE(decode(batch(100, 0, kBody)).empty());
  const auto five = decode(batch(100, 5, kBody), 32);
  EXPECT_EQ(five, decode(batch(100, 3, kBody), 32));
}

TEST(Batch, ShortPayloads) {
  EXPECT_TRUE(decode("").empty());
  EXPECT_TRUE(decode(batch(1, 1, "").substr(0, 11)).empty());
  EXPECT_TRUE(decode(batch(1, 1, "")).empty());          // header only
  EXPECT_TRUE(decode(batch(1, 1, hex("01"))).empty());    // tag and nothing else
  EXPECT_TRUE(decode(batch(1, 1, hex("00"))).empty());
}

TEST(Batch, UnrecognisedTagsReadLikePuts) {
  for (const int tag : {2, 7, 0x7F, 0x80, 0xFF}) {
    SCOPED_TRACE(tag);
    std::string body = hex("00 01 6b 01 76 01 01 78 01 79");
    body[0] = static_cast<char>(tag);
    const auto records = decode(batch(9, 2, body), 100);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].state, KeyState::Unknown);
    EXPECT_EQ(records[0].key, "k");
    EXPECT_EQ(records[0].value, "v");
    EXPECT_EQ(records[0].offset, 112u);
    EXPECT_EQ(records[1].key, "x");
    EXPECT_EQ(records[1].value, "y");
    EXPECT_EQ(records[1].seq, 10u);
    EXPECT_EQ(records[1].offset, 117u);
  }
}

TEST(Batch, KeyRunningPastBodyEndsBatch) {
  const auto records = decode(batch(100, 2, hex("01 01 61 01 31 00 7f 62 63")));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].key, "a");
  EXPECT_EQ(records[0].value, "1");
}

TEST(Batch, KeyEndingAtBodyEnd) {
  // A deletion needs nothing after its key.
  const auto del = decode(batch(7, 2, hex("01 01 61 01 31 00 02 62 63")));
  ASSERT_EQ(del.size(), 2u);
  EXPECT_EQ(del[1].key, "bc");
  EXPECT_EQ(del[1].value, "");
  EXPECT_EQ(del[1].state, KeyState::Deleted);
  EXPECT_EQ(del[1].seq, 8u);
  // A put or an unrecognised entry needs a value length.
  EXPECT_EQ(decode(batch(7, 2, hex("01 01 61 01 31 01 02 62 63"))).size(), 1u);
  EXPECT_EQ(decode(batch(7, 2, hex("01 01 61 01 31 05 02 62 63"))).size(), 1u);
}

struct DamageCase {
  const char* name;
  std::string body;  // hex, after a good first entry "01 01 61 01 31"
  std::size_t expected;
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class BatchDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(BatchDamage, KeepsEntriesBeforeDamage) {
  const std::string body = hex("01 01 61 01 31") + hex(GetParam().body);
  const auto records = decode(batch(1, 10, body));
  ASSERT_EQ(records.size(), GetParam().expected);
  EXPECT_EQ(records[0].key, "a");
}

INSTANTIATE_TEST_SUITE_P(
    Table, BatchDamage,
    ::testing::Values(
        DamageCase{"tag_is_last_byte", "01", 1},
        DamageCase{"deletion_tag_is_last_byte", "00", 1},
        DamageCase{"key_length_cut", "01 80", 1},
        DamageCase{"key_length_cut_long", "00 ff ff ff ff", 1},
        DamageCase{"key_one_short", "00 03 62 63", 1},
        DamageCase{"value_length_cut", "01 01 62 81", 1},
        DamageCase{"value_one_short", "01 01 62 03 76 76", 1},
        DamageCase{"value_exact", "01 01 62 02 76 76", 2},
        DamageCase{"value_huge", "01 01 62 ff ff ff ff 0f 76", 1},
        DamageCase{"key_huge", "00 ff ff ff ff 0f 62", 1},
        DamageCase{"empty_key_and_value", "01 00 00", 2},
        DamageCase{"empty_key_deletion", "00 00", 2},
        DamageCase{"empty_key_put_at_end", "01 00", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Batch, LengthsAreVarint32KeepingLow32Bits) {
  // The key length takes 5 bytes at most: the fifth byte ends it whatever its
  // high bit says, so the 'k' that follows is the key.
  auto records = decode(batch(1, 1, hex("01 81 80 80 80 80 6b 01 76")));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].key, "k");
  EXPECT_EQ(records[0].value, "v");
  // Bit 32 of a 35-bit length is dropped: 2^32 + 1 reads as 1.
  records = decode(batch(1, 1, hex("01 81 80 80 80 10 6b 81 80 80 80 10 76")));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].key, "k");
  EXPECT_EQ(records[0].value, "v");
}

TEST(Batch, SequenceWraps) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  const auto records = decode(batch(kMax, 3, kBody));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].seq, kMax);
  EXPECT_EQ(records[1].seq, 0u);
  EXPECT_EQ(records[2].seq, 1u);
}

TEST(Batch, EntriesPastCountIgnored) {
  const auto records = decode(batch(5, 1, kBody + "\xff\xff"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].seq, 5u);
}

TEST(Batch, RecordsOwnTheirBytes) {
  std::vector<Record> records;
  {
    std::string payload = batch(100, 3, kBody);
    records = decode(payload);
    std::memset(payload.data(), 0, payload.size());
  }
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2].key, "c");
  EXPECT_EQ(records[2].value, "2");
}

TEST(Batch, FragmentedBatchOffsetsFromFirstFragment) {
  // One batch split over three fragments across a block boundary: offsets
  // count from the end of the first physical record through the joined
  // payload, whatever headers lie between.
  const std::string value(300, 'v');
  std::string body;
  for (int i = 0; i < 4; ++i) body += "\x01\x01" + std::string(1, static_cast<char>('a' + i)) + varint(300) + value;
  const std::string payload = batch(50, 4, body);
  LogImage image;
  const std::size_t first_len = 200;
  image.skip_to(kBlock - kLogHeaderSize - first_len)
      .add(2, payload.substr(0, first_len))
      .add(3, payload.substr(first_len, 500))
      .add(4, payload.substr(first_len + 500))
      .add(1, batch(60, 1, hex("00 01 7a")));
  const auto records = records_of(image.bytes());
  ASSERT_EQ(records.size(), 5u);
  const std::size_t entry = 1 + 1 + 1 + 2 + 300;
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(records[i].seq, 50 + i);
    EXPECT_EQ(records[i].key, std::string(1, static_cast<char>('a' + i)));
    EXPECT_EQ(records[i].value, value);
    EXPECT_EQ(records[i].offset, kBlock + 12 + i * entry);
  }
  EXPECT_EQ(records[4].state, KeyState::Deleted);
  EXPECT_EQ(records[4].seq, 60u);
  EXPECT_EQ(records[4].offset, image.size() + 12);
}

TEST(Batch, BadBatchDoesNotStopTheNextOne) {
  LogImage image;
  image.add(1, "tiny")
      .add(1, batch(1, 0, kBody))
      .add(1, batch(2, 2, hex("01 01 61 01 31 01 05")))
      .add(1, batch(3, 1, hex("00 01 7a")));
  const auto records = records_of(image.bytes());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].seq, 2u);
  EXPECT_EQ(records[1].seq, 3u);
  EXPECT_EQ(records[1].key, "z");
}

// ---------------------------------------------------------------------------
// Opening files

TEST(LogFile, OpenReadsRecordsAndNumber) {
  TempDir dir;
  const std::string path = dir.file("000010.log");
  write_file(path, physical(1, batch(100, 3, kBody)) + std::string(50, '\0'));
  auto log = LogFile::open(path);
  ASSERT_TRUE(log.has_value()) << log.error().message();
  EXPECT_EQ(log->number(), 16u);
  EXPECT_EQ(log->path(), path);
  EXPECT_TRUE(log->has_mapping());
  EXPECT_EQ(log->length(), 82u);
  const auto records = testing::file_records(*log);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].origin_path(), path);
  EXPECT_EQ(records[1].offset, 49u);
  EXPECT_EQ(records[2].key, "c");
  // Unlinking the file after open does not change what is read, and repeated
  // calls give equal lists.
  ::unlink(path.c_str());
  EXPECT_EQ(testing::file_records(*log), records);
}

TEST(LogFile, EmptyFileHasNoMappingAndNoRecords) {
  TempDir dir;
  write_file(dir.file("000003.log"), "");
  auto log = LogFile::open(dir.file("000003.log"));
  ASSERT_TRUE(log.has_value());
  EXPECT_FALSE(log->has_mapping());
  EXPECT_EQ(log->length(), 0u);
  EXPECT_EQ(log->number(), 3u);
  EXPECT_TRUE(testing::file_records(*log).empty());
}

TEST(LogFile, MissingFileIsIoError) {
  TempDir dir;
  const auto log = LogFile::open(dir.file("000001.log"));
  ASSERT_FALSE(log.has_value());
  EXPECT_EQ(log.error().error.code, ENOENT);
  EXPECT_EQ(log.error().message(),
            "IO error: " + std::string(std::strerror(ENOENT)) + " (os error 2)");
}

TEST(LogFile, NumberFromStem) {
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"/d/000005.log", 5}, {"/d/000010.log", 16}, {"/d/00001a.log", 26}, {"/d/+1F.log", 31},
      {"/d/-1.log", 0},     {"/d/00000g.log", 0},  {"/d/+.log", 0},      {"/d/.log", 0},
      {"/d/", 0},           {"/d/\xff\xfe.log", 0}, {"000007", 7},
  };
  for (const auto& [path, number] : cases) {
    const LogFile log = LogFile::from_mapped(path, MappedFile::from_bytes("x"));
    EXPECT_EQ(log.number(), number) << path;
    EXPECT_EQ(log.path(), path);
  }
}

TEST(LogFile, FromMappedMatchesOpen) {
  TempDir dir;
  LogImage image;
  image.add(1, batch(100, 3, kBody)).add(2, batch(7, 1, hex("01 01 6b 00"))).pad_to_block(1);
  image.add(4, "").add(1, batch(9, 1, hex("00 00")));
  const std::string path = dir.file("000002.log");
  write_file(path, image.bytes());
  auto opened = LogFile::open(path);
  ASSERT_TRUE(opened.has_value());
  const LogFile in_memory = LogFile::from_mapped(path, MappedFile::from_bytes(image.bytes()));
  const auto records = testing::file_records(in_memory);
  EXPECT_EQ(testing::file_records(*opened), records);
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[3].key, "k");
  EXPECT_EQ(records[3].value, "");
  EXPECT_EQ(records[3].state, KeyState::Live);
  EXPECT_EQ(records[4].key, "");
  EXPECT_EQ(records[4].state, KeyState::Deleted);
  for (const auto& r : records) {
    EXPECT_EQ(r.file_type, FileType::Log);
    EXPECT_FALSE(r.was_compressed);
  }
}

// A directory may hold more log files than the process may keep descriptors
// open: every one of them must still open and stay readable.
TEST(LogFile, MoreFilesThanDescriptorLimit) {
  TempDir dir;
  const std::string bytes = physical(1, batch(1, 1, hex("01 01 61 01 62")));
  constexpr int kFiles = 100;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.log", i);
    write_file(dir.file(name), bytes);
  }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 48;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<LogFile> logs;
  int failures = 0;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.log", i);
    auto log = LogFile::open(dir.file(name));
    if (log) logs.push_back(std::move(*log));
    else ++failures;
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(failures, 0);
  ASSERT_EQ(logs.size(), static_cast<std::size_t>(kFiles));
  for (const auto& log : logs) EXPECT_EQ(testing::file_records(log).size(), 1u);
}

}  // namespace
}  // namespace vostrel
