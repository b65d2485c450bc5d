// Table reader tests over hand-built table files: footer and index handling,
// block bounds, Snappy blocks, prefix-compressed entries and the records that
// come out of them. Tables written by the real library are read in
// real_table_test.cc; these cover the malformed shapes that a writer never makes.

#include <gtest/gtest.h>
#include <snappy-c.h>
#include <zlib.h>
#include <zstd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "read/table_file.h"
#include "format/compression.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define VOSTREL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOSTREL_UNDER_ASAN 1
#endif
#endif

namespace vostrel {
namespace {

using testing::fixed32;
using testing::hex;
using testing::TempDir;
using testing::varint;
using testing::write_file;

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// --- Building tables by hand -------------------------------------------------

// One block entry exactly as stored: three varint32 lengths, the key delta
// (the bytes after the `shared` prefix of the previous key) and the value.
std::string entry(std::uint64_t shared, std::string_view delta, std::string_view value) {
  return varint(shared) + varint(delta.size()) + varint(value.size()) + std::string(delta) +
         std::string(value);
}

// Block contents as a writer lays them out: prefix-compressed entries with a
// restart point (shared = 0) every `interval` entries, then the restart array
// and its length.
std::string block_contents(const KeyValues& entries, std::size_t interval = 16) {
  std::string out;
  std::vector<std::uint32_t> restarts;
  std::string previous;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [key, value] = entries[i];
    std::size_t shared = 0;
    if (i % interval == 0) {
      restarts.push_back(static_cast<std::uint32_t>(out.size()));
    } else {
      while (shared < previous.size() && shared < key.size() && previous[shared] == key[shared]) {
        ++shared;
      }
    }
    out += entry(shared, std::string_view(key).substr(shared), value);
    previous = key;
  }
  if (restarts.empty()) restarts.push_back(0);
  for (const auto r : restarts) out += fixed32(r);
  out += fixed32(static_cast<std::uint32_t>(restarts.size()));
  return out;
}

// Raw entries followed by a restart array of one point at `first_restart`.
std::string with_restart(std::string entries, std::uint32_t first_restart = 0) {
  return entries + fixed32(first_restart) + fixed32(1);
}

std::string snappy_compressed(std::string_view raw) {
  std::size_t length = ::snappy_max_compressed_length(raw.size());
  std::string out(length, '\0');
  EXPECT_EQ(::snappy_compress(raw.data(), raw.size(), out.data(), &length), SNAPPY_OK);
  out.resize(length);
  return out;
}

std::string handle_bytes(BlockHandle handle) { return varint(handle.offset) + varint(handle.size); }

// The 48-byte footer: both handles, zero filler up to byte 40, the magic.
std::string footer(BlockHandle metaindex, BlockHandle index) {
  std::string out = handle_bytes(metaindex) + handle_bytes(index);
  out.resize(40, '\0');
  return out + hex("57 fb 80 8b 24 75 47 db");
}

// A table file assembled front to back: blocks, then metaindex, index, footer.
class TableBytes {
 public:
  // Appends stored bytes and their 5-byte trailer. The checksum is
  // deliberately wrong: the reader never verifies it.
  BlockHandle add_stored(std::string_view stored, std::uint8_t type) {
    const BlockHandle handle{bytes_.size(), stored.size()};
    bytes_ += stored;
    bytes_.push_back(static_cast<char>(type));
    bytes_ += hex("de ad be ef");
    return handle;
  }
  BlockHandle add_raw(std::string_view contents) { return add_stored(contents, 0); }
  BlockHandle add_compressed(std::string_view contents, std::uint8_t type = 1) {
    return add_stored(snappy_compressed(contents), type);
  }

  // Ends the file with an (empty) metaindex block, the given index block
  // contents stored under `index_type`, and the footer.
  std::string finish_with_index(std::string_view index_contents, std::uint8_t index_type = 0) {
    const BlockHandle metaindex = add_raw(block_contents({}));
    const BlockHandle index = index_type == 0 ? add_raw(index_contents)
                                              : add_compressed(index_contents, index_type);
    return bytes_ + footer(metaindex, index);
  }

  // Ends the file with an index naming `blocks` in order.
  std::string finish(const std::vector<BlockHandle>& blocks, std::uint8_t index_type = 0) {
    return finish_with_index(index_contents(blocks), index_type);
  }

  static std::string index_contents(const std::vector<BlockHandle>& blocks) {
    KeyValues entries;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      entries.emplace_back("sep" + std::to_string(i), handle_bytes(blocks[i]));
    }
    return block_contents(entries);
  }

  // The blocks so far, for tests that write their own footer.
  [[nodiscard]] const std::string& bytes() const noexcept { return bytes_; }
  [[nodiscard]] std::uint64_t size() const noexcept { return bytes_.size(); }

 private:
  std::string bytes_;
};

// A 9-byte-or-longer internal key: user key, then (seq << 8 | type) little-endian.
std::string internal_key(std::string_view user_key, std::uint64_t seq, std::uint8_t type = 1) {
  return std::string(user_key) + testing::fixed64(seq << 8 | type);
}

std::vector<std::string> keys_of(const std::vector<BlockEntry>& entries) {
  std::vector<std::string> keys;
  for (const auto& e : entries) keys.push_back(e.key);
  return keys;
}

std::vector<std::string> keys_of(const std::vector<Record>& records) {
  std::vector<std::string> keys;
  for (const auto& r : records) keys.push_back(r.key);
  return keys;
}

class TableFileTest : public ::testing::Test {
 protected:
  std::string write(std::string_view bytes, std::string_view name = "000005.ldb") {
    const std::string path = dir_.file(name);
    write_file(path, bytes);
    return path;
  }

  TableFile open_ok(std::string_view bytes, std::string_view name = "000005.ldb") {
    auto table = TableFile::open(write(bytes, name));
    if (!table) ADD_FAILURE() << "open failed: " << table.error().message();
    return std::move(table).value();
  }

  TableError open_error(std::string_view bytes, std::string_view name = "000005.ldb") {
    auto table = TableFile::open(write(bytes, name));
    if (table) {
      ADD_FAILURE() << "open succeeded";
      return TableError{TableErrorKind::Io, {}};
    }
    return table.error();
  }

  // Reads `stored` back as the only data block of a table, stored under `type`.
  std::expected<Block, TableError> read_single(std::string_view stored, std::uint8_t type = 0) {
    TableBytes t;
    const BlockHandle handle = t.add_stored(stored, type);
    table_ = std::make_unique<TableFile>(open_ok(t.finish({handle})));
    return table_->read_block(handle);
  }

  // The entries of raw block contents, read through a table.
  std::vector<BlockEntry> entries_of(std::string_view contents) {
    const auto block = read_single(contents);
    if (!block) {
      ADD_FAILURE() << block.error().message();
      return {};
    }
    EXPECT_EQ(block->data, contents);
    return block->entries();
  }

  TempDir dir_;
  std::unique_ptr<TableFile> table_;
};

constexpr std::string_view kSnappyPrefix = "Snappy decompression error: Decompression error: ";

// --- Opening -----------------------------------------------------------------

TEST_F(TableFileTest, FilesShorterThanAFooterOpenEmpty) {
  // Even the tail of a genuine table is not looked at when it is under 48 bytes.
  TableBytes t;
  const std::string table = t.finish({t.add_raw(block_contents({{"k", "v"}}))});
  for (const std::string& bytes : {std::string(), table.substr(table.size() - 47)}) {
    SCOPED_TRACE(bytes.size());
    const TableFile file = open_ok(bytes);
    EXPECT_FALSE(file.has_mapping());
    EXPECT_TRUE(file.index().empty());
    EXPECT_TRUE(testing::file_records(file).empty());
    const auto block = file.read_block({0, 0});
    ASSERT_FALSE(block);
    EXPECT_EQ(block.error().kind, TableErrorKind::FileTooSmall);
    EXPECT_EQ(block.error().message(), "File too small to contain a valid footer");
  }
}

TEST_F(TableFileTest, FortyEightZeroBytesFailTheMagicCheck) {
  const TableError error = open_error(std::string(48, '\0'));
  EXPECT_EQ(error.kind, TableErrorKind::InvalidMagic);
  EXPECT_EQ(error.message(), "Invalid magic number in " + dir_.file("000005.ldb"));
}

TEST_F(TableFileTest, EveryMagicByteIsChecked) {
  TableBytes t;
  const std::string good = t.finish({t.add_raw(block_contents({{"k", "v"}}))});
  for (std::size_t i = good.size() - 8; i < good.size(); ++i) {
    SCOPED_TRACE(i);
    std::string bad = good;
    bad[i] ^= 0x01;
    const TableError error = open_error(bad);
    EXPECT_EQ(error.kind, TableErrorKind::InvalidMagic);
    EXPECT_EQ(error.message(), "Invalid magic number in " + dir_.file("000005.ldb"));
  }
}

TEST_F(TableFileTest, MissingFileIsAnIoError) {
  const auto table = TableFile::open(dir_.file("000001.ldb"));
  ASSERT_FALSE(table);
  EXPECT_EQ(table.error().kind, TableErrorKind::Io);
  EXPECT_TRUE(table.error().message().starts_with("IO error: ")) << table.error().message();
  EXPECT_TRUE(table.error().message().ends_with("(os error 2)")) << table.error().message();
}

TEST_F(TableFileTest, IndexHandlePastTheEndFailsOpen) {
  struct Case {
    BlockHandle index;
    std::string offset_text;
  };
  TableBytes t;
  t.add_raw(block_contents({{"k", "v"}}));
  const std::uint64_t length = t.size() + 48;
  const std::vector<Case> cases = {
      {{3, 1000}, "3"},
      {{length - 5, 1}, std::to_string(length - 5)},  // the trailer would pass the end by one byte
      {{length, 0}, std::to_string(length)},
      {{UINT64_MAX, UINT64_MAX}, "18446744073709551615"},  // sums must not wrap
      {{1, UINT64_MAX - 3}, "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset_text);
    const TableError error = open_error(t.bytes() + footer({0, 0}, c.index));
    EXPECT_EQ(error.kind, TableErrorKind::InvalidBlock);
    EXPECT_EQ(error.message(), "Invalid block: Block extends past end of file at offset " +
                                   c.offset_text + " in " + dir_.file("000005.ldb"));
  }
}

TEST_F(TableFileTest, MetaindexHandleIsNeverFollowed) {
  TableBytes t;
  const BlockHandle data = t.add_raw(block_contents({{internal_key("k", 1), "v"}}));
  const BlockHandle index = t.add_raw(TableBytes::index_contents({data}));
  const TableFile file = open_ok(t.bytes() + footer({1'000'000, 1'000'000}, index));
  ASSERT_EQ(file.index().size(), 1u);
  EXPECT_EQ(testing::file_records(file).size(), 1u);
}

TEST_F(TableFileTest, UndecodableIndexEntriesAreDropped) {
  TableBytes t;
  const BlockHandle a = t.add_raw(block_contents({{internal_key("a", 1), "1"}}));
  const BlockHandle b = t.add_raw(block_contents({{internal_key("b", 2), "2"}}));
  // An empty value and a lone offset byte hold no handle; the trailing FF of
  // the last value is ignored after a complete handle.
  const TableFile file = open_ok(t.finish_with_index(block_contents({
      {"ka", handle_bytes(a)},
      {"kb", ""},
      {"kc", hex("05")},
      {"kd", handle_bytes(b) + hex("ff")},
  })));
  const std::vector<std::pair<std::string, BlockHandle>> expected = {{"ka", a}, {"kd", b}};
  EXPECT_EQ(file.index(), expected);
  EXPECT_EQ(keys_of(testing::file_records(file)),
            (std::vector<std::string>{internal_key("a", 1), internal_key("b", 2)}));
}

TEST_F(TableFileTest, CompressedIndexBlockIsRead) {
  TableBytes t;
  const BlockHandle a = t.add_raw(block_contents({{internal_key("a", 1), "1"}}));
  const BlockHandle b = t.add_compressed(block_contents({{internal_key("b", 2), "2"}}));
  const TableFile file = open_ok(t.finish({a, b}, /*index_type=*/1));
  ASSERT_EQ(file.index().size(), 2u);
  EXPECT_EQ(file.index()[0].second, a);
  EXPECT_EQ(file.index()[1].second, b);
  EXPECT_EQ(testing::file_records(file).size(), 2u);
}

TEST_F(TableFileTest, IndexBlockWithoutARestartArrayGivesAnEmptyIndex) {
  TableBytes data_only;
  const BlockHandle data = data_only.add_raw(block_contents({{internal_key("a", 1), "1"}}));
  const std::string index = TableBytes::index_contents({data});
  std::string too_many_restarts = index;
  too_many_restarts.replace(too_many_restarts.size() - 4, 4, fixed32(1000));
  for (const std::string& contents : {std::string(), std::string("ab"), too_many_restarts}) {
    SCOPED_TRACE(contents.size());
    TableBytes t;
    t.add_raw(block_contents({{internal_key("a", 1), "1"}}));
    const TableFile file = open_ok(t.finish_with_index(contents));
    EXPECT_TRUE(file.index().empty());
    EXPECT_TRUE(testing::file_records(file).empty());
  }
}

TEST_F(TableFileTest, IndexBlockThatFailsToDecompressFailsOpen) {
  TableBytes t;
  t.add_raw(block_contents({{internal_key("a", 1), "1"}}));
  const BlockHandle metaindex = t.add_raw(block_contents({}));
  const BlockHandle index = t.add_stored("not snappy at all", 1);
  const TableError error = open_error(t.bytes() + footer(metaindex, index));
  EXPECT_EQ(error.kind, TableErrorKind::Snappy);
  EXPECT_TRUE(error.message().starts_with(kSnappyPrefix)) << error.message();
}

TEST_F(TableFileTest, FileNumberComesFromTheStemReadAsHex) {
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"000010.ldb", 16}, {"000009.ldb", 9}, {"+1f.ldb", 31}, {"x1.ldb", 0},
      {"-5.ldb", 0},      {"+.ldb", 0},      {"10000000000000000.ldb", kBeyondFileNumbers},
  };
  for (const auto& [name, number] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(open_ok("", name).number(), number);
  }
}

// --- Reading blocks ------------------------------------------------------------

TEST_F(TableFileTest, BlockEndingFiveBytesBeforeTheEndIsInBounds) {
  // The only block whose trailer ends exactly at the end of the file lies in
  // the footer, and its type byte is magic byte 3 (0x8b): Snappy. So the
  // footer filler carries a Snappy stream that ends just before that byte: a
  // 21-byte literal made of 18 filler bytes and the first three magic bytes.
  TableBytes t;
  std::string bytes = t.finish({t.add_raw(block_contents({{internal_key("k", 1), "v"}}))});
  const std::size_t footer_at = bytes.size() - 48;
  std::string stream = hex("15 50") + std::string(18, 'f');
  bytes.replace(footer_at + 20, stream.size(), stream);
  const TableFile file = open_ok(bytes);
  const BlockHandle last{footer_at + 20, 23};
  ASSERT_EQ(last.offset + last.size + 5, bytes.size());

  const auto block = file.read_block(last);
  ASSERT_TRUE(block) << block.error().message();
  EXPECT_TRUE(block->was_compressed);
  EXPECT_EQ(block->offset, last.offset);
  EXPECT_EQ(block->data, bytes.substr(footer_at + 22, 21));
  EXPECT_TRUE(block->entries().empty());  // its "restart count" is 0x80fb5766

  for (const BlockHandle past : {BlockHandle{last.offset, last.size + 1},
                                 BlockHandle{last.offset + 1, last.size}}) {
    const auto error = file.read_block(past);
    ASSERT_FALSE(error);
    EXPECT_EQ(error.error().kind, TableErrorKind::InvalidBlock);
    EXPECT_EQ(error.error().message(), "Invalid block: Block extends past end of file at offset " +
                                           std::to_string(past.offset) + " in " +
                                           dir_.file("000005.ldb"));
  }
  // An empty block whose trailer is the file's last five bytes is in bounds
  // (and then fails as empty Snappy input); one byte later it is not.
  const auto empty_last = file.read_block({bytes.size() - 5, 0});
  ASSERT_FALSE(empty_last);
  EXPECT_EQ(empty_last.error().kind, TableErrorKind::Snappy);
  const auto empty_past = file.read_block({bytes.size() - 4, 0});
  ASSERT_FALSE(empty_past);
  EXPECT_EQ(empty_past.error().kind, TableErrorKind::InvalidBlock);
}

TEST_F(TableFileTest, RawBlockIsCopiedWithItsRestartArray) {
  const std::string contents =
      block_contents({{"apple", "1"}, {"apricot", "2"}, {"banana", "3"}}, /*interval=*/2);
  const auto block = read_single(contents);
  ASSERT_TRUE(block) << block.error().message();
  EXPECT_FALSE(block->was_compressed);
  EXPECT_EQ(block->data, contents);
  EXPECT_EQ(block->num_restarts, 2u);
  EXPECT_EQ(block->restart_offset, contents.size() - 12);
  EXPECT_EQ(keys_of(block->entries()), (std::vector<std::string>{"apple", "apricot", "banana"}));
}

TEST_F(TableFileTest, AnyNonZeroTypeByteMeansSnappy) {
  const std::string contents = block_contents({{"apple", "1"}, {"apricot", "2"}});
  for (const int type : {1, 2, 255}) {
    SCOPED_TRACE(type);
    const auto block = read_single(snappy_compressed(contents), static_cast<std::uint8_t>(type));
    ASSERT_TRUE(block) << block.error().message();
    EXPECT_TRUE(block->was_compressed);
    EXPECT_EQ(block->data, contents);
    EXPECT_EQ(keys_of(block->entries()), (std::vector<std::string>{"apple", "apricot"}));
  }
}

TEST_F(TableFileTest, GarbageUnderANonZeroTypeIsASnappyError) {
  const std::vector<std::string> garbage = {
      "this is not snappy data",
      std::string(),
      hex("ff ff ff ff ff ff"),  // the length varint never ends
      hex("0a 00"),              // promises 10 bytes, delivers a 1-byte literal cut short
  };
  for (const int type : {1, 2, 255}) {
    for (const std::string& stored : garbage) {
      SCOPED_TRACE(std::to_string(type) + " / " + std::to_string(stored.size()));
      const auto block = read_single(stored, static_cast<std::uint8_t>(type));
      ASSERT_FALSE(block);
      EXPECT_EQ(block.error().kind, TableErrorKind::Snappy);
      EXPECT_TRUE(block.error().message().starts_with(kSnappyPrefix)) << block.error().message();
      EXPECT_GT(block.error().message().size(), kSnappyPrefix.size());
    }
  }
}

TEST_F(TableFileTest, ZeroRestartsDecodeFromTheStart) {
  // With no restart points the first "restart point" read is the count itself: 0.
  const std::string contents = entry(0, "k1", "v1") + entry(1, "2", "v2") + fixed32(0);
  const auto block = read_single(contents);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->num_restarts, 0u);
  EXPECT_EQ(block->restart_offset, contents.size() - 4);
  const std::vector<BlockEntry> expected = {{"k1", "v1", 0}, {"k2", "v2", 7}};
  EXPECT_EQ(block->entries(), expected);
}

TEST_F(TableFileTest, ContentsWithoutARestartArrayAreNotDecoded) {
  const std::string one_entry = entry(0, "key", "value");
  const std::vector<std::string> cases = {
      "",
      "a",
      hex("00 01 00"),
      fixed32(1),                          // one restart point but no room for it
      one_entry + fixed32(0) + fixed32(5),  // five points, room for three
      one_entry + fixed32(1000),
      one_entry + fixed32(0xFFFFFFFF),  // 4 * count must not wrap
  };
  for (const std::string& contents : cases) {
    SCOPED_TRACE(contents.size());
    const auto block = read_single(contents);
    ASSERT_TRUE(block) << block.error().message();
    EXPECT_EQ(block->data, contents);
    EXPECT_EQ(block->restart_offset, 0u);
    EXPECT_TRUE(block->entries().empty());
  }
  // The same holds for decompressed contents.
  const auto compressed = read_single(snappy_compressed(one_entry + fixed32(1000)), 1);
  ASSERT_TRUE(compressed);
  EXPECT_TRUE(compressed->entries().empty());
}

TEST_F(TableFileTest, OnlyTheFirstRestartPointIsUsed) {
  const std::string entries = entry(0, "apple", "1") + entry(2, "ricot", "2");
  // Restart points at or past the restart array name no entries.
  EXPECT_TRUE(entries_of(with_restart(entries, static_cast<std::uint32_t>(entries.size()))).empty());
  EXPECT_TRUE(entries_of(with_restart(entries, 0xFFFF)).empty());
  EXPECT_TRUE(entries_of(with_restart(entries, 0xFFFFFFFF)).empty());
  // A first restart point of 10 skips ten bytes of junk.
  const std::vector<BlockEntry> skipped = {{"apple", "1", 10}, {"apricot", "2", 19}};
  EXPECT_EQ(entries_of(with_restart(std::string(10, '\xff') + entries, 10)), skipped);
  // Later restart points are never read, so a non-zero `shared` after one is
  // still applied to the previous key.
  const std::string two_points = entries + fixed32(0) + fixed32(9) + fixed32(2);
  EXPECT_EQ(keys_of(entries_of(two_points)), (std::vector<std::string>{"apple", "apricot"}));
}

TEST_F(TableFileTest, PrefixSharingRebuildsKeys) {
  const std::vector<BlockEntry> expected = {
      {"apple", "1", 0}, {"apricot", "2", 9}, {"apricots", "", 18}, {"b", "3", 22}};
  EXPECT_EQ(entries_of(with_restart(entry(0, "apple", "1") + entry(2, "ricot", "2") +
                                    entry(7, "s", "") + entry(0, "b", "3"))),
            expected);
}

TEST_F(TableFileTest, MalformedEntryEndsTheList) {
  const std::string good = entry(0, "apple", "1") + entry(2, "ricot", "2");
  struct Case {
    std::string name;
    std::string contents;
    std::vector<std::string> keys;
  };
  const std::vector<Case> cases = {
      {"first entry shares 3", with_restart(entry(3, "abc", "v")), {}},
      {"shares more than the previous key",
       with_restart(good + entry(8, "x", "v") + entry(0, "z", "v")),
       {"apple", "apricot"}},
      {"value runs past the contents",
       with_restart(good + varint(0) + varint(1) + varint(100) + "k"),
       {"apple", "apricot"}},
      {"key runs past the contents",
       with_restart(good + varint(0) + varint(100) + varint(0) + "k"),
       {"apple", "apricot"}},
      {"lengths near 2^32", with_restart(good + varint(0) + varint(1) + varint(0xFFFFFFFF) + "k"),
       {"apple", "apricot"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(keys_of(entries_of(c.contents)), c.keys);
  }
}

TEST_F(TableFileTest, EntryMayRunIntoTheRestartArray) {
  // The entry starts before the restart array and its value is the array
  // itself (restart 0, count 1): it ends inside the contents, so it counts.
  const std::string contents = hex("00 01 08") + "k" + fixed32(0) + fixed32(1);
  const std::vector<BlockEntry> expected = {{"k", fixed32(0) + fixed32(1), 0}};
  EXPECT_EQ(entries_of(contents), expected);
}

// --- Records -------------------------------------------------------------------

TEST_F(TableFileTest, InternalKeysAreSplitIntoSeqAndState) {
  struct Case {
    std::string key;
    std::uint64_t seq;
    KeyState state;
    std::string user_key;
  };
  const std::vector<Case> cases = {
      {"abc", 0, KeyState::Unknown, "abc"},
      {"1234567", 0, KeyState::Unknown, "1234567"},
      {hex("01 2c 01 00 00 00 00 00"), 300, KeyState::Unknown, ""},
      {hex("61 01 05 00 00 00 00 00 00"), 5, KeyState::Live, "a"},
      {hex("61 00 05 00 00 00 00 00 00"), 5, KeyState::Deleted, "a"},
      {hex("61 02 05 00 00 00 00 00 00"), 5, KeyState::Live, "a"},
      {hex("61 ff 05 00 00 00 00 00 00"), 5, KeyState::Live, "a"},
      {internal_key("user", 300, 0), 300, KeyState::Deleted, "user"},
      {internal_key("user", (1ull << 56) - 1, 0xff), (1ull << 56) - 1, KeyState::Live, "user"},
  };
  KeyValues entries;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    entries.emplace_back(cases[i].key, "value" + std::to_string(i));
  }
  TableBytes t;
  const std::string path = write(t.finish({t.add_raw(block_contents(entries, 1))}));
  const auto file = TableFile::open(path);
  ASSERT_TRUE(file);
  const std::vector<Record> records = testing::file_records(*file);
  ASSERT_EQ(records.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i].key, cases[i].key);
    EXPECT_EQ(records[i].value, "value" + std::to_string(i));
    EXPECT_EQ(records[i].seq, cases[i].seq);
    EXPECT_EQ(records[i].state, cases[i].state);
    EXPECT_EQ(records[i].user_key(), cases[i].user_key);
    EXPECT_EQ(records[i].file_type, FileType::Ldb);
    EXPECT_EQ(records[i].origin_path(), path);
    EXPECT_FALSE(records[i].was_compressed);
  }
}

TEST_F(TableFileTest, RecordOffsetsPointAtEntriesOrCompressedBlocks) {
  // First block at file offset 0 with a 14-byte first entry, so the second
  // entry starts at 14; the second block compressed; the third raw again.
  const std::string k1 = internal_key("a", 1);
  const std::string first = entry(0, k1, "vv");
  ASSERT_EQ(first.size(), 14u);
  const std::string contents =
      with_restart(first + entry(0, internal_key("b", 2), "w") + entry(0, internal_key("c", 3), ""));
  TableBytes t;
  const BlockHandle raw = t.add_raw(contents);
  const BlockHandle compressed = t.add_compressed(contents);
  const BlockHandle raw_again = t.add_raw(contents);
  const TableFile file = open_ok(t.finish({raw, compressed, raw_again}));

  std::vector<std::pair<std::uint64_t, bool>> expected;
  for (const std::uint64_t at : {0, 14, 14 + 13}) expected.emplace_back(raw.offset + at, false);
  for (int i = 0; i < 3; ++i) expected.emplace_back(compressed.offset, true);
  for (const std::uint64_t at : {0, 14, 14 + 13}) expected.emplace_back(raw_again.offset + at, false);
  std::vector<std::pair<std::uint64_t, bool>> actual;
  for (const Record& r : testing::file_records(file)) actual.emplace_back(r.offset, r.was_compressed);
  EXPECT_EQ(actual, expected);
  EXPECT_GT(raw_again.offset, 0u);
}

TEST_F(TableFileTest, UnreadableBlocksAreSkipped) {
  TableBytes t;
  const BlockHandle a = t.add_raw(block_contents({{internal_key("a", 1), "1"}}));
  const BlockHandle garbage = t.add_stored("not snappy at all", 1);
  const BlockHandle c = t.add_compressed(block_contents({{internal_key("c", 3), "3"}}));
  const BlockHandle past_end{1 << 20, 10};
  const TableFile file = open_ok(t.finish({a, past_end, garbage, c}));
  ASSERT_EQ(file.index().size(), 4u);
  EXPECT_EQ(keys_of(testing::file_records(file)),
            (std::vector<std::string>{internal_key("a", 1), internal_key("c", 3)}));
}

TEST_F(TableFileTest, BlockNamedTwiceYieldsItsRecordsTwice) {
  TableBytes t;
  const BlockHandle a = t.add_raw(
      block_contents({{internal_key("a", 1), "1"}, {internal_key("b", 2), "2"}}));
  const TableFile file = open_ok(t.finish({a, a}));
  const std::vector<Record> records = testing::file_records(file);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0], records[2]);
  EXPECT_EQ(records[1], records[3]);
}

TEST_F(TableFileTest, RecordsAreRepeatableAndOutliveTheFile) {
  TableBytes t;
  const BlockHandle a = t.add_compressed(block_contents({{internal_key("a", 1), "one"}}));
  const BlockHandle b = t.add_raw(block_contents({{internal_key("b", 2, 0), ""}}));
  std::vector<Record> records;
  {
    const TableFile file = open_ok(t.finish({a, b}));
    records = testing::file_records(file);
    EXPECT_EQ(testing::file_records(file), records);
  }
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].value, "one");
  EXPECT_EQ(records[1].state, KeyState::Deleted);
  EXPECT_EQ(records[1].origin_path(), dir_.file("000005.ldb"));
}

// --- Hostile Snappy length preambles -------------------------------------------

// Five-byte streams whose varint preamble declares gigabytes: a decompressor
// that reserved the declared length first would need that much memory.
const std::vector<std::string>& hostile_streams() {
  static const std::vector<std::string> streams = {
      hex("df df df df 0a"),                        // about 2.7 GiB
      hex("ff ff ff ff 0f"),                        // 4 GiB - 1
      hex("80 80 80 80 08"),                        // 2 GiB
      hex("80 80 80 80 04") + std::string(1000, 'x'),  // 1 GiB, with a body that cannot hold it
  };
  return streams;
}

TEST_F(TableFileTest, HugeDeclaredSnappyLengthIsAnError) {
  for (const std::string& stream : hostile_streams()) {
    SCOPED_TRACE(stream.size());
    DecompressBuffer buffer;
    const auto direct = decompress_block(1, stream, buffer);
    ASSERT_FALSE(direct);
    EXPECT_TRUE(direct.error().message().starts_with("Decompression error: "));
    const auto block = read_single(stream, 1);
    ASSERT_FALSE(block);
    EXPECT_EQ(block.error().kind, TableErrorKind::Snappy);
    EXPECT_TRUE(block.error().message().starts_with(kSnappyPrefix)) << block.error().message();
    EXPECT_TRUE(testing::file_records(*table_).empty());
  }
}

#ifndef VOSTREL_UNDER_ASAN
std::size_t address_space_in_use() {
  unsigned long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}
#endif

TEST_F(TableFileTest, HugeDeclaredSnappyLengthAllocatesNothingLarge) {
#ifdef VOSTREL_UNDER_ASAN
  GTEST_SKIP() << "the address sanitizer reserves terabytes of address space, so RLIMIT_AS cannot be used";
#else
  TableBytes t;
  std::vector<BlockHandle> blocks;
  for (const std::string& stream : hostile_streams()) blocks.push_back(t.add_stored(stream, 1));
  // A genuine 1 MiB block shows that the limit still leaves room for real work.
  const std::string big_value(1 << 20, 'z');
  const std::string genuine = block_contents({{internal_key("k", 1), big_value}});
  blocks.push_back(t.add_compressed(genuine));
  const std::string path = write(t.finish(blocks));

  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // Half a GiB above what the process already maps: far below any hostile length.
    const rlim_t limit = address_space_in_use() + (512u << 20);
    const rlimit rl{limit, limit};
    if (::setrlimit(RLIMIT_AS, &rl) != 0) ::_exit(10);
    for (const std::string& stream : hostile_streams()) {
      DecompressBuffer buffer;
      if (decompress_block(1, stream, buffer)) ::_exit(11);
    }
    const auto file = TableFile::open(path);
    if (!file) ::_exit(13);
    for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
      const auto block = file->read_block(blocks[i]);
      if (block || block.error().kind != TableErrorKind::Snappy) ::_exit(14);
    }
    const auto records = testing::file_records(*file);
    if (records.size() != 1 || records[0].value != big_value) ::_exit(15);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

// --- Block codecs -----------------------------------------------------------

std::string zstd_compressed(std::string_view raw) {
  std::string out(::ZSTD_compressBound(raw.size()), '\0');
  const std::size_t n = ::ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), 3);
  EXPECT_FALSE(::ZSTD_isError(n));
  out.resize(n);
  return out;
}

// zlib (window_bits 15) or raw deflate (-15), as zlib's deflate writes them;
// `copies` repetitions of raw are fed in turn, so a large output costs no
// large input.
std::string deflated(std::string_view raw, int window_bits, std::size_t copies = 1) {
  z_stream z{};
  EXPECT_EQ(::deflateInit2(&z, 1, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out;
  char chunk[1 << 16];
  for (std::size_t i = 0; i < copies; ++i) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    z.avail_in = static_cast<uInt>(raw.size());
    const int flush = i + 1 == copies ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = reinterpret_cast<Bytef*>(chunk);
      z.avail_out = sizeof chunk;
      ::deflate(&z, flush);
      out.append(chunk, sizeof chunk - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && z.avail_in != 0));
  }
  ::deflateEnd(&z);
  return out;
}

std::string zstd_of_zeros(std::size_t copies, std::size_t chunk_size) {
  ZSTD_CCtx* context = ::ZSTD_createCCtx();
  const std::string zeros(chunk_size, '\0');
  std::string out;
  std::string chunk(1 << 16, '\0');
  for (std::size_t i = 0; i < copies; ++i) {
    ZSTD_inBuffer in{zeros.data(), zeros.size(), 0};
    const auto mode = i + 1 == copies ? ZSTD_e_end : ZSTD_e_continue;
    std::size_t left = 0;
    do {
      ZSTD_outBuffer o{chunk.data(), chunk.size(), 0};
      left = ::ZSTD_compressStream2(context, &o, &in, mode);
      out.append(chunk.data(), o.pos);
    } while (in.pos < in.size || (mode == ZSTD_e_end && left != 0));
  }
  ::ZSTD_freeCCtx(context);
  return out;
}

// A table written by the real library with raw blocks, its data blocks then
// compressed by the codec libraries and stored under the type byte that the
// writers using each codec give them.
TEST_F(TableFileTest, BlocksOfEveryCodecAreRead) {
  KeyValues entries;
  for (int i = 0; i < 300; ++i) {
    entries.emplace_back("key" + std::to_string(1000 + i), std::string(100, static_cast<char>('a' + i % 26)));
  }
  const TableFile original = open_ok(testing::real_table_bytes(entries, 1, false), "000001.ldb");
  const std::vector<Record> expected = testing::file_records(original);
  ASSERT_EQ(expected.size(), entries.size());
  ASSERT_GT(original.index().size(), 1u);

  struct Codec {
    const char* name;
    std::uint8_t type;
    std::function<std::string(std::string_view)> compress;
  };
  const std::vector<Codec> codecs = {
      {"zstd", 2, zstd_compressed},
      {"zlib", 2, [](std::string_view raw) { return deflated(raw, 15); }},
      {"raw deflate", 4, [](std::string_view raw) { return deflated(raw, -15); }},
      {"snappy under type 2", 2, snappy_compressed},
      {"snappy under type 4", 4, snappy_compressed},
  };
  for (const Codec& codec : codecs) {
    SCOPED_TRACE(codec.name);
    TableBytes t;
    std::vector<BlockHandle> handles;
    for (const auto& [separator, handle] : original.index()) {
      const auto block = original.read_block(handle);
      ASSERT_TRUE(block) << block.error().message();
      handles.push_back(t.add_stored(codec.compress(block->data), codec.type));
    }
    const std::vector<Record> records = testing::file_records(open_ok(t.finish(handles), "000002.ldb"));
    ASSERT_EQ(records.size(), expected.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].key, expected[i].key);
      EXPECT_EQ(records[i].value, expected[i].value);
      EXPECT_TRUE(records[i].was_compressed);
    }
  }
}

// Output is bounded however little input asks for it: a block expanding past
// the limit is an error of its codec.
TEST_F(TableFileTest, BlockExpandingPastTheLimitIsRefused) {
  const std::size_t chunk = 1 << 20;
  const std::size_t copies = kMaxBlockContents / chunk + 1;
  const std::vector<std::pair<std::uint8_t, std::string>> bombs = {
      {2, zstd_of_zeros(copies, chunk)},
      {4, deflated(std::string(chunk, '\0'), -15, copies)},
  };
  for (const auto& [type, stored] : bombs) {
    SCOPED_TRACE(type);
    ASSERT_LT(stored.size() * 100, kMaxBlockContents);  // small input, large output
    const auto block = read_single(stored, type);
    ASSERT_FALSE(block);
    EXPECT_NE(block.error().message().find("exceeds the block limit"), std::string::npos)
        << block.error().message();
  }
}

}  // namespace
}  // namespace vostrel
