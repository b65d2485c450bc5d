// IndexedDB and Local Storage records decoded to their JSON lines: every key
// kind once, hand-built damaged records with the reasons they fail with and
// the fields kept before the failure, values kept in blob files, and the real
// records of the Chromium store committed under tests/data/chromium (found
// under $VOSTREL_SOURCE_ROOT, else the current directory).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "chromium/indexeddb.h"
#include "chromium/indexeddb_key.h"
#include "chromium/local_storage.h"
#include "chromium/origin.h"
#include "read/store.h"
#include "test_support.h"

namespace vostrel::chromium {
namespace {

using testing::hex;

const SharedPath kPath = std::make_shared<const std::string>("f.log");

RecordView view(const std::string& key, const std::string& value, std::uint64_t seq = 5,
                KeyState state = KeyState::Live) {
  return RecordView{key, value, seq, state, FileType::Log, &kPath, 0, false};
}

// The line for a record of seq 5, live, from f.log at offset 0.
std::string line(std::string_view kind, std::string_view fields, std::string_view state = "live") {
  return "{\"kind\": \"" + std::string(kind) + "\", " + std::string(fields) + ", \"seq\": 5, \"state\": \"" +
         std::string(state) + "\", \"origin_file\": \"f.log\", \"offset\": 0}\n";
}

std::string idb_entry(IndexedDbDecoder& decoder, const RecordView& record) {
  std::string out;
  decoder.append_entry(out, record);
  return out;
}

TEST(IndexedDbKey, EachKindAndItsFailures) {
  const std::string deep = [] {
    std::string bytes;
    for (int i = 0; i < 202; ++i) bytes += hex("04 01");
    return bytes + hex("00");
  }();
  const struct {
    std::string bytes;
    std::string json_or_reason;
    bool ok;
  } cases[] = {
      {hex("01 02 0061 0062"), "\"ab\"", true},
      {hex("01 01 d800"), "\"\\ud800\"", true},  // a lone surrogate stays one
      {hex("03 000000000000f03f"), "1", true},
      {hex("03 000000000000f83f"), "1.5", true},
      {hex("03 000000000000f87f"), "{\"$number\": \"NaN\"}", true},
      {hex("03 0000000000000080"), "-0.0", true},  // -0 keeps its sign
      // a date before year 1 keeps its time value
      {hex("02 000030823745ccc2"), "{\"$date\": null, \"ms\": -62167219200000.0}", true},
      {hex("02 0000000000000000"), "{\"$date\": \"1970-01-01T00:00:00.000Z\"}", true},
      {hex("04 02 03000000000000f03f 00"), "[1, null]", true},
      {hex("06 02 ff00"), "{\"$bytes\": \"/wA=\"}", true},
      {hex("00"), "null", true},
      {hex("05"), "unknown key type 5", false},
      {"", "data ends where a key should begin", false},
      {hex("03 0000"), "data ends inside a number key", false},
      {hex("02 00"), "data ends inside a date key", false},
      {hex("04 05 00"), "bad array key", false},
      {deep, "bad array key", false},
      {hex("06 05 00"), "data ends inside a binary key", false},
      {hex("01 05 0061"), "data ends inside a string", false},
      {hex("01 80"), "data ends inside a varint", false},
      {hex("04 02 00 05"), "unknown key type 5", false},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    const auto end = append_key(out, c.bytes, 0);
    ASSERT_EQ(end.has_value(), c.ok) << c.json_or_reason;
    if (c.ok) {
      EXPECT_EQ(out, "x" + c.json_or_reason);
      EXPECT_EQ(*end, c.bytes.size());
    } else {
      EXPECT_EQ(end.error(), c.json_or_reason);
      EXPECT_EQ(out, "x");  // left as it was
    }
  }
}

TEST(IndexedDbKey, KeyPaths) {
  const struct {
    std::string bytes;
    std::string json_or_reason;
    bool ok;
  } cases[] = {
      {hex("0061 0062"), "\"ab\"", true},  // the original form: the whole value
      {hex("0000 00"), "null", true},
      {hex("0000 01 01 0061"), "\"a\"", true},
      {hex("0000 02 02 01 0061 01 0062"), "[\"a\", \"b\"]", true},
      {hex("0000 07"), "unknown key path type 7", false},
      {hex("0000 02 09"), "bad key path array", false},
      {hex("0000 02 02 01 0061 05"), "data ends inside a string", false},
      {hex("61"), "UTF-16 string of odd length", false},
  };
  for (const auto& c : cases) {
    std::string out;
    const auto written = append_key_path(out, c.bytes);
    ASSERT_EQ(written.has_value(), c.ok) << c.json_or_reason;
    EXPECT_EQ(c.ok ? out : written.error(), c.json_or_reason);
  }
}

TEST(IndexedDb, BlobDirectoryBesideTheStore) {
  const struct {
    std::string_view directory, blob_directory;
  } cases[] = {
      {"a/o.indexeddb.leveldb", "a/o.indexeddb.blob"},
      {"a/o.indexeddb.leveldb/", "a/o.indexeddb.blob"},
      {"./a//b/../o.leveldb", "a/o.blob"},
      {"//x/../o.leveldb", "//o.blob"},
      {"../o.leveldb", "../o.blob"},
      {"a/leveldb", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(indexeddb_blob_directory(c.directory), c.blob_directory) << c.directory;
}

// Damaged records keep what decoded before the failure, then the reason.
TEST(IndexedDb, DamagedRecords) {
  const std::string record_names =
      "\"origin\": null, \"database\": null, \"database_id\": 1, \"object_store\": null, \"object_store_id\": 1";
  const std::string one = "03000000000000f03f";  // the key 1
  const struct {
    std::string key, value, fields;
  } cases[] = {
      {"", "", "\"type\": \"undecoded\", \"error\": \"index out of range\", \"raw_key\": \"\", \"raw_value\": \"\""},
      {hex("e0 01"), "",
       "\"type\": \"undecoded\", \"error\": \"key shorter than its prefix\", \"raw_key\": \"e001\", \"raw_value\": \"\""},
      {hex("00 01 01 01" + one + "ff"), "",
       "\"type\": \"record\", " + record_names + ", \"key\": 1, \"error\": \"bytes after the primary key\", "
       "\"raw_key\": \"00010101" + one + "ff\", \"raw_value\": \"\""},
      {hex("00 01 01 01" + one), hex("80"),
       "\"type\": \"record\", " + record_names + ", \"key\": 1, \"value\": null, \"error\": \"data ends inside a "
       "varint\", \"raw_key\": \"00010101" + one + "\", \"raw_value\": \"80\""},
      {hex("00 01 01 01" + one), hex("05 ff1101 03 00"),
       "\"type\": \"record\", " + record_names + ", \"key\": 1, \"value\": null, \"version\": 5, \"error\": \"value "
       "kept in external object 0, which is not listed\", \"raw_key\": \"00010101" + one +
       "\", \"raw_value\": \"05ff11010300\""},
      {hex("00 01 01 01" + one), hex("05 ff1109"),
       "\"type\": \"record\", " + record_names + ", \"key\": 1, \"value\": null, \"version\": 5, \"error\": \"unknown "
       "value wrapper command 9\", \"raw_key\": \"00010101" + one + "\", \"raw_value\": \"05ff1109\""},
      {hex("00 01 01 01" + one), hex("05 ff1102 ffffffff0f"),
       "\"type\": \"record\", " + record_names + ", \"key\": 1, \"value\": null, \"version\": 5, \"error\": "
       "\"compressed value: Decompression error: corrupt input: declared uncompressed length 4294967295 exceeds "
       "what 0 compressed bytes can hold\", \"raw_key\": \"00010101" + one + "\", \"raw_value\": \"05ff1102ffffffff0f\""},
      {hex("00 01 01 1e 01 01 0061 00 00"), hex("07 05"),  // an index entry whose value key is cut
       "\"type\": \"index\", " + record_names + ", \"index\": null, \"index_id\": 30, \"key\": \"a\", "
       "\"primary_key\": null, \"version\": 7, \"error\": \"unknown key type 5\", \"raw_key\": \"0001011e0101006100"
       "00\", \"raw_value\": \"0705\""},
      {hex("00 01 01 02 00"), hex("0102030405060708 09"),
       "\"type\": \"exists\", " + record_names + ", \"key\": null, \"error\": \"Int longer than 8 bytes\", "
       "\"raw_key\": \"0001010200\", \"raw_value\": \"010203040506070809\""},
      {hex("00 01 01 03 00"), hex("07"),
       "\"type\": \"blob_entry\", " + record_names + ", \"key\": null, \"error\": \"unknown external object type 7\", "
       "\"raw_key\": \"0001010300\", \"raw_value\": \"07\""},
      {hex("00 01 02 00"), "",
       "\"type\": \"undecoded\", \"error\": \"unknown key prefix (1, 2, 0)\", \"raw_key\": \"00010200\", "
       "\"raw_value\": \"\""},
      {hex("00 00 00 00"), "",
       "\"type\": \"undecoded\", \"error\": \"metadata key without its type\", \"raw_key\": \"00000000\", "
       "\"raw_value\": \"\""},
      {hex("00 00 00 00 07"), "",
       "\"type\": \"global\", \"error\": \"unknown global metadata type 7\", \"raw_key\": \"0000000007\", "
       "\"raw_value\": \"\""},
      {hex("00 00 00 00 02"), hex("15000000 10000000"),
       "\"type\": \"data_format_version\", \"value\": {\"blink\": 21, \"v8\": 16}"},
      {hex("00 00 00 00 03"), hex("01 02 01"),  // a journal cut inside its second pair
       "\"type\": \"recovery_blob_journal\", \"error\": \"data ends inside a varint\", \"raw_key\": \"0000000003\", "
       "\"raw_value\": \"010201\""},
      {hex("00 00 00 00 05"), hex("0080145e6e2f2e00"),
       "\"type\": \"earliest_sweep\", \"value\": {\"$date\": \"2012-12-14T23:06:40.000Z\"}"},
      {hex("00 00 00 00 32 02 01 00 0000000000000009"), hex("08 01 12 03 616263 12 00"),
       "\"type\": \"journal_task\", \"scope\": 1, \"task\": \"undo\", \"sequence\": 9, \"value\": {\"1\": 1, "
       "\"2\": [{\"$bytes\": \"YWJj\"}, \"\"]}"},
      {hex("00 00 00 00 32 01 01"), hex("12 02 0801 0d 01000000"),
       "\"type\": \"journal_scope\", \"scope\": 1, \"value\": {\"2\": {\"1\": 1}, \"1\": 1}"},
      {hex("00 00 00 00 32 00"), hex("0b"),
       "\"type\": \"journal_metadata\", \"error\": \"unsupported protobuf wire type 3\", \"raw_key\": "
       "\"000000003200\", \"raw_value\": \"0b\""},
      {hex("00 01 00 00 32 01"), "",  // no field byte
       "\"type\": \"object_store_field\", \"origin\": null, \"database\": null, \"database_id\": 1, "
       "\"object_store\": null, \"object_store_id\": 1, \"error\": \"key ends before its field byte\", "
       "\"raw_key\": \"000100003201\", \"raw_value\": \"\""},
      {hex("00 01 00 00 64 00 02 01"), hex("0102"),
       "\"type\": \"index_unique\", \"origin\": null, \"database\": null, \"database_id\": 1, \"index\": null, "
       "\"index_id\": 2, \"error\": \"Bool is not one byte\", \"raw_key\": \"0001000064000201\", \"raw_value\": "
       "\"0102\""},
      {hex("00 01 00 00 09"), "",
       "\"type\": \"database\", \"origin\": null, \"database\": null, \"database_id\": 1, \"error\": \"unknown "
       "database metadata type 9\", \"raw_key\": \"0001000009\", \"raw_value\": \"\""},
  };
  for (const auto& c : cases) {
    IndexedDbDecoder decoder("");
    decoder.learn(view(c.key, c.value));
    EXPECT_EQ(idb_entry(decoder, view(c.key, c.value)), line("indexeddb", c.fields));
  }
}

TEST(IndexedDb, ProtobufNestingIsBounded) {
  auto nested = [](int levels) {
    std::string message = hex("08 01");
    for (int i = 1; i < levels; ++i) message = hex("0a") + testing::varint(message.size()) + message;
    return message;
  };
  const std::string key = hex("00 00 00 00 32 00");
  IndexedDbDecoder decoder("");
  EXPECT_EQ(idb_entry(decoder, view(key, nested(493))).find("error"), std::string::npos);
  const std::string deep = idb_entry(decoder, view(key, nested(494)));
  EXPECT_NE(deep.find("\"type\": \"journal_metadata\", \"error\": \"value nested too deeply\""), std::string::npos)
      << deep.substr(0, 200);
}

// A journal task names the records a transaction changed: an undo put the
// key and the value it held before, an undo delete a key it created, a range
// its two ends. Each is decoded as the record it is.
TEST(IndexedDb, JournalTasksHoldTheirRecords) {
  const std::string k = "00 01 01 01 01 01 006b";  // «1,1,1» record key "k"
  const std::string a = "00 01 01 01 01 01 0061";  // and "a"
  const std::string record = "\"type\": \"record\", \"origin\": null, \"database\": null, \"database_id\": 1, "
                             "\"object_store\": null, \"object_store_id\": 1, ";
  const struct {
    std::string task;  // the key's task byte: 00 undo, 01 cleanup
    std::string value;
    std::string journal;
  } cases[] = {
      {"00", hex("0a 12 0a 08" + k + "12 06 05ff0f220178"),
       "{\"operation\": \"put\", \"entry\": {" + record + "\"key\": \"k\", \"value\": \"x\", \"version\": 5}}"},
      {"00", hex("12 0a 0a 08" + k),
       "{\"operation\": \"delete\", \"entry\": {" + record + "\"key\": \"k\", \"value\": null}}"},
      {"01", hex("12 14 0a 08" + a + "12 08" + k),
       "{\"operation\": \"delete_range_and_compact\", \"begin\": {" + record +
           "\"key\": \"a\", \"value\": null}, \"end\": {" + record + "\"key\": \"k\", \"value\": null}}"},
      {"00", hex("0a 02 0a 00"),  // a put of an empty key: no record
       "{\"operation\": \"put\", \"entry\": {\"type\": \"undecoded\", \"error\": \"index out of range\", "
       "\"raw_key\": \"\", \"raw_value\": \"\"}}"},
  };
  for (const auto& c : cases) {
    const std::string key = hex("00 00 00 00 32 02 01" + c.task + "0000000000000009");
    IndexedDbDecoder decoder("");
    decoder.learn(view(key, c.value));
    const std::string entry = idb_entry(decoder, view(key, c.value));
    EXPECT_NE(entry.find(", \"journal\": " + c.journal + ", \"seq\": 5"), std::string::npos) << entry;
  }
}

// The first pass learns names: the newest live version of each.
TEST(IndexedDb, NamesFromTheFirstPass) {
  IndexedDbDecoder decoder("");
  const std::string database_name = hex("00 00 00 00 c9 01 006f 01 006e");  // origin "o", name "n"
  decoder.learn(view(database_name, hex("01"), 3));
  decoder.learn(view(hex("00 01 00 00 32 01 00"), hex("0073"), 4));           // store 1 is "s"
  decoder.learn(view(hex("00 01 00 00 32 01 00"), hex("0074"), 2));           // an older name
  decoder.learn(view(hex("00 01 00 00 32 01 00"), hex("0075"), 9, KeyState::Deleted));
  const std::string record = idb_entry(decoder, view(hex("00 01 01 01 00"), "", 5, KeyState::Deleted));
  EXPECT_EQ(record, line("indexeddb",
                         "\"type\": \"record\", \"origin\": null, \"origin_raw\": \"o\", \"database\": \"n\", \"database_id\": 1, "
                         "\"object_store\": \"s\", \"object_store_id\": 1, \"key\": null, \"value\": null",
                         "deleted"));
}

// A value too large for its record lives in a blob file named by the
// database id and blob number; the blob entry written just after the record
// lists it.
TEST(IndexedDb, ValuesKeptInBlobFiles) {
  testing::TempDir dir;
  const std::string store = dir.file("o.indexeddb.leveldb");
  const std::string blobs = indexeddb_blob_directory(store);
  ASSERT_EQ(blobs, dir.file("o.indexeddb.blob"));
  std::filesystem::create_directories(blobs + "/1/00");
  testing::write_file(blobs + "/1/00/2", hex("ff0f 54"));  // V8 version 15, true
  // The same, Snappy-compressed: length 3, then a literal of 3 bytes.
  testing::write_file(blobs + "/1/00/3", hex("ff1102 03 08 ff0f54"));

  const std::string key = hex("00 01 01 01 00");
  const std::string blob_key = hex("00 01 01 03 00");
  // Blobs number 2 (type "a", 3 bytes) and 3 (type "a", 8 bytes).
  const std::string blob_entry = hex("00 02 0100 61 03  00 03 0100 61 08");
  const struct {
    std::string value, fields;
  } cases[] = {
      {hex("05 ff1101 03 00"), "\"value\": true, \"version\": 5, \"stored\": \"blob\""},
      {hex("05 ff1101 09 00"),
       "\"value\": null, \"version\": 5, \"error\": \"blob file holds 3 bytes, the value says 9\""},
      {hex("05 ff1101 08 01"), "\"value\": true, \"version\": 5, \"stored\": \"blob+snappy\""},
      {hex("05 ff1101 08 02"),
       "\"value\": null, \"version\": 5, \"error\": \"value kept in external object 2, which is not listed\""},
  };
  for (const auto& c : cases) {
    IndexedDbDecoder decoder(blobs);
    decoder.learn(view(key, c.value, 5));
    decoder.learn(view(blob_key, blob_entry, 6));
    std::string out = idb_entry(decoder, view(key, c.value, 5));
    EXPECT_NE(out.find(", \"key\": null, " + c.fields), std::string::npos) << out;
  }

  // The blob entry itself, with what its file holds, and a blob whose file is missing.
  IndexedDbDecoder decoder(blobs);
  EXPECT_NE(idb_entry(decoder, view(blob_key, hex("00 02 0100 61 03")))
                .find("\"blob_number\": 2, \"path\": \"" + blobs +
                      "/1/00/2\", \"found\": true, \"file_size\": 3, \"sha256\": "
                      "\"2063dcf3c1cae1c2ab07c7f426cd55d41e26baa30ff0f467978e6ec2be2371b9\"}]"),
            std::string::npos);
  decoder.learn(view(blob_key, hex("00 07 0100 61 03"), 6));
  EXPECT_NE(idb_entry(decoder, view(blob_key, hex("00 07 0100 61 03")))
                .find("\"value\": [{\"object_type\": \"blob\", \"type\": \"a\", \"size\": 3, \"blob_number\": 7, "
                      "\"path\": \"" + blobs + "/1/00/7\", \"found\": false}]"),
            std::string::npos);
  const std::string missing = idb_entry(decoder, view(key, hex("05 ff1101 03 00"), 5));
  EXPECT_NE(missing.find("\"error\": \"value kept in blob file '" + blobs + "/1/00/7', which cannot be read\""),
            std::string::npos)
      << missing;
}

TEST(IndexedDb, CommittedChromiumStore) {
  const char* root = std::getenv("VOSTREL_SOURCE_ROOT");
  const std::string store = std::string(root != nullptr ? root : ".") +
                            "/tests/data/chromium/IndexedDB/http_127.0.0.1_8765.indexeddb.leveldb";
  auto db = RawLevelDb::open(store);
  ASSERT_TRUE(db.has_value());
  IndexedDbDecoder decoder(indexeddb_blob_directory(store));
  auto learn = [&](const RecordView& record) { decoder.learn(record); };
  testing::walk_all(*db, false, learn);
  std::vector<std::string> lines;
  auto write = [&](const RecordView& record) {
    std::string out;
    decoder.append_entry(out, record);
    lines.push_back(std::move(out));
  };
  testing::walk_all(*db, false, write);
  ASSERT_EQ(lines.size(), 611u);
  std::size_t from_blob_files = 0;
  for (const auto& text : lines) {
    EXPECT_EQ(text.find(", \"error\": "), std::string::npos) << text.substr(0, 300);
    from_blob_files += text.find("\"stored\": \"blob\"") != std::string::npos;
  }
  EXPECT_GE(from_blob_files, 1u);
  EXPECT_TRUE(lines[2].starts_with(
      "{\"kind\": \"indexeddb\", \"type\": \"data_format_version\", \"value\": {\"blink\": 21, \"v8\": 16}, \"seq\""));
}

// Every way the stores write an origin, to the one form entries give it.
TEST(Origin, EachStoredForm) {
  const struct {
    std::string_view stored;
    std::optional<std::string> origin;
  } cases[] = {
      {"http://127.0.0.1:8765", "http://127.0.0.1:8765"},     // Local Storage
      {"http://127.0.0.1:8765/", "http://127.0.0.1:8765"},    // Session Storage
      {"https://Example.ORG:443/", "https://example.org"},    // a default port
      {"http_127.0.0.1_8765@1", "http://127.0.0.1:8765"},     // IndexedDB
      {"https_example.org_0@1", "https://example.org"},       // 0: the default port
      {"https_my_host.test_8443@1", "https://my_host.test:8443"},
      {"http_[1__2]_80@1", "http://[1::2]"},                  // an IPv6 host
      {"chrome-extension_abcdef_0@1", "chrome-extension://abcdef"},
      {"file__0@1", "file://"},
      {"__0@1", std::nullopt},                                // a unique origin
      {"http_host_99999@1", std::nullopt},
      {"http_a..b_80@1", std::nullopt},
      {"http://host/path", std::nullopt},
      {"http://host:0", std::nullopt},
      {"o", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(canonical_origin(c.stored), c.origin) << c.stored;
}

TEST(LocalStorage, RecordsAndTheirFailures) {
  const std::string undecodable = "\"type\": \"undecoded\", \"error\": ";
  const struct {
    std::string key, value;
    KeyState state;
    std::string fields;
  } cases[] = {
      {std::string("_o\0", 3) + hex("01 61"), hex("01 e9"), KeyState::Live,
       "\"type\": \"item\", \"origin\": null, \"origin_raw\": \"o\", \"key\": \"a\", \"value\": \"\xc3\xa9\""},
      {std::string("_o\0", 3) + hex("00 3d04"), hex("00 6100"), KeyState::Live,
       "\"type\": \"item\", \"origin\": null, \"origin_raw\": \"o\", \"key\": \"\xd0\xbd\", \"value\": \"a\""},
      {std::string("_o\0", 3) + hex("01 61"), "", KeyState::Deleted,
       "\"type\": \"item\", \"origin\": null, \"origin_raw\": \"o\", \"key\": \"a\", \"value\": null"},
      {"_o", "", KeyState::Live,
       undecodable + "\"item key without the origin separator\", \"raw_key\": \"5f6f\", \"raw_value\": \"\""},
      {std::string("_o\0", 3) + hex("01 61"), hex("00 61"), KeyState::Live,
       undecodable + "\"UTF-16 text of odd length\", \"raw_key\": \"5f6f000161\", \"raw_value\": \"0061\""},
      {std::string("_o\0", 3) + hex("02"), "", KeyState::Live,
       undecodable + "\"unknown string format byte 2\", \"raw_key\": \"5f6f0002\", \"raw_value\": \"\""},
      {std::string("_o\0", 3), hex("01"), KeyState::Live,
       undecodable + "\"empty string without its format byte\", \"raw_key\": \"5f6f00\", \"raw_value\": \"01\""},
      {"META:o", hex("08 8080d2f0e5ed8b17 10 05 10 06"), KeyState::Live,
       "\"type\": \"meta\", \"origin\": null, \"origin_raw\": \"o\", \"value\": {\"last_modified\": {\"$date\": "
       "\"2012-12-14T23:06:40.000Z\"}, \"size_bytes\": [5, 6]}"},
      {"META:o", hex("12 01 ff"), KeyState::Live,
       "\"type\": \"meta\", \"origin\": null, \"origin_raw\": \"o\", \"value\": {\"last_modified\": null, \"size_bytes\": {\"$bytes\": "
       "\"/w==\"}}"},
      {"METAACCESS:o", hex("08 ff"), KeyState::Live,
       undecodable + "\"data ends inside a varint\", \"raw_key\": \"4d4554414143434553533a6f\", \"raw_value\": "
       "\"08ff\""},
      {"VERSION", "1\xff", KeyState::Live,
       undecodable + "\"'ascii' codec can't decode byte 0xff in position 1: ordinal not in range(128)\", "
       "\"raw_key\": \"56455253494f4e\", \"raw_value\": \"31ff\""},
      {"other", "", KeyState::Live,
       undecodable + "\"not a Local Storage key\", \"raw_key\": \"6f74686572\", \"raw_value\": \"\""},
  };
  for (const auto& c : cases) {
    std::string out;
    append_local_storage_entry(out, view(c.key, c.value, 5, c.state));
    EXPECT_EQ(out, line("localstorage", c.fields, c.state == KeyState::Live ? "live" : "deleted"));
  }
}

}  // namespace
}  // namespace vostrel::chromium
