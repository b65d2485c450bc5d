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

#include <string>
#include <unordered_map>

#include "base/byte_buffer.h"

namespace vostrel::chromium {

class BlobFiles {
 public:
  BlobFiles() = default;
  // A copy (a decoding thread's own) knows the files read so far and reads
  // the others itself, into a buffer of its own.
  BlobFiles(const BlobFiles& other) : known_(other.known_) {}
  BlobFiles& operator=(const BlobFiles&) = delete;
  BlobFiles(BlobFiles&&) noexcept = default;
  BlobFiles& operator=(BlobFiles&&) noexcept = default;

  void append_facts(std::string& out, const std::string& path);

 private:
  std::unordered_map<std::string, std::string> known_;  // path -> its facts
  ByteBuffer buffer_;
};

}  // namespace vostrel::chromium
