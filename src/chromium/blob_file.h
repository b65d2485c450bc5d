#pragma once
// What a Blob or File of an IndexedDB value has on disk: whether its blob
// file is there, its size and its SHA-256, so that an examiner can tell a
// missing or replaced file and match the content elsewhere.
//
//   , "found": false
//   , "found": true, "file_size": N, "sha256": "<64 hex digits>"
//   , "found": true, "file_size": N, "sparse": true, "sha256": null
//
// A file with holes is not read (Chromium writes a blob file in one go, and a
// sparse file of a terabyte would cost a terabyte of zeros), nor is one past
// kMaxBlobFile, nor one that lost bytes while being read: their sha256 is
// null. Each file is read once per run, a megabyte at a time.
//
// With a BlobCopies, each file hashed is also copied, in the same read, into
// one folder under the name of its SHA-256 (64 hex digits): a content found
// under several paths, or in several stores, is kept once, and a file of that
// name already in the folder is left as it is. A blob found but not copied
// (not read whole, or a write that failed) is noted with its reason.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/byte_buffer.h"

namespace vostrel::chromium {

// Where the blob files met are copied, shared by every decoding thread of a run.
class BlobCopies {
 public:
  // The most failures kept with their reasons (the rest are only counted).
  static constexpr std::size_t kMaxNoted = 100;

  explicit BlobCopies(std::string directory) : directory_(std::move(directory)) {}
  [[nodiscard]] const std::string& directory() const noexcept { return directory_; }

  // Whether `sha256` (hex) still needs its copy: false once one is published
  // (or was found there) in this run.
  [[nodiscard]] bool wanted(const std::string& sha256);
  void published(const std::string& sha256);
  void failed(const std::string& path, std::string reason);

  [[nodiscard]] std::uint64_t failures() const;
  // (blob file path, why it was not copied), the first kMaxNoted.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> noted_failures() const;

 private:
  std::string directory_;
  mutable std::mutex mutex_;
  std::unordered_set<std::string> done_;
  std::vector<std::pair<std::string, std::string>> noted_;
  std::uint64_t failures_ = 0;
};

class BlobFiles {
 public:
  BlobFiles() = default;
  // A copy (a decoding thread's own) knows the files read so far and reads
  // the others itself, into a buffer of its own.
  BlobFiles(const BlobFiles& other) : known_(other.known_), copies_(other.copies_) {}
  BlobFiles& operator=(const BlobFiles&) = delete;
  BlobFiles(BlobFiles&&) noexcept = default;
  BlobFiles& operator=(BlobFiles&&) noexcept = default;

  // From now on every file read is copied there too.
  void copy_to(std::shared_ptr<BlobCopies> copies) { copies_ = std::move(copies); }

  void append_facts(std::string& out, const std::string& path);

 private:
  std::unordered_map<std::string, std::string> known_;  // path -> its facts
  std::shared_ptr<BlobCopies> copies_;                 // null: nothing copied
  ByteBuffer buffer_;
};

}  // namespace vostrel::chromium
