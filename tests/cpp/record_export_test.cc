// The record exporter: whole lines against what `vostrel dump` writes, the
// state filter, chunked output for long values, and write errors.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "export/record_export.h"

namespace vostrel {
namespace {

// Collects every chunk handed over; fails from call number fail_at on.
struct Chunks {
  std::vector<std::string> chunks = {};
  std::size_t fail_at = SIZE_MAX;
  std::size_t calls = 0;

  ChunkWriter writer() {
    return [this](std::string_view chunk) -> std::expected<void, WriteError> {
      if (++calls >= fail_at) return std::unexpected(WriteError{28, "No space left on device"});
      chunks.emplace_back(chunk);
      return {};
    };
  }
  std::string text() const {
    std::string all;
    for (const auto& c : chunks) all += c;
    return all;
  }
};

const SharedPath kPath = std::make_shared<const std::string>("/db \"x\", \x1b\r/000005.ldb");

RecordView view(std::string_view key, std::string_view value, KeyState state = KeyState::Live,
                const SharedPath* path = &kPath) {
  return RecordView{.key = key, .value = value, .seq = 18446744073709551615ull, .state = state,
                    .file_type = FileType::Ldb, .origin_file = path, .offset = 0,
                    .was_compressed = true};
}

std::string export_all(const ExportOptions& options, const std::vector<RecordView>& records) {
  Chunks out;
  RecordExporter exporter(options, out.writer());
  for (const auto& r : records) exporter(r);
  EXPECT_TRUE(exporter.finish().has_value());
  return out.text();
}

TEST(RecordExport, LinesAsTheCommandWritesThem) {
  // Internal key: user key "k,\"\n" and an 8-byte trailer.
  const std::string key = std::string("k,\"\n") + std::string(1, '\x01') + '\x02' + std::string(6, '\0');
  const std::vector<RecordView> records = {view(key, "v\\")};
  EXPECT_EQ(export_all({}, records),
            R"({"key": "k,\"\\x0a\\x01\\x02\\x00\\x00\\x00\\x00\\x00\\x00", "user_key": "k,\"\\x0a", )"
            R"("value": "v\\\\", "seq": 18446744073709551615, "state": "live", "file_type": "ldb", )"
            R"("origin_file": "/db \"x\", \u001b\r/000005.ldb", "offset": 0, "was_compressed": true})"
            "\n");
  EXPECT_EQ(export_all({.format = ExportFormat::Csv}, records),
            "key,user_key,value,seq,state,file_type,origin_file,offset,was_compressed\n"
            R"("k,""\x0a\x01\x02\x00\x00\x00\x00\x00\x00","k,""\x0a",v\\,18446744073709551615,live,ldb,)"
            "\"/db \"\"x\"\", \x1b\r/000005.ldb\",0,true\n");
  EXPECT_EQ(export_all({.format = ExportFormat::Csv, .encoding = ByteEncoding::Base64}, {view("", "")}),
            "key,user_key,value,seq,state,file_type,origin_file,offset,was_compressed\n"
            ",,,18446744073709551615,live,ldb,\"/db \"\"x\"\", \x1b\r/000005.ldb\",0,true\n");
}

TEST(RecordExport, StoreFieldFirst) {
  // The store's path decoded from UTF-8 as origin_file is (\xff replaced),
  // quoted for JSON and CSV; the CSV header row gains the column, or is left out.
  const std::vector<RecordView> records = {view("k", "v", KeyState::Deleted), view("l", "w")};
  const std::string store = "/img/a,\"b\"\n\xff";
  const std::string tail = R"(, "seq": 18446744073709551615, "state": "live", "file_type": "ldb", )"
                           R"("origin_file": "/db \"x\", \u001b\r/000005.ldb", "offset": 0, "was_compressed": true})";
  EXPECT_EQ(export_all({.states = std::vector{KeyState::Live}, .store = store}, records),
            R"({"store": "/img/a,\"b\"\n)" "\xef\xbf\xbd" R"(", "key": "l", "user_key": "l", "value": "w")" + tail +
                "\n");
  const std::string row = "\"/img/a,\"\"b\"\"\n\xef\xbf\xbd\",l,l,w,18446744073709551615,live,ldb,"
                          "\"/db \"\"x\"\", \x1b\r/000005.ldb\",0,true\n";
  const ExportOptions csv{.format = ExportFormat::Csv, .states = std::vector{KeyState::Live}, .store = store};
  EXPECT_EQ(export_all(csv, records), "store," + std::string(kCsvHeader) + row);
  ExportOptions no_header = csv;
  no_header.header = false;
  EXPECT_EQ(export_all(no_header, records), row);
}

TEST(RecordExport, PathOfEachRecordAndNone) {
  const SharedPath other = std::make_shared<const std::string>("p\xff\xfe");
  const SharedPath none;
  const std::vector<RecordView> records = {view("a", ""), view("b", "", KeyState::Live, &other),
                                           view("c", "", KeyState::Live, &none),
                                           view("d", "", KeyState::Live, nullptr), view("e", "")};
  const std::string text = export_all({.format = ExportFormat::Csv, .encoding = ByteEncoding::Hex}, records);
  const std::string tail = ",18446744073709551615,live,ldb,";
  EXPECT_EQ(text,
            "key,user_key,value,seq,state,file_type,origin_file,offset,was_compressed\n"
            "61,61," + tail + "\"/db \"\"x\"\", \x1b\r/000005.ldb\",0,true\n"
            "62,62," + tail + "p\xEF\xBF\xBD\xEF\xBF\xBD,0,true\n"
            "63,63," + tail + ",0,true\n"
            "64,64," + tail + ",0,true\n"
            "65,65," + tail + "\"/db \"\"x\"\", \x1b\r/000005.ldb\",0,true\n");
}

TEST(RecordExport, StateFilter) {
  const std::vector<RecordView> records = {view("l", "", KeyState::Live), view("d", "", KeyState::Deleted),
                                           view("u", "", KeyState::Unknown)};
  const auto states_of = [&](std::optional<std::vector<KeyState>> states) {
    std::string found;
    const std::string text = export_all({.encoding = ByteEncoding::Hex, .states = states}, records);
    for (std::size_t at = 0; (at = text.find("\"state\": \"", at)) != std::string::npos; at += 10) {
      found += text[at + 10];
    }
    return found;
  };
  EXPECT_EQ(states_of(std::nullopt), "ldu");
  EXPECT_EQ(states_of(std::vector<KeyState>{}), "");
  EXPECT_EQ(states_of(std::vector{KeyState::Deleted, KeyState::Unknown}), "du");
  // A CSV export with no record is its header row.
  EXPECT_EQ(export_all({.format = ExportFormat::Csv, .states = std::vector<KeyState>{}}, records),
            "key,user_key,value,seq,state,file_type,origin_file,offset,was_compressed\n");
}

TEST(RecordExport, LongValuesGoOutInBoundedChunks) {
  // 4 MiB whose escaped JSON text is five times as long, with multi-byte
  // characters across every piece boundary.
  std::string value;
  while (value.size() < (std::size_t{4} << 20)) value += "\xff\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\\\"";
  for (const auto encoding : {ByteEncoding::Escaped, ByteEncoding::Hex, ByteEncoding::Base64}) {
    for (const auto format : {ExportFormat::Jsonl, ExportFormat::Csv}) {
      const ExportOptions whole{.format = format, .encoding = encoding, .chunk_size = std::size_t{1} << 30};
      const std::string expected = export_all(whole, {view("k", value)});
      // The reference itself: the whole value's text after `{"key": "K", "user_key": "K", "value": "`
      // or after the CSV header and `K,K,`, opening quote included when CSV needs one.
      SCOPED_TRACE(static_cast<int>(encoding) * 10 + static_cast<int>(format));
      const bool json = format == ExportFormat::Jsonl;
      const std::string text = encode(value, encoding, json ? FieldQuoting::Json : FieldQuoting::CsvQuoted);
      const std::size_t key = encode("k", encoding).size();
      const std::size_t at = json ? 38 + 2 * key : 75 + 2 * key + (csv_needs_quotes(value, encoding) ? 1 : 0);
      ASSERT_EQ(expected.compare(at, text.size(), text), 0);

      Chunks out;
      RecordExporter exporter({.format = format, .encoding = encoding, .chunk_size = 100000}, out.writer());
      exporter(view("k", value));
      ASSERT_TRUE(exporter.finish().has_value());
      EXPECT_EQ(out.text(), expected);
      EXPECT_GT(out.chunks.size(), 10u);
      for (const auto& chunk : out.chunks) EXPECT_LT(chunk.size(), std::size_t{512} << 10);
    }
  }
}

TEST(RecordExport, WriteErrorStopsTheExportAndIsReported) {
  const std::string value(300000, 'v');
  for (const std::size_t fail_at : {1, 2}) {
    Chunks out{.fail_at = fail_at};
    RecordExporter exporter({.chunk_size = 100000}, out.writer());
    exporter(view("a", value));  // three chunks' worth: flushes during the value
    exporter(view("b", value));
    EXPECT_TRUE(exporter.failed());
    const auto done = exporter.finish();
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(done.error().error_number, 28);
    EXPECT_EQ(out.calls, fail_at);  // nothing offered after the failure
  }
  // The last flush, in finish, fails too.
  Chunks out{.fail_at = 1};
  RecordExporter exporter({}, out.writer());
  exporter(view("a", "b"));
  EXPECT_FALSE(exporter.finish().has_value());
}

}  // namespace
}  // namespace vostrel
