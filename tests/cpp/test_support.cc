#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace vostrel::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vostrel-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string hex(std::string_view text) {
  std::string out;
  int high = -1;
  for (const char c : text) {
    int nibble;
    if (c >= '0' && c <= '9') nibble = c - '0';
    else if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') nibble = c - 'A' + 10;
    else continue;
    if (high < 0) {
      high = nibble;
    } else {
      out.push_back(static_cast<char>(high << 4 | nibble));
      high = -1;
    }
  }
  return out;
}

std::string random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(gen());
  return out;
}

std::string varint(std::uint64_t value) {
  std::string out;
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
  return out;
}

std::string fixed32(std::uint32_t value) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(value >> (8 * i));
  return out;
}

std::string fixed64(std::uint64_t value) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(value >> (8 * i));
  return out;
}

}  // namespace vostrel::testing

// ---- Genuine LevelDB data, log framing and process helpers ----
#include <dirent.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <leveldb/db.h>
#include <leveldb/filter_policy.h>
#include <leveldb/dumpfile.h>
#include <leveldb/env.h>
#include <leveldb/options.h>
#include <leveldb/table_builder.h>
#include <leveldb/write_batch.h>

#include <gtest/gtest.h>

namespace vostrel::testing {
namespace {

constexpr std::size_t kBlock = 32768;
constexpr std::size_t kHeader = 7;

void check(const leveldb::Status& status, const char* what) {
  if (!status.ok()) throw std::runtime_error(std::string(what) + ": " + status.ToString());
}

// Deterministic bytes that Snappy cannot shrink.
std::string noise(std::uint64_t seed, std::size_t length) {
  std::string out(length, '\0');
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& c : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x);
  }
  return out;
}

}  // namespace

std::string log_physical_record(std::uint8_t type, std::string_view payload) {
  std::string out(4, '\0');
  out.push_back(static_cast<char>(payload.size() & 0xFF));
  out.push_back(static_cast<char>((payload.size() >> 8) & 0xFF));
  out.push_back(static_cast<char>(type));
  out.append(payload);
  return out;
}

std::string frame_as_log(const std::vector<std::string>& payloads) {
  std::string out;
  for (const std::string& payload : payloads) {
    std::string_view left = payload;
    bool begin = true;
    do {
      const std::size_t room = kBlock - out.size() % kBlock;
      if (room < kHeader) out.append(room, '\0');
      const std::size_t available = kBlock - out.size() % kBlock - kHeader;
      const std::size_t take = std::min(left.size(), available);
      const bool end = take == left.size();
      const std::uint8_t type = begin && end ? 1 : begin ? 2 : end ? 4 : 3;
      out += log_physical_record(type, left.substr(0, take));
      left.remove_prefix(take);
      begin = false;
    } while (!left.empty());
  }
  return out;
}

std::string real_table_bytes(KeyValues entries, std::uint64_t first_seq, bool compress) {
  std::sort(entries.begin(), entries.end());
  const TempDir dir;
  const std::string path = dir.file("000001.ldb");
  leveldb::WritableFile* raw = nullptr;
  check(leveldb::Env::Default()->NewWritableFile(path, &raw), "NewWritableFile");
  const std::unique_ptr<leveldb::WritableFile> file(raw);
  leveldb::Options options;
  options.compression = compress ? leveldb::kSnappyCompression : leveldb::kNoCompression;
  leveldb::TableBuilder builder(options, file.get());
  std::uint64_t seq = first_seq;
  for (const auto& [key, value] : entries) {
    builder.Add(key + fixed64(seq++ << 8 | 1), value);
  }
  check(builder.Finish(), "TableBuilder::Finish");
  check(file->Close(), "Close");
  return read_file(path);
}

std::string real_log_bytes(const KeyValues& puts, const std::vector<std::string>& deletes) {
  const TempDir dir;
  {
    leveldb::Options options;
    options.create_if_missing = true;
    leveldb::DB* raw = nullptr;
    check(leveldb::DB::Open(options, dir.path(), &raw), "DB::Open");
    const std::unique_ptr<leveldb::DB> db(raw);
    for (const auto& [key, value] : puts) check(db->Put({}, key, value), "Put");
    for (const auto& key : deletes) check(db->Delete({}, key), "Delete");
  }
  for (const std::string& name : list_directory(dir.path())) {
    if (name.ends_with(".log")) return read_file(dir.file(name));
  }
  throw std::runtime_error("LevelDB left no log file");
}

std::string compacted_table_bytes(const KeyValues& puts, bool compress, bool bloom_filter) {
  const TempDir dir;
  {
    leveldb::Options options;
    options.create_if_missing = true;
    options.compression = compress ? leveldb::kSnappyCompression : leveldb::kNoCompression;
    const std::unique_ptr<const leveldb::FilterPolicy> filter(
        bloom_filter ? leveldb::NewBloomFilterPolicy(10) : nullptr);
    options.filter_policy = filter.get();
    leveldb::DB* raw = nullptr;
    check(leveldb::DB::Open(options, dir.path(), &raw), "DB::Open");
    const std::unique_ptr<leveldb::DB> db(raw);
    for (const auto& [key, value] : puts) check(db->Put({}, key, value), "Put");
    db->CompactRange(nullptr, nullptr);
  }
  std::string largest;
  for (const std::string& name : list_directory(dir.path())) {
    if (!name.ends_with(".ldb")) continue;
    std::string bytes = read_file(dir.file(name));
    if (bytes.size() > largest.size()) largest = std::move(bytes);
  }
  if (largest.empty()) throw std::runtime_error("LevelDB left no table");
  return largest;
}

std::map<std::string, std::string> build_real_database(const std::string& dir) {
  std::filesystem::create_directories(dir);
  std::map<std::string, std::string> live;
  std::map<std::string, std::string> stashed_logs;
  constexpr int kSessions = 5;
  for (int session = 0; session < kSessions; ++session) {
    // Reopening turns the previous log into a level-0 table and deletes the
    // log; keep a copy of it first.
    for (const std::string& name : list_directory(dir)) {
      if (name.ends_with(".log")) stashed_logs[name] = read_file(dir + "/" + name);
    }
    leveldb::Options options;
    options.create_if_missing = true;
    leveldb::DB* raw = nullptr;
    check(leveldb::DB::Open(options, dir, &raw), "DB::Open");
    const std::unique_ptr<leveldb::DB> db(raw);
    // Each session writes its own key range ("s<session>-..."), so tables of
    // different sessions do not overlap and a ranged compaction merges some
    // of them while the others stay.
    for (int i = 0; i < 60; ++i) {
      if (session == kSessions - 1 && i == 30) {
        // Flushes the memtable to a table, then merges the tables of the first
        // two sessions: the final manifest both adds and deletes files.
        const leveldb::Slice begin("s0");
        const leveldb::Slice end("s1~");
        db->CompactRange(&begin, &end);
      }
      char key[16];
      std::snprintf(key, sizeof key, "s%d-key%03d", session, (i * 7) % 40);
      const std::uint64_t salt = static_cast<std::uint64_t>(session * 1000 + i);
      std::string value = i % 3 == 0 ? noise(salt, 40 + i % 50)
                                     : "value-" + std::to_string(salt) + std::string(30 + i % 40, 'v');
      if (i % 5 == 4) {
        // Several entries in one batch.
        leveldb::WriteBatch batch;
        batch.Put(key, value);
        batch.Put(std::string(key) + "-b", value.substr(0, 10));
        check(db->Write({}, &batch), "Write");
        live[std::string(key) + "-b"] = value.substr(0, 10);
      } else {
        check(db->Put({}, key, value), "Put");
      }
      live[key] = value;
      if (i % 11 == 10) {
        char victim[16];
        std::snprintf(victim, sizeof victim, "s%d-key%03d", session, (i * 3) % 40);
        check(db->Delete({}, victim), "Delete");
        live.erase(victim);
      }
    }
    if (session == kSessions - 1) {
      std::map<std::string, std::string> seen;
      const std::unique_ptr<leveldb::Iterator> it(db->NewIterator({}));
      for (it->SeekToFirst(); it->Valid(); it->Next()) seen[it->key().ToString()] = it->value().ToString();
      if (seen != live) throw std::runtime_error("LevelDB's contents differ from the writes made");
    }
  }
  for (const auto& [name, bytes] : stashed_logs) {
    if (!std::filesystem::exists(dir + "/" + name)) write_file(dir + "/" + name, bytes);
  }
  return live;
}

std::vector<std::string> list_directory(const std::string& dir) {
  std::vector<std::string> names;
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) throw std::runtime_error("cannot list " + dir);
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(stream);
  return names;
}

std::optional<std::string> run_unprivileged(const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::close(fds[0]);
    // First byte: 'Y' when fn ran, 'N' when privileges could not be dropped.
    std::string out(1, 'N');
    if (::geteuid() != 0 ||
        (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0)) {
      out[0] = 'Y';
      out += fn();
    }
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string result;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("unprivileged child failed");
  if (result.empty() || result[0] != 'Y') return std::nullopt;
  return result.substr(1);
}

namespace {

class StringFile final : public leveldb::WritableFile {
 public:
  leveldb::Status Append(const leveldb::Slice& data) override {
    text.append(data.data(), data.size());
    return leveldb::Status::OK();
  }
  leveldb::Status Close() override { return leveldb::Status::OK(); }
  leveldb::Status Flush() override { return leveldb::Status::OK(); }
  leveldb::Status Sync() override { return leveldb::Status::OK(); }
  std::string text;
};

}  // namespace

std::string dump_with_library(const std::string& path) {
  StringFile out;
  const leveldb::Status status = leveldb::DumpFile(leveldb::Env::Default(), path, &out);
  EXPECT_TRUE(status.ok()) << status.ToString();
  return out.text;
}

std::string dump_escaped(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    if (c >= ' ' && c <= '~') {
      out.push_back(c);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned char>(c));
      out += buffer;
    }
  }
  return out;
}

}  // namespace vostrel::testing
