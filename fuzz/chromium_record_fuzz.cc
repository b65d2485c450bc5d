// Feeds one arbitrary record (key and value cut from the input, a state from
// its first byte) to every Chromium store decoder: Session Storage and
// IndexedDB through both passes, Local Storage through its one. Whatever the
// bytes, each record must become exactly one entry: one line of valid UTF-8
// that starts as every entry does and ends in its only newline.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "chromium/indexeddb.h"
#include "chromium/local_storage.h"
#include "chromium/session_storage.h"
#include "types.h"
#include "utf8.h"

namespace {

[[noreturn]] void fail() { __builtin_trap(); }

void check_line(const std::string& out, std::size_t start) {
  const std::string_view line = std::string_view(out).substr(start);
  if (!line.starts_with("{\"kind\": \"") || !line.ends_with("}\n")) fail();
  if (line.find('\n') != line.size() - 1) fail();
  if (!vostrel::is_valid_utf8(line)) fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto state = static_cast<vostrel::KeyState>(static_cast<unsigned char>(input[0]) % 3);
  const std::size_t key_size = std::min<std::size_t>(static_cast<unsigned char>(input[1]), size - 2);
  const std::string_view key = input.substr(2, key_size);
  const std::string_view value = input.substr(2 + key_size);
  static const auto path = std::make_shared<const std::string>("000003.log");
  const vostrel::RecordView record{key, value, 1, state, vostrel::FileType::Log, &path, 0, false};

  std::string out;
  vostrel::chromium::SessionStorageDecoder session;
  session.learn(record);
  session.append_entry(out, record);
  check_line(out, 0);

  std::size_t start = out.size();
  vostrel::chromium::append_local_storage_entry(out, record);
  check_line(out, start);

  vostrel::chromium::IndexedDbDecoder indexeddb("");
  indexeddb.learn(record);
  start = out.size();
  indexeddb.append_entry(out, record);
  check_line(out, start);
  return 0;
}
