// Feeds arbitrary records to the IndexedDB, Local Storage and Session Storage
// decoders. The
// input is a run of records, each: a state byte (0 deleted, 1 live, 2
// unknown), a key length byte, the key, a value length (2 bytes
// little-endian), the value; the last record takes what is left. Every record
// must become exactly one line: the decoders never crash, read out of bounds
// or recurse without bound, and a failure becomes the record's fallback
// fields, never a lost or split line (JSON strings escape newlines, so each
// line ends at its only newline).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "chromium/indexeddb.h"
#include "chromium/local_storage.h"
#include "chromium/session_storage.h"
#include "base/utf8.h"

namespace {

[[noreturn]] void fail() { __builtin_trap(); }
void require(bool condition) {
  if (!condition) fail();
}

struct Input {
  std::string key, value;
  std::uint64_t seq;
  vostrel::KeyState state;
};

std::vector<Input> split(std::string_view data) {
  std::vector<Input> records;
  std::uint64_t seq = 1;
  while (data.size() >= 2) {
    Input record;
    record.state = static_cast<vostrel::KeyState>(static_cast<std::uint8_t>(data[0]) % 3);
    const std::size_t key_size = std::min<std::size_t>(static_cast<std::uint8_t>(data[1]), data.size() - 2);
    record.key.assign(data.substr(2, key_size));
    data.remove_prefix(2 + key_size);
    std::size_t value_size = data.size();
    if (data.size() >= 2) {
      value_size = std::min<std::size_t>(
          static_cast<std::uint8_t>(data[0]) | static_cast<std::size_t>(static_cast<std::uint8_t>(data[1])) << 8,
          data.size() - 2);
      data.remove_prefix(2);
    }
    record.value.assign(data.substr(0, value_size));
    data.remove_prefix(value_size);
    // Sequence numbers repeat now and then, as overwritten versions' do not.
    record.seq = seq % 7 == 0 ? seq - 1 : seq;
    ++seq;
    records.push_back(std::move(record));
  }
  return records;
}

std::size_t newlines(std::string_view text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto records = split(std::string_view(reinterpret_cast<const char*>(data), size));
  static const vostrel::SharedPath path = std::make_shared<const std::string>("000003.log");
  auto view = [&](const Input& record) {
    return vostrel::RecordView{record.key, record.value, record.seq, record.state,
                               vostrel::FileType::Log, &path, 0, false};
  };
  // A blob directory that does not exist: paths are built, no file is read.
  vostrel::chromium::IndexedDbDecoder decoder("/nonexistent/o.indexeddb.blob");
  vostrel::chromium::SessionStorageDecoder session;
  for (const auto& record : records) {
    decoder.learn(view(record));
    session.learn(view(record));
  }
  std::string out;
  for (const auto& record : records) {
    const std::size_t before = out.size();
    decoder.append_entry(out, view(record));
    require(out.size() > before && out.back() == '\n' && newlines(std::string_view(out).substr(before)) == 1);
    require(out.compare(before, 22, "{\"kind\": \"indexeddb\", ") == 0);
    const std::size_t local = out.size();
    vostrel::chromium::append_local_storage_entry(out, view(record));
    require(out.size() > local && out.back() == '\n' && newlines(std::string_view(out).substr(local)) == 1);
    const std::size_t session_start = out.size();
    session.append_entry(out, view(record));
    const std::string_view line = std::string_view(out).substr(session_start);
    require(line.starts_with("{\"kind\": \"sessionstorage\", ") && line.ends_with("}\n") && newlines(line) == 1);
    require(vostrel::is_valid_utf8(out));
    out.clear();
  }
  return 0;
}
