#pragma once
// The store the C++ benchmarks read, written by the real library: 16-byte
// keys drawn from key_range (so some are overwritten), 100-byte values half
// text and half noise, in batches of 1,000, with 4 MiB write buffers so that
// there are many tables and a log.

#include <leveldb/db.h>
#include <leveldb/options.h>
#include <leveldb/write_batch.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "read/record_walk.h"

namespace vostrel_bench {

// Removes the written database when the program ends.
struct TempRoot {
  std::string path;
  ~TempRoot() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};
inline TempRoot temp_root;

inline std::string write_database(const char* name, int records, unsigned long long key_range) {
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                     "/vostrel-" + name + "-XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  temp_root.path = path;
  path += "/db";
  leveldb::Options options;
  options.create_if_missing = true;
  options.write_buffer_size = 4 << 20;
  leveldb::DB* raw = nullptr;
  if (!leveldb::DB::Open(options, path, &raw).ok()) throw std::runtime_error("cannot write " + path);
  const std::unique_ptr<leveldb::DB> db(raw);
  std::mt19937_64 random(20261207);
  char key[17];
  std::string value(100, '\0');
  for (int batch_start = 0; batch_start < records; batch_start += 1000) {
    leveldb::WriteBatch batch;
    for (int i = batch_start; i < batch_start + 1000; ++i) {
      std::snprintf(key, sizeof key, "%016llu", static_cast<unsigned long long>(random() % key_range));
      // Half text, half noise: Snappy shrinks it somewhat, like application data.
      for (std::size_t j = 0; j < value.size(); ++j) {
        value[j] = j < 50 ? static_cast<char>('a' + j % 7) : static_cast<char>(random());
      }
      batch.Put(key, value);
    }
    db->Write(leveldb::WriteOptions(), &batch);
  }
  return path;
}

// The store's normal read into sink, as the production callers walk it.
template <class Sink>
void walk_all(const vostrel::RawLevelDb& db, Sink& sink) {
  vostrel::DecodeScratch scratch;
  vostrel::walk_units(db, db.reading_order(false, false), sink, scratch, [](vostrel::WalkUnit, auto&& walk) {
    walk();
    return true;
  });
}

}  // namespace vostrel_bench
