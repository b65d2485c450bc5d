// Carving fuzz target that checks what carving reports, not only that it
// survives: nothing is invented. At startup LevelDB's own TableBuilder writes
// a few real tables from fixed entries (small blocks, raw and Snappy, one with
// a filter block). The input chooses one of them and a cut of it (start,
// length), and its remaining bytes are put in front of the cut, as a carving
// tool's slice of a disk image has foreign bytes before a table's remnant.
// Every record carved from that must be one of the entries the table holds,
// with its key and value exactly.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include <leveldb/env.h>
#include <leveldb/filter_policy.h>
#include <leveldb/options.h>
#include <leveldb/table_builder.h>

#include "io/mapped_file.h"
#include "recover/carve_file.h"

namespace {

struct RealTable {
  std::string bytes;
  std::set<std::pair<std::string, std::string>> entries;  // (internal key, value)
};

std::string fixed64(std::uint64_t value) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
  return out;
}

RealTable write_table(leveldb::CompressionType compression, std::size_t block_size, bool filter,
                      std::size_t value_size) {
  char dir_template[] = "/tmp/carve-truth-XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (dir == nullptr) std::abort();
  const std::string path = std::string(dir) + "/000001.ldb";
  RealTable table;
  {
    leveldb::WritableFile* raw = nullptr;
    if (!leveldb::Env::Default()->NewWritableFile(path, &raw).ok()) std::abort();
    const std::unique_ptr<leveldb::WritableFile> file(raw);
    const std::unique_ptr<const leveldb::FilterPolicy> policy(filter ? leveldb::NewBloomFilterPolicy(10) : nullptr);
    leveldb::Options options;
    options.compression = compression;
    options.block_size = block_size;
    options.filter_policy = policy.get();
    leveldb::TableBuilder builder(options, file.get());
    for (std::uint64_t i = 0; i < 120; ++i) {
      // Keys share prefixes (restart points matter); values repeat a pattern
      // so that Snappy compresses them.
      const std::string user_key = "key/" + std::to_string(1000 + i / 3) + "/" + std::to_string(i % 3);
      const std::string key = user_key + fixed64((i + 1) << 8 | (i % 7 == 0 ? 0 : 1));
      std::string value(value_size + i % 17, static_cast<char>('a' + i % 26));
      builder.Add(key, value);
      table.entries.emplace(key, std::move(value));
    }
    if (!builder.Finish().ok() || !file->Close().ok()) std::abort();
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  table.bytes = contents.str();
  unlink(path.c_str());
  rmdir(dir);
  return table;
}

const std::vector<RealTable>& tables() {
  static const std::vector<RealTable> made = [] {
    std::vector<RealTable> out;
    out.push_back(write_table(leveldb::kNoCompression, 256, false, 10));
    out.push_back(write_table(leveldb::kSnappyCompression, 512, false, 40));
    out.push_back(write_table(leveldb::kNoCompression, 1024, true, 3));
    return out;
  }();
  return made;
}

std::uint32_t take32(std::string_view& input) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4 && !input.empty(); ++i) {
    value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(input.front())) << (8 * i);
    input.remove_prefix(1);
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.empty()) return 0;
  const RealTable& table = tables()[static_cast<std::uint8_t>(input.front()) % tables().size()];
  input.remove_prefix(1);
  const std::size_t start = take32(input) % (table.bytes.size() + 1);
  const std::size_t length = take32(input) % (table.bytes.size() - start + 1);
  std::string carved_bytes(input);  // the foreign bytes before the cut
  carved_bytes.append(table.bytes, start, length);

  vostrel::DecodeScratch scratch;
  static const vostrel::SharedPath path = std::make_shared<const std::string>("f1.bin");
  auto check = [&](const vostrel::RecordView& r) {
    if (!table.entries.contains({std::string(r.key), std::string(r.value)})) std::abort();  // invented
  };
  vostrel::carve_table_records(vostrel::MappedFile::from_bytes(carved_bytes), {}, &path, check, scratch);
  return 0;
}
