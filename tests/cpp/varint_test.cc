// The primitive decoders every reader builds on: varints, length-prefixed
// blobs, block handles, user keys, and mapped files.

#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "format/internal_key.h"
#include "io/mapped_file.h"
#include "io/safe_copy.h"
#include "format/table_format.h"
#include "test_support.h"
#include "format/record.h"
#include "base/varint.h"

namespace vostrel {
namespace {

using testing::hex;
using testing::TempDir;
using testing::write_file;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// ---------------------------------------------------------------------------
// Varints

struct VarintCase {
  const char* name;
  std::string bytes;  // hex
  bool narrow;
  std::optional<std::uint64_t> value;
  std::size_t consumed;  // expected pos afterwards (0 when absent)
};

void PrintTo(const VarintCase& c, std::ostream* os) { *os << c.name; }

class VarintRead : public ::testing::TestWithParam<VarintCase> {};

TEST_P(VarintRead, CursorAndFreeFunctionAgree) {
  const VarintCase& c = GetParam();
  const std::string bytes = hex(c.bytes);
  SliceCursor cursor(bytes);
  const auto value = cursor.read_varint(c.narrow);
  EXPECT_EQ(value, c.value);
  EXPECT_EQ(cursor.pos(), c.consumed);

  // The same varint behind a prefix, decoded in place: the rule must not
  // depend on the varint starting at index 0.
  const std::string prefixed = "\x07\x07\x07" + bytes;
  const auto decoded = decode_varint(prefixed, 3, c.narrow);
  ASSERT_EQ(decoded.has_value(), c.value.has_value());
  if (decoded) {
    EXPECT_EQ(decoded->value, *c.value);
    EXPECT_EQ(decoded->length, c.consumed);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VarintRead,
    ::testing::Values(
        VarintCase{"empty_wide", "", false, std::nullopt, 0},
        VarintCase{"empty_narrow", "", true, std::nullopt, 0},
        VarintCase{"zero", "00", false, 0, 1},
        VarintCase{"ac02_is_300", "ac 02", false, 300, 2},
        VarintCase{"ac02_is_300_narrow", "ac 02", true, 300, 2},
        VarintCase{"lone_7f", "7f", false, 127, 1},
        VarintCase{"lone_80_absent", "80", false, std::nullopt, 0},
        VarintCase{"lone_80_absent_narrow", "80", true, std::nullopt, 0},
        VarintCase{"cut_after_three", "ff ff ff", false, std::nullopt, 0},
        VarintCase{"non_minimal_zero", "80 00", false, 0, 2},
        VarintCase{"trailing_bytes_left", "01 02 03", false, 1, 1},
        VarintCase{"ten_ff_all_bits", "ff ff ff ff ff ff ff ff ff ff", false, kMax64, 10},
        VarintCase{"ten_ff_then_more", "ff ff ff ff ff ff ff ff ff ff 05", false, kMax64, 10},
        VarintCase{"nine_ff_absent", "ff ff ff ff ff ff ff ff ff", false, std::nullopt, 0},
        VarintCase{"ten_80_then_01", "80 80 80 80 80 80 80 80 80 80 01", false, 0, 10},
        // The tenth byte contributes only its lowest bit, as bit 63.
        VarintCase{"tenth_byte_bit63", "80 80 80 80 80 80 80 80 80 01", false,
                   std::uint64_t{1} << 63, 10},
        VarintCase{"tenth_byte_high_bits_dropped", "80 80 80 80 80 80 80 80 80 7e", false, 0, 10},
        VarintCase{"nine_ff_then_7f", "ff ff ff ff ff ff ff ff ff 7f", false, kMax64, 10},
        VarintCase{"five_ff_narrow", "ff ff ff ff ff", true, (std::uint64_t{1} << 35) - 1, 5},
        VarintCase{"six_ff_narrow_stops_at_five", "ff ff ff ff ff ff", true,
                   (std::uint64_t{1} << 35) - 1, 5},
        VarintCase{"five_ff_wide_absent", "ff ff ff ff ff", false, std::nullopt, 0},
        VarintCase{"five_80_narrow_at_end", "80 80 80 80 80", true, 0, 5},
        VarintCase{"four_80_narrow_absent", "80 80 80 80", true, std::nullopt, 0},
        VarintCase{"narrow_fifth_byte_bits", "80 80 80 80 0f", true, std::uint64_t{0xF} << 28, 5},
        VarintCase{"narrow_max_u32", "ff ff ff ff 0f", true, 0xFFFFFFFFu, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Varint, TenBytesThenNextReadSeesTheRest) {
  const std::string bytes = hex("80 80 80 80 80 80 80 80 80 80 01");
  SliceCursor cursor(bytes);
  EXPECT_EQ(cursor.read_varint(false), 0u);
  EXPECT_EQ(cursor.pos(), 10u);
  EXPECT_EQ(cursor.read_varint(false), 1u);
  EXPECT_EQ(cursor.pos(), 11u);
  EXPECT_EQ(cursor.remaining(), 0u);
  EXPECT_EQ(cursor.read_varint(false), std::nullopt);
  EXPECT_EQ(cursor.pos(), 11u);
}

TEST(Varint, NarrowFiveFfLow32Bits) {
  const std::string bytes = hex("ff ff ff ff ff");
  SliceCursor cursor(bytes);
  const auto value = cursor.read_varint(true);
  ASSERT_TRUE(value);
  EXPECT_EQ(static_cast<std::uint32_t>(*value), 0xFFFFFFFFu);
}

TEST(Varint, RoundTripsEncoder) {
  std::vector<std::uint64_t> values = {0, 1, 127, 128, 300, 16383, 16384, 0xFFFFFFFFu,
                                       std::uint64_t{1} << 35, kMax64 - 1, kMax64};
  for (int shift = 0; shift < 64; ++shift) values.push_back(std::uint64_t{1} << shift);
  for (const auto v : values) {
    const std::string bytes = testing::varint(v);
    SliceCursor cursor(bytes);
    EXPECT_EQ(cursor.read_varint(false), v) << v;
    EXPECT_EQ(cursor.pos(), bytes.size()) << v;
  }
}

// A failed read in the middle of the data must leave the position where it was.
TEST(Varint, FailedReadAfterSuccessKeepsPosition) {
  const std::string bytes = hex("05 ff ff");
  SliceCursor cursor(bytes);
  EXPECT_EQ(cursor.read_varint(false), 5u);
  EXPECT_EQ(cursor.read_varint(false), std::nullopt);
  EXPECT_EQ(cursor.pos(), 1u);
  EXPECT_EQ(cursor.read_length_prefixed_blob(), std::nullopt);
  EXPECT_EQ(cursor.pos(), 1u);
}

// ---------------------------------------------------------------------------
// Length-prefixed blobs

struct BlobCase {
  const char* name;
  std::string bytes;  // hex
  std::optional<std::string> blob;  // hex
  std::size_t consumed;
};

void PrintTo(const BlobCase& c, std::ostream* os) { *os << c.name; }

class BlobRead : public ::testing::TestWithParam<BlobCase> {};

TEST_P(BlobRead, Table) {
  const BlobCase& c = GetParam();
  const std::string bytes = hex(c.bytes);
  SliceCursor cursor(bytes);
  const auto blob = cursor.read_length_prefixed_blob();
  ASSERT_EQ(blob.has_value(), c.blob.has_value());
  if (blob) {
    EXPECT_EQ(std::string(*blob), hex(*c.blob));
    // A view into the cursor's bytes, not a copy.
    if (!blob->empty()) {
      EXPECT_EQ(blob->data(), bytes.data() + (c.consumed - blob->size()));
    }
  }
  EXPECT_EQ(cursor.pos(), c.consumed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BlobRead,
    ::testing::Values(
        BlobCase{"empty_input", "", std::nullopt, 0},
        BlobCase{"abc", "03 61 62 63", "61 62 63", 4},
        BlobCase{"abc_then_more", "03 61 62 63 64", "61 62 63", 4},
        BlobCase{"one_short", "03 61 62", std::nullopt, 0},
        BlobCase{"empty_blob", "00", "", 1},
        BlobCase{"cut_length", "80", std::nullopt, 0},
        BlobCase{"two_byte_length", "81 00 61", "61", 3},
        // A length near 2^64 must not wrap around the bounds check.
        BlobCase{"huge_length", "ff ff ff ff ff ff ff ff ff 01 61 62", std::nullopt, 0},
        BlobCase{"length_2pow63", "80 80 80 80 80 80 80 80 80 01 61", std::nullopt, 0},
        BlobCase{"length_bits_past_63_dropped", "81 80 80 80 80 80 80 80 80 7e 61", "61", 11}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Blob, AfterAnotherRead) {
  const std::string bytes = hex("05 02 61 62 00");
  SliceCursor cursor(bytes);
  EXPECT_EQ(cursor.read_varint(true), 5u);
  EXPECT_EQ(cursor.read_length_prefixed_blob(), std::string_view("ab"));
  EXPECT_EQ(cursor.pos(), 4u);
  EXPECT_EQ(cursor.read_length_prefixed_blob(), std::string_view());
  EXPECT_EQ(cursor.pos(), 5u);
  EXPECT_EQ(cursor.read_length_prefixed_blob(), std::nullopt);
  EXPECT_EQ(cursor.pos(), 5u);
}

// ---------------------------------------------------------------------------
// Block handles

TEST(BlockHandle, FromBytes) {
  EXPECT_EQ(BlockHandle::from_bytes(""), std::nullopt);
  EXPECT_EQ(BlockHandle::from_bytes(hex("05")), std::nullopt);
  EXPECT_EQ(BlockHandle::from_bytes(hex("05 80")), std::nullopt);
  EXPECT_EQ(BlockHandle::from_bytes(hex("05 0a ff")), (BlockHandle{5, 10}));
  EXPECT_EQ(BlockHandle::from_bytes(hex("00 00")), (BlockHandle{0, 0}));
  EXPECT_EQ(BlockHandle::from_bytes(testing::varint(kMax64) + testing::varint(1ull << 40)),
            (BlockHandle{kMax64, 1ull << 40}));
  // Twenty bytes, both fields at the varint64 limit.
  EXPECT_EQ(BlockHandle::from_bytes(std::string(20, '\xff')), (BlockHandle{kMax64, kMax64}));
}

TEST(BlockHandle, FromCursor) {
  {
    const std::string bytes;
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), std::nullopt);
    EXPECT_EQ(cursor.pos(), 0u);
  }
  {
    const std::string bytes = hex("05");
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), std::nullopt);
    EXPECT_EQ(cursor.pos(), 1u);  // just past the offset
  }
  {
    const std::string bytes = hex("80");
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), std::nullopt);
    EXPECT_EQ(cursor.pos(), 0u);
  }
  {
    const std::string bytes = hex("05 0a");
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), (BlockHandle{5, 10}));
    EXPECT_EQ(cursor.pos(), 2u);
  }
  {
    // Two handles back to back, then a third that is cut after its offset.
    const std::string bytes = hex("ac 02 01 00 7f 07");
    SliceCursor cursor(bytes);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), (BlockHandle{300, 1}));
    EXPECT_EQ(BlockHandle::from_cursor(cursor), (BlockHandle{0, 127}));
    EXPECT_EQ(cursor.pos(), 5u);
    EXPECT_EQ(BlockHandle::from_cursor(cursor), std::nullopt);
    EXPECT_EQ(cursor.pos(), 6u);
  }
}

// ---------------------------------------------------------------------------
// Records and user keys

TEST(UserKey, TableKeysLoseTheirTrailerLogKeysNever) {
  const std::string eight(8, 'x');
  const std::string five = "abcde";
  const std::string twelve = "user" + std::string(8, '\x01');
  const std::string twenty(20, 'k');
  EXPECT_EQ(user_key_of(eight, FileType::Ldb), "");
  EXPECT_EQ(user_key_of(five, FileType::Ldb), five);
  EXPECT_EQ(user_key_of(twelve, FileType::Ldb), "user");
  EXPECT_EQ(user_key_of("", FileType::Ldb), "");
  EXPECT_EQ(user_key_of(twenty, FileType::Log), twenty);
  EXPECT_EQ(user_key_of(eight, FileType::Log), eight);
  EXPECT_EQ(user_key_of(five, FileType::Log), five);

  Record table;
  table.key = eight;
  table.file_type = FileType::Ldb;
  EXPECT_EQ(table.user_key(), "");
  table.key = five;
  EXPECT_EQ(table.user_key(), five);
  Record log;
  log.key = twenty;
  log.file_type = FileType::Log;
  EXPECT_EQ(log.user_key(), twenty);
  EXPECT_EQ(log.user_key().size(), 20u);
}

TEST(Enums, IntegerValuesAndNames) {
  EXPECT_EQ(static_cast<int>(KeyState::Deleted), 0);
  EXPECT_EQ(static_cast<int>(KeyState::Live), 1);
  EXPECT_EQ(static_cast<int>(KeyState::Unknown), 2);
  EXPECT_EQ(static_cast<int>(FileType::Ldb), 1);
  EXPECT_EQ(static_cast<int>(FileType::Log), 2);
  EXPECT_EQ(to_string(KeyState::Deleted), "Deleted");
  EXPECT_EQ(to_string(KeyState::Live), "Live");
  EXPECT_EQ(to_string(KeyState::Unknown), "Unknown");
  EXPECT_EQ(to_string(FileType::Ldb), "Ldb");
  EXPECT_EQ(to_string(FileType::Log), "Log");
}

// ---------------------------------------------------------------------------
// Mapped files

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

// Everything read() gives from the start of the file.
std::string all_bytes(const MappedFile& file) {
  ByteBuffer buffer;
  return std::string(file.read(0, file.size(), buffer));
}

TEST(MappedFile, EmptyFileHasNoMapping) {
  TempDir dir;
  write_file(dir.file("empty"), "");
  auto file = MappedFile::open(dir.file("empty"));
  ASSERT_TRUE(file.has_value()) << file.error().message();
  EXPECT_FALSE(file->has_mapping());
  EXPECT_EQ(file->size(), 0u);
  EXPECT_TRUE(all_bytes(*file).empty());
}

TEST(MappedFile, MissingFileIsOsError) {
  TempDir dir;
  const auto file = MappedFile::open(dir.file("missing"));
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().code, ENOENT);
  const std::string message = file.error().message();
  EXPECT_TRUE(message.ends_with(" (os error 2)")) << message;
  EXPECT_EQ(message, std::string(std::strerror(ENOENT)) + " (os error 2)");
}

TEST(MappedFile, DirectoryIsNotReadAsAFile) {
  TempDir dir;
  const auto file = MappedFile::open(dir.path());
  // Directories cannot be mapped; whatever the file system reports, nothing
  // may be handed out as file bytes.
  if (file.has_value()) {
    EXPECT_FALSE(file->has_mapping());
  } else {
    EXPECT_NE(file.error().code, 0);
  }
}

TEST(MappedFile, HoldsNoDescriptorAndOutlivesTheFile) {
  TempDir dir;
  const std::string content = std::string(100000, 'z') + "tail";
  std::vector<MappedFile> files;
  for (int i = 0; i < 8; ++i) write_file(dir.file(std::to_string(i).append(".bin")), content);
  const std::size_t before = open_descriptor_count();
  ASSERT_GT(before, 0u);
  for (int i = 0; i < 8; ++i) {
    auto file = MappedFile::open(dir.file(std::to_string(i).append(".bin")));
    ASSERT_TRUE(file.has_value());
    files.push_back(std::move(*file));
  }
  EXPECT_EQ(open_descriptor_count(), before);
  // Unlinking the files does not take the mapped bytes away.
  for (int i = 0; i < 8; ++i) ::unlink(dir.file(std::to_string(i).append(".bin")).c_str());
  for (const auto& file : files) {
    ASSERT_TRUE(file.has_mapping());
    EXPECT_EQ(file.size(), content.size());
    EXPECT_EQ(all_bytes(file), content);
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// A process that has used up its mappings (vm.max_map_count, reached by
// directories of tens of thousands of tables) must still get a file's bytes.
TEST(MappedFile, FileIsReadWhenNoMappingIsLeft) {
  TempDir dir;
  const std::string content = std::string(70000, 'q') + "end";
  write_file(dir.file("000001.ldb"), content);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Fill the address space with one-page mappings whose protections
    // alternate, so the kernel cannot merge them, until no more are allowed.
    std::vector<void*> pages;
    pages.reserve(1 << 20);
    for (int i = 0; i < (1 << 20); ++i) {
      void* page = ::mmap(nullptr, 4096, (i % 2) != 0 ? PROT_READ : PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (page == MAP_FAILED) break;
      pages.push_back(page);
    }
    void* probe = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe != MAP_FAILED) ::_exit(3);  // the limit was not reached: inconclusive
    const auto file = MappedFile::open(dir.file("000001.ldb"));
    ::_exit(file.has_value() && all_bytes(*file) == content ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "could not exhaust the mapping limit";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

// A FIFO put where a file was listed must not block the open (no writer
// would ever come), and is refused as not a regular file. The alarm turns a
// blocking open into a failure instead of a hang.
TEST(MappedFile, FifoIsRefusedWithoutBlocking) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("000001.log").c_str(), 0600), 0);
  ::alarm(30);
  const auto file = MappedFile::open(dir.file("000001.log"));
  ::alarm(0);
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().code, ENODEV);
}

// Truncating a mapped file makes its lost pages fault (SIGBUS): read() gives
// the pages that remain and nothing past them, and the process lives on.
TEST(MappedFile, FileShrinkingWhileMappedReadsShort) {
  TempDir dir;
  const std::string content(5 * 4096, 'x');
  write_file(dir.file("a"), content);
  const auto file = MappedFile::open(dir.file("a"));
  ASSERT_TRUE(file.has_value());
  ASSERT_FALSE(file->is_deferred());
  ASSERT_EQ(::truncate(dir.file("a").c_str(), 2 * 4096), 0);
  prepare_fault_guard();
  ByteBuffer buffer;
  EXPECT_EQ(file->read(4096, 3 * 4096, buffer), std::string(4096, 'x'));
  EXPECT_EQ(file->read(3 * 4096, 4096, buffer), "");
  ASSERT_EQ(::truncate(dir.file("a").c_str(), 0), 0);
  EXPECT_EQ(file->read(0, content.size(), buffer), "");
}

TEST(MappedFile, HolesOfASparseFileAreNoted) {
  TempDir dir;
  const std::uint64_t size = std::uint64_t{1} << 30;
  {
    std::FILE* f = std::fopen(dir.file("sparse").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("head", f);
    std::fseek(f, static_cast<long>(size - 4), SEEK_SET);
    std::fputs("tail", f);
    std::fclose(f);
  }
  const auto file = MappedFile::open(dir.file("sparse"));
  ASSERT_TRUE(file.has_value());
  if (!file->in_hole(size / 2, 4096)) GTEST_SKIP() << "the file system reports no holes";
  EXPECT_FALSE(file->in_hole(0, 4096));
  EXPECT_FALSE(file->in_hole(size - 4096, 4096));
  EXPECT_FALSE(file->in_hole(size / 2, size / 2));  // runs into the data at the end
  ByteBuffer buffer;
  EXPECT_EQ(file->read(size - 4, 4, buffer), "tail");
}

TEST(MappedFile, FromBytesCopiesAndMoves) {
  std::string source = "hello";
  MappedFile a = MappedFile::from_bytes(source);
  source[0] = 'j';
  EXPECT_TRUE(a.has_mapping());
  EXPECT_EQ(all_bytes(a), "hello");

  MappedFile b(std::move(a));
  EXPECT_FALSE(a.has_mapping());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(all_bytes(b), "hello");

  MappedFile c = MappedFile::from_bytes("other");
  c = std::move(b);
  EXPECT_EQ(all_bytes(c), "hello");
  EXPECT_FALSE(b.has_mapping());  // NOLINT(bugprone-use-after-move)

  EXPECT_FALSE(MappedFile::from_bytes("").has_mapping());
  EXPECT_FALSE(MappedFile().has_mapping());
}

TEST(MappedFile, MoveAssignMappedIntoMapped) {
  TempDir dir;
  write_file(dir.file("a"), "first");
  write_file(dir.file("b"), "second");
  auto a = MappedFile::open(dir.file("a"));
  auto b = MappedFile::open(dir.file("b"));
  ASSERT_TRUE(a && b);
  *a = std::move(*b);
  EXPECT_EQ(all_bytes(*a), "second");
  EXPECT_FALSE(b->has_mapping());
  MappedFile& alias = *a;
  *a = std::move(alias);  // self-move keeps the mapping
  EXPECT_EQ(all_bytes(*a), "second");
}

}  // namespace
}  // namespace vostrel
