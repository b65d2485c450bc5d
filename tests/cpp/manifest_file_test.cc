// The manifest reader: version edit decoding tag by tag, manifest names and
// files, the fold into file levels, manifests written by the real LevelDB
// library, and the choice of manifest when a directory is opened.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <leveldb/db.h>

#include "read/store.h"
#include "read/manifest_file.h"
#include "test_support.h"

namespace vostrel {
namespace {

std::optional<std::uint64_t> manifest_number(std::string_view name) {
  const auto named = parse_entry_name(name);
  if (!named || named->kind != EntryKind::Manifest) return std::nullopt;
  return named->number;
}

namespace fs = std::filesystem;
using testing::TempDir;
using testing::hex;
using testing::read_file;
using testing::varint;
using testing::write_file;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

}  // namespace

// Readable failure output.
void PrintTo(const NewFile& file, std::ostream* out) {
  *out << "{level " << file.level << ", number " << file.number << ", size " << file.file_size << ", smallest "
       << ::testing::PrintToString(file.smallest) << ", largest " << ::testing::PrintToString(file.largest) << "}";
}

void PrintTo(const VersionEdit& edit, std::ostream* out) {
  *out << "{comparator " << ::testing::PrintToString(edit.comparator) << ", log " << ::testing::PrintToString(edit.log_number)
       << ", next " << ::testing::PrintToString(edit.next_file_number) << ", last_seq "
       << ::testing::PrintToString(edit.last_sequence) << ", prev_log " << ::testing::PrintToString(edit.prev_log_number)
       << ", compact_pointers " << ::testing::PrintToString(edit.compact_pointers) << ", deleted "
       << ::testing::PrintToString(edit.deleted_files) << ", new " << ::testing::PrintToString(edit.new_files) << "}";
}

namespace {

VersionEdit decode(std::string_view hex_text) { return VersionEdit::from_buffer(hex(hex_text)); }

// Joins byte strings; tag bytes can be given as literals such as "\x07".
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

std::string blob(std::string_view bytes) { return cat(varint(bytes.size()), bytes); }

std::string new_file_field(std::uint64_t level, std::uint64_t number, std::uint64_t size,
                           std::string_view smallest, std::string_view largest) {
  return cat("\x07", varint(level), varint(number), varint(size), blob(smallest), blob(largest));
}

std::string deleted_file_field(std::uint64_t level, std::uint64_t number) {
  return cat("\x06", varint(level), varint(number));
}

VersionEdit with_new_files(std::vector<NewFile> files) {
  VersionEdit edit;
  edit.new_files = std::move(files);
  return edit;
}

// ---------------------------------------------------------------------------
// Version edit decoding

TEST(VersionEditDecode, PayloadsTooShortOrStartingWithAnUnknownTagGiveTheEmptyEdit) {
  for (const char* payload : {"", "02", "07", "08", "00 02 05", "0a 02 05", "ff 01 02 05",
                              // A five-byte tag whose low 32 bits say 1: compared whole, it is no tag.
                              "81 80 80 80 10 02 05"}) {
    EXPECT_EQ(decode(payload), VersionEdit{}) << payload;
  }
}

TEST(VersionEditDecode, ATagWrittenInMoreBytesThanNeededCountsByItsValue) {
  VersionEdit expected;
  expected.log_number = 5;
  EXPECT_EQ(decode("82 00 05"), expected);
  EXPECT_EQ(decode("82 80 80 80 00 05"), expected);
}

TEST(VersionEditDecode, NumberTagsSetTheirFieldAndATruncatedOneClearsIt) {
  using Field = std::optional<std::uint64_t> VersionEdit::*;
  struct Case {
    const char* tag;
    Field field;
  };
  for (const Case c : {Case{"02", &VersionEdit::log_number}, Case{"03", &VersionEdit::next_file_number},
                       Case{"04", &VersionEdit::last_sequence}, Case{"09", &VersionEdit::prev_log_number}}) {
    const std::string tag = c.tag;
    VersionEdit expected;
    expected.*c.field = 5;
    EXPECT_EQ(decode(tag + " 05"), expected) << tag;
    expected.*c.field = 300;
    EXPECT_EQ(decode(tag + " ac 02"), expected) << tag;
    // Set, then set again by a record cut off inside its varint: absent.
    EXPECT_EQ(decode(tag + " 05 " + tag + " 80"), VersionEdit{}) << tag;
    EXPECT_EQ(decode(tag + " 05 " + tag + " ff ff"), VersionEdit{}) << tag;
  }
  // The last occurrence wins.
  VersionEdit expected;
  expected.log_number = 7;
  EXPECT_EQ(decode("02 05 02 07"), expected);
}

TEST(VersionEditDecode, TenByteVarint64TakesOnlyBit63FromItsLastByte) {
  const std::string nine_empty = "80 80 80 80 80 80 80 80 80";
  const std::string nine_full = "ff ff ff ff ff ff ff ff ff";
  struct Case {
    std::string bytes;
    std::uint64_t value;
  };
  for (const Case& c : {Case{nine_empty + " 01", 1ull << 63}, Case{nine_empty + " 7f", 1ull << 63},
                        Case{nine_empty + " 7e", 0}, Case{nine_full + " 01", kMax64},
                        Case{nine_full + " 7f", kMax64}, Case{nine_full + " 00", kMax64 >> 1}}) {
    VersionEdit expected;
    expected.last_sequence = c.value;
    EXPECT_EQ(decode("04 " + c.bytes), expected) << c.bytes;
  }
  // The read stops after the tenth byte even when its high bit is set; the
  // next byte is a tag.
  VersionEdit expected;
  expected.last_sequence = 1ull << 63;
  expected.next_file_number = 7;
  EXPECT_EQ(decode("04 " + nine_empty + " ff 03 07"), expected);
}

TEST(VersionEditDecode, ComparatorName) {
  VersionEdit abc;
  abc.comparator = "abc";
  EXPECT_EQ(decode("01 03 61 62 63"), abc);

  VersionEdit empty_name;
  empty_name.comparator = "";
  empty_name.log_number = 5;
  EXPECT_EQ(decode("01 00 02 05"), empty_name);

  VersionEdit accented;
  accented.comparator = "\xc3\xa9";
  EXPECT_EQ(decode("01 02 c3 a9"), accented);

  // Bytes that are not UTF-8 clear a name set earlier in the record.
  for (const char* bad : {"02 ff fe", "02 c0 80", "03 ed a0 80", "04 f4 90 80 80", "01 80", "02 c3 28"}) {
    EXPECT_EQ(decode(std::string("01 03 61 62 63 01 ") + bad), VersionEdit{}) << bad;
  }

  // A name longer than the rest of the record keeps the earlier one. The
  // failed read consumes nothing, so decoding goes on at the length prefix,
  // here 09: a previous log number, 0x61.
  VersionEdit kept = abc;
  kept.prev_log_number = 0x61;
  EXPECT_EQ(decode("01 03 61 62 63 01 09 61"), kept);
  // A length prefix cut off inside its varint keeps it too.
  EXPECT_EQ(decode("01 03 61 62 63 01 80"), abc);
}

TEST(VersionEditDecode, CompactPointers) {
  VersionEdit one;
  one.compact_pointers = {{2, "key"}};
  EXPECT_EQ(decode("05 02 03 6b 65 79"), one);

  // Nothing readable: level 0, empty key, appended all the same.
  VersionEdit nothing;
  nothing.compact_pointers = {{0, ""}};
  EXPECT_EQ(decode("05 81"), nothing);

  // The key's length prefix (05) overruns; decoding resumes there as tag 5
  // with level 0x61 and another unreadable key.
  VersionEdit overrun;
  overrun.compact_pointers = {{3, ""}, {0x61, ""}};
  EXPECT_EQ(decode("05 03 05 61 62"), overrun);
}

TEST(VersionEditDecode, DeletedFilesKeepThirtyFiveBitLevels) {
  VersionEdit simple;
  simple.deleted_files = {{1, 5}};
  EXPECT_EQ(decode("06 01 05"), simple);

  VersionEdit cut;
  cut.deleted_files = {{3, 0}};
  EXPECT_EQ(decode("06 03"), cut);

  // The level read stops after five bytes (value 1); 05 is the file number.
  VersionEdit five_bytes;
  five_bytes.deleted_files = {{1, 5}};
  EXPECT_EQ(decode("06 81 80 80 80 80 05"), five_bytes);

  // All 35 bits of a five-byte level are kept, whatever the fifth byte's high bit.
  VersionEdit wide;
  wide.deleted_files = {{(1ull << 35) - 1, 7}};
  EXPECT_EQ(decode("06 ff ff ff ff 7f 07"), wide);
  EXPECT_EQ(decode("06 ff ff ff ff ff 07"), wide);
  VersionEdit high_bit;
  high_bit.deleted_files = {{1ull << 32, 7}};
  EXPECT_EQ(decode("06 80 80 80 80 10 07"), high_bit);
}

TEST(VersionEditDecode, NewFiles) {
  const std::string full = new_file_field(2, 10, 200, "abc", "xyz");
  EXPECT_EQ(VersionEdit::from_buffer(full), with_new_files({{2, 10, 200, "abc", "xyz"}}));

  // Cut after the number, or inside the size: the rest is 0 and empty.
  EXPECT_EQ(decode("07 02 0a"), with_new_files({{2, 10, 0, "", ""}}));
  EXPECT_EQ(decode("07 02 0a 80"), with_new_files({{2, 10, 0, "", ""}}));
  EXPECT_EQ(decode("07 02"), with_new_files({{2, 0, 0, "", ""}}));

  // A smallest key that overruns leaves both keys empty; decoding resumes at
  // its length prefix (05) as a compact pointer of level 0x61.
  VersionEdit smallest_overrun = with_new_files({{1, 2, 3, "", ""}});
  smallest_overrun.compact_pointers = {{0x61, ""}};
  EXPECT_EQ(decode("07 01 02 03 05 61"), smallest_overrun);

  VersionEdit largest_overrun = with_new_files({{1, 2, 3, "a", ""}});
  largest_overrun.compact_pointers = {{0x62, ""}};
  EXPECT_EQ(decode("07 01 02 03 01 61 05 62"), largest_overrun);

  // 35-bit level in a new file.
  EXPECT_EQ(decode("07 ff ff ff ff 7f 01 02 00 00"), with_new_files({{(1ull << 35) - 1, 1, 2, "", ""}}));
}

TEST(VersionEditDecode, TagEightEndsDecoding) {
  VersionEdit expected;
  expected.log_number = 5;
  EXPECT_EQ(decode("02 05 08 03 07"), expected);
  EXPECT_EQ(decode("02 05 08 " + std::string(100, 'x')), expected);
}

TEST(VersionEditDecode, ALoneTrailingByteIsNeverRead) {
  VersionEdit expected;
  expected.log_number = 5;
  // Read as a tag, 02 would clear the log number and 00, 08 or 0a would end
  // decoding; none of it happens.
  for (const char* tail : {"02", "03", "07", "08", "00", "0a", "ff"}) {
    EXPECT_EQ(decode(std::string("02 05 ") + tail), expected) << tail;
  }
  // Two bytes left are read.
  EXPECT_EQ(decode("02 05 02 80"), VersionEdit{});
  VersionEdit seven;
  seven.log_number = 7;
  EXPECT_EQ(decode("02 05 02 07"), seven);
}

TEST(VersionEditDecode, AllFieldsAndRepeatedTagsInRecordOrder) {
  const std::string internal_key("a\x01\x00\x00\x00\x00\x00\x00\x00", 9);
  const std::string payload =
      cat("\x01", blob("leveldb.BytewiseComparator"), "\x02", varint(12), "\x09", varint(0), "\x03", varint(14),
          "\x04", varint(987654), "\x05", varint(1), blob("ptr1"), deleted_file_field(0, 8),
          new_file_field(1, 13, 4096, internal_key, "z"), deleted_file_field(0, 9), "\x05", varint(1), blob("ptr2"),
          new_file_field(0, 11, 100, "k", "m"), new_file_field(1, 13, 4097, "b", "y"));
  VersionEdit expected;
  expected.comparator = "leveldb.BytewiseComparator";
  expected.log_number = 12;
  expected.prev_log_number = 0;
  expected.next_file_number = 14;
  expected.last_sequence = 987654;
  expected.compact_pointers = {{1, "ptr1"}, {1, "ptr2"}};
  expected.deleted_files = {{0, 8}, {0, 9}};
  expected.new_files = {{1, 13, 4096, internal_key, "z"},
                        {0, 11, 100, "k", "m"},
                        {1, 13, 4097, "b", "y"}};
  EXPECT_EQ(VersionEdit::from_buffer(payload), expected);
}

// ---------------------------------------------------------------------------
// Manifest names and files

TEST(ManifestName, InvalidNamesAreRejectedBeforeAnyFileIsTouched) {
  const TempDir dir;
  const std::vector<std::string> names = {
      "MANIFEST-", "MANIFEST-+", "MANIFEST--", "MANIFEST--1", "MANIFEST-00000g", "MANIFEST-1.tmp",
      "MANIFEST-000001.tmp", "manifest-000001", "Manifest-000001", "MANIFEST", "MANIFEST000001",
      "XMANIFEST-000001", "MANIFEST- 1", "MANIFEST-1 ", "MANIFEST-++1", "MANIFEST-+-1", "MANIFEST-0x1",
      "MANIFEST-1" + std::string(16, '0'), "MANIFEST-\xff", "MANIFEST-1\xc3\xa9"};
  for (const std::string& name : names) {
    EXPECT_FALSE(manifest_number(name).has_value()) << name;
    // The file exists and is a fine manifest, but the name decides first.
    write_file(dir.file(name), testing::frame_as_log({new_file_field(0, 5, 1, "a", "b")}));
    for (const std::string& path : {dir.file(name), dir.file("no-such-dir/" + name)}) {
      const auto manifest = ManifestFile::open(path);
      ASSERT_FALSE(manifest.has_value()) << path;
      EXPECT_EQ(manifest.error().kind, ManifestErrorKind::InvalidFilename) << path;
      EXPECT_EQ(manifest.error().message(), "invalid manifest filename");
    }
  }
  // No final component.
  for (const std::string& path : {std::string(""), dir.path() + "/", std::string("/")}) {
    const auto manifest = ManifestFile::open(path);
    ASSERT_FALSE(manifest.has_value()) << path;
    EXPECT_EQ(manifest.error().kind, ManifestErrorKind::InvalidFilename) << path;
  }
}

TEST(ManifestName, NumbersAreReadInBaseSixteen) {
  const TempDir dir;
  // The rule applies to the final component only.
  fs::create_directory(dir.file("MANIFEST-x.d"));
  struct Case {
    std::string name;
    std::uint64_t number;
  };
  for (const Case& c : {Case{"MANIFEST-000005", 5}, Case{"MANIFEST-000010", 16}, Case{"MANIFEST-0000ff", 255},
                        Case{"MANIFEST-0000FF", 255}, Case{"MANIFEST-+1f", 31}, Case{"MANIFEST-0", 0},
                        Case{"MANIFEST-" + std::string(19, '0') + "1", 1},
                        Case{"MANIFEST-" + std::string(16, 'f'), kMax64},
                        Case{"MANIFEST-" + std::string(16, 'F'), kMax64}}) {
    EXPECT_EQ(manifest_number(c.name), c.number) << c.name;
    const std::string path = dir.file("MANIFEST-x.d/" + c.name);
    write_file(path, "");
    const auto manifest = ManifestFile::open(path);
    ASSERT_TRUE(manifest.has_value()) << c.name << ": " << manifest.error().message();
    EXPECT_EQ(manifest->number(), c.number);
    EXPECT_EQ(manifest->path(), path);
  }
}

TEST(ManifestFileOpen, MissingFileOrDirectoryIsAnIoError) {
  const TempDir dir;
  const auto missing = ManifestFile::open(dir.file("MANIFEST-000001"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ManifestErrorKind::Io);
  EXPECT_TRUE(missing.error().message().starts_with("manifest I/O error: ")) << missing.error().message();
  EXPECT_TRUE(missing.error().message().ends_with(" (os error 2)")) << missing.error().message();

  // A directory opens read-only but cannot be mapped.
  fs::create_directory(dir.file("MANIFEST-000002"));
  const auto directory = ManifestFile::open(dir.file("MANIFEST-000002"));
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().kind, ManifestErrorKind::Io);
}

TEST(ManifestFileOpen, EmptyAndAllZeroFilesOpenWithNoEdits) {
  const TempDir dir;
  write_file(dir.file("MANIFEST-000001"), "");
  const auto empty = ManifestFile::open(dir.file("MANIFEST-000001"));
  ASSERT_TRUE(empty.has_value());
  EXPECT_FALSE(empty->has_mapping());
  EXPECT_EQ(empty->length(), 0u);
  EXPECT_TRUE(empty->version_edits().empty());
  EXPECT_TRUE(empty->file_levels().empty());

  // Preallocated space: every seven zero bytes frame as an empty zero-type record.
  write_file(dir.file("MANIFEST-000002"), std::string(3 * 32768 + 100, '\0'));
  const auto zeros = ManifestFile::open(dir.file("MANIFEST-000002"));
  ASSERT_TRUE(zeros.has_value());
  EXPECT_TRUE(zeros->has_mapping());
  EXPECT_EQ(zeros->length(), 3u * 32768 + 100);
  EXPECT_TRUE(zeros->version_edits().empty());
  EXPECT_TRUE(zeros->file_levels().empty());
}

TEST(ManifestFileOpen, AnEditSplitAcrossBlocksIsJoined) {
  const TempDir dir;
  const std::string edit = cat("\x02", varint(9), new_file_field(1, 77, 1234, std::string(16, 'a'), std::string(16, 'z')));
  const std::string first_part = edit.substr(0, 10);
  const std::string last_part = edit.substr(10);
  // A full record of a long comparator name, then the first fragment ending
  // at position 32000; the rest of block 0 is zeros, and the last fragment
  // opens block 1.
  const std::size_t name_length = 32000 - 7 - 7 - first_part.size() - 1 - 3;
  const std::string filler = cat("\x01", blob(std::string(name_length, 'c')));
  ASSERT_EQ(varint(name_length).size(), 3u);
  std::string bytes = testing::log_physical_record(1, filler) + testing::log_physical_record(2, first_part);
  ASSERT_EQ(bytes.size(), 32000u);
  bytes.resize(32768, '\0');
  bytes += testing::log_physical_record(4, last_part);
  write_file(dir.file("MANIFEST-000001"), bytes);

  const auto manifest = ManifestFile::open(dir.file("MANIFEST-000001"));
  ASSERT_TRUE(manifest.has_value());
  const auto edits = manifest->version_edits();
  ASSERT_EQ(edits.size(), 2u);
  EXPECT_EQ(edits[0].comparator, std::string(name_length, 'c'));
  EXPECT_EQ(edits[1], VersionEdit::from_buffer(edit));
  EXPECT_EQ(edits[1].log_number, 9u);
  EXPECT_EQ(manifest->file_levels(), (std::unordered_map<std::uint64_t, std::uint64_t>{{77, 1}}));

  // An edit over three blocks, framed as LevelDB's writer frames it (first,
  // middle, last), is one edit too.
  const std::string long_edit = cat("\x01", blob(std::string(70000, 'n')), new_file_field(3, 88, 1, "a", "b"));
  write_file(dir.file("MANIFEST-000002"), testing::frame_as_log({edit, long_edit, edit}));
  const auto framed = ManifestFile::open(dir.file("MANIFEST-000002"));
  ASSERT_TRUE(framed.has_value());
  const auto framed_edits = framed->version_edits();
  ASSERT_EQ(framed_edits.size(), 3u);
  EXPECT_EQ(framed_edits[1], VersionEdit::from_buffer(long_edit));
  EXPECT_EQ(framed->file_levels(), (std::unordered_map<std::uint64_t, std::uint64_t>{{77, 1}, {88, 3}}));
}

TEST(ManifestFileOpen, LaterEditsReplaceLevelsAndDeletionsRemoveNothing) {
  const std::vector<std::string> payloads = {
      new_file_field(0, 5, 100, "a", "b") + new_file_field(1, 6, 100, "c", "d"),
      new_file_field(2, 5, 100, "a", "b"),
      deleted_file_field(2, 5) + deleted_file_field(1, 6),
      "\x07",  // a one-byte record: one empty edit
      "",      // an empty record: one empty edit
  };
  const std::string bytes = testing::frame_as_log(payloads);
  const auto manifest = ManifestFile::from_mapped("dir/MANIFEST-000003", MappedFile::from_bytes(bytes));
  ASSERT_TRUE(manifest.has_value());
  EXPECT_EQ(manifest->number(), 3u);
  const auto edits = manifest->version_edits();
  ASSERT_EQ(edits.size(), payloads.size());
  EXPECT_EQ(edits[3], VersionEdit{});
  EXPECT_EQ(edits[4], VersionEdit{});
  EXPECT_EQ(manifest->file_levels(), (std::unordered_map<std::uint64_t, std::uint64_t>{{5, 2}, {6, 1}}));

  // The same bytes from disk give the same.
  const TempDir dir;
  write_file(dir.file("MANIFEST-000003"), bytes);
  const auto from_disk = ManifestFile::open(dir.file("MANIFEST-000003"));
  ASSERT_TRUE(from_disk.has_value());
  EXPECT_EQ(from_disk->version_edits(), edits);
  EXPECT_EQ(from_disk->file_levels(), manifest->file_levels());

  const auto misnamed = ManifestFile::from_mapped("MANIFEST-x", MappedFile::from_bytes(bytes));
  ASSERT_FALSE(misnamed.has_value());
  EXPECT_EQ(misnamed.error().kind, ManifestErrorKind::InvalidFilename);
}

// ---------------------------------------------------------------------------
// Manifests written by the real library

std::string current_manifest_name(const std::string& dir) {
  std::string name = read_file(dir + "/CURRENT");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

// Table number -> level, as LevelDB itself reports its live tables.
std::map<std::uint64_t, std::uint64_t> leveldb_table_levels(const std::string& dir) {
  leveldb::DB* raw = nullptr;
  const leveldb::Status status = leveldb::DB::Open(leveldb::Options{}, dir, &raw);
  if (!status.ok()) throw std::runtime_error(status.ToString());
  const std::unique_ptr<leveldb::DB> db(raw);
  std::string text;
  db->GetProperty("leveldb.sstables", &text);
  std::map<std::uint64_t, std::uint64_t> levels;
  std::istringstream lines(text);
  std::string line;
  std::uint64_t level = 0;
  while (std::getline(lines, line)) {
    if (line.starts_with("--- level ")) {
      level = std::stoull(line.substr(10));
    } else if (const auto colon = line.find(':'); colon != std::string::npos && !line.empty() && line[0] == ' ') {
      levels[std::stoull(line.substr(1, colon - 1))] = level;
    }
  }
  return levels;
}

TEST(RealManifest, NewFilesCoverTheDirectorysTablesAtLevelDbsOwnLevels) {
  const TempDir tmp;
  const std::string dir = tmp.file("db");
  testing::build_real_database(dir);

  std::map<std::uint64_t, std::uintmax_t> tables;  // number -> size on disk
  for (const std::string& name : testing::list_directory(dir)) {
    if (name.ends_with(".ldb")) tables[std::stoull(name.substr(0, 6))] = fs::file_size(dir + "/" + name);
  }
  ASSERT_GE(tables.size(), 3u);

  const auto manifest = ManifestFile::open(dir + "/" + current_manifest_name(dir));
  ASSERT_TRUE(manifest.has_value()) << manifest.error().message();
  const auto edits = manifest->version_edits();
  ASSERT_FALSE(edits.empty());
  EXPECT_EQ(edits.front().comparator, "leveldb.BytewiseComparator");

  std::map<std::uint64_t, NewFile> added;
  std::set<std::uint64_t> deleted;
  std::uint64_t next_file_number = 0;
  for (const VersionEdit& edit : edits) {
    for (const NewFile& file : edit.new_files) added[file.number] = file;
    for (const auto& [level, number] : edit.deleted_files) deleted.insert(number);
    if (edit.next_file_number) next_file_number = std::max(next_file_number, *edit.next_file_number);
  }
  for (const auto& [number, size] : tables) {
    ASSERT_TRUE(added.contains(number)) << "table " << number << " missing from the manifest";
    EXPECT_EQ(added[number].file_size, size) << number;
    EXPECT_LT(number, next_file_number);
    // Bounds are internal keys: a user key of this database and an 8-byte trailer.
    EXPECT_TRUE(added[number].smallest.starts_with("s")) << number;
    EXPECT_GT(added[number].largest.size(), 8u);
  }
  // Tables merged away by the compaction: added earlier, then deleted, and no
  // longer in the directory.
  std::size_t gone = 0;
  for (const auto& [number, file] : added) {
    if (!tables.contains(number)) {
      ++gone;
      EXPECT_TRUE(deleted.contains(number)) << number;
    }
  }
  EXPECT_GE(gone, 1u);
  EXPECT_EQ(manifest->file_levels().size(), added.size());

  // LevelDB's own view of the live tables and their levels, from a copy (the
  // library rewrites the directory when it opens it).
  const std::string copy = tmp.file("copy");
  fs::copy(dir, copy);
  for (const auto& [number, level] : leveldb_table_levels(copy)) {
    if (!tables.contains(number)) continue;  // written by the reopening itself
    EXPECT_EQ(manifest->file_levels().at(number), level) << "table " << number;
  }
}

TEST(RealManifest, RecordsAreTheSameWithAValidADamagedOrNoManifest) {
  const TempDir tmp;
  const std::string dir = tmp.file("db");
  testing::build_real_database(dir);
  const std::string manifest_path = dir + "/" + current_manifest_name(dir);
  const std::string original = read_file(manifest_path);

  const auto valid = RawLevelDb::open(dir);
  ASSERT_TRUE(valid.has_value());
  ASSERT_TRUE(valid->manifest().has_value());
  EXPECT_EQ(valid->manifest()->path(), manifest_path);
  EXPECT_FALSE(valid->manifest()->file_levels().empty());
  const auto records = testing::store_records(*valid, false);
  ASSERT_FALSE(records.empty());

  // Damaged: every 13th byte flipped. Still opened and kept.
  std::string damaged = original;
  for (std::size_t i = 3; i < damaged.size(); i += 13) damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  write_file(manifest_path, damaged);
  const auto with_damaged = RawLevelDb::open(dir);
  ASSERT_TRUE(with_damaged.has_value());
  EXPECT_TRUE(with_damaged->manifest().has_value());
  EXPECT_EQ(testing::store_records(*with_damaged, false), records);

  // Truncated to nothing: opened, empty.
  write_file(manifest_path, "");
  const auto with_empty = RawLevelDb::open(dir);
  ASSERT_TRUE(with_empty.has_value());
  ASSERT_TRUE(with_empty->manifest().has_value());
  EXPECT_TRUE(with_empty->manifest()->file_levels().empty());
  EXPECT_EQ(testing::store_records(*with_empty, false), records);

  fs::remove(manifest_path);
  const auto without = RawLevelDb::open(dir);
  ASSERT_TRUE(without.has_value());
  EXPECT_FALSE(without->manifest().has_value());
  EXPECT_EQ(testing::store_records(*without, false), records);
  EXPECT_EQ(testing::store_records(*without, true), testing::store_records(*valid, true));
}

// ---------------------------------------------------------------------------
// Which manifest a directory open picks

// A manifest whose single edit adds table `marker`, so the one opened can be told apart.
std::string marked_manifest(std::uint64_t marker) {
  return testing::frame_as_log({new_file_field(0, marker, 1, "a", "b")});
}

std::optional<std::string> chosen_name(const std::string& dir) {
  const auto db = RawLevelDb::open(dir);
  if (!db) throw std::runtime_error(db.error().message());
  if (!db->manifest()) return std::nullopt;
  return std::string(fs::path(db->manifest()->path()).filename());
}

TEST(ManifestSelectionOnOpen, TheHighestNumberReadInBaseSixteenWins) {
  {
    const TempDir dir;
    write_file(dir.file("MANIFEST-000009"), marked_manifest(9));
    write_file(dir.file("MANIFEST-00000F"), marked_manifest(15));
    const auto db = RawLevelDb::open(dir.path());
    ASSERT_TRUE(db.has_value());
    ASSERT_TRUE(db->manifest().has_value());
    EXPECT_EQ(db->manifest()->path(), dir.file("MANIFEST-00000F"));
    EXPECT_EQ(db->manifest()->number(), 15u);
    EXPECT_TRUE(db->manifest()->file_levels().contains(15));
  }
  {
    const TempDir dir;
    write_file(dir.file("MANIFEST-000010"), marked_manifest(16));
    write_file(dir.file("MANIFEST-000002"), marked_manifest(2));
    write_file(dir.file("MANIFEST-+7"), marked_manifest(7));
    EXPECT_EQ(chosen_name(dir.path()), "MANIFEST-000010");
  }
  {
    const TempDir dir;
    write_file(dir.file("MANIFEST-+7"), marked_manifest(7));
    write_file(dir.file("MANIFEST-000006"), marked_manifest(6));
    EXPECT_EQ(chosen_name(dir.path()), "MANIFEST-+7");
  }
}

TEST(ManifestSelectionOnOpen, NamesOutsideTheRuleAreNoCandidates) {
  const TempDir dir;
  for (const std::string name : {"MANIFEST-", "MANIFEST-+", "MANIFEST--", "MANIFEST--1", "MANIFEST-000001.tmp",
                                 "MANIFEST-00000g", "manifest-000009", "MANIFEST-10000000000000000"}) {
    write_file(dir.file(name), marked_manifest(1));
  }
  EXPECT_EQ(chosen_name(dir.path()), std::nullopt);
  write_file(dir.file("MANIFEST-000003"), marked_manifest(3));
  EXPECT_EQ(chosen_name(dir.path()), "MANIFEST-000003");
}

TEST(ManifestSelectionOnOpen, EqualNumbersKeepTheFirstListed) {
  const TempDir dir;
  for (const std::string name : {"MANIFEST-7", "MANIFEST-000007", "MANIFEST-+07", "MANIFEST-00007"}) {
    write_file(dir.file(name), marked_manifest(7));
  }
  const auto listed = testing::list_directory(dir.path());
  EXPECT_EQ(chosen_name(dir.path()), listed.front());
}

TEST(ManifestSelectionOnOpen, DirectoriesAndDanglingLinksAreNoCandidatesLinksToFilesAre) {
  const TempDir outside;
  write_file(outside.file("target"), marked_manifest(32));
  const TempDir dir;
  write_file(dir.file("MANIFEST-000002"), marked_manifest(2));
  fs::create_directory(dir.file("MANIFEST-000099"));
  EXPECT_EQ(chosen_name(dir.path()), "MANIFEST-000002");

  fs::create_symlink(outside.file("target"), dir.file("MANIFEST-000020"));
  fs::create_symlink(dir.file("nowhere"), dir.file("MANIFEST-000030"));
  const auto db = RawLevelDb::open(dir.path());
  ASSERT_TRUE(db.has_value());
  ASSERT_TRUE(db->manifest().has_value());
  EXPECT_EQ(db->manifest()->path(), dir.file("MANIFEST-000020"));
  EXPECT_EQ(db->manifest()->number(), 0x20u);
  EXPECT_TRUE(db->manifest()->file_levels().contains(32));
}

TEST(ManifestSelectionOnOpen, AHighestManifestThatCannotBeOpenedMeansNoManifest) {
  // The choice alone: a chosen path that has vanished by the time it is opened.
  const TempDir dir;
  write_file(dir.file("MANIFEST-000002"), marked_manifest(2));
  for (const bool higher_first : {false, true}) {
    ManifestSelection selection;
    const auto offer = [&](const std::string& name) {
      if (const auto number = manifest_number(name)) selection.offer(*number, dir.file(name));
    };
    if (higher_first) offer("MANIFEST-000010");
    offer("MANIFEST-000002");
    offer("MANIFEST-00001");
    offer("MANIFEST-zz");
    if (!higher_first) offer("MANIFEST-000010");
    EXPECT_EQ(selection.chosen_path(), dir.file("MANIFEST-000010"));
    EXPECT_FALSE(selection.open_chosen().has_value());
  }
}

TEST(ManifestSelectionOnOpen, AnUnreadableHighestManifestIsNotReplacedByALowerOne) {
  const TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  write_file(dir.file("MANIFEST-000002"), marked_manifest(2));
  write_file(dir.file("MANIFEST-000010"), marked_manifest(16));
  write_file(dir.file("000005.log"), testing::real_log_bytes({{"k", "v"}}));
  ASSERT_EQ(::chmod(dir.file("MANIFEST-000010").c_str(), 0), 0);

  const auto outcome = testing::run_unprivileged([&] {
    const auto db = RawLevelDb::open(dir.path());
    if (!db) return "error: " + db.error().message();
    return std::string(db->manifest() ? db->manifest()->path() : "none") + " files:" +
           std::to_string(db->data_files().size());
  });
  if (!outcome) GTEST_SKIP() << "cannot drop root privileges here, and root reads any file";
  EXPECT_EQ(*outcome, "none files:1");
}

TEST(ManifestSelectionOnOpen, AHighestManifestThatCannotBeMappedIsNotReplacedByALowerOne) {
  // A sysfs attribute is a regular file of nonzero size that refuses mmap.
  const std::string unmappable = "/sys/kernel/mm/transparent_hugepage/enabled";
  struct stat status {};
  if (::stat(unmappable.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    GTEST_SKIP() << unmappable << " is not available";
  }
  const TempDir dir;
  write_file(dir.file("MANIFEST-000002"), marked_manifest(2));
  fs::create_symlink(unmappable, dir.file("MANIFEST-000010"));
  if (ManifestFile::open(dir.file("MANIFEST-000010")).has_value()) {
    GTEST_SKIP() << unmappable << " can be mapped here";
  }
  EXPECT_EQ(chosen_name(dir.path()), std::nullopt);
}

}  // namespace
}  // namespace vostrel
