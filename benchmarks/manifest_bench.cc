// Opening a database directory whose manifest has grown large. The manifest is
// read at open in one pass (framing, edit decoding, the file-level table), so
// the time should grow in proportion to its size. Two manifests of 20 MB and
// 200 MB are written once, with valid log framing and many compaction-like
// version edits; each is measured alone (ManifestFile::open) and inside a
// directory open (RawLevelDb::open). Bytes/second is the manifest's size per
// open; the ratio of the two sizes' times shows the scaling.
//
// The files are written to a fresh directory under $TMPDIR (or /tmp) and
// removed at exit. They stay in the page cache, so this measures decoding, not
// the disk.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "read/store.h"
#include "read/manifest_file.h"

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kBlockSize = 32768;
constexpr std::size_t kHeaderSize = 7;

void put_varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

void put_blob(std::string& out, std::string_view bytes) {
  put_varint(out, bytes.size());
  out.append(bytes);
}

std::string key16(std::uint64_t n) {
  std::string key = "key-000000000000";
  for (std::size_t i = key.size(); n != 0 && i > 4; --i, n /= 10) key[i - 1] = static_cast<char>('0' + n % 10);
  return key;
}

// One edit as a compaction writes it: the log and file counters, the sequence,
// two inputs deleted and two outputs added, each output with 16-byte bounds.
std::string compaction_edit(std::uint64_t i) {
  std::string edit;
  edit.push_back(2);
  put_varint(edit, 3 * i + 1);
  edit.push_back(3);
  put_varint(edit, 3 * i + 4);
  edit.push_back(4);
  put_varint(edit, 1000 * i);
  for (std::uint64_t d = 0; d < 2; ++d) {
    edit.push_back(6);
    put_varint(edit, d);
    put_varint(edit, i > 0 ? 3 * i - 1 + d : 0);  // the previous edit's outputs
  }
  for (std::uint64_t a = 0; a < 2; ++a) {
    edit.push_back(7);
    put_varint(edit, 1 + a);
    put_varint(edit, 3 * i + 2 + a);
    put_varint(edit, 2 * kMiB + i % 4096);
    put_blob(edit, key16(2 * i + a));
    put_blob(edit, key16(2 * i + a + 1));
  }
  return edit;
}

// Appends payload to out framed as the log writer frames it: fragments never
// cross a 32 KiB block, a block tail under 7 bytes is zero-padded.
void frame(std::string& out, std::string_view payload) {
  bool begin = true;
  do {
    const std::size_t room = kBlockSize - out.size() % kBlockSize;
    if (room < kHeaderSize) out.append(room, '\0');
    const std::size_t available = kBlockSize - out.size() % kBlockSize - kHeaderSize;
    const std::size_t take = std::min(payload.size(), available);
    const bool end = take == payload.size();
    out.append(4, '\0');  // checksum: never read
    out.push_back(static_cast<char>(take & 0xFF));
    out.push_back(static_cast<char>(take >> 8));
    out.push_back(static_cast<char>(begin && end ? 1 : begin ? 2 : end ? 4 : 3));
    out.append(payload.substr(0, take));
    payload.remove_prefix(take);
    begin = false;
  } while (!payload.empty());
}

class Workspace {
 public:
  Workspace() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/manifest-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~Workspace() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // A directory holding one manifest of at least `megabytes` MiB, built on
  // first use. Returns the directory; the manifest is <dir>/MANIFEST-000001.
  const std::string& database(std::size_t megabytes) {
    auto found = databases_.find(megabytes);
    if (found != databases_.end()) return found->second;
    const std::string dir = root_ + "/db" + std::to_string(megabytes);
    std::filesystem::create_directory(dir);
    std::string bytes;
    bytes.reserve(megabytes * kMiB + kBlockSize);
    std::string snapshot;
    snapshot.push_back(1);
    put_blob(snapshot, "leveldb.BytewiseComparator");
    frame(bytes, snapshot);
    for (std::uint64_t i = 0; bytes.size() < megabytes * kMiB; ++i) frame(bytes, compaction_edit(i));
    std::ofstream out(dir + "/MANIFEST-000001", std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write the manifest");
    sizes_[megabytes] = bytes.size();
    return databases_.emplace(megabytes, dir).first->second;
  }

  std::size_t size(std::size_t megabytes) const { return sizes_.at(megabytes); }

 private:
  std::string root_;
  std::map<std::size_t, std::string> databases_;
  std::map<std::size_t, std::size_t> sizes_;
};

Workspace& workspace() {
  static Workspace instance;
  return instance;
}

void BM_ManifestFileOpen(benchmark::State& state) {
  const auto megabytes = static_cast<std::size_t>(state.range(0));
  const std::string path = workspace().database(megabytes) + "/MANIFEST-000001";
  std::size_t tables = 0;
  for (auto _ : state) {
    auto manifest = vostrel::ManifestFile::open(path);
    if (!manifest) {
      state.SkipWithError(manifest.error().message().c_str());
      return;
    }
    tables = manifest->file_levels().size();
    benchmark::DoNotOptimize(tables);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * workspace().size(megabytes)));
  state.counters["tables"] = static_cast<double>(tables);
}

void BM_RawLevelDbOpen(benchmark::State& state) {
  const auto megabytes = static_cast<std::size_t>(state.range(0));
  const std::string& dir = workspace().database(megabytes);
  for (auto _ : state) {
    auto db = vostrel::RawLevelDb::open(dir);
    if (!db || !db->manifest()) {
      state.SkipWithError("the directory did not open with its manifest");
      return;
    }
    benchmark::DoNotOptimize(db->manifest()->file_levels().size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * workspace().size(megabytes)));
}

BENCHMARK(BM_ManifestFileOpen)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawLevelDbOpen)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
